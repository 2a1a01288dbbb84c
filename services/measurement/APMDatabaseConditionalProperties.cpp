#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMDatabaseInternal.h"
#include "services/measurement/APMMeasurement.h"
#include "services/util/ZVUSQLite.h"

namespace {

constexpr int64_t kMaxConditionalProperties = 1000;
constexpr int32_t kParamName = 0, kParamString = 1, kParamInt = 2, kParamDouble = 4,
                  kParamNested = 5;

void fail(NSError* error, long long code, const std::string& description) {
    APMDatabaseFail(error, code, description);
}

std::optional<Data> encodedEvent(const APMEvent& event) {
    auto bytes = event.encodedProtoEvent();
    if (!bytes || bytes->empty()) return std::nullopt;
    return bytes;
}

// A stored event column: NULL is no event; anything else must decode.
bool readEventColumn(const Dictionary& row, const char* column, std::optional<APMEvent>& out,
                     NSError* error) {
    const Value& value = row[column];
    if (value.isNull()) return true;
    out = APMDatabase::eventFromData(value, error);
    return out.has_value();
}

std::optional<APMConditionalUserProperty> propertyFromRow(const Dictionary& row, NSError* error) {
    APMConditionalUserProperty property;
    property.setName(row["name"].asString().value_or(""));
    property.setOrigin(row["origin"].asString().value_or(""));
    auto value = APMValue::valueFromObject(row["value"]);
    if (!value) {
        fail(error, 2, "Failed to read the value of a conditional user property");
        return std::nullopt;
    }
    property.setValue(std::move(value));
    property.setTriggerTimeout(row["trigger_timeout"].asDouble().value_or(0));
    property.setTimeToLive(row["time_to_live"].asDouble().value_or(0));
    property.setTriggerEventName(row["trigger_event_name"].asString().value_or(""));
    std::optional<APMEvent> triggered, timedOut, expired;
    if (!readEventColumn(row, "triggered_event", triggered, error) ||
        !readEventColumn(row, "timed_out_event", timedOut, error) ||
        !readEventColumn(row, "expired_event", expired, error)) {
        return std::nullopt;
    }
    property.setTriggeredEvent(std::move(triggered));
    property.setTimedOutEvent(std::move(timedOut));
    property.setExpiredEvent(std::move(expired));
    property.setActive(row["active"].asInt().value_or(0) != 0);
    property.setCreationTimestamp(row["creation_timestamp"].asDouble().value_or(0));
    property.setTriggeredTimestamp(row["triggered_timestamp"].asDouble().value_or(0));
    return property;
}

std::optional<APMValue> scalarOf(const APMPBMessage* param) {
    if (auto text = APMPBGetString(param, kParamString)) {
        return APMValue(APMValueTypeString, Value(*text));
    }
    if (APMPBHasField(param, kParamInt))
        return APMValue::initWithInt64(APMPBGetInt64(param, kParamInt));
    if (APMPBHasField(param, kParamDouble)) {
        return APMValue::initWithDouble(APMPBGetDouble(param, kParamDouble));
    }
    return std::nullopt;
}

}  // namespace

std::optional<APMEvent> APMDatabase::eventFromData(const Value& data, NSError* error) {
    const Data* bytes = data.asData();
    if (!bytes) {
        fail(error, 2, "Failed to convert data to an event. Data must be a NSData instance");
        return std::nullopt;
    }
    auto proto = APMPBEvent::initWithBuffer(*bytes);
    if (!proto) {
        fail(error, 2, "Failed to parse event from data");
        return std::nullopt;
    }
    auto event = APMEvent::initWithEventProto(*proto);
    if (!event) fail(error, 2, "Failed to initialize event from proto data");
    return event;
}

std::optional<APMEventParameters> APMDatabase::parametersFromEventParam(const APMPBMessage* param,
                                                                        bool nested,
                                                                        NSError* error) {
    if (!param) {
        fail(error, 1, "Failed to parse empty event params data");
        return std::nullopt;
    }
    const std::optional<std::string> name = APMPBGetString(param, kParamName);
    if (!nested && !name) {
        fail(error, 1, "Event parameter name is empty");
        return std::nullopt;
    }
    if (auto value = scalarOf(param)) {
        return APMEventParameters{{name.value_or(""), std::move(*value)}};
    }
    auto children = APMPBGetArray(param, kParamNested, APMPBEventParam::classObject());
    if (!children || children->empty()) {
        fail(error, 2, "Failed to parse invalid event params data");
        return std::nullopt;
    }
    if (!nested) {
        Array items;
        for (const auto& child : *children) {
            auto item = parametersFromEventParam(child.message().get(), true, error);
            if (!item) return std::nullopt;
            Dictionary plain;
            for (const auto& [key, value] : *item) plain.set(key, value.object());
            items.push_back(Value(std::move(plain)));
        }
        const Value array(std::move(items));
        auto value = APMValue::initWithArray(&array);
        if (!value) return std::nullopt;
        return APMEventParameters{{*name, std::move(*value)}};
    }
    APMEventParameters merged;
    for (const auto& child : *children) {
        const APMPBMessage* message = child.message().get();
        auto entry = parametersFromEventParam(message, true, error);
        if (!entry) return std::nullopt;
        // A child that is itself nested has no entry under its own name.
        const std::string childName =
            message ? APMPBGetString(message, kParamName).value_or("") : std::string();
        if (childName.empty() || entry->empty() || entry->begin()->first != childName) continue;
        merged.insert_or_assign(childName, entry->begin()->second);
    }
    return merged;
}

std::optional<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyWithName(
    const std::string& name, NSError* error) {
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM conditional_properties WHERE name = ?", Array{Value(name)}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return propertyFromRow(rows->front(), error);
}

