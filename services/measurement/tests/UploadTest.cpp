#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/backend/Backend.h"
#include "platform/backend/MeasurementBackend.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NSURLSession.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/reachability/SCNetworkReachability.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMSqliteStore.h"
#include "services/measurement/tests/MeasurementTempHome.h"
#include "services/util/DOZIvedidi.h"
#include "services/util/ZVUGzip.h"

namespace {

constexpr const char* kAppID = "1:123:ios:abc";
constexpr const char* kOtherAppID = "1:456:ios:def";
constexpr double kEpoch = sim::kVirtualWallEpochUnixSeconds;
constexpr double kInitialDelay = 15;  // the configuration's default

using Settings = std::vector<std::pair<std::string, std::string>>;

// A queued bundle: its app, its end time (what scheduling reads) and a
// marker in its start time that tells the bundles apart on the backend.
struct BundleSpec {
    std::optional<std::string> appID = kAppID;
    double endSeconds = kEpoch;
    std::int64_t marker = 1;
    bool realtime = false;
};

std::shared_ptr<APMPBMeasurementBundle> makeBundle(const BundleSpec& spec) {
    auto bundle = APMPBMeasurementBundle::make();
    if (spec.appID) APMPBSetString(bundle.get(), 14, Value(*spec.appID));
    APMPBSetInt64(bundle.get(), 4, spec.marker);
    APMPBSetInt64(bundle.get(), 5, static_cast<std::int64_t>(spec.endSeconds * 1000));
    return bundle;
}

std::vector<APMMonitorLine> linesWithCode(const std::vector<APMMonitorLine>& lines,
                                          long long code) {
    std::vector<APMMonitorLine> found;
    for (const auto& line : lines)
        if (line.messageCode == code) found.push_back(line);
    return found;
}

// The monitor's lines, for failure messages.
std::string monitorText() {
    std::string out;
    for (const auto& line : APMMeasurement::monitor().lines()) {
        out += std::to_string(line.messageCode) + " " + line.message;
        for (const auto& context : line.contexts) out += " | " + context.description();
        out += "\n";
    }
    return out;
}

class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::setServiceHostOverride(backend_.url());
        auto persisted = APMPersistedConfig::sharedInstance();
        persisted->setLastSuccessfulUploadTimestamp(0);
        persisted->setLastFailedUploadTimestamp(0);
        persisted->setLastBackoffTimestamp(0);
        persisted->setConfigServerLastModifiedString(std::nullopt);
        engine_ = APMMeasurement::initWithAppID(kAppID, true, false, std::nullopt);
        ASSERT_TRUE(engine_);
        onWorker([] {});
        ASSERT_TRUE(engine_->didInitializeComponents());
        network_ = std::dynamic_pointer_cast<DOZIvedidi>(engine_->network());
        ASSERT_TRUE(network_);
        ASSERT_TRUE(sim::MainLoop::runUntil([&] { return network_->isNetworkConnected(); },
                                            std::chrono::seconds(20)));
        // Start-up reports leave raw events; these tests queue bundles only.
        onWorker([&] {
            auto& store = engine_->database()->store();
            store.executeSQL("DELETE FROM raw_events");
            store.executeSQL("DELETE FROM raw_events_metadata");
            engine_->alarm().cancel();
        });
        APMMeasurement::monitor().clearLines();
        backend_.clearRequests();
    }
    void TearDown() override {
        if (engine_) {
            waitIdle();
            onWorker([&] { engine_->alarm().cancel(); });
        }
        engine_.reset();
        sim::setReachabilityFlags(std::nullopt);
        sim::clearServiceHostOverride();
        sim::useRealClock();
    }

    void onWorker(const std::function<void()>& block) {
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }
    sim::MeasurementBackend& measurement() {
        return *static_cast<sim::MeasurementBackend*>(
            backend_.service(sim::MeasurementBackend::kName));
    }
    // Waits until no request of the engine is in flight and its answer has
    // been handled.
    void waitIdle() {
        for (;;) {
            // A fired timer hands uploadData to the worker as a block of its own.
            onWorker([] {});
            bool pending = false;
            onWorker([&] { pending = engine_->isNetworkRequestPending(); });
            if (!pending) return;
            ASSERT_TRUE(sim::MainLoop::runUntil([&] { return !engine_->isNetworkRequestPending(); },
                                                std::chrono::seconds(20)));
        }
    }
    void applySettings(const Settings& settings) {
        sim::MeasurementBackend::Configuration configuration;
        configuration.settings = settings;
        const std::string bytes =
            sim::MeasurementBackend::encodeConfiguration(kAppID, configuration);
        auto message = APMPBMeasurementConfig::initWithBuffer(Data(bytes.begin(), bytes.end()));
        ASSERT_TRUE(message);
        bool stored = false;
        onWorker(
            [&] { stored = engine_->remoteConfigInstance()->updateMeasurementConfig(message); });
        ASSERT_TRUE(stored);
    }
    std::int64_t queue(const BundleSpec& spec) {
        std::int64_t rowID = 0;
        onWorker([&] {
            auto config = engine_->remoteConfigInstance();
            NSError error;
            ASSERT_TRUE(engine_->database()->insertBundle(
                *makeBundle(spec), spec.realtime, sim::wallClockSeconds(), config->maxQueueTime(),
                config->databaseDeleteStaleBundlesInterval(), &error));
            rowID = lastRowID();
        });
        return rowID;
    }
    std::int64_t lastRowID() {
        auto rows = engine_->database()->store().recordsForQuery(
            "SELECT MAX(rowid) AS id FROM queue", {}, nullptr);
        return rows && !rows->empty() ? (*rows)[0]["id"].asInt().value_or(0) : 0;
    }
    // Markers of the bundles still queued, oldest first.
    std::vector<std::int64_t> queuedMarkers() {
        std::vector<std::int64_t> markers;
        onWorker([&] {
            auto bundles = engine_->database()->queryBundles(1000, 100000000);
            ASSERT_TRUE(bundles);
            for (const auto& [bundle, rowID] : *bundles)
                markers.push_back(APMPBGetInt64(bundle.get(), 4));
        });
        return markers;
    }
    std::vector<std::vector<std::int64_t>> receivedBatches() {
        std::vector<std::vector<std::int64_t>> batches;
        for (const auto& upload : measurement().uploads()) {
            std::vector<std::int64_t> markers;
            for (const auto& bundle : upload.batch.bundles)
                markers.push_back(bundle.startTimestampMillis);
            batches.push_back(markers);
        }
        return batches;
    }
    void uploadNow() {
        onWorker([&] { engine_->uploadData(); });
        waitIdle();
    }
    double nextUploadingTime() {
        double next = 0;
        onWorker([&] { next = engine_->nextUploadingTime(); });
        return next;
    }
    std::optional<double> armedAt() {
        std::optional<double> at;
        onWorker([&] { at = engine_->alarm().scheduledTimestamp(); });
        return at;
    }
    // Moves virtual time on and lets what fell due run.
    void advance(double seconds) {
        sim::advanceClock(sim::seconds(seconds));
        waitIdle();
    }
    APMPersistedConfig& persisted() { return *engine_->persistedConfig(); }

    MeasurementTempHome home_;
    sim::Backend backend_;
    std::shared_ptr<APMMeasurement> engine_;
    std::shared_ptr<DOZIvedidi> network_;
};

}  // namespace

