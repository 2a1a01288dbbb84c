#include "services/measurement/APMDatabase.h"

#include <filesystem>
#include <map>

#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMMeasurement.h"

namespace {

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

void fail(NSError* error, long long code, const std::string& description) {
    if (error) *error = apm_errorWithCode(code, description, "");
}

const APMColumnInfo& filterColumns(const char* nameColumn) {
    static std::map<std::string, APMColumnInfo> lists;
    auto& list = lists[nameColumn];
    if (list.empty()) {
        list = {{"audience_id", "INTEGER NOT NULL"},
                {"filter_id", "INTEGER NOT NULL"},
                {nameColumn, "TEXT NOT NULL"},
                {"data", "BLOB NOT NULL"},
                {"PRIMARY KEY", "(audience_id, filter_id)"}};
    }
    return list;
}

const std::map<std::string, APMColumnInfo>& elementaryColumns() {
    static const std::map<std::string, APMColumnInfo> tables{
        {"app_metadata",
         {{"last_bundle_index", "INTEGER NOT NULL"},
          {"last_bundle_end_timestamp", "REAL NOT NULL"}}},
        {"raw_events_metadata",
         {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}}},
        {"raw_events",
         {{"name", "TEXT NOT NULL"},
          {"timestamp", "INTEGER NOT NULL"},
          {"metadata_fingerprint", "INTEGER NOT NULL"},
          {"data", "BLOB NOT NULL"}}},
        {"events",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"lifetime_count", "INTEGER NOT NULL"},
          {"current_bundle_count", "INTEGER NOT NULL"},
          {"last_fire_timestamp", "REAL NOT NULL"}}},
        {"user_attributes",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"set_timestamp", "REAL NOT NULL"},
          {"value", "BLOB NOT NULL"}}},
        {"queue", {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}}},
        {"event_filters", filterColumns("event_name")},
        {"property_filters", filterColumns("property_name")},
        {"audience_filter_values",
         {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
          {"current_results", "BLOB"},
          {"previous_results", "BLOB"}}},
        {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}},
        {"subscriptions", {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}},
        {"conditional_properties",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"origin", "TEXT NOT NULL"},
          {"value", "BLOB NOT NULL"},
          {"creation_timestamp", "REAL NOT NULL"},
          {"active", "INTEGER NOT NULL"},
          {"trigger_timeout", "REAL NOT NULL"},
          {"triggered_timestamp", "REAL NOT NULL"},
          {"time_to_live", "REAL NOT NULL"},
          {"trigger_event_name", "TEXT"},
          {"timed_out_event", "BLOB"},
          {"triggered_event", "BLOB"},
          {"expired_event", "BLOB"}}},
        {"main_event_params",
         {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
          {"children_to_process", "INTEGER NOT NULL"},
          {"main_event", "BLOB NOT NULL"}}},
    };
    return tables;
}

const std::map<std::string, APMColumnInfo>& addOnColumns() {
    static const std::map<std::string, APMColumnInfo> tables{
        {"app_metadata",
         {{"last_bundle_start_timestamp", "REAL"},
          {"day", "INTEGER"},
          {"daily_conversions_count", "INTEGER"},
          {"daily_events_count", "INTEGER"},
          {"daily_public_events_count", "INTEGER"},
          {"daily_error_events_count", "INTEGER"},
          {"remote_config_data", "BLOB"},
          {"remote_config_timestamp", "REAL"},
          {"daily_real_time_conversion_events_count", "INTEGER"}}},
        {"events",
         {{"last_bundled_timestamp", "REAL"},
          {"last_sampled_complex_event_id", "INTEGER"},
          {"last_sampling_rate", "INTEGER"},
          {"last_exempt_from_sampling", "INTEGER"},
          {"last_bundled_day", "INTEGER"},
          {"current_session_count", "INTEGER"}}},
        {"queue", {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}}},
        {"raw_events", {{"is_realtime", "INTEGER"}}},
        {"user_attributes", {{"origin", "TEXT"}}},
        {"event_filters", {{"session_scoped", "INTEGER"}}},
        {"property_filters", {{"session_scoped", "INTEGER"}}},
    };
    return tables;
}

const std::map<std::string, std::map<std::string, std::string>>& modifiedColumns() {
    static const std::map<std::string, std::map<std::string, std::string>> tables{
        {"raw_events", {{"timestamp", "REAL NOT NULL"}}}};
    return tables;
}

}  // namespace

std::unique_ptr<APMDatabase> APMDatabase::initWithDatabaseName(
    const std::string& name, std::shared_ptr<APMPersistedConfig> persistedConfig, NSError* error,
    int busyTimeoutMilliseconds) {
    if (name.empty()) {
        fail(error, 1, "Received empty database name in init");
        return nullptr;
    }
    std::unique_ptr<APMDatabase> database(new APMDatabase());
    database->busyTimeoutMilliseconds_ = busyTimeoutMilliseconds;
    if (!database->initializeDatabaseResources("Init", APMMeasurementDirectoryPath(name), error)) {
        return nullptr;
    }
    database->persistedConfig_ = std::move(persistedConfig);
    return database;
}

