#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "services/experiments/tests/TaskManagerTestSupport.h"
#include "services/measurement/APMExtensions.h"

namespace {

using Flag = sim::ExperimentsBackend::Flag;
using Experiment = sim::ExperimentsBackend::Experiment;

// Records what the task manager reports; answers whether to fetch as told.
class RecordingDelegate : public APMETaskManagerDelegate {
  public:
    bool shouldFetch = true;
    int starts = 0;
    APMEDatabase::Snapshots activated, pending, launched;
    std::vector<APMEDatabase::Snapshots> fetched;
    std::vector<std::map<std::string, NSError>> errors;
    std::vector<APMEDatabase::Snapshots> upserted;

    bool taskManagerShouldFetchExperiments(APMETaskManager&) override { return shouldFetch; }
    void taskManagerDidStart(APMETaskManager&, const APMEDatabase::Snapshots& a,
                             const APMEDatabase::Snapshots& p,
                             const APMEDatabase::Snapshots& l) override {
        ++starts;
        activated = a;
        pending = p;
        launched = l;
    }
    void taskManagerDidFinishFetching(APMETaskManager&, const APMEDatabase::Snapshots& s,
                                      const std::map<std::string, NSError>& e) override {
        fetched.push_back(s);
        errors.push_back(e);
    }
    void taskManagerDidUpsertPendingSnapshots(APMETaskManager&,
                                              const APMEDatabase::Snapshots& s) override {
        upserted.push_back(s);
    }
};

class ExperimentTaskManagerTest : public TaskManagerFixture {
  protected:
    void start() {
        makeTaskManager();
        taskManager_->setDelegate(delegate_);
        taskManager_->startTaskManager();
        drain();
    }
    std::map<std::string, std::shared_ptr<APMESnapshot>> storedPending() {
        std::map<std::string, std::shared_ptr<APMESnapshot>> out;
        queue_->sync([&] {
            for (const auto& s : taskManager_->database()->fetchAllPendingSnapshots().value_or(
                     APMEDatabase::Snapshots{})) {
                out[s->SDKName()] = s;
            }
        });
        return out;
    }

    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(ExperimentTaskManagerTest, NextFetchTimeFollowsSuccessesAndFailures) {
    makeTaskManager();
    const double now = sim::wallClockSeconds();
    const double init = taskManager_->initializationTimestamp();
    struct Case {
        const char* label;
        bool initial;
        double success;
        double failure;
        double expected;
    };
    const std::vector<Case> cases = {
        {"first start ever", true, 0, 0, now + 10},
        {"first of process after a recent success", true, now - 3600, 0, now + 3 * 3600},
        {"first of process after an old success", true, now - 5 * 3600, 0, now + 10},
        {"after a success", false, now - 3600, 0, now - 3600 + 14400},
        {"never succeeded, failed 1 h after start", false, 0, init + 3600, init + 5400},
        {"never succeeded, failed just before the last step", false, 0, init + 113399,
         init + 113400},
        {"never succeeded, retries exhausted", false, 0, init + 113400, 0},
        {"failed after a success", false, now - 100, now - 50, now - 100 + 14400 + 1800},
        {"failed long after a success", false, now - 100, now - 100 + 14400 + 5401,
         now - 100 + 14400 + 12600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        makeTaskManager();
        if (!c.initial) taskManager_->fetchTimeFromLastSuccessfulTimestamp(0, 0);
        EXPECT_DOUBLE_EQ(taskManager_->fetchTimeFromLastSuccessfulTimestamp(c.success, c.failure),
                         c.expected);
        EXPECT_TRUE(taskManager_->hasMadeInitialFetch());
    }
}

TEST_F(ExperimentTaskManagerTest, FetchStoresPendingSnapshotsAndSchedulesTheNext) {
    addClient("app_measurement");
    service().setSnapshot("app_measurement", {Experiment{17, {Flag{"f", std::int64_t{1}}}},
                                              Experiment{std::nullopt, {Flag{"l", true}}}});
    start();
    const double started = sim::wallClockSeconds();
    EXPECT_EQ(scheduled(), started + 10);
    sim::advanceClock(sim::seconds(9));
    drain();
    EXPECT_EQ(fetches(), 0u);

    fireAndWaitForAnswer();
    ASSERT_EQ(fetches(), 1u);
    EXPECT_EQ(backend_.requests("experiments")[0].status, 200);
    const double fetchedAt = started + 10;
    EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), fetchedAt);
    EXPECT_EQ(scheduled(), fetchedAt + 14400);

