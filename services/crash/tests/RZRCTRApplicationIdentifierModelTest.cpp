#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "services/crash/RZRCTRApplicationIdentifierModel.h"
#include "services/crash/RZRCTRMachOBinary.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using crashtest::CrashFixture;

std::string fixture(const std::string& name) {
    return std::string(CRASH_FIXTURES_DIR) + "/" + name;
}

// A minimal 64-bit ELF file: header, one PT_NOTE program header and a
// build-id note with the given bytes.
std::string elfWithBuildId(const std::vector<std::uint8_t>& id, std::uint16_t machine) {
    std::vector<std::uint8_t> out(sizeof(Elf64_Ehdr) + sizeof(Elf64_Phdr));
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_machine = machine;
    header.e_phoff = sizeof(Elf64_Ehdr);
    header.e_phentsize = sizeof(Elf64_Phdr);
    header.e_phnum = 1;
    std::memcpy(out.data(), &header, sizeof header);
    Elf64_Nhdr note{4, static_cast<Elf64_Word>(id.size()), NT_GNU_BUILD_ID};
    std::vector<std::uint8_t> noteBytes(sizeof note);
    std::memcpy(noteBytes.data(), &note, sizeof note);
    noteBytes.insert(noteBytes.end(), {'G', 'N', 'U', 0});
    noteBytes.insert(noteBytes.end(), id.begin(), id.end());
    while (noteBytes.size() % 4) noteBytes.push_back(0);
    Elf64_Phdr program{};
    program.p_type = PT_NOTE;
    program.p_offset = out.size();
    program.p_filesz = noteBytes.size();
    std::memcpy(out.data() + sizeof(Elf64_Ehdr), &program, sizeof program);
    out.insert(out.end(), noteBytes.begin(), noteBytes.end());
    return std::string(out.begin(), out.end());
}

class RZRCTRApplicationIdentifierModelTest : public CrashFixture {};

TEST_F(RZRCTRApplicationIdentifierModelTest, IdentifiesTheExecutableBySortedSliceUUIDs) {
    struct Case {
        std::string file;
        std::vector<std::pair<std::string, std::string>> uuids;
        std::string minimum, built;
    };
    const std::string x86 = "4c4c445c55553144a120cc76c7d0ef91";
    const std::string arm = "4c4c448d55553144a1f975b9d796f52d";
    const std::vector<Case> cases = {
        {"fat.dylib", {{"arm64", arm}, {"x86_64", x86}}, "10.12.0", "10.14.1"},
        {"thin_x86_64.dylib", {{"x86_64", x86}}, "10.12.0", "10.14.1"},
        {"build_version.dylib", {{"x86_64", "4c4c44c255553144a1524fdd61b8f778"}}, "0.0.0", "0.0.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto model = RZRCTRApplicationIdentifierModel::modelWithExecutablePath(fixture(c.file));
        ASSERT_TRUE(model);
        std::map<std::string, std::string> expected(c.uuids.begin(), c.uuids.end());
        EXPECT_EQ(model->architectureUUIDMap(), expected);
        std::string joined;
        for (const auto& [arch, uuid] : c.uuids) joined += uuid;  // listed in sorted order
        EXPECT_EQ(model->buildInstanceID(), RZRCTRMachOBinary::hashNSString(joined));
        EXPECT_EQ(model->minimumSDKString(), c.minimum);
        EXPECT_EQ(model->builtSDKString(), c.built);
    }
}

TEST_F(RZRCTRApplicationIdentifierModelTest, ElfProgramsAreKnownByTheirBuildId) {
    const auto first = home_ / "first";
    const auto second = home_ / "second";
    const auto none = home_ / "none";
    crashtest::writeFile(first, elfWithBuildId({0xde, 0xad, 0xbe, 0xef, 0x01}, EM_X86_64));
    crashtest::writeFile(second, elfWithBuildId({0xde, 0xad, 0xbe, 0xef, 0x02}, EM_X86_64));
    crashtest::writeFile(none, elfWithBuildId({}, EM_AARCH64));
    auto a = RZRCTRApplicationIdentifierModel::modelWithExecutablePath(first.string());
    auto b = RZRCTRApplicationIdentifierModel::modelWithExecutablePath(second.string());
    auto c = RZRCTRApplicationIdentifierModel::modelWithExecutablePath(none.string());
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->architectureUUIDMap().at("x86_64"), "deadbeef01");
    EXPECT_NE(a->buildInstanceID(), b->buildInstanceID());
    EXPECT_TRUE(c->architectureUUIDMap().empty());
    EXPECT_EQ(c->buildInstanceID(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    // The running program has a build id of its own.
    auto running = RZRCTRApplicationIdentifierModel::model();
    ASSERT_TRUE(running);
    EXPECT_EQ(running->architectureUUIDMap().size(), 1u);
    EXPECT_NE(running->buildInstanceID(), c->buildInstanceID());
    EXPECT_FALSE(
        RZRCTRApplicationIdentifierModel::modelWithExecutablePath((home_ / "missing").string()));
}

TEST_F(RZRCTRApplicationIdentifierModelTest, VersionsComeFromTheBundle) {
    writeInfo(Dictionary{{"CFBundleIdentifier", Value("com.vantorel/Lumbrel")},
                         {"CFBundleVersion", Value("310")},
                         {"CFBundleShortVersionString", Value("2.1")}});
    auto model = RZRCTRApplicationIdentifierModel::modelWithExecutablePath(fixture("fat.dylib"));
    ASSERT_TRUE(model);
    EXPECT_EQ(model->synthesizedVersion(), "2.1 (310)");
    EXPECT_EQ(model->bundleID(), "com.vantorel_Lumbrel");
    EXPECT_EQ(model->platform(), "mac");
    EXPECT_EQ(model->installSource(), 1);
    EXPECT_EQ(model->displayName(), "310");
}

}  // namespace