bool APMDatabase::reset(NSError* error) {
    const std::string path = store_->databasePath();
    if (!store_->closeAndDeleteDatabase()) {
        fail(error, 2, "Failed to delete database data");
        return false;
    }
    return initializeDatabaseResources("Reset", path, error);
}

bool APMDatabase::initializeDatabaseResources(const std::string& context, const std::string& path,
                                              NSError* error) {
    // Set when a damaged file was made anew: still reported to the caller.
    NSError openError;
    // A second round only after a damaged file was set aside.
    for (int attempt = 0; attempt < 2; ++attempt) {
        NSError attemptError;
        auto store =
            APMSqliteStore::initWithDatabasePath(path, &attemptError, busyTimeoutMilliseconds_);
        if (!store) {
            if (error) *error = attemptError;
            return false;
        }
        if (!attemptError.domain.empty()) openError = attemptError;
        store_ = std::move(store);
        NSError tablesError;
        if (ensureAllTables(&tablesError)) break;
        monitor().logWithLevel(
            1, 12002, "Failed to create or validate required database tables (" + context + ")");
        if (error) *error = tablesError;
        if (attempt > 0 || !store_->lastFailureIsDamage()) {
            store_->closeDatabase();
            return false;
        }
        if (!store_->setAsideDamagedDatabase(tablesError.localizedDescription())) {
            monitor().logWithLevel(
                4, 12003,
                "Failed to delete old database file after failed validation. Error (" + context +
                    ")",
                Value(tablesError.localizedDescription()));
            return false;
        }
        openError = tablesError;
    }
    if (!initializeAppMetadata()) {
        monitor().logWithLevel(1, 12004,
                               "Failed to initialize App Metadata table (" + context + ")");
        return false;
    }
    if (error) *error = openError;
    return true;
}

bool APMDatabase::ensureAllTables(NSError* failure) {
    static const std::map<std::string, std::string> none;
    for (const auto& [table, elementary] : elementaryColumns()) {
        auto addOn = addOnColumns().find(table);
        auto modify = modifiedColumns().find(table);
        NSError error;
        if (!store_->ensureTable(
                table, elementary, addOn == addOnColumns().end() ? APMColumnInfo{} : addOn->second,
                modify == modifiedColumns().end() ? none : modify->second, &error)) {
            monitor().logWithLevel(1, 12047, "Failed to ensure table. Table, error", Value(table),
                                   Value(error.localizedDescription()));
            if (failure) *failure = error;
            return false;
        }
    }
    return true;
}

bool APMDatabase::performTransaction(const std::function<bool()>& block) {
    NSError error;
    if (!store_->performTransaction(&error, block)) {
        monitor().logWithLevel(1, 12056, "Transaction failed. " + error.localizedDescription());
        return false;
    }
    return true;
}

