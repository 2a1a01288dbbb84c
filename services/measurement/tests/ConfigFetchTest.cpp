#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"
#include "platform/backend/MeasurementBackend.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NSURLSession.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMSqliteStore.h"
#include "services/measurement/tests/AudienceBuilders.h"
#include "services/measurement/tests/MeasurementTempHome.h"
#include "services/util/DOZIvedidi.h"

namespace {

constexpr const char* kOtherAppID = "1:456:ios:def";
constexpr const char* kRetryCount = "measurement.upload.retry_count";

bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines())
        if (line.messageCode == code) return true;
    return false;
}

// A retry count to tell configurations apart, and one audience.
sim::MeasurementBackend::Configuration retryCountConfiguration(const std::string& count,
                                                               int audienceID = 7) {
    sim::MeasurementBackend::Configuration configuration;
    configuration.settings = {{kRetryCount, count}};
    auto audience = audience_test::audience(
        audienceID, {audience_test::eventFilter(1, std::string("purchase"))});
    const auto bytes = audience->protoBuffer();
    configuration.audiences.push_back(std::string(bytes->begin(), bytes->end()));
    return configuration;
}

class ConfigFetchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::setServiceHostOverride(backend_.url());
        auto persisted = APMPersistedConfig::sharedInstance();
        persisted->setLastFailedUploadTimestamp(0);
        persisted->setLastBackoffTimestamp(0);
        persisted->setConfigServerLastModifiedString(std::nullopt);
        // The configuration must name the service app ID the process runs
        // with; another test may have given the shared identity one.
        const auto ruv = APMIdentity::sharedInstance()->appIDFromRUV();
        appID_ = ruv && !ruv->empty() ? *ruv : "1:123:ios:abc";
        engine_ = APMMeasurement::initWithAppID(appID_, true, false, std::nullopt);
        ASSERT_TRUE(engine_);
        onWorker([] {});
        ASSERT_TRUE(engine_->didInitializeComponents());
        auto network = std::dynamic_pointer_cast<DOZIvedidi>(engine_->network());
        ASSERT_TRUE(network);
        ASSERT_TRUE(sim::MainLoop::runUntil([&] { return network->isNetworkConnected(); },
                                            std::chrono::seconds(20)));
        // Nothing queued, so a fetch is never followed by an upload.
        onWorker([&] {
            auto& store = engine_->database()->store();
            store.executeSQL("DELETE FROM raw_events");
            store.executeSQL("DELETE FROM raw_events_metadata");
        });
        backend_.clearRequests();
    }
    void TearDown() override {
        if (engine_) waitIdle();
        engine_.reset();
        sim::clearServiceHostOverride();
        sim::useRealClock();
    }

    void onWorker(const std::function<void()>& block) {
        engine_->scheduler().dispatchSyncOnWorkerQueueBlockID("test", block);
    }
    void waitIdle() {
        for (;;) {
            bool pending = false;
            onWorker([&] { pending = engine_->isNetworkRequestPending(); });
            if (!pending) return;
            ASSERT_TRUE(sim::MainLoop::runUntil([&] { return !engine_->isNetworkRequestPending(); },
                                                std::chrono::seconds(20)));
        }
    }
    sim::MeasurementBackend& measurement() {
        return *static_cast<sim::MeasurementBackend*>(
            backend_.service(sim::MeasurementBackend::kName));
    }
    // One fetch, its answer handled; the request the backend saw.
    sim::MeasurementBackend::ConfigRequest fetch() {
        const std::size_t before = measurement().configRequests().size();
        APMMeasurement::monitor().clearLines();
        onWorker([&] { engine_->fetchRemoteConfig(); });
        waitIdle();
        const auto requests = measurement().configRequests();
        EXPECT_EQ(requests.size(), before + 1);
        return requests.empty() ? sim::MeasurementBackend::ConfigRequest{} : requests.back();
    }
    std::vector<std::int32_t> audienceIDs() {
        std::vector<std::int32_t> ids;
        onWorker([&] { ids = engine_->database()->allAudienceIDs().value_or(ids); });
        return ids;
    }
    int retryCount() {
        int count = 0;
        onWorker([&] { count = engine_->remoteConfigInstance()->uploadingRetryCount(); });
        return count;
    }
    double lastFetch() {
        double at = 0;
        onWorker([&] { at = engine_->remoteConfigInstance()->lastRemoteConfigUpdateTimestamp(); });
        return at;
    }
    std::optional<std::string> storedLastModified() {
        auto value = persisted().configServerLastModifiedString();
        return value ? value->asString() : std::nullopt;
    }
    void exec(const std::string& sql) {
        onWorker([&] { ASSERT_TRUE(engine_->database()->store().executeSQL(sql)); });
    }
    APMPersistedConfig& persisted() { return *engine_->persistedConfig(); }

    MeasurementTempHome home_;
    sim::Backend backend_;
    std::string appID_;
    std::shared_ptr<APMMeasurement> engine_;
};

