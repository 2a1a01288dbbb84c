#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/log/Log.h"
#include "services/remoteconfig/RCNConfigContent.h"
#include "services/remoteconfig/tests/LogLines.h"
#include "services/util/ZVUSQLite.h"
#include "services/util/tests/TempHome.h"

namespace {

std::string text(RCNNamespaceValues& content, const std::string& ns, const std::string& key) {
    auto space = content.find(ns);
    if (space == content.end()) return "<no namespace>";
    auto it = space->second.find(key);
    return it == space->second.end() ? "<none>" : it->second->stringValue().value_or("<bytes>");
}

class ConfigContentTest : public ::testing::Test {
  protected:
    std::shared_ptr<RCNConfigContent> reopen() {
        db_->waitForQueue();
        return std::make_shared<RCNConfigContent>(db_);
    }
    TempHome home_;
    std::shared_ptr<RCNConfigDBManager> db_ =
        RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
    std::shared_ptr<RCNConfigContent> content_ = std::make_shared<RCNConfigContent>(db_);
    const std::string ns_ = "reruzera:app";
};

TEST_F(ConfigContentTest, AKeyGivenTwiceIsStoredOnceWithItsLaterValue) {
    const std::string body = R"({"state": "UPDATE", "entries": {"a": "1", "b": "2", "a": "3"}})";
    auto answer = RCNFetchAnswer::parse(Data(body.begin(), body.end()), nullptr);
    ASSERT_TRUE(answer);
    content_->updateConfigContentWithResponse(std::move(*answer), ns_);
    content_->copyFromDictionary(&content_->fetchedConfig(), RCNDBSource::Active, ns_);
    db_->waitForQueue();
    ZVUSQLiteDatabase file;
    ASSERT_TRUE(file.open(db_->path()));
    for (const char* table : {"main", "main_active"}) {
        EXPECT_EQ(file.queryInt64(std::string("SELECT count(*) FROM ") + table), 2) << table;
        EXPECT_EQ(file.queryInt64(std::string("SELECT count(*) FROM ") + table +
                                  " WHERE key = 'a' AND value = CAST('3' AS BLOB)"),
                  1)
            << table;
    }
    auto again = reopen();
    for (auto* content : {content_.get(), again.get()}) {
        EXPECT_EQ(text(content->fetchedConfig(), ns_, "a"), "3");
        EXPECT_EQ(text(content->activeConfig(), ns_, "a"), "3");
        EXPECT_EQ(text(content->activeConfig(), ns_, "b"), "2");
    }
}

TEST_F(ConfigContentTest, DefaultsKeepTheKindsThatHaveBytesAndReplaceAsAWhole) {
    content_->copyFromDictionary(Dictionary{{ns_, Dictionary{{"text", "hi"},
                                                             {"number", 2.5},
                                                             {"flag", true},
                                                             {"data", Data{0x41}},
                                                             {"list", Array{1}},
                                                             {"gone", "soon"}}}},
                                 RCNDBSource::Default, ns_);
    content_->copyFromDictionary(Dictionary{{ns_, Dictionary{{"text", "hi"},
                                                             {"number", 2.5},
                                                             {"flag", true},
                                                             {"data", Data{0x41}},
                                                             {"list", Array{1}}}}},
                                 RCNDBSource::Default, ns_);
    auto reopened = reopen();
    for (auto* content : {content_.get(), reopened.get()}) {
        auto& defaults = content->defaultConfig();
        EXPECT_EQ(defaults[ns_].size(), 4u);
        EXPECT_EQ(text(defaults, ns_, "number"), "2.5");
        EXPECT_EQ(text(defaults, ns_, "flag"), "1");
        EXPECT_EQ(text(defaults, ns_, "data"), "A");
        EXPECT_EQ(text(defaults, ns_, "gone"), "<none>");
        EXPECT_EQ(defaults[ns_]["text"]->source(), DIROdadevOveredSource::Default);
    }
    sim::LogCapture capture;
    content_->copyFromDictionary(std::optional<Dictionary>(), RCNDBSource::Default, ns_);
    content_->copyFromDictionary(Dictionary{}, RCNDBSource::Fetched, ns_);
    EXPECT_TRUE(loggedCount(capture, "[I-RCN000007]"));
    EXPECT_TRUE(loggedCount(capture, "[I-RCN000008]"));
    EXPECT_EQ(content_->defaultConfig()[ns_].size(), 4u);
}

TEST_F(ConfigContentTest, ResponseStatesThenActivation) {
    content_->updateConfigContentWithResponse(Dictionary{{"state", "NO_CHANGE"}}, ns_);
    ASSERT_TRUE(content_->fetchedConfig().count(ns_));
    EXPECT_TRUE(content_->fetchedConfig()[ns_].empty());

    content_->updateConfigContentWithResponse(
        Dictionary{{"state", "UPDATE"},
                   {"entries", Dictionary{{"a", "1"}, {"b", "two"}}},
                   {"personalizationMetadata", Dictionary{{"p", "x"}}}},
        ns_);
    content_->updateConfigContentWithResponse(
        Dictionary{{"state", "UPDATE"}, {"entries", Dictionary{{"a", "3"}}}}, ns_);
    EXPECT_EQ(content_->fetchedPersonalization(), (Dictionary{{"p", "x"}}));
    EXPECT_EQ(text(content_->fetchedConfig(), ns_, "b"), "<none>");

    content_->copyFromDictionary(&content_->fetchedConfig(), RCNDBSource::Active, ns_);
    content_->activatePersonalization();
    {
        auto again = reopen();
        EXPECT_EQ(text(again->fetchedConfig(), ns_, "a"), "3");
        EXPECT_EQ(text(again->activeConfig(), ns_, "a"), "3");
        EXPECT_EQ(again->activeConfig()[ns_]["a"]->source(), DIROdadevOveredSource::Remote);
        EXPECT_EQ(again->activePersonalization(), (Dictionary{{"p", "x"}}));
        EXPECT_EQ(again->getConfigAndMetadataForNamespace(ns_)["entries"],
                  Value(Dictionary{{"a", "3"}}));
    }

    struct Case {
        const char* state;
        bool namespaceRemains;
    };
    for (const Case& c : {Case{"EMPTY_CONFIG", true}, Case{"NO_TEMPLATE", false}}) {
        content_->updateConfigContentWithResponse(
            Dictionary{{"state", "UPDATE"}, {"entries", Dictionary{{"a", "3"}}}}, ns_);
        content_->updateConfigContentWithResponse(Dictionary{{"state", c.state}}, ns_);
        EXPECT_EQ(content_->fetchedConfig().count(ns_) == 1, c.namespaceRemains) << c.state;
        EXPECT_EQ(text(reopen()->fetchedConfig(), ns_, "a"), "<no namespace>") << c.state;
    }
    // Activating after NO_TEMPLATE empties the active content, kept so too.
    content_->copyFromDictionary(&content_->fetchedConfig(), RCNDBSource::Active, ns_);
    EXPECT_TRUE(content_->activeConfig()[ns_].empty());
    EXPECT_EQ(text(reopen()->activeConfig(), ns_, "a"), "<no namespace>");

    sim::LogCapture capture;
    content_->updateConfigContentWithResponse(Dictionary{}, ns_);
    EXPECT_TRUE(loggedCount(capture, "[I-RCN000049] State field in fetch response is nil."));
}

// The database queue stays busy until release() (a load that takes long).
class HeldQueue {
  public:
    explicit HeldQueue(RCNConfigDBManager& db) {
        db.enqueueForTesting([gate = gate_.get_future().share()] { gate.wait(); });
    }
    ~HeldQueue() { release(); }
    void release() {
        if (!released_.exchange(true)) gate_.set_value();
    }

