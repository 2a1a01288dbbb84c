#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

constexpr const char* kAppID = "1:100000000001:ios:0000000000000000";

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines())
        if (line.messageCode == code) return true;
    return false;
}

class EngineEntryPointsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        APMMeasurement::setFacade(std::make_shared<APMMeasurementFacade>());
        APMConsentSettingsUtil::setConsentSettings(std::nullopt);
        APMSetInternalEventLogger([this](const std::string&, const std::string& name,
                                         const APMEventParameters& parameters) {
            auto code = parameters.find("_err");
            if (name == "_err" && code != parameters.end())
                errorCodes_.push_back(code->second.int64Value());
        });
    }
    void TearDown() override {
        if (engine_) drain();
        engine_.reset();
        APMSetInternalEventLogger(nullptr);
        APMMeasurement::setEventListenerNotifier(nullptr);
        APMMeasurement::resetSharedInstanceForTesting();
        APMMeasurement::setFacade(nullptr);
        APMConsentSettingsUtil::setConsentSettings(std::nullopt);
        sim::useRealClock();
    }

    void start(bool enabled = true) {
        auto scheduler = std::make_shared<APMScheduler>(APMScheduler::kWorkerQueueLabel);
        auto alarm = std::make_unique<APMAlarm>(scheduler->workerQueue(), "Measurement timer");
        engine_ = APMMeasurement::initWithDatabaseName(
            APMDatabase::kDefaultName, APMPersistedConfig::sharedInstance(), scheduler,
            std::move(alarm), kAppID, enabled, false, std::nullopt);
        drain();
        ASSERT_EQ(engine_->didInitializeComponents(), enabled);
        engine_->forgetKeptEventsForTesting();
        APMMeasurement::monitor().clearLines();
        errorCodes_.clear();
    }
    void drain() {
        for (int round = 0; round < 3; ++round)
            engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", [] {});
    }
    void onWorker(const std::function<void()>& block) {
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }
    // The application's events the engine kept (its own reports left out).
    std::vector<APMEvent> appEvents() {
        std::vector<APMEvent> out;
        for (const APMEvent& event : engine_->keptEvents())
            if (event.origin() != "auto") out.push_back(event);
        return out;
    }
    bool setProperty(const std::string& origin, const std::string& name, const APMValue& value) {
        auto attribute = APMUserAttribute::initWithOrigin(origin, name, value, 1);
        bool stored = false;
        onWorker([&] { stored = engine_->setUserPropertyInDatabaseOnWorkerQueue(*attribute); });
        return stored;
    }
    bool hasProperty(const std::string& name) {
        bool found = false;
        onWorker([&] {
            found = engine_->database()->containsUserAttributeWithName(name).value_or(false);
        });
        return found;
    }

    MeasurementTempHome home_;
    std::shared_ptr<APMMeasurement> engine_;
    std::vector<int64_t> errorCodes_;  // written on the worker queue, read after draining
};

TEST_F(EngineEntryPointsTest, DefaultParametersAreCheckedMergedAndStored) {
    start();
    struct Step {
        const char* label;
        std::optional<Dictionary> set;
        Dictionary stored;
        long long code;
        int64_t errorCode;
    };
    const Step steps[] = {
        {"first values", Dictionary{{"a", 1}, {"b", "x"}}, Dictionary{{"a", 1}, {"b", "x"}}, 0, 0},
        {"merged", Dictionary{{"c", 2.5}}, Dictionary{{"a", 1}, {"b", "x"}, {"c", 2.5}}, 0, 0},
        {"null removes", Dictionary{{"a", Value()}}, Dictionary{{"b", "x"}, {"c", 2.5}}, 0, 0},
        {"array refused", Dictionary{{"d", Array{Value(1)}}}, Dictionary{{"b", "x"}, {"c", 2.5}},
         23213, 27},
        {"bad name", Dictionary{{"9bad", 1}}, Dictionary{{"b", "x"}, {"c", 2.5}}, 23214, 0},
        {"nil clears", std::nullopt, Dictionary{}, 0, 0},
    };
    for (const Step& step : steps) {
        APMMeasurement::monitor().clearLines();
        errorCodes_.clear();
        engine_->setDefaultEventParameters(step.set);
        drain();
        EXPECT_EQ(
            APMPersistedConfig::sharedInstance()->defaultEventParameters().value_or(Dictionary{}),
            step.stored)
            << step.label;
        if (step.code) {
            EXPECT_TRUE(logged(step.code)) << step.label;
        }
        EXPECT_EQ(errorCodes_,
                  step.errorCode ? std::vector<int64_t>{step.errorCode} : std::vector<int64_t>{})
            << step.label;
    }

    Dictionary many;
    for (int i = 0; i < 30; ++i) many.set("p" + std::to_string(100 + i), i);
    engine_->setDefaultEventParameters(many);
    drain();
    auto kept = APMPersistedConfig::sharedInstance()->defaultEventParameters();
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->size(), 25u);
    EXPECT_TRUE(kept->find("p124"));
    EXPECT_FALSE(kept->find("p125"));
    EXPECT_TRUE(logged(23215));
    EXPECT_EQ(errorCodes_, std::vector<int64_t>{26});
}

