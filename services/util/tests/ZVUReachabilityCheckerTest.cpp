#include "services/util/ZVUReachabilityChecker.h"

#include <gtest/gtest.h>

#include "platform/dispatch/MainLoop.h"
#include "platform/log/Log.h"
#include "services/util/ZVULogger.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

// A reachability service of our own: counts calls and can refuse them.
struct FakeService {
    int creates = 0, callbacks = 0, schedules = 0, unschedules = 0, releases = 0;
    bool refuseCreate = false, refuseCallback = false;
    SCNetworkReachabilityCallBack callback = nullptr;
    void* info = nullptr;
};
FakeService fake;
int handleStorage;

const ZVUReachabilityApi kFakeApi{
    [](CFAllocatorRef, const char*) -> SCNetworkReachabilityRef {
        ++fake.creates;
        return fake.refuseCreate ? nullptr
                                 : reinterpret_cast<SCNetworkReachabilityRef>(&handleStorage);
    },
    [](SCNetworkReachabilityRef, SCNetworkReachabilityCallBack cb,
       SCNetworkReachabilityContext* context) {
        ++fake.callbacks;
        fake.callback = cb;
        fake.info = context->info;
        return !fake.refuseCallback;
    },
    [](SCNetworkReachabilityRef, CFRunLoopRef, CFRunLoopMode) {
        ++fake.schedules;
        return true;
    },
    [](SCNetworkReachabilityRef, CFRunLoopRef, CFRunLoopMode) {
        ++fake.unschedules;
        return true;
    },
    [](SCNetworkReachabilityRef) { ++fake.releases; },
};

struct Listener : NSObject, ZVUReachabilityDelegate {
    std::vector<ZVUReachabilityStatus> statuses;
    void reachability(ZVUReachabilityChecker& checker, ZVUReachabilityStatus status) override {
        EXPECT_EQ(checker.reachabilityStatus(), status);
        statuses.push_back(status);
    }
};

class ReachabilityCheckerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::setLogEcho(false);
        sim::resetZVULoggerForTesting();
        ZVUSetLoggerLevel(ZVULoggerLevel::Debug);
        fake = FakeService();
    }
    void TearDown() override {
        sim::setReachabilityFlags(std::nullopt);
        sim::MainLoop::runUntilIdle();
        sim::resetZVULoggerForTesting();
    }
    std::size_t logged(const std::string& fragment) {
        sim::flushZVULogger();
        std::size_t n = 0;
        for (const auto& line : capture_.lines()) n += line.find(fragment) != std::string::npos;
        return n;
    }
    std::shared_ptr<ZVUReachabilityChecker> makeFake() {
        auto checker =
            ZVUReachabilityChecker::initWithReachabilityDelegate(listener_, "example.com");
        checker->setReachabilityApi(&kFakeApi);
        return checker;
    }
    void flags(SCNetworkReachabilityFlags f) { fake.callback(nullptr, f, fake.info); }

    sim::LogCapture capture_;
    std::shared_ptr<Listener> listener_ = std::make_shared<Listener>();
};

}  // namespace

TEST_F(ReachabilityCheckerTest, FlagsMapToStatuses) {
    auto checker = makeFake();
    const SCNetworkReachabilityFlags R = kSCNetworkReachabilityFlagsReachable,
                                     C = kSCNetworkReachabilityFlagsConnectionRequired,
                                     T = kSCNetworkReachabilityFlagsConnectionOnTraffic,
                                     D = kSCNetworkReachabilityFlagsConnectionOnDemand,
                                     I = kSCNetworkReachabilityFlagsInterventionRequired;
    struct Case {
        SCNetworkReachabilityFlags flags;
        ZVUReachabilityStatus status;
    };
    using S = ZVUReachabilityStatus;
    for (const Case& c :
         {Case{R, S::ReachableViaWifi}, Case{R | C, S::NotReachable},
          Case{R | C | D, S::ReachableViaWifi}, Case{R | C | T, S::ReachableViaWifi},
          Case{R | C | D | I, S::NotReachable}, Case{0, S::NotReachable},
          Case{C | T, S::NotReachable}}) {
        EXPECT_EQ(checker->statusForFlags(c.flags), c.status) << c.flags;
    }
    EXPECT_EQ(ZVUReachabilityStatusString(S::Unknown), "Reachability Unknown");
    EXPECT_EQ(ZVUReachabilityStatusString(S::NotReachable), "Not reachable");
    EXPECT_EQ(ZVUReachabilityStatusString(S::ReachableViaWifi), "Reachable via Wifi");
    EXPECT_EQ(ZVUReachabilityStatusString(S::ReachableViaCellular), "Reachable via Cellular Data");
    EXPECT_EQ(ZVUReachabilityStatusString(static_cast<S>(9)), "Invalid reachability status 9");
}