    ASSERT_EQ(delegate_->fetched.size(), 1u);
    ASSERT_EQ(delegate_->fetched[0].size(), 1u);
    EXPECT_EQ(experimentIDsOf(delegate_->fetched[0][0]), (std::vector<long long>{0, 17}));
    auto pending = storedPending();
    ASSERT_EQ(pending.count("app_measurement"), 1u);
    EXPECT_FALSE(pending["app_measurement"]->manuallyActivated());
    EXPECT_EQ(APMPBFlagGetValue(pending["app_measurement"]->flagByName("l").get()), Value(true));

    // What the service received.
    auto received = service().received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].platform, "macos");
    EXPECT_EQ(received[0].libraryVersion, 10000);
    ASSERT_EQ(received[0].clients.size(), 1u);
    EXPECT_EQ(received[0].clients[0].sdkName, "app_measurement");
    EXPECT_EQ(received[0].clients[0].version, 7);
    EXPECT_EQ(received[0].clients[0].hashedDiversionKey, *apm_MD5String("key-app_measurement"));

    // The next one comes four hours later.
    fireAndWaitForAnswer();
    EXPECT_EQ(fetches(), 2u);
    EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), fetchedAt + 14400);
}

// Snapshots of names the request did not carry are not stored: their
// launched flags would be loaded at every start with nobody to delete them.
TEST_F(ExperimentTaskManagerTest, SnapshotsOfUnregisteredNamesAreNotStored) {
    addClient("app_measurement");
    // A hostile answer: launched flags for names the request did not carry.
    std::map<std::string, std::vector<Experiment>> answer;
    for (const std::string name : {"app_measurement", "junk0", "junk1", "junk2"})
        answer[name] = {Experiment{std::nullopt, {Flag{"l", true}}}};
    sim::BackendScript script;
    script.body = sim::ExperimentsBackend::gzip(
        sim::ExperimentsBackend::encodeResponse(answer, {}, false));
    backend_.enqueue("experiments", "fetch", script);
    start();
    fireAndWaitForAnswer();
    ASSERT_EQ(delegate_->fetched.size(), 1u);
    ASSERT_EQ(delegate_->fetched[0].size(), 1u);
    EXPECT_EQ(delegate_->fetched[0][0]->SDKName(), "app_measurement");
    const auto pending = storedPending();
    EXPECT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending.count("app_measurement"), 1u);
    EXPECT_TRUE(monitorLogged(820029));

    // The next start launches only the registered name's flags.
    taskManager_->alarm()->cancel();
    drain();
    start();
    ASSERT_EQ(delegate_->launched.size(), 1u);
    EXPECT_EQ(delegate_->launched[0]->SDKName(), "app_measurement");
}

