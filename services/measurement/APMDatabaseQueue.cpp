#include <climits>
#include <cmath>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMMeasurement.h"
#include "services/util/ZVUGzip.h"

namespace {

constexpr int32_t kBundleAppID = 14, kBundleEndTimestamp = 5, kBundleRetryCounter = 35;

void fail(NSError* error, long long code, const std::string& description) {
    if (error) *error = apm_errorWithCode(code, description, "");
}

// "rowid IN (?, ?, ...)" with the identifiers as its parameters.
std::optional<std::string> rowIDCondition(const Array& rowIDs, NSError* error) {
    if (rowIDs.empty()) {
        fail(error, 3, "Received empty row IDs to process");
        return std::nullopt;
    }
    std::string marks;
    for (const auto& id : rowIDs) {
        if (!id.isNumber()) {
            fail(error, 3, "Received invalid type for row ID to process");
            return std::nullopt;
        }
        marks += marks.empty() ? "?" : ",?";
    }
    return "rowid IN (" + marks + ")";
}

std::optional<APMDatabase::QueuedBundle> decodeRow(const Dictionary& row, NSError* error) {
    if (row.empty()) {
        fail(error, 3, "Cannot process empty rowData");
        return std::nullopt;
    }
    const Data* data = row["data"].asData();
    if (!data || data->empty()) {
        fail(error, 3, "Cannot decompress an empty bundle data");
        return std::nullopt;
    }
    NSError inflateError;
    auto bytes = zvu_dataByInflatingGzippedData(*data, &inflateError);
    if (!bytes || bytes->empty()) {
        fail(error, 2, inflateError.localizedDescription());
        return std::nullopt;
    }
    auto bundle = APMPBMeasurementBundle::initWithBuffer(*bytes);
    if (!bundle) {
        fail(error, 2, "Unable to parse bundle from decompressed data");
        return std::nullopt;
    }
    const int64_t retries = row["retry_count"].asInt().value_or(0);
    if (retries >= 1)
        APMPBSetInt32(bundle.get(), kBundleRetryCounter, static_cast<int32_t>(retries));
    return APMDatabase::QueuedBundle{bundle, row["rowid"].asInt().value_or(0)};
}

}  // namespace

bool APMDatabase::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, double now,
                               double maxQueueTime, double deleteStaleInterval, NSError* error) {
    auto bytes = bundle.protoBuffer();
    if (!bytes || bytes->empty()) {
        fail(error, 1, "Failed to insert nil bundle");
        return false;
    }
    if (APMPBGetString(&bundle, kBundleAppID).value_or("").empty()) {
        fail(error, 1, "Failed to insert bundle without App ID");
        return false;
    }
    const int64_t endMilliseconds = APMPBGetInt64(&bundle, kBundleEndTimestamp);
    if (endMilliseconds <= 0) {
        fail(error, 1, "Failed to insert bundle without valid timestamp");
        return false;
    }
    if (!maybeDeleteStaleData(now, maxQueueTime, deleteStaleInterval, error)) return false;
    const double end = static_cast<double>(endMilliseconds) / 1000.0;
    if (std::fabs(now - end) > maxQueueTime) {
        APMMeasurement::monitor().logWithLevel(
            4, 12016, "Storing bundle outside of the max uploading time span");
    }
    auto compressed = zvu_dataByGzippingData(*bytes);
    if (!compressed || compressed->empty()) {
        fail(error, 2, "Failed to compress bundle");
        return false;
    }
    APMMeasurement::monitor().logWithLevel(7, 12018, "Saving bundle. size (bytes)",
                                           Value(std::to_string(compressed->size())));
    return store_->upsertRecord(
        Dictionary{{"bundle_end_timestamp", end},
                   {"data", Value(std::move(*compressed))},
                   {"is_realtime", isRealtime ? 1 : 0},
                   {"retry_count", APMPBGetInt32(&bundle, kBundleRetryCounter)}},
        "queue", error);
}

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(NSError* error) {
    auto n = store_->numberForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
    if (!n) return std::nullopt;
    return n->asInt().value_or(0) != 0;
}

std::optional<double> APMDatabase::queryLatestBundleTime(NSError* error) {
    auto n = store_->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error);
    if (!n) return std::nullopt;
    return n->asDouble();
}

