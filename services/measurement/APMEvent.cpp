#include "services/measurement/APMEvent.h"

#include <pb_encode.h>

#include <cfloat>
#include <limits>

#include "MeasurementUpload.pb.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

// Fields of the upload messages.
constexpr int32_t kEventParams = 0, kEventName = 1, kEventTimestamp = 2, kEventPrevious = 3;
constexpr int32_t kParamName = 0, kParamString = 1, kParamInt = 2, kParamDouble = 4,
                  kParamNested = 5;
constexpr int32_t kAttributeTimestamp = 0, kAttributeName = 1, kAttributeString = 2,
                  kAttributeInt = 3, kAttributeDouble = 5;

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

// Items of array values are plain dictionaries; their values keep their
// kind (floating numbers as doubles, other numbers as int64).
APMEventParameters typedItem(const Dictionary& item) {
    APMEventParameters out;
    for (const auto& [name, value] : item) {
        switch (value.type()) {
            case Value::Type::Double:
                out.emplace(name, APMValue::initWithDouble(*value.asDouble()));
                break;
            case Value::Type::Int:
            case Value::Type::UInt:
            case Value::Type::Bool:
                out.emplace(name, *APMValue::valueFromObject(value));
                break;
            case Value::Type::String:
                out.emplace(name, APMValue(APMValueTypeString, value));
                break;
            case Value::Type::Array:
                out.emplace(name, APMValue(APMValueTypeArray, value));
                break;
            default:
                break;
        }
    }
    return out;
}

int64_t milliseconds(double seconds) {
    return static_cast<int64_t>(seconds * 1000.0);
}

// Direct encoding of an event: the same fields, in the same order, as the
// message objects would get, written by nanopb from the event itself.

struct ItemList {
    const std::vector<APMEventParameters>* items = nullptr;
};

// Top-level parameters, with the typed items of each array parameter made
// up front, so the encoding callbacks only read.
struct ParameterPlan {
    const APMEventParameters* parameters = nullptr;
    std::map<std::string, std::vector<APMEventParameters>> items;
};

bool appendToData(pb_ostream_t* stream, const pb_byte_t* bytes, size_t count) {
    auto* out = static_cast<Data*>(stream->state);
    out->insert(out->end(), bytes, bytes + count);
    return true;
}

pb_ostream_t dataStream(Data& out) {
    pb_ostream_t stream = PB_OSTREAM_SIZING;
    stream.callback = appendToData;
    stream.state = &out;
    stream.max_size = std::numeric_limits<size_t>::max();
    return stream;
}

// Writes one parameter as a length-delimited field. It is encoded once into
// a buffer of its nesting level (0 to 2) rather than sized and then
// encoded again.
bool writeParam(pb_ostream_t* stream, const pb_field_t* field, const apmpb_EventParam& param,
                int level) {
    thread_local Data buffers[3];
    Data& buffer = buffers[level];
    buffer.clear();
    pb_ostream_t sub = dataStream(buffer);
    return pb_encode(&sub, apmpb_EventParam_fields, &param) &&
           pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, buffer.data(), buffer.size());
}

bool encodeText(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* text = static_cast<const std::string*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(text->data()), text->size());
}

// Fills the scalar fields of one parameter; NO for an array.
bool setScalar(apmpb_EventParam& param, const APMValue& value, std::string& text) {
    if (value.isDouble()) {
        param.has_double_value = true;
        param.double_value = value.doubleValue();
    } else if (value.isInt64()) {
        param.has_int_value = true;
        param.int_value = value.int64Value();
    } else if (value.isString()) {
        auto string = value.stringValue();
        if (!string) return false;
        text = std::move(*string);
        param.string_value.funcs.encode = encodeText;
        param.string_value.arg = &text;
    } else {
        return false;
    }
    return true;
}

