#include "services/transport/ZDTCOREvent.h"

#include <uuid/uuid.h>

#include <cctype>
#include <charconv>
#include <functional>
#include <mutex>

#include <nlohmann/json.hpp>

#include "platform/dispatch/Clock.h"
#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/util/ZVUBase64.h"

namespace {
constexpr const char* kEventIDKey = "ZDTCOREventEventIDKey";
constexpr const char* kMappingIDKey = "ZDTCOREventMappingIDKey";
constexpr const char* kTargetKey = "ZDTCOREventTargetKey";
constexpr const char* kQoSTierKey = "ZDTCOREventQoSTierKey";
constexpr const char* kClockSnapshotKey = "ZDTCOREventClockSnapshotKey";
constexpr const char* kCustomDataKey = "ZDTCOREventCustomDataKey";
constexpr const char* kExpirationDateKey = "ZDTCOREventExpirationDateKey";
constexpr const char* kSerializedBytesKey = "ZDTCOREventSerializedDataObjectBytesKey";

constexpr const char* kNeedsNetworkInfoMember = "needs_network_connection_info";
constexpr const char* kNetworkInfoMember = "network_connection_info";
constexpr const char* kEventCodeMember = "event_code_info";

using json = nlohmann::json;

std::optional<json> parseObject(const Data& bytes) {
    json parsed = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

Data toBytes(const json& object) {
    const std::string text = object.dump();
    return Data(text.begin(), text.end());
}

std::optional<Data> dataValue(const Id& id) {
    if (const Value* v = id.value()) {
        if (const Data* d = v->asData()) return *d;
    }
    return std::nullopt;
}

std::size_t hashData(const std::optional<Data>& data) {
    if (!data) return 0;
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}
}  // namespace

std::string ZDTCOREvent::nextEventID() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    std::string id;
    for (const char* p = text; *p; ++p) {
        if (*p != '-') id.push_back(*p);
    }
    return id;
}

std::shared_ptr<ZDTCOREvent> ZDTCOREvent::initWithMappingID(
    const std::optional<std::string>& mappingID, ZDTCORTarget target) {
    const bool validMapping =
        ZDTCORAssert(mappingID && !mappingID->empty(), "Please give a valid mapping ID");
    const bool validTarget = ZDTCORAssert(target > 0, "A target cannot be negative or 0");
    if (!validMapping || !validTarget) return nullptr;
    auto event = std::make_shared<ZDTCOREvent>();
    event->eventID_ = nextEventID();
    event->mappingID_ = *mappingID;
    event->target_ = target;
    event->qosTier_ = ZDTCOREventQoSDefault;
    event->expirationDate_ = Date::fromUnix(sim::wallClockSeconds() + kDefaultLifetimeSeconds);
    ZDTCORLogDebug("Event %@ created. ID:%@ mappingID: %@ target:%ld",
                   {event->description(), event->eventID_, event->mappingID_, event->target_});
    return event;
}

std::shared_ptr<ZDTCOREvent> ZDTCOREvent::copy() const {
    auto copy = initWithMappingID(mappingID_, target_);
    if (!copy) return nullptr;
    copy->eventID_ = eventID_;
    copy->setDataObject(dataObject_);
    // A decoded event has no data object; its payload still travels.
    if (!dataObject_) copy->serializedDataObjectBytes_ = serializedDataObjectBytes_;
    copy->qosTier_ = qosTier_;
    copy->clockSnapshot_ = clockSnapshot_;
    copy->customBytes_ = customBytes_;
    copy->expirationDate_ = expirationDate_;
    ZDTCORLogDebug("Copying event %@ to event %@", {description(), copy->description()});
    return copy;
}

void ZDTCOREvent::setDataObject(std::shared_ptr<ZDTCOREventDataObject> dataObject) {
    dataObject_ = std::move(dataObject);
    if (dataObject_) serializedDataObjectBytes_ = dataObject_->transportBytes();
}

void ZDTCOREvent::setNeedsNetworkConnectionInfoPopulated(bool needs) {
    const char* message = "Error when setting the event for needs_network_connection_info: %@";
    if (!needs) {
        if (!customBytes_) return;
        auto object = parseObject(*customBytes_);
        if (!object) {
            ZDTCORLogDebug(message, {std::string("invalid JSON")});
            return;
        }
        if (object->contains(kEventCodeMember)) {
            json only = json::object();
            only[kEventCodeMember] = (*object)[kEventCodeMember];
            customBytes_ = toBytes(only);
        }
        return;
    }
    json object = json::object();
    if (customBytes_) {
        auto parsed = parseObject(*customBytes_);
        if (!parsed) {
            ZDTCORLogDebug(message, {std::string("invalid JSON")});
            return;
        }
        object = std::move(*parsed);
    }
    object[kNeedsNetworkInfoMember] = true;
    customBytes_ = toBytes(object);
}

bool ZDTCOREvent::needsNetworkConnectionInfoPopulated() const {
    if (!customBytes_) return false;
    auto object = parseObject(*customBytes_);
    if (!object || !object->contains(kNeedsNetworkInfoMember)) return false;
    const json& member = (*object)[kNeedsNetworkInfoMember];
    if (member.is_boolean()) return member.get<bool>();
    if (member.is_number()) return member.get<double>() != 0;
    return false;
}

