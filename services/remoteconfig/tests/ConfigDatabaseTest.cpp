#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

#include "platform/bundle/Home.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/log/Log.h"
#include "services/remoteconfig/RCNConfigDBManager.h"
#include "services/remoteconfig/tests/LogLines.h"
#include "services/util/ZVUSQLite.h"
#include "services/util/tests/TempHome.h"

namespace {

Data bytes(const std::string& text) {
    return Data(text.begin(), text.end());
}
std::string text(const std::shared_ptr<DIROdadevOveredValue>& value) {
    return value ? value->stringValue().value_or("<bytes>") : "<none>";
}

struct Loaded {
    RCNNamespaceValues fetched, active, defaults;
};

class ConfigDatabaseTest : public ::testing::Test {
  protected:
    std::string path() const {
        return (home_.path() /
                "Library/Application Support/Zevera/RemoteConfig/RemoteConfig.sqlite3")
            .string();
    }
    std::shared_ptr<RCNConfigDBManager> open() {
        auto manager =
            RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
        manager->waitForQueue();
        return manager;
    }
    static Loaded loadMain(RCNConfigDBManager& db, const std::string& bundle) {
        std::promise<Loaded> done;
        db.loadMainWithBundleIdentifier(
            bundle, [&](bool, RCNNamespaceValues f, RCNNamespaceValues a, RCNNamespaceValues d) {
                done.set_value({std::move(f), std::move(a), std::move(d)});
            });
        return done.get_future().get();
    }
    static std::int64_t count(const std::string& path, const std::string& sql) {
        ZVUSQLiteDatabase raw;
        EXPECT_TRUE(raw.open(path));
        return raw.queryInt64(sql).value_or(-1);
    }

