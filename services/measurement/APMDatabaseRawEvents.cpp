#include <cmath>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMMeasurement.h"

namespace {

constexpr int64_t kMaxMetadataRows = 100000;
constexpr int64_t kRawEventsPerRead = 1000;

void fail(NSError* error, long long code, const std::string& description) {
    if (error) *error = apm_errorWithCode(code, description, "");
}

std::optional<bool> boolQuery(APMSqliteStore& store, const std::string& sql, const Array& params,
                              NSError* error) {
    auto number = store.numberForQuery(sql, params, error);
    if (!number) return std::nullopt;
    return number->asInt().value_or(0) != 0;
}

}  // namespace

int64_t APMDatabase::metadataFingerprint(const APMPBMeasurementBundle& metadata) {
    return apm_64LSBMD5(metadata.protoBuffer().value_or(Data{}));
}

bool APMDatabase::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                                    NSError* error) {
    auto bytes = metadata.protoBuffer();
    if (!bytes || bytes->empty()) {
        fail(error, 3,
             "Received empty measurement bundle metadata for getting dictionary "
             "representation");
        return false;
    }
    const Value fingerprint(static_cast<long long>(apm_64LSBMD5(*bytes)));
    auto existing =
        store_->rowCount("raw_events_metadata", "metadata_fingerprint", fingerprint, error);
    if (!existing) return false;
    if (*existing > 0) return true;
    return upsertDataType(Dictionary{{"metadata_fingerprint", fingerprint}, {"metadata", *bytes}},
                          "raw_events_metadata", "metadata_fingerprint", fingerprint,
                          kMaxMetadataRows, error);
}

std::shared_ptr<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(
    int64_t fingerprint, NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM raw_events_metadata WHERE metadata_fingerprint = ?",
        Array{Value(static_cast<long long>(fingerprint))}, error);
    if (!rows) return nullptr;
    if (rows->empty()) {
        fail(error, 3, "Received empty dictionary for getting measurement bundle");
        return nullptr;
    }
    const Data* bytes = rows->front()["metadata"].asData();
    if (!bytes || bytes->empty()) {
        fail(error, 3, "Event metadata should not be empty for getting measurement bundle");
        return nullptr;
    }
    return APMPBMeasurementBundle::initWithBuffer(*bytes);
}

bool APMDatabase::deleteUnusedRawEventsMetadata(NSError* error) {
    return store_
        ->deleteRecords("raw_events_metadata",
                        "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM "
                        "raw_events)",
                        {}, error)
        .has_value();
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                                NSError* error) {
    return store_
        ->deleteRecords("raw_events_metadata", "metadata_fingerprint = ?",
                        Array{Value(static_cast<long long>(fingerprint))}, error)
        .has_value();
}

bool APMDatabase::insertRawEvent(const APMEvent& event, int64_t metadataFingerprint,
                                 bool isRealtime, NSError* error) {
    auto bytes = event.encodedProtoEvent(false);  // the name has a column of its own
    if (!bytes) {
        fail(error, 1, "Received empty event for inserting in the database");
        return false;
    }
    return store_->upsertRecord(
        Dictionary{{"name", event.name()},
                   {"timestamp", event.timestamp()},
                   {"metadata_fingerprint", static_cast<long long>(metadataFingerprint)},
                   {"data", Value(std::move(*bytes))},
                   {"is_realtime", isRealtime ? 1 : 0}},
        "raw_events", error);
}

std::optional<bool> APMDatabase::isRawEventsTableEmpty(NSError* error) {
    return boolQuery(*store_, "SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

std::optional<double> APMDatabase::queryLatestRawEventTime(NSError* error) {
    auto number = store_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error);
    if (!number) return std::nullopt;
    return number->asDouble();
}

std::optional<bool> APMDatabase::containsRealtimeRawEvents(NSError* error) {
    return boolQuery(*store_,
                     "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {},
                     error);
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                                         NSError* error) {
    return boolQuery(
        *store_, "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
        Array{Value(static_cast<long long>(fingerprint))}, error);
}

std::optional<int64_t> APMDatabase::nextMetadataFingerprintToProcess(NSError* error) {
    auto rows = store_->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events",
                                        {}, error);
    if (!rows) return std::nullopt;
    if (rows->size() != 1) {
        fail(error, 2, "Only one event metadata should be processed");
        return std::nullopt;
    }
    return rows->front()["metadata_fingerprint"].asInt();
}

