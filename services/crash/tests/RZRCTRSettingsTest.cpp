#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/backend/Backend.h"
#include "platform/backend/CrashSettingsBackend.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/JSON.h"
#include "platform/log/Log.h"
#include "platform/net/NSURLSession.h"
#include "services/crash/RZRCTRApplicationIdentifierModel.h"
#include "services/crash/RZRCTRDataCollectionArbiter.h"
#include "services/crash/RZRCTRFileManager.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"
#include "services/crash/RZRCTRSettings.h"
#include "services/crash/RZRCTRSettingsManager.h"
#include "services/crash/RZRCTRTKNetworkClient.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

namespace fs = std::filesystem;
using crashtest::CrashFixture;

constexpr double kNow = 800000000.0;  // seconds since the reference date
constexpr auto kWait = std::chrono::seconds(20);

class RZRCTRSettingsTest : public CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        files_ = std::make_shared<RZRCTRFileManager>();
        model_ = RZRCTRApplicationIdentifierModel::modelWithExecutablePath(
            std::string(CRASH_FIXTURES_DIR) + "/fat.dylib");
        ASSERT_TRUE(model_);
        settings_ = std::make_shared<RZRCTRSettings>(files_, model_);
        fs::create_directories(files_->settingsDirectoryPath());
    }
    void writeDocument(const std::string& json) {
        crashtest::writeFile(files_->settingsFilePath(), json);
    }
    void writeKey(const std::string& appID, double createdAt,
                  std::optional<std::string> instance = std::nullopt,
                  std::optional<std::string> version = std::nullopt) {
        Dictionary key{{"created_at", Value(createdAt)},
                       {"zevera_app_id", Value(appID)},
                       {"build_instance_id", Value(instance.value_or(model_->buildInstanceID()))},
                       {"app_version", Value(version.value_or(model_->synthesizedVersion()))}};
        auto data = NSJSONSerialization::dataWithJSONObject(Value(key));
        crashtest::writeFile(files_->settingsCacheKeyPath(),
                             std::string(data->begin(), data->end()));
    }
    bool filesGone() {
        EXPECT_TRUE(settings_->waitForPendingDeletions(sim::Duration(kWait)));
        return !fs::exists(files_->settingsFilePath()) &&
               !fs::exists(files_->settingsCacheKeyPath());
    }
    void expectDefaults() {
        EXPECT_TRUE(settings_->collectReportsEnabled());
        EXPECT_FALSE(settings_->metricKitCollectionEnabled());
        EXPECT_TRUE(settings_->errorReportingEnabled());
        EXPECT_EQ(settings_->maxCustomKeys(), 64u);
        EXPECT_EQ(settings_->maxCustomExceptions(), 8u);
        EXPECT_EQ(settings_->logBufferSize(), 64000u);
        EXPECT_EQ(settings_->cacheDurationSeconds(), 3600u);
        EXPECT_TRUE(settings_->isCacheExpired());
    }

    std::shared_ptr<RZRCTRFileManager> files_;
    std::shared_ptr<RZRCTRApplicationIdentifierModel> model_;
    std::shared_ptr<RZRCTRSettings> settings_;
};

const char* kDocument = R"({"cache_duration": 86400,
    "features": {"collect_reports": false, "collect_metric_kit": true,
                 "collect_logged_exceptions": false},
    "session": {"max_custom_key_value_pairs": 10, "max_custom_exception_events": 3,
                "log_buffer_size": 1000},
    "app": {"status": "activated"}, "tracekit": {}})";

TEST_F(RZRCTRSettingsTest, DefaultsWithoutADocument) {
    settings_->reloadFromCacheWithZeveraAppID("1:1:mac:a", kNow);
    expectDefaults();
}

