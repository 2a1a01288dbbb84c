#include "services/crash/RZRCTRUnwind.h"

#include <execinfo.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRCompactUnwind.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRMachO.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using crashtest::GuardedBytes;
const fs::path kFixtures = CRASH_FIXTURES_DIR;

// The arm64 slice of the fat fixture, mapped as a loaded image would be
// (its __TEXT starts at the header, file offset 0).
class Arm64Fixture {
  public:
    Arm64Fixture() {
        const std::string text = crashtest::readFile(kFixtures / "fat.dylib");
        file_.assign(text.begin(), text.end());
        RZRCTRMachOEnumerateSlicesAtAddress(file_.data(), file_.size(),
                                            [&](RZRCTRMachOSliceInfo s) {
                                                if (s.cputype == kRZRCTRCPUTypeARM64) slice_ = s;
                                            });
        const void* ehFrame = nullptr;
        std::uint64_t ehFrameSize = 0;
        RZRCTRMachOSliceGetUnwindInformation(slice_, &ehFrame, &ehFrameSize, &unwindInfo_,
                                             &unwindInfoSize_);
    }
    std::uint64_t load() const { return reinterpret_cast<std::uint64_t>(slice_.startAddress); }
    const void* unwindInfo() const { return unwindInfo_; }
    std::uint64_t unwindInfoSize() const { return unwindInfoSize_; }

  private:
    Bytes file_;
    RZRCTRMachOSliceInfo slice_;
    const void* unwindInfo_ = nullptr;
    std::uint64_t unwindInfoSize_ = 0;
};

// function offset -> encoding, as llvm-objdump listed them.
std::map<std::uint64_t, std::uint32_t> objdumpEncodings() {
    std::map<std::uint64_t, std::uint32_t> encodings;
    for (const std::string& line : crashtest::readLines(kFixtures / "macho_expected.txt")) {
        std::istringstream in(line);
        std::string file, arch, kind, offset, encoding;
        in >> file >> arch >> kind >> offset >> encoding;
        if (file == "fat.dylib" && arch == "arm64" && kind == "unwind")
            encodings[std::stoull(offset, nullptr, 16)] =
                static_cast<std::uint32_t>(std::stoul(encoding, nullptr, 16));
    }
    return encodings;
}

TEST(CompactUnwind, FixtureEntriesMatchTheObjectDumper) {
    const Arm64Fixture image;
    ASSERT_NE(image.unwindInfo(), nullptr);
    const auto encodings = objdumpEncodings();
    ASSERT_EQ(encodings.size(), 2u);
    RZRCTRCompactUnwindContext context;
    ASSERT_TRUE(RZRCTRCompactUnwindInit(&context, image.unwindInfo(), image.unwindInfoSize(), {},
                                        image.load()));
    for (auto it = encodings.begin(); it != encodings.end(); ++it) {
        for (const std::uint64_t into : {std::uint64_t{0}, std::uint64_t{4}}) {
            RZRCTRCompactUnwindResult result;
            ASSERT_TRUE(
                RZRCTRCompactUnwindLookup(&context, image.load() + it->first + into, &result))
                << std::hex << it->first;
            EXPECT_EQ(result.encoding, it->second);
            EXPECT_EQ(result.functionStart, image.load() + it->first);
        }
    }
    // The page's last function ends where the next first-level entry starts.
    RZRCTRCompactUnwindResult result;
    ASSERT_TRUE(RZRCTRCompactUnwindLookup(&context, image.load() + 0x4058, &result));
    EXPECT_EQ(result.functionEnd, image.load() + 0x405c);
    EXPECT_FALSE(RZRCTRCompactUnwindLookup(&context, image.load() + 0x405c, &result));
}

TEST(CompactUnwind, FrameRecordsOfTheFixtureGiveTheCallers) {
    const Arm64Fixture image;
    // answer's frame record points at twice's; twice's at the outermost.
    std::uint64_t stack[8] = {};
    stack[4] = 0;          // twice's saved FP: the end
    stack[5] = 0x7777000;  // twice's caller
    stack[0] = reinterpret_cast<std::uint64_t>(&stack[4]);
    stack[1] = image.load() + 0x4034;  // return address into twice
    RZRCTRUnwindRegisters registers;
    registers.architecture = RZRCTRUnwindArchitecture::arm64;
    registers.pc = image.load() + 0x4010;  // inside answer
    registers.value[29] = reinterpret_cast<std::uint64_t>(&stack[0]);
    registers.value[31] = reinterpret_cast<std::uint64_t>(&stack[0]);
    RZRCTRCompactUnwindContext context;
    ASSERT_TRUE(RZRCTRCompactUnwindInit(&context, image.unwindInfo(), image.unwindInfoSize(), {},
                                        image.load()));
    ASSERT_TRUE(RZRCTRCompactUnwindLookupAndCompute(&context, &registers));
    EXPECT_EQ(registers.pc, image.load() + 0x4034);
    EXPECT_EQ(registers.value[29], reinterpret_cast<std::uint64_t>(&stack[4]));
    EXPECT_EQ(registers.value[31], reinterpret_cast<std::uint64_t>(&stack[2]));
    registers.pc -= 1;
    ASSERT_TRUE(RZRCTRCompactUnwindLookupAndCompute(&context, &registers));
    EXPECT_EQ(registers.pc, 0x7777000u);
}