TEST_F(EngineEntryPointsTest, DefaultParametersWaitForCollection) {
    start(false);
    engine_->setDefaultEventParameters(Dictionary{{"a", 1}});
    drain();
    EXPECT_TRUE(logged(23211));
    EXPECT_FALSE(APMPersistedConfig::sharedInstance()->defaultEventParameters());
}

TEST_F(EngineEntryPointsTest, EventsGetTheDefaultsTheInterceptorOrTheListeners) {
    start();
    APMPersistedConfig::sharedInstance()->setDefaultEventParameters(Dictionary{{"a", 1}, {"b", 2}});
    std::vector<std::string> notified;
    APMMeasurement::setEventListenerNotifier(
        [&notified](const APMEvent& event) { notified.push_back(event.name()); });
    std::vector<std::pair<std::string, APMRawParameters>> intercepted;
    APMLogEventInterceptor interceptor = [&intercepted](const std::string& name,
                                                        APMRawParameters& parameters) {
        intercepted.emplace_back(name, parameters);
        return true;
    };
    struct Case {
        const char* name;
        const char* origin;
        bool isPublic;
        bool ignoreInterceptor;
        bool withInterceptor;
        bool kept;
        bool notifiedToo;
        bool intercepted;
        bool defaults;
    };
    const Case cases[] = {
        {"plain_event", "app", true, false, false, true, true, false, true},
        {"intercepted_event", "app", true, false, true, false, false, true, true},
        {"forwarded_event", "app", true, true, true, true, true, false, false},
        {"ad_event", "zd", true, false, false, true, false, false, true},
    };
    for (const Case& c : cases) {
        engine_->forgetKeptEventsForTesting();
        notified.clear();
        intercepted.clear();
        const APMRawParameters screen{{"_sn", Value("Main")}};
        engine_->logEventWithOrigin(c.origin, c.isPublic, c.name, {{"b", Value(3)}},
                                    sim::wallClockSeconds(), true, false, c.ignoreInterceptor,
                                    c.withInterceptor ? interceptor : nullptr, screen);
        drain();
        auto events = appEvents();
        ASSERT_EQ(events.size(), c.kept ? 1u : 0u) << c.name;
        EXPECT_EQ(notified == std::vector<std::string>{c.name}, c.notifiedToo) << c.name;
        EXPECT_EQ(intercepted.size(), c.intercepted ? 1u : 0u) << c.name;
        if (c.kept) {
            const auto& parameters = events[0].parameters();
            EXPECT_EQ(parameters.at("b").int64Value(), 3) << c.name;
            EXPECT_EQ(parameters.count("a"), c.defaults ? 1u : 0u) << c.name;
        }
        if (c.intercepted) {
            const auto& parameters = intercepted[0].second;
            EXPECT_EQ(parameters.count("_sn"), 1u) << "screen parameters are handed on";
            EXPECT_EQ(parameters.count("a"), 1u);
        }
    }
}