    TempHome home_;
};

TEST_F(ConfigDatabaseTest, FirstLaunchCreatesTheFileAndRemovesTheOldLayout) {
    EXPECT_EQ(RCNConfigDBManager::remoteConfigPathForDatabase(), path());
    std::filesystem::create_directories(home_.path() / "Documents");
    std::ofstream(home_.path() / "Documents/RemoteConfig.sqlite3") << "old";
    VerboseServiceLog verbose;
    sim::LogCapture capture;
    auto first = open();
    EXPECT_TRUE(first->isNewDatabase());
    EXPECT_FALSE(std::filesystem::exists(home_.path() / "Documents/RemoteConfig.sqlite3"));
    EXPECT_TRUE(loggedCount(
        capture, "[I-RCN000009] Old database V0 exists, removed it and replace with the new one."));
    EXPECT_EQ(count(path(), "SELECT count(*) FROM sqlite_master WHERE type = 'table'"), 7);
    first.reset();
    EXPECT_FALSE(open()->isNewDatabase());
}

TEST_F(ConfigDatabaseTest, OldNamespacesGainTheDefaultAppName) {
    std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
    {
        ZVUSQLiteDatabase raw;
        ASSERT_TRUE(raw.open(path()));
        for (const char* table : {"main", "main_active", "main_default"}) {
            ASSERT_TRUE(raw.exec(std::string("CREATE TABLE ") + table +
                                 " (_id INTEGER PRIMARY KEY, bundle_identifier TEXT, namespace "
                                 "TEXT, key TEXT, value BLOB)"));
            ASSERT_TRUE(
                raw.exec(std::string("INSERT INTO ") + table +
                         " (bundle_identifier, namespace, key, value) VALUES "
                         "('app', 'reruzera', 'k', 'old'), ('app', 'other:x', 'k', 'new')"));
        }
    }
    auto db = open();
    EXPECT_FALSE(db->isNewDatabase());
    const Loaded loaded = loadMain(*db, "app");
    for (const auto* content : {&loaded.fetched, &loaded.active, &loaded.defaults}) {
        ASSERT_EQ(content->size(), 2u);
        EXPECT_EQ(text(content->at("reruzera:__VUVEZU_DEFAULT").at("k")), "old");
        EXPECT_EQ(text(content->at("other:x").at("k")), "new");
    }
    EXPECT_EQ(loaded.defaults.at("other:x").at("k")->source(), DIROdadevOveredSource::Default);
    EXPECT_EQ(loaded.active.at("other:x").at("k")->source(), DIROdadevOveredSource::Remote);
}

TEST_F(ConfigDatabaseTest, ContentRowsPerSource) {
    auto db = open();
    sim::LogCapture capture;
    db->insertMainTableWithValues({"app", "ns:a", "k"}, RCNDBSource::Fetched);
    for (auto source : {RCNDBSource::Fetched, RCNDBSource::Active, RCNDBSource::Default}) {
        const std::string tag = std::to_string(static_cast<long>(source));
        db->insertMainTableWithValues({"app", "ns:a", "k", bytes("first" + tag)}, source);
        db->insertMainTableWithValues({"app", "ns:a", "k", bytes("later" + tag)}, source);
        db->insertMainTableWithValues({"app", "ns:b", "k", bytes("b" + tag)}, source);
        db->insertMainTableWithValues({"other", "ns:a", "k", bytes("x")}, source);
    }
    db->deleteRecordFromMainTableWithNamespace("ns:b", "app", RCNDBSource::Active);
    Loaded loaded = loadMain(*db, "app");
    EXPECT_TRUE(loggedCount(
        capture,
        "[I-RCN000013] Failed to insert config record. Wrong number of give parameters, current "
        "number is 3, correct number is 4."));
    EXPECT_EQ(text(loaded.fetched["ns:a"]["k"]), "later2");
    EXPECT_EQ(text(loaded.active["ns:a"]["k"]), "later0");
    EXPECT_EQ(text(loaded.defaults["ns:a"]["k"]), "later1");
    EXPECT_EQ(text(loaded.defaults["ns:b"]["k"]), "b1");
    EXPECT_FALSE(loaded.active.count("ns:b"));

    db->deleteAllRecordsFromTableWithSource(RCNDBSource::Fetched);
    loaded = loadMain(*db, "app");
    EXPECT_TRUE(loaded.fetched.empty());
    EXPECT_FALSE(loaded.defaults.empty());
}

TEST_F(ConfigDatabaseTest, ReplacingANamespaceLeavesTheOthersAlone) {
    auto db = open();
    auto rows = [](std::initializer_list<std::pair<const char*, const char*>> pairs) {
        RCNKeyedRows out;
        for (const auto& [key, value] : pairs)
            out.emplace_back(key, DIROdadevOveredValue::initWithData(
                                      bytes(value), DIROdadevOveredSource::Remote));
        return out;
    };
    // Alone in the table, then beside another namespace and another bundle.
    db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active, rows({{"k", "1"}}));
    db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active,
                                  rows({{"k", "2"}, {"j", "3"}}));
    db->replaceMainTableNamespace("ns:b", "app", RCNDBSource::Active, rows({{"k", "b"}}));
    db->replaceMainTableNamespace("ns:a", "other", RCNDBSource::Active, rows({{"k", "x"}}));
    db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active, rows({{"k", "4"}}));
    Loaded loaded = loadMain(*db, "app");
    EXPECT_EQ(loaded.active["ns:a"].size(), 1u);
    EXPECT_EQ(text(loaded.active["ns:a"]["k"]), "4");
    EXPECT_EQ(text(loaded.active["ns:b"]["k"]), "b");
    EXPECT_EQ(text(loadMain(*db, "other").active["ns:a"]["k"]), "x");
    EXPECT_TRUE(loaded.fetched.empty());

    db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active, {});
    loaded = loadMain(*db, "app");
    EXPECT_FALSE(loaded.active.count("ns:a"));
    EXPECT_EQ(text(loaded.active["ns:b"]["k"]), "b");
}

RCNKeyedRows keyedRows(std::initializer_list<std::pair<const char*, const char*>> pairs) {
    RCNKeyedRows out;
    for (const auto& [key, value] : pairs)
        out.emplace_back(key, DIROdadevOveredValue::initWithData(bytes(value),
                                                                 DIROdadevOveredSource::Remote));
    return out;
}

// The counter SQLite raises in the file header on every committed change.
std::uint32_t changeCounter(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[28] = {};
    file.read(reinterpret_cast<char*>(header), sizeof header);
    return std::uint32_t(header[24]) << 24 | std::uint32_t(header[25]) << 16 |
           std::uint32_t(header[26]) << 8 | header[27];
}