// A section written by hand: header, common encodings, a two-entry index and
// one compressed page with its own encodings.
struct HandMade {
    Bytes bytes;
    std::size_t pageAt = 0;
};

HandMade handMadeUnwindInfo(std::uint32_t version, const std::vector<std::uint32_t>& common,
                            const std::vector<std::pair<std::uint32_t, std::uint8_t>>& entries,
                            const std::vector<std::uint32_t>& pageEncodings,
                            std::uint32_t pageKind = 3) {
    HandMade out;
    Bytes& b = out.bytes;
    const auto put32 = [&](std::uint32_t v) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        b.insert(b.end(), p, p + 4);
    };
    const auto put16 = [&](std::uint16_t v) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        b.insert(b.end(), p, p + 2);
    };
    const std::uint32_t commonAt = 28;
    const std::uint32_t indexAt = commonAt + 4 * static_cast<std::uint32_t>(common.size());
    const std::uint32_t pageAt = indexAt + 24;
    put32(version);
    put32(commonAt);
    put32(static_cast<std::uint32_t>(common.size()));
    put32(indexAt);
    put32(0);
    put32(indexAt);
    put32(2);
    for (const auto encoding : common) put32(encoding);
    put32(0x1000);  // first-level entry: functions from 0x1000
    put32(pageAt);
    put32(0);
    put32(0x1100);  // sentinel
    put32(0);
    put32(0);
    out.pageAt = b.size();
    put32(pageKind);
    put16(12);
    put16(static_cast<std::uint16_t>(entries.size()));
    put16(static_cast<std::uint16_t>(12 + 4 * entries.size()));
    put16(static_cast<std::uint16_t>(pageEncodings.size()));
    for (const auto& [offset, index] : entries) put32(offset | (std::uint32_t{index} << 24));
    for (const auto encoding : pageEncodings) put32(encoding);
    return out;
}

TEST(CompactUnwind, EncodingsAndRejectedSections) {
    // A frameless function at 0x1000, a frame one at 0x1020 (page encoding),
    // a DWARF one at 0x1040, an unknown mode at 0x1060, no info at 0x1080.
    const HandMade made = handMadeUnwindInfo(
        1, {0x02000000, 0x04000000}, {{0x00, 0}, {0x20, 2}, {0x40, 3}, {0x60, 4}, {0x80, 5}},
        {0x04000000, 0x03000000 | 0x10, 0x01000000, 0});
    const GuardedBytes info(made.bytes);
    const std::uint64_t load = 0x100000;
    struct Case {
        std::uint64_t pc;
        bool found;
        std::uint32_t encoding;
    };
    const Case cases[] = {
        {load + 0x1000, true, 0x02000000},  // at the base: target 0, still entry 0
        {load + 0x1024, true, 0x04000000}, {load + 0x1040, true, 0x03000010},
        {load + 0x1060, true, 0x01000000}, {load + 0x1080, false, 0},  // encoding 0: no unwind info
        {load + 0x1100, false, 0},                                     // past the sentinel
        {load + 0x0fff, false, 0},
    };
    RZRCTRCompactUnwindContext context;
    ASSERT_TRUE(RZRCTRCompactUnwindInit(&context, info.data(), info.size(), {}, load));
    for (const Case& c : cases) {
        RZRCTRCompactUnwindResult result;
        EXPECT_EQ(RZRCTRCompactUnwindLookup(&context, c.pc, &result), c.found) << std::hex << c.pc;
        if (c.found) {
            EXPECT_EQ(result.encoding, c.encoding) << std::hex << c.pc;
        }
    }
    RZRCTRUnwindRegisters registers;
    registers.architecture = RZRCTRUnwindArchitecture::arm64;
    registers.value[30] = 0x5555000;
    registers.pc = load + 0x1004;
    ASSERT_TRUE(RZRCTRCompactUnwindLookupAndCompute(&context, &registers));
    EXPECT_EQ(registers.pc, 0x5555000u) << "frameless: PC from LR";
    registers.pc = load + 0x1064;
    EXPECT_FALSE(RZRCTRCompactUnwindLookupAndCompute(&context, &registers)) << "invalid mode";
    registers.pc = load + 0x1044;
    EXPECT_FALSE(RZRCTRCompactUnwindLookupAndCompute(&context, &registers)) << "no __eh_frame";

    EXPECT_FALSE(RZRCTRCompactUnwindInit(
        &context, GuardedBytes(handMadeUnwindInfo(2, {}, {{0, 0}}, {}).bytes).data(), 64, {},
        load));
    const HandMade regular = handMadeUnwindInfo(1, {0x02000000}, {{0, 0}}, {}, 2);
    const GuardedBytes regularInfo(regular.bytes);
    ASSERT_TRUE(
        RZRCTRCompactUnwindInit(&context, regularInfo.data(), regularInfo.size(), {}, load));
    RZRCTRCompactUnwindResult result;
    EXPECT_FALSE(RZRCTRCompactUnwindLookup(&context, load + 0x1000, &result));
}

