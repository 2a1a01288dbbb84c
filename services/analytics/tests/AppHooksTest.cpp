// The application's hooks into analytics: the delegate proxy, opened URLs
// and user activities, background sessions, purchases, and the libraries
// found by name at start. Start happens once per process, so each case that
// starts analytics is its own test.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PropertyList.h"
#include "platform/runtime/Runtime.h"
#include "services/analytics/ZAROduzozova.h"
#include "services/analytics/tests/AnalyticsTestSupport.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/util/DOZIvedidiURLSession.h"
#include "services/util/ZVUAppDelegateSwizzler.h"

namespace fs = std::filesystem;

namespace {

// The application object as the application framework provides it.
class ToyApplication : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ToyApplication>("NSApplication")
                .classMethod("sharedApplication", [](RuntimeObject&) { return shared(); })
                .method("delegate", &ToyApplication::delegate)
                .method("setDelegate:", &ToyApplication::setDelegate)
                .registerClass();
        return cls;
    }
    static std::shared_ptr<ToyApplication> shared() {
        static const auto app = std::make_shared<ToyApplication>();
        return app;
    }
    ToyApplication() : RuntimeObject(runtimeClass()) {}
    id delegate() const { return delegate_.lock(); }
    void setDelegate(const id& delegate) {
        id old = delegate_.lock();
        delegate_ = delegate;
        didChangeValueForKey("delegate", old, delegate);
    }

  private:
    std::weak_ptr<NSObject> delegate_;
};

class ToyAppDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<ToyAppDelegate>("ToyAppDelegate")
                               .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                               .registerClass();
        return cls;
    }
    ToyAppDelegate() : RuntimeObject(runtimeClass()) {}
};

class ToyUserActivity : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ToyUserActivity>("ToyUserActivity")
                .method("activityType", [](ToyUserActivity& self) { return self.type; })
                .method("webpageURL", [](ToyUserActivity& self) { return self.url; })
                .registerClass();
        return cls;
    }
    ToyUserActivity(std::string type, std::string url)
        : RuntimeObject(runtimeClass()), type(std::move(type)), url(std::move(url)) {}
    std::string type;
    std::string url;
};

int vadStarts = 0;

class ToyVideoAds : public RuntimeObject {
  public:
    static void registerClass(bool withStarter) {
        ClassBuilder<ToyVideoAds> builder("VADIzivure");
        if (withStarter)
            builder.classMethod("initializeSharedInstance", [](RuntimeObject&) { ++vadStarts; });
        builder.registerClass();
    }
};

class ToyMobileAds : public RuntimeObject {
  public:
    static void registerClass() { ClassBuilder<ToyMobileAds>("ZADMobileAds").registerClass(); }
};

// The store library's default payment queue, recording its observers.
class ToyPaymentQueue : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<ToyPaymentQueue>("SKPaymentQueue")
                               .classMethod("defaultQueue", [](RuntimeObject&) { return shared(); })
                               .method("addTransactionObserver:",
                                       [](ToyPaymentQueue& self, const id& observer) {
                                           self.observers.push_back(observer);
                                       })
                               .registerClass();
        return cls;
    }
    static std::shared_ptr<ToyPaymentQueue> shared() {
        static const auto queue = std::make_shared<ToyPaymentQueue>();
        return queue;
    }
    ToyPaymentQueue() : RuntimeObject(runtimeClass()) {}
    std::vector<id> observers;
};

class AppHooksTest : public AnalyticsTest {
  protected:
    void SetUp() override {
        AnalyticsTest::SetUp();
        ZAROduzozova::registerClass();
        writeBundle({}, false);
    }
    void TearDown() override {
        AnalyticsTest::TearDown();
        sim::clearMainBundlePath();
    }
    // The application bundle, optionally with the service-information file.
    void writeBundle(const Dictionary& info, bool withServiceInfo) {
        fs::path path = home_.path() / ("App" + std::to_string(++bundles_) + ".app");
        fs::create_directories(path / "Contents" / "Resources");
        writePlist(path / "Contents" / "Info.plist", info);
        if (withServiceInfo)
            writePlist(path / "Contents" / "Resources" / "ZeveraService-Info.plist",
                       Dictionary{{"ZEVERA_APP_ID", "1:100000000001:ios:0000000000000000"}});
        sim::setMainBundlePath(path.string());
    }
    static void writePlist(const fs::path& file, const Dictionary& contents) {
        auto data = PropertyListSerialization::dataWithPropertyList(Value(contents),
                                                                    PropertyListFormat::XML);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(data->data()),
                   static_cast<std::streamsize>(data->size()));
    }
    static std::vector<std::pair<std::string, double>> openedURLs() {
        APMAnalytics::waitForPendingWorkForTesting();
        auto engine = APMMeasurement::sharedInstance();
        return engine ? engine->openedURLs() : std::vector<std::pair<std::string, double>>{};
    }

    int bundles_ = 0;
};

// ---- the application-delegate proxy

