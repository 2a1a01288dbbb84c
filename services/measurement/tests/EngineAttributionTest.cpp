#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/backend/Backend.h"
#include "platform/backend/DeepLinkBackend.h"
#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PropertyList.h"
#include "platform/net/NSURLSession.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kAppID = "1:123:ios:abc";
constexpr const char* kDeepLinkKey = "/zevera/measurement/deep_link";
constexpr const char* kDeepLinkTimeKey = "/zevera/measurement/deep_link_timestamp_seconds";
constexpr double kEpoch = sim::kVirtualWallEpochUnixSeconds;
constexpr double kTTL = 604800;  // the configuration's default

// The platform's advertising support as each case sets it.
struct FakeAdSupport : APMIdentitySupport {
    std::int64_t status = 3;
    std::optional<std::string> deviceID = "AB-1";
    bool hasAppDataConsentStatus() override { return true; }
    std::int64_t appDataConsentStatus() override { return status; }
    bool hasLimitedAdTracking() override { return true; }
    bool limitedAdTracking() override { return !deviceID; }
    std::optional<std::string> resettableDeviceID() override { return deviceID; }
};

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

// A parameter as the event carries it: text or a 64-bit number.
using Param = std::variant<std::string, std::int64_t>;
using Params = std::map<std::string, Param>;

Params paramsOf(const APMEvent& event) {
    Params out;
    for (const auto& [name, value] : event.parameters()) {
        if (name == "_o") continue;  // the origin, checked on its own
        if (value.isString())
            out[name] = value.stringValue().value_or("");
        else
            out[name] = value.int64Value();
    }
    return out;
}

class EngineAttributionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::setServiceHostOverride(backend_.url());
        APMMeasurement::setFacade(std::make_shared<APMMeasurementFacade>());
        APMMeasurement::monitor().clearLines();
        APMMeasurement::setEventListenerNotifier([this](const APMEvent& event) {
            if (event.name().rfind("_cmp", 0) != 0) return;
            std::lock_guard lock(mutex_);
            campaigns_.push_back(event);
        });
        engine_ = APMMeasurement::initWithAppID(kAppID, true, false, std::nullopt);
        ASSERT_TRUE(engine_);
        onWorker([] {});
        ASSERT_TRUE(engine_->didInitializeComponents());
        useAdSupport(3, "AB-1");
        takeCampaigns();
    }
    void TearDown() override {
        if (engine_) onWorker([] {});
        engine_.reset();
        APMMeasurement::setFacade(nullptr);
        APMMeasurement::setEventListenerNotifier(nullptr);
        sim::clearServiceHostOverride();
        sim::clearMainBundlePath();
        sim::useRealClock();
    }

    void onWorker(const std::function<void()>& block) {
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }
    void useAdSupport(std::int64_t status, std::optional<std::string> deviceID) {
        auto support = std::make_shared<FakeAdSupport>();
        support->status = status;
        support->deviceID = std::move(deviceID);
        engine_->setAttributionIdentityForTesting(APMIdentity::initWithPersistedConfig(
            engine_->persistedConfig(), std::make_shared<APMDefaultIdentitySupport>(support)));
    }
    std::vector<APMEvent> takeCampaigns() {
        onWorker([] {});
        std::lock_guard lock(mutex_);
        auto out = std::move(campaigns_);
        campaigns_.clear();
        return out;
    }
    std::optional<APMUserAttribute> zbraidProperty() {
        std::optional<APMUserAttribute> property;
        onWorker([&] {
            NSError error;
            if (engine_->database())
                property = engine_->database()->userAttributeWithName("_zbraid", &error);
        });
        return property;
    }
    // The application's information list with the deferred-link switch.
    void writeBundle(const Dictionary& info) {
        fs::path path = home_.path() / ("App" + std::to_string(++bundles_) + ".app");
        fs::create_directories(path / "Contents");
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(info), PropertyListFormat::XML);
        std::ofstream(path / "Contents" / "Info.plist", std::ios::binary)
            .write(reinterpret_cast<const char*>(data->data()),
                   static_cast<std::streamsize>(data->size()));
        sim::setMainBundlePath(path.string());
    }
    sim::DeepLinkBackend& deepLinks() {
        return *static_cast<sim::DeepLinkBackend*>(backend_.service(sim::DeepLinkBackend::kName));
    }
    // One start's worth of the deferred-link step; true when a request went
    // out (and its answer has been handled).
    bool startOnce() {
        bool asked = false;
        onWorker([&] {
            asked = engine_->shouldAllowRequestDeferredDeepLink();
            if (asked) engine_->requestDeferredDeepLink();
        });
        if (asked) {
            EXPECT_TRUE(sim::MainLoop::runUntil([&] { return !engine_->isNetworkRequestPending(); },
                                                std::chrono::seconds(20)));
            onWorker([] {});
            sim::MainLoop::runUntilIdle();
        }
        return asked;
    }

    MeasurementTempHome home_;
    int bundles_ = 0;
    sim::Backend backend_;
    std::shared_ptr<APMMeasurement> engine_;
    std::mutex mutex_;
    std::vector<APMEvent> campaigns_;
};

