#pragma once
// The experiments database: a SQLite file of its own beside the measurement
// database, with one table per kind of snapshot (pending, activated,
// launched), one row per SDK name. Activation splits a pending snapshot into
// its activated and launched parts exactly as the manager does in memory
// (APMESnapshotActivation), so that what is loaded at the next start equals
// what was in force. Not thread-safe: only the task manager's worker queue
// uses it. Failures are logged and answered with NO or nullopt.

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/experiments/APMESnapshot.h"
#include "services/measurement/APMSqliteStore.h"

inline constexpr const char* kAPMEDatabaseFileName = "zevera_experimentation_database.sql";
inline constexpr const char* kAPMEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kAPMEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kAPMELaunchedSnapshotTable = "launched_snapshot_table";
// An activated snapshot this old is stale.
inline constexpr double kAPMEStaleSnapshotAge = 259200;
// The rows of SDK names that are not registered each table keeps, the
// newest: room for an SDK that registers late, and few enough to load at
// every start.
inline constexpr long kAPMEMaxUnregisteredSnapshotRows = 100;

// What activating a pending snapshot puts in force: the experiments with a
// non-zero ID that set flags (possibly none), and the launched experiment
// (ID 0) when there is one; both time-stamped with the activation time.
struct APMESnapshotActivation {
    std::shared_ptr<APMESnapshot> activated;
    std::shared_ptr<APMESnapshot> launched;

    static APMESnapshotActivation fromPendingSnapshot(const APMESnapshot& pending,
                                                      double timestamp);
};

class APMEDatabase {
  public:
    // <measurement directory>/zevera_experimentation_database.sql, or ""
    // when there is no such directory.
    static std::string defaultPath();

    // Null (logged) when the path is absent or empty, or when the file
    // cannot be opened or its tables validated (the file is then deleted).
    static std::unique_ptr<APMEDatabase> initWithPath(const std::optional<std::string>& path);

    bool initializeDatabaseResourcesWithContext(const std::string& context,
                                                const std::string& databasePath);
    bool ensureAllTables();
    // Deletes the file and creates it afresh.
    void reset();
    // One exclusive transaction, committed when the block answers YES.
    bool performTransaction(const std::function<bool()>& block);

    using Snapshots = std::vector<std::shared_ptr<APMESnapshot>>;
    std::optional<Snapshots> fetchAllActivatedSnapshots(NSError* error = nullptr);
    std::optional<Snapshots> fetchAllPendingSnapshots(NSError* error = nullptr);
    std::optional<Snapshots> fetchAllLaunchedSnapshots(NSError* error = nullptr);

    bool upsertPendingExperimentSnapshots(const Snapshots& snapshots, NSError* error = nullptr);
    bool activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp,
                          NSError* error = nullptr);
    // Activates, in row order and each with its own time stamp, the pending
    // snapshots that no client activates by hand.
    bool activatePendingSnapshotsAutomatically(NSError* error = nullptr);
    bool deleteStaleActivatedSnapshots(NSError* error = nullptr);
    bool deleteActivatedExperimentsOfSDKName(const std::string& SDKName, NSError* error = nullptr);
    bool deletePendingExperimentsOfSDKName(const std::string& SDKName, NSError* error = nullptr);
    bool deleteLaunchedExperimentSDKName(const std::string& SDKName, NSError* error = nullptr);
    // Deletes from every table the rows of names not in `registered`, except
    // the newest kAPMEMaxUnregisteredSnapshotRows of them per table; answers
    // how many rows went, nullopt on failure.
    std::optional<long long> deleteSnapshotsOfUnregisteredSDKNames(
        const std::set<std::string>& registered, NSError* error = nullptr);

    bool upsertSnapshot(const APMPBSnapshot& snapshot, const std::string& table, double timestamp,
                        const std::optional<Value>& manuallyActivated, NSError* error = nullptr);
    std::optional<std::vector<Dictionary>> allDataTypesFromTableWithName(const std::string& table,
                                                                         long limit,
                                                                         NSError* error = nullptr);
    bool deleteExperimentsOfSDKName(const std::string& SDKName, const std::string& table,
                                    NSError* error = nullptr);

    APMSqliteStore* sqliteStore() const { return sqliteStore_.get(); }

  private:
    APMEDatabase() = default;
    std::optional<Snapshots> fetchAll(const std::string& table, NSError* error);
    bool writeActivation(const std::string& SDKName, const APMESnapshot& pending, double timestamp,
                         NSError* error);

    std::unique_ptr<APMSqliteStore> sqliteStore_;
};
