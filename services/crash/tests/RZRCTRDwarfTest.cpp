#include "services/crash/RZRCTRDwarf.h"

#include <execinfo.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>
#include <string>
#include <vector>

#include "services/crash/tests/CrashTestSupport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using crashtest::GuardedBytes;

void append(Bytes& out, std::initializer_list<std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}
void append32(Bytes& out, std::uint32_t v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    out.insert(out.end(), p, p + 4);
}

TEST(DwarfParse, LEB128) {
    struct Case {
        Bytes bytes;
        std::uint64_t unsignedValue;
        std::int64_t signedValue;
        std::size_t consumed;
    };
    const Case cases[] = {
        {{0x02}, 2, 2, 1},
        {{0x7f}, 127, -1, 1},
        {{0x80, 0x01}, 128, 128, 2},
        {{0xe5, 0x8e, 0x26}, 624485, 624485, 3},
        {{0xc0, 0xbb, 0x78}, 0x1e1dc0, -123456, 3},
        // Never more than eight bytes, whatever the continuation bits say.
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}, 0x00ffffffffffffff, -1, 8},
    };
    for (const Case& c : cases) {
        RZRCTRDwarfCursor cursor{c.bytes.data(), c.bytes.data() + c.bytes.size(), false};
        EXPECT_EQ(RZRCTRParseULEB128AndAdvance(&cursor), c.unsignedValue);
        EXPECT_EQ(static_cast<std::size_t>(cursor.position - c.bytes.data()), c.consumed);
        cursor = {c.bytes.data(), c.bytes.data() + c.bytes.size(), false};
        EXPECT_EQ(RZRCTRParseLEB128AndAdvance(&cursor), c.signedValue);
    }
    // A number cut off by the end of its range fails instead of reading on.
    const GuardedBytes cut(Bytes{0x80, 0x80});
    RZRCTRDwarfCursor cursor{cut.data(), cut.data() + cut.size(), false};
    RZRCTRParseULEB128AndAdvance(&cursor);
    EXPECT_TRUE(cursor.failed);
}

TEST(DwarfParse, AddressEncodings) {
    std::uint64_t target = 0x1122334455667788;
    Bytes bytes(16, 0);
    struct Case {
        std::uint8_t encoding;
        Bytes stored;
        std::uint64_t expected;  // for pc-relative: added to the field's address
        bool relative;
    };
    const Case cases[] = {
        {0x03, {0x78, 0x56, 0x34, 0x12}, 0x12345678, false},
        {0x0b, {0xfc, 0xff, 0xff, 0xff}, static_cast<std::uint64_t>(-4), false},
        {0x02, {0x34, 0x12}, 0x1234, false},
        {0x0a, {0xfe, 0xff}, static_cast<std::uint64_t>(-2), false},
        {0x01, {0xe5, 0x8e, 0x26}, 624485, false},
        {0x09, {0x7f}, static_cast<std::uint64_t>(-1), false},
        {0x1b, {0x10, 0x00, 0x00, 0x00}, 0x10, true},
        {0x05, {0, 0, 0, 0}, kRZRCTRDwarfInvalidAddress, false},
        {0x33, {0, 0, 0, 0}, kRZRCTRDwarfInvalidAddress, false},
    };
    for (const Case& c : cases) {
        RZRCTRDwarfCursor cursor{c.stored.data(), c.stored.data() + c.stored.size(), false};
        const std::uint64_t value = RZRCTRParseAddressWithEncodingAndAdvance(&cursor, c.encoding);
        const std::uint64_t expected =
            c.relative ? c.expected + reinterpret_cast<std::uint64_t>(c.stored.data()) : c.expected;
        EXPECT_EQ(value, expected) << int(c.encoding);
    }
    RZRCTRDwarfCursor cursor{bytes.data(), bytes.data() + bytes.size(), false};
    EXPECT_EQ(RZRCTRParseAddressWithEncodingAndAdvance(&cursor, 0xff), 0u);
    EXPECT_EQ(cursor.position, bytes.data());
    // Indirect: the value names where the address is stored.
    const std::uint64_t where = reinterpret_cast<std::uint64_t>(&target);
    std::memcpy(bytes.data(), &where, 8);
    EXPECT_EQ(RZRCTRParseAddressWithEncodingAndAdvance(&cursor, 0x80), target);
    std::memset(bytes.data(), 0, 8);
    cursor = {bytes.data(), bytes.data() + bytes.size(), false};
    EXPECT_EQ(RZRCTRParseAddressWithEncodingAndAdvance(&cursor, 0x80), kRZRCTRDwarfInvalidAddress);
}

