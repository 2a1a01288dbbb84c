#include <set>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMDatabaseInternal.h"
#include "services/measurement/APMMeasurement.h"

namespace {

void fail(NSError* error, long long code, const std::string& description) {
    APMDatabaseFail(error, code, description);
}

// What differs between the two kinds of filter: table, name column, the
// message their data holds and its switch fields, and the messages.
struct EventFilterKind {
    using Filter = APMEventFilter;
    using Message = APMPBEventFilter;
    static constexpr const char* table = "event_filters";
    static constexpr const char* nameColumn = "event_name";
    static constexpr int32_t sessionScopedField = 7, dynamicField = 5, sequenceField = 6;
    static constexpr const char* emptyToUpdate = "Received empty event filters to update";
    static constexpr const char* emptyToDelete = "Received empty event filters to delete";
    static constexpr const char* emptyName =
        "Received event filter with empty event name for getting dictionary representation";
    static constexpr const char* emptyData =
        "Received event filter with empty data for getting dictionary representation";
    static constexpr const char* emptyRow = "Received empty dictionary for getting event filter";
    static constexpr const char* emptyQueryName =
        "Received empty event name for getting event filters";
    static const std::string& name(const Filter& filter) { return filter.eventName(); }
};

struct PropertyFilterKind {
    using Filter = APMPropertyFilter;
    using Message = APMPBPropertyFilter;
    static constexpr const char* table = "property_filters";
    static constexpr const char* nameColumn = "property_name";
    static constexpr int32_t sessionScopedField = 5, dynamicField = 3, sequenceField = 4;
    static constexpr const char* emptyToUpdate = "Received empty property filters to update";
    static constexpr const char* emptyToDelete = "Received empty property filters to delete";
    static constexpr const char* emptyName =
        "Received property filter with empty property name for getting dictionary "
        "representation";
    static constexpr const char* emptyData =
        "Received property filter with empty data for getting dictionary representation";
    static constexpr const char* emptyRow = "Received empty dictionary for getting property filter";
    static constexpr const char* emptyQueryName =
        "Received empty property name for getting property filters";
    static const std::string& name(const Filter& filter) { return filter.propertyName(); }
};

template <class Kind>
std::optional<typename Kind::Filter> filterFromRow(const Dictionary& row, NSError* error) {
    if (row.empty()) {
        fail(error, 3, Kind::emptyRow);
        return std::nullopt;
    }
    const Data data = row["data"].asData() ? *row["data"].asData() : Data{};
    bool sessionScoped = false, dynamic = false, sequence = false;
    // Unparseable data leaves every switch off.
    if (auto message = Kind::Message::initWithBuffer(data)) {
        sessionScoped = APMPBGetBool(message.get(), Kind::sessionScopedField);
        dynamic = APMPBGetBool(message.get(), Kind::dynamicField);
        sequence = APMPBGetBool(message.get(), Kind::sequenceField);
    }
    return typename Kind::Filter(static_cast<int32_t>(row["audience_id"].asInt().value_or(0)),
                                 static_cast<int32_t>(row["filter_id"].asInt().value_or(0)),
                                 row[Kind::nameColumn].asString().value_or(""), data, sessionScoped,
                                 dynamic, sequence);
}

template <class Kind>
std::optional<std::vector<typename Kind::Filter>> filtersForName(APMSqliteStore& store,
                                                                 const std::string& name,
                                                                 NSError* error) {
    if (name.empty()) {
        fail(error, 1, Kind::emptyQueryName);
        return std::nullopt;
    }
    auto rows = store.recordsForQuery(
        std::string("SELECT rowid, * FROM ") + Kind::table + " WHERE " + Kind::nameColumn + " = ?",
        Array{Value(name)}, error);
    if (!rows) return std::nullopt;
    std::vector<typename Kind::Filter> out;
    for (const auto& row : *rows) {
        if (auto filter = filterFromRow<Kind>(row, nullptr)) out.push_back(std::move(*filter));
    }
    return out;
}

template <class Kind>
bool updateFilters(APMSqliteStore& store, const std::vector<typename Kind::Filter>& filters,
                   NSError* error) {
    if (filters.empty()) {
        fail(error, 1, Kind::emptyToUpdate);
        return false;
    }
    for (const auto& filter : filters) {
        if (Kind::name(filter).empty()) {
            fail(error, 3, Kind::emptyName);
            return false;
        }
        if (filter.data().empty()) {
            fail(error, 3, Kind::emptyData);
            return false;
        }
        const Dictionary record{{"audience_id", filter.audienceID()},
                                {"filter_id", filter.filterID()},
                                {Kind::nameColumn, Kind::name(filter)},
                                {"data", Value(filter.data())},
                                {"session_scoped", filter.isSessionScoped() ? 1 : 0}};
        if (!store.upsertRecord(record, Kind::table, error)) return false;
    }
    return true;
}

template <class Kind>
bool deleteFilters(APMSqliteStore& store, const std::vector<typename Kind::Filter>& filters,
                   NSError* error) {
    if (filters.empty()) {
        fail(error, 1, Kind::emptyToDelete);
        return false;
    }
    std::string condition;
    for (const auto& filter : filters) {
        if (!condition.empty()) condition += " OR ";
        condition += "(audience_id=" + std::to_string(filter.audienceID()) +
                     " AND filter_id=" + std::to_string(filter.filterID()) + ")";
    }
    return store.deleteRecords(Kind::table, condition, {}, error).has_value();
}

std::optional<APMFilterResult> resultFromRow(const Dictionary& row, NSError* error) {
    if (row.empty()) {
        fail(error, 3, "Received empty dictionary for getting filter result");
        return std::nullopt;
    }
    auto bytes = [&](const char* column) -> std::optional<Data> {
        const Data* data = row[column].asData();
        return data ? std::optional<Data>(*data) : std::nullopt;
    };
    return APMFilterResult(static_cast<int32_t>(row["audience_id"].asInt().value_or(0)),
                           bytes("current_results"), bytes("previous_results"));
}

}  // namespace