// Rows that earlier versions stored for names nobody registered: once a
// client has registered, each table keeps only the newest few of them, and
// every registered name's rows, however old.
TEST_F(ExperimentTaskManagerTest, StoredRowsOfUnregisteredNamesAreBoundedOnceClientsRegister) {
    const double now = sim::wallClockSeconds();
    constexpr long kJunk = 3000;
    constexpr long kManualJunk = 150;
    {
        auto database = APMEDatabase::initWithPath(databasePath_);
        ASSERT_TRUE(database->performTransaction([&] {
            bool ok = database->activateSnapshot(
                testSnapshot("app_measurement", {{0, "l", 1}, {5, "a", 1}}), now - 9000);
            for (long i = 0; i < kJunk; ++i) {
                ok = ok && database->activateSnapshot(
                               testSnapshot("junk" + std::to_string(i), {{0, "l", 1}}),
                               now - 8000 + static_cast<double>(i));
            }
            APMEDatabase::Snapshots manual;
            for (long i = 0; i < kManualJunk; ++i) {
                manual.push_back(testSnapshot("manual" + std::to_string(i), {{1, "m", 1}},
                                              now - 500 + static_cast<double>(i)));
                manual.back()->setManuallyActivated(true);
            }
            return ok && database->upsertPendingExperimentSnapshots(manual);
        }));
    }
    using Fetch = std::optional<APMEDatabase::Snapshots> (APMEDatabase::*)(NSError*);
    auto storedNames = [&](Fetch fetch) {
        std::set<std::string> names;
        queue_->sync([&] {
            for (const auto& s :
                 (taskManager_->database()->*fetch)(nullptr).value_or(APMEDatabase::Snapshots{})) {
                names.insert(s->SDKName());
            }
        });
        return names;
    };
    auto fire = [&] {
        const double due = scheduled();
        sim::advanceClock(sim::seconds(due - sim::wallClockSeconds()));
        ASSERT_TRUE(waitFor([&] { return scheduled() != due; }));
    };
    delegate_->shouldFetch = false;
    start();
    ASSERT_EQ(delegate_->launched.size(), static_cast<std::size_t>(kJunk + 1));

    // While no client has registered, nothing is known to be junk.
    fire();
    EXPECT_EQ(storedNames(&APMEDatabase::fetchAllLaunchedSnapshots).size(),
              static_cast<std::size_t>(kJunk + 1));
    EXPECT_FALSE(monitorLogged(820030));

    addClient("app_measurement");
    fire();
    const long kept = kAPMEMaxUnregisteredSnapshotRows;
    std::set<std::string> expected{"app_measurement"};
    for (long i = kJunk - kept; i < kJunk; ++i) expected.insert("junk" + std::to_string(i));
    EXPECT_EQ(storedNames(&APMEDatabase::fetchAllLaunchedSnapshots), expected);
    EXPECT_EQ(storedNames(&APMEDatabase::fetchAllActivatedSnapshots), expected);
    std::set<std::string> expectedPending;
    for (long i = kManualJunk - kept; i < kManualJunk; ++i)
        expectedPending.insert("manual" + std::to_string(i));
    EXPECT_EQ(storedNames(&APMEDatabase::fetchAllPendingSnapshots), expectedPending);
    std::vector<Value> counts;
    for (const auto& line : APMEManager::monitor().lines()) {
        if (line.messageCode == 820030)
            counts.insert(counts.end(), line.contexts.begin(), line.contexts.end());
    }
    EXPECT_EQ(counts, std::vector<Value>{Value(2 * (kJunk - kept) + (kManualJunk - kept))});

    // Within the bound nothing more goes, and the next start loads the rest.
    APMEManager::monitor().clearLines();
    fire();
    EXPECT_FALSE(monitorLogged(820030));
    taskManager_->alarm()->cancel();
    drain();
    start();
    EXPECT_EQ(delegate_->launched.size(), static_cast<std::size_t>(kept + 1));
    EXPECT_EQ(delegate_->activated.size(), static_cast<std::size_t>(kept + 1));
}

