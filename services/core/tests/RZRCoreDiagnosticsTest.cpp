#include <gtest/gtest.h>
#include <filesystem>

#include <pb_decode.h>

#include <algorithm>
#include <map>

#include "RZRCoreDiagnostics.pb.h"
#include "platform/bundle/Home.h"
#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "platform/runtime/Runtime.h"
#include "services/core/RZRCoreDiagnostics.h"
#include "services/transport/ZDTCORFlatFileStorage.h"
#include "services/transport/ZDTCORRegistrar.h"
#include "services/transport/ZDTCORTransformer.h"
#include "services/transport/ZDTCORTransport.h"

namespace {

struct MemoryHeartbeat : ZVUHeartbeatDateStorable {
    std::optional<Date> heartbeatDateForTag(const std::string& tag) override {
        auto it = dates.find(tag);
        return it == dates.end() ? std::nullopt : std::optional<Date>(it->second);
    }
    bool setHearbeatDate(const std::optional<Date>& date, const std::string& tag) override {
        if (date) {
            dates[tag] = *date;
        } else {
            dates.erase(tag);
        }
        return true;
    }
    std::map<std::string, Date> dates;
};

struct Decoded {
    explicit Decoded(const Data& bytes) {
        pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
        ok = pb_decode(&stream, rzrcd_CoreConfiguration_fields, &message);
    }
    ~Decoded() { pb_release(rzrcd_CoreConfiguration_fields, &message); }
    rzrcd_CoreConfiguration message = rzrcd_CoreConfiguration_init_zero;
    bool ok = false;
};

class RZRCoreDiagnosticsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::useVirtualClock();
        ZDTCORRegistrar::sharedInstance()->registerStorage(storage, ZDTCORTargetRLG);
    }
    void TearDown() override {
        sim::useRealClock();
        storage->storageQueue()->sync([] {});
        std::error_code ignored;
        std::filesystem::remove_all(home, ignored);
    }

    std::vector<Data> sent() {
        diagnostics->flush();
        ZDTCORTransformer::sharedInstance()->appWillTerminate(
            *ZDTCORApplication::sharedApplication());
        storage->appWillTerminate(*ZDTCORApplication::sharedApplication());
        ZDTCORStorageEventSelector selector;
        selector.selectedTarget = ZDTCORTargetRLG;
        std::vector<Data> out;
        storage->batchWithEventSelector(selector, Date::fromUnix(4e9), [&](auto, auto events) {
            for (const auto& e : events.value_or(std::vector<std::shared_ptr<ZDTCOREvent>>{})) {
                EXPECT_EQ(e->qosTier(), ZDTCOREventQoSTelemetry);
                EXPECT_EQ(e->mappingID(), "137");
                out.push_back(*e->serializedDataObjectBytes());
            }
        });
        storage->appWillTerminate(*ZDTCORApplication::sharedApplication());
        return out;
    }
    RZRDiagnosticsData data(bool enabled, const std::string& appID = "1:123:ios:abc") {
        RZRDiagnosticsData d;
        d.insertValue(enabled, kRZRCDIsDataCollectionDefaultEnabledKey);
        d.insertValue(std::string("agent/1"), kRZRCDReruzeraUserAgentKey);
        d.insertValue(1, kRZRCDConfigurationTypeKey);
        d.insertValue(appID, kRZRCDZeveraAppIDKey);
        d.insertValue(3, kRZRCDllAppsCountKey);
        return d;
    }

    std::string home = [] {
        std::string pattern = "/tmp/core-diagnostics-XXXXXX";
        return std::string(mkdtemp(pattern.data()));
    }();
    sim::ScopedHomeOverride homeOverride{home};
    std::shared_ptr<ZDTCORFlatFileStorage> storage =
        std::make_shared<ZDTCORFlatFileStorage>(home + "/root");
    std::shared_ptr<MemoryHeartbeat> heartbeat = std::make_shared<MemoryHeartbeat>();
    std::shared_ptr<RZRCoreDiagnostics> diagnostics = std::make_shared<RZRCoreDiagnostics>(
        ZDTCORTransport::initWithMappingID(std::string("137"), {}, ZDTCORTargetRLG), heartbeat);
};