// The parameters of one array item; arrays inside items are left out.
bool encodeNestedParams(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* parameters = static_cast<const APMEventParameters*>(*arg);
    for (const auto& [name, value] : *parameters) {
        if (value.isArray()) continue;
        apmpb_EventParam param = apmpb_EventParam_init_zero;
        param.name.funcs.encode = encodeText;
        param.name.arg = const_cast<std::string*>(&name);
        std::string text;
        setScalar(param, value, text);
        if (!writeParam(stream, field, param, 2)) return false;
    }
    return true;
}

bool encodeItems(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* list = static_cast<const ItemList*>(*arg);
    for (const auto& item : *list->items) {
        apmpb_EventParam param = apmpb_EventParam_init_zero;
        param.param_value.funcs.encode = encodeNestedParams;
        param.param_value.arg = const_cast<APMEventParameters*>(&item);
        if (!writeParam(stream, field, param, 1)) return false;
    }
    return true;
}

bool encodeTopParams(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* plan = static_cast<const ParameterPlan*>(*arg);
    for (const auto& [name, value] : *plan->parameters) {
        apmpb_EventParam param = apmpb_EventParam_init_zero;
        param.name.funcs.encode = encodeText;
        param.name.arg = const_cast<std::string*>(&name);
        std::string text;
        ItemList list;
        if (!setScalar(param, value, text) && value.isArray()) {
            auto found = plan->items.find(name);
            if (found != plan->items.end() && !found->second.empty()) {
                list.items = &found->second;
                param.param_value.funcs.encode = encodeItems;
                param.param_value.arg = &list;
            }
        }
        if (!writeParam(stream, field, param, 0)) return false;
    }
    return true;
}

}  // namespace

std::vector<APMPBObject> APMEventParamsToProto(const APMEventParameters& parameters,
                                               const std::string& eventName, bool nested) {
    std::vector<APMPBObject> out;
    for (const auto& [name, value] : parameters) {
        auto param = APMPBEventParam::make();
        APMPBSetString(param.get(), kParamName, Value(name));
        if (value.isDouble()) {
            APMPBSetDouble(param.get(), kParamDouble, value.doubleValue());
        } else if (value.isInt64()) {
            APMPBSetInt64(param.get(), kParamInt, value.int64Value());
        } else if (value.isString()) {
            APMPBSetString(param.get(), kParamString, Value(*value.stringValue()));
        } else if (value.isArray()) {
            if (nested) {
                monitor().logWithLevel(
                    2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
                    Value(eventName), Value(name));
                continue;
            }
            std::vector<APMPBObject> items;
            for (const auto& item : value.arrayValue().value_or(Array{})) {
                const Dictionary* dictionary = item.asDictionary();
                if (!dictionary) continue;
                auto itemParam = APMPBEventParam::make();
                APMPBSetArray(itemParam.get(), kParamNested,
                              APMEventParamsToProto(typedItem(*dictionary), eventName, true));
                items.emplace_back(itemParam);
            }
            APMPBSetArray(param.get(), kParamNested, items);
        }
        out.emplace_back(param);
    }
    return out;
}

Dictionary APMEventParamsToObjects(const APMEventParameters& parameters, bool nested) {
    Dictionary out;
    for (const auto& [name, value] : parameters) {
        if (value.isArray()) {
            if (nested) continue;
            Array items;
            for (const auto& item : value.arrayValue().value_or(Array{})) {
                if (const Dictionary* d = item.asDictionary()) {
                    items.push_back(Value(APMEventParamsToObjects(typedItem(*d), true)));
                }
            }
            out.set(name, Value(std::move(items)));
        } else {
            out.set(name, value.object());
        }
    }
    return out;
}