// ---- scheduling

TEST_F(UploadTest, NothingQueuedDisarmsTheTimer) {
    onWorker([&] { engine_->alarm().runAfterDelay(100, [] {}); });
    onWorker([&] { engine_->updateSchedule(); });
    EXPECT_FALSE(armedAt());
    EXPECT_EQ(linesWithCode(APMMeasurement::monitor().lines(), 23024).size(), 1u);
}

TEST_F(UploadTest, AnArmedTimerDueNoLaterThanTheNextUploadStays) {
    const double now = sim::wallClockSeconds();
    queue({.endSeconds = now});
    const struct {
        const char* label;
        double armedDelay;
        double expectedAt;
        long long expectedLog;
    } cases[] = {
        {"earlier timer kept", 5, now + 5, 23027},
        {"timer due at the same time kept", kInitialDelay, now + kInitialDelay, 23027},
        {"later timer replaced", 1000, now + kInitialDelay, 23028},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        APMMeasurement::monitor().clearLines();
        onWorker([&] {
            engine_->alarm().runAfterDelay(c.armedDelay, [] {});
            APMMeasurement::monitor().clearLines();
            engine_->updateSchedule();
        });
        const auto lines = APMMeasurement::monitor().lines();
        EXPECT_EQ(armedAt(), c.expectedAt);
        EXPECT_EQ(linesWithCode(lines, 23027).size(), c.expectedLog == 23027 ? 1u : 0u);
        EXPECT_EQ(linesWithCode(lines, 23028).size(), c.expectedLog == 23028 ? 1u : 0u);
    }
}

