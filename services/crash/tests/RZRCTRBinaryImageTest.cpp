#include "services/crash/RZRCTRBinaryImage.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void initImages() {
    RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                          &_rzrctrContext.writable->binaryImage);
}

// What the system's ELF reader says the file's build-id is.
std::string buildIdByReadelf(const std::string& path) {
    const std::string command = "readelf -n '" + path + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    ::pclose(pipe);
    const auto at = output.find("Build ID: ");
    if (at == std::string::npos) return {};
    return output.substr(at + 10, output.find('\n', at) - at - 10);
}

class BinaryImageTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        RZRCTRContextInstallers installers;
        installers.binaryImages = initImages;
        installers.recordMainExecutable = RZRCTRBinaryImageRecordMainExecutable;
        RZRCTRContextSetInstallers(installers);
        initializeContext();
        RZRCTRBinaryImageWaitForPendingChanges();
    }

    std::vector<std::pair<std::string, json>> records() const {
        std::vector<std::pair<std::string, json>> out;
        for (const auto& line : crashtest::readLines(file("binary_images.ctrrecord"))) {
            const json parsed = json::parse(line);
            out.emplace_back(parsed.begin().key(), parsed.begin().value());
        }
        return out;
    }

    static std::uintptr_t baseOf(const void* address) {
        Dl_info info{};
        EXPECT_NE(::dladdr(address, &info), 0);
        return reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    }
};

TEST_F(BinaryImageTest, RecordsEveryLoadedImageWithItsBuildId) {
    std::size_t loaded = 0;
    ::dl_iterate_phdr(
        [](dl_phdr_info*, std::size_t, void* context) {
            ++*static_cast<std::size_t*>(context);
            return 0;
        },
        &loaded);
    std::set<std::uintptr_t> recorded;
    std::string programUuid;
    const std::string program = fs::read_symlink("/proc/self/exe").string();
    for (const auto& [section, entry] : records()) {
        EXPECT_EQ(section, "load");
        recorded.insert(entry["base"].get<std::uint64_t>());
        if (entry["path"].is_string() && entry["path"] == program)
            programUuid = entry["uuid"].get<std::string>();
    }
    EXPECT_EQ(recorded.size(), loaded);
    EXPECT_EQ(recorded.count(baseOf(reinterpret_cast<const void*>(&::write))), 1u);
    EXPECT_EQ(recorded.count(baseOf(reinterpret_cast<const void*>(&initImages))), 1u);

    const std::string expected = buildIdByReadelf(program);
    if (expected.empty()) GTEST_SKIP() << "readelf gives no build-id for " << program;
    EXPECT_EQ(programUuid, expected);
    const json metadata = json::parse(crashtest::readLines(file("metadata.ctrrecord")).back());
    EXPECT_EQ(metadata["executable"]["uuid"], expected);
    EXPECT_EQ(metadata["executable"]["architecture"], "x86_64");
    EXPECT_EQ(metadata["executable"]["minimum_sdk_version"], "0.0.0");
    RZRCTRBinaryImageDetails details;
    ASSERT_TRUE(RZRCTRBinaryImageFindImageForUUID(expected.c_str(), &details));
    EXPECT_EQ(details.node.baseAddress, baseOf(reinterpret_cast<const void*>(&initImages)));
    EXPECT_FALSE(RZRCTRBinaryImageFindImageForUUID("00", &details));
}

TEST_F(BinaryImageTest, FindsTheImageOfAnAddressAndNotOnePastItsCode) {
    for (const void* code :
         {reinterpret_cast<const void*>(&::write), reinterpret_cast<const void*>(&initImages)}) {
        RZRCTRBinaryImageRuntimeNode node;
        ASSERT_TRUE(RZRCTRBinaryImageSafeFindImageForAddress(reinterpret_cast<std::uintptr_t>(code),
                                                             &node));
        EXPECT_EQ(node.baseAddress, baseOf(code));
        EXPECT_NE(node.ehFrame, nullptr);
        EXPECT_NE(node.ehFrameHeader, nullptr);
        EXPECT_FALSE(RZRCTRBinaryImageNodeHasUnwindInfo(&node));
        RZRCTRBinaryImageRuntimeNode after;
        if (RZRCTRBinaryImageSafeFindImageForAddress(node.baseAddress + node.size, &after)) {
            EXPECT_NE(after.baseAddress, node.baseAddress);
        }
        EXPECT_TRUE(
            RZRCTRBinaryImageSafeFindImageForAddress(node.baseAddress + node.size - 1, &after));
        EXPECT_EQ(after.baseAddress, node.baseAddress);
    }
    RZRCTRBinaryImageRuntimeNode node;
    EXPECT_FALSE(RZRCTRBinaryImageSafeFindImageForAddress(0, &node));
    EXPECT_FALSE(RZRCTRBinaryImageSafeFindImageForAddress(16, &node));
}