std::optional<APMEvent> APMEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                                 const std::string& name, double timestamp,
                                                 double previousTimestamp,
                                                 const APMRawParameters& parameters,
                                                 std::optional<int64_t> maxPublicEventParams) {
    const Value originObject(origin), nameObject(name);
    int64_t failure = 0;
    if (!APMDataTypeValidator::isValidForwardedEventOrigin(&originObject, &failure) &&
        !(failure == APMValidatorFailureNoForwardTag &&
          APMDataTypeValidator::isValidInternalEventOrigin(&originObject))) {
        return std::nullopt;
    }
    if (isPublic && !APMDataTypeValidator::isValidPublicEventName(&nameObject)) return std::nullopt;
    if (!APMDataTypeValidator::isValidInternalEventName(&nameObject)) return std::nullopt;
    if (previousTimestamp > timestamp) {
        monitor().logWithLevel(5, 16002,
                               "Event created with previous timestamp after current timestamp");
    }
    APMEvent event;
    event.origin_ = origin;
    event.name_ = name;
    event.timestamp_ = timestamp;
    event.previousTimestamp_ = previousTimestamp;
    event.maxPublicEventParams_ =
        maxPublicEventParams.value_or(APMMeasurement::remoteConfig()->maxPublicEventParams());
    event.parameters_ =
        APMSanitizeEventParameters(parameters, &name, isPublic, false, event.maxPublicEventParams_)
            .value_or(APMEventParameters{});
    event.parameters_.insert_or_assign("_o", APMValue(APMValueTypeString, Value(origin)));
    if (event.shouldValidateParams() && !APMValidateValueAndCurrency(event.parameters_)) {
        event.parameters_.erase("_c");
    }
    return event;
}

std::optional<APMEvent> APMEvent::initWithEventProto(const APMPBEvent& proto,
                                                     std::optional<int64_t> maxPublicEventParams) {
    const std::string name = APMPBGetString(&proto, kEventName).value_or("");
    const double timestamp = static_cast<double>(APMPBGetInt64(&proto, kEventTimestamp)) / 1000.0;
    const double previous =
        APMPBHasField(&proto, kEventPrevious)
            ? static_cast<double>(APMPBGetInt64(&proto, kEventPrevious)) / 1000.0
            : 0.0;
    std::string origin;
    APMRawParameters parameters;
    auto params = APMPBGetArray(&proto, kEventParams, APMPBEventParam::classObject());
    for (const auto& object : params.value_or(std::vector<APMPBObject>{})) {
        const APMPBMessage* param = object.message().get();
        if (!param) continue;
        auto paramName = APMPBGetString(param, kParamName);
        if (!paramName) {
            monitor().logWithLevel(
                2, 15000, "Ignoring parameter. Parameter name is nil. Event name", Value(name));
            continue;
        }
        if (*paramName == "_o") {
            auto text = APMPBGetString(param, kParamString);
            if (!text) {
                monitor().logWithLevel(2, 15001,
                                       "Cannot create an event from event proto. Origin parameter "
                                       "is not a string. Event name",
                                       Value(name));
                return std::nullopt;
            }
            origin = *text;
        } else if (auto text = APMPBGetString(param, kParamString)) {
            parameters.insert_or_assign(*paramName, APMValue(APMValueTypeString, Value(*text)));
        } else if (APMPBHasField(param, kParamInt)) {
            parameters.insert_or_assign(*paramName,
                                        APMValue::initWithInt64(APMPBGetInt64(param, kParamInt)));
        } else if (APMPBHasField(param, kParamDouble)) {
            parameters.insert_or_assign(
                *paramName, APMValue::initWithDouble(APMPBGetDouble(param, kParamDouble)));
        } else {
            monitor().logWithLevel(5, 15002,
                                   "Unknown event parameter type from converting an event proto "
                                   "into APMEvent instance. Event param name",
                                   Value(*paramName));
        }
    }
    return initWithOrigin(origin, false, name, timestamp, previous, parameters,
                          maxPublicEventParams);
}

std::optional<APMEvent> APMEvent::eventFromEditEvent(const APMPEvent& editEvent) {
    std::string name = editEvent.name;
    auto reserved = APMReservedEventNames().find(name);
    if (reserved != APMReservedEventNames().end()) name = reserved->second;
    const Value& o = editEvent.parameters["_o"];
    const std::string origin = o.isString() ? *o.asString() : "app";
    APMRawParameters parameters;
    for (const auto& [key, value] : editEvent.parameters) parameters.emplace(key, value);
    return initWithOrigin(origin, false, name, editEvent.timestamp, 0, parameters);
}