std::optional<APMRawEventData> APMDatabase::rawEventDataFromDictionary(const Dictionary& row,
                                                                       NSError* error) {
    if (row.empty()) {
        fail(error, 1, "Received empty dictionary for getting raw event data");
        return std::nullopt;
    }
    struct Required {
        const char* column;
        const char* message;
    } required[] = {
        {"rowid", "Unable to find row ID in the database dictionary"},
        {"data", "Unable to find event data in the database dictionary"},
        {"metadata_fingerprint", "Unable to find event metadata in the database dictionary"}};
    for (const auto& r : required) {
        if (row[r.column].isNull()) {
            fail(error, 1, r.message);
            return std::nullopt;
        }
    }
    auto proto = row["data"].asData() ? APMPBEvent::initWithBuffer(*row["data"].asData()) : nullptr;
    if (!proto) {
        fail(error, 3, "Failed to parse event from data");
        return std::nullopt;
    }
    const double previous = APMPBHasField(proto.get(), 3)
                                ? static_cast<double>(APMPBGetInt64(proto.get(), 3)) / 1000.0
                                : 0.0;
    std::optional<std::string> origin;
    APMRawParameters parameters;
    auto params = APMPBGetArray(proto.get(), 0, APMPBEventParam::classObject());
    for (const auto& object : params.value_or(std::vector<APMPBObject>{})) {
        const APMPBMessage* param = object.message().get();
        if (param && APMPBGetString(param, 0) == "_o") {
            origin = APMPBGetString(param, 1);
            if (!origin) {
                fail(error, 2,
                     "Cannot create an event from database. Origin parameter is not a string");
                return std::nullopt;
            }
            continue;
        }
        auto converted = parametersFromEventParam(param, false);
        if (!converted) {
            fail(error, 2, "Failed to parse event params from data");
            return std::nullopt;
        }
        for (auto& [name, value] : *converted) parameters.insert_or_assign(name, std::move(value));
    }
    if (!origin) {
        fail(error, 2, "Cannot create an event from database. Missing origin parameter");
        return std::nullopt;
    }
    auto event =
        APMEvent::initWithOrigin(*origin, false, row["name"].asString().value_or(""),
                                 row["timestamp"].asDouble().value_or(0), previous, parameters);
    auto data = APMRawEventData::initWithRawEvent(event, row["rowid"].asInt().value_or(-1),
                                                  row["metadata_fingerprint"].asInt().value_or(0));
    if (!data) fail(error, 2, "Failed to initialize raw event data from dictionary");
    return data;
}

std::optional<std::vector<APMRawEventData>> APMDatabase::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, NSError* error, const APMSqliteStore::RecordFilter& filter) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
        Array{Value(static_cast<long long>(fingerprint)),
              Value(static_cast<long long>(kRawEventsPerRead))},
        error, filter);
    if (!rows) return std::nullopt;
    std::vector<APMRawEventData> events;
    for (const auto& row : *rows) {
        if (auto data = rawEventDataFromDictionary(row)) events.push_back(std::move(*data));
    }
    if (!rows->empty() && events.empty()) return std::nullopt;
    return events;
}

std::optional<std::vector<APMRawEventData>> APMDatabase::rawEventsAfterRowID(int64_t rowID,
                                                                             NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM raw_events WHERE rowid > ? ORDER BY rowid ASC",
        Array{Value(static_cast<long long>(rowID))}, error);
    if (!rows) return std::nullopt;
    std::vector<APMRawEventData> events;
    events.reserve(rows->size());
    for (const auto& row : *rows) {
        if (auto data = rawEventDataFromDictionary(row)) events.push_back(std::move(*data));
    }
    return events;
}

std::optional<int64_t> APMDatabase::latestRawEventRowID(NSError* error) {
    NSError failure;
    auto number = store_->numberForQuery("SELECT max(rowid) FROM raw_events", {}, &failure);
    if (!failure.domain.empty()) {
        if (error) *error = failure;
        return std::nullopt;
    }
    return number ? number->asInt().value_or(0) : 0;
}

bool APMDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, NSError* error) {
    return store_
        ->deleteRecords("raw_events", "rowid <= ?", Array{Value(static_cast<long long>(rowID))},
                        error)
        .has_value();
}

std::optional<int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(int64_t maxEventsStored,
                                                                     NSError* error) {
    return store_->deleteRecords(
        "raw_events",
        "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
        Array{Value(static_cast<long long>(maxEventsStored - 1))}, error);
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, double now,
                                                          NSError* error) {
    if (maxAge < 0) {
        fail(error, 1, "Cannot delete stale raw events given negative time period");
        return false;
    }
    auto deleted =
        store_->deleteRecords("raw_events", "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
                              Array{Value(now), Value(maxAge)}, error);
    if (!deleted) return false;
    if (*deleted > 0) return deleteUnusedRawEventsMetadata(error);
    return true;
}