TEST_F(UploadTest, PastUploadTimesFireAtOnceAndAZeroDelayBecomesAMillisecond) {
    applySettings({});
    const struct {
        const char* label;
        double age;  // of the newest bundle, seconds
        double expectedDelay;
        bool firesAtOnce;
    } cases[] = {
        {"due in the future", 0, kInitialDelay, false},
        {"due exactly now", kInitialDelay, 0.001, true},
        {"overdue", 100, kInitialDelay - 100, true},
    };
    std::int64_t marker = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        onWorker([&] {
            engine_->database()->store().executeSQL("DELETE FROM queue");
            persisted().setLastSuccessfulUploadTimestamp(0);
        });
        measurement().reset();
        queue({.endSeconds = sim::wallClockSeconds() - c.age, .marker = ++marker});
        APMMeasurement::monitor().clearLines();
        onWorker([&] { engine_->updateSchedule(); });
        const auto scheduled = linesWithCode(APMMeasurement::monitor().lines(), 23028);
        ASSERT_EQ(scheduled.size(), 1u);
        ASSERT_EQ(scheduled[0].contexts.size(), 1u);
        EXPECT_NEAR(scheduled[0].contexts[0].asDouble().value_or(-1e9), c.expectedDelay, 1e-9);
        advance(1);
        EXPECT_EQ(measurement().uploads().size(), c.firesAtOnce ? 1u : 0u);
        onWorker([&] { engine_->alarm().cancel(); });
    }
}

TEST_F(UploadTest, FailedUploadsWalkTheRetryLadderThenStop) {
    constexpr double r = 60;
    applySettings(
        {{"measurement.upload.retry_count", "3"}, {"measurement.upload.retry_time", "60000"}});
    backend_.setDefault(sim::MeasurementBackend::kName, sim::MeasurementBackend::kUpload,
                        sim::BackendScript::withStatus(500));
    const double base = sim::wallClockSeconds();
    queue({.endSeconds = base});
    onWorker([&] { engine_->updateSchedule(); });

    const double expected[] = {base + kInitialDelay, base + kInitialDelay + r,
                               base + kInitialDelay + 3 * r, base + kInitialDelay + 7 * r};
    for (double at : expected) {
        ASSERT_EQ(armedAt(), at) << monitorText();
        advance(at - sim::wallClockSeconds());
    }
    std::vector<double> times;
    for (const auto& request : backend_.requests(sim::MeasurementBackend::kName))
        times.push_back(request.wallTime);
    EXPECT_EQ(times, std::vector<double>(std::begin(expected), std::end(expected)));
    EXPECT_FALSE(armedAt());
    EXPECT_EQ(nextUploadingTime(), 0);
    EXPECT_EQ(queuedMarkers(), std::vector<std::int64_t>{1});

    // New data moves the reference time and starts a fresh ladder.
    advance(1000);
    const double later = sim::wallClockSeconds();
    queue({.endSeconds = later, .marker = 2});
    EXPECT_EQ(nextUploadingTime(), later + kInitialDelay);
}

TEST_F(UploadTest, WithoutNetworkNothingIsArmedUntilReachabilityReturns) {
    applySettings({});
    const double now = sim::wallClockSeconds();
    queue({.endSeconds = now});
    sim::setReachabilityFlags(0);
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return !network_->isNetworkConnected(); },
                                        std::chrono::seconds(20)));
    onWorker([&] {
        engine_->alarm().runAfterDelay(5, [] {});
        engine_->updateSchedule();
    });
    EXPECT_FALSE(armedAt());
    EXPECT_EQ(linesWithCode(APMMeasurement::monitor().lines(), 23026).size(), 1u);

    sim::setReachabilityFlags(kSCNetworkReachabilityFlagsReachable);
    ASSERT_TRUE(sim::MainLoop::runUntil([&] { return network_->isNetworkConnected(); },
                                        std::chrono::seconds(20)));
    onWorker([] {});
    EXPECT_EQ(armedAt(), now + kInitialDelay);
}

TEST_F(UploadTest, RealtimeDataShortensTheIntervalAfterASuccess) {
    applySettings({});
    const double now = sim::wallClockSeconds();
    persisted().setLastSuccessfulUploadTimestamp(now - 5);
    queue({.endSeconds = now});
    EXPECT_EQ(nextUploadingTime(), now - 5 + engine_->remoteConfigInstance()->uploadingInterval());
    queue({.endSeconds = now, .marker = 2, .realtime = true});
    EXPECT_EQ(nextUploadingTime(),
              now - 5 + engine_->remoteConfigInstance()->uploadingRealTimeInterval());
}

// ---- the answer