TEST_F(ConfigFetchTest, AStoredConfigurationIsAskedForAgainOnlyIfModified) {
    const std::string stamp = "Mon, 01 Jan 2024 00:00:00 GMT";
    measurement().setConfiguration(appID_, retryCountConfiguration("3"), stamp);
    persisted().setLastFailedUploadTimestamp(5);
    persisted().setLastBackoffTimestamp(6);

    auto request = fetch();
    EXPECT_EQ(request.status, 200);
    EXPECT_FALSE(request.ifModifiedSince);
    EXPECT_EQ(request.query["platform"], "macos");
    EXPECT_FALSE(request.query["app_instance_id"].empty());
    EXPECT_EQ(retryCount(), 3);
    EXPECT_EQ(audienceIDs(), std::vector<std::int32_t>{7});
    bool audiencesInConfig = true;
    onWorker([&] {
        auto audiences =
            APMPBGetRepeatedField(engine_->remoteConfigInstance()->remoteConfigProto().get(), 5,
                                  APMPBAudience::classObject());
        audiencesInConfig = audiences && !audiences->empty();
    });
    EXPECT_FALSE(audiencesInConfig);
    EXPECT_EQ(lastFetch(), sim::wallClockSeconds());
    EXPECT_EQ(storedLastModified(), stamp);
    EXPECT_EQ(persisted().lastFailedUploadTimestamp(), 0);
    EXPECT_EQ(persisted().lastBackoffTimestamp(), 0);

    sim::advanceClock(sim::seconds(100));
    persisted().setLastFailedUploadTimestamp(5);
    persisted().setLastBackoffTimestamp(6);
    request = fetch();
    EXPECT_EQ(request.ifModifiedSince, stamp);
    EXPECT_EQ(request.status, 304);
    EXPECT_TRUE(logged(23131));
    EXPECT_EQ(retryCount(), 3);
    EXPECT_EQ(lastFetch(), sim::wallClockSeconds());
    EXPECT_EQ(persisted().lastFailedUploadTimestamp(), 0);
    EXPECT_EQ(persisted().lastBackoffTimestamp(), 0);

    // An answer without "Last-Modified" leaves nothing to send back.
    sim::BackendScript bare = sim::BackendScript::withStatus(304);
    bare.body = "";
    backend_.enqueue(sim::MeasurementBackend::kName, sim::MeasurementBackend::kConfig, bare);
    onWorker([&] { engine_->fetchRemoteConfig(); });
    waitIdle();
    EXPECT_FALSE(storedLastModified());
    request = fetch();
    EXPECT_FALSE(request.ifModifiedSince);
    EXPECT_EQ(request.status, 200);
}

TEST_F(ConfigFetchTest, NotFoundKeepsTheDefaultsAndCountsAsFetched) {
    persisted().setLastFailedUploadTimestamp(5);
    persisted().setLastBackoffTimestamp(6);
    EXPECT_EQ(fetch().status, 404);
    EXPECT_TRUE(logged(23130));
    EXPECT_EQ(lastFetch(), sim::wallClockSeconds());
    bool expired = true;
    onWorker([&] { expired = engine_->remoteConfigInstance()->isExpired(); });
    EXPECT_FALSE(expired);
    EXPECT_EQ(retryCount(), 6);
    EXPECT_EQ(persisted().lastFailedUploadTimestamp(), 0);
    EXPECT_EQ(persisted().lastBackoffTimestamp(), 0);
    EXPECT_EQ(engine_->suspendedUploadTimestamp(), 0);
}