// ---- the campaign event of a URL

struct CampaignCase {
    const char* label;
    std::string url;
    Dictionary extra;
    std::optional<std::int64_t> clickMs;
    double eventTime;
    std::int64_t firstOpenMs;
    std::int64_t consentStatus;
    std::optional<std::string> deviceID;
    const char* expectedName;  // nullptr: no event
    Params expected;
    double expectedTime;
    long long expectedLog;  // 0: none expected
    std::optional<std::string> expectedZbraid;
};

TEST_F(EngineAttributionTest, URLsBecomeCampaignEventsByTheParameterMap) {
    const double t = kEpoch + 100;
    const CampaignCase cases[] = {
        {"source and medium; unknown keys dropped",
         "lumbrel://open?utm_source=news&utm_medium=mail&other=x",
         {},
         std::nullopt,
         t,
         0,
         3,
         "AB-1",
         "_cmp",
         {{"source", "news"}, {"medium", "mail"}},
         t,
         0,
         std::nullopt},
        {"every mapped key",
         "https://x.example/p?aclid=1&anid=2&utm_campaign=c&cis=s&utm_content=co&cp1=p"
         "&zclid=z&zbraid=b&utm_medium=m&utm_source=so&utm_term=te#frag",
         {},
         std::int64_t{777},
         t,
         0,
         3,
         "AB-1",
         "_cmp",
         {{"aclid", "1"},
          {"anid", "2"},
          {"campaign", "c"},
          {"_cis", "s"},
          {"content", "co"},
          {"cp1", "p"},
          {"zclid", "z"},
          {"zbraid", "b"},
          {"medium", "m"},
          {"source", "so"},
          {"term", "te"},
          {"click_timestamp", std::int64_t{777}}},
         t,
         0,
         "b"},
        {"only content is not a campaign",
         "lumbrel://open?utm_content=a",
         {},
         std::nullopt,
         t,
         0,
         3,
         "AB-1",
         nullptr,
         {},
         0,
         23001,
         std::nullopt},
        {"empty values are not a campaign",
         "lumbrel://open?utm_source=&zclid=",
         {},
         std::nullopt,
         t,
         0,
         3,
         "AB-1",
         nullptr,
         {},
         0,
         23001,
         std::nullopt},
        {"no query at all",
         "lumbrel://open",
         {},
         std::nullopt,
         t,
         0,
         3,
         "AB-1",
         nullptr,
         {},
         0,
         23000,
         std::nullopt},
        {"no tracking consent and no identifier: zclid removed, zbraid kept",
         "lumbrel://open?zclid=z&zbraid=b",
         {},
         std::nullopt,
         t,
         0,
         2,
         std::nullopt,
         "_cmp",
         {{"zbraid", "b"}},
         t,
         0,
         "b"},
        {"consent given without an identifier keeps zclid",
         "lumbrel://open?zclid=z",
         {},
         std::nullopt,
         t,
         0,
         3,
         std::nullopt,
         "_cmp",
         Params{{"zclid", "z"}},
         t,
         0,
         std::nullopt},
        {"an earlier time moves to the first open",
         "lumbrel://open?utm_campaign=spring",
         {},
         std::nullopt,
         t,
         static_cast<std::int64_t>((t + 50) * 1000),
         3,
         "AB-1",
         "_cmp",
         {{"campaign", "spring"}},
         t + 50,
         0,
         std::nullopt},
        {"extra strings lose to the query, numbers pass as they are",
         "lumbrel://open?utm_source=query",
         Dictionary{{"utm_source", "extra"}, {"utm_term", "t1"}, {"_cc", 1LL}, {"skip", true}},
         std::nullopt,
         t,
         0,
         3,
         "AB-1",
         "_cmpx",
         {{"source", "query"}, {"term", "t1"}, {"_cc", std::int64_t{1}}},
         t,
         0,
         std::nullopt},
        {"a cross-channel number other than 1 stays _cmp", "lumbrel://open?utm_source=s",
         Dictionary{{"_cc", 5LL}}, std::nullopt, t, 0, 3, "AB-1", "_cmp",
         Params{{"source", "s"}, {"_cc", std::int64_t{5}}}, t, 0, std::nullopt},
    };
    for (const CampaignCase& c : cases) {
        SCOPED_TRACE(c.label);
        APMMeasurement::monitor().clearLines();
        engine_->persistedConfig()->setFirstOpenTimestampMilliseconds(c.firstOpenMs);
        useAdSupport(c.consentStatus, c.deviceID);
        onWorker([&] {
            if (engine_->database()) engine_->database()->deleteUserAttributeWithName("_zbraid");
            engine_->handleOpenURLOnWorkerQueue(c.url, c.clickMs, c.eventTime, c.extra);
        });
        auto events = takeCampaigns();
        if (!c.expectedName) {
            EXPECT_TRUE(events.empty());
        } else {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].name(), c.expectedName);
            EXPECT_EQ(events[0].origin(), "auto");
            EXPECT_EQ(events[0].timestamp(), c.expectedTime);
            EXPECT_EQ(events[0].previousTimestamp(), 0);
            EXPECT_EQ(paramsOf(events[0]), c.expected);
        }
        if (c.expectedLog) {
            EXPECT_TRUE(logged(c.expectedLog));
        }
        auto zbraid = zbraidProperty();
        EXPECT_EQ(zbraid.has_value(), c.expectedZbraid.has_value());
        if (zbraid && c.expectedZbraid) {
            EXPECT_EQ(zbraid->value().stringValue(), *c.expectedZbraid);
            EXPECT_EQ(zbraid->origin(), "auto");
            EXPECT_EQ(zbraid->lastSetTimestamp(), c.expectedTime);
        }
    }
}

