#include <gtest/gtest.h>

#include "platform/log/Log.h"
#include "services/remoteconfig/RCNConfigFetch.h"
#include "services/remoteconfig/tests/FakeAnalytics.h"
#include "services/remoteconfig/tests/RemoteConfigTestSupport.h"

namespace {

struct Outcome {
    DIROdadevOveredFetchStatus status = DIROdadevOveredFetchStatus::NoFetchYet;
    std::optional<NSError> error;
};

class ConfigFetchTest : public BackendFixture {
  protected:
    void SetUp() override {
        BackendFixture::SetUp();
        db_ =
            RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
        content_ = std::make_shared<RCNConfigContent>(db_);
        settings_ = std::make_shared<RCNConfigSettings>(db_, ns_, "__VUVEZU_DEFAULT", kRCAppID);
        settings_->setFetchTimeout(60);
        experiment_ = RCNConfigExperiment::create(
            db_, std::make_shared<RZRExperimentController>(nullptr), queue_);
        fetch_ = RCNConfigFetch::create(content_, settings_, analytics_, experiment_, queue_, ns_,
                                        remoteConfigTestOptions());
    }
    void TearDown() override {
        fetch_.reset();
        BackendFixture::TearDown();
    }
    // A second passes first, so a zero interval has always elapsed.
    Outcome fetch(double duration = 0) {
        sim::advanceClock(sim::seconds(1));
        std::optional<Outcome> outcome;
        fetch_->fetchConfigWithExpirationDuration(duration, [&](auto status, auto error) {
            outcome = Outcome{status, error};
        });
        EXPECT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
        return outcome.value_or(Outcome{});
    }
    std::string fetched(const std::string& key) {
        std::string text = "<none>";
        queue_->sync([&] {
            auto& space = content_->fetchedConfig()[ns_];
            if (space.count(key)) text = space[key]->stringValue().value_or("");
        });
        return text;
    }
    std::size_t fetchRequests() { return backend_.requests("remoteconfig").size(); }

    const std::string ns_ = "reruzera:__VUVEZU_DEFAULT";
    std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::create("test.remoteconfig.fetch");
    std::shared_ptr<FakeAnalytics> analytics_ = std::make_shared<FakeAnalytics>();
    std::shared_ptr<RCNConfigDBManager> db_;
    std::shared_ptr<RCNConfigContent> content_;
    std::shared_ptr<RCNConfigSettings> settings_;
    std::shared_ptr<RCNConfigExperiment> experiment_;
    std::shared_ptr<RCNConfigFetch> fetch_;
};

TEST_F(ConfigFetchTest, FetchSendsTheRequestAndKeepsTheAnswer) {
    service().setValue(kRCProject, "reruzera", "quote", "it's \"fine\"");
    service().setExperiments(
        kRCProject, "reruzera",
        R"([{"experimentId":"e","variantId":"1","experimentStartTimeMillis":5}])");
    analytics_->user = Dictionary{{"tier", "gold"}};
    auto outcome = fetch();
    ASSERT_EQ(outcome.status, DIROdadevOveredFetchStatus::Success)
        << (outcome.error ? outcome.error->localizedDescription() : "");
    EXPECT_EQ(fetched("quote"), "it's \"fine\"");
    queue_->sync([&] { EXPECT_EQ(experiment_->experimentPayloads().size(), 1u); });

    auto requests = backend_.requests("remoteconfig");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].status, 200);
    EXPECT_EQ(requests[0].request.query, std::string("key=") + kRCAPIKey);
    EXPECT_EQ(requests[0].request.header("X-Ios-Bundle-Identifier"),
              std::optional<std::string>("com.example.lumbrel"));
    auto fields = service().lastRequestFields();
    EXPECT_EQ(fields["app_id"], kRCAppID);
    EXPECT_EQ(fields["app_instance_id"], settings_->configInstallationsIdentifier().value_or("?"));
    EXPECT_EQ(fields["app_version"], "2.0");
    EXPECT_EQ(fields["analytics_user_properties"], "{\"tier\":\"gold\"}");
    EXPECT_EQ(settings_->lastETag(), service().etag(kRCProject, "reruzera"));

    // Within the interval nothing goes out; past it the ETag comes along.
    EXPECT_EQ(fetch(3600).status, DIROdadevOveredFetchStatus::Success);
    EXPECT_EQ(fetchRequests(), 1u);
    EXPECT_EQ(fetch(0).status, DIROdadevOveredFetchStatus::Success);
    ASSERT_EQ(fetchRequests(), 2u);
    EXPECT_EQ(backend_.requests("remoteconfig")[1].request.header("if-none-match"),
              settings_->lastETag());
    EXPECT_EQ(fetched("quote"), "it's \"fine\"");  // NO_CHANGE keeps the content
}

