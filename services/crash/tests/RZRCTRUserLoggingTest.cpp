#include "services/crash/RZRCTRUserLogging.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

using crashtest::diedOfSignal;
using crashtest::readLines;
using crashtest::runInChild;

std::string hex(const std::string& text) {
    return *RZRCTRFileHexEncodeString(text.c_str());
}

class UserLoggingTest : public crashtest::CrashFixture {
  protected:
    void start(const RZRCTRContextSettings& settings) {
        initializeContext(settings);
        ::truncate(file("sdk.log").c_str(), 0);
    }
    // Runs whatever compaction or rotation the last writes queued.
    void drain() {
        RZRCTRContextLoggingQueue()->sync([] {});
    }
    const RZRCTRUserLoggingReadOnlyContext& logging() const {
        return _rzrctrContext.readonly->logging;
    }
    RZRCTRUserLoggingWritableContext& state() const { return _rzrctrContext.writable->logging; }
    Dictionary userKeys() const {
        return RZRCTRUserLoggingGetCompactedKVEntries(&logging().userKVStorage, true).value();
    }
};

RZRCTRContextSettings withMaxKeys(std::uint32_t keys) {
    RZRCTRContextSettings settings;
    settings.maxCustomKeys = keys;
    return settings;
}

TEST_F(UserLoggingTest, The64thKeyWrittenCompactsTheStorageOnce) {
    start(withMaxKeys(100));
    Dictionary batch;
    for (int i = 0; i < 60; ++i) batch.set("key" + std::to_string(i), Value(i));
    RZRCTRUserLoggingRecordUserKeysAndValues(&batch);
    for (int i = 60; i < 63; ++i) {
        RZRCTRUserLoggingRecordUserKeyValue("key" + std::to_string(i), Value("v"));
    }
    drain();
    EXPECT_EQ(state().userKVCount, 63u);
    EXPECT_EQ(readLines(file("user_incremental_kv.ctrrecord")).size(), 63u);
    EXPECT_FALSE(std::filesystem::exists(file("user_compacted_kv.ctrrecord")));

    RZRCTRUserLoggingRecordUserKeyValue("key63", Value("last"));
    drain();
    EXPECT_EQ(state().userKVCount, 0u);
    EXPECT_FALSE(std::filesystem::exists(file("user_incremental_kv.ctrrecord")));
    EXPECT_EQ(readLines(file("user_compacted_kv.ctrrecord")).size(), 64u);
    const auto keys = userKeys();
    EXPECT_EQ(keys.size(), 64u);
    EXPECT_EQ(keys["key7"].asString(), "7");
    EXPECT_EQ(keys["key63"].asString(), "last");
    EXPECT_FALSE(std::filesystem::exists(file("user_compacted_kv.ctrrecord.tmp")));
}

TEST_F(UserLoggingTest, CompactionKeepsTheLastValueOfEachKey) {
    start(withMaxKeys(64));
    RZRCTRUserLoggingRecordUserKeyValue("a", Value("1"));
    RZRCTRUserLoggingRecordUserKeyValue("b", Value("x"));
    RZRCTRUserLoggingRecordUserKeyValue("a", Value("2"));
    RZRCTRUserLoggingRecordInternalKeyValue("com.crashtrace.user-id", Value("u1"));
    RZRCTRUserLoggingWriteInternalKeyValue("com.crashtrace.user-id", Value());
    EXPECT_EQ(userKeys()["a"].asString(), "2");
    EXPECT_FALSE(RZRCTRUserLoggingGetCompactedKVEntries(&logging().internalKVStorage, true)
                     ->contains("com.crashtrace.user-id"));

    RZRCTRContextLoggingQueue()->sync(
        [&] { RZRCTRUserLoggingCompactKVEntries(&logging().userKVStorage); });
    const auto lines = readLines(file("user_compacted_kv.ctrrecord"));
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "{\"kv\":{\"key\":\"" + hex("a") + "\",\"value\":\"" + hex("2") + "\"}}",
                  "{\"kv\":{\"key\":\"" + hex("b") + "\",\"value\":\"" + hex("x") + "\"}}"}));
}

