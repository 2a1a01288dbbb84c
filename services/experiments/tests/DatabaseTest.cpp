#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "platform/dispatch/Clock.h"
#include "services/experiments/APMEDatabase.h"
#include "services/experiments/tests/ExperimentsTestSupport.h"
#include "services/util/ZVUSQLite.h"
#include "services/util/tests/TempHome.h"

namespace {

using Snapshots = APMEDatabase::Snapshots;

std::map<std::string, std::shared_ptr<APMESnapshot>> bySDK(const std::optional<Snapshots>& list) {
    std::map<std::string, std::shared_ptr<APMESnapshot>> out;
    if (list) {
        for (const auto& s : *list) out[s->SDKName()] = s;
    }
    return out;
}

class ExperimentDatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        APMEManager::monitor().clearLines();
        path_ = (home_.path() / "experiments.sql").string();
        database_ = APMEDatabase::initWithPath(path_);
        ASSERT_NE(database_, nullptr);
    }
    void TearDown() override { sim::useRealClock(); }

    std::map<std::string, std::shared_ptr<APMESnapshot>> activated() {
        return bySDK(database_->fetchAllActivatedSnapshots());
    }
    std::map<std::string, std::shared_ptr<APMESnapshot>> pending() {
        return bySDK(database_->fetchAllPendingSnapshots());
    }
    std::map<std::string, std::shared_ptr<APMESnapshot>> launched() {
        return bySDK(database_->fetchAllLaunchedSnapshots());
    }

    TempHome home_;
    std::string path_;
    std::unique_ptr<APMEDatabase> database_;
};

TEST_F(ExperimentDatabaseTest, ActivationSplitsPendingIntoActivatedAndLaunched) {
    const double now = sim::wallClockSeconds();
    struct Case {
        const char* label;
        std::vector<TestExperiment> pending;
        std::vector<long long> activatedIDs;  // after activation
        std::vector<long long> launchedIDs;   // empty: the earlier launched row stays
    };
    const std::vector<Case> cases = {
        {"launched and two experiments", {{0, "l", 1}, {17, "a", 2}, {23, "b", 3}}, {17, 23}, {0}},
        // Memory then holds an empty activated snapshot; so must the file.
        {"launched only", {{0, "l", 4}}, {}, {0}},
        {"experiments only", {{5, "c", 5}}, {5}, {9}},
        {"experiment without flags", {{6, "", 0}, {7, "d", 1}}, {7}, {9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        database_->reset();
        // An earlier activation of the same SDK.
        ASSERT_TRUE(database_->activateSnapshot(testSnapshot("sdk", {{9, "old", 1}, {0, "x", 0}}),
                                                now - 10));
        ASSERT_TRUE(database_->upsertSnapshot(*testSnapshot("sdk", {{9, "old", 1}})->proto(),
                                              kAPMELaunchedSnapshotTable, now - 10, std::nullopt));
        auto snapshot = testSnapshot("sdk", c.pending, now - 1);
        ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({snapshot}));
        ASSERT_EQ(pending().count("sdk"), 1u);

        ASSERT_TRUE(database_->activateSnapshot(snapshot, now));
        EXPECT_EQ(pending().count("sdk"), 0u);
        auto a = activated();
        ASSERT_EQ(a.count("sdk"), 1u);
        EXPECT_EQ(experimentIDsOf(a["sdk"]), c.activatedIDs);
        EXPECT_EQ(a["sdk"]->timestamp(), now);
        EXPECT_EQ(experimentIDsOf(launched()["sdk"]),
                  c.launchedIDs.empty() ? std::vector<long long>{9} : c.launchedIDs);
        // What the file holds is what the manager computes in memory.
        auto inMemory = APMESnapshotActivation::fromPendingSnapshot(*snapshot, now);
        EXPECT_EQ(experimentIDsOf(inMemory.activated), c.activatedIDs);
    }
}

TEST_F(ExperimentDatabaseTest, ActivationKeepsPendingRowsWrittenLater) {
    const double now = sim::wallClockSeconds();
    auto later = testSnapshot("sdk", {{3, "a", 1}}, now + 5);
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({later}));
    ASSERT_TRUE(database_->activateSnapshot(testSnapshot("sdk", {{4, "b", 1}}), now));
    EXPECT_EQ(experimentIDsOf(pending()["sdk"]), std::vector<long long>{3});
    EXPECT_EQ(experimentIDsOf(activated()["sdk"]), std::vector<long long>{4});

    NSError error;
    EXPECT_FALSE(database_->activateSnapshot(nullptr, now, &error));
    EXPECT_EQ(error.code, 1);
}