// A section of one CIE and one FDE written by hand.
struct Section {
    Bytes bytes;
    std::size_t fdeOffset = 0;
};

Section makeSection(std::uint8_t version, const std::string& augmentation, const Bytes& cieProgram,
                    const Bytes& fdeProgram, std::uint64_t start = 0x1000) {
    Section section;
    Bytes cie;
    append32(cie, 0);  // CIE id
    cie.push_back(version);
    cie.insert(cie.end(), augmentation.begin(), augmentation.end());
    cie.push_back(0);
    append(cie, {0x01, 0x78});  // code align 1, data align -8
    if (version == 1) {
        cie.push_back(16);
    } else {
        cie.push_back(16);  // ULEB128 16
    }
    if (!augmentation.empty() && augmentation[0] == 'z') append(cie, {0x01, 0x00});  // R: abs8
    cie.insert(cie.end(), cieProgram.begin(), cieProgram.end());
    append32(section.bytes, static_cast<std::uint32_t>(cie.size()));
    section.bytes.insert(section.bytes.end(), cie.begin(), cie.end());

    section.fdeOffset = section.bytes.size();
    Bytes fde;
    append32(fde, static_cast<std::uint32_t>(section.fdeOffset + 4));  // back to the CIE
    const auto* s = reinterpret_cast<const std::uint8_t*>(&start);
    fde.insert(fde.end(), s, s + 8);
    const std::uint64_t range = 0x100;
    const auto* r = reinterpret_cast<const std::uint8_t*>(&range);
    fde.insert(fde.end(), r, r + 8);
    if (!augmentation.empty() && augmentation[0] == 'z') fde.push_back(0);
    fde.insert(fde.end(), fdeProgram.begin(), fdeProgram.end());
    append32(section.bytes, static_cast<std::uint32_t>(fde.size()));
    section.bytes.insert(section.bytes.end(), fde.begin(), fde.end());
    return section;
}

RZRCTRDwarfSection view(const GuardedBytes& bytes) {
    return {bytes.data(), bytes.size()};
}

TEST(DwarfParse, CIEVersionsAndAugmentations) {
    struct Case {
        std::uint8_t version;
        std::string augmentation;
        bool parses;
    };
    const Case cases[] = {
        {1, "zR", true}, {3, "zR", true}, {1, "", true}, {4, "zR", false}, {1, "eh", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + " " + c.augmentation);
        const Section section = makeSection(c.version, c.augmentation, {0x0c, 0x07, 0x08}, {});
        const GuardedBytes bytes(section.bytes);
        RZRCTRDwarfCFIRecord record;
        EXPECT_EQ(RZRCTRDwarfParseCFIFromFDERecordOffset(&record, view(bytes), section.fdeOffset),
                  c.parses);
        if (!c.parses) continue;
        EXPECT_EQ(record.cie.returnAddressRegister, 16u);
        EXPECT_EQ(record.cie.dataAlignFactor, -8);
        EXPECT_EQ(record.fde.startAddress, 0x1000u);
        EXPECT_EQ(record.fde.rangeSize, 0x100u);
        EXPECT_EQ(record.cie.instructions.length, 3u);
    }
}

TEST(DwarfParse, PcRelativeStartAddress) {
    // zR with 0x1b: the FDE's start is relative to the field itself.
    Bytes bytes;
    Bytes cie;
    append32(cie, 0);
    append(cie, {1, 'z', 'R', 0, 0x01, 0x78, 16, 0x01, 0x1b});
    append32(bytes, static_cast<std::uint32_t>(cie.size()));
    bytes.insert(bytes.end(), cie.begin(), cie.end());
    const std::size_t fdeOffset = bytes.size();
    Bytes fde;
    append32(fde, static_cast<std::uint32_t>(fdeOffset + 4));
    append32(fde, 0x40);  // start: field + 0x40
    append32(fde, 0x20);  // range
    fde.push_back(0);
    append32(bytes, static_cast<std::uint32_t>(fde.size()));
    bytes.insert(bytes.end(), fde.begin(), fde.end());
    const GuardedBytes guarded(bytes);
    RZRCTRDwarfCFIRecord record;
    ASSERT_TRUE(RZRCTRDwarfParseCFIFromFDERecordOffset(&record, view(guarded), fdeOffset));
    EXPECT_EQ(record.fde.startAddress,
              reinterpret_cast<std::uint64_t>(guarded.data() + fdeOffset + 8) + 0x40);
    EXPECT_EQ(record.fde.rangeSize, 0x20u);
}