TEST_F(UserLoggingTest, CompactionKeepsAtMostTheMaximumNumberOfKeys) {
    start(withMaxKeys(2));
    for (const char* key : {"k1", "k2", "k3"}) RZRCTRUserLoggingRecordUserKeyValue(key, Value("v"));
    RZRCTRContextLoggingQueue()->sync(
        [&] { RZRCTRUserLoggingCompactKVEntries(&logging().userKVStorage); });
    EXPECT_NE(sdkLog().find("Truncating 1 keys from KV set, which is above max 2"),
              std::string::npos)
        << sdkLog();
    const auto keys = userKeys();
    EXPECT_EQ(keys.keys(), (std::vector<std::string>{"k1", "k2"}));
}

TEST_F(UserLoggingTest, KeysAndValuesAreCheckedAndDescribed) {
    start(withMaxKeys(64));
    RZRCTRUserLoggingRecordUserKeyValue(std::nullopt, Value("v"));
    RZRCTRUserLoggingRecordUserKeysAndValues(nullptr);
    const Dictionary empty;
    RZRCTRUserLoggingRecordUserKeysAndValues(&empty);
    EXPECT_FALSE(std::filesystem::exists(file("user_incremental_kv.ctrrecord")));
    for (const char* message : {"User provided bad key", "User provided bad key/value dictionary",
                                "User provided empty key/value dictionary"}) {
        EXPECT_NE(sdkLog().find(message), std::string::npos) << message;
    }

    const Dictionary values{{"number", Value(42)},
                            {"flag", Value(true)},
                            {"text", Value("quote\" and \n")},
                            {"nothing", Value()}};
    RZRCTRUserLoggingRecordUserKeysAndValues(&values);
    RZRCTRUserLoggingRecordUserKeyValue("unset", std::nullopt);
    const auto keys = userKeys();
    EXPECT_EQ(keys["number"].asString(), "42");
    EXPECT_EQ(keys["flag"].asString(), "1");
    EXPECT_EQ(keys["text"].asString(), "quote\" and \n");
    EXPECT_EQ(keys["nothing"].asString(), "<null>");
    EXPECT_EQ(keys["unset"].asString(), "<null>");
}

// A crash in the middle of a compaction leaves every key readable.
TEST_F(UserLoggingTest, ACrashDuringCompactionLosesNoKey) {
    start(withMaxKeys(100));
    for (int i = 0; i < 64; ++i) {
        RZRCTRUserLoggingRecordUserKeyValue("old" + std::to_string(i), Value(i));
    }
    drain();
    ASSERT_TRUE(std::filesystem::exists(file("user_compacted_kv.ctrrecord")));
    for (int i = 0; i < 5; ++i)
        RZRCTRUserLoggingRecordUserKeyValue("new" + std::to_string(i), Value(i));
    const auto before = userKeys();
    ASSERT_EQ(before.size(), 69u);

    const int status = runInChild([this] {
        RZRCTRFileSetWriteFunction([](int, const void*, std::size_t) -> ssize_t { std::abort(); });
        RZRCTRUserLoggingCompactKVEntries(&logging().userKVStorage);
    });
    EXPECT_TRUE(diedOfSignal(status, SIGABRT)) << status;
    EXPECT_EQ(userKeys(), before);

    // The next compaction finishes the job and drops the leftover.
    RZRCTRContextLoggingQueue()->sync(
        [&] { RZRCTRUserLoggingCompactKVEntries(&logging().userKVStorage); });
    EXPECT_EQ(userKeys(), before);
    EXPECT_FALSE(std::filesystem::exists(file("user_incremental_kv.ctrrecord")));
    EXPECT_FALSE(std::filesystem::exists(file("user_compacted_kv.ctrrecord.tmp")));
}