TEST_F(EngineAttributionTest, AnOpenedURLIsReportedOnceFromAnyThreadButTheWorkerQueue) {
    sim::advanceClock(std::chrono::seconds(30));
    engine_->handleNonFirstOpenEventURL("lumbrel://open?utm_source=menu", kEpoch + 30);
    engine_->handleNonFirstOpenEventURL("", kEpoch + 31);
    onWorker([&] { engine_->handleNonFirstOpenEventURL("lumbrel://open?utm_source=inside", 1); });
    auto events = takeCampaigns();
    ASSERT_EQ(events.size(), 1u);  // the listeners hear of it once
    EXPECT_EQ(paramsOf(events[0]), (Params{{"source", "menu"}}));
    EXPECT_EQ(events[0].timestamp(), kEpoch + 30);
    EXPECT_TRUE(logged(23163));
    const std::vector<std::pair<std::string, double>> opened{
        {"lumbrel://open?utm_source=menu", kEpoch + 30}};
    EXPECT_EQ(engine_->openedURLs(), opened);
}

// ---- the launch URL kept until the engine starts

TEST_F(EngineAttributionTest, LaunchNotificationsStoreTheirURL) {
    struct Case {
        const char* label;
        Dictionary info;
        std::optional<std::string> stored;
    };
    const Dictionary browsing{{"activityType", "NSUserActivityTypeBrowsingWeb"},
                              {"webpageURL", "https://x.example/a?utm_source=web"}};
    const Dictionary handoff{{"activityType", "com.lumbrel.handoff"},
                             {"webpageURL", "https://x.example/h"}};
    const Case cases[] = {
        {"URL", Dictionary{{"UIApplicationLaunchOptionsURLKey", "lumbrel://l?utm_source=u"}},
         "lumbrel://l?utm_source=u"},
        {"browsing activity wins",
         Dictionary{{"UIApplicationLaunchOptionsUserActivityDictionaryKey",
                     Dictionary{{"UIApplicationLaunchOptionsUserActivityKey", browsing}}},
                    {"UIApplicationLaunchOptionsURLKey", "lumbrel://other"}},
         "https://x.example/a?utm_source=web"},
        {"other activity falls back to the URL",
         Dictionary{{"UIApplicationLaunchOptionsUserActivityDictionaryKey",
                     Dictionary{{"UIApplicationLaunchOptionsUserActivityKey", handoff}}},
                    {"UIApplicationLaunchOptionsURLKey", "lumbrel://fallback"}},
         "lumbrel://fallback"},
        {"empty URL", Dictionary{{"UIApplicationLaunchOptionsURLKey", ""}}, std::nullopt},
        {"nothing", Dictionary{}, std::nullopt},
    };
    auto defaults = APMUserDefaults::standardUserDefaults();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        APMRemoveStoredDeepLink(*defaults);
        sim::advanceClock(std::chrono::seconds(1));
        NSNotification note{"NSApplicationDidFinishLaunchingNotification", nullptr, c.info};
        APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(note);
        EXPECT_EQ(defaults->stringForKey(kDeepLinkKey), c.stored);
        if (c.stored) {
            EXPECT_EQ(defaults->doubleForKey(kDeepLinkTimeKey), sim::wallClockSeconds());
        }
    }
}