TEST_F(EngineEntryPointsTest, UserPropertiesStayWithinTheirLimits) {
    start();
    for (int i = 0; i < 25; ++i)
        ASSERT_TRUE(setProperty("rrc", "_n" + std::to_string(i), APMValue::initWithInt64(i)));
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(setProperty("rrc", "_n25", APMValue::initWithInt64(25)));
    EXPECT_TRUE(logged(23084));
    EXPECT_EQ(errorCodes_, std::vector<int64_t>{9});
    EXPECT_TRUE(setProperty("rrc", "_n3", APMValue::initWithInt64(33)))
        << "updates are not limited";
    EXPECT_TRUE(setProperty("other", "_m0", APMValue::initWithInt64(1))) << "limits are per origin";

    for (int i = 0; i < 25; ++i)
        ASSERT_TRUE(setProperty("app", "level" + std::to_string(i), APMValue::initWithInt64(i)));
    EXPECT_FALSE(setProperty("app", "level25", APMValue::initWithInt64(25)));
    EXPECT_TRUE(setProperty("app", "level0", APMValue::initWithInt64(7)));
}

TEST_F(EngineEntryPointsTest, ANewUserIDForgetsTheAdvertisingResetMark) {
    start();
    struct Step {
        const char* userID;
        bool lairKept;
    };
    const Value first("user-1");
    ASSERT_TRUE(setProperty("app", "_id", *APMValue::initWithString(&first)));
    for (const Step& step : {Step{"user-1", true}, Step{"user-2", false}}) {
        ASSERT_TRUE(setProperty("auto", "_lair", APMValue::initWithInt64(1)));
        const Value id(step.userID);
        ASSERT_TRUE(setProperty("app", "_id", *APMValue::initWithString(&id)));
        EXPECT_EQ(hasProperty("_lair"), step.lairKept) << step.userID;
    }
}

TEST_F(EngineEntryPointsTest, TheAdvertisingResetMarkFollowsAUserID) {
    start();
    struct Case {
        bool withID;
        bool withMark;
        bool marked;
    };
    const Case cases[] = {{false, false, false}, {true, false, true}, {true, true, true}};
    const Value id("user-1");
    for (const Case& c : cases) {
        onWorker([&] {
            engine_->database()->deleteUserAttributeWithName("_id");
            engine_->database()->deleteUserAttributeWithName("_lair");
        });
        if (c.withID) {
            ASSERT_TRUE(setProperty("app", "_id", *APMValue::initWithString(&id)));
        }
        if (c.withMark) {
            ASSERT_TRUE(setProperty("auto", "_lair", APMValue::initWithInt64(5)));
        }
        onWorker([&] { engine_->setLastAdvertisingIDResetUserPropertyOnWorkerQueue(); });
        EXPECT_EQ(hasProperty("_lair"), c.marked) << c.withID << c.withMark;
        std::optional<APMUserAttribute> mark;
        onWorker([&] { mark = engine_->database()->userAttributeWithName("_lair"); });
        if (c.marked) {
            ASSERT_TRUE(mark);
            EXPECT_EQ(mark->value().int64Value(), c.withMark ? 5 : 1) << "an existing mark stays";
            EXPECT_EQ(mark->origin(), "auto");
        }
    }
}

TEST_F(EngineEntryPointsTest, ReadsAnswerOnAnotherThread) {
    start();
    ASSERT_TRUE(setProperty("app", "level", APMValue::initWithInt64(4)));
    std::promise<std::pair<std::optional<APMUserAttribute>, bool>> answer;
    engine_->userAttributeWithName("level", [&answer](std::optional<APMUserAttribute> attribute) {
        answer.set_value({attribute, NSThread::isMainThread()});
    });
    auto future = answer.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    auto [attribute, onMain] = future.get();
    ASSERT_TRUE(attribute);
    EXPECT_EQ(attribute->value().int64Value(), 4);
    EXPECT_FALSE(onMain);

    engine_->userAttributeWithName("level", nullptr);
    engine_->userPropertiesIncludingInternal(false, nullptr);
    engine_->maxUserPropertiesForOrigin("app", nullptr);
    engine_->setUserAttribute(std::nullopt);
    engine_->removeUserAttribute(std::nullopt);
    engine_->logEvent(std::nullopt);
    for (long long code : {23088, 23090, 23094, 23079, 23074, 23048})
        EXPECT_TRUE(logged(code)) << code;
}

