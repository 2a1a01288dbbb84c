// The program's measurement engine is made with the experiments client: it
// fetches the experiments the backend assigns, and its switches follow them.

#include <chrono>

#include "app/ui/tests/ShellTestSupport.h"
#include "platform/backend/ExperimentsBackend.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "services/analytics/APMAnalytics.h"
#include "services/experiments/APMEMeasurementExperiments.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"

namespace shelltest {
namespace {

using namespace std::chrono_literals;
using ExperimentsTest = ShellTest;

// Runs what the engine's worker queue holds and waits for its request in
// flight, if any, to be answered.
void settleEngine(APMMeasurement& engine) {
    for (int round = 0; round < 10; ++round) {
        bool pending = false;
        engine.scheduler().dispatchSyncOnWorkerQueueBlockID(
            "test", [&] { pending = engine.isNetworkRequestPending(); });
        if (!pending) break;
        ASSERT_TRUE(
            sim::MainLoop::runUntil([&] { return !engine.isNetworkRequestPending(); }, 20s));
    }
    sim::MainLoop::runUntilIdle();
}

TEST_F(ExperimentsTest, TheEngineFollowsTheExperimentsTheBackendAssigns) {
    auto& experiments = *static_cast<sim::ExperimentsBackend*>(backend().service("experiments"));
    experiments.setSnapshot(APMRemoteConfig::kSDKName,
                            {{21, {{"efficient_engagement_reporting_enabled", std::int64_t{1}}}}});
    launch();
    APMAnalytics::waitForPendingWorkForTesting();
    auto manager = APMEMeasurementExperiments::sharedManagerIfCreated();
    ASSERT_NE(manager, nullptr);
    auto config = APMMeasurement::remoteConfig();
    ASSERT_FALSE(config->isDefaultInstance());
    EXPECT_FALSE(config->efficientEngagementReportingEnabled());

    // The first fetch is due shortly after start.
    const auto& alarm = manager->taskManager()->alarm();
    ASSERT_TRUE(
        sim::MainLoop::runUntil([&] { return alarm->scheduledTimestamp().has_value(); }, 20s));
    sim::advanceClock(sim::seconds(*alarm->scheduledTimestamp() - sim::wallClockSeconds()) + 1ms);
    ASSERT_TRUE(
        sim::MainLoop::runUntil([&] { return !backend().requests("experiments").empty(); }, 20s));
    // The new snapshot is noticed on the main queue, once stored.
    ASSERT_TRUE(sim::MainLoop::runUntil(
        [&] { return manager->pendingSnapshot(APMRemoteConfig::kSDKName) != nullptr; }, 20s));
    manager->queue()->sync([] {});
    manager->taskManager()->workerQueue()->sync([] {});
    sim::MainLoop::runUntilIdle();
    EXPECT_FALSE(config->efficientEngagementReportingEnabled());

    // The engine puts it in force when its upload schedule next finds
    // nothing to upload.
    auto engine = APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    for (int minute = 0; minute <= 24 * 60 && !config->efficientEngagementReportingEnabled();
         ++minute) {
        settleEngine(*engine);
        sim::advanceClock(std::chrono::minutes(1));
    }
    EXPECT_TRUE(config->efficientEngagementReportingEnabled());
    EXPECT_EQ(config->experimentIDs(), (std::vector<std::int64_t>{21}));
}

}  // namespace
}  // namespace shelltest