// Each damaged field would send a trusting parser past the section's end,
// onto the guard page.
TEST(DwarfParse, DamagedLengthsStayInsideTheSection) {
    const Section good = makeSection(1, "zR", {0x0c, 0x07, 0x08}, {0x0e, 0x10});
    struct Case {
        const char* name;
        std::size_t at;
        std::uint32_t value;
        bool cutAtEnd;
    };
    const std::size_t fde = good.fdeOffset;
    const Case cases[] = {
        {"FDE length past the section", fde, 0x1000, false},
        {"CIE length past the section", 0, 0x100000, false},
        {"CIE pointer before the section", fde + 4, 0x100000, false},
        {"64-bit length past the section", fde, 0xffffffff, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = good.bytes;
        std::memcpy(bytes.data() + c.at, &c.value, 4);
        if (c.cutAtEnd) bytes.resize(fde + 8);
        const GuardedBytes guarded(bytes);
        RZRCTRDwarfCFIRecord record;
        EXPECT_FALSE(RZRCTRDwarfParseCFIFromFDERecordOffset(&record, view(guarded), fde));
    }
    const GuardedBytes guarded(good.bytes);
    RZRCTRDwarfCFIRecord record;
    EXPECT_FALSE(RZRCTRDwarfParseCFIFromFDERecordOffset(&record, view(guarded), good.bytes.size()));
    EXPECT_FALSE(RZRCTRDwarfParseCFIFromFDERecordOffset(&record, view(guarded), 0));
}

RZRCTRDwarfCIERecord alignedCIE() {
    RZRCTRDwarfCIERecord cie;
    cie.codeAlignFactor = 4;
    cie.dataAlignFactor = -8;
    cie.returnAddressRegister = 16;
    cie.version = 1;
    cie.length = 1;
    return cie;
}

TEST(DwarfInstructions, RowsApplyFromTheirOwnLocation) {
    // def_cfa r7+8; advance 3 (x4 = 12); def_cfa_offset 16; advance 1; offset r6 at cfa-16
    const Bytes program = {0x0c, 0x07, 0x08, 0x43, 0x0e, 0x10, 0x41, 0x86, 0x02};
    const RZRCTRDwarfCIERecord cie = alignedCIE();
    const RZRCTRDwarfInstructions instructions{static_cast<std::uint32_t>(program.size()),
                                               program.data()};
    struct Case {
        std::int64_t pcOffset;
        std::int64_t cfaOffset;
        std::uint32_t r6;
    };
    const Case cases[] = {
        {0, 8, RZRCTRDwarfRegisterUnused},   {11, 8, RZRCTRDwarfRegisterUnused},
        {12, 16, RZRCTRDwarfRegisterUnused}, {15, 16, RZRCTRDwarfRegisterUnused},
        {16, 16, RZRCTRDwarfRegisterInCFA},
    };
    for (const Case& c : cases) {
        RZRCTRDwarfState state;
        ASSERT_TRUE(RZRCTRDwarfInstructionsEnumerate(&instructions, &cie, &state, c.pcOffset));
        EXPECT_EQ(state.cfaRegister, 7u) << c.pcOffset;
        EXPECT_EQ(state.cfaRegisterOffset, c.cfaOffset) << c.pcOffset;
        EXPECT_EQ(state.registers[6].location, c.r6) << c.pcOffset;
    }
}

TEST(DwarfInstructions, RememberRestoreAndRejectedOnes) {
    const RZRCTRDwarfCIERecord cie = alignedCIE();
    struct Case {
        const char* name;
        Bytes program;
        bool ok;
        std::int64_t cfaOffset;
    };
    const Case cases[] = {
        {"remember and restore", {0x0e, 0x08, 0x0a, 0x0e, 0x20, 0x0b}, true, 8},
        {"restore without remember", {0x0b}, false, 0},
        {"register number too large", {0x0d, 0x40}, false, 0},
        {"unknown opcode", {0x3f}, false, 0},
        {"expression block past the program", {0x0f, 0x05, 0x30}, false, 0},
        {"operand cut off", {0x0c, 0x07}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GuardedBytes program(c.program);
        const RZRCTRDwarfInstructions instructions{static_cast<std::uint32_t>(program.size()),
                                                   program.data()};
        RZRCTRDwarfState state;
        EXPECT_EQ(RZRCTRDwarfInstructionsEnumerate(&instructions, &cie, &state, INT64_MAX), c.ok);
        if (c.ok) {
            EXPECT_EQ(state.cfaRegisterOffset, c.cfaOffset);
        }
    }
}

TEST(DwarfExpression, Evaluates) {
    std::uint64_t memory = 0xabcdef;
    RZRCTRUnwindRegisters registers;
    registers.value[7] = reinterpret_cast<std::uint64_t>(&memory) - 16;
    struct Case {
        const char* name;
        Bytes block;
        std::uint64_t initial;
        bool ok;
        std::uint64_t result;
    };
    std::vector<Case> cases = {
        {"lit5 lit3 plus", {0x03, 0x35, 0x33, 0x22}, 0, true, 8},
        {"breg7 +16 deref", {0x03, 0x77, 0x10, 0x06}, 0, true, 0xabcdef},
        {"plus_uconst", {0x02, 0x23, 0x05}, 10, true, 15},
        {"deref_size 1", {0x04, 0x77, 0x10, 0x94, 0x01}, 0, true, 0xef},
        {"ne and", {0x05, 0x31, 0x32, 0x2e, 0x31, 0x1a}, 0, true, 1},
        {"dup swap", {0x04, 0x31, 0x12, 0x32, 0x16}, 0, true, 1},
        {"length zero", {0x00}, 0, false, 0},
        {"pops past the bottom", {0x02, 0x22, 0x22}, 0, false, 0},
        {"unknown opcode", {0x01, 0x99}, 0, false, 0},
        {"deref of nothing", {0x01, 0x06}, 16, false, 0},
        {"block longer than its range", {0x09, 0x30}, 0, false, 0},
    };
    Bytes deep = {0x65};  // 101 pushes: past the 100-entry stack
    for (int i = 0; i < 101; ++i) deep.push_back(0x30);
    cases.push_back({"stack overflow", deep, 0, false, 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const GuardedBytes block(c.block);
        std::uint64_t result = 0;
        EXPECT_EQ(RZRCTRDwarfEvalulateExpression(block.data(), block.data() + block.size(),
                                                 &registers, c.initial, &result),
                  c.ok);
        if (c.ok) {
            EXPECT_EQ(result, c.result);
        }
    }
}

TEST(DwarfUnwind, ReturnAddressRuleThatKeepsTheOldValueFails) {
    // arm64: the return address register (30) restored to itself.
    const Bytes cieProgram = {0x0c, 31, 0x10, 0x09, 30, 30};
    const RZRCTRDwarfInstructions instructions{static_cast<std::uint32_t>(cieProgram.size()),
                                               cieProgram.data()};
    RZRCTRDwarfCFIRecord record;
    record.cie = alignedCIE();
    record.cie.returnAddressRegister = 30;
    record.cie.instructions = instructions;
    record.fde.startAddress = 0x1000;
    RZRCTRUnwindRegisters registers;
    registers.architecture = RZRCTRUnwindArchitecture::arm64;
    registers.pc = 0x1010;
    registers.value[31] = 0x7000;
    registers.value[30] = 0x2222;
    EXPECT_FALSE(RZRCTRDwarfUnwindComputeRegisters(&record, &registers));
    EXPECT_EQ(registers.value[31], 0x7000u);
    // With the return address saved on the stack instead, the caller appears.
    std::uint64_t saved[2] = {0x3333, 0x4444};
    registers.value[31] = reinterpret_cast<std::uint64_t>(saved);
    const Bytes fromStack = {0x0c, 31, 0x10, 0x9e, 0x01};  // x30 at cfa-8
    record.cie.instructions = {static_cast<std::uint32_t>(fromStack.size()), fromStack.data()};
    ASSERT_TRUE(RZRCTRDwarfUnwindComputeRegisters(&record, &registers));
    EXPECT_EQ(registers.pc, 0x4444u);
    EXPECT_EQ(registers.value[31], reinterpret_cast<std::uint64_t>(saved) + 16);
}

// The live .eh_frame of this program: the caller of a function, found by
// its call-frame information, is the one glibc's backtrace names.
struct EhFrame {
    RZRCTRDwarfSection header;
    RZRCTRDwarfSection frames;
};

EhFrame ehFrameOf(const void* code) {
    struct Search {
        std::uintptr_t address;
        EhFrame found;
    } search{reinterpret_cast<std::uintptr_t>(code), {}};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* context) {
            auto* s = static_cast<Search*>(context);
            const ElfW(Phdr)* hdr = nullptr;
            bool inside = false;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                const std::uintptr_t start = info->dlpi_addr + p.p_vaddr;
                if (p.p_type == PT_LOAD && s->address >= start && s->address < start + p.p_memsz)
                    inside = true;
                if (p.p_type == PT_GNU_EH_FRAME) hdr = &p;
            }
            if (!inside || hdr == nullptr) return 0;
            const auto* header =
                reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + hdr->p_vaddr);
            s->found.header = {header, hdr->p_memsz};
            std::int32_t offset;
            std::memcpy(&offset, header + 4, 4);  // pc-relative sdata4
            const auto* frames = header + 4 + offset;
            // Bounded by the end of the segment that holds it.
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                const auto* start =
                    reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + p.p_vaddr);
                if (p.p_type == PT_LOAD && frames >= start && frames < start + p.p_filesz)
                    s->found.frames = {frames,
                                       static_cast<std::uint64_t>(start + p.p_filesz - frames)};
            }
            return 1;
        },
        &search);
    return search.found;
}