TEST_F(EngineEntryPointsTest, QueuedWorkHoldsTheEngineWeakly) {
    start();
    auto queue = engine_->scheduler().workerQueue();
    auto gate = std::make_shared<DispatchSemaphore>(0);
    queue->async([gate] { gate->wait(); });
    std::atomic<int> answered{0};
    auto attribute =
        APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithInt64(1), 1);
    engine_->setEnabled(false);
    engine_->setUserAttribute(attribute);
    engine_->removeUserAttribute(attribute);
    engine_->setDefaultEventParameters(Dictionary{{"a", 1}});
    engine_->logEventWithOrigin("app", true, "queued_event", {}, 1, true, false, false, nullptr,
                                std::nullopt);
    engine_->userAttributeWithName("level", [&](auto) { ++answered; });
    engine_->userPropertiesIncludingInternal(true, [&](Dictionary) { ++answered; });
    std::weak_ptr<APMMeasurement> weak = engine_;
    engine_.reset();
    EXPECT_TRUE(weak.expired());
    gate->signal();
    queue->sync([] {});
    EXPECT_EQ(answered, 0);
}

TEST_F(EngineEntryPointsTest, MaxUserPropertiesAnswersOnAnotherThread) {
    start();
    for (const char* origin : {"app", "auto", "rrc"}) {
        std::promise<std::pair<int, bool>> answer;
        engine_->maxUserPropertiesForOrigin(origin, [&answer](int count) {
            answer.set_value({count, NSThread::isMainThread()});
        });
        auto future = answer.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        const auto [count, onMain] = future.get();
        EXPECT_EQ(count, 25) << origin;
        EXPECT_FALSE(onMain) << origin;
    }
    engine_->maxUserPropertiesForOrigin("", [](int) { ADD_FAILURE() << "no answer expected"; });
    EXPECT_TRUE(logged(23093));
}

TEST_F(EngineEntryPointsTest, ResetRunsOnlyFromABackgroundThread) {
    start();
    struct Case {
        const char* label;
        const char* where;  // "main", "worker" or "other"
        std::optional<std::string> identifier;
        bool storageDenied;
        bool reset;
        long long code;
    };
    const Case cases[] = {
        {"main thread", "main", "id-1", false, false, 23169},
        {"worker queue", "worker", "id-1", false, false, 23169},
        {"empty identifier", "other", "", false, false, 23167},
        {"empty identifier, storage denied", "other", std::nullopt, true, true, 23218},
        {"background thread", "other", "id-2", false, true, 23168},
    };
    auto other = DispatchQueue::create("reset-caller");
    for (const Case& c : cases) {
        ASSERT_TRUE(setProperty("app", "level", APMValue::initWithInt64(1)));
        APMConsentSettingsUtil::setConsentSettings(
            c.storageDenied ? std::optional<Dictionary>(Dictionary{{"analytics_storage", "denied"}})
                            : std::nullopt);
        APMMeasurement::monitor().clearLines();
        bool answer = !c.reset;
        const std::string where = c.where;
        if (where == "main") {
            answer = engine_->resetAnalyticsDataWithAppInstanceID(c.identifier);
        } else if (where == "worker") {
            engine_->scheduler().workerQueue()->async(
                [&] { answer = engine_->resetAnalyticsDataWithAppInstanceID(c.identifier); });
            drain();
        } else {
            other->async(
                [&] { answer = engine_->resetAnalyticsDataWithAppInstanceID(c.identifier); });
            other->sync([] {});
        }
        EXPECT_EQ(answer, c.reset) << c.label;
        EXPECT_TRUE(logged(c.code)) << c.label;
        EXPECT_EQ(hasProperty("level"), !c.reset) << c.label;
        if (c.reset) {
            EXPECT_EQ(APMPersistedConfig::sharedInstance()->appInstanceID(),
                      c.identifier && !c.identifier->empty() ? c.identifier : std::nullopt)
                << c.label;
        }
    }
}

TEST_F(EngineEntryPointsTest, AWipeWhoseDatabaseCannotBeResetClearsTheSettingsAndFails) {
    start();
    auto persisted = APMPersistedConfig::sharedInstance();
    persisted->setSessionNumber(7);
    // The database's folder is replaced by a plain file: the database can
    // be neither removed nor made again.
    const auto folder =
        std::filesystem::path(APMMeasurementDirectoryPath(APMDatabase::kDefaultName)).parent_path();
    std::filesystem::remove_all(folder);
    std::ofstream(folder) << "x";
    bool wiped = true;
    onWorker([&] { wiped = engine_->wipeoutAnalyticsDataAndResetComponents(); });
    EXPECT_FALSE(wiped);
    EXPECT_TRUE(logged(23209));
    EXPECT_EQ(persisted->sessionNumber(), 0);
}

}  // namespace