TEST_F(ExperimentDatabaseTest, StartActivatesOnlyAutomaticSnapshots) {
    const double now = sim::wallClockSeconds();
    auto manual = testSnapshot("manual", {{1, "a", 1}}, now - 100);
    manual->setManuallyActivated(true);
    auto automatic = testSnapshot("auto", {{2, "b", 1}, {0, "l", 1}}, now - 200);
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({manual, automatic}));
    // A row without the flag is not selected either.
    ASSERT_TRUE(database_->upsertSnapshot(*testSnapshot("unset", {{3, "c", 1}})->proto(),
                                          kAPMEPendingSnapshotTable, now - 50, std::nullopt));

    ASSERT_TRUE(database_->activatePendingSnapshotsAutomatically());
    auto p = pending();
    EXPECT_EQ(p.count("manual"), 1u);
    EXPECT_TRUE(p["manual"]->manuallyActivated());
    EXPECT_EQ(p.count("unset"), 1u);
    EXPECT_EQ(p.count("auto"), 0u);
    auto a = activated();
    ASSERT_EQ(a.count("auto"), 1u);
    EXPECT_EQ(a["auto"]->timestamp(), now - 200);
    EXPECT_EQ(experimentIDsOf(a["auto"]), std::vector<long long>{2});
    EXPECT_EQ(experimentIDsOf(launched()["auto"]), std::vector<long long>{0});
    EXPECT_EQ(a.count("manual"), 0u);
}

TEST_F(ExperimentDatabaseTest, StaleActivatedSnapshotsAreDeleted) {
    const double now = sim::wallClockSeconds();
    struct Case {
        const char* sdk;
        double age;
        bool kept;
    };
    const std::vector<Case> cases = {
        {"exactly-three-days", kAPMEStaleSnapshotAge, false},
        {"older", kAPMEStaleSnapshotAge + 1, false},
        {"a-second-younger", kAPMEStaleSnapshotAge - 1, true},
        {"fresh", 0, true},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(database_->activateSnapshot(testSnapshot(c.sdk, {{1, "a", 1}}), now - c.age));
    }
    ASSERT_TRUE(database_->deleteStaleActivatedSnapshots());
    auto a = activated();
    for (const auto& c : cases) {
        EXPECT_EQ(a.count(c.sdk) == 1, c.kept) << c.sdk;
    }
}

TEST_F(ExperimentDatabaseTest, DeletesOneSDKFromOneTable) {
    const double now = sim::wallClockSeconds();
    for (const char* sdk : {"one", "two"}) {
        ASSERT_TRUE(
            database_->activateSnapshot(testSnapshot(sdk, {{1, "a", 1}, {0, "l", 1}}), now));
        ASSERT_TRUE(
            database_->upsertPendingExperimentSnapshots({testSnapshot(sdk, {{2, "b", 1}})}));
    }
    ASSERT_TRUE(database_->deleteActivatedExperimentsOfSDKName("one"));
    ASSERT_TRUE(database_->deletePendingExperimentsOfSDKName("two"));
    ASSERT_TRUE(database_->deleteLaunchedExperimentSDKName("two"));
    EXPECT_EQ(activated().count("one"), 0u);
    EXPECT_EQ(activated().count("two"), 1u);
    EXPECT_EQ(pending().count("one"), 1u);
    EXPECT_EQ(pending().count("two"), 0u);
    EXPECT_EQ(launched().count("one"), 1u);
    EXPECT_EQ(launched().count("two"), 0u);

    NSError error;
    EXPECT_FALSE(database_->deleteActivatedExperimentsOfSDKName("", &error));
    EXPECT_EQ(error.code, 1);
}

