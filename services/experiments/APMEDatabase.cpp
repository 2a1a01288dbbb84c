#include "services/experiments/APMEDatabase.h"

#include "platform/dispatch/Clock.h"
#include "services/experiments/APMEManager.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMMeasurement.h"

namespace {

constexpr long kFetchLimit = 100000;
constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";

APMMonitor& monitor() {
    return APMEManager::monitor();
}

Value describe(const NSError& error) {
    return Value(error.localizedDescription());
}

void setError(NSError* error, long long code, const std::string& description) {
    if (error) *error = apm_errorWithCode(code, description, "");
}

std::shared_ptr<APMESnapshot> snapshotFromRecord(const Dictionary& record) {
    const Data* bytes = record[kSnapshotColumn].asData();
    if (!bytes) return nullptr;
    auto message = APMPBSnapshot::initWithBuffer(*bytes);
    if (!message) return nullptr;
    auto snapshot = APMESnapshot::initWithProtobuf(message.get());
    if (!snapshot) return nullptr;
    if (auto timestamp = record[kTimestampColumn].asDouble()) snapshot->setTimestamp(*timestamp);
    const Value& manual = record[kManuallyActivatedColumn];
    if (manual.isNumber() || manual.isBool()) {
        snapshot->setManuallyActivated(manual.asInt().value_or(0) != 0);
    }
    return snapshot;
}

}  // namespace

APMESnapshotActivation APMESnapshotActivation::fromPendingSnapshot(const APMESnapshot& pending,
                                                                   double timestamp) {
    APMESnapshotActivation result;
    result.activated = APMESnapshot::initWithSDKName(
        Value(pending.SDKName()), std::vector<std::shared_ptr<APMEExperiment>>{});
    if (!result.activated) return result;
    result.activated->setTimestamp(timestamp);
    for (const auto& experiment : pending.experiments()) {
        if (experiment->experimentID() != 0) {
            result.activated->addFlags(experiment->flags(), experiment->experimentID());
        } else {
            result.launched = APMESnapshot::initWithSDKName(
                Value(pending.SDKName()), std::vector<std::shared_ptr<APMEExperiment>>{experiment});
            if (result.launched) result.launched->setTimestamp(timestamp);
        }
    }
    return result;
}

std::string APMEDatabase::defaultPath() {
    return APMMeasurementDirectoryPath(kAPMEDatabaseFileName);
}

std::unique_ptr<APMEDatabase> APMEDatabase::initWithPath(const std::optional<std::string>& path) {
    if (!path || path->empty()) {
        monitor().logWithLevel(1, 810000, "Cannot initialize the database with invalid path");
        return nullptr;
    }
    std::unique_ptr<APMEDatabase> database(new APMEDatabase());
    if (!database->initializeDatabaseResourcesWithContext("Init", *path)) return nullptr;
    return database;
}

bool APMEDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                          const std::string& databasePath) {
    NSError error;
    sqliteStore_ = APMSqliteStore::initWithDatabasePath(databasePath, &error);
    if (!sqliteStore_) {
        monitor().logWithLevel(1, 810001, "Failed to open database (" + context + ")",
                               describe(error));
        return false;
    }
    if (!ensureAllTables()) {
        monitor().logWithLevel(
            1, 810002, "Failed to create or validate required database tables (" + context + ")");
        sqliteStore_->closeDatabase();
        NSError removeError;
        if (!APMRemoveFileAtPath(databasePath, &removeError) && !removeError.domain.empty()) {
            monitor().logWithLevel(
                4, 810003,
                "Failed to delete old database file after failed validation. Error (" + context +
                    ")",
                describe(removeError));
        }
        sqliteStore_.reset();
        return false;
    }
    return true;
}