// Unwinds from this very point while its callers' frames are still live:
// the PC after the capture, the stack and frame pointers and the
// callee-saved registers are the starting set. pcs[i] is the return address
// the unwinder finds for frame i + 1.
__attribute__((noinline)) int unwindFromHere(std::uint64_t* pcs, int capacity, void** trace,
                                             int* depth) {
    RZRCTRUnwindRegisters registers;
    registers.architecture = RZRCTRUnwindArchitecture::x86_64;
    std::uint64_t rbx, rbp, rsp, r12, r13, r14, r15, rip;
    asm volatile(
        "movq %%rbx, %0\n movq %%rbp, %1\n movq %%rsp, %2\n movq %%r12, %3\n"
        "movq %%r13, %4\n movq %%r14, %5\n movq %%r15, %6\n leaq 0(%%rip), %7\n"
        : "=m"(rbx), "=m"(rbp), "=m"(rsp), "=m"(r12), "=m"(r13), "=m"(r14), "=m"(r15), "=r"(rip));
    registers.value[3] = rbx;
    registers.value[6] = rbp;
    registers.value[7] = rsp;
    registers.value[12] = r12;
    registers.value[13] = r13;
    registers.value[14] = r14;
    registers.value[15] = r15;
    registers.pc = rip;
    *depth = ::backtrace(trace, 16);
    int count = 0;
    for (; count < capacity; ++count) {
        // The first PC is exact; later ones are return addresses, looked up
        // one byte back so that they fall inside the call.
        const std::uint64_t lookup = count == 0 ? registers.pc : registers.pc - 1;
        const EhFrame eh = ehFrameOf(reinterpret_cast<const void*>(lookup));
        const std::uint8_t* fde = nullptr;
        RZRCTRDwarfCFIRecord record;
        if (!RZRCTRDwarfFindFDEWithHeader(eh.header, eh.frames, lookup, &fde) ||
            !RZRCTRDwarfParseCFIFromFDERecord(&record, fde, eh.frames) ||
            lookup < record.fde.startAddress ||
            lookup >= record.fde.startAddress + record.fde.rangeSize)
            break;
        registers.pc = lookup;
        if (!RZRCTRDwarfUnwindComputeRegisters(&record, &registers)) break;
        pcs[count] = registers.pc;
    }
    return count;
}

TEST(DwarfUnwind, LiveFramesMatchBacktrace) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    std::uint64_t pcs[5] = {};
    void* trace[16];
    int depth = 0;
    const int count = unwindFromHere(pcs, 5, trace, &depth);
    ASSERT_GE(depth, 4);
    // trace[0] is inside unwindFromHere, trace[1] its return address here.
    ASSERT_GE(count, 3);
    for (int frame = 0; frame < count && frame + 1 < depth; ++frame)
        EXPECT_EQ(pcs[frame], reinterpret_cast<std::uint64_t>(trace[frame + 1])) << frame;
}

}  // namespace