TEST_F(EngineAttributionTest, AStoredURLExpiresAfterTheAttributionCacheTime) {
    auto defaults = APMUserDefaults::standardUserDefaults();
    struct Case {
        double age;
        bool cleared;
    };
    for (const Case c : {Case{kTTL - 1, false}, Case{kTTL, false}, Case{kTTL + 1, true},
                         Case{-(kTTL + 1), true}}) {
        SCOPED_TRACE(c.age);
        defaults->setObject(Value("lumbrel://l?utm_source=u"), kDeepLinkKey);
        defaults->setDouble(sim::wallClockSeconds() - c.age, kDeepLinkTimeKey);
        onWorker([&] { engine_->clearExpiredStoredDeepLinkOnWorkerQueue(); });
        EXPECT_EQ(defaults->objectForKey(kDeepLinkKey).has_value(), !c.cleared);
        EXPECT_EQ(defaults->objectForKey(kDeepLinkTimeKey).has_value(), !c.cleared);
    }
    EXPECT_TRUE(takeCampaigns().empty());
}

TEST_F(EngineAttributionTest, TheStoredURLIsReportedOnceAsCurrentOrUnknownCampaign) {
    auto defaults = APMUserDefaults::standardUserDefaults();
    // Stored at 10:42 on the first day.
    const double storedAt = kEpoch + 10 * 3600 + 42 * 60;
    const auto nineOClockMs = static_cast<std::int64_t>((kEpoch + 9 * 3600) * 1000);
    struct Case {
        const char* label;
        double now;
        std::optional<std::int64_t> clickMs;
        bool timeKept;
        const char* name;
        Params expected;
        double expectedTime;
    };
    const Case cases[] = {
        {"current",
         storedAt + 60,
         std::int64_t{5},
         true,
         "_cmp",
         {{"source", "u"}, {"_cc", nineOClockMs}, {"click_timestamp", std::int64_t{5}}},
         storedAt},
        {"expired",
         storedAt + kTTL + 1,
         std::nullopt,
         true,
         "_cmpx",
         {{"source", "(not set)"}, {"medium", "(not set)"}, {"_cc", std::int64_t{1}}},
         storedAt},
        // Found without its time: it counts as stored now, not in 1970.
        {"time lost",
         storedAt + 60,
         std::nullopt,
         false,
         "_cmp",
         {{"source", "u"}, {"_cc", nineOClockMs}},
         storedAt + 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        sim::useVirtualClock();
        sim::advanceClock(sim::seconds(storedAt - kEpoch));
        NSNotification note{
            "NSApplicationDidFinishLaunchingNotification", nullptr,
            Dictionary{{"UIApplicationLaunchOptionsURLKey", "lumbrel://l?utm_source=u"}}};
        APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(note);
        if (!c.timeKept) defaults->removeObjectForKey(kDeepLinkTimeKey);
        sim::advanceClock(sim::seconds(c.now - storedAt));
        onWorker([&] { engine_->reportStoredCampaignEventOnWorkerQueue(c.clickMs); });
        onWorker([&] { engine_->reportStoredCampaignEventOnWorkerQueue(c.clickMs); });
        auto events = takeCampaigns();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].name(), c.name);
        EXPECT_EQ(events[0].timestamp(), c.expectedTime);
        EXPECT_EQ(paramsOf(events[0]), c.expected);
        EXPECT_FALSE(defaults->objectForKey(kDeepLinkKey));
        EXPECT_FALSE(defaults->objectForKey(kDeepLinkTimeKey));
    }
}