bool APMEDatabase::ensureAllTables() {
    if (!sqliteStore_) return false;
    const APMColumnInfo columns = {{kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
                                   {kSnapshotColumn, "BLOB NOT NULL"},
                                   {kTimestampColumn, "REAL NOT NULL"},
                                   {kManuallyActivatedColumn, "INTEGER"}};
    for (const char* table :
         {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
        NSError error;
        if (!sqliteStore_->ensureTable(table, columns, {}, {}, &error)) {
            monitor().logWithLevel(1, 810004, "Failed to ensure table. Table, error", Value(table),
                                   describe(error));
            return false;
        }
    }
    return true;
}

void APMEDatabase::reset() {
    if (!sqliteStore_) return;
    const std::string path = sqliteStore_->databasePath();
    if (!sqliteStore_->closeAndDeleteDatabase()) {
        monitor().logWithLevel(4, 810005, "Failed to delete database data");
    }
    sqliteStore_.reset();
    if (!initializeDatabaseResourcesWithContext("Reset", path)) {
        monitor().logWithLevel(1, 810006, "Cannot re-initialize the database");
    }
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
    if (!sqliteStore_) return false;
    NSError error;
    if (!sqliteStore_->performTransaction(&error, block)) {
        monitor().logWithLevel(1, 810007, "Transaction failed. " + error.localizedDescription());
        return false;
    }
    return true;
}

std::optional<std::vector<Dictionary>> APMEDatabase::allDataTypesFromTableWithName(
    const std::string& table, long limit, NSError* error) {
    if (!sqliteStore_) return std::nullopt;
    return sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(limit), {},
        error);
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAll(const std::string& table,
                                                              NSError* error) {
    auto records = allDataTypesFromTableWithName(table, kFetchLimit, error);
    if (!records) return std::nullopt;
    Snapshots snapshots;
    for (const auto& record : *records) {
        auto snapshot = snapshotFromRecord(record);
        if (!snapshot) return std::nullopt;
        snapshots.push_back(std::move(snapshot));
    }
    return snapshots;
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllActivatedSnapshots(NSError* error) {
    return fetchAll(kAPMEActivatedSnapshotTable, error);
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllPendingSnapshots(NSError* error) {
    return fetchAll(kAPMEPendingSnapshotTable, error);
}

std::optional<APMEDatabase::Snapshots> APMEDatabase::fetchAllLaunchedSnapshots(NSError* error) {
    return fetchAll(kAPMELaunchedSnapshotTable, error);
}

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot& snapshot, const std::string& table,
                                  double timestamp, const std::optional<Value>& manuallyActivated,
                                  NSError* error) {
    if (!sqliteStore_) return false;
    auto bytes = snapshot.protoBuffer();
    if (!bytes) return false;
    Dictionary record;
    record.set(kSDKNameColumn,
               Value(APMPBGetString(&snapshot, kAPMPBSnapshotSDKName).value_or("")));
    record.set(kTimestampColumn, Value(timestamp));
    record.set(kSnapshotColumn, Value(*bytes));
    if (manuallyActivated) record.set(kManuallyActivatedColumn, *manuallyActivated);
    return sqliteStore_->upsertRecord(record, table, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const Snapshots& snapshots, NSError* error) {
    for (const auto& snapshot : snapshots) {
        if (!snapshot) return false;
        if (!upsertSnapshot(*snapshot->proto(), kAPMEPendingSnapshotTable, snapshot->timestamp(),
                            Value(snapshot->manuallyActivated()), error)) {
            return false;
        }
    }
    return true;
}

bool APMEDatabase::writeActivation(const std::string& SDKName, const APMESnapshot& pending,
                                   double timestamp, NSError* error) {
    auto activation = APMESnapshotActivation::fromPendingSnapshot(pending, timestamp);
    if (!activation.activated) return false;
    if (activation.launched &&
        !upsertSnapshot(*activation.launched->proto(), kAPMELaunchedSnapshotTable, timestamp,
                        std::nullopt, error)) {
        return false;
    }
    // Written also when empty: the manager puts an empty snapshot in force
    // then, and the next start must load the same.
    if (!upsertSnapshot(*activation.activated->proto(), kAPMEActivatedSnapshotTable, timestamp,
                        std::nullopt, error)) {
        return false;
    }
    return sqliteStore_
        ->deleteRecords(kAPMEPendingSnapshotTable,
                        std::string(kSDKNameColumn) + " = ? AND " + kTimestampColumn + " <= ?",
                        Array{Value(SDKName), Value(timestamp)}, error)
        .has_value();
}

bool APMEDatabase::activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp,
                                    NSError* error) {
    if (!snapshot) {
        setError(error, 1, "Received nil pending snapshot");
        return false;
    }
    if (!sqliteStore_) return false;
    return writeActivation(snapshot->SDKName(), *snapshot, timestamp, error);
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(NSError* error) {
    if (!sqliteStore_) return false;
    auto records = sqliteStore_->recordsForQuery(
        std::string("SELECT rowid,* FROM ") + kAPMEPendingSnapshotTable + " WHERE NOT " +
            kManuallyActivatedColumn + " = ? ORDER BY rowid",
        Array{Value(true)}, error);
    if (!records) return false;
    for (const auto& record : *records) {
        auto snapshot = snapshotFromRecord(record);
        if (!snapshot) {
            setError(error, 2, "Received an invalid snapshot from database");
            return false;
        }
        if (!writeActivation(snapshot->SDKName(), *snapshot, snapshot->timestamp(), error)) {
            return false;
        }
        if (!sqliteStore_->deleteRecord(kAPMEPendingSnapshotTable, kSDKNameColumn,
                                        record[kSDKNameColumn], error)) {
            return false;
        }
    }
    return true;
}

bool APMEDatabase::deleteStaleActivatedSnapshots(NSError* error) {
    if (!sqliteStore_) return false;
    return sqliteStore_
        ->deleteRecords(kAPMEActivatedSnapshotTable, std::string(kTimestampColumn) + " <= ?",
                        Array{Value(sim::wallClockSeconds() - kAPMEStaleSnapshotAge)}, error)
        .has_value();
}

bool APMEDatabase::deleteExperimentsOfSDKName(const std::string& SDKName, const std::string& table,
                                              NSError* error) {
    if (!sqliteStore_) return false;
    return sqliteStore_->deleteRecord(table, kSDKNameColumn, Value(SDKName), error);
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& SDKName, NSError* error) {
    if (SDKName.empty()) {
        setError(error, 1, "Received empty SDK Name");
        return false;
    }
    return deleteExperimentsOfSDKName(SDKName, kAPMEActivatedSnapshotTable, error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(const std::string& SDKName, NSError* error) {
    return deleteExperimentsOfSDKName(SDKName, kAPMEPendingSnapshotTable, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(const std::string& SDKName, NSError* error) {
    return deleteExperimentsOfSDKName(SDKName, kAPMELaunchedSnapshotTable, error);
}

std::optional<long long> APMEDatabase::deleteSnapshotsOfUnregisteredSDKNames(
    const std::set<std::string>& registered, NSError* error) {
    if (!sqliteStore_) return std::nullopt;
    std::string placeholders;
    Array names;
    for (const auto& name : registered) {
        placeholders += placeholders.empty() ? "?" : ", ?";
        names.push_back(Value(name));
    }
    const std::string unregistered = std::string(kSDKNameColumn) + " NOT IN (" + placeholders + ")";
    Array parameters = names;
    parameters.insert(parameters.end(), names.begin(), names.end());
    long long deleted = 0;
    for (const char* table :
         {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
        const auto count = sqliteStore_->deleteRecords(
            table,
            unregistered + " AND rowid NOT IN (SELECT rowid FROM " + table + " WHERE " +
                unregistered + " ORDER BY " + kTimestampColumn + " DESC, rowid DESC LIMIT " +
                std::to_string(kAPMEMaxUnregisteredSnapshotRows) + ")",
            parameters, error);
        if (!count) return std::nullopt;
        deleted += *count;
    }
    return deleted;
}