std::shared_ptr<APMPBEvent> APMEvent::protoEvent() const {
    auto proto = APMPBEvent::make();
    APMPBSetString(proto.get(), kEventName, Value(name_));
    if (previousTimestamp_ > DBL_EPSILON) {
        APMPBSetInt64(proto.get(), kEventPrevious, milliseconds(previousTimestamp_));
    }
    APMPBSetInt64(proto.get(), kEventTimestamp, milliseconds(timestamp_));
    APMPBSetArray(proto.get(), kEventParams, APMEventParamsToProto(parameters_, name_, false));
    return proto;
}

std::optional<Data> APMEvent::encodedProtoEvent(bool withName) const {
    ParameterPlan plan;
    plan.parameters = &parameters_;
    for (const auto& [name, value] : parameters_) {
        if (!value.isArray()) continue;
        auto& items = plan.items[name];
        for (const auto& item : value.arrayValue().value_or(Array{})) {
            const Dictionary* dictionary = item.asDictionary();
            if (!dictionary) continue;
            items.push_back(typedItem(*dictionary));
            for (const auto& [itemName, itemValue] : items.back()) {
                if (!itemValue.isArray()) continue;
                monitor().logWithLevel(
                    2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
                    Value(name_), Value(itemName));
            }
        }
    }
    apmpb_Event event = apmpb_Event_init_zero;
    if (!parameters_.empty()) {
        event.params.funcs.encode = encodeTopParams;
        event.params.arg = &plan;
    }
    if (withName) {
        event.name.funcs.encode = encodeText;
        event.name.arg = const_cast<std::string*>(&name_);
    }
    event.has_timestamp_millis = true;
    event.timestamp_millis = milliseconds(timestamp_);
    if (previousTimestamp_ > DBL_EPSILON) {
        event.has_previous_timestamp_millis = true;
        event.previous_timestamp_millis = milliseconds(previousTimestamp_);
    }
    Data out;
    out.reserve(64 + 32 * parameters_.size());
    pb_ostream_t stream = dataStream(out);
    if (!pb_encode(&stream, apmpb_Event_fields, &event)) return std::nullopt;
    return out;
}

APMPEvent APMEvent::editEvent() const {
    std::string name = name_;
    auto found = APMReservedEventNamesByInternalName().find(name);
    if (found != APMReservedEventNamesByInternalName().end()) name = found->second;
    return APMPEvent(name, timestamp_, APMEventParamsToObjects(parameters_, false));
}

APMRawParameters APMEvent::raw(const APMEventParameters& parameters) {
    APMRawParameters out;
    for (const auto& [name, value] : parameters) out.emplace(name, value);
    return out;
}

std::optional<APMEvent> APMEvent::copy() const {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, raw(parameters_),
                          maxPublicEventParams_);
}

std::optional<APMEvent> APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, raw(parameters_),
                          maxPublicEventParams_);
}

std::optional<APMEvent> APMEvent::copyWithParameters(const APMRawParameters& parameters) const {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters,
                          maxPublicEventParams_);
}

void APMEvent::applyParameters(const APMRawParameters& parameters) {
    if (parameters.empty()) return;
    auto cleaned = APMSanitizeParameters(parameters, true);
    if (!cleaned || cleaned->empty()) return;
    for (const auto& [name, value] : parameters_) cleaned->insert_or_assign(name, value);
    parameters_ = std::move(*cleaned);
}

