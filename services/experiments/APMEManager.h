#pragma once
// The experiments manager and its client. A component of the library,
// identified by an SDK name, registers an SDK property with default flag
// values and receives an APMEClient through which it reads flags. Per SDK
// name the manager keeps up to three snapshots: pending (fetched, not yet
// in force), activated (in force) and launched (flags rolled out to
// everybody, experiment ID 0). A flag is answered from the activated
// snapshot, else the launched one, else the registered default; only flags
// registered with a default can be read.
//
// Every change of the manager's maps runs on its serial queue
// "APMEExperimentSerialQueue": registration, start and fetch notices and
// reset asynchronously; flag lookup, activation, status, reset to defaults,
// client lookup and experiment IDs synchronously, so those must not be
// called from that queue. New-snapshot notices reach a client's delegate on
// the delegate's queue (the main queue without one). Fetching, scheduling
// and storage are the task manager's (APMETaskManager).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/experiments/APMESDKProperty.h"
#include "services/experiments/APMESnapshot.h"
#include "services/experiments/APMETaskManager.h"
#include "services/measurement/APMMonitor.h"

class APMEClient;
class APMEManager;

// What a client's owner may answer; every member is optional.
struct APMEClientDelegate {
    std::function<void(APMEClient& client)> clientDidReceiveNewSnapshot;
    std::function<void(APMEClient& client, const NSError& error)> didReceiveFetchError;
    std::function<bool(APMEClient& client)> shouldFetchExperimentsForClient;
    // Where new-snapshot notices are delivered; null: the main queue.
    std::shared_ptr<DispatchQueue> queue;
};

class APMEClient : public std::enable_shared_from_this<APMEClient> {
  public:
    // Null (logged) without a property or without default flags.
    static std::shared_ptr<APMEClient> initWithSDKProperty(
        const std::shared_ptr<APMESDKProperty>& property,
        const std::optional<std::vector<APMPBFlagRef>>& defaultFlags,
        const std::weak_ptr<APMEManager>& manager);

    // Null for an empty name (logged).
    Value valueForFlag(const std::string& flagName);
    // Null for a key that is not a string (logged).
    Value objectForKeyedSubscript(const Value& key);
    bool activateLatestSnapshot(NSError* error = nullptr);
    bool hasStaleSnapshot();
    void resetToDefaults();

    std::string SDKName() const { return property_->name(); }
    std::vector<APMPBFlagRef> defaultFlags() const { return defaultFlags_; }
    const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return property_; }
    std::shared_ptr<APMEClientDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<APMEClientDelegate>& delegate) { delegate_ = delegate; }

  private:
    APMEClient() = default;

    std::shared_ptr<APMESDKProperty> property_;
    std::vector<APMPBFlagRef> defaultFlags_;
    std::weak_ptr<APMEManager> manager_;
    std::weak_ptr<APMEClientDelegate> delegate_;
};

class APMEManager : public APMETaskManagerDelegate,
                    public std::enable_shared_from_this<APMEManager> {
  public:
    // Activated snapshot status.
    static constexpr int kStatusFresh = 0;
    static constexpr int kStatusStale = 1;
    static constexpr int kStatusUnregistered = -1;
    static constexpr int kStatusNoSnapshot = -2;
    static constexpr double kStaleSnapshotAge = 259200;
    static constexpr const char* kVersionString = "10000000";

    // The engine's monitor: every log of the experiments client goes
    // through it, under the engine's debug switches.
    static APMMonitor& monitor();
    // Created once; its task manager is started at once.
    static std::shared_ptr<APMEManager> sharedInstance();
    // The version string without its last three characters; 0 when shorter
    // than 4 characters.
    static std::int64_t version();
    static std::int64_t versionFromString(const std::string& version);

    static std::shared_ptr<APMEManager> init();
    static std::shared_ptr<APMEManager> initWithTaskManager(
        const std::shared_ptr<APMETaskManager>& taskManager);

    // Null (logged) for a missing property, an empty name or a default that
    // is not a string or number. Registration completes on the serial queue
    // before any later call that goes through it.
    std::shared_ptr<APMEClient> registerSDKProperty(
        const std::shared_ptr<APMESDKProperty>& property, const Dictionary& defaultFlags);
    std::shared_ptr<APMEClient> clientForSDKName(const std::string& SDKName);
    Value flagValueForFlagName(const Value& flagName, const Value& SDKName);
    bool activateSnapshotOfSDK(const std::optional<std::string>& SDKName, NSError* error = nullptr);
    int activatedSnapshotStatusOfSDKName(const std::string& SDKName);
    void resetToDefaultsOfSDKName(const std::string& SDKName);
    void reset();
    std::vector<std::int64_t> experimentIDs();

    void dispatchAsyncOnSerialQueue(std::function<void()> block);
    void dispatchSyncOnSerialQueue(const std::function<void()>& block);

    bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
    void taskManagerDidStart(APMETaskManager& taskManager, const APMEDatabase::Snapshots& activated,
                             const APMEDatabase::Snapshots& pending,
                             const APMEDatabase::Snapshots& launched) override;
    void taskManagerDidFinishFetching(APMETaskManager& taskManager,
                                      const APMEDatabase::Snapshots& snapshots,
                                      const std::map<std::string, NSError>& errors) override;
    void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                              const APMEDatabase::Snapshots& snapshots) override;

    const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }
    const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
    // Copies of the maps, read on the serial queue (tests and the console).
    std::shared_ptr<APMESnapshot> activatedSnapshot(const std::string& SDKName);
    std::shared_ptr<APMESnapshot> pendingSnapshot(const std::string& SDKName);
    std::shared_ptr<APMESnapshot> launchedSnapshot(const std::string& SDKName);

  private:
    APMEManager() = default;
    using SnapshotMap = std::map<std::string, std::shared_ptr<APMESnapshot>>;
    std::map<std::string, std::shared_ptr<APMEClient>> registeredClients() const;
    std::shared_ptr<APMESnapshot> snapshotIn(SnapshotMap& map, const std::string& SDKName);

    // Changed only on the serial queue; the mutex lets the task manager's
    // queue read the registered clients.
    mutable std::mutex mutex_;
    SnapshotMap activatedSnapshotsBySDKName_;
    SnapshotMap pendingSnapshotsBySDKName_;
    SnapshotMap launchedSnapshotsBySDKName_;
    std::shared_ptr<APMETaskManager> taskManager_;
    std::map<std::string, std::shared_ptr<APMEClient>> registeredClientsBySDKName_;
    std::map<std::string, std::map<std::string, APMPBFlagRef>> defaultFlagsBySDKName_;
    std::shared_ptr<DispatchQueue> queue_;
};