TEST_F(UploadTest, OnlyAcceptedBatchesAreDeletedAndOnlyOverloadBacksOff) {
    applySettings({});
    const struct {
        int status;  // 0: the backend's own answer (200)
        bool deleted;
        bool backoff;
    } cases[] = {
        {0, true, false},   {204, true, false},  {500, false, false}, {503, false, true},
        {429, false, true}, {304, false, false}, {400, false, false},
    };
    std::int64_t marker = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        onWorker([&] {
            engine_->database()->store().executeSQL("DELETE FROM queue");
            persisted().setLastSuccessfulUploadTimestamp(0);
            persisted().setLastFailedUploadTimestamp(0);
            persisted().setLastBackoffTimestamp(0);
        });
        if (c.status != 0) {
            sim::BackendScript script = sim::BackendScript::withStatus(c.status);
            if (c.status == 204 || c.status == 304) script.body = "";
            backend_.enqueue(sim::MeasurementBackend::kName, sim::MeasurementBackend::kUpload,
                             script);
        }
        const std::int64_t rowID = queue({.marker = ++marker});
        uploadNow();
        const double now = sim::wallClockSeconds();
        EXPECT_EQ(queuedMarkers().empty(), c.deleted);
        EXPECT_EQ(persisted().lastSuccessfulUploadTimestamp(), c.deleted ? now : 0);
        EXPECT_EQ(persisted().lastFailedUploadTimestamp(), c.deleted ? 0 : now);
        EXPECT_EQ(persisted().lastBackoffTimestamp(), c.backoff ? now : 0);
        if (!c.deleted) {
            auto rows = engine_->database()->store().recordsForQuery(
                "SELECT retry_count FROM queue WHERE rowid = ?",
                Array{Value(static_cast<long long>(rowID))}, nullptr);
            ASSERT_TRUE(rows && rows->size() == 1);
            EXPECT_EQ((*rows)[0]["retry_count"].asInt().value_or(-1), 1);
        }
        bool listCleared = false;
        onWorker([&] { listCleared = !engine_->uploadingBundleIDs(); });
        EXPECT_TRUE(listCleared);
    }
}

TEST_F(UploadTest, BackoffDelaysTheNextUploadAfterOverload) {
    applySettings({});
    backend_.enqueue(sim::MeasurementBackend::kName, sim::MeasurementBackend::kUpload,
                     sim::BackendScript::withStatus(503));
    queue({});
    uploadNow();
    const double backoff = persisted().lastBackoffTimestamp();
    ASSERT_GT(backoff, 0);
    onWorker([&] { engine_->updateSchedule(); });
    EXPECT_EQ(armedAt(), backoff + engine_->remoteConfigInstance()->uploadingBackoffInterval());
}

// ---- the batch

TEST_F(UploadTest, TheBackendReceivesUploadTimeLibraryVersionAndValidChecksums) {
    for (const bool checksum : {false, true}) {
        SCOPED_TRACE(checksum);
        applySettings({{"measurement.quality.checksum", checksum ? "1" : "0"}});
        measurement().reset();
        advance(12.3456);
        queue({.marker = 1});
        queue({.marker = 2});
        uploadNow();
        const double now = sim::wallClockSeconds();

        const auto uploads = measurement().uploads();
        ASSERT_EQ(uploads.size(), 1u);
        EXPECT_TRUE(uploads[0].accepted) << uploads[0].reason;
        EXPECT_EQ(uploads[0].contentType, "application/x-www-form-urlencoded");
        ASSERT_EQ(uploads[0].batch.bundles.size(), 2u);
        for (const auto& bundle : uploads[0].batch.bundles) {
            EXPECT_EQ(bundle.appID, kAppID);
            EXPECT_EQ(bundle.uploadTimestampMillis, static_cast<std::int64_t>(now * 1000));
            EXPECT_EQ(bundle.uploadLibraryVersion, APMIdentity::redIdizezadoduLibraryVersion());
            EXPECT_EQ(bundle.checksum.has_value(), checksum);
            EXPECT_TRUE(bundle.checksumMatches);
        }
        EXPECT_TRUE(queuedMarkers().empty());
    }
}

TEST_F(UploadTest, AChangeOfAppIDSplitsTheQueueIntoSeparateBatches) {
    applySettings({});
    queue({.marker = 1});
    queue({.marker = 2});
    queue({.appID = kOtherAppID, .marker = 3});
    queue({.marker = 4});
    uploadNow();
    EXPECT_EQ(receivedBatches(), (std::vector<std::vector<std::int64_t>>{{1, 2}, {3}, {4}}));
    EXPECT_EQ(measurement().rejectedCount(), 0u);
    EXPECT_TRUE(queuedMarkers().empty());
}