TEST_F(RZRCoreDiagnosticsTest, SendsOnlyWithDataCollectionOn) {
    diagnostics->sendDiagnosticsData(data(false));
    EXPECT_TRUE(sent().empty());
    diagnostics->sendDiagnosticsData(data(true));
    auto messages = sent();
    ASSERT_EQ(messages.size(), 1u);
    Decoded decoded(messages[0]);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.message.configuration_type, 1u);
    EXPECT_STREQ(decoded.message.app_id, "1:123:ios:abc");
    EXPECT_STREQ(decoded.message.user_agent, "agent/1");
    EXPECT_EQ(decoded.message.platform, 2u);
    EXPECT_EQ(decoded.message.app_count, 3);
    EXPECT_TRUE(decoded.message.has_field_36 && decoded.message.field_36);
    EXPECT_EQ(decoded.message.field_30, 4u);
}

TEST_F(RZRCoreDiagnosticsTest, HeartbeatOncePerDay) {
    diagnostics->sendDiagnosticsData(data(true));
    diagnostics->sendDiagnosticsData(data(true));
    auto first = sent();
    ASSERT_EQ(first.size(), 2u);
    int heartbeats = 0;
    for (const auto& m : first) {
        Decoded d(m);
        if (d.message.has_sdk_service && d.message.sdk_service == 1) ++heartbeats;
    }
    EXPECT_EQ(heartbeats, 1);
    sim::advanceClock(std::chrono::hours(24));
    diagnostics->sendDiagnosticsData(data(true));
    auto next = sent();
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(Decoded(next[0]).message.sdk_service, 1u);

    // A stored date later than now (the clock set back): no heartbeat.
    heartbeat->dates["RZRCoreDiagnostics"] = Date::fromUnix(sim::wallClockSeconds() + 3 * 86400);
    diagnostics->sendDiagnosticsData(data(true));
    auto back = sent();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_FALSE(Decoded(back[0]).message.has_sdk_service);
}

TEST_F(RZRCoreDiagnosticsTest, MessageFields) {
    for (const char* name : {"DIROdadevOvered", "ZAROduzozova"}) {
        if (!objc_lookUpClass(name))
            objc_registerClassPair(objc_allocateClassPair(RuntimeObject::rootClass(), name, 0));
    }
    auto config = RZRCoreDiagnostics::configurationForData(data(true, "").diagnosticObjects());
    EXPECT_FALSE(config.appID);
    const Data bytes = RZRCoreDiagnosticsLog(config).transportBytes();
    const Data packed{0x3A, 0x02, 0x13, 0x12};
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), packed.begin(), packed.end()), bytes.end());
    Decoded decoded(bytes);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.message.app_id, nullptr);

    RZRDiagnosticsData noCount;
    noCount.insertValue(1, kRZRCDConfigurationTypeKey);
    Dictionary raw;
    raw.set(kRZRCDConfigurationTypeKey, 7);
    auto missing = RZRCoreDiagnostics::configurationForData(raw);
    EXPECT_EQ(missing.appCount, 0);
    EXPECT_FALSE(missing.configurationType);
    EXPECT_TRUE(
        RZRCoreDiagnostics::isDateInSameDayOrBeforeThan(Date::fromUnix(100), Date::fromUnix(200)));
    EXPECT_FALSE(RZRCoreDiagnostics::isDateInSameDayOrBeforeThan(Date::fromUnix(200000),
                                                                 Date::fromUnix(100)));
}

}  // namespace

namespace {

TEST(RZRCoreDiagnosticsRegistrationTest, RuntimeClassesAnswerTheCore) {
    RZRRegisterCoreDiagnostics();
    Class connector = objc_lookUpClass("RZRCoreDiagnosticsConnector");
    Class diagnostics = objc_lookUpClass("RZRCoreDiagnostics");
    ASSERT_TRUE(connector && diagnostics);
    EXPECT_TRUE(connector->respondsToSelector(SEL("logCoreTelemetryWithOptions:")));
    EXPECT_TRUE(diagnostics->respondsToSelector(SEL("sendDiagnosticsData:")));
}

}  // namespace