// Each damaged field would lead a trusting reader onto the guard page. What
// a damaged table still gives must be what the whole one gives: never an
// entry read from beyond the section.
TEST(CompactUnwind, DamagedOffsetsAndCountsStayInsideTheSection) {
    const HandMade good = handMadeUnwindInfo(1, {0x02000000}, {{0x00, 0}, {0x20, 1}}, {0x04000000});
    const std::uint64_t pcs[] = {0x101000ull, 0x101024ull, 0x1010f0ull, 0x102000ull};
    std::map<std::uint64_t, std::pair<bool, RZRCTRCompactUnwindResult>> whole;
    {
        const GuardedBytes info(good.bytes);
        RZRCTRCompactUnwindContext context;
        ASSERT_TRUE(RZRCTRCompactUnwindInit(&context, info.data(), info.size(), {}, 0x100000));
        for (const std::uint64_t pc : pcs)
            whole[pc].first = RZRCTRCompactUnwindLookup(&context, pc, &whole[pc].second);
    }
    struct Case {
        const char* name;
        std::size_t at;
        std::uint32_t value;
        bool half;
        int found;  // of the four PCs; the whole table has three
    };
    const Case cases[] = {
        {"index count", 24, 0x10000000, false, 0},
        {"index offset", 20, 0x7ffffff0, false, 0},
        {"page offset", 32 + 4, 0x7ffffff0, false, 0},
        {"entry count", good.pageAt + 6, 0x40, true, 0},
        {"entry offset", good.pageAt + 4, 0x0f00, true, 0},
        {"page encoding index", good.pageAt + 12 + 4 + 3, 0xff, true, 1},
        {"encodings offset", good.pageAt + 8, 0x0f00, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = good.bytes;
        if (c.half) {
            const std::uint16_t v = static_cast<std::uint16_t>(c.value);
            if (c.value == 0xff) {
                bytes[c.at] = 0xff;
            } else {
                std::memcpy(bytes.data() + c.at, &v, 2);
            }
        } else {
            std::memcpy(bytes.data() + c.at, &c.value, 4);
        }
        const GuardedBytes info(bytes);
        RZRCTRCompactUnwindContext context;
        ASSERT_TRUE(RZRCTRCompactUnwindInit(&context, info.data(), info.size(), {}, 0x100000));
        int found = 0;
        for (const std::uint64_t pc : pcs) {
            SCOPED_TRACE(pc);
            RZRCTRCompactUnwindResult result;
            if (!RZRCTRCompactUnwindLookup(&context, pc, &result)) continue;
            ++found;
            ASSERT_TRUE(whole[pc].first);
            EXPECT_EQ(result.functionStart, whole[pc].second.functionStart);
            EXPECT_EQ(result.functionEnd, whole[pc].second.functionEnd);
            EXPECT_EQ(result.encoding, whole[pc].second.encoding);
        }
        EXPECT_EQ(found, c.found);
    }
}

// Frame records laid out by hand on x86-64: [saved rbp, return address].
TEST(FramePointerChain, EndsAtZeroAndRefusesChainsThatDoNotClimb) {
    struct Case {
        const char* name;
        int savedLink;  // index of the record the first record links to; -1 for 0
        bool unwinds;
    };
    const Case cases[] = {
        {"climbing chain", 4, true},
        {"end of the chain", -1, true},
        {"record links to itself", 0, false},
        {"record links downward", -2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t stack[12] = {};
        std::uint64_t* record = &stack[4];
        record[0] = c.savedLink == -1 ? 0 : reinterpret_cast<std::uint64_t>(&record[c.savedLink]);
        record[1] = 0x401234;
        RZRCTRUnwindRegisters registers;
        registers.value[6] = reinterpret_cast<std::uint64_t>(record);
        registers.value[7] = reinterpret_cast<std::uint64_t>(&stack[0]);
        registers.pc = 0x400000;
        EXPECT_EQ(RZRCTRUnwindWithFramePointer(&registers, false), c.unwinds);
        if (c.unwinds) {
            EXPECT_EQ(registers.pc, 0x401234u);
            EXPECT_EQ(registers.value[7], reinterpret_cast<std::uint64_t>(&record[2]));
        }
    }
    RZRCTRUnwindRegisters unreadable;
    unreadable.value[6] = 16;
    EXPECT_FALSE(RZRCTRUnwindWithFramePointer(&unreadable, false));
}

using UnwindTest = crashtest::ImagesFixture;

TEST_F(UnwindTest, FirstFrameIsTheCapturedOneAndBadRegistersGiveNone) {
    RZRCTRUnwindRegisters registers;
    registers.pc = 0x400123;
    registers.value[7] = 0x7ff000;
    RZRCTRUnwindContext context;
    ASSERT_TRUE(RZRCTRUnwindInit(&context, &registers));
    ASSERT_TRUE(RZRCTRUnwindNextFrame(&context));
    EXPECT_EQ(RZRCTRUnwindGetPC(&context), 0x400123u);
    EXPECT_EQ(RZRCTRUnwindGetStackPointer(&context), 0x7ff000u);
    for (const auto& [pc, sp] : {std::pair{0x10ull, 0x7ff000ull}, std::pair{0x400123ull, 0ull}}) {
        registers.pc = pc;
        registers.value[7] = sp;
        ASSERT_TRUE(RZRCTRUnwindInit(&context, &registers));
        EXPECT_FALSE(RZRCTRUnwindNextFrame(&context));
    }
    EXPECT_NE(sdkLog().find("Cancelling unwind for thread with invalid PC/SP"), std::string::npos);
}

// The crashed PC is exact: at the first instruction of a function it must
// not be taken for the end of the function before it.
TEST_F(UnwindTest, TheCrashedPCIsLookedUpAsItIs) {
    const HandMade made =
        handMadeUnwindInfo(1, {0x02000000, 0x04000000}, {{0x00, 0}, {0x20, 1}}, {});
    const GuardedBytes info(made.bytes);
    // An image at a made-up load address: lookups never read its memory.
    const std::uint64_t load = 0x10000000;
    RZRCTRBinaryImageDetails details{};
    details.node.baseAddress = static_cast<std::uintptr_t>(load);
    details.node.size = 0x1100;
    details.node.unwindInfo = info.data();
    details.node.unwindInfoSize = info.size();
    RZRCTRBinaryImageStoreNode(true, details);

    std::uint64_t stack[8] = {};
    stack[0] = 0;          // caller's FP
    stack[1] = 0x6666000;  // caller's PC from the frame record
    RZRCTRUnwindRegisters registers;
    registers.architecture = RZRCTRUnwindArchitecture::arm64;
    registers.pc = load + 0x1020;  // first instruction of the frame function
    registers.value[29] = reinterpret_cast<std::uint64_t>(&stack[0]);
    registers.value[30] = 0x5555000;  // what the frameless function before would use
    registers.value[31] = reinterpret_cast<std::uint64_t>(&stack[0]);
    RZRCTRUnwindContext context;
    ASSERT_TRUE(RZRCTRUnwindInit(&context, &registers));
    ASSERT_TRUE(RZRCTRUnwindNextFrame(&context));
    ASSERT_TRUE(RZRCTRUnwindNextFrame(&context));
    EXPECT_EQ(RZRCTRUnwindGetPC(&context), 0x6666000u);
}

// Unwinds from this very point while the callers' frames are live, through
// the image list and the images' own call-frame information.
__attribute__((noinline)) int walkFromHere(std::uint64_t* pcs, int capacity, void** trace,
                                           int* depth) {
    RZRCTRUnwindRegisters registers;
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
    *depth = ::backtrace(trace, 32);
    RZRCTRUnwindContext context;
    RZRCTRUnwindInit(&context, &registers);
    int count = 0;
    while (count < capacity && RZRCTRUnwindNextFrame(&context))
        pcs[count++] = RZRCTRUnwindGetPC(&context);
    return count;
}

TEST_F(UnwindTest, LiveStackMatchesBacktrace) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    std::uint64_t pcs[32] = {};
    void* trace[32];
    int depth = 0;
    const int count = walkFromHere(pcs, 32, trace, &depth);
    ASSERT_GE(depth, 5);
    // pcs[0] is the captured PC; pcs[i] for i >= 1 are the return addresses
    // backtrace lists from trace[1] on (trace[0] is inside walkFromHere).
    ASSERT_GE(count, depth - 1);
    for (int i = 1; i < depth; ++i)
        EXPECT_EQ(pcs[i], reinterpret_cast<std::uint64_t>(trace[i])) << i;
}

}  // namespace