bool APMDatabase::updateConditionalUserProperty(const APMConditionalUserProperty& property,
                                                NSError* error) {
    if (property.name().empty()) {
        fail(error, 3,
             "Received conditional user property with empty name for getting dictionary "
             "representation");
        return false;
    }
    if (property.origin().empty()) {
        fail(error, 3,
             "Received conditional user property with empty origin for getting dictionary "
             "representation");
        return false;
    }
    if (!property.value()) {
        fail(error, 3,
             "Received conditional user property with nil value for getting dictionary "
             "representation");
        return false;
    }
    Dictionary record{{"name", property.name()},
                      {"origin", property.origin()},
                      {"value", APMDatabaseStoredValue(*property.value())},
                      {"creation_timestamp", property.creationTimestamp()},
                      {"active", property.isActive() ? 1 : 0},
                      {"trigger_timeout", property.triggerTimeout()},
                      {"triggered_timestamp", property.triggeredTimestamp()},
                      {"time_to_live", property.timeToLive()}};
    if (!property.triggerEventName().empty()) {
        record.set("trigger_event_name", property.triggerEventName());
    }
    const std::pair<const char*, const std::optional<APMEvent>*> events[] = {
        {"triggered_event", &property.triggeredEvent()},
        {"timed_out_event", &property.timedOutEvent()},
        {"expired_event", &property.expiredEvent()}};
    for (const auto& [column, event] : events) {
        if (!*event) continue;
        if (auto bytes = encodedEvent(**event)) record.set(column, Value(std::move(*bytes)));
    }
    return upsertDataType(record, "conditional_properties", "name", Value(property.name()),
                          kMaxConditionalProperties, error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(const std::string& name, NSError* error) {
    return store_->deleteRecord("conditional_properties", "name", Value(name), error);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::timedOutConditionalUserProperties(double now, NSError* error) {
    return conditionalUserPropertiesWithCondition(
        "active=0 and abs(? - creation_timestamp) > trigger_timeout", Array{Value(now)}, error);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::expiredConditionalUserProperties(double now, NSError* error) {
    return conditionalUserPropertiesWithCondition(
        "active=1 and abs(? - triggered_timestamp) > time_to_live", Array{Value(now)}, error);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                             double now, NSError* error) {
    if (eventName.empty()) {
        fail(error, 1,
             "Received nil/empty event name for querying triggered conditional user properties");
        return std::nullopt;
    }
    return conditionalUserPropertiesWithCondition(
        "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
        Array{Value(eventName), Value(now)}, error);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                 const std::string& origin, NSError* error) {
    // Wildcards in the caller's text are matched literally.
    std::string condition;
    Array parameters;
    if (!origin.empty()) {
        condition = "origin LIKE ? ESCAPE '\\'";
        parameters.push_back(Value(ZVUSQLiteEscapeLike(origin)));
    }
    if (!prefix.empty()) {
        if (!condition.empty()) condition += " AND ";
        condition += "name LIKE ? || '%' ESCAPE '\\'";
        parameters.push_back(Value(ZVUSQLiteEscapeLike(prefix)));
    }
    if (condition.empty()) condition = "1 == 1";
    return conditionalUserPropertiesWithCondition(condition, parameters, error);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::conditionalUserPropertiesWithCondition(const std::string& condition,
                                                    const Array& parameters, NSError* error) {
    if (condition.empty()) {
        fail(error, 1, "Received empty condition for querying a conditional user property");
        return std::nullopt;
    }
    auto rows = store_->recordsForQuery(
        "SELECT rowid, * FROM conditional_properties WHERE " + condition, parameters, error);
    if (!rows) return std::nullopt;
    std::vector<APMConditionalUserProperty> out;
    out.reserve(rows->size());
    for (const auto& row : *rows) {
        auto property = propertyFromRow(row, error);
        if (!property) return std::nullopt;
        out.push_back(std::move(*property));
    }
    return out;
}

bool APMDatabase::updateComplexEventForAudienceEvaluation(int64_t eventID, int64_t childEventCount,
                                                          const APMEvent* mainEvent,
                                                          NSError* error) {
    if (!mainEvent) {
        fail(error, 1, "Received nil main event");
        return false;
    }
    auto bytes = encodedEvent(*mainEvent);
    if (!bytes) {
        fail(error, 1, "Cannot create the main event blob");
        return false;
    }
    return store_->upsertRecord(
        Dictionary{{"main_event", Value(std::move(*bytes))},
                   {"event_id", static_cast<long long>(eventID)},
                   {"children_to_process", static_cast<long long>(childEventCount)}},
        "main_event_params", error);
}

std::optional<std::pair<APMEvent, int64_t>> APMDatabase::mainEventAndChildCountPairWithEventID(
    int64_t eventID, NSError* error) {
    auto rows = store_->recordsForQuery("SELECT * FROM main_event_params WHERE event_id=? LIMIT 1",
                                        Array{Value(static_cast<long long>(eventID))}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const Dictionary& row = rows->front();
    if (row["main_event"].isNull()) {
        fail(error, 3, "Main event blob is nil in database");
        return std::nullopt;
    }
    auto count = row["children_to_process"].asInt();
    if (!count) {
        fail(error, 3, "Complex event does not have children count in database");
        return std::nullopt;
    }
    auto event = eventFromData(row["main_event"], error);
    if (!event) return std::nullopt;
    return std::pair<APMEvent, int64_t>(std::move(*event), *count);
}

bool APMDatabase::deleteComplexEventForAudienceEvaluation(int64_t eventID, NSError* error) {
    return store_
        ->deleteRecords("main_event_params", "event_id=?",
                        Array{Value(static_cast<long long>(eventID))}, error)
        .has_value();
}