TEST_F(ExperimentDatabaseTest, FailedTransactionRollsBack) {
    const double now = sim::wallClockSeconds();
    EXPECT_FALSE(database_->performTransaction([&] {
        database_->activateSnapshot(testSnapshot("sdk", {{1, "a", 1}}), now);
        return false;
    }));
    EXPECT_TRUE(monitorLogged(810007));
    EXPECT_TRUE(activated().empty());
    EXPECT_TRUE(database_->performTransaction([&] {
        return database_->activateSnapshot(testSnapshot("sdk", {{1, "a", 1}}), now);
    }));
    EXPECT_EQ(activated().size(), 1u);
}

TEST_F(ExperimentDatabaseTest, RecordThatDoesNotDecodeFailsTheFetch) {
    Dictionary record{{"sdk_name", "sdk"},
                      {"snapshotProto", Value(Data{0xff, 0xff, 0xff})},
                      {"timestamp", 1.0},
                      {"manually_activated", 0}};
    ASSERT_TRUE(database_->sqliteStore()->upsertRecord(record, kAPMEPendingSnapshotTable));
    EXPECT_FALSE(database_->fetchAllPendingSnapshots().has_value());
    NSError error;
    EXPECT_FALSE(database_->activatePendingSnapshotsAutomatically(&error));
    EXPECT_EQ(error.code, 2);
}

TEST_F(ExperimentDatabaseTest, ResetEmptiesEveryTable) {
    const double now = sim::wallClockSeconds();
    ASSERT_TRUE(database_->activateSnapshot(testSnapshot("sdk", {{1, "a", 1}, {0, "l", 1}}), now));
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({testSnapshot("sdk", {{2, "b", 1}})}));
    database_->reset();
    EXPECT_TRUE(activated().empty());
    EXPECT_TRUE(pending().empty());
    EXPECT_TRUE(launched().empty());
    EXPECT_TRUE(std::filesystem::exists(path_));
    // And it keeps working.
    EXPECT_TRUE(database_->upsertPendingExperimentSnapshots({testSnapshot("sdk", {{2, "b", 1}})}));
}

TEST_F(ExperimentDatabaseTest, SnapshotsSurviveReopening) {
    const double now = sim::wallClockSeconds();
    auto snapshot = testSnapshot("sdk", {{4, "s", Value("text")}, {5, "d", Value(0.5)}}, now - 3);
    snapshot->setManuallyActivated(true);
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({snapshot}));
    database_.reset();
    database_ = APMEDatabase::initWithPath(path_);
    ASSERT_NE(database_, nullptr);
    auto p = pending();
    ASSERT_EQ(p.count("sdk"), 1u);
    EXPECT_EQ(p["sdk"]->timestamp(), now - 3);
    EXPECT_TRUE(p["sdk"]->manuallyActivated());
    EXPECT_EQ(APMPBFlagGetValue(p["sdk"]->flagByName("s").get()), Value("text"));
    EXPECT_EQ(APMPBFlagGetValue(p["sdk"]->flagByName("d").get()), Value(0.5));
}

TEST(ExperimentDatabaseOpenTest, UnusableFilesAreRefused) {
    TempHome home;
    APMEManager::monitor().clearLines();
    EXPECT_EQ(APMEDatabase::initWithPath(std::nullopt), nullptr);
    EXPECT_TRUE(monitorLogged(810000));

    // A table of the right name with other columns cannot be validated.
    const auto path = (home.path() / "bad.sql").string();
    {
        ZVUSQLiteDatabase db;
        ASSERT_TRUE(db.open(path));
        ASSERT_TRUE(db.exec("CREATE TABLE activated_snapshot_table (other INTEGER NOT NULL)"));
    }
    APMEManager::monitor().clearLines();
    EXPECT_EQ(APMEDatabase::initWithPath(path), nullptr);
    EXPECT_TRUE(monitorLogged(810002));
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