TEST_F(ExperimentTaskManagerTest, FailedAnswersRetryWithBackoff) {
    struct Case {
        const char* label;
        sim::BackendScript script;
        bool backoff;
    };
    sim::BackendScript notGzip;
    notGzip.body = "this is not gzip";
    sim::BackendScript notAResponse;
    notAResponse.body = sim::ExperimentsBackend::gzip("\xff\xff\xff\xff");
    const std::vector<Case> cases = {
        {"429", sim::BackendScript::withStatus(429), true},
        {"503", sim::BackendScript::withStatus(503), true},
        {"500", sim::BackendScript::withStatus(500), false},
        {"400", sim::BackendScript::withStatus(400), false},
        // A 200 that brings nothing usable is no success either.
        {"200 that does not inflate", notGzip, false},
        {"200 that does not decode", notAResponse, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        storage_->clearAllData();
        backend_.reset();
        APMEManager::monitor().clearLines();
        delegate_ = std::make_shared<RecordingDelegate>();
        addClient("app_measurement");
        service().setSnapshot("app_measurement", {Experiment{3, {Flag{"f", std::int64_t{1}}}}});
        backend_.enqueue("experiments", "fetch", c.script);
        start();
        const double init = taskManager_->initializationTimestamp();
        fireAndWaitForAnswer();
        const double failedAt = init + 10;
        EXPECT_EQ(stored(kAPMExperimentFetchFailureTimestampKey), failedAt);
        EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), 0);
        EXPECT_EQ(stored(kAPMExperimentFetchBackoffTimestampKey), c.backoff ? failedAt : 0);
        EXPECT_TRUE(delegate_->fetched.empty());
        EXPECT_TRUE(storedPending().empty());
        EXPECT_TRUE(monitorLogged(820002));
        // Retries: 30 minutes after start, or 12 hours after a backoff.
        EXPECT_EQ(scheduled(), c.backoff ? failedAt + 43200 : init + 1800);

        // The retry succeeds and clears the failure.
        fireAndWaitForAnswer();
        EXPECT_EQ(stored(kAPMExperimentFetchFailureTimestampKey), 0);
        EXPECT_EQ(stored(kAPMExperimentFetchBackoffTimestampKey), 0);
        EXPECT_GT(stored(kAPMExperimentFetchSuccessTimestampKey), failedAt);
        EXPECT_EQ(storedPending().size(), 1u);
        taskManager_->alarm()->cancel();
        drain();
    }
}

TEST_F(ExperimentTaskManagerTest, RetriesStopWhenExhausted) {
    backend_.setDefault("experiments", "fetch", sim::BackendScript::withStatus(500));
    start();
    const double init = taskManager_->initializationTimestamp();
    // 10 s, then 30 min, 1, 2, 4, 8 and 16 hours after start.
    const std::vector<double> retries = {1800, 5400, 12600, 27000, 55800, 113400};
    fireAndWaitForAnswer();
    for (double at : retries) {
        EXPECT_EQ(scheduled() - init, at);
        fireAndWaitForAnswer();
    }
    EXPECT_EQ(fetches(), 7u);
    EXPECT_EQ(scheduled(), 0);
    EXPECT_TRUE(monitorLogged(820024));
    EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), 0);
}

TEST_F(ExperimentTaskManagerTest, AnswersWithoutSnapshotListUseTheSdkAnswers) {
    addClient("app_measurement");
    addClient("other");
    service().setSnapshotsInSdkResponses(true);
    service().setSnapshot("app_measurement", {Experiment{5, {Flag{"f", 2.5}}}});
    service().setError("app_measurement", 2);
    service().setError("other", 9);
    start();
    fireAndWaitForAnswer();
    ASSERT_EQ(delegate_->fetched.size(), 1u);
    ASSERT_EQ(delegate_->fetched[0].size(), 1u);
    EXPECT_EQ(delegate_->fetched[0][0]->SDKName(), "app_measurement");
    EXPECT_EQ(APMPBFlagGetValue(delegate_->fetched[0][0]->flagByName("f").get()), Value(2.5));
    const auto& errors = delegate_->errors[0];
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors.at("app_measurement"), NSError(kAPMExperimentErrorDomain, -3));
    EXPECT_EQ(errors.at("other"), NSError(kAPMExperimentErrorDomain, -1));
}