TEST_F(UserLoggingTest, ErrorsSwitchFilesAfterTheMaximumCount) {
    RZRCTRContextSettings settings;
    settings.maxCustomExceptions = 8;
    start(settings);
    crashtest::writeFile(file("errors_b.ctrrecord"), "stale\n");
    const NSError error("com.example.network", -1009,
                        Dictionary{{"NSLocalizedDescription", Value("offline")}});
    const Dictionary extra{{"attempt", Value(3)}};
    for (int i = 1; i <= 8; ++i) {
        RZRCTRUserLoggingRecordError(&error, &extra);
        drain();
        EXPECT_EQ(state().errorsCount, i == 8 ? 0u : static_cast<std::uint32_t>(i));
    }
    EXPECT_EQ(std::string(state().activeErrorPath), file("errors_b.ctrrecord").string());
    EXPECT_FALSE(std::filesystem::exists(file("errors_b.ctrrecord")));
    RZRCTRUserLoggingRecordError(&error, nullptr);
    drain();
    EXPECT_EQ(readLines(file("errors_a.ctrrecord")).size(), 8u);
    const auto b = readLines(file("errors_b.ctrrecord"));
    ASSERT_EQ(b.size(), 1u);

    const auto first = nlohmann::json::parse(readLines(file("errors_a.ctrrecord"))[0])["error"];
    EXPECT_EQ(first["domain"], hex("com.example.network"));
    EXPECT_EQ(first["code"], -1009);
    EXPECT_FALSE(first["stacktrace"].empty());
    EXPECT_EQ(first["info"], nlohmann::json::parse("[[\"" + hex("NSLocalizedDescription") +
                                                   "\",\"" + hex("offline") + "\"]]"));
    EXPECT_EQ(first["extra_info"],
              nlohmann::json::parse("[[\"" + hex("attempt") + "\",\"" + hex("3") + "\"]]"));
    EXPECT_FALSE(nlohmann::json::parse(b[0])["error"].contains("extra_info"));
}

TEST_F(UserLoggingTest, WithErrorsDisabledNothingIsRecorded) {
    RZRCTRContextSettings settings;
    settings.errorReportingEnabled = false;
    start(settings);
    const NSError error("d", 1);
    RZRCTRUserLoggingRecordError(&error, nullptr);
    drain();
    EXPECT_FALSE(std::filesystem::exists(file("errors_a.ctrrecord")));
}

TEST_F(UserLoggingTest, TheLogSwitchesFilesOnceItGrowsBeyondItsSize) {
    RZRCTRContextSettings settings;
    settings.logBufferSize = 300;
    start(settings);
    std::size_t written = 0;
    int lines = 0;
    while (written <= 300) {
        EXPECT_EQ(std::string(state().activeLogPath), file("log_a.ctrrecord").string());
        RZRCTRLog("line %d: \"quoted\"\n", {lines});
        drain();
        ++lines;
        written = std::filesystem::file_size(file("log_a.ctrrecord"));
    }
    EXPECT_EQ(std::string(state().activeLogPath), file("log_b.ctrrecord").string());
    RZRCTRLog("into b");
    drain();
    EXPECT_EQ(readLines(file("log_a.ctrrecord")).size(), static_cast<std::size_t>(lines));
    const auto b = readLines(file("log_b.ctrrecord"));
    ASSERT_EQ(b.size(), 1u);
    const auto log = nlohmann::json::parse(b[0])["log"];
    EXPECT_EQ(RZRCTRFileHexDecodeString(log["msg"].get<std::string>().c_str()), "into b");
    EXPECT_GT(log["time"].get<std::uint64_t>(), 1600000000000u);
    const auto firstA = nlohmann::json::parse(readLines(file("log_a.ctrrecord"))[0])["log"];
    EXPECT_EQ(RZRCTRFileHexDecodeString(firstA["msg"].get<std::string>().c_str()),
              "line 0: \"quoted\"\n");
}

TEST_F(UserLoggingTest, ALongMessageIsCutToTheLogSizeOnACharacterBoundary) {
    RZRCTRContextSettings settings;
    settings.logBufferSize = 301;
    start(settings);
    sim::LogCapture capture;
    std::string text;
    for (int i = 0; i < 200; ++i) text += "\xc3\xa9";
    RZRCTRLog(text);
    drain();
    const auto line = nlohmann::json::parse(readLines(file("log_a.ctrrecord")).at(0))["log"];
    const auto message = RZRCTRFileHexDecodeString(line["msg"].get<std::string>().c_str());
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, text.substr(0, 300));
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("Attempted to write 400 bytes, but 301 is the maximum"));
}

TEST_F(UserLoggingTest, NothingIsRecordedBeforeInitialization) {
    start({});
    RZRCTRContextBaseDeinit();
    sim::LogCapture capture;
    RZRCTRLog("too early");
    RZRCTRUserLoggingRecordUserKeyValue("k", Value("v"));
    const NSError error("d", 1);
    RZRCTRUserLoggingRecordError(&error, nullptr);
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("cannot be recorded. The message was: \ntoo early"));
    EXPECT_FALSE(std::filesystem::exists(file("log_a.ctrrecord")));
    EXPECT_FALSE(std::filesystem::exists(file("user_incremental_kv.ctrrecord")));
    EXPECT_FALSE(std::filesystem::exists(file("errors_a.ctrrecord")));
}

}  // namespace