TEST_F(BinaryImageTest, LoadUnloadAndLoadAgain) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        void* handle = ::dlopen(CRASH_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        const void* function = ::dlsym(handle, "crashTestPluginAnswer");
        const auto address = reinterpret_cast<std::uintptr_t>(function);
        const std::uintptr_t base = baseOf(function);
        RZRCTRBinaryImageSync();
        RZRCTRBinaryImageWaitForPendingChanges();
        RZRCTRBinaryImageRuntimeNode node;
        ASSERT_TRUE(RZRCTRBinaryImageSafeFindImageForAddress(address, &node));
        EXPECT_EQ(node.baseAddress, base);
        EXPECT_EQ(records().back().first, "load");
        EXPECT_EQ(records().back().second["path"], CRASH_TEST_PLUGIN);
        EXPECT_EQ(records().back().second["uuid"], buildIdByReadelf(CRASH_TEST_PLUGIN));

        ASSERT_EQ(::dlclose(handle), 0);
        RZRCTRBinaryImageSync();
        RZRCTRBinaryImageWaitForPendingChanges();
        EXPECT_FALSE(RZRCTRBinaryImageSafeFindImageForAddress(address, &node));
        EXPECT_EQ(records().back().first, "unload");
        EXPECT_EQ(records().back().second["base"], base);
        int used = 0;
        for (const auto& each : _rzrctrContext.writable->binaryImage.nodes)
            used += each.baseAddress == base ? 1 : 0;
        EXPECT_EQ(used, 0);
    }
}

TEST_F(BinaryImageTest, AFullTableStillRecordsTheLoad) {
    RZRCTRBinaryImageDetails fake{};
    fake.node.size = 16;
    for (std::size_t i = 0; i < kRZRCTRBinaryImageNodeCount; ++i) {
        fake.node.baseAddress = 0x10000 + i * 0x100;
        RZRCTRBinaryImageStoreNode(true, fake);
    }
    RZRCTRBinaryImageRuntimeNode node;
    void* handle = ::dlopen(CRASH_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr);
    RZRCTRBinaryImageSync();
    RZRCTRBinaryImageWaitForPendingChanges();
    EXPECT_NE(sdkLog().find("Unable to track a loaded node"), std::string::npos);
    EXPECT_EQ(records().back().first, "load");
    EXPECT_EQ(records().back().second["path"], CRASH_TEST_PLUGIN);
    EXPECT_FALSE(RZRCTRBinaryImageSafeFindImageForAddress(
        reinterpret_cast<std::uintptr_t>(::dlsym(handle, "crashTestPluginAnswer")), &node));
    ::dlclose(handle);
    RZRCTRBinaryImageSync();
    RZRCTRBinaryImageWaitForPendingChanges();
}

TEST_F(BinaryImageTest, FrameworkBundlesAddTheirVersions) {
    const fs::path framework = home_ / "Kit.framework";
    fs::create_directories(framework / "Versions" / "A");
    fs::create_directories(framework / "Contents");
    crashtest::writeFile(framework / "Contents" / "Info.plist",
                         R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>org.example.kit</string>
<key>CFBundleVersion</key><string>9</string>
<key>CFBundleShortVersionString</key><string></string>
</dict></plist>)");
    const std::string inFramework = (framework / "Versions" / "A" / "Kit").string();
    const std::string system = "/System" + inFramework;
    struct Case {
        std::string path;
        std::set<std::string> keys;
    };
    const Case cases[] = {
        {inFramework, {"path", "bundle_id", "build_version", "uuid", "base", "size"}},
        {system, {"path", "uuid", "base", "size"}},
    };
    for (const Case& c : cases) {
        RZRCTRBinaryImageDetails details{};
        details.path = c.path.c_str();
        details.node.baseAddress = 0x1000;
        RZRCTRBinaryImageRecordSlice(true, details);
        std::set<std::string> keys;
        const auto all = records();
        for (const auto& item : all.back().second.items()) keys.insert(item.key());
        EXPECT_EQ(keys, c.keys) << c.path;
    }
    EXPECT_EQ(records().back().second["path"], system);
}

}  // namespace
