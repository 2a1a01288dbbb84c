#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMDatabaseInternal.h"
#include "services/measurement/APMInfoPlistFileUtil.h"
#include "services/measurement/APMMeasurement.h"

namespace {

constexpr int64_t kMaxRows = 1000;

void fail(NSError* error, long long code, const std::string& description) {
    APMDatabaseFail(error, code, description);
}

std::optional<APMEventAggregates> aggregatesFromRow(const Dictionary& row) {
    auto aggregates = APMEventAggregates::initWithName(
        row["name"].asString().value_or(""),
        static_cast<int32_t>(row["lifetime_count"].asInt().value_or(0)),
        static_cast<int32_t>(row["current_bundle_count"].asInt().value_or(0)),
        static_cast<int32_t>(row["current_session_count"].asInt().value_or(0)),
        row["last_fire_timestamp"].asDouble().value_or(0));
    if (!aggregates) return std::nullopt;
    aggregates->setLastBundledTimestamp(row["last_bundled_timestamp"].asDouble().value_or(0));
    aggregates->setLastBundledDay(
        static_cast<int32_t>(row["last_bundled_day"].asInt().value_or(0)));
    aggregates->setLastSamplingRate(
        static_cast<int32_t>(row["last_sampling_rate"].asInt().value_or(1)));
    aggregates->setLastExemptFromSampling(row["last_exempt_from_sampling"].asInt().value_or(0) !=
                                          0);
    aggregates->setLastSampledComplexEventID(row["last_sampled_complex_event_id"].asInt());
    return aggregates;
}

std::optional<APMUserAttribute> attributeFromRow(const Dictionary& row, NSError* error) {
    if (row.empty()) {
        fail(error, 3, "Received empty dictionary for getting user property");
        return std::nullopt;
    }
    auto value = APMValue::valueFromObject(row["value"]);
    if (!value) return std::nullopt;
    return APMUserAttribute::initWithOrigin(row["origin"].asString().value_or(""),
                                            row["name"].asString().value_or(""), *value,
                                            row["set_timestamp"].asDouble().value_or(0));
}

}  // namespace

void APMDatabaseFail(NSError* error, long long code, const std::string& description) {
    if (error) *error = apm_errorWithCode(code, description, "");
}

Value APMDatabaseStoredValue(const APMValue& value) {
    if (value.isString()) return Value(*value.stringValue());
    if (value.isDouble()) return Value(value.doubleValue());
    return Value(static_cast<long long>(value.int64Value()));
}