TEST_F(ExperimentTaskManagerTest, EmptyAnswersAreSuccesses) {
    sim::BackendScript noContent = sim::BackendScript::withStatus(204);
    noContent.body = "";
    backend_.enqueue("experiments", "fetch", noContent);
    start();
    fireAndWaitForAnswer();
    EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), sim::wallClockSeconds());
    EXPECT_EQ(stored(kAPMExperimentFetchFailureTimestampKey), 0);
    ASSERT_EQ(delegate_->fetched.size(), 1u);
    EXPECT_TRUE(delegate_->fetched[0].empty());
    EXPECT_TRUE(delegate_->errors[0].empty());
}

TEST_F(ExperimentTaskManagerTest, PostponesWhenTheClientsDoNotWantExperiments) {
    delegate_->shouldFetch = false;
    start();
    const double due = scheduled();
    sim::advanceClock(sim::seconds(due - sim::wallClockSeconds()));
    ASSERT_TRUE(waitFor([&] { return scheduled() != due; }));
    EXPECT_EQ(fetches(), 0u);
    EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), due);
    EXPECT_EQ(scheduled(), due + 14400);
}

TEST_F(ExperimentTaskManagerTest, StartLoadsWhatTheDatabaseHolds) {
    const double now = sim::wallClockSeconds();
    {
        auto database = APMEDatabase::initWithPath(databasePath_);
        auto manual = testSnapshot("manual", {{1, "a", 1}}, now - 10);
        manual->setManuallyActivated(true);
        auto automatic = testSnapshot("auto", {{2, "b", 1}, {0, "l", 1}}, now - 20);
        ASSERT_TRUE(database->upsertPendingExperimentSnapshots({manual, automatic}));
        ASSERT_TRUE(database->activateSnapshot(testSnapshot("stale", {{3, "c", 1}}),
                                               now - kAPMEStaleSnapshotAge));
        ASSERT_TRUE(database->activateSnapshot(testSnapshot("fresh", {{4, "d", 1}}), now - 5));
    }
    start();
    ASSERT_EQ(delegate_->starts, 1);
    std::map<std::string, std::vector<long long>> activated, pending, launched;
    for (const auto& s : delegate_->activated) activated[s->SDKName()] = experimentIDsOf(s);
    for (const auto& s : delegate_->pending) pending[s->SDKName()] = experimentIDsOf(s);
    for (const auto& s : delegate_->launched) launched[s->SDKName()] = experimentIDsOf(s);
    EXPECT_EQ(activated,
              (std::map<std::string, std::vector<long long>>{{"auto", {2}}, {"fresh", {4}}}));
    EXPECT_EQ(pending, (std::map<std::string, std::vector<long long>>{{"manual", {1}}}));
    EXPECT_EQ(launched, (std::map<std::string, std::vector<long long>>{{"auto", {0}}}));
    EXPECT_TRUE(monitorLogged(820009));
}

TEST_F(ExperimentTaskManagerTest, WithoutADatabaseNothingIsScheduled) {
    // Below a plain file: the database cannot be created.
    { std::ofstream(home_.path() / "plain") << "x"; }
    databasePath_ = (home_.path() / "plain" / "experiments.sql").string();
    start();
    EXPECT_EQ(delegate_->starts, 0);
    EXPECT_EQ(scheduled(), 0);
    EXPECT_EQ(taskManager_->database(), nullptr);
}