std::optional<bool> APMDatabase::containsRealtimeBundles(NSError* error) {
    auto n = store_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {}, error);
    if (!n) return std::nullopt;
    return n->asInt().value_or(0) != 0;
}

std::optional<std::vector<APMDatabase::QueuedBundle>> APMDatabase::queryBundles(int64_t countLimit,
                                                                                int64_t sizeLimit,
                                                                                NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC LIMIT ?",
        Array{Value(static_cast<long long>(countLimit))}, error);
    if (!rows) return std::nullopt;
    std::vector<QueuedBundle> taken;
    int64_t total = 0;
    for (const auto& row : *rows) {
        auto bundle = decodeRow(row, nullptr);
        if (!bundle) continue;
        const auto size =
            static_cast<int64_t>(bundle->first->protoBuffer().value_or(Data{}).size());
        if (!taken.empty() && total + size > sizeLimit) break;
        taken.push_back(std::move(*bundle));
        total += size;
        if (total > sizeLimit) break;
    }
    return taken;
}

std::optional<std::vector<APMQueuedBundleInfo>> APMDatabase::queuedBundleInfos(NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, bundle_end_timestamp, is_realtime, retry_count, length(data) AS bytes "
        "FROM queue ORDER BY bundle_end_timestamp ASC",
        {}, error);
    if (!rows) return std::nullopt;
    std::vector<APMQueuedBundleInfo> infos;
    infos.reserve(rows->size());
    for (const auto& row : *rows) {
        infos.push_back({row["rowid"].asInt().value_or(0),
                         row["bundle_end_timestamp"].asDouble().value_or(0),
                         row["is_realtime"].asInt().value_or(0) != 0,
                         row["retry_count"].asInt().value_or(0), row["bytes"].asInt().value_or(0)});
    }
    return infos;
}

std::optional<std::vector<APMDatabase::QueuedBundle>> APMDatabase::queryBundlesWithRowIDs(
    const Array& rowIDs, NSError* error) {
    auto condition = rowIDCondition(rowIDs, error);
    if (!condition) return std::nullopt;
    auto rows = store_->recordsForQuery(
        "SELECT rowid, data, retry_count FROM queue WHERE " + *condition, rowIDs, error);
    if (!rows) return std::nullopt;
    std::vector<QueuedBundle> out;
    for (const auto& row : *rows) {
        if (auto bundle = decodeRow(row, nullptr)) out.push_back(std::move(*bundle));
    }
    return out;
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const Array& rowIDs, NSError* error) {
    if (rowIDs.empty()) {
        fail(error, 1, "Failed to increment retry counter");
        return false;
    }
    auto condition = rowIDCondition(rowIDs, error);
    if (!condition) return false;
    auto atLimit =
        store_->numberForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                               Array{Value(static_cast<long long>(INT32_MAX))}, error);
    if (atLimit && atLimit->asInt().value_or(0) != 0) {
        APMMeasurement::monitor().logWithLevel(
            1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
    }
    Array parameters = rowIDs;
    parameters.push_back(Value(static_cast<long long>(INT32_MAX)));
    return store_->increaseColumn("retry_count", 1, "queue", *condition + " AND retry_count < ?",
                                  parameters, error);
}

bool APMDatabase::deleteBundlesWithRowIDs(const Array& rowIDs, NSError* error) {
    auto condition = rowIDCondition(rowIDs, error);
    if (!condition) return false;
    return store_->deleteRecords("queue", *condition, rowIDs, error).has_value();
}

bool APMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, double now, NSError* error) {
    if (maxAge < 0) {
        fail(error, 1, "Cannot delete stale bundles after negative time period");
        return false;
    }
    return store_
        ->deleteRecords("queue", "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                        Array{Value(now), Value(maxAge)}, error)
        .has_value();
}

std::optional<bool> APMDatabase::maybeDeleteStaleData(double now, double maxQueueTime,
                                                      double interval, NSError* error) {
    const double last =
        persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0.0;
    if (std::fabs(now - last) <= interval) return false;
    if (!deleteStaleRawEventsDataOlderThanMaxAge(maxQueueTime, now, error) ||
        !deleteStaleBundlesOlderThanMaxAge(maxQueueTime, now, error)) {
        return std::nullopt;
    }
    if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
    return true;
}
