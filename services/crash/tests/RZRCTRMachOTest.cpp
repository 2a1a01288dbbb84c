#include "services/crash/RZRCTRMachO.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "services/crash/RZRCTRMachOBinary.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

namespace fs = std::filesystem;
using crashtest::GuardedBytes;
const fs::path kFixtures = CRASH_FIXTURES_DIR;

std::vector<std::uint8_t> readBytes(const fs::path& path) {
    const std::string text = crashtest::readFile(path);
    return {text.begin(), text.end()};
}

std::vector<RZRCTRMachOSliceInfo> slicesOf(const void* bytes, std::size_t size) {
    std::vector<RZRCTRMachOSliceInfo> slices;
    RZRCTRMachOEnumerateSlicesAtAddress(
        bytes, size, [&](RZRCTRMachOSliceInfo slice) { slices.push_back(slice); });
    return slices;
}

std::string versionText(RZRCTRMachOVersion version) {
    char text[40];
    EXPECT_TRUE(RZRCTRMachOFormatVersion(&version, text, sizeof text));
    return text;
}

// "10.12" as llvm-objdump prints it -> "10.12.0".
std::string fullVersion(std::string text) {
    if (std::count(text.begin(), text.end(), '.') == 1) text += ".0";
    return text;
}

std::string lowerUUID(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

struct Expected {
    std::string uuid;
    std::string version = "0.0.0";
    std::string sdk = "0.0.0";
    std::vector<std::string> dylibs;
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> sections;  // size, addr
};

// The answers llvm-objdump gave when the fixtures were made, by file and
// architecture.
std::map<std::pair<std::string, std::string>, Expected> objdumpAnswers() {
    std::map<std::pair<std::string, std::string>, Expected> answers;
    for (const std::string& line : crashtest::readLines(kFixtures / "macho_expected.txt")) {
        std::istringstream in(line);
        std::string file, arch, kind, a, b, c;
        in >> file >> arch >> kind >> a >> b >> c;
        Expected& expected = answers[{file, arch}];
        if (kind == "uuid") expected.uuid = lowerUUID(a);
        if (kind == "version") expected.version = fullVersion(a);
        if (kind == "sdk") expected.sdk = fullVersion(a);
        if (kind == "dylib") expected.dylibs.push_back(a);
        if (kind == "section")
            expected.sections[a] = {std::stoull(b, nullptr, 16), std::stoull(c, nullptr, 16)};
    }
    return answers;
}

TEST(MachO, FixturesReadAsTheObjectDumperReadsThem) {
    const auto answers = objdumpAnswers();
    ASSERT_EQ(answers.size(), 4u);
    for (const auto& [key, expected] : answers) {
        SCOPED_TRACE(key.first + " " + key.second);
        auto binary = RZRCTRMachOBinary::MachOBinaryWithPath((kFixtures / key.first).string());
        ASSERT_TRUE(binary);
        auto slice = binary->sliceForArchitecture(key.second);
        ASSERT_TRUE(slice);
        EXPECT_EQ(slice->uuid(), expected.uuid);
        EXPECT_EQ(slice->linkedDylibs(), expected.dylibs);
        EXPECT_EQ(versionText(slice->minimumOSVersion()), expected.version);
        EXPECT_EQ(versionText(slice->linkedSDKVersion()), expected.sdk);
        EXPECT_TRUE(RZRCTRMachOSliceIs64Bit(slice->slice()));
        for (const auto& [name, sizeAndAddress] : expected.sections) {
            RZRCTRMachOSection section;
            ASSERT_TRUE(
                RZRCTRMachOSliceInitSectionByName(slice->slice(), "__TEXT", name.c_str(), &section))
                << name;
            EXPECT_EQ(section.size, sizeAndAddress.first) << name;
            EXPECT_EQ(section.addr, sizeAndAddress.second) << name;
        }
        RZRCTRMachOSection missing;
        EXPECT_FALSE(
            RZRCTRMachOSliceInitSectionByName(slice->slice(), "__TEXT", "__nothing", &missing));
    }
}

TEST(MachO, FatFileYieldsItsSlicesInEntryOrder) {
    const auto bytes = readBytes(kFixtures / "fat.dylib");
    const auto slices = slicesOf(bytes.data(), bytes.size());
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_STREQ(RZRCTRMachOSliceGetArchitectureName(slices[0]), "x86_64");
    EXPECT_STREQ(RZRCTRMachOSliceGetArchitectureName(slices[1]), "arm64");
    for (const auto& slice : slices) {
        std::uint32_t magic;
        std::memcpy(&magic, slice.startAddress, 4);
        EXPECT_EQ(magic, 0xfeedfacfu);
        EXPECT_LE(slice.startAddress + slice.size, bytes.data() + bytes.size());
    }
    // The thin x86_64 image is the first slice, byte for byte.
    const auto thin = readBytes(kFixtures / "thin_x86_64.dylib");
    ASSERT_EQ(slices[0].size, thin.size());
    EXPECT_EQ(std::memcmp(slices[0].startAddress, thin.data(), thin.size()), 0);

    auto binary = RZRCTRMachOBinary::MachOBinaryWithPath((kFixtures / "fat.dylib").string());
    ASSERT_TRUE(binary);
    std::vector<std::string> seen;
    binary->enumerateUUIDs([&](const std::string& uuid, const std::string& arch) {
        seen.push_back(arch + ":" + uuid);
    });
    ASSERT_EQ(seen.size(), 2u);
    // Sorted by architecture name, arm64 comes first whatever the file order.
    const std::string joined = binary->slices()[1]->uuid() + binary->slices()[0]->uuid();
    EXPECT_EQ(binary->instanceIdentifier(), RZRCTRMachOBinary::hashNSString(joined));
    EXPECT_EQ(binary->instanceIdentifier().size(), 40u);
}

TEST(MachO, UnknownMagicIsOneSliceWithoutCommands) {
    const std::vector<std::uint8_t> bytes(64, 0x5a);
    const auto slices = slicesOf(bytes.data(), bytes.size());
    ASSERT_EQ(slices.size(), 1u);
    EXPECT_EQ(slices[0].cputype, 0);
    EXPECT_EQ(slices[0].cpusubtype, 0);
    RZRCTRMachOSliceInfo slice = slices[0];
    int commands = 0;
    RZRCTRMachOSliceEnumerateLoadCommands(&slice,
                                          [&](const RZRCTRMachOLoadCommand&) { ++commands; });
    EXPECT_EQ(commands, 0);
    EXPECT_STREQ(RZRCTRMachOSliceGetArchitectureName(slice), "unknown");
}

// A small image written by hand in either byte order: LC_SEGMENT(_64) with
// one section, LC_UUID, LC_VERSION_MIN_MACOSX and LC_LOAD_DYLIB.
std::vector<std::uint8_t> handMadeImage(bool bigEndian, bool wide) {
    std::vector<std::uint8_t> out;
    const auto put32 = [&](std::uint32_t v) {
        if (bigEndian) v = __builtin_bswap32(v);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        out.insert(out.end(), p, p + 4);
    };
    const auto putWord = [&](std::uint64_t v) {
        if (!wide) return put32(static_cast<std::uint32_t>(v));
        if (bigEndian) v = __builtin_bswap64(v);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
        out.insert(out.end(), p, p + 8);
    };
    const auto putName = [&](const char* name) {
        char field[16] = {};
        std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
        out.insert(out.end(), field, field + 16);
    };
    const std::uint32_t segmentSize = wide ? 72 + 80 : 56 + 68;
    const std::uint32_t commandsSize = segmentSize + 24 + 16 + 40;
    put32(wide ? 0xfeedfacf : 0xfeedface);
    put32(wide ? kRZRCTRCPUTypeARM64 : kRZRCTRCPUTypeARM);
    put32(wide ? 0x80000002 : 11);
    put32(6);  // dylib
    put32(4);
    put32(commandsSize);
    put32(0);
    if (wide) put32(0);
    put32(wide ? 0x19 : 0x1);
    put32(segmentSize);
    putName("__TEXT");
    putWord(0x1000);
    putWord(0x2000);
    putWord(0);
    putWord(0x2000);
    put32(5);
    put32(5);
    put32(1);
    put32(0);
    putName("__text");
    putName("__TEXT");
    putWord(0x1100);
    putWord(0x40);
    put32(0x100);
    for (int i = 0; i < (wide ? 7 : 6); ++i) put32(0);
    put32(0x1b);
    put32(24);
    for (std::uint8_t b = 0; b < 16; ++b) out.push_back(static_cast<std::uint8_t>(0xf0 + b));
    put32(0x24);
    put32(16);
    put32(0x000a0f02);  // 10.15.2
    put32(0x000b0100);  // 11.1.0
    put32(0xc);
    put32(40);
    put32(24);
    put32(0);
    put32(0);
    put32(0);
    const char name[16] = "/usr/lib/libz.1";
    out.insert(out.end(), name, name + 16);
    out.resize(0x200, 0);
    return out;
}

TEST(MachO, EitherByteOrderReadsTheSame) {
    for (const bool wide : {false, true}) {
        for (const bool bigEndian : {false, true}) {
            SCOPED_TRACE(std::string(wide ? "64" : "32") + (bigEndian ? " big" : " little"));
            const GuardedBytes bytes(handMadeImage(bigEndian, wide));
            const auto slices = slicesOf(bytes.data(), bytes.size());
            ASSERT_EQ(slices.size(), 1u);
            EXPECT_EQ(slices[0].swapped, bigEndian);
            EXPECT_STREQ(RZRCTRMachOSliceGetArchitectureName(slices[0]),
                         wide ? "arm64e" : "armv7s");
            EXPECT_EQ(RZRCTRMachOSliceIs64Bit(slices[0]), wide);
            RZRCTRMachOSlice slice(slices[0]);
            EXPECT_EQ(slice.uuid(), "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
            EXPECT_EQ(versionText(slice.minimumOSVersion()), "10.15.2");
            EXPECT_EQ(versionText(slice.linkedSDKVersion()), "11.1.0");
            EXPECT_EQ(slice.linkedDylibs(), std::vector<std::string>{"/usr/lib/libz.1"});
            RZRCTRMachOSection section;
            ASSERT_TRUE(RZRCTRMachOSliceInitSectionByName(slices[0], "__TEXT", "__text", &section));
            EXPECT_EQ(section.addr, 0x1100u);
            EXPECT_EQ(section.size, 0x40u);
            EXPECT_EQ(section.offset, 0x100u);
            const void* pointer = nullptr;
            ASSERT_TRUE(RZRCTRMachOSliceGetSectionByName(slices[0], "__TEXT", "__text", &pointer));
            EXPECT_EQ(pointer, bytes.data() + 0x100);
            RZRCTRMachOSliceInfo info = slices[0];
            RZRCTRMachOSliceEnumerateLoadCommands(
                &info, [&](const RZRCTRMachOLoadCommand& command) {
                    if (command.type != 0x1 && command.type != 0x19) return;
                    const RZRCTRMachOSegmentCommand segment = RZRCTRMachOGetSegmentCommand(command);
                    EXPECT_STREQ(segment.segname, "__TEXT");
                    EXPECT_EQ(segment.vmaddr, 0x1000u);
                    EXPECT_EQ(segment.vmsize, 0x2000u);
                });
        }
    }
}

void put32At(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, 4);
}

// Each damaged field would lead a reader that trusts it past the end of the
// buffer, onto the guard page.
TEST(MachO, DamagedCountsAndOffsetsStayInsideTheImage) {
    // In the hand-made 64-bit image: header 32 bytes, segment at 32 (nsects
    // at 32+64), section at 32+72 (offset field at +48), LC_UUID at 184,
    // version at 208, dylib at 224 (name offset at +8).
    struct Case {
        const char* name;
        std::vector<std::pair<std::size_t, std::uint32_t>> patches;
        bool cutAfterCommands;  // the image ends right after its commands
        bool unterminatedName;
    };
    const Case cases[] = {
        {"commands area larger than the image", {{16, 1000}, {20, 0x7fffffff}}, true, false},
        {"more commands than the area holds", {{16, 1000}}, true, false},
        {"command size past the area", {{32 + 4, 488}}, false, false},
        {"section count past the command", {{32 + 64, 0x1000000}}, false, false},
        {"dylib name offset past the command", {{224 + 8, 0x1000}}, false, false},
        {"dylib name without its end", {}, true, true},
        {"section bytes past the image", {{32 + 72 + 48, 0x1f0}}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> bytes = handMadeImage(false, true);
        for (const auto& [offset, value] : c.patches) put32At(bytes, offset, value);
        if (c.cutAfterCommands) bytes.resize(264);
        if (c.unterminatedName) std::memset(bytes.data() + 248, 'x', 16);
        const GuardedBytes guarded(bytes);
        const auto slices = slicesOf(guarded.data(), guarded.size());
        ASSERT_EQ(slices.size(), 1u);
        RZRCTRMachOSlice slice(slices[0]);
        for (const std::string& path : slice.linkedDylibs()) EXPECT_LT(path.size(), 16u);
        RZRCTRMachOSection section;
        EXPECT_FALSE(RZRCTRMachOSliceInitSectionByName(slices[0], "__TEXT", "__missing", &section));
        const void* pointer = nullptr;
        if (RZRCTRMachOSliceGetSectionByName(slices[0], "__TEXT", "__text", &pointer)) {
            RZRCTRMachOSliceInitSectionByName(slices[0], "__TEXT", "__text", &section);
            EXPECT_LE(section.offset + section.size, guarded.size());
        }
    }
}

TEST(MachO, DamagedFatEntriesAreSkipped) {
    const auto fat = readBytes(kFixtures / "fat.dylib");
    const auto bigPut = [](std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t v) {
        v = __builtin_bswap32(v);
        std::memcpy(bytes.data() + at, &v, 4);
    };
    struct Case {
        const char* name;
        std::size_t at;
        std::uint32_t value;
        std::size_t slices;
    };
    const Case cases[] = {
        {"entry count past the file", 4, 0x10000000, 0},
        {"first entry's offset past the file", 8 + 8, 0x7ffffff0, 1},
        {"second entry's size past the file", 8 + 20 + 12, 0x7ffffff0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = fat;
        bigPut(bytes, c.at, c.value);
        const GuardedBytes guarded(bytes);
        const auto slices = slicesOf(guarded.data(), guarded.size());
        EXPECT_EQ(slices.size(), c.slices);
        for (auto slice : slices) {
            RZRCTRMachOSlice reader(slice);
            EXPECT_EQ(reader.uuid().size(), 32u);
        }
    }
}

TEST(MachO, ArchitectureNames) {
    struct Case {
        std::int32_t type;
        std::int32_t subtype;
        const char* name;
    };
    const Case cases[] = {
        {kRZRCTRCPUTypeX86_64, 3, "x86_64"},
        {kRZRCTRCPUTypeX86_64, 8, "x86_64h"},
        {kRZRCTRCPUTypeX86, 3, "i386"},
        {kRZRCTRCPUTypeARM, 9, "armv7"},
        {kRZRCTRCPUTypeARM, 11, "armv7s"},
        {kRZRCTRCPUTypeARM, 12, "armv7k"},
        {kRZRCTRCPUTypeARM64, 0, "arm64"},
        {kRZRCTRCPUTypeARM64, 2, "arm64e"},
        // The pointer-authentication flag in the top byte names no new model.
        {kRZRCTRCPUTypeARM64, static_cast<std::int32_t>(0x80000002), "arm64e"},
        {0x7777, 0, "unknown"},
    };
    for (const Case& c : cases) {
        RZRCTRMachOSliceInfo slice;
        slice.cputype = c.type;
        slice.cpusubtype = c.subtype;
        EXPECT_STREQ(RZRCTRMachOSliceGetArchitectureName(slice), c.name)
            << c.type << "/" << c.subtype;
    }
}

TEST(MachO, TextForms) {
    std::uint8_t uuid[16];
    for (int i = 0; i < 16; ++i) uuid[i] = static_cast<std::uint8_t>(0xA0 + i * 3);
    char text[33];
    RZRCTRMachONormalizeUUID(uuid, text);
    EXPECT_STREQ(text, "a0a3a6a9acafb2b5b8bbbec1c4c7cacd");

    char out[16];
    const RZRCTRMachOVersion version{4294967295u, 255, 7};
    EXPECT_FALSE(RZRCTRMachOFormatVersion(&version, out, 8));
    EXPECT_STREQ(out, "");
    char wide[32];
    EXPECT_TRUE(RZRCTRMachOFormatVersion(&version, wide, sizeof wide));
    EXPECT_STREQ(wide, "4294967295.255.7");
    EXPECT_FALSE(RZRCTRMachOFormatVersion(nullptr, wide, sizeof wide));
}

class MachOFiles : public crashtest::CrashFixture {};

TEST_F(MachOFiles, OnlyRegularMappableFilesOpen) {
    crashtest::writeFile(home_ / "short", "0123456789");
    fs::create_directories(home_ / "folder");
    for (const fs::path& path :
         std::vector<fs::path>{home_ / "short", home_ / "folder", home_ / "missing"})
        EXPECT_FALSE(RZRCTRMachOBinary::MachOBinaryWithPath(path.string())) << path;
    RZRCTRMachOFile file;
    EXPECT_FALSE(RZRCTRMachOFileInitWithPath(&file, (home_ / "folder").c_str()));
    EXPECT_EQ(file.fd, -1);
    ASSERT_TRUE(RZRCTRMachOFileInitWithCurrent(&file));
    EXPECT_GE(file.size, 16u);
    RZRCTRMachOFileDestroy(&file);
    EXPECT_EQ(file.mappedFile, nullptr);
}

TEST_F(MachOFiles, DebugSymbolBundles) {
    const fs::path bundle = home_ / "Fix.dSYM";
    const fs::path dwarf = bundle / "Contents" / "Resources" / "DWARF";
    fs::create_directories(dwarf);
    crashtest::writeFile(bundle / "Contents" / "Info.plist",
                         R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.apple.xcode.dsym.org.example.fix</string>
<key>CFBundleVersion</key><string>42</string>
<key>CFBundleShortVersionString</key><string>1.2</string>
</dict></plist>)");
    EXPECT_FALSE(RZRCTRdSYM::dSYMWithURL(bundle.string())) << "empty DWARF folder";
    fs::copy_file(kFixtures / "fat.dylib", dwarf / "Fix");
    auto dsym = RZRCTRdSYM::dSYMWithURL(bundle.string());
    ASSERT_TRUE(dsym);
    EXPECT_EQ(dsym->bundleIdentifier(), "org.example.fix");
    EXPECT_EQ(dsym->bundleVersion(), "42");
    EXPECT_EQ(dsym->shortBundleVersion(), "1.2");
    EXPECT_EQ(dsym->executablePath(), (dwarf / "Fix").string());
    int uuids = 0;
    dsym->enumerateUUIDs([&](const std::string&, const std::string&) { ++uuids; });
    EXPECT_EQ(uuids, 2);
    EXPECT_FALSE(RZRCTRdSYM::dSYMWithURL((home_ / "none.dSYM").string()));
}

}  // namespace