TEST_F(ExperimentTaskManagerTest, PersistsTheManagersChanges) {
    start();
    const double now = sim::wallClockSeconds();
    auto snapshot = testSnapshot("sdk", {{7, "a", 1}, {0, "l", 2}}, now - 1);
    snapshot->setManuallyActivated(true);
    taskManager_->upsertPendingSnapshots({snapshot});
    drain();
    ASSERT_EQ(delegate_->upserted.size(), 1u);
    EXPECT_TRUE(storedPending()["sdk"]->manuallyActivated());

    taskManager_->activatePendingSnapshot(snapshot, now);
    drain();
    EXPECT_TRUE(storedPending().empty());
    queue_->sync([&] {
        auto activated = *taskManager_->database()->fetchAllActivatedSnapshots();
        ASSERT_EQ(activated.size(), 1u);
        EXPECT_EQ(experimentIDsOf(activated[0]), std::vector<long long>{7});
    });

    taskManager_->resetToDefaultsForSDKName("sdk");
    drain();
    queue_->sync([&] {
        EXPECT_TRUE(taskManager_->database()->fetchAllActivatedSnapshots()->empty());
        EXPECT_EQ(taskManager_->database()->fetchAllLaunchedSnapshots()->size(), 1u);
    });

    // Refusals change nothing.
    taskManager_->upsertPendingSnapshots({});
    taskManager_->activatePendingSnapshot(nullptr, now);
    taskManager_->resetToDefaultsForSDKName("");
    drain();
    EXPECT_TRUE(monitorLogged(820020));
    EXPECT_TRUE(monitorLogged(820013));
    EXPECT_TRUE(monitorLogged(820018));
    EXPECT_EQ(delegate_->upserted.size(), 1u);
}

TEST_F(ExperimentTaskManagerTest, ResetEmptiesTheDatabaseAndTheTimeStamps) {
    start();
    fireAndWaitForAnswer();
    taskManager_->upsertPendingSnapshots({testSnapshot("sdk", {{7, "a", 1}})});
    storage_->setDouble(1, kAPMExperimentFetchFailureTimestampKey);
    storage_->setDouble(2, kAPMExperimentFetchBackoffTimestampKey);
    drain();
    taskManager_->reset();
    drain();
    EXPECT_TRUE(storedPending().empty());
    for (const char* key :
         {kAPMExperimentFetchSuccessTimestampKey, kAPMExperimentFetchFailureTimestampKey,
          kAPMExperimentFetchBackoffTimestampKey}) {
        EXPECT_FALSE(storage_->objectForKey(key).has_value()) << key;
    }
}

TEST_F(ExperimentTaskManagerTest, SnapshotsFromDataRefusesEmptyBytes) {
    makeTaskManager();
    EXPECT_FALSE(taskManager_->experimentSnapshotsFromData(Data{}).has_value());
    EXPECT_TRUE(monitorLogged(820025));
    EXPECT_FALSE(taskManager_->experimentSnapshotsFromExperimentResponse(nullptr).has_value());
    EXPECT_TRUE(monitorLogged(820015));
    const std::string bytes = sim::ExperimentsBackend::encodeResponse(
        {{"sdk", {Experiment{4, {Flag{"s", std::string("v")}}}}}}, {}, false);
    auto snapshots = taskManager_->experimentSnapshotsFromData(Data(bytes.begin(), bytes.end()));
    ASSERT_TRUE(snapshots.has_value());
    ASSERT_EQ(snapshots->size(), 1u);
    EXPECT_EQ(APMPBFlagGetValue((*snapshots)[0]->flagByName("s").get()), Value("v"));
}

TEST_F(ExperimentTaskManagerTest, WorkerQueueMethodsSayWhenCalledElsewhere) {
    makeTaskManager();
    drain();
    APMEManager::monitor().clearLines();
    taskManager_->workerQueue()->sync([&] { taskManager_->fetchAllSnapshotsOnWorkerQueue(); });
    EXPECT_FALSE(monitorLogged(820028));
    taskManager_->fetchAllSnapshotsOnWorkerQueue();
    EXPECT_TRUE(monitorLogged(820028));
}

