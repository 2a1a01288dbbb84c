#pragma once
// A task manager on its own worker queue, in a temporary home, on the
// virtual clock, talking to a simulated backend on 127.0.0.1.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/backend/Backend.h"
#include "platform/backend/ExperimentsBackend.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NSURLSession.h"
#include "services/experiments/APMEExperimentRequestBuilder.h"
#include "services/experiments/APMETaskManager.h"
#include "services/experiments/tests/ExperimentsTestSupport.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/util/tests/TempHome.h"

class TaskManagerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::setServiceHostOverride(backend_.url());
        APMEManager::monitor().clearLines();
        APMEExperimentRequestBuilder::sharedInstance().removeAllSDKProperties();
        storage_ = std::make_shared<APMUserDefaults>(kAPMExperimentSuiteName);
        storage_->clearAllData();
        databasePath_ = (home_.path() / "experiments.sql").string();
    }
    void TearDown() override {
        if (taskManager_) {
            taskManager_->alarm()->cancel();
            queue_->sync([] {});
        }
        taskManager_.reset();
        storage_->clearAllData();
        APMEExperimentRequestBuilder::sharedInstance().removeAllSDKProperties();
        APMESDKProperty::setAppInstanceIDProvider(nullptr);
        sim::MainLoop::runUntilIdle();
        sim::clearServiceHostOverride();
        sim::useRealClock();
    }

    std::shared_ptr<APMETaskManager> makeTaskManager() {
        auto alarm = std::make_shared<APMAlarm>(queue_, "APMExperimentAlarm");
        taskManager_ =
            APMETaskManager::initWithQueue(queue_, alarm, std::make_shared<DOZIvedidi>(), storage_,
                                           databasePath_, sim::wallClockSeconds());
        return taskManager_;
    }
    // Registers an SDK in the request with a diversion key.
    void addClient(const std::string& sdk) {
        auto property = APMESDKProperty::initWithName(Value(sdk));
        property->diversionKey = "key";
        property->version = 7;
        APMEExperimentRequestBuilder::sharedInstance().addSDKProperty(property);
    }
    // Runs everything queued on the worker queue so far.
    void drain() {
        queue_->sync([] {});
    }
    // Waits (a real-time guard only) until the predicate, checked on the
    // worker queue, holds.
    bool waitFor(const std::function<bool()>& predicate) {
        return sim::MainLoop::runUntil(
            [&] {
                bool done = false;
                queue_->sync([&] { done = predicate(); });
                return done;
            },
            std::chrono::seconds(20));
    }
    double stored(const char* key) { return storage_->doubleForKey(key); }
    double scheduled() { return taskManager_->alarm()->scheduledTimestamp().value_or(0); }
    std::size_t fetches() { return backend_.requests("experiments").size(); }
    sim::ExperimentsBackend& service() {
        return *static_cast<sim::ExperimentsBackend*>(backend_.service("experiments"));
    }
    // Moves the clock to the pending alarm and waits for the fetch it makes
    // to be answered and handled (the alarm is scheduled again then).
    void fireAndWaitForAnswer() {
        const std::size_t before = fetches();
        const double due = scheduled();
        ASSERT_GT(due, 0);
        // A timer set "at once" waits one millisecond, which wall-clock
        // seconds cannot express exactly.
        auto step = sim::seconds(due - sim::wallClockSeconds());
        if (step < std::chrono::milliseconds(1)) step = std::chrono::milliseconds(1);
        sim::advanceClock(step);
        // The session's work may need the main loop: pump while waiting.
        ASSERT_TRUE(
            sim::MainLoop::runUntil([&] { return fetches() > before; }, std::chrono::seconds(20)));
        ASSERT_TRUE(waitFor([&] {
            const double next = scheduled();
            return (next != 0 && next != due) || monitorLogged(820024);
        }));
    }

    TempHome home_;
    sim::Backend backend_;
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.experiments.worker");
    std::shared_ptr<APMUserDefaults> storage_;
    std::string databasePath_;
    std::shared_ptr<APMETaskManager> taskManager_;
};
