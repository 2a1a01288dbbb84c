#include "services/measurement/APMAudience.h"

#include <algorithm>
#include <map>

#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEngineUtil.h"
#include "services/measurement/APMEventFilter.h"
#include "services/measurement/APMFilterEvaluation.h"
#include "services/measurement/APMInfoPlistFileUtil.h"
#include "services/measurement/APMLogNames.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

namespace audience_field {
constexpr std::int32_t kID = 0, kPropertyFilters = 1, kEventFilters = 2;
}
namespace event_filter_field {
constexpr std::int32_t kFilterID = 0, kEventName = 1, kParameterFilters = 2, kDynamic = 5,
                       kSequence = 6, kSessionScoped = 7;
}
namespace property_filter_field {
constexpr std::int32_t kFilterID = 0, kPropertyName = 1, kDynamic = 3, kSequence = 4,
                       kSessionScoped = 5;
}
constexpr std::int32_t kParameterNameField = 3;  // of a parameter filter
namespace result_field {
constexpr std::int32_t kStatus = 0, kResults = 1, kDynamicTimestamps = 2, kSequenceTimestamps = 3;
}
namespace leaf_field {
constexpr std::int32_t kAudienceID = 0, kCurrent = 1, kPrevious = 2, kNewResult = 3;
}
namespace timestamp_field {
constexpr std::int32_t kFilterID = 0, kTimestamps = 1;
}
namespace user_attribute_field {
constexpr std::int32_t kSetTimestamp = 0, kName = 1, kString = 2, kInt = 3, kDouble = 5;
}

using Words = std::vector<std::uint64_t>;

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

APMMonitorContext eventName(const std::string& name) {
    return APMMonitorContext(Value(APMRenderEventName(Value(name))));
}

APMMonitorContext propertyName(const std::string& name) {
    return APMMonitorContext(Value(APMRenderUserPropertyName(Value(name))));
}

template <class T>
std::vector<std::shared_ptr<T>> messages(const APMPBMessage& message, std::int32_t fieldID) {
    std::vector<std::shared_ptr<T>> out;
    auto array = APMPBGetArray(&message, fieldID, T::classObject());
    if (!array) return out;
    for (const auto& element : *array) {
        if (element.message()) out.push_back(std::static_pointer_cast<T>(element.message()));
    }
    return out;
}

template <class T>
std::vector<APMPBObject> objects(const std::vector<std::shared_ptr<T>>& list) {
    return std::vector<APMPBObject>(list.begin(), list.end());
}

Words words(const APMPBMessage& data, std::int32_t fieldID) {
    Words out;
    auto array = APMPBGetArray(&data, fieldID, kAPMPBNumberClass);
    if (!array) return out;
    for (const auto& element : *array) out.push_back(element.value().asUInt().value_or(0));
    return out;
}

void setWords(APMPBMessage& data, std::int32_t fieldID, const Words& list) {
    std::vector<APMPBObject> values;
    for (std::uint64_t word : list)
        values.emplace_back(Value(static_cast<unsigned long long>(word)));
    APMPBSetArray(&data, fieldID, values);
}

std::shared_ptr<APMPBResultData> currentData(const std::optional<APMFilterResult>& result) {
    if (!result || !result->currentResults() || result->currentResults()->empty()) return nullptr;
    return APMPBResultData::initWithBuffer(*result->currentResults());
}

// The stored result of the audience: from this call's maps first, else from
// the database (kept in `read`). False on a database error.
bool lookUpResult(APMDatabase& database, std::int32_t audienceID,
                  const std::map<std::int32_t, APMFilterResult>& updated,
                  std::map<std::int32_t, APMFilterResult>& read,
                  std::optional<APMFilterResult>& result, NSError& error) {
    if (auto found = updated.find(audienceID); found != updated.end()) {
        result = found->second;
        return true;
    }
    if (auto found = read.find(audienceID); found != read.end()) {
        result = found->second;
        return true;
    }
    result = database.filterResultForAudienceID(audienceID, &error);
    if (!result && APMFailed(error)) return false;
    if (result) read.insert_or_assign(audienceID, *result);
    return true;
}