// An answer of many snapshots to refuse costs one monitored line, not one
// or two per snapshot.
TEST_F(ExperimentTaskManagerTest, ManyRefusedSnapshotsLogOnce) {
    makeTaskManager();
    const std::string bytes = sim::ExperimentsBackend::encodeResponse(
        {{"sdk", {Experiment{4, {Flag{"s", std::string("v")}}}}}}, {}, false);
    auto response = APMPBExperimentResponse::initWithBuffer(Data(bytes.begin(), bytes.end()));
    ASSERT_TRUE(response);
    auto list = *APMPBGetArray(response.get(), kAPMPBExperimentResponseSnapshots,
                               APMPBSnapshot::classObject());
    for (int i = 0; i < 2000; ++i) list.emplace_back(APMPBSnapshot::make());
    APMPBSetArray(response.get(), kAPMPBExperimentResponseSnapshots, list);
    APMEManager::monitor().clearLines();

    auto snapshots = taskManager_->experimentSnapshotsFromExperimentResponse(response.get());
    ASSERT_TRUE(snapshots);
    EXPECT_EQ(snapshots->size(), 1u);
    const auto lines = APMEManager::monitor().lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].messageCode, 820016);
    EXPECT_EQ(lines[0].contexts, std::vector<Value>{Value(2000)});

    // However many well-made snapshots an answer holds, only so many are taken.
    std::vector<APMPBObject> named;
    for (std::size_t i = 0; i < kAPMExperimentMaxSnapshotsPerAnswer + 50; ++i) {
        auto copy = APMPBSnapshot::make();
        APMPBSetString(copy.get(), kAPMPBSnapshotSDKName, Value("sdk" + std::to_string(i)));
        named.emplace_back(copy);
    }
    APMPBSetArray(response.get(), kAPMPBExperimentResponseSnapshots, named);
    snapshots = taskManager_->experimentSnapshotsFromExperimentResponse(response.get());
    ASSERT_TRUE(snapshots);
    EXPECT_EQ(snapshots->size(), kAPMExperimentMaxSnapshotsPerAnswer);
}

}  // namespace

namespace {

TEST(ExperimentsEndpointTest, ChecksAndDecodesRequests) {
    sim::ExperimentsBackend service;
    auto request = APMPBExperimentRequest::make();
    auto app = APMPBAppProperty::make();
    APMPBSetString(app.get(), kAPMPBAppPropertyPlatform, Value("macos"));
    APMPBSetInt64(app.get(), kAPMPBAppPropertyLibraryVersion, 10000);
    APMPBSetMessage(request.get(), kAPMPBExperimentRequestAppProperty, app.get());
    const Data bytes = *request->protoBuffer();
    struct Case {
        const char* label;
        bool gzipHeader;
        std::string body;
        int status;
    };
    const std::vector<Case> cases = {
        {"request", true, std::string(bytes.begin(), bytes.end()), 200},
        {"not declared gzip", false, std::string(bytes.begin(), bytes.end()), 400},
        {"does not decode", true, std::string("\x0a\x7f", 2), 400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        service.reset();
        sim::RecordedRequest recorded;
        recorded.method = "POST";
        recorded.path = "/sdk-exp";
        if (c.gzipHeader) recorded.headers.emplace("Content-Encoding", "gzip");
        recorded.body = c.body;
        ASSERT_EQ(service.route(recorded), std::optional<std::string>("fetch"));
        auto answer = service.handle("fetch", recorded);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(service.received().size(), c.status == 200 ? 1u : 0u);
        if (c.status != 200) continue;
        EXPECT_EQ(service.received()[0].platform, "macos");
        EXPECT_EQ(service.received()[0].libraryVersion, 10000);
        // The answer is gzip-compressed: the client inflates it itself.
        ASSERT_GE(answer.body.size(), 2u);
        EXPECT_EQ(static_cast<unsigned char>(answer.body[0]), 0x1f);
        EXPECT_EQ(static_cast<unsigned char>(answer.body[1]), 0x8b);
    }
}

}  // namespace
