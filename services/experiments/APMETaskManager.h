#pragma once
// The experiments client's worker: opens the experiments database, loads the
// stored snapshots at start, decides when to ask the server for experiments
// (every 4 hours after a success; after failures 30 minutes, then 1, 2, 4,
// 8 and 16 hours more, then no more until the next process start; at least
// 12 hours after a 429 or 503; when the timer fires and no client wants
// experiments, the fetch is put off by 4 hours), posts the request, turns
// the answer into pending snapshots and per-SDK errors, and persists every
// change the manager makes. Its delegate (the manager) receives every
// result.
//
// Every operation runs on the serial queue "APMExperimentWorkerQueue";
// public entry points check their argument and hand over to it. The timer
// and the network completion come back on that queue.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/net/NSURLRequest.h"
#include "services/experiments/APMEDatabase.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMConfigStore.h"
#include "services/util/DOZIvedidi.h"

class APMETaskManager;

inline constexpr const char* kAPMExperimentErrorDomain =
    "com.zevera.ruv.measurement.experiment.ErrorDomain";
inline constexpr const char* kAPMExperimentSuiteName = "APMExperimentSuiteName";
// The snapshots one answer may bring: one per SDK of the product is a
// handful; the rest of a larger answer is refused.
inline constexpr std::size_t kAPMExperimentMaxSnapshotsPerAnswer = 100;
inline constexpr const char* kAPMExperimentFetchSuccessTimestampKey =
    "APMExperimentFetchSuccessTimestamp";
inline constexpr const char* kAPMExperimentFetchFailureTimestampKey =
    "APMExperimentFetchFailureTimestamp";
inline constexpr const char* kAPMExperimentFetchBackoffTimestampKey =
    "APMExperimentFetchBackoffTimestamp";
inline constexpr const char* kAPMExperimentsURL = "https://measurement.zevera.example/sdk-exp";
inline constexpr double kAPMExperimentFetchInterval = 14400;
inline constexpr double kAPMExperimentInitialFetchDelay = 10;
inline constexpr double kAPMExperimentBackoffInterval = 43200;

enum APMPBExperimentResponseField : std::int32_t {
    kAPMPBExperimentResponseSnapshots = 0,
    kAPMPBExperimentResponseSDKResponses = 1,
};
enum APMPBSdkResponseField : std::int32_t {
    kAPMPBSdkResponseSDKName = 0,
    kAPMPBSdkResponseErrorCode = 1,
    kAPMPBSdkResponseSnapshot = 2,
};

class APMETaskManagerDelegate {
  public:
    virtual ~APMETaskManagerDelegate() = default;
    virtual bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) = 0;
    virtual void taskManagerDidStart(APMETaskManager& taskManager,
                                     const APMEDatabase::Snapshots& activated,
                                     const APMEDatabase::Snapshots& pending,
                                     const APMEDatabase::Snapshots& launched) = 0;
    virtual void taskManagerDidFinishFetching(APMETaskManager& taskManager,
                                              const APMEDatabase::Snapshots& snapshots,
                                              const std::map<std::string, NSError>& errors) = 0;
    virtual void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                                      const APMEDatabase::Snapshots& snapshots) = 0;
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
  public:
    using Snapshots = APMEDatabase::Snapshots;

    // Its own queue, alarm, network object and preferences suite, the
    // database in the measurement directory, and now as initialization time.
    static std::shared_ptr<APMETaskManager> init();
    static std::shared_ptr<APMETaskManager> initWithQueue(
        std::shared_ptr<DispatchQueue> queue, std::shared_ptr<APMAlarm> alarm,
        std::shared_ptr<DOZIvedidi> network, std::shared_ptr<APMConfigStore> persistedStorage,
        const std::string& databasePath, double initTimestamp);
    ~APMETaskManager();

    void startTaskManager();
    void activatePendingSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp);
    void resetToDefaultsForSDKName(const std::string& SDKName);
    void upsertPendingSnapshots(const Snapshots& snapshots);
    // Empties the database and the fetch time stamps, then schedules again.
    void reset();

    // On the worker queue.
    void startTaskManagerOnWorkerQueue();
    void fetchAllSnapshotsOnWorkerQueue();
    void scheduleFetchingExperimentsOnWorkerQueue();
    void fetchExperiments();
    void postponeFetchExperiments();
    // Deletes the stored rows of SDK names that no client registered, past
    // the newest few per table (once the clients have registered).
    void deleteSnapshotsOfUnregisteredSDKNamesOnWorkerQueue();
    void handleFetchingExperimentsResponse(const std::shared_ptr<NSHTTPURLResponse>& response,
                                           const std::optional<Data>& data,
                                           const std::optional<NSError>& error);
    // When the next fetch is due (seconds since 1970); 0 when the retries are
    // exhausted.
    double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);

    std::optional<Snapshots> experimentSnapshotsFromExperimentResponse(
        const APMPBExperimentResponse* response);
    std::optional<std::map<std::string, NSError>> errorsFromExperimentResponse(
        const APMPBExperimentResponse* response);
    std::optional<Snapshots> experimentSnapshotsFromData(const Data& data);

    void dispatchAsyncOnWorkerQueue(std::function<void()> block);
    // Logs (a monitored line) when called off the worker queue.
    bool checkOnWorkerQueue(const char* method) const;
    // An exception thrown by the block is logged and thrown again.
    void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

    void setDelegate(const std::shared_ptr<APMETaskManagerDelegate>& delegate) {
        delegate_ = delegate;
    }
    std::shared_ptr<APMETaskManagerDelegate> delegate() const { return delegate_.lock(); }
    bool hasMadeInitialFetch() const { return hasMadeInitialFetch_; }
    double initializationTimestamp() const { return initializationTimestamp_; }
    const std::shared_ptr<DispatchQueue>& workerQueue() const { return workerQueue_; }
    const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
    // Only on the worker queue.
    APMEDatabase* database() const { return database_.get(); }

  private:
    APMETaskManager() = default;
    void storeFailure(double now, bool backoff);

    std::shared_ptr<APMAlarm> alarm_;
    std::shared_ptr<DOZIvedidi> network_;
    std::shared_ptr<APMConfigStore> persistedStorage_;
    std::shared_ptr<DispatchQueue> workerQueue_;
    std::unique_ptr<APMEDatabase> database_;
    std::string databasePath_;
    bool hasMadeInitialFetch_ = false;
    std::weak_ptr<APMETaskManagerDelegate> delegate_;
    double initializationTimestamp_ = 0;
};