TEST_F(UploadTest, AStaleUploadingListNeverDeletesBundlesThatWereNotSent) {
    applySettings({});
    queue({.marker = 1});
    queue({.marker = 2});
    const std::int64_t otherApp = queue({.appID = kOtherAppID, .marker = 3});
    bool listed = false;
    onWorker([&] { listed = engine_->setUploadInProgressWithBundleIDs({otherApp}); });
    ASSERT_TRUE(listed);
    uploadNow();
    EXPECT_EQ(receivedBatches(), (std::vector<std::vector<std::int64_t>>{{1, 2}, {3}}));
    EXPECT_EQ(linesWithCode(APMMeasurement::monitor().lines(), 23047).size(), 1u);
    EXPECT_TRUE(queuedMarkers().empty());
}

TEST_F(UploadTest, AQueueHeadWithoutAppIDIsNeverPostedAsAnEmptyBatch) {
    applySettings({});
    // A row no current version writes: the database refuses such bundles.
    onWorker([&] {
        auto bytes = makeBundle({.appID = std::nullopt, .marker = 9})->protoBuffer();
        ASSERT_TRUE(bytes);
        auto compressed = zvu_dataByGzippingData(*bytes);
        ASSERT_TRUE(compressed);
        ASSERT_TRUE(engine_->database()->store().upsertRecord(
            Dictionary{{"data", *compressed},
                       {"bundle_end_timestamp", sim::wallClockSeconds()},
                       {"is_realtime", 0},
                       {"retry_count", 0}},
            "queue"));
    });
    uploadNow();
    EXPECT_EQ(backend_.requestCount(sim::MeasurementBackend::kName), 0u);
    EXPECT_EQ(linesWithCode(APMMeasurement::monitor().lines(), 23046).size(), 1u);
    EXPECT_EQ(persisted().lastSuccessfulUploadTimestamp(), 0);
    EXPECT_EQ(persisted().lastFailedUploadTimestamp(), sim::wallClockSeconds());
    EXPECT_EQ(queuedMarkers(), std::vector<std::int64_t>{9});
    // The failed attempt puts the next look on the retry ladder, not at once.
    EXPECT_GT(armedAt().value_or(0), sim::wallClockSeconds());
}

TEST_F(UploadTest, AcceptedBundlesThatCannotBeDeletedSuspendUploadsForAnHour) {
    applySettings({});
    queue({.marker = 1});
    onWorker([&] {
        ASSERT_TRUE(engine_->database()->store().executeSQL(
            "CREATE TRIGGER keep BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'kept'); END"));
    });
    uploadNow();
    ASSERT_EQ(measurement().uploads().size(), 1u);
    EXPECT_EQ(linesWithCode(APMMeasurement::monitor().lines(), 23045).size(), 1u);
    EXPECT_GT(engine_->suspendedUploadTimestamp(), 0);
    EXPECT_EQ(queuedMarkers(), std::vector<std::int64_t>{1});
    EXPECT_FALSE(armedAt());
    onWorker([&] { engine_->database()->store().executeSQL("DROP TRIGGER keep"); });

    for (double step : {0.0, 3599.0}) {
        advance(step);
        APMMeasurement::monitor().clearLines();
        uploadNow();
        EXPECT_EQ(measurement().uploads().size(), 1u);
        EXPECT_EQ(linesWithCode(APMMeasurement::monitor().lines(), 23023).size(), 1u);
        EXPECT_FALSE(armedAt());
    }
    // The first call after the hour only lifts the suspension and re-arms.
    advance(1);
    uploadNow();
    EXPECT_EQ(measurement().uploads().size(), 1u);
    EXPECT_TRUE(armedAt());
    advance(1);
    EXPECT_EQ(measurement().uploads().size(), 2u);
    EXPECT_EQ(engine_->suspendedUploadTimestamp(), 0);
    EXPECT_TRUE(queuedMarkers().empty());
}

TEST_F(UploadTest, ResigningActiveUploadsAtOnce) {
    applySettings({});
    queue({.marker = 1});
    NSNotificationCenter::defaultCenter()->postNotificationName(
        "NSApplicationWillResignActiveNotification");
    // The operation runs on a global queue before the worker sees it.
    ASSERT_TRUE(sim::MainLoop::runUntil(
        [&] { return backend_.requestCount(sim::MeasurementBackend::kName) >= 1; },
        std::chrono::seconds(20)));
    waitIdle();
    EXPECT_EQ(receivedBatches(), (std::vector<std::vector<std::int64_t>>{{1}}));
}