TEST_F(ConfigDatabaseTest, AnActivationCopiesFetchedRowsOnlyWhileTheTableStillHoldsThem) {
    const std::pair<const char*, std::function<void(RCNConfigDBManager&)>> cases[] = {
        {"nothing between", [](RCNConfigDBManager&) {}},
        {"a later fetch",
         [](RCNConfigDBManager& db) {
             db.replaceMainTableNamespace("ns:a", "app", RCNDBSource::Fetched,
                                          keyedRows({{"k", "later"}}));
         }},
        {"another namespace's fetch",
         [](RCNConfigDBManager& db) {
             db.replaceMainTableNamespace("ns:b", "app", RCNDBSource::Fetched,
                                          keyedRows({{"k", "b"}}));
         }},
        {"a deleted namespace",
         [](RCNConfigDBManager& db) {
             db.deleteRecordFromMainTableWithNamespace("ns:a", "app", RCNDBSource::Fetched);
         }},
        {"an emptied table",
         [](RCNConfigDBManager& db) {
             db.deleteAllRecordsFromTableWithSource(RCNDBSource::Fetched);
         }},
        {"a row added",
         [](RCNConfigDBManager& db) {
             db.insertMainTableWithValues({"app", "ns:a", "extra", bytes("x")},
                                          RCNDBSource::Fetched);
         }},
    };
    for (const auto& [name, between] : cases) {
        SCOPED_TRACE(name);
        auto db = open();
        db->deleteAllRecordsFromTableWithSource(RCNDBSource::Active);
        const auto token = db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Fetched,
                                                         keyedRows({{"k", "1"}, {"j", "2"}}));
        EXPECT_NE(token, 0u);
        between(*db);
        db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active,
                                      keyedRows({{"k", "1"}, {"j", "2"}}), token);
        Loaded loaded = loadMain(*db, "app");
        EXPECT_EQ(loaded.active["ns:a"].size(), 2u);
        EXPECT_EQ(text(loaded.active["ns:a"]["k"]), "1");
        EXPECT_EQ(text(loaded.active["ns:a"]["j"]), "2");
        db->deleteAllRecordsFromTableWithSource(RCNDBSource::Fetched);
        db->waitForQueue();
    }
}

TEST_F(ConfigDatabaseTest, WritesQueuedOneAfterAnotherShareOneTransaction) {
    auto db = open();
    db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active, keyedRows({{"k", "0"}}));
    db->waitForQueue();
    const auto before = changeCounter(path());
    // Held back until all are queued, as a fetch stored while the queue is
    // busy and its activation are.
    std::promise<void> gate;
    db->enqueueForTesting([future = gate.get_future().share()] { future.wait(); });
    const auto token = db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Fetched,
                                                     keyedRows({{"k", "1"}}));
    db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active, keyedRows({{"k", "1"}}),
                                  token);
    db->replaceMainTableNamespace("ns:b", "app", RCNDBSource::Default, keyedRows({{"k", "d"}}));
    gate.set_value();
    db->waitForQueue();
    EXPECT_EQ(changeCounter(path()), before + 1);
    Loaded loaded = loadMain(*db, "app");
    EXPECT_EQ(text(loaded.fetched["ns:a"]["k"]), "1");
    EXPECT_EQ(text(loaded.active["ns:a"]["k"]), "1");
    EXPECT_EQ(text(loaded.defaults["ns:b"]["k"]), "d");

    // Anything queued between ends the batch, so the order holds.
    std::promise<void> second;
    db->enqueueForTesting([future = second.get_future().share()] { future.wait(); });
    db->replaceMainTableNamespace("ns:a", "app", RCNDBSource::Active, keyedRows({{"k", "2"}}));
    db->deleteAllRecordsFromTableWithSource(RCNDBSource::Active);
    db->replaceMainTableNamespace("ns:b", "app", RCNDBSource::Active, keyedRows({{"k", "3"}}));
    second.set_value();
    loaded = loadMain(*db, "app");
    EXPECT_FALSE(loaded.active.count("ns:a"));
    EXPECT_EQ(text(loaded.active["ns:b"]["k"]), "3");
}

