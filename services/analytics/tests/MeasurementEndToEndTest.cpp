// Events the application logs travel the whole measurement path on the
// virtual clock: the engine fetches its configuration from the simulated
// backend, the configuration's program edits each event as it is written,
// bundling evaluates the configuration's audience, and the upload reaches
// the backend, which decodes every bundle and checks its checksum.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"
#include "platform/backend/MeasurementBackend.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NSURLSession.h"
#include "services/analytics/tests/AnalyticsTestSupport.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/tests/AudienceBuilders.h"
#include "services/script/tests/ScriptTestSupport.h"
#include "services/util/DOZIvedidi.h"

namespace {

constexpr const char* kAppID = "1:100000000001:ios:0000000000000000";
constexpr std::int32_t kAudienceID = 42;

// Every event written gets the parameter "edited" = 7 from the program's
// edit callback.
std::string editingProgramBytes() {
    const std::string statements =
        "(41 \"rc\") (3 \"rc\" (require \"internal.registerCallback\")) "
        "(50 \"rule\" (7 \"r\") (rc \"id\" (51 \"\" (7 \"e\") (2 (15 \"e\") \"setParamValue\" "
        "(46 \"edited\" 7)) (36 1)) (8 \"type\" \"edit\" \"priority\" 1)))";
    auto program = APMPBProgram::make();
    std::vector<APMPBObject> entities;
    for (auto& entity : script_test::program(statements)) entities.emplace_back(entity);
    APMPBSetArray(program.get(), 0, entities);
    auto list = APMPBOgtActivities::make();
    auto activity = APMPBOgtActivity::make();
    APMPBSetString(activity.get(), 0, Value("rule"));
    std::vector<APMPBObject> rules;
    for (auto& entity : script_test::program("(8)")) rules.emplace_back(entity);
    APMPBSetArray(activity.get(), 1, rules);
    APMPBSetArray(list.get(), 0, std::vector<APMPBObject>{APMPBObject(activity)});
    APMPBSetMessage(program.get(), 1, list.get());
    const auto bytes = program->protoBuffer();
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

std::string audienceBytes() {
    auto audience = audience_test::audience(
        kAudienceID, {audience_test::eventFilter(1, std::string("changed_push_to_talk"))});
    const auto bytes = audience->protoBuffer();
    return std::string(bytes->begin(), bytes->end());
}

class MeasurementEndToEndTest : public AnalyticsTest {
  protected:
    void SetUp() override {
        AnalyticsTest::SetUp();
        sim::setServiceHostOverride(backend_.url());
        sim::MeasurementBackend::Configuration configuration;
        // Checksums on; a configuration without settings would be ignored.
        configuration.settings = {{"measurement.quality.checksum", "1"}};
        configuration.programs.push_back(editingProgramBytes());
        configuration.audiences.push_back(audienceBytes());
        measurement().setConfiguration(kAppID, configuration);
    }
    void TearDown() override {
        if (auto engine = APMMeasurement::sharedInstance()) settle(*engine);
        AnalyticsTest::TearDown();
        sim::clearServiceHostOverride();
    }

    sim::MeasurementBackend& measurement() {
        return *static_cast<sim::MeasurementBackend*>(
            backend_.service(sim::MeasurementBackend::kName));
    }
    static void onWorker(APMMeasurement& engine, const std::function<void()>& block) {
        engine.scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }
    // Runs what the worker queue holds and waits for the engine's request in
    // flight, if any, to be answered.
    static void settle(APMMeasurement& engine) {
        for (int round = 0; round < 10; ++round) {
            bool pending = false;
            onWorker(engine, [&] { pending = engine.isNetworkRequestPending(); });
            if (!pending) return;
            ASSERT_TRUE(sim::MainLoop::runUntil([&] { return !engine.isNetworkRequestPending(); },
                                                std::chrono::seconds(20)));
        }
    }
    // Lets simulated time pass in steps of a minute until the backend has
    // seen `count` measurement requests of the endpoint; false when a day
    // passes first.
    bool advanceUntil(APMMeasurement& engine, const std::string& endpoint, std::size_t count) {
        for (int minute = 0; minute <= 24 * 60; ++minute) {
            settle(engine);
            if (backend_.requests(sim::MeasurementBackend::kName, endpoint).size() >= count)
                return true;
            sim::advanceClock(std::chrono::minutes(1));
        }
        return false;
    }
    static const sim::MeasurementEvent* find(const std::vector<sim::MeasurementBundle>& bundles,
                                             const std::string& name) {
        for (const auto& bundle : bundles)
            for (const auto& event : bundle.events)
                if (event.name == name) return &event;
        return nullptr;
    }
    static std::size_t count(const std::vector<sim::MeasurementBundle>& bundles,
                             const std::string& name) {
        std::size_t n = 0;
        for (const auto& bundle : bundles)
            for (const auto& event : bundle.events) n += event.name == name;
        return n;
    }
    static bool edited(const sim::MeasurementEvent& event) {
        const auto* param = event.param("edited");
        if (!param) return false;
        return (param->intValue && *param->intValue == 7) ||
               (param->doubleValue && *param->doubleValue == 7.0);
    }

    sim::Backend backend_;
};

TEST_F(MeasurementEndToEndTest, EditedEventsReachTheBackendOnceEvenAfterARefusedUpload) {
    start();
    auto engine = APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    // Reachability answers on its own thread; once connected the engine
    // schedules its first upload.
    auto network = std::dynamic_pointer_cast<DOZIvedidi>(engine->network());
    ASSERT_TRUE(network);
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return network->isNetworkConnected(); },
                                        std::chrono::seconds(20)));

    // The first upload attempt finds the configuration expired and fetches it.
    ASSERT_TRUE(advanceUntil(*engine, sim::MeasurementBackend::kConfig, 1));
    settle(*engine);
    ASSERT_EQ(measurement().configRequests().front().status, 200);

    // Written after the program arrived: edited on the write path.
    APMAnalytics::logEventWithName("changed_push_to_talk", Dictionary{{"enabled", Value(1)}});
    APMAnalytics::waitForPendingWorkForTesting();

    // The next upload carrying the event is refused; the one after it is
    // accepted, with everything the refused one held.
    const std::size_t before = backend_.requests(sim::MeasurementBackend::kName, "upload").size();
    backend_.enqueue(sim::MeasurementBackend::kName, "upload", sim::BackendScript::withStatus(503));
    ASSERT_TRUE(advanceUntil(*engine, sim::MeasurementBackend::kUpload, before + 2));

    // The scripted refusal answered before the service decoded anything;
    // the batch the service took next holds the event once.
    const auto requests = backend_.requests(sim::MeasurementBackend::kName, "upload");
    ASSERT_GE(requests.size(), before + 2);
    EXPECT_EQ(requests[before].status, 503);
    EXPECT_EQ(requests[before + 1].status, 200);

    const auto accepted = measurement().acceptedBundles();
    for (const auto& upload : measurement().uploads())
        EXPECT_TRUE(upload.accepted) << upload.reason;
    EXPECT_EQ(count(accepted, "changed_push_to_talk"), 1u);
    const auto* event = find(accepted, "changed_push_to_talk");
    ASSERT_TRUE(event);
    EXPECT_TRUE(edited(*event));
    ASSERT_TRUE(event->param("enabled"));

    // The bundle's own fields and the audience the event joined.
    for (const auto& bundle : accepted) {
        if (!find({bundle}, "changed_push_to_talk")) continue;
        EXPECT_EQ(bundle.platform, "macos");
        EXPECT_TRUE(bundle.checksum.has_value() && bundle.checksumMatches);
        EXPECT_FALSE(bundle.appInstanceID.empty());
        EXPECT_GT(bundle.uploadTimestampMillis, 0);
        EXPECT_LE(bundle.startTimestampMillis, bundle.endTimestampMillis);
        bool joined = false;
        for (const auto& result : bundle.audienceResults)
            joined = joined || result.audienceID == kAudienceID;
        EXPECT_TRUE(joined);
    }

    // The accepted bundles left the engine's queue.
    std::optional<bool> empty;
    onWorker(*engine, [&] { empty = engine->database()->isQueuedBundleTableEmpty(); });
    EXPECT_EQ(empty, std::optional<bool>(true));
}

}  // namespace