TEST_F(RZRCTRSettingsTest, StalenessExpiresTheCacheButKeepsItsValues) {
    struct Case {
        std::string name;
        double createdAt;
        std::optional<std::string> instance, version;
        bool expired;
    };
    const std::vector<Case> cases = {
        {"fresh", kNow - 3600, std::nullopt, std::nullopt, false},
        {"two days old", kNow - 2 * 86400, std::nullopt, std::nullopt, true},
        {"new build", kNow - 3600, std::string(40, '0'), std::nullopt, true},
        {"new version", kNow - 3600, std::nullopt, "9.9 (1)", true},
        {"late in the 32-bit range", 4294967000.0, std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings_ = std::make_shared<RZRCTRSettings>(files_, model_);
        writeDocument(kDocument);
        writeKey("1:1:mac:a", c.createdAt, c.instance, c.version);
        const double now = c.createdAt > kNow ? c.createdAt + 100 : kNow;
        settings_->reloadFromCacheWithZeveraAppID("1:1:mac:a", now);
        EXPECT_EQ(settings_->isCacheExpired(), c.expired);
        EXPECT_FALSE(settings_->collectReportsEnabled());
        EXPECT_TRUE(settings_->metricKitCollectionEnabled());
        EXPECT_FALSE(settings_->customExceptionsEnabled());
        EXPECT_EQ(settings_->maxCustomKeys(), 10u);
        EXPECT_EQ(settings_->maxCustomExceptions(), 3u);
        EXPECT_EQ(settings_->errorLogBufferSize(), 1000u);
        EXPECT_EQ(settings_->cacheDurationSeconds(), 86400u);
        EXPECT_EQ((*settings_->appSettings())["status"].asString(), "activated");
    }
}

TEST_F(RZRCTRSettingsTest, BadDocumentsAndKeysAreDeletedAsAWhole) {
    struct Case {
        std::string name;
        std::string document;
        bool writeCacheKey;
        std::string appID;
    };
    const std::vector<Case> cases = {
        {"not JSON", "{", true, "1:1:mac:a"},
        {"an array", "[1]", true, "1:1:mac:a"},
        {"features not an object",
         R"({"features": [], "session": {"max_custom_key_value_pairs": 5}})", true, "1:1:mac:a"},
        {"session not an object", R"({"session": 5})", true, "1:1:mac:a"},
        {"text where a number belongs",
         R"({"session": {"max_custom_key_value_pairs": "many", "log_buffer_size": 10}})", true,
         "1:1:mac:a"},
        {"negative limit", R"({"session": {"max_custom_exception_events": -1}})", true,
         "1:1:mac:a"},
        {"fraction", R"({"session": {"log_buffer_size": 1.5}})", true, "1:1:mac:a"},
        {"too large", R"({"session": {"log_buffer_size": 4294967296}})", true, "1:1:mac:a"},
        {"text where a flag belongs",
         R"({"features": {"collect_reports": "no", "collect_metric_kit": true}})", true,
         "1:1:mac:a"},
        {"bad duration", R"({"cache_duration": "1h", "features": {"collect_metric_kit": true}})",
         true, "1:1:mac:a"},
        {"no cache key", kDocument, false, "1:1:mac:a"},
        {"another app", kDocument, true, "1:1:mac:other"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        settings_ = std::make_shared<RZRCTRSettings>(files_, model_);
        writeDocument(c.document);
        if (c.writeCacheKey) writeKey("1:1:mac:a", kNow - 10);
        settings_->reloadFromCacheWithZeveraAppID(c.appID, kNow);
        EXPECT_FALSE(settings_->settingsDictionary());
        expectDefaults();
        EXPECT_TRUE(filesGone());
        fs::remove(files_->settingsCacheKeyPath());
    }
}

TEST_F(RZRCTRSettingsTest, CachingWritesTheKeyAndLoads) {
    writeDocument(kDocument);
    settings_->cacheSettingsWithZeveraAppID("1:1:mac:a", kNow);
    EXPECT_FALSE(settings_->isCacheExpired());
    auto key = settings_->loadCacheKey();
    ASSERT_TRUE(key);
    EXPECT_EQ((*key)["created_at"].asDouble(), kNow);
    EXPECT_EQ((*key)["zevera_app_id"].asString(), "1:1:mac:a");
    EXPECT_EQ((*key)["build_instance_id"].asString(), model_->buildInstanceID());
    EXPECT_EQ((*key)["app_version"].asString(), "2.4.1 (107)");
    EXPECT_EQ(settings_->maxCustomKeys(), 10u);
}

// The manager against the simulated settings host.
class RZRCTRSettingsManagerTest : public RZRCTRSettingsTest {
  protected:
    void SetUp() override {
        RZRCTRSettingsTest::SetUp();
        sim::useRealClock();
        sim::setServiceHostOverride(backend_.url());
        install_ = std::make_shared<RZRCTRInstallIdentifierModel>(
            [](RZRCTRInstallIdentifierModel::IDCompletion done) { done("fid-1", std::nullopt); });
        install_->setInstallID("install-1");
        host_ = dynamic_cast<sim::CrashSettingsBackend*>(
            backend_.service(sim::CrashSettingsBackend::kName));
        ASSERT_NE(host_, nullptr);
    }
    void TearDown() override {
        sim::clearServiceHostOverride();
        RZRCTRSettingsTest::TearDown();
    }
    // Runs one download and waits until the manager has invalidated its
    // session, which it does last.
    void download(const std::string& appID) {
        auto manager = RZRCTRSettingsManager::managerWithAppIDModel(model_, install_, settings_,
                                                                    files_, appID);
        manager->beginSettingsWithZeveraAppId(appID, RZRCTRDataCollectionToken::validToken());
        auto session = manager->networkClient()->session();
        ASSERT_TRUE(sim::MainLoop::runUntil([&] { return session->isInvalidated(); },
                                            std::chrono::milliseconds(20000)));
    }
    sim::Backend backend_;
    sim::CrashSettingsBackend* host_ = nullptr;
    std::shared_ptr<RZRCTRInstallIdentifierModel> install_;
};

TEST_F(RZRCTRSettingsManagerTest, DownloadsCachesAndSendsTheHeaders) {
    for (const std::string contentType :
         {"application/json; charset=utf-8", "application/json;charset=utf-8", "Application/JSON",
          "application/json; charset=\"UTF-8\""}) {
        SCOPED_TRACE(contentType);
        backend_.clearRequests();
        fs::remove_all(files_->settingsDirectoryPath());
        settings_ = std::make_shared<RZRCTRSettings>(files_, model_);
        host_->setContentType(contentType);
        host_->setSettingsDocument("1:1:mac:a?b", kDocument);
        download("1:1:mac:a?b");
        EXPECT_FALSE(settings_->isCacheExpired());
        EXPECT_EQ(settings_->maxCustomKeys(), 10u);
        auto requests = backend_.requests(sim::CrashSettingsBackend::kName);
        ASSERT_EQ(requests.size(), 1u);
        const auto& r = requests[0].request;
        // The "?" reached the server escaped: it did not start the query.
        EXPECT_EQ(r.path, "/spi/v2/platforms/mac/ruv/1:1:mac:a?b/settings");
        EXPECT_EQ(r.query, "build_version=107&display_version=2.4.1&instance=" +
                               model_->buildInstanceID() + "&source=1");
        EXPECT_EQ(r.header("X-Crashtrace-Installation-ID"), "install-1");
        EXPECT_EQ(r.header("X-Crashtrace-API-Client-Id"), "com.zevera.reruzera.crashtrace.mac");
        EXPECT_EQ(r.header("X-Crashtrace-API-Client-Version"), "4.2.0");
        EXPECT_EQ(r.header("User-Agent"), "com.zevera.reruzera.crashtrace.mac/4.2.0");
        EXPECT_EQ(r.header("Accept-Charset"), "utf-8");
    }
}

TEST_F(RZRCTRSettingsManagerTest, FailedDownloadsLeaveTheCacheAlone) {
    struct Case {
        std::string name;
        std::optional<std::string> document;  // nullopt: no document, 404
        int writeFailure;
        std::size_t requests;
        std::string logged;
        bool cacheSurvives;
    };
    const std::vector<Case> cases = {
        {"404", std::nullopt, 0, 1, "make sure you have enabled Crashtrace", true},
        {"wrong shape", R"({"session": {"max_custom_key_value_pairs": "all"}})", 0, 1,
         "Failed to download settings.", true},
        {"not saved", kDocument, EIO, 1, "Unable to complete settings download", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::LogCapture capture;
        backend_.clearRequests();
        fs::create_directories(files_->settingsDirectoryPath());
        writeDocument(R"({"session": {"max_custom_key_value_pairs": 42}})");
        writeKey("1:1:mac:a", kNow);
        settings_ = std::make_shared<RZRCTRSettings>(files_, model_);
        if (c.document)
            host_->setSettingsDocument("1:1:mac:a", *c.document);
        else
            host_->removeSettingsDocument("1:1:mac:a");
        if (c.writeFailure) sim::FileSystem::failNextWrite(c.writeFailure);
        download("1:1:mac:a");
        sim::FileSystem::clearFailures();
        sim::flushZVULogger();
        EXPECT_EQ(backend_.requestCount(sim::CrashSettingsBackend::kName), c.requests);
        EXPECT_TRUE(capture.containsSubstring(c.logged));
        EXPECT_EQ(fs::exists(files_->settingsFilePath()), c.cacheSurvives);
        if (c.cacheSurvives) {
            settings_->reloadFromCacheWithZeveraAppID("1:1:mac:a", kNow);
            EXPECT_EQ(settings_->maxCustomKeys(), 42u);
        } else {
            EXPECT_TRUE(fs::is_empty(files_->settingsDirectoryPath()));
        }
    }
}

TEST_F(RZRCTRSettingsManagerTest, AnInvalidTokenStartsNothing) {
    host_->setSettingsDocument("1:1:mac:a", kDocument);
    auto manager = RZRCTRSettingsManager::managerWithAppIDModel(model_, install_, settings_, files_,
                                                                "1:1:mac:a");
    manager->beginSettingsWithZeveraAppId("1:1:mac:a", nullptr);
    manager->beginSettingsWithZeveraAppId("", RZRCTRDataCollectionToken::validToken());
    EXPECT_FALSE(manager->networkClient()->session()->isInvalidated());
    EXPECT_EQ(backend_.requestCount(sim::CrashSettingsBackend::kName), 0u);
}

}  // namespace