std::optional<int64_t> APMDatabase::publicEventCount(NSError* error) {
    auto number = store_->numberForQuery(
        "SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
    return number ? number->asInt() : std::nullopt;
}

std::optional<std::vector<APMEventAggregates>> APMDatabase::allEventAggregates(NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM events ORDER BY rowid LIMIT " + std::to_string(kMaxRows), {}, error);
    if (!rows) return std::nullopt;
    std::vector<APMEventAggregates> out;
    for (const auto& row : *rows) {
        if (auto aggregates = aggregatesFromRow(row)) out.push_back(std::move(*aggregates));
    }
    return out;
}

std::optional<APMEventAggregates> APMDatabase::eventAggregatesWithName(const std::string& name,
                                                                       NSError* error) {
    auto rows = store_->recordsForQuery("SELECT rowid, * FROM events WHERE name = ?",
                                        Array{Value(name)}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return aggregatesFromRow(rows->front());
}

bool APMDatabase::updateEventAggregates(const APMEventAggregates& aggregates, NSError* error) {
    if (aggregates.name().empty()) {
        fail(error, 1,
             "Received event aggregates object with empty name for getting dictionary "
             "representation");
        return false;
    }
    Dictionary record{{"name", aggregates.name()},
                      {"lifetime_count", aggregates.lifetimeCount()},
                      {"current_bundle_count", aggregates.currentBundleCount()},
                      {"current_session_count", aggregates.currentSessionCount()},
                      {"last_fire_timestamp", aggregates.lastFireTimestamp()},
                      {"last_bundled_timestamp", aggregates.lastBundledTimestamp()},
                      {"last_sampling_rate", aggregates.lastSamplingRate()},
                      {"last_exempt_from_sampling", aggregates.lastExemptFromSampling() ? 1 : 0},
                      {"last_bundled_day", aggregates.lastBundledDay()}};
    if (auto id = aggregates.lastSampledComplexEventID()) {
        record.set("last_sampled_complex_event_id", static_cast<long long>(*id));
    }
    return upsertDataType(record, "events", "name", Value(aggregates.name()), kMaxRows, error);
}

bool APMDatabase::clearCurrentSessionCounts(NSError* error) {
    return store_->updateAllRecords("events", "current_session_count", Value(0), error);
}

std::optional<int64_t> APMDatabase::publicUserAttributeCount(NSError* error) {
    auto number = store_->numberForQuery(
        "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
    return number ? number->asInt() : std::nullopt;
}

std::optional<int64_t> APMDatabase::userAttributeCountForOrigin(const std::string& origin,
                                                                NSError* error) {
    if (origin.empty()) {
        fail(error, 1, "Received empty user property origin for count query");
        return std::nullopt;
    }
    auto number = store_->numberForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?",
                                         Array{Value(origin)}, error);
    return number ? number->asInt() : std::nullopt;
}

std::optional<bool> APMDatabase::containsUserAttributeWithName(const std::string& name,
                                                               NSError* error) {
    if (name.empty()) {
        fail(error, 1, "Received empty user property name for exists query");
        return std::nullopt;
    }
    auto number = store_->numberForQuery(
        "SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", Array{Value(name)},
        error);
    if (!number) return std::nullopt;
    return number->asInt().value_or(0) != 0;
}

std::optional<APMUserAttribute> APMDatabase::userAttributeWithName(const std::string& name,
                                                                   NSError* error) {
    auto rows = store_->recordsForQuery("SELECT rowid, * FROM user_attributes WHERE name = ?",
                                        Array{Value(name)}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return attributeFromRow(rows->front(), error);
}

std::optional<std::vector<APMUserAttribute>> APMDatabase::allLifetimeValueUserAttributes(
    NSError* error) {
    // The prefix is matched literally: its underscores are escaped.
    auto rows = store_->recordsForQuery(
        "SELECT * FROM user_attributes WHERE name LIKE ? || '%' ESCAPE '\\' ORDER BY "
        "set_timestamp DESC",
        Array{Value(ZVUSQLiteEscapeLike("_ltv_"))}, error);
    if (!rows) return std::nullopt;
    std::vector<APMUserAttribute> out;
    for (const auto& row : *rows) {
        auto attribute = attributeFromRow(row, error);
        if (!attribute) return std::nullopt;
        out.push_back(std::move(*attribute));
    }
    return out;
}

std::optional<std::vector<APMUserAttribute>> APMDatabase::userAttributesIncludingInternal(
    bool includeInternal, NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM user_attributes ORDER BY rowid LIMIT " + std::to_string(kMaxRows), {},
        error);
    if (!rows) return std::nullopt;
    std::vector<APMUserAttribute> out;
    for (const auto& row : *rows) {
        const std::string name = row["name"].asString().value_or("");
        if (!includeInternal &&
            ((!name.empty() && name[0] == '_') || APMDataTypeValidator::hasReservedPrefixes(name) ||
             APMReservedUserAttributeNameMap().count(name))) {
            continue;
        }
        if (auto attribute = attributeFromRow(row, nullptr)) out.push_back(std::move(*attribute));
    }
    return out;
}

bool APMDatabase::updateUserAttribute(const APMUserAttribute& attribute, NSError* error) {
    if (attribute.origin().empty()) {
        fail(error, 3,
             "Received user property with empty origin for getting dictionary representation");
        return false;
    }
    if (attribute.name().empty()) {
        fail(error, 1,
             "Received user property with empty name for getting dictionary representation");
        return false;
    }
    if (attribute.value().isString() && attribute.value().stringValue()->empty()) {
        fail(error, 1, "Received empty string value for user property");
        return false;
    }
    return upsertDataType(Dictionary{{"origin", attribute.origin()},
                                     {"name", attribute.name()},
                                     {"value", APMDatabaseStoredValue(attribute.value())},
                                     {"set_timestamp", attribute.lastSetTimestamp()}},
                          "user_attributes", "name", Value(attribute.name()), kMaxRows, error);
}

bool APMDatabase::deleteUserAttributeWithName(const std::string& name, NSError* error) {
    return store_->deleteRecord("user_attributes", "name", Value(name), error);
}