bool reevaluated(const APMAudienceFilter& filter) {
    return filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

std::vector<APMFilterResult> values(const std::map<std::int32_t, APMFilterResult>& map) {
    std::vector<APMFilterResult> out;
    for (const auto& [id, result] : map) out.push_back(result);
    return out;
}

// The words of a filter: its index in the arrays and its bit.
struct BitPosition {
    std::size_t word;
    std::uint64_t bit;
};
std::optional<BitPosition> position(std::int32_t filterID) {
    if (filterID < 0) return std::nullopt;
    return BitPosition{static_cast<std::size_t>(filterID / 64),
                       std::uint64_t{1} << (filterID % 64)};
}

}  // namespace

// ---- saving definitions ----

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
    auto config = APMMeasurement::remoteConfig();
    const int maxAudiences = config->maxAudienceCount();
    if (audiences.size() > static_cast<std::size_t>(maxAudiences)) {
        monitor().logWithLevel(2, 6008,
                               "Configuration contains too many audiences. Audiences will not be "
                               "saved. Audience count",
                               Value(static_cast<long long>(audiences.size())));
        return true;
    }

    std::set<std::int32_t> accepted;
    std::vector<APMEventFilter> eventFilters;
    std::vector<APMPropertyFilter> propertyFilters;
    const auto& eventAliases = APMReservedEventNames();
    const auto& parameterAliases = APMParameterNameAliases();
    const auto& propertyAliases = APMReservedUserAttributeNameMap();
    auto alias = [](const std::map<std::string, std::string>& table, const std::string& name) {
        auto found = table.find(name);
        return found == table.end() ? name : found->second;
    };

    for (const auto& audience : audiences) {
        if (!audience) continue;
        NSError error;
        if (!APMValidateAudience(*audience, accepted, &error)) {
            monitor().logWithLevel(
                2, 6009,
                "Audience definition is invalid. Audience will not be saved. Audience, error",
                Value(audience->description()), error);
            continue;
        }
        const std::int32_t audienceID = APMPBGetInt32(audience.get(), audience_field::kID);
        accepted.insert(audienceID);

        auto events = messages<APMPBEventFilter>(*audience, audience_field::kEventFilters);
        for (const auto& filter : events) {
            using namespace event_filter_field;
            const std::string name = alias(eventAliases, *APMPBGetString(filter.get(), kEventName));
            APMPBSetString(filter.get(), kEventName, Value(name));
            auto parameters = messages<APMPBFilter>(*filter, kParameterFilters);
            bool renamed = false;
            for (const auto& parameter : parameters) {
                const std::string old = *APMPBGetString(parameter.get(), kParameterNameField);
                const std::string renamedTo = alias(parameterAliases, old);
                if (renamedTo == old) continue;
                APMPBSetString(parameter.get(), kParameterNameField, Value(renamedTo));
                renamed = true;
            }
            if (renamed) APMPBSetArray(filter.get(), kParameterFilters, objects(parameters));
            eventFilters.emplace_back(
                audienceID, APMPBGetInt32(filter.get(), kFilterID), name,
                filter->protoBuffer().value_or(Data{}), APMPBGetBool(filter.get(), kSessionScoped),
                APMPBGetBool(filter.get(), kDynamic), APMPBGetBool(filter.get(), kSequence));
        }
        APMPBSetArray(audience.get(), audience_field::kEventFilters, objects(events));

        auto properties =
            messages<APMPBPropertyFilter>(*audience, audience_field::kPropertyFilters);
        for (const auto& filter : properties) {
            using namespace property_filter_field;
            const std::string name =
                alias(propertyAliases, *APMPBGetString(filter.get(), kPropertyName));
            APMPBSetString(filter.get(), kPropertyName, Value(name));
            propertyFilters.emplace_back(
                audienceID, APMPBGetInt32(filter.get(), kFilterID), name,
                filter->protoBuffer().value_or(Data{}), APMPBGetBool(filter.get(), kSessionScoped),
                APMPBGetBool(filter.get(), kDynamic), APMPBGetBool(filter.get(), kSequence));
        }
        APMPBSetArray(audience.get(), audience_field::kPropertyFilters, objects(properties));
    }

    if (!maybeDeleteStaleFilterResults(accepted)) return false;

    NSError error;
    if (!database_->deleteAllEventFilters(&error)) {
        monitor().logWithLevel(
            1, 6010,
            "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
            error);
        return false;
    }
    if (!database_->deleteAllPropertyFilters(&error)) {
        monitor().logWithLevel(1, 6011,
                               "Unable to delete existing Audience user property filters. "
                               "Audiences will not be saved. Error",
                               error);
        return false;
    }
    if (!eventFilters.empty() && !database_->updateEventFilters(eventFilters, &error)) {
        monitor().logWithLevel(
            1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error",
            error);
        return false;
    }
    if (!propertyFilters.empty() && !database_->updatePropertyFilters(propertyFilters, &error)) {
        monitor().logWithLevel(
            1, 6013,
            "Unable to save Audience user property filters. Audiences will not be saved. Error",
            error);
        return false;
    }
    return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& audienceIDs) {
    NSError error;
    auto results = database_->allFilterResults(&error);
    if (!results) {
        monitor().logWithLevel(
            1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
            error);
        return false;
    }
    const int maxResults = APMMeasurement::remoteConfig()->maxFilterResultCount();
    if (results->size() <= static_cast<std::size_t>(maxResults)) return true;
    monitor().logWithLevel(3, 6016,
                           "Too many Audience filter results. Deleting filter results for deleted "
                           "Audiences. Filter result count, max filter result count",
                           Value(static_cast<long long>(results->size())), Value(maxResults));
    auto withFilters = database_->allAudienceIDs(&error);
    if (!withFilters) {
        monitor().logWithLevel(
            1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
            error);
        return false;
    }
    for (std::int32_t id : *withFilters) results->erase(id);
    for (std::int32_t id : audienceIDs) results->erase(id);
    if (results->empty()) return true;
    if (!database_->deleteFilterResults(values(*results), &error)) {
        monitor().logWithLevel(
            1, 6018,
            "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
            error);
        return false;
    }
    return true;
}