  private:
    std::promise<void> gate_;
    std::atomic<bool> released_{false};
};

TEST_F(ConfigContentTest, ReadersWaitAtMostThirtySecondsForTheFirstLoadAndTheNextWaitsAgain) {
    sim::useVirtualClock();
    content_->copyFromDictionary(Dictionary{{ns_, Dictionary{{"key", "stored"}}}},
                                 RCNDBSource::Default, ns_);
    db_->waitForQueue();
    HeldQueue hold(*db_);
    auto held = std::make_shared<RCNConfigContent>(db_);

    sim::LogCapture capture;
    std::atomic<bool> waiting{false};
    std::atomic<sim::Time> started{};
    auto reader = std::async(std::launch::async, [&] {
        started = sim::Clock::now();
        waiting = true;
        const bool loaded = held->initializationSuccessful();
        return std::make_pair(loaded, sim::Clock::now() - started.load());
    });
    // Once the reader waits, time moves on until it gives up; a reader still
    // waiting a day later is let through, and the test fails on its answer.
    while (reader.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        std::this_thread::yield();
        if (!waiting) continue;
        if (sim::Clock::now() - started.load() > std::chrono::hours(24)) hold.release();
        sim::advanceClock(std::chrono::seconds(1));
    }
    auto [loaded, waited] = reader.get();
    EXPECT_FALSE(loaded);
    EXPECT_GE(waited, std::chrono::seconds(30));
    EXPECT_TRUE(loggedCount(
        capture, "[I-RCN000048] Timed out waiting for fetched config to be loaded from DB"));

    hold.release();
    EXPECT_TRUE(held->initializationSuccessful());
    EXPECT_EQ(text(held->defaultConfig(), ns_, "key"), "stored");
    sim::useRealClock();
}

}  // namespace