void ZDTCOREvent::setNetworkConnectionInfoData(const std::optional<Data>& data) {
    if (!data) return;
    json object = json::object();
    if (customBytes_) {
        auto parsed = parseObject(*customBytes_);
        if (!parsed) {
            ZDTCORLogDebug("Error when setting an event's network_connection_info: %@",
                           {std::string("invalid JSON")});
            return;
        }
        object = std::move(*parsed);
    }
    object[kNetworkInfoMember] = ZVUBase64Encode(*data);
    customBytes_ = toBytes(object);
}

std::optional<Data> ZDTCOREvent::networkConnectionInfoData() const {
    if (!customBytes_) return std::nullopt;
    auto object = parseObject(*customBytes_);
    if (!object || !object->contains(kNetworkInfoMember)) return std::nullopt;
    const json& member = (*object)[kNetworkInfoMember];
    if (!member.is_string()) return std::nullopt;
    return ZVUBase64Decode(member.get<std::string>());
}

void ZDTCOREvent::setEventCode(std::optional<std::int64_t> code) {
    const char* message = "Error when setting an event's event_code: %@";
    if (!code && !customBytes_) return;
    json object = json::object();
    if (customBytes_) {
        auto parsed = parseObject(*customBytes_);
        if (!parsed) {
            ZDTCORLogDebug(message, {std::string("invalid JSON")});
            return;
        }
        object = std::move(*parsed);
    }
    if (code) {
        object[kEventCodeMember] = std::to_string(*code);
    } else {
        object.erase(kEventCodeMember);
    }
    customBytes_ = toBytes(object);
}

std::optional<std::int64_t> ZDTCOREvent::eventCode() const {
    if (!customBytes_) return std::nullopt;
    auto object = parseObject(*customBytes_);
    if (!object || !object->contains(kEventCodeMember)) return std::nullopt;
    const json& member = (*object)[kEventCodeMember];
    if (!member.is_string()) return std::nullopt;
    const std::string text = member.get<std::string>();
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::size_t ZDTCOREvent::hash() const {
    std::hash<std::string> h;
    return h(eventID_) ^ h(mappingID_) ^ (clockSnapshot_ ? clockSnapshot_->hash() : 0) ^
           hashData(serializedDataObjectBytes_) ^ static_cast<std::size_t>(target_) ^
           static_cast<std::size_t>(qosTier_);
}

bool ZDTCOREvent::isEqual(const NSObject& other) const {
    auto* event = dynamic_cast<const ZDTCOREvent*>(&other);
    if (!event) return false;
    const bool sameClock = clockSnapshot_ && event->clockSnapshot_
                               ? clockSnapshot_->isEqual(*event->clockSnapshot_)
                               : !clockSnapshot_ && !event->clockSnapshot_;
    return event->eventID_ == eventID_ && event->mappingID_ == mappingID_ &&
           event->target_ == target_ && event->qosTier_ == qosTier_ && sameClock &&
           event->serializedDataObjectBytes_ == serializedDataObjectBytes_;
}

std::string ZDTCOREvent::description() const {
    return "<ZDTCOREvent " + eventID_ + " mappingID:" + mappingID_ +
           " target:" + std::to_string(target_) + ">";
}

void ZDTCOREvent::encodeWithCoder(NSCoder& coder) const {
    coder.encodeObject(eventID_, kEventIDKey);
    coder.encodeObject(mappingID_, kMappingIDKey);
    coder.encodeInteger(target_, kTargetKey);
    coder.encodeInteger(qosTier_, kQoSTierKey);
    if (clockSnapshot_) coder.encodeObject(Id(clockSnapshot_), kClockSnapshotKey);
    if (customBytes_) coder.encodeObject(Id(Value(*customBytes_)), kCustomDataKey);
    if (expirationDate_) coder.encodeObject(Id(Value(*expirationDate_)), kExpirationDateKey);
    if (serializedDataObjectBytes_) {
        coder.encodeObject(Id(Value(*serializedDataObjectBytes_)), kSerializedBytesKey);
    }
}

std::shared_ptr<ZDTCOREvent> ZDTCOREvent::initWithCoder(NSCoder& coder) {
    auto event = std::make_shared<ZDTCOREvent>();
    const Id mappingID = coder.decodeObjectOfClass("NSString", kMappingIDKey);
    if (auto v = mappingID.value()) event->mappingID_ = v->asString().value_or("");
    event->target_ = coder.decodeIntegerForKey(kTargetKey);
    const Id eventID = coder.decodeObjectOfClass("NSString", kEventIDKey);
    if (auto v = eventID.value()) event->eventID_ = v->asString().value_or("");
    if (event->eventID_.empty()) event->eventID_ = nextEventID();
    event->qosTier_ = coder.decodeIntegerForKey(kQoSTierKey);
    event->clockSnapshot_ =
        coder.decodeObjectOfClass(ZDTCORClock::kClassName, kClockSnapshotKey).as<ZDTCORClock>();
    event->customBytes_ = dataValue(coder.decodeObjectOfClass("NSData", kCustomDataKey));
    const Id expiration = coder.decodeObjectOfClass("NSDate", kExpirationDateKey);
    if (auto v = expiration.value()) event->expirationDate_ = v->asDate();
    event->serializedDataObjectBytes_ =
        dataValue(coder.decodeObjectOfClass("NSData", kSerializedBytesKey));
    if (!event->serializedDataObjectBytes_ || coder.error()) return nullptr;
    return event;
}

void ZDTCOREvent::registerCoding() {
    static std::once_flag once;
    std::call_once(once, [] {
        ZDTCORClock::registerCoding();
        registerCodingClass<ZDTCOREvent>();
    });
}