TEST_F(EngineAttributionTest, TheEngineReportsTheLaunchURLAtStartAndDropsAnExpiredOneWhenStopped) {
    auto defaults = APMUserDefaults::standardUserDefaults();
    NSNotification note{
        "NSApplicationDidFinishLaunchingNotification", nullptr,
        Dictionary{{"UIApplicationLaunchOptionsURLKey", "lumbrel://l?utm_campaign=launch"}}};
    APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(note);
    engine_ = APMMeasurement::initWithAppID(kAppID, true, false, std::nullopt);
    ASSERT_TRUE(engine_);
    onWorker([] {});
    auto events = takeCampaigns();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name(), "_cmp");
    EXPECT_EQ(std::get<std::string>(paramsOf(events[0]).at("campaign")), "launch");
    EXPECT_FALSE(defaults->objectForKey(kDeepLinkKey));

    // Switching collection off forgets only a URL that has expired.
    struct Case {
        double age;
        bool kept;
    };
    for (const Case c : {Case{kTTL - 1, true}, Case{kTTL + 1, false}}) {
        SCOPED_TRACE(c.age);
        defaults->setObject(Value("lumbrel://l?utm_source=u"), kDeepLinkKey);
        defaults->setDouble(sim::wallClockSeconds() - c.age, kDeepLinkTimeKey);
        engine_->setEnabled(false);
        onWorker([] {});
        EXPECT_EQ(defaults->objectForKey(kDeepLinkKey).has_value(), c.kept);
        engine_->setEnabled(true);
        onWorker([] {});
    }
}

// ---- the deferred deep link

TEST_F(EngineAttributionTest, DeferredDeepLinkAnswersAndTheirOutcome) {
    writeBundle(Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}});
    struct Case {
        const char* label;
        std::optional<sim::BackendScript> script;  // none: the service answers
        bool linkWaiting;
        std::optional<long long> complete;  // the stored completion value
        long long retries;
        std::vector<long long> logs;
    };
    const Case cases[] = {
        {"link", std::nullopt, true, 0, 0, {23197, 23200, 23203, 23204}},
        {"no link: 204", std::nullopt, false, 0, 0, {23197, 23201}},
        {"server error", sim::BackendScript::withStatus(500), true, std::nullopt, 1, {23199}},
        {"not JSON",
         [] {
             auto s = sim::BackendScript::withStatus(200);
             s.body = "<html>";
             return s;
         }(),
         true,
         0,
         0,
         {23202}},
        {"no usable link",
         [] {
             auto s = sim::BackendScript::withStatus(200);
             s.body = R"({"deeplink": 7})";
             return s;
         }(),
         true,
         0,
         0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        APMMeasurement::monitor().clearLines();
        engine_->persistedConfig()->setDeferredDeepLinkRetrievalComplete(std::nullopt);
        engine_->persistedConfig()->setDeferredDeepLinkRetryCount(0);
        backend_.reset();
        if (c.script) backend_.enqueue(sim::DeepLinkBackend::kName, "deeplink", *c.script);
        if (c.linkWaiting)
            deepLinks().setLink("AB-1", {"lumbrel://promo?utm_source=ads", "z", "b", 12.5});
        ASSERT_TRUE(startOnce());
        auto requests = backend_.requests(sim::DeepLinkBackend::kName);
        ASSERT_EQ(requests.size(), 1u);
        auto query = sim::DeepLinkBackend::queryArguments(requests[0].request.query);
        const std::map<std::string, std::string> expectedQuery{{"sdk_version", "40103"},
                                                               {"rdid", "AB-1"},
                                                               {"id_type", "idfa"},
                                                               {"bundleid", kAppID},
                                                               {"retry", "0"}};
        EXPECT_EQ(query, expectedQuery);
        auto complete = engine_->persistedConfig()->deferredDeepLinkRetrievalComplete();
        EXPECT_EQ(complete ? complete->asInt() : std::nullopt, c.complete);
        EXPECT_EQ(engine_->persistedConfig()->deferredDeepLinkRetryCount(), c.retries);
        for (long long code : c.logs) EXPECT_TRUE(logged(code)) << code;
        // No application delegate takes the link here, so no campaign.
        EXPECT_TRUE(takeCampaigns().empty());
    }
}