std::optional<std::vector<int32_t>> APMDatabase::allAudienceIDs(NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
        error);
    if (!rows) return std::nullopt;
    std::vector<int32_t> out;
    for (const auto& row : *rows) {
        auto id = row["audience_id"].asInt();
        if (!id) {
            fail(error, 1, "Received nil audience ID for querying all audience IDs");
            return std::nullopt;
        }
        out.push_back(static_cast<int32_t>(*id));
    }
    return out;
}

std::optional<std::vector<APMEventFilter>> APMDatabase::eventFiltersForEventName(
    const std::string& name, NSError* error) {
    return filtersForName<EventFilterKind>(*store_, name, error);
}

std::optional<std::vector<APMPropertyFilter>> APMDatabase::propertyFiltersForPropertyName(
    const std::string& name, NSError* error) {
    return filtersForName<PropertyFilterKind>(*store_, name, error);
}

std::optional<std::map<int32_t, std::vector<int32_t>>> APMDatabase::allSessionScopedFilters(
    NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
        "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
        {}, error);
    if (!rows) return std::nullopt;
    std::map<int32_t, std::vector<int32_t>> out;
    for (const auto& row : *rows) {
        out[static_cast<int32_t>(row["audience_id"].asInt().value_or(0))].push_back(
            static_cast<int32_t>(row["filter_id"].asInt().value_or(0)));
    }
    return out;
}

bool APMDatabase::updateEventFilters(const std::vector<APMEventFilter>& filters, NSError* error) {
    return updateFilters<EventFilterKind>(*store_, filters, error);
}

bool APMDatabase::updatePropertyFilters(const std::vector<APMPropertyFilter>& filters,
                                        NSError* error) {
    return updateFilters<PropertyFilterKind>(*store_, filters, error);
}

bool APMDatabase::deleteEventFilters(const std::vector<APMEventFilter>& filters, NSError* error) {
    return deleteFilters<EventFilterKind>(*store_, filters, error);
}

bool APMDatabase::deletePropertyFilters(const std::vector<APMPropertyFilter>& filters,
                                        NSError* error) {
    return deleteFilters<PropertyFilterKind>(*store_, filters, error);
}

bool APMDatabase::deleteAllEventFilters(NSError* error) {
    return store_->deleteAllRecords("event_filters", error);
}

bool APMDatabase::deleteAllPropertyFilters(NSError* error) {
    return store_->deleteAllRecords("property_filters", error);
}

std::optional<std::map<int32_t, APMFilterResult>> APMDatabase::allFilterResults(NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM audience_filter_values ORDER BY rowid", {}, error);
    if (!rows) return std::nullopt;
    std::map<int32_t, APMFilterResult> out;
    for (const auto& row : *rows) {
        if (auto result = resultFromRow(row, nullptr)) {
            out.insert_or_assign(result->audienceID(), std::move(*result));
        }
    }
    return out;
}

std::optional<APMFilterResult> APMDatabase::filterResultForAudienceID(int32_t audienceID,
                                                                      NSError* error) {
    auto rows =
        store_->recordsForQuery("SELECT rowid, * FROM audience_filter_values WHERE audience_id = ?",
                                Array{Value(audienceID)}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return resultFromRow(rows->front(), error);
}

bool APMDatabase::updateFilterResults(const std::vector<APMFilterResult>& results, NSError* error) {
    if (results.empty()) {
        fail(error, 1, "Received empty filter results to update");
        return false;
    }
    for (const auto& result : results) {
        if (!result.currentResults() || result.currentResults()->empty()) {
            fail(error, 3,
                 "Received filter result with empty data for getting dictionary "
                 "representation");
            return false;
        }
        Dictionary record{{"audience_id", result.audienceID()},
                          {"current_results", Value(*result.currentResults())}};
        const auto& previous = result.previousResults();
        record.set("previous_results", previous && !previous->empty() ? Value(*previous) : Value());
        if (!store_->upsertRecord(record, "audience_filter_values", error)) return false;
    }
    return true;
}

bool APMDatabase::deleteFilterResults(const std::vector<APMFilterResult>& results, NSError* error) {
    if (results.empty()) {
        fail(error, 1, "Received empty filter results to delete");
        return false;
    }
    std::set<int32_t> audiences;
    for (const auto& result : results) audiences.insert(result.audienceID());
    std::string ids;
    for (int32_t id : audiences) ids += (ids.empty() ? "" : ",") + std::to_string(id);
    return store_
        ->deleteRecords("audience_filter_values", "audience_id IN (" + ids + ")", {}, error)
        .has_value();
}