TEST_F(ConfigFetchTest, ARefusedConfigurationChangesNothingAndIsAskedForAgain) {
    using Exec = std::function<void(const std::string& sql)>;
    const struct {
        const char* label;
        std::function<void(sim::MeasurementBackend&, const Exec&, const std::string& appID,
                           const std::string& stamp)>
            serve;
        long long expectedLog;
    } cases[] = {
        {"undecodable body",
         [](sim::MeasurementBackend& backend, const Exec&, const std::string& appID,
            const std::string& stamp) {
             backend.setConfigurationBody(appID, "\xff\xff\xff\xff", stamp);
         },
         23135},
        {"made for another app",
         [](sim::MeasurementBackend& backend, const Exec&, const std::string& appID,
            const std::string& stamp) {
             auto configuration = retryCountConfiguration("5", 9);
             configuration.appID = kOtherAppID;
             backend.setConfiguration(appID, configuration, stamp);
         },
         23136},
        {"cannot be saved",
         [](sim::MeasurementBackend& backend, const Exec& exec, const std::string& appID,
            const std::string& stamp) {
             backend.setConfiguration(appID, retryCountConfiguration("5", 9), stamp);
             exec(
                 "CREATE TRIGGER refuse_insert BEFORE INSERT ON app_metadata BEGIN "
                 "SELECT RAISE(ABORT, 'full'); END");
             exec(
                 "CREATE TRIGGER refuse_update BEFORE UPDATE ON app_metadata BEGIN "
                 "SELECT RAISE(ABORT, 'full'); END");
         },
         23134},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string good = "good " + std::to_string(++round);
        measurement().setConfiguration(appID_, retryCountConfiguration("3"), good);
        ASSERT_EQ(fetch().status, 200);
        ASSERT_EQ(retryCount(), 3);
        const double fetchedAt = lastFetch();

        sim::advanceClock(sim::seconds(100));
        c.serve(
            measurement(), [this](const std::string& sql) { exec(sql); }, appID_,
            "bad " + std::to_string(round));
        EXPECT_EQ(fetch().status, 200);
        EXPECT_TRUE(logged(c.expectedLog));
        EXPECT_EQ(retryCount(), 3);
        EXPECT_EQ(audienceIDs(), std::vector<std::int32_t>{7});
        EXPECT_EQ(lastFetch(), fetchedAt);
        EXPECT_EQ(storedLastModified(), good);
        EXPECT_EQ(persisted().lastFailedUploadTimestamp(), sim::wallClockSeconds());
        EXPECT_EQ(persisted().lastBackoffTimestamp(), 0);
        EXPECT_EQ(engine_->suspendedUploadTimestamp(), 0);
        onWorker([&] {
            auto& store = engine_->database()->store();
            store.executeSQL("DROP TRIGGER IF EXISTS refuse_insert");
            store.executeSQL("DROP TRIGGER IF EXISTS refuse_update");
        });

        // Still described by the configuration in force, so the server
        // sends the body again rather than "not modified".
        EXPECT_EQ(fetch().ifModifiedSince, good);
    }
}

TEST_F(ConfigFetchTest, ServerErrorsRecordTheFailureAndOnlyOverloadBacksOff) {
    const struct {
        int status;
        bool backoff;
    } cases[] = {{500, false}, {503, true}, {429, true}, {400, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        persisted().setLastFailedUploadTimestamp(0);
        persisted().setLastBackoffTimestamp(0);
        persisted().setConfigServerLastModifiedString(Value("kept"));
        measurement().setConfigurationError(appID_, c.status);
        EXPECT_EQ(fetch().status, c.status);
        EXPECT_TRUE(logged(23128));
        EXPECT_EQ(persisted().lastFailedUploadTimestamp(), sim::wallClockSeconds());
        EXPECT_EQ(persisted().lastBackoffTimestamp(), c.backoff ? sim::wallClockSeconds() : 0);
        EXPECT_EQ(lastFetch(), 0);
        EXPECT_EQ(storedLastModified(), "kept");
        sim::advanceClock(sim::seconds(10));
    }
}

}  // namespace