TEST_F(EngineAttributionTest, DeferredDeepLinkIsRetriedAtEachStartUpToTheLimit) {
    writeBundle(Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}});
    backend_.setDefault(sim::DeepLinkBackend::kName, "deeplink",
                        sim::BackendScript::withStatus(500));
    for (int start = 0; start < 5; ++start) {
        SCOPED_TRACE(start);
        EXPECT_TRUE(startOnce());
        auto requests = backend_.requests(sim::DeepLinkBackend::kName);
        ASSERT_EQ(requests.size(), static_cast<std::size_t>(start + 1));
        EXPECT_EQ(sim::DeepLinkBackend::queryArguments(requests.back().request.query).at("retry"),
                  std::to_string(start));
    }
    EXPECT_FALSE(logged(23195));
    EXPECT_FALSE(startOnce());
    EXPECT_TRUE(logged(23195));
    auto complete = engine_->persistedConfig()->deferredDeepLinkRetrievalComplete();
    ASSERT_TRUE(complete);
    EXPECT_EQ(complete->asInt(), 1);
    EXPECT_FALSE(startOnce());
    EXPECT_TRUE(logged(23194));
    EXPECT_EQ(backend_.requestCount(sim::DeepLinkBackend::kName), 5u);
}

TEST_F(EngineAttributionTest, DeferredDeepLinkIsAskedOnlyWhenSwitchedOnWithAnIdentifier) {
    struct Case {
        const char* label;
        Dictionary info;
        std::optional<std::string> deviceID;
        bool asked;
        long long log;
        bool configOff = false;
    };
    const Case cases[] = {
        {"switched on", Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}}, "AB-1",
         true, 23197},
        {"switch absent", Dictionary{}, "AB-1", false, 0},
        {"switched off", Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", false}}, "AB-1",
         false, 0},
        {"switch not a boolean", Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", "YES"}},
         "AB-1", false, 0},
        {"no identifier", Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}},
         std::nullopt, false, 23196},
        {"configuration switched off",
         Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}}, "AB-1", false, 23243,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        APMMeasurement::monitor().clearLines();
        engine_->persistedConfig()->setDeferredDeepLinkRetrievalComplete(std::nullopt);
        if (c.configOff) {
            auto config = APMPBMeasurementConfig::make();
            APMPBSetString(config.get(), 1, Value(kAppID));
            auto setting = APMPBSetting::make();
            APMPBSetString(setting.get(), 0, Value("measurement.ddl.enabled"));
            APMPBSetString(setting.get(), 1, Value("0"));
            APMPBSetArray(config.get(), 3, std::vector<APMPBObject>{APMPBObject(setting)});
            bool updated = false;
            onWorker([&] {
                updated = engine_->remoteConfigInstance()->updateMeasurementConfig(config);
            });
            ASSERT_TRUE(updated);
        }
        writeBundle(c.info);
        useAdSupport(3, c.deviceID);
        bool asked = false;
        onWorker([&] { asked = engine_->shouldAllowRequestDeferredDeepLink(); });
        EXPECT_EQ(asked, c.asked);
        if (c.log) {
            EXPECT_TRUE(logged(c.log));
        }
    }
}