struct ProxyCase {
    const char* label;
    Dictionary info;
    Dictionary options;
    bool proxied;
    bool disabledLine;
};
void PrintTo(const ProxyCase& c, std::ostream* os) {
    *os << c.label;
}

class AppDelegateProxyTest : public AppHooksTest,
                             public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(AppDelegateProxyTest, IsMadeOnTheMainQueueUnlessDisabledOrDeactivated) {
    const ProxyCase& c = GetParam();
    writeBundle(c.info, false);
    ToyApplication::runtimeClass();
    auto delegate = std::make_shared<ToyAppDelegate>();
    ToyApplication::shared()->setDelegate(delegate);

    start(c.options);
    EXPECT_EQ(delegate->className(), "ToyAppDelegate");  // main queue not pumped yet
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(delegate->className().rfind("ZVU_ToyAppDelegate-", 0) == 0, c.proxied)
        << delegate->className();
    EXPECT_EQ(logged(25036), c.disabledLine);
    bool intercepting = false;
    for (const auto& [key, container] : ZVUAppDelegateSwizzler::interceptors())
        intercepting |= container->object() == APMAppDelegateInterceptor::sharedInstance();
    EXPECT_EQ(intercepting, c.proxied);

    ToyApplication::shared()->setDelegate(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppDelegateProxyTest,
    ::testing::Values(
        ProxyCase{"Enabled", {}, {}, true, false},
        ProxyCase{
            "SwitchedOff", Dictionary{{"ReruzeraAppDelegateProxyEnabled", false}}, {}, false, true},
        ProxyCase{"Deactivated",
                  {},
                  Dictionary{{"app_measurement_log_tag", "[Reruzera/Analytics]"},
                             {"RERUZERA_ANALYTICS_COLLECTION_DEACTIVATED", true}},
                  false,
                  false}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- opened URLs and user activities

TEST_F(AppHooksTest, OpenedURLsAndBrowsingActivitiesReachTheEngineWithTheTimeOfTheCall) {
    start();
    struct Case {
        const char* type;  // nullptr: an opened URL, not an activity
        const char* url;
        bool reaches;
    };
    const Case cases[] = {
        {nullptr, "lumbrel://open?utm_source=menu", true},
        {"NSUserActivityTypeBrowsingWeb", "https://lumbrel.example/mute?utm_source=web", true},
        {"NSUserActivityTypeBrowsingWeb", "", false},
        {"com.lumbrel.handoff", "https://lumbrel.example/handoff", false},
        {nullptr, "", false},
    };
    std::vector<std::pair<std::string, double>> expected;
    for (const Case& c : cases) {
        // Hold the serial queue so that the clock moves on before the work runs.
        std::promise<void> release;
        auto held = release.get_future().share();
        APMAnalytics::dispatchAsyncOnSerialQueue([held] { held.wait(); });
        const double calledAt = sim::wallClockSeconds();
        if (c.type)
            ZAROduzozova::handleUserActivity(std::make_shared<ToyUserActivity>(c.type, c.url));
        else
            APMAnalytics::handleOpenURL(c.url);
        sim::advanceClock(std::chrono::seconds(5));
        release.set_value();
        if (c.reaches) expected.emplace_back(c.url, calledAt);
        EXPECT_EQ(openedURLs(), expected) << (c.type ? c.type : "open URL") << " " << c.url;
    }
    // Something that is not a runtime object carries no link.
    APMAnalytics::handleUserActivity(std::make_shared<NSObject>());
    APMAnalytics::handleUserActivity(nullptr);
    EXPECT_EQ(openedURLs(), expected);

    // The engine refuses a URL handed over on its own worker queue.
    auto engine = APMMeasurement::sharedInstance();
    engine->scheduleOnWorkerQueue(
        "test", [engine] { engine->handleNonFirstOpenEventURL("lumbrel://inside", 1); });
    openedURLs();
    EXPECT_EQ(openedURLs(), expected);
    EXPECT_TRUE(logged(23163));
}

TEST_F(AppHooksTest, BeforeStartOpenedURLsAndActivitiesAreDroppedSafely) {
    APMAnalytics::handleOpenURL("lumbrel://early");
    APMAnalytics::handleUserActivity(
        std::make_shared<ToyUserActivity>("NSUserActivityTypeBrowsingWeb", "https://early"));
    APMAnalytics::waitForPendingWorkForTesting();
    start();
    EXPECT_TRUE(openedURLs().empty());
}

TEST_F(AppHooksTest, BackgroundSessionEventsGoToTheNetworkLayer) {
    struct Case {
        const char* session;
        bool completed;
    };
    const Case cases[] = {
        {"com.zvu.network.background-upload.measurement", true},
        {"com.lumbrel.other-session", false},
    };
    for (const Case& c : cases) {
        bool completed = false;
        ZAROduzozova::handleEventsForBackgroundURLSession(c.session,
                                                          [&completed] { completed = true; });
        if (auto fetcher = DOZIvedidiURLSession::fetcherWithSessionIdentifier(c.session))
            fetcher->callSystemCompletionHandler(c.session);
        sim::MainLoop::runUntilIdle();
        EXPECT_EQ(completed, c.completed) << c.session;
    }
}

// ---- purchases

// A completed purchase: the engine passes on only those.
class ToyPurchase : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ToyPurchase>("ToyPurchase")
                .method("transactionState", [](ToyPurchase&) { return int64_t{1}; })
                .method("transactionIdentifier", [](ToyPurchase& self) { return self.identifier; })
                .registerClass();
        return cls;
    }
    explicit ToyPurchase(std::string identifier)
        : RuntimeObject(runtimeClass()), identifier(std::move(identifier)) {}
    std::string identifier;
};

struct PurchaseCase {
    const char* label;
    bool enabledAtStart;
    bool beforeStart;
    bool reported;
};
void PrintTo(const PurchaseCase& c, std::ostream* os) {
    *os << c.label;
}

class PurchaseTest : public AppHooksTest, public ::testing::WithParamInterface<PurchaseCase> {};

TEST_P(PurchaseTest, TransactionsAreReportedOnlyWhileCollectionIsOn) {
    const PurchaseCase& c = GetParam();
    ToyPaymentQueue::runtimeClass();
    const std::vector<id> transactions{std::make_shared<ToyPurchase>("P-1"),
                                       std::make_shared<ToyPurchase>("P-2")};
    const id paymentQueue = ToyPaymentQueue::shared();
    auto deliver = [&] {
        APMAnalytics::sharedInstance()->paymentQueue(paymentQueue, transactions);
    };
    if (c.beforeStart) deliver();
    start(Dictionary{{"app_measurement_log_tag", "[Reruzera/Analytics]"},
                     {"RERUZERA_ANALYTICS_COLLECTION_ENABLED", c.enabledAtStart}});
    if (!c.beforeStart) deliver();
    APMAnalytics::waitForPendingWorkForTesting();
    // The engine hands the purchases it kept back on a global queue.
    if (c.reported) {
        sim::MainLoop::runUntil(
            [&] {
                return APMInAppPurchaseTransactionReporter::sharedInstance()
                           .reportedTransactions()
                           .size() == transactions.size();
            },
            std::chrono::seconds(20));
    }

    EXPECT_EQ(APMInAppPurchaseTransactionReporter::sharedInstance().reportedTransactions(),
              c.reported ? transactions : std::vector<id>{});
    // Start made analytics an observer of the default payment queue.
    const std::vector<id> observers{APMAnalytics::sharedInstance()};
    EXPECT_EQ(ToyPaymentQueue::shared()->observers, observers);
}

INSTANTIATE_TEST_SUITE_P(Cases, PurchaseTest,
                         ::testing::Values(PurchaseCase{"Enabled", true, false, true},
                                           PurchaseCase{"EnabledWaitingForStart", true, true, true},
                                           PurchaseCase{"Disabled", false, false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

// ---- libraries found by name at start

struct VideoAdsCase {
    const char* label;
    bool present;
    bool withStarter;
    int starts;
    bool missingStarterLine;
};
void PrintTo(const VideoAdsCase& c, std::ostream* os) {
    *os << c.label;
}

class VideoAdsTest : public AppHooksTest, public ::testing::WithParamInterface<VideoAdsCase> {};

TEST_P(VideoAdsTest, StartEnablesTheLinkedVideoAdsLibrary) {
    const VideoAdsCase& c = GetParam();
    if (c.present) ToyVideoAds::registerClass(c.withStarter);
    start();
    EXPECT_EQ(vadStarts, c.starts);
    EXPECT_EQ(logged(25016), c.missingStarterLine);
}

INSTANTIATE_TEST_SUITE_P(Cases, VideoAdsTest,
                         ::testing::Values(VideoAdsCase{"Absent", false, false, 0, false},
                                           VideoAdsCase{"WithStarter", true, true, 1, false},
                                           VideoAdsCase{"WithoutStarter", true, false, 0, true}),
                         [](const auto& info) { return std::string(info.param.label); });

struct AdLinkCase {
    const char* label;
    bool adsLibrary;
    bool serviceInfo;
    bool warned;
};
void PrintTo(const AdLinkCase& c, std::ostream* os) {
    *os << c.label;
}

class AdLinkWarningTest : public AppHooksTest, public ::testing::WithParamInterface<AdLinkCase> {};

TEST_P(AdLinkWarningTest, WarnsWhenTheAdsLibraryIsUnlinkedAndStartGoesOn) {
    const AdLinkCase& c = GetParam();
    writeBundle({}, c.serviceInfo);
    if (c.adsLibrary) ToyMobileAds::registerClass();
    start();
    EXPECT_EQ(logged(25028), c.warned);
    EXPECT_TRUE(APMMeasurement::hasSharedInstance());
}

INSTANTIATE_TEST_SUITE_P(Cases, AdLinkWarningTest,
                         ::testing::Values(AdLinkCase{"Unlinked", true, true, true},
                                           AdLinkCase{"NoAdsLibrary", false, true, false},
                                           AdLinkCase{"NoServiceInfo", true, false, false}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