TEST_F(ConfigFetchTest, FailedAnswersAreFailures) {
    ASSERT_EQ(fetch().status, DIROdadevOveredFetchStatus::Success);  // NO_TEMPLATE
    struct Case {
        int status;
        const char* body;
        const char* description;
    };
    const Case cases[] = {
        {304, "", "Internal Error. Status code: 304"},
        {502, "{}", "Internal Error. Status code: 502"},
        {200, "[1, 2]", nullptr},
        {200, "not json", nullptr},
        {200, R"({"error": {"code": 7, "status": "DENIED", "message": "no"}})",
         "RCN Fetch Failure: Server returned error:code: 7. Status: DENIED. Message: no"},
    };
    for (const auto& c : cases) {
        sim::BackendScript script;
        script.status = c.status;
        script.body = c.body;
        backend_.enqueue("remoteconfig", "fetch", script);
        auto outcome = fetch();
        EXPECT_EQ(outcome.status, DIROdadevOveredFetchStatus::Failure) << c.status << " " << c.body;
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->code, 8003);
        if (c.description) {
            EXPECT_EQ(outcome.error->localizedDescription(), c.description);
        }
        EXPECT_EQ(settings_->exponentialBackoffRetryInterval(), 0) << "no backoff for " << c.status;
        EXPECT_FALSE(settings_->isFetchInProgress());
    }
}

TEST_F(ConfigFetchTest, RepeatedServiceFailuresThrottle) {
    ASSERT_EQ(fetch().status, DIROdadevOveredFetchStatus::Success);
    backend_.setDefault("remoteconfig", "fetch", sim::BackendScript::withStatus(503));
    auto first = fetch();
    EXPECT_EQ(first.status, DIROdadevOveredFetchStatus::Throttled);
    ASSERT_TRUE(first.error);
    EXPECT_EQ(first.error->code, 8002);
    EXPECT_GT(first.error->userInfo["error_throttled_end_time_seconds"].asDouble().value_or(0),
              sim::wallClockSeconds());
    const auto sent = fetchRequests();
    EXPECT_EQ(fetch().status, DIROdadevOveredFetchStatus::Throttled);
    EXPECT_EQ(fetchRequests(), sent);  // refused without a request
    sim::advanceClock(sim::seconds(180));
    EXPECT_EQ(fetch().status, DIROdadevOveredFetchStatus::Throttled);
    EXPECT_EQ(fetchRequests(), sent + 1);
    EXPECT_EQ(settings_->exponentialBackoffRetryInterval(), 240);
}

TEST_F(ConfigFetchTest, ASecondFetchWhileOneRunsIsADuplicate) {
    std::optional<Outcome> first, second;
    fetch_->fetchConfigWithExpirationDuration(0, [&](auto s, auto e) { first = Outcome{s, e}; });
    fetch_->fetchConfigWithExpirationDuration(0, [&](auto s, auto e) { second = Outcome{s, e}; });
    ASSERT_TRUE(pumpUntil([&] { return first && second; }));
    sim::advanceClock(sim::seconds(1));
    EXPECT_EQ(first->status, DIROdadevOveredFetchStatus::Success);
    EXPECT_EQ(second->status, DIROdadevOveredFetchStatus::Failure);
    EXPECT_EQ(second->error->code, -114);
    EXPECT_EQ(fetch().status, DIROdadevOveredFetchStatus::Success);
    EXPECT_EQ(fetchRequests(), 2u);
}

}  // namespace