TEST_F(ReachabilityCheckerTest, CreationRefusesEmptyHostsAndForeignDelegates) {
    EXPECT_EQ(ZVUReachabilityChecker::initWithReachabilityDelegate(listener_, ""), nullptr);
    EXPECT_EQ(logged("[ZVUReachability][I-REA902001] Invalid host specified"), 1u);

    auto stranger = std::make_shared<NSObject>();
    auto checker = ZVUReachabilityChecker::initWithReachabilityDelegate(stranger, "example.com");
    ASSERT_TRUE(checker);
    EXPECT_EQ(checker->reachabilityDelegate(), nullptr);
    EXPECT_EQ(
        logged("[I-NET902005] Reachability delegate doesn't conform to Reachability protocol."),
        1u);
    EXPECT_EQ(checker->reachabilityStatus(), ZVUReachabilityStatus::Unknown);
    EXPECT_EQ(checker->reachabilityApi(), ZVUDefaultReachabilityApi());
    EXPECT_FALSE(checker->isActive());
}

TEST_F(ReachabilityCheckerTest, StartRegistersOnceAndFailuresReleaseTheHandle) {
    auto checker = makeFake();
    EXPECT_TRUE(checker->start());
    EXPECT_TRUE(checker->start());
    EXPECT_EQ(fake.creates, 1);
    EXPECT_EQ(fake.schedules, 1);
    EXPECT_EQ(fake.info, checker.get());
    EXPECT_EQ(logged("[I-REA902003] Monitoring the network status"), 2u);

    checker->setReachabilityApi(ZVUDefaultReachabilityApi());
    EXPECT_EQ(checker->reachabilityApi(), &kFakeApi);
    EXPECT_EQ(logged("[I-REA902000] Cannot change reachability API while reachability is running. "
                     "Call stop first."),
              1u);
    checker->stop();
    checker->stop();
    EXPECT_EQ(fake.unschedules, 1);
    EXPECT_EQ(fake.releases, 1);
    EXPECT_FALSE(checker->isActive());

    fake.refuseCreate = true;
    EXPECT_FALSE(checker->start());
    EXPECT_EQ(logged("I-REA902002"), 0u);
    fake.refuseCreate = false;
    fake.refuseCallback = true;
    EXPECT_FALSE(checker->start());
    EXPECT_EQ(fake.releases, 2);
    EXPECT_FALSE(checker->isActive());
    EXPECT_EQ(logged("[I-REA902002] Failed to start reachability handle"), 1u);
}

TEST_F(ReachabilityCheckerTest, DelegateHearsOnlyChangesAndAgainAfterARestart) {
    auto checker = makeFake();
    ASSERT_TRUE(checker->start());
    flags(kSCNetworkReachabilityFlagsReachable);
    flags(kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsDirect);
    flags(0);
    EXPECT_EQ(listener_->statuses,
              (std::vector<ZVUReachabilityStatus>{ZVUReachabilityStatus::ReachableViaWifi,
                                                  ZVUReachabilityStatus::NotReachable}));
    EXPECT_EQ(logged("Network status has changed. Code:2, status:Connected"), 1u);
    EXPECT_EQ(logged("Network status has changed. Code:1, status:Disconnected"), 1u);

    checker->stop();
    EXPECT_EQ(checker->reachabilityStatus(), ZVUReachabilityStatus::Unknown);
    ASSERT_TRUE(checker->start());
    flags(0);
    EXPECT_EQ(listener_->statuses.size(), 3u);

    listener_.reset();
    flags(kSCNetworkReachabilityFlagsReachable);  // delegate gone: nothing to call
    EXPECT_EQ(checker->reachabilityStatus(), ZVUReachabilityStatus::ReachableViaWifi);
}

TEST_F(ReachabilityCheckerTest, ThePlatformServiceReportsOnTheMainQueue) {
    sim::setReachabilityFlags(0);
    auto checker = ZVUReachabilityChecker::initWithReachabilityDelegate(listener_, "example.com");
    ASSERT_TRUE(checker->start());
    EXPECT_TRUE(checker->isActive());
    sim::MainLoop::runUntilIdle();
    sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(listener_->statuses,
              (std::vector<ZVUReachabilityStatus>{ZVUReachabilityStatus::NotReachable,
                                                  ZVUReachabilityStatus::ReachableViaWifi}));
    checker.reset();  // released: later changes reach nobody
    sim::setReachabilityFlags(0);
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(listener_->statuses.size(), 2u);
}