// ---- evaluation ----

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event,
                                          const std::optional<APMEventAggregates>& eventAggregates,
                                          APMAudienceTimestampsCache* cache) {
    return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates,
                                       event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(const std::string& name,
                                              const APMEventParameters& parameters,
                                              const std::optional<APMEventAggregates>& aggregates,
                                              double timestamp, APMAudienceTimestampsCache* cache) {
    NSError error;
    auto filters = database_->eventFiltersForEventName(name, &error);
    if (!filters) {
        if (!APMFailed(error)) return true;
        monitor().logWithLevel(1, 6000,
                               "Unable to query event filters for event. Event will not be "
                               "evaluated. Event name, error",
                               eventName(name), error);
        return false;
    }
    APMAudienceTimestampsCache fresh;
    APMAudienceTimestampsCache& timestamps = cache ? *cache : fresh;
    std::map<std::int32_t, APMFilterResult> updated, read;
    APMRegexBudgetScope regexBudget(kAPMRegexBudgetPerEvent);
    for (const auto& filter : *filters) {
        const std::int32_t audienceID = filter.audienceID();
        std::optional<APMFilterResult> current;
        if (!lookUpResult(*database_, audienceID, updated, read, current, error)) {
            monitor().logWithLevel(1, 6001,
                                   "Unable to query filter result for audience. Event will not be "
                                   "evaluated. Event name, error",
                                   eventName(name), error);
            return false;
        }
        const bool wasTrue = isFilterResultTrueForFilterID(current, filter.filterID());
        if (wasTrue && !reevaluated(filter)) continue;
        auto message =
            filter.data().empty() ? nullptr : APMPBEventFilter::initWithBuffer(filter.data());
        if (!message) {
            monitor().logWithLevel(
                1, 6035,
                "Event filter contains no data or corrupt data. Event will not be "
                "evaluated. Event name, filter ID, audience ID, dynamic",
                {eventName(name), Value(filter.filterID()), Value(audienceID),
                 Value(filter.isDynamic())});
            continue;
        }
        auto result = APMEvaluateEventFilter(message.get(), name, parameters, aggregates);
        if (!result) continue;
        timestamps.populateCachedTimestamps(current, audienceID);
        if (*result) timestamps.addEvaluationTimestamp(timestamp, filter);
        // An event filter once matched stays matched until its result is cleared.
        if (!*result && wasTrue) result = true;
        updated.insert_or_assign(audienceID, updatedFilterResult(filter.filterID(), audienceID,
                                                                 current, result, timestamps));
        read.erase(audienceID);
    }
    if (!updated.empty() && !database_->updateFilterResults(values(updated), &error)) {
        monitor().logWithLevel(1, 6003,
                               "Unable to save updated Audience filter results. Event will not be "
                               "evaluated. Event name, error",
                               eventName(name), error);
        return false;
    }
    return true;
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                                 APMAudienceTimestampsCache* cache,
                                                 double evaluationTimestamp) {
    const std::string& name = property.name();
    NSError error;
    auto filters = database_->propertyFiltersForPropertyName(name, &error);
    if (!filters) {
        if (!APMFailed(error)) return true;
        monitor().logWithLevel(1, 6004,
                               "Unable to query property filters for property. Property will not "
                               "be evaluated. Property name, error",
                               propertyName(name), error);
        return false;
    }
    APMAudienceTimestampsCache fresh;
    APMAudienceTimestampsCache& timestamps = cache ? *cache : fresh;
    std::map<std::int32_t, APMFilterResult> updated, read;
    for (const auto& filter : *filters) {
        const std::int32_t audienceID = filter.audienceID();
        std::optional<APMFilterResult> current;
        if (!lookUpResult(*database_, audienceID, updated, read, current, error)) {
            monitor().logWithLevel(1, 6005,
                                   "Unable to query filter result for audience. Property will not "
                                   "be evaluated. Property name, error",
                                   propertyName(name), error);
            return false;
        }
        const bool wasTrue = isFilterResultTrueForFilterID(current, filter.filterID());
        if (wasTrue && !reevaluated(filter)) continue;
        auto message =
            filter.data().empty() ? nullptr : APMPBPropertyFilter::initWithBuffer(filter.data());
        if (!message) {
            monitor().logWithLevel(1, 6036,
                                   "User property filter contains no data or corrupt data. User "
                                   "property will not be evaluated. User property name, filter ID, "
                                   "audience ID, dynamic",
                                   {propertyName(name), Value(filter.filterID()), Value(audienceID),
                                    Value(filter.isDynamic())});
            continue;
        }
        auto result = APMEvaluatePropertyFilter(message.get(), property);
        if (!result) continue;
        if (!*result && wasTrue && !reevaluated(filter)) continue;
        timestamps.populateCachedTimestamps(current, audienceID);
        if (*result) timestamps.addEvaluationTimestamp(evaluationTimestamp, filter);
        // A NO takes a matched property back only for dynamic filters that
        // are not session-scoped.
        const bool stored =
            (*result || (filter.isDynamic() && !filter.isSessionScoped())) ? *result : wasTrue;
        updated.insert_or_assign(audienceID, updatedFilterResult(filter.filterID(), audienceID,
                                                                 current, stored, timestamps));
        read.erase(audienceID);
    }
    if (!updated.empty() && !database_->updateFilterResults(values(updated), &error)) {
        monitor().logWithLevel(1, 6007,
                               "Unable to save updated Audience filter results. User property will "
                               "not be evaluated. User property name, error",
                               propertyName(name), error);
        return false;
    }
    return true;
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceTimestampsCache* cache,
                                                     std::optional<double> evaluationTime) {
    using namespace user_attribute_field;
    std::optional<APMValue> value;
    if (APMPBHasField(&property, kString)) {
        const Value text(APMPBGetString(&property, kString).value_or(""));
        value = APMValue::initWithString(&text);
    } else if (APMPBHasField(&property, kDouble)) {
        value = APMValue::initWithDouble(APMPBGetDouble(&property, kDouble));
    } else if (APMPBHasField(&property, kInt)) {
        value = APMValue::initWithInt64(APMPBGetInt64(&property, kInt));
    }
    const double lastSet = static_cast<double>(APMPBGetInt64(&property, kSetTimestamp)) / 1000.0;
    std::optional<APMUserAttribute> attribute;
    if (value) {
        attribute = APMUserAttribute::initWithOrigin(
            "", APMPBGetString(&property, kName).value_or(""), *value, lastSet);
    }
    if (!attribute) {
        monitor().logWithLevel(2, 6039, "Could not convert user property from nano format.",
                               Value(property.description()));
        return false;
    }
    return evaluateFiltersForUserProperty(*attribute, cache, evaluationTime.value_or(lastSet));
}

// ---- bit sets ----

APMFilterResult APMAudience::updatedFilterResult(std::int32_t filterID, std::int32_t audienceID,
                                                 const std::optional<APMFilterResult>& current,
                                                 std::optional<bool> newResult,
                                                 const APMAudienceTimestampsCache& cache) {
    Words status, results;
    if (auto data = currentData(current)) {
        status = words(*data, result_field::kStatus);
        results = words(*data, result_field::kResults);
    }
    if (auto at = position(filterID)) {
        const std::size_t size = std::max({status.size(), results.size(), at->word + 1});
        status.resize(size, 0);
        results.resize(size, 0);
        status[at->word] = newResult ? (status[at->word] | at->bit) : (status[at->word] & ~at->bit);
        results[at->word] =
            newResult == true ? (results[at->word] | at->bit) : (results[at->word] & ~at->bit);
    }
    auto data = APMPBResultData::make();
    setWords(*data, result_field::kStatus, status);
    setWords(*data, result_field::kResults, results);
    APMPBSetArray(data.get(), result_field::kDynamicTimestamps,
                  objects(cache.dynamicTimestampsForAudienceID(audienceID)));
    if (auto sequence = cache.sequenceTimestampsForAudienceID(audienceID)) {
        APMPBSetArray(data.get(), result_field::kSequenceTimestamps, objects(*sequence));
    }
    return APMFilterResult(audienceID, data->protoBuffer(),
                           current ? current->previousResults() : std::nullopt);
}

bool APMAudience::isFilterResultTrueForFilterID(const std::optional<APMFilterResult>& result,
                                                std::int32_t filterID) {
    auto data = currentData(result);
    if (!data) return false;
    const Words status = words(*data, result_field::kStatus);
    const Words results = words(*data, result_field::kResults);
    if (status.empty() || results.empty()) {
        monitor().logWithLevel(
            2, 6023,
            "Audience filter result is non-nil and is missing status or results "
            "array. Audience result will not be bundled. Audience ID, result data",
            Value(result->audienceID()), Value(data->description()));
        return false;
    }
    auto at = position(filterID);
    if (!at || at->word >= status.size() || (status[at->word] & at->bit) == 0) return false;
    return at->word < results.size() && (results[at->word] & at->bit) != 0;
}

// ---- bundling ----

bool APMAudience::resultsForBundling(std::optional<LeafResults>& out) {
    out.reset();
    NSError error;
    auto stored = database_->allFilterResults(&error);
    if (!stored) {
        monitor().logWithLevel(
            1, 6019,
            "Unable to query Audience filter results. Audience results will not be bundled. Error",
            error);
        return false;
    }
    LeafResults leaves;
    std::vector<APMFilterResult> queued;
    for (const auto& [audienceID, result] : *stored) {
        auto current = currentData(result);
        if (!current) {
            monitor().logWithLevel(
                2, 6020,
                "Current result data is nil. Audience result will not be bundled. Audience ID",
                Value(audienceID));
            continue;
        }
        const Words status = words(*current, result_field::kStatus);
        if (std::all_of(status.begin(), status.end(), [](std::uint64_t w) { return w == 0; })) {
            monitor().logWithLevel(
                2, 6021,
                "Current result status is 0. Audience result will not be bundled. Audience ID",
                Value(audienceID));
            continue;
        }
        auto leaf = APMPBAudienceLeafFilterResult::make();
        APMPBSetInt32(leaf.get(), leaf_field::kAudienceID, audienceID);
        const auto& previousBytes = result.previousResults();
        if (previousBytes && !previousBytes->empty()) {
            APMPBSetBool(leaf.get(), leaf_field::kNewResult, false);
            auto previous = APMPBResultData::initWithBuffer(*previousBytes);
            if (previous && previous->protoBuffer() == current->protoBuffer()) {
                // Unchanged since the last bundle: only the newest step of the
                // first sequence is carried on.
                auto sequences = messages<APMPBSequenceFilterResultTimestamp>(
                    *current, result_field::kSequenceTimestamps);
                if (!sequences.empty()) {
                    auto list = APMPBGetArray(sequences.front().get(), timestamp_field::kTimestamps,
                                              kAPMPBNumberClass);
                    if (list && list->size() >= 2) {
                        std::vector<APMPBObject> last{list->back()};
                        APMPBSetArray(sequences.front().get(), timestamp_field::kTimestamps, last);
                        APMPBSetArray(current.get(), result_field::kSequenceTimestamps,
                                      objects(sequences));
                    }
                }
            } else if (previous) {
                APMPBSetMessage(leaf.get(), leaf_field::kPrevious, previous.get());
            }
        } else {
            APMPBSetBool(leaf.get(), leaf_field::kNewResult, true);
        }
        APMPBSetMessage(leaf.get(), leaf_field::kCurrent, current.get());
        leaves.push_back(leaf);
        queued.emplace_back(audienceID, current->protoBuffer(), result.currentResults());
    }
    if (!queued.empty() && !database_->updateFilterResults(queued, &error)) {
        monitor().logWithLevel(1, 6022,
                               "Unable to save updated Audience filter results. Audience results "
                               "will not be bundled. Error",
                               error);
        return false;
    }
    out = std::move(leaves);
    return true;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
    NSError error;
    auto sessionScoped = database_->allSessionScopedFilters(&error);
    if (!sessionScoped) {
        monitor().logWithLevel(1, 6040,
                               "Unable to query all session scoped filters. Session scoped results "
                               "will not be cleared. Error",
                               error);
        return false;
    }
    auto stored = database_->allFilterResults(&error);
    if (!stored) {
        monitor().logWithLevel(1, 6041,
                               "Unable to query all filter results. Session scoped results will "
                               "not be cleared. Error",
                               error);
        return false;
    }
    for (const auto& [audienceID, filterIDs] : *sessionScoped) {
        auto found = stored->find(audienceID);
        if (found == stored->end()) continue;
        const APMFilterResult& result = found->second;
        auto data = currentData(result);
        if (!data) continue;
        Words status = words(*data, result_field::kStatus);
        Words results = words(*data, result_field::kResults);
        const std::set<std::int32_t> cleared(filterIDs.begin(), filterIDs.end());
        for (std::int32_t filterID : cleared) {
            auto at = position(filterID);
            if (!at) continue;
            // A word beyond the stored arrays holds no bit of this filter.
            if (at->word < status.size()) status[at->word] &= ~at->bit;
            if (at->word < results.size()) results[at->word] &= ~at->bit;
        }
        const bool anyLeft =
            std::any_of(status.begin(), status.end(), [](std::uint64_t w) { return w != 0; });
        if (!anyLeft) {
            if (!database_->deleteFilterResults({result}, &error)) {
                monitor().logWithLevel(1, 6042,
                                       "Unable to delete filter results. Session scoped results "
                                       "will not be cleared. Error",
                                       error);
                return false;
            }
            continue;
        }
        setWords(*data, result_field::kStatus, status);
        setWords(*data, result_field::kResults, results);
        auto keep = [&](const auto& entries) {
            using Entry = typename std::decay_t<decltype(entries)>::value_type::element_type;
            std::vector<std::shared_ptr<Entry>> out;
            for (const auto& entry : entries) {
                if (!cleared.count(APMPBGetInt32(entry.get(), timestamp_field::kFilterID))) {
                    out.push_back(entry);
                }
            }
            return objects(out);
        };
        APMPBSetArray(data.get(), result_field::kDynamicTimestamps,
                      keep(messages<APMPBDynamicFilterResultTimestamp>(
                          *data, result_field::kDynamicTimestamps)));
        APMPBSetArray(data.get(), result_field::kSequenceTimestamps,
                      keep(messages<APMPBSequenceFilterResultTimestamp>(
                          *data, result_field::kSequenceTimestamps)));
        if (!database_->updateFilterResults(
                {APMFilterResult(audienceID, data->protoBuffer(), result.currentResults())},
                &error)) {
            monitor().logWithLevel(2, 6043,
                                   "Unable to update filter results. Session scoped results will "
                                   "not be cleared. Error",
                                   error);
            return false;
        }
    }
    return true;
}