std::optional<APMAppMetadata> APMDatabase::queryAppMetadata(NSError* error) {
    auto rows = store_->recordsForQuery("SELECT rowid, * FROM app_metadata WHERE rowid = ?",
                                        Array{Value(1)}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const Dictionary& row = rows->front();
    return APMAppMetadata(static_cast<int32_t>(row["last_bundle_index"].asInt().value_or(0)),
                          row["last_bundle_start_timestamp"].asDouble().value_or(0),
                          row["last_bundle_end_timestamp"].asDouble().value_or(0));
}

bool APMDatabase::upsertDataType(const Dictionary& record, const std::string& table,
                                 const std::string& column, const Value& value, int64_t tableLimit,
                                 NSError* error) {
    if (record.empty()) {
        fail(error, 1, "Received empty data type to upsert");
        return false;
    }
    if (table.empty()) {
        fail(error, 1, "Received empty table name for checking upsert");
        return false;
    }
    auto existing = store_->rowCount(table, column, value, error);
    if (!existing) return false;
    if (*existing == 0) {
        auto total = store_->rowCount(table, error);
        if (!total) return false;
        if (*total >= tableLimit) {
            fail(error, 2, "Failed to insert data type. Table is full");
            return false;
        }
    }
    return store_->upsertRecord(record, table, error);
}

bool APMDatabase::initializeAppMetadata() {
    return performTransaction([&] {
        NSError error;
        auto metadata = queryAppMetadata(&error);
        if (!metadata && !error.domain.empty()) {
            monitor().logWithLevel(1, 12005, "Failed to query app metadata");
            return false;
        }
        if (metadata) return true;
        const Dictionary record{{"rowid", 1},
                                {"last_bundle_index", 0},
                                {"last_bundle_start_timestamp", 0.0},
                                {"last_bundle_end_timestamp", 0.0}};
        if (!upsertDataType(record, "app_metadata", "rowid", Value("1"), 1, &error)) {
            monitor().logWithLevel(1, 12006, "Unable to update the app metadata. Error",
                                   Value(error.localizedDescription()));
            return false;
        }
        return true;
    });
}

std::optional<APMDailyCounts> APMDatabase::dailyCounts(int32_t currentDay, NSError* error) {
    auto rows = store_->recordsForQuery("SELECT rowid, * FROM app_metadata WHERE rowid = ?",
                                        Array{Value(1)}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const Dictionary& row = rows->front();
    auto count = [&](const char* column) {
        return static_cast<int32_t>(row[column].asInt().value_or(0));
    };
    return APMDailyCounts(row["day"].isNumber() ? count("day") : currentDay,
                          count("daily_conversions_count"), count("daily_events_count"),
                          count("daily_public_events_count"), count("daily_error_events_count"),
                          count("daily_real_time_conversion_events_count"));
}

bool APMDatabase::updateDailyCounts(const APMDailyCounts& counts, NSError* error) {
    auto existing = store_->rowCount("app_metadata", "rowid", Value(1), error);
    if (!existing) return false;
    if (*existing == 0) {
        fail(error, 2, "Failed to update record. Item doesn't exist");
        return false;
    }
    return store_->updateRecord(
        Dictionary{{"day", counts.day()},
                   {"daily_conversions_count", counts.conversionsCount()},
                   {"daily_events_count", counts.allEventsCount()},
                   {"daily_public_events_count", counts.publicEventsCount()},
                   {"daily_error_events_count", counts.errorEventsCount()},
                   {"daily_real_time_conversion_events_count", counts.realtimeCount()}},
        "app_metadata", "rowid", Value(1), error);
}

namespace {

bool updateMetadataRow(APMSqliteStore& store, const Dictionary& record, NSError* error) {
    auto existing = store.rowCount("app_metadata", "rowid", Value(1), error);
    if (!existing) return false;
    if (*existing == 0) {
        if (error) *error = apm_errorWithCode(2, "Failed to update record. Item doesn't exist", "");
        return false;
    }
    return store.updateRecord(record, "app_metadata", "rowid", Value(1), error);
}

std::optional<bool> insertIfNew(APMSqliteStore& store, const std::string& table,
                                const std::string& column, const std::string& key, NSError* error) {
    if (key.empty()) return false;
    auto exists = store.numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM " + table + " WHERE " + column + " = ? LIMIT 1)",
        Array{Value(key)}, error);
    if (!exists) return std::nullopt;
    if (exists->asInt().value_or(0) != 0) return false;
    if (!store.upsertRecord(Dictionary{{column, key}}, table, error)) return std::nullopt;
    return true;
}

}  // namespace

bool APMDatabase::updateAppMetadata(const APMAppMetadata& metadata, NSError* error) {
    return updateMetadataRow(
        *store_,
        Dictionary{{"rowid", 1},
                   {"last_bundle_index", metadata.lastBundleIndex()},
                   {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
                   {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}},
        error);
}

bool APMDatabase::updateRemoteConfig(const APMPBMeasurementConfig& config, double now,
                                     NSError* error) {
    auto bytes = config.protoBuffer();
    if (!bytes || bytes->empty()) {
        fail(error, 1, "Invalid measurement config data");
        return false;
    }
    if (APMPBGetString(&config, 1).value_or("").empty()) {
        fail(error, 1, "Missing Zevera app ID in measurement configuration");
        return false;
    }
    return updateMetadataRow(
        *store_, Dictionary{{"remote_config_data", *bytes}, {"remote_config_timestamp", now}},
        error);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, NSError* error) {
    return updateMetadataRow(*store_, Dictionary{{"remote_config_timestamp", timestamp}}, error);
}

std::shared_ptr<APMPBMeasurementConfig> APMDatabase::queryMeasurementConfig(NSError* error) {
    auto rows =
        store_->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
    if (!rows || rows->empty()) return nullptr;
    const Data* bytes = rows->front()["remote_config_data"].asData();
    if (!bytes || bytes->empty()) return nullptr;
    auto config = APMPBMeasurementConfig::initWithBuffer(*bytes);
    if (!config) fail(error, 2, "Remote config data is corrupted");
    return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(NSError* error) {
    auto number = store_->numberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1",
                                         {}, error);
    if (!number) return std::nullopt;
    return number->asDouble();
}

std::optional<bool> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(
    const std::string& fingerprint, NSError* error) {
    auto inserted =
        insertIfNew(*store_, "purchase_transactions", "fingerprint", fingerprint, error);
    if (!inserted || !*inserted) return inserted;
    if (!store_->deleteRecords(
            "purchase_transactions",
            "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 "
            "OFFSET ?)",
            Array{Value(1000)}, error)) {
        return std::nullopt;
    }
    return true;
}

std::optional<bool> APMDatabase::insertIfNotDuplicateSubscriptionID(
    const std::string& subscriptionID, NSError* error) {
    return insertIfNew(*store_, "subscriptions", "subscription_id", subscriptionID, error);
}

bool APMDatabase::deleteSubscriptionsOverLimit(NSError* error) {
    return store_
        ->deleteRecords(
            "subscriptions",
            "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
            Array{Value(1000)}, error)
        .has_value();
}