bool APMEvent::addScreenParameters(const APMRawParameters& screen) {
    if (screen.empty() || APMEventHasScreenParameters(parameters_)) return false;
    auto si = screen.find("_si");
    if (si == screen.end()) return false;
    // A plain string or a string value, passing the screen-value rule.
    auto checkText = [&](const char* key, long long code, const char* message) {
        auto it = screen.find(key);
        if (it == screen.end()) return true;
        std::optional<std::string> text;
        if (const APMValue* typed = std::get_if<APMValue>(&it->second)) {
            text = typed->stringValue();
        } else if (std::get<Value>(it->second).isString()) {
            text = std::get<Value>(it->second).asString();
        }
        if (!text) return false;
        const Value object(*text);
        if (!APMDataTypeValidator::isValidScreenParameterValue(&object)) {
            monitor().logWithLevel(3, code, message, object);
            return false;
        }
        return true;
    };
    if (!checkText("_sc", 16003, "Received invalid screen class")) return false;
    const APMValue* siTyped = std::get_if<APMValue>(&si->second);
    if (siTyped ? !siTyped->isInt64() : !std::get<Value>(si->second).isNumber()) return false;
    if (!checkText("_sn", 16004, "Received invalid screen name")) return false;
    auto convert = [](const APMParameterObject& object) -> std::optional<APMValue> {
        if (const APMValue* typed = std::get_if<APMValue>(&object)) return *typed;
        return APMValue::valueFromObject(std::get<Value>(object));
    };
    auto siValue = convert(si->second);
    if (!siValue) return false;
    parameters_.insert_or_assign("_si", *siValue);
    for (const char* key : {"_sc", "_sn"}) {
        auto it = screen.find(key);
        if (it == screen.end()) continue;
        if (auto value = convert(it->second)) parameters_.insert_or_assign(key, *value);
    }
    return true;
}

bool APMEvent::isConversion() const {
    auto it = parameters_.find("_c");
    return it != parameters_.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

void APMEvent::setConversion(bool conversion) {
    if (conversion) {
        if (!APMValidateValueAndCurrency(parameters_)) return;
        parameters_.insert_or_assign("_c", APMValue::initWithInt64(1));
        auto err = parameters_.find("_err");
        if (err != parameters_.end() && err->second.isInt64() && err->second.int64Value() == 10) {
            parameters_.erase(err);
        }
    } else if (parameters_.erase("_c")) {
        APMSetErrorCodeParameter(parameters_, 10);
    }
}

bool APMEvent::isRealtime() const {
    auto it = parameters_.find("_r");
    if (it == parameters_.end()) return false;
    if (it->second.isInt64()) return it->second.int64Value() == 1;
    monitor().logWithLevel(2, 16006, "Realtime parameter must be an int64. Event name",
                           Value(name_));
    return false;
}

void APMEvent::setRealtime(bool realtime) {
    if (realtime) {
        parameters_.insert_or_assign("_r", APMValue::initWithInt64(1));
    } else {
        parameters_.erase("_r");
    }
}

bool APMEvent::isDebug() const {
    auto it = parameters_.find("_dbg");
    return it != parameters_.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

void APMEvent::setDebug(bool debug) {
    if (debug) {
        parameters_.insert_or_assign("_dbg", APMValue::initWithInt64(1));
    } else {
        parameters_.erase("_dbg");
    }
}

bool APMEvent::shouldValidateParams() const {
    return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

std::optional<APMUserAttribute> APMUserAttribute::initWithOrigin(const std::string& origin,
                                                                 const std::string& name,
                                                                 const APMValue& value,
                                                                 double lastSetTimestamp) {
    const Value nameObject(name);
    if (!APMDataTypeValidator::isValidInternalUserAttributeName(&nameObject) ||
        !APMDataTypeValidator::isValidInternalUserAttributeValue(&value, name)) {
        return std::nullopt;
    }
    return APMUserAttribute(origin, name, value, lastSetTimestamp);
}

bool APMUserAttribute::isPublic() const {
    return !name_.empty() && name_[0] != '_';
}

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
    auto proto = APMPBUserAttribute::make();
    APMPBSetString(proto.get(), kAttributeName, Value(name_));
    if (value_.isDouble()) {
        APMPBSetDouble(proto.get(), kAttributeDouble, value_.doubleValue());
    } else if (value_.isInt64()) {
        APMPBSetInt64(proto.get(), kAttributeInt, value_.int64Value());
    } else if (auto text = value_.stringValue()) {
        APMPBSetString(proto.get(), kAttributeString, Value(*text));
    }
    APMPBSetInt64(proto.get(), kAttributeTimestamp, milliseconds(lastSetTimestamp_));
    return proto;
}