TEST_F(EngineAttributionTest, IdentifiersCannotAddArgumentsToTheDeferredDeepLinkRequest) {
    writeBundle(Dictionary{{"ZEVERA_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", true}});
    onWorker([] {});
    engine_ = APMMeasurement::initWithAppID("1:1:mac:a&retry=9", true, false, std::nullopt);
    ASSERT_TRUE(engine_);
    onWorker([] {});
    useAdSupport(3, "AB 1&id_type=x");
    ASSERT_TRUE(startOnce());
    auto requests = backend_.requests(sim::DeepLinkBackend::kName);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].status, 204);
    auto query = sim::DeepLinkBackend::queryArguments(requests[0].request.query);
    EXPECT_EQ(query.at("bundleid"), "1:1:mac:a&retry=9");
    EXPECT_EQ(query.at("rdid"), "AB 1&id_type=x");
    EXPECT_EQ(query.at("retry"), "0");
    EXPECT_EQ(query.at("id_type"), "idfa");
}

class BrowsingActivity : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<BrowsingActivity>("AttributionTestActivity")
                .method("activityType", [](BrowsingActivity& self) { return self.type; })
                .method("webpageURL", [](BrowsingActivity& self) { return self.url; })
                .registerClass();
        return cls;
    }
    BrowsingActivity(std::string type, std::string url)
        : RuntimeObject(runtimeClass()), type(std::move(type)), url(std::move(url)) {}
    std::string type;
    std::string url;
};

TEST(UserActivityLink, OnlyABrowsingActivityWithAWebURLCarriesALink) {
    struct Case {
        const char* label;
        std::shared_ptr<NSObject> activity;
        std::optional<std::string> link;
        long long log;
    };
    const Case cases[] = {
        {"browsing",
         std::make_shared<BrowsingActivity>("NSUserActivityTypeBrowsingWeb", "https://x.example/a"),
         "https://x.example/a", 0},
        {"no URL", std::make_shared<BrowsingActivity>("NSUserActivityTypeBrowsingWeb", ""),
         std::nullopt, 23006},
        {"handoff", std::make_shared<BrowsingActivity>("com.lumbrel.handoff", "https://x.example"),
         std::nullopt, 23006},
        {"not an activity", std::make_shared<NSObject>(), std::nullopt, 23005},
        {"none", nullptr, std::nullopt, 23003},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        APMMeasurement::monitor().clearLines();
        EXPECT_EQ(APMMeasurement::deepLinkFromUserActivity(c.activity), c.link);
        if (c.log) {
            EXPECT_TRUE(logged(c.log));
        }
    }
}

TEST(DeepLinkInfo, OnlyAnObjectWithAUsableLinkIsAnAnswer) {
    struct Case {
        const char* label;
        std::optional<std::string> body;
        bool usable;
        long long log;
    };
    const Case cases[] = {
        {"none", std::nullopt, false, 23201},
        {"empty", "", false, 23201},
        {"not JSON", "deeplink=x", false, 23202},
        {"array", R"(["lumbrel://x"])", false, 0},
        {"empty object", "{}", false, 0},
        {"number link", R"({"deeplink": 1})", false, 0},
        {"relative link", R"({"deeplink": "promo"})", false, 0},
        {"usable", R"({"deeplink": "lumbrel://promo", "zclid": "z"})", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        APMMeasurement::monitor().clearLines();
        std::optional<Data> data;
        if (c.body) data = Data(c.body->begin(), c.body->end());
        auto info = APMMeasurement::deepLinkInfoFromResponseData(data);
        EXPECT_EQ(info.has_value(), c.usable);
        if (info) {
            EXPECT_EQ(info->find("zclid")->asString(), "z");
        }
        if (c.log) {
            EXPECT_TRUE(logged(c.log));
        }
    }
}

}  // namespace