TEST_F(ConfigDatabaseTest, FetchMetadataRows) {
    auto db = open();
    EXPECT_TRUE(db->loadMetadataWithBundleIdentifier("app", "ns:a").empty());
    auto row = [](const char* bundle, Data context) {
        return Dictionary{{"bundle_identifier", bundle},
                          {"namespace", "ns:a"},
                          {"fetch_time", 12.5},
                          {"digest_per_ns", bytes("{}")},
                          {"device_context", context},
                          {"app_context", bytes("{\"v\":1}")},
                          {"success_fetch_time", bytes("[1,2]")},
                          {"failure_fetch_time", bytes("[]")},
                          {"last_fetch_status", "1"},
                          {"last_fetch_error", 8001},
                          {"last_apply_time", 3.5},
                          {"last_set_defaults_time", 4.5}};
    };
    db->insertMetadataTableWithValues(row("app", bytes("{\"os_version\":\"6\"}")));
    db->insertMetadataTableWithValues(row("other", bytes("not json")));
    db->updateMetadataWithOption(RCNUpdateOption::ApplyTime, "ns:a", {Value(99.25)});
    db->updateMetadataWithOption(RCNUpdateOption::FetchStatus, "ns:a", {Value(2), Value(8003)});
    Dictionary loaded = db->loadMetadataWithBundleIdentifier("app", "ns:a");
    EXPECT_EQ(loaded["fetch_time"], Value(12.5));
    EXPECT_EQ(loaded["device_context"], Value(Dictionary{{"os_version", "6"}}));
    EXPECT_EQ(loaded["success_fetch_time"], Value(Array{1, 2}));
    EXPECT_EQ(loaded["last_fetch_status"], Value(2));
    EXPECT_EQ(loaded["last_fetch_error"], Value(8003));
    EXPECT_EQ(loaded["last_apply_time"], Value(99.25));
    EXPECT_EQ(loaded["last_set_defaults_time"], Value(4.5));

    Dictionary other = db->loadMetadataWithBundleIdentifier("other", "ns:a");
    EXPECT_FALSE(other.contains("device_context"));
    EXPECT_EQ(other["last_apply_time"], Value(99.25));  // every bundle identifier

    db->deleteRecordWithBundleIdentifier("app", "ns:a", false);
    EXPECT_TRUE(db->loadMetadataWithBundleIdentifier("app", "ns:a").empty());
    EXPECT_FALSE(db->loadMetadataWithBundleIdentifier("other", "ns:a").empty());
}

TEST_F(ConfigDatabaseTest, InternalExperimentAndPersonalizationRows) {
    auto db = open();
    db->insertInternalMetadataTableWithValues({"app.k", bytes("1")});
    db->insertInternalMetadataTableWithValues({"app.k", bytes("2")});
    db->insertInternalMetadataTableWithValues({"only-one"});
    auto internal = db->loadInternalMetadataTable();
    ASSERT_TRUE(internal);
    EXPECT_EQ(internal->size(), 1u);
    EXPECT_EQ(internal->at("app.k"), bytes("2"));

    db->insertExperimentTableWithKey(RCNExperimentTableKeyPayload, bytes("{\"a\":1}"));
    db->insertExperimentTableWithKey(RCNExperimentTableKeyPayload, bytes("{\"b\":2}"));
    db->insertExperimentTableWithKey(RCNExperimentTableKeyMetadata, bytes("{\"t\":1}"));
    db->insertExperimentTableWithKey(RCNExperimentTableKeyMetadata, bytes("{\"t\":2}"));
    db->insertOrUpdatePersonalizationConfig(Dictionary{{"p", 1}}, RCNDBSource::Fetched);
    db->insertOrUpdatePersonalizationConfig(Dictionary{{"p", 2}}, RCNDBSource::Fetched);
    db->insertOrUpdatePersonalizationConfig(Dictionary{{"p", 0}}, RCNDBSource::Active);
    db->waitForQueue();
    EXPECT_EQ(count(path(), "SELECT count(*) FROM experiment"), 3);
    EXPECT_EQ(count(path(), "SELECT count(*) FROM personalization"), 2);

    std::optional<Dictionary> experiments;
    db->loadExperimentWithCompletionHandler([&](bool, Dictionary result) { experiments = result; });
    ASSERT_TRUE(
        sim::MainLoop::runUntil([&] { return experiments.has_value(); }, std::chrono::seconds(30)));
    EXPECT_EQ((*experiments)[RCNExperimentTableKeyPayload],
              Value(Array{bytes("{\"a\":1}"), bytes("{\"b\":2}")}));
    EXPECT_EQ((*experiments)[RCNExperimentTableKeyMetadata], Value(Dictionary{{"t", 2}}));

    std::promise<std::pair<Dictionary, Dictionary>> personalization;
    db->loadPersonalizationWithCompletionHandler([&](bool, Dictionary fetched, Dictionary active) {
        personalization.set_value({fetched, active});
    });
    auto [fetched, active] = personalization.get_future().get();
    EXPECT_EQ(fetched, (Dictionary{{"p", 2}}));
    EXPECT_EQ(active, (Dictionary{{"p", 0}}));

    db->deleteExperimentTableForKey(RCNExperimentTableKeyPayload);
    db->waitForQueue();
    EXPECT_EQ(count(path(), "SELECT count(*) FROM experiment"), 1);
}

}  // namespace
