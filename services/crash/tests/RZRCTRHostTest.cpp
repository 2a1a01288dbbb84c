#include "services/crash/RZRCTRHost.h"

#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <regex>

#include "platform/bundle/NSProcessInfo.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHex.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using crashtest::readLines;

TEST(ByteUtilities, HexEncodesWithoutAllocating) {
    const std::uint8_t bytes[] = {0x00, 0xab, 0xff};
    char out[7];
    RZRCTRSafeHexToString(bytes, 3, out);
    EXPECT_STREQ(out, "00abff");

    char empty[3] = {'x', 'x', 'x'};
    RZRCTRSafeHexToString(bytes, 0, empty);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_EQ(empty[1], 'x');

    char pair[2];
    RZRCTRHexFromByte(0x5c, pair);
    EXPECT_EQ(std::string(pair, 2), "5c");
    RZRCTRHexFromByte(0x5c, nullptr);
}

TEST(ByteUtilities, DigestsAreThePublishedOnes) {
    const Data abc{'a', 'b', 'c'};
    EXPECT_EQ(RZRCTRHashNSData(abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(RZRCTR256HashNSData(abc),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(RZRCTRHashNSData({}), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(ByteUtilities, UUIDsAndNames) {
    const auto uuid = RZRCTRGenerateUUID();
    EXPECT_TRUE(std::regex_match(
        uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << uuid;
    EXPECT_NE(uuid, RZRCTRGenerateUUID());
    std::uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_EQ(RZRCTRUUIDToNSString(bytes), "00112233445566778899aabbccddeeff");
    EXPECT_EQ(RZRCTRSDKGeneratorName(), "Crashtrace macOS SDK/4.2.0");

    int calls = 0;
    RZRCTREnumerateByteRangesOfNSDataUsingBlock(
        Data{1, 2, 3}, [&](const std::uint8_t* b, RZRCTRByteRange range, bool*) {
            ++calls;
            EXPECT_EQ(b[2], 3);
            EXPECT_EQ(range.location, 0u);
            EXPECT_EQ(range.length, 3u);
        });
    EXPECT_EQ(calls, 1);
}

TEST(HostFacts, PageSizesAreClamped) {
    const std::pair<long, std::uint32_t> cases[] = {
        {2048, 4096}, {4096, 4096}, {8192, 8192}, {16384, 16384}, {65536, 16384}, {-1, 16384},
    };
    for (const auto& [reported, expected] : cases) {
        EXPECT_EQ(RZRCTRHostClampPageSize(reported), expected) << reported;
    }
    EXPECT_EQ(RZRCTRHostGetPageSize() % 4096, 0u);
    EXPECT_FALSE(RZRCTRHostIsRosettaTranslated());
}

TEST(HostFacts, SystemValuesAndVersions) {
    EXPECT_FALSE(RZRCTRHostSysctlString("no.such.name"));
    sim::setHostModel("MacBookPro18,3");
    EXPECT_EQ(RZRCTRHostModelInfo(), "MacBookPro18,3");
    sim::clearHostModel();
    sim::setOperatingSystemVersion({12, 6, 1});
    EXPECT_EQ(RZRCTRHostOSDisplayVersion(), "12.6.1");
    sim::clearOperatingSystemVersion();
    EXPECT_TRUE(RZRCTRHostOSBuildVersion());
}

class ApplicationFacts : public crashtest::CrashFixture {};

TEST_F(ApplicationFacts, BundleValues) {
    writeInfo(Dictionary{{"CFBundleIdentifier", Value("com.example/a/b")},
                         {"CFBundleVersion", Value("107")}});
    EXPECT_EQ(RZRCTRApplicationGetBundleIdentifier(), "com.example_a_b");
    EXPECT_EQ(RZRCTRApplicationGetName(), "107");
    EXPECT_EQ(RZRCTRApplicationGetShortBundleVersion(), std::nullopt);
    EXPECT_EQ(RZRCTRApplicationInstallationSource(), 1);
    EXPECT_EQ(RZRCTRApplicationGetSDKBundleID(), "com.zevera.reruzera.crashtrace.mac");
    EXPECT_EQ(RZRCTRApplicationGetReruzeraPlatform(), "macos");

    writeInfo(Dictionary{{"CFBundleName", Value("Lumbrel")},
                         {"CFBundleDisplayName", Value("Lumbrel Display")}});
    EXPECT_EQ(RZRCTRApplicationGetName(), "Lumbrel Display");
    writeInfo(Dictionary{{"CFBundleName", Value("Lumbrel")}});
    EXPECT_EQ(RZRCTRApplicationGetName(), "Lumbrel");

    std::filesystem::create_directories(bundle_ / "Contents" / "_MASReceipt");
    crashtest::writeFile(bundle_ / "Contents" / "_MASReceipt" / "receipt", "r");
    EXPECT_EQ(RZRCTRApplicationInstallationSource(), 4);
}

TEST_F(ApplicationFacts, MalformedExtensionEntriesAreLoggedAndIgnored) {
    initializeContext();
    struct Case {
        Value extension;
        std::optional<std::string> identifier;
        const char* warning;
    };
    const Case cases[] = {
        {Value(Dictionary{{"NSExtensionPointIdentifier", Value("com.apple.widget")}}),
         "com.apple.widget", nullptr},
        {Value(Dictionary{{"NSExtensionPointIdentifier", Value(7)}}), std::nullopt,
         "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed"},
        {Value("not a dictionary"), std::nullopt,
         "Error: NSExtension Info.plist entry is mal-formed"},
    };
    for (const auto& c : cases) {
        ::truncate(file("sdk.log").c_str(), 0);
        writeInfo(Dictionary{{"NSExtension", c.extension}});
        EXPECT_EQ(RZRCTRApplicationExtensionPointIdentifier(), c.identifier);
        if (c.warning) {
            EXPECT_NE(sdkLog().find(c.warning), std::string::npos) << sdkLog();
        }
    }
    writeInfo(Dictionary{});
    EXPECT_FALSE(RZRCTRApplicationIsExtension());
}

TEST_F(ApplicationFacts, ActivitiesHoldOffTerminationWhileTheyRun) {
    RZRCTRApplicationActivity(
        kRZRCTRActivitySuddenTerminationDisabled | kRZRCTRActivityAutomaticTerminationDisabled,
        "Sending reports", [] {
            EXPECT_EQ(sim::crashtraceSuddenTerminationDisabledCount(), 1);
            EXPECT_EQ(sim::crashtraceAutomaticTerminationDisabledCount(), 1);
        });
    EXPECT_EQ(sim::crashtraceSuddenTerminationDisabledCount(), 0);
    EXPECT_EQ(sim::crashtraceAutomaticTerminationDisabledCount(), 0);
    const auto token =
        RZRCTRApplicationBeginActivity(kRZRCTRActivitySuddenTerminationDisabled, "r");
    ASSERT_TRUE(token);
    EXPECT_EQ((*token)["reason"].asString(), "r");
    RZRCTRApplicationEndActivity(token);
    RZRCTRApplicationEndActivity(std::nullopt);
    EXPECT_EQ(sim::crashtraceSuddenTerminationDisabledCount(), 0);
}

TEST_F(ApplicationFacts, HostAndStorageSections) {
    initializeContext();
    const auto path = file("host.ctrrecord");
    RZRCTRFile out;
    ASSERT_TRUE(RZRCTRFileInitWithPath(&out, path.c_str(), false));
    EXPECT_TRUE(RZRCTRHostRecord(&out));
    RZRCTRHostRecordStorage(&out);
    RZRCTRFileClose(&out);
    const auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 2u);
    const auto host = nlohmann::ordered_json::parse(lines[0])["host"];
    std::vector<std::string> keys;
    for (const auto& [key, value] : host.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"model", "machine", "cpu", "os_build_version",
                                              "os_display_version", "platform", "reruzera_platform",
                                              "locale"}));
    EXPECT_EQ(host["platform"], "mac");
    EXPECT_EQ(host["reruzera_platform"], "macos");
    const auto storage = nlohmann::json::parse(lines[1])["storage"];
    EXPECT_GT(storage["total"].get<std::uint64_t>(), 0u);
    EXPECT_LE(storage["free"].get<std::uint64_t>(), storage["total"].get<std::uint64_t>());

    // Without the documents folder the storage hash stays empty.
    std::filesystem::remove_all(home_ / "Documents");
    ASSERT_TRUE(RZRCTRFileInitWithPathMode(&out, path.c_str(), false, false));
    RZRCTRHostRecordStorage(&out);
    RZRCTRFileClose(&out);
    EXPECT_EQ(crashtest::readFile(path), "{\"storage\":{}}\n");
}

}  // namespace
