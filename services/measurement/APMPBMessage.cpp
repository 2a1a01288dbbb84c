#include "services/measurement/APMPBMessage.h"

#include <unicode/ustring.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/log/Log.h"
#include "services/measurement/APMPBCells.h"

namespace {

[[gnu::format(printf, 1, 2)]] void logLine(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    NSLog(line);
}

// The record and type of a usable wrapper; logs `operation` otherwise.
const APMPBMessageInfo* recordOf(const APMPBMessage* message, const char* operation) {
    const APMPBMessageInfo* info = message != nullptr ? message->messageInfo() : nullptr;
    if (info == nullptr || info->fields == nullptr) {
        logLine("ProtocolBuffer message hasn't been initialized. %s can't be performed", operation);
        return nullptr;
    }
    return info;
}

bool knownField(const APMPBMessage* message, std::int32_t fieldID) {
    if (fieldID >= 0 && static_cast<std::uint32_t>(fieldID) < message->messageType().fieldCount) {
        return true;
    }
    logLine("<Nano/Failure> Unknown field. Message: %s, field ID: %d", message->messageID(),
            fieldID);
    return false;
}

// The slot of a field that passes `accepts`, or null after logging.
template <class Accepts>
void** slotFor(const APMPBMessage* message, std::int32_t fieldID, const char* operation,
               const char* kindName, Accepts accepts) {
    const APMPBMessageInfo* info = recordOf(message, operation);
    if (info == nullptr || !knownField(message, fieldID)) return nullptr;
    if (!accepts(info->types[fieldID])) {
        logLine("<Nano/Failure> Field type isn't %s. Message: %s, field ID: %d", kindName,
                info->name, fieldID);
        return nullptr;
    }
    return &info->fields[fieldID];
}

bool isBool(std::uint32_t t) {
    return (t & 0x28) == APMPB_TYPE_BOOL;
}
bool isInt32(std::uint32_t t) {
    return (t & 0x1C0) != 0 && !(t & APMPB_FIELD_REPEATED);
}
bool isInt64(std::uint32_t t) {
    return (t & 0x600) != 0 && !(t & APMPB_FIELD_REPEATED);
}
bool isFloat(std::uint32_t t) {
    return (t & 0x808) == APMPB_TYPE_FLOAT;
}
bool isDouble(std::uint32_t t) {
    return (t & 0x1008) == APMPB_TYPE_DOUBLE;
}
bool isString(std::uint32_t t) {
    return (t & 0x2008) == APMPB_TYPE_STRING;
}
bool isBytesLike(std::uint32_t t) {
    return !(t & APMPB_FIELD_REPEATED) && (t & (APMPB_TYPE_STRING | APMPB_TYPE_BYTES)) != 0;
}
bool isMessage(std::uint32_t t) {
    return (t & 0x4008) == APMPB_TYPE_MESSAGE;
}
bool isRepeated(std::uint32_t t) {
    return (t & APMPB_FIELD_REPEATED) != 0;
}

std::uint64_t cellBits(const void* cell) {
    std::uint64_t v = 0;
    std::memcpy(&v, cell, sizeof v);
    return v;
}

bool validUTF8(const char* bytes, std::size_t length) {
    if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return false;
    UErrorCode status = U_ZERO_ERROR;
    std::int32_t needed = 0;
    u_strFromUTF8(nullptr, 0, &needed, bytes, static_cast<std::int32_t>(length), &status);
    return status == U_ZERO_ERROR || status == U_BUFFER_OVERFLOW_ERROR ||
           status == U_STRING_NOT_TERMINATED_WARNING;
}

std::optional<std::string> stringOf(const APMPBArray* cell) {
    if (cell == nullptr || cell->data == nullptr) return std::nullopt;
    const auto* bytes = static_cast<const char*>(cell->data);
    if (!validUTF8(bytes, cell->count)) return std::nullopt;
    return std::string(bytes, cell->count);
}

// The number's value as the platform's longLongValue gives it.
std::int64_t longLongValue(const Value& v) {
    if (auto b = v.asBool()) return *b ? 1 : 0;
    if (v.type() == Value::Type::UInt) return static_cast<std::int64_t>(*v.asUInt());
    if (v.type() == Value::Type::Int) return *v.asInt();
    const double d = v.asDouble().value_or(0);
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

double doubleValue(const Value& v) {
    if (auto b = v.asBool()) return *b ? 1 : 0;
    return v.asDouble().value_or(0);
}

bool isNumber(const Value& v) {
    return v.isNumber() || v.isBool();
}

// One element into *slot; false (after logging) when it is of the wrong kind.
bool storeElement(std::uint32_t t, const APMPBMessageType& type, std::int32_t fieldID,
                  const APMPBObject& element, void** slot) {
    const Value& v = element.value();
    const bool plainNumber = element.message() == nullptr && isNumber(v);
    auto refuse = [&](const char* expected) {
        logLine("<ERROR> Invalid object type. %s Type: %s", expected, element.className().c_str());
        return false;
    };
    if (t & APMPB_TYPE_BOOL) {
        if (!plainNumber) return refuse("Boolean fields expect NSNumber.");
        APMPBSetBoolCell(slot, longLongValue(v) != 0 || doubleValue(v) != 0);
    } else if (t & (APMPB_TYPE_INT32 | APMPB_TYPE_UINT32)) {
        if (!plainNumber) return refuse("Int32 fields expect NSNumber.");
        APMPBSetUInt32Cell(slot, static_cast<std::uint32_t>(longLongValue(v)));
    } else if (t & (APMPB_TYPE_INT64 | APMPB_TYPE_UINT64)) {
        if (!plainNumber) return refuse("Int64 fields expect NSNumber.");
        APMPBSetUInt64Cell(slot, static_cast<std::uint64_t>(longLongValue(v)));
    } else if (t & APMPB_TYPE_FLOAT) {
        if (!plainNumber) return refuse("Float fields expect NSNumber.");
        APMPBSetFloatCell(slot, static_cast<float>(doubleValue(v)));
    } else if (t & APMPB_TYPE_DOUBLE) {
        if (!plainNumber) return refuse("Double fields expect NSNumber.");
        APMPBSetDoubleCell(slot, doubleValue(v));
    } else if (t & APMPB_TYPE_ENUM) {
        if (!plainNumber) return refuse("Enum fields expect NSNumber.");
        APMPBSetUInt32Cell(slot, static_cast<std::uint32_t>(longLongValue(v)));
    } else if (t & APMPB_TYPE_STRING) {
        if (element.message() != nullptr || !v.isString()) {
            return refuse("String fields expect NSString.");
        }
        const std::string s = *v.asString();
        APMPBSetBytesCell(slot, s.data(), s.size());
    } else if (t & APMPB_TYPE_BYTES) {
        if (element.message() != nullptr || !v.isData())
            return refuse("Bytes fields expect NSData.");
        const Data& d = *v.asData();
        APMPBSetBytesCell(slot, d.data(), d.size());
    } else if (t & APMPB_TYPE_MESSAGE) {
        // A record of another message type would be read with the wrong
        // field table.
        const APMPBMessage* m = element.message().get();
        const APMPBMessageType* expected = type.fields[fieldID].element;
        if (m == nullptr || m->messageInfo() == nullptr ||
            std::strcmp(m->messageID(), expected->name) != 0) {
            return refuse("Message fields expect NANOMessageBase.");
        }
        auto** record = reinterpret_cast<APMPBMessageInfo**>(slot);
        if (!m->copyMessageInfoFn()(record, m->messageInfo())) return false;
    } else {
        logLine("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d",
                static_cast<int>(t));
        return false;
    }
    return *slot != nullptr;
}

}  // namespace

std::string APMPBClassName(const Value& value) {
    return value.isNull() ? "NSNull" : archiveClassName(value);
}

std::string APMPBObject::className() const {
    return message_ != nullptr ? message_->className() : APMPBClassName(value_);
}

APMPBMessage::~APMPBMessage() {
    if (info_ != nullptr) APMPBFreeMessageInfo(type_, info_);
    info_ = nullptr;
}

bool APMPBMessage::initWithMessageInfo(const APMPBMessageInfo* info) {
    if (info == nullptr) {
        auto* fresh = static_cast<APMPBMessageInfo*>(std::calloc(1, sizeof(APMPBMessageInfo)));
        if (fresh == nullptr) return false;
        if (!APMPBInitMessageInfo(type_, fresh)) {
            std::free(fresh);
            return false;
        }
        info_ = fresh;
        return true;
    }
    if (info->name == nullptr || std::strcmp(info->name, type_.name) != 0) return false;
    APMPBMessageInfo* copy = nullptr;
    if (!APMPBCopyMessageInfo(type_, &copy, info)) {
        if (copy != nullptr) APMPBFreeMessageInfo(type_, copy);
        return false;
    }
    info_ = copy;
    return true;
}

bool APMPBMessage::initWithBuffer(const Data* buffer) {
    auto* record = static_cast<APMPBMessageInfo*>(std::calloc(1, sizeof(APMPBMessageInfo)));
    if (record == nullptr) return false;
    if (!APMPBInitMessageInfo(type_, record)) {
        std::free(record);
        return false;
    }
    const bool empty = buffer == nullptr || buffer->empty();
    if (!empty && !APMPBDecode(type_, buffer->data(), buffer->size(), record)) {
        APMPBFreeMessageInfo(type_, record);
        return false;
    }
    // The freshly decoded record is this wrapper's own: no copy needed.
    info_ = record;
    return true;
}

std::optional<Data> APMPBMessage::protoBuffer() const {
    if (info_ == nullptr) return std::nullopt;
    Data bytes;
    const long n = APMPBEncodeWith(
        type_, info_,
        [](std::size_t size, void* context) -> std::uint8_t* {
            static std::uint8_t none;
            auto* out = static_cast<Data*>(context);
            out->resize(size);
            return size > 0 ? out->data() : &none;
        },
        &bytes);
    if (n < 0) return std::nullopt;
    return bytes;
}

bool APMPBHasField(const APMPBMessage* message, std::int32_t fieldID) {
    const APMPBMessageInfo* info = message != nullptr ? message->messageInfo() : nullptr;
    if (info == nullptr || info->fields == nullptr) {
        logLine(
            "ProtocolBuffer message hasn't been initialized. HasField operation can't be "
            "performed. Message name %s",
            message != nullptr ? message->messageID() : "(null)");
        return false;
    }
    if (!knownField(message, fieldID)) return false;
    if (info->types != nullptr && isRepeated(info->types[fieldID])) return true;
    return info->fields[fieldID] != nullptr;
}

void APMPBClearField(APMPBMessage* message, std::int32_t fieldID) {
    const APMPBMessageInfo* info = recordOf(message, "ClearField");
    if (info == nullptr || !knownField(message, fieldID)) return;
    message->deallocMessageFieldFn()(message->messageInfo(), fieldID);
}

bool APMPBGetBool(const APMPBMessage* message, std::int32_t fieldID) {
    void** slot = slotFor(message, fieldID, "GetBool", "a scalar BOOL", isBool);
    if (slot == nullptr || *slot == nullptr) return false;
    return *static_cast<const std::uint8_t*>(*slot) != 0;
}

void APMPBSetBool(APMPBMessage* message, std::int32_t fieldID, bool value) {
    if (void** slot = slotFor(message, fieldID, "SetBool", "a scalar BOOL", isBool)) {
        APMPBSetUInt32Cell(slot, value ? 1 : 0);
    }
}

std::int32_t APMPBGetInt32(const APMPBMessage* message, std::int32_t fieldID) {
    void** slot = slotFor(message, fieldID, "GetInt32", "a scalar INT32", isInt32);
    if (slot == nullptr || *slot == nullptr) return 0;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(cellBits(*slot)));
}

void APMPBSetInt32(APMPBMessage* message, std::int32_t fieldID, std::int32_t value) {
    if (void** slot = slotFor(message, fieldID, "SetInt32", "a scalar INT32", isInt32)) {
        APMPBSetUInt32Cell(slot, static_cast<std::uint32_t>(value));
    }
}

std::int64_t APMPBGetInt64(const APMPBMessage* message, std::int32_t fieldID) {
    void** slot = slotFor(message, fieldID, "GetInt64", "a scalar INT64", isInt64);
    if (slot == nullptr || *slot == nullptr) return 0;
    return static_cast<std::int64_t>(cellBits(*slot));
}

void APMPBSetInt64(APMPBMessage* message, std::int32_t fieldID, std::int64_t value) {
    if (void** slot = slotFor(message, fieldID, "SetInt64", "a scalar INT64", isInt64)) {
        APMPBSetUInt64Cell(slot, static_cast<std::uint64_t>(value));
    }
}

float APMPBGetFloat(const APMPBMessage* message, std::int32_t fieldID) {
    void** slot = slotFor(message, fieldID, "GetFloat", "a scalar FLOAT", isFloat);
    if (slot == nullptr || *slot == nullptr) return 0;
    float v = 0;
    std::memcpy(&v, *slot, sizeof v);
    return v;
}

void APMPBSetFloat(APMPBMessage* message, std::int32_t fieldID, float value) {
    if (void** slot = slotFor(message, fieldID, "SetFloat", "a scalar FLOAT", isFloat)) {
        APMPBSetFloatCell(slot, value);
    }
}

double APMPBGetDouble(const APMPBMessage* message, std::int32_t fieldID) {
    void** slot = slotFor(message, fieldID, "GetDouble", "a scalar DOUBLE", isDouble);
    if (slot == nullptr || *slot == nullptr) return 0;
    double v = 0;
    std::memcpy(&v, *slot, sizeof v);
    return v;
}

void APMPBSetDouble(APMPBMessage* message, std::int32_t fieldID, double value) {
    if (void** slot = slotFor(message, fieldID, "SetDouble", "a scalar DOUBLE", isDouble)) {
        APMPBSetDoubleCell(slot, value);
    }
}

std::optional<std::string> APMPBGetString(const APMPBMessage* message, std::int32_t fieldID) {
    void** slot = slotFor(message, fieldID, "GetString", "a scalar STRING", isString);
    if (slot == nullptr) return std::nullopt;
    return stringOf(static_cast<const APMPBArray*>(*slot));
}

void APMPBSetString(APMPBMessage* message, std::int32_t fieldID, const Value& value) {
    void** slot = slotFor(message, fieldID, "SetString", "a scalar STRING", isString);
    if (slot == nullptr) return;
    if (value.isNull()) {
        message->deallocMessageFieldFn()(message->messageInfo(), fieldID);
        return;
    }
    if (!value.isString()) {
        logLine("<ERROR> Invalid object type. String fields expect NSString. Type: %s",
                APMPBClassName(value).c_str());
        return;
    }
    const std::string s = *value.asString();
    APMPBSetBytesCell(slot, s.data(), s.size());
}

std::optional<Data> APMPBGetBytes(const APMPBMessage* message, std::int32_t fieldID) {
    void** slot = slotFor(message, fieldID, "GetBytes", "a scalar BYTES", isBytesLike);
    if (slot == nullptr || *slot == nullptr) return std::nullopt;
    const auto* cell = static_cast<const APMPBArray*>(*slot);
    if (cell->data == nullptr) return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(cell->data);
    return Data(bytes, bytes + cell->count);
}

void APMPBSetBytes(APMPBMessage* message, std::int32_t fieldID, const Value& value) {
    void** slot = slotFor(message, fieldID, "SetBytes", "a scalar BYTES", isBytesLike);
    if (slot == nullptr) return;
    if (value.isNull()) {
        message->deallocMessageFieldFn()(message->messageInfo(), fieldID);
        return;
    }
    if (!value.isData()) {
        logLine("<ERROR> Invalid object type. Bytes fields expect NSData. Type: %s",
                APMPBClassName(value).c_str());
        return;
    }
    const Data& d = *value.asData();
    APMPBSetBytesCell(slot, d.data(), d.size());
}

std::shared_ptr<APMPBMessage> APMPBGetMessage(const APMPBMessage* message, std::int32_t fieldID,
                                              const APMPBClass& cls) {
    void** slot = slotFor(message, fieldID, "GetMessage", "a scalar MESSAGE", isMessage);
    if (slot == nullptr || *slot == nullptr) return nullptr;
    if (cls.initWithMessageInfo == nullptr) {
        logLine("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
                cls.name);
        return nullptr;
    }
    return cls.initWithMessageInfo(static_cast<const APMPBMessageInfo*>(*slot));
}

void APMPBSetMessage(APMPBMessage* message, std::int32_t fieldID, const APMPBMessage* value) {
    void** slot = slotFor(message, fieldID, "SetMessage", "a scalar MESSAGE", isMessage);
    if (slot == nullptr) return;
    APMPBMessageInfo* copy = nullptr;
    if (value != nullptr) {
        const APMPBMessageType* expected = message->messageType().fields[fieldID].element;
        if (value->messageInfo() == nullptr ||
            std::strcmp(value->messageID(), expected->name) != 0) {
            logLine("<ERROR> Invalid object type. Message fields expect %s. Type: %s",
                    expected->name, value->className().c_str());
            return;
        }
        if (!value->copyMessageInfoFn()(&copy, value->messageInfo())) {
            if (copy != nullptr) APMPBFreeMessageInfo(*expected, copy);
            return;
        }
    }
    message->deallocMessageFieldFn()(message->messageInfo(), fieldID);
    *slot = copy;
}

std::optional<std::vector<APMPBObject>> APMPBGetArray(const APMPBMessage* message,
                                                      std::int32_t fieldID,
                                                      const APMPBClass& elementClass) {
    void** slot = slotFor(message, fieldID, "GetArray", "REPEATED", isRepeated);
    if (slot == nullptr) return std::nullopt;
    const auto* container = static_cast<const APMPBArray*>(*slot);
    if (container == nullptr) {
        logLine("<ERROR> Repeated field should have been allocated");
        return std::nullopt;
    }
    std::vector<APMPBObject> out;
    auto* const* items = static_cast<void* const*>(container->data);
    if (items == nullptr) return out;
    const std::uint32_t t = message->messageInfo()->types[fieldID];
    out.reserve(container->count);
    for (std::uint32_t i = 0; i < container->count; ++i) {
        const void* item = items[i];
        if (item == nullptr) {
            logLine("<ERROR> Unable to convert NULL data to an ObjC object");
            continue;
        }
        if (t & APMPB_TYPE_BOOL) {
            out.emplace_back(Value(*static_cast<const std::uint8_t*>(item) != 0));
        } else if (t & APMPB_TYPE_INT32) {
            out.emplace_back(Value(static_cast<int>(static_cast<std::int32_t>(cellBits(item)))));
        } else if (t & APMPB_TYPE_UINT32) {
            out.emplace_back(Value(static_cast<unsigned>(cellBits(item))));
        } else if (t & APMPB_TYPE_INT64) {
            out.emplace_back(Value(static_cast<long long>(cellBits(item))));
        } else if (t & APMPB_TYPE_UINT64) {
            out.emplace_back(Value(static_cast<unsigned long long>(cellBits(item))));
        } else if (t & APMPB_TYPE_FLOAT) {
            float f = 0;
            std::memcpy(&f, item, sizeof f);
            out.emplace_back(Value(f));
        } else if (t & APMPB_TYPE_DOUBLE) {
            double d = 0;
            std::memcpy(&d, item, sizeof d);
            out.emplace_back(Value(d));
        } else if (t & APMPB_TYPE_ENUM) {
            out.emplace_back(Value(static_cast<int>(static_cast<std::int32_t>(cellBits(item)))));
        } else if (t & APMPB_TYPE_STRING) {
            auto s = stringOf(static_cast<const APMPBArray*>(item));
            if (!s) {
                logLine("<ERROR> Unable to convert byte data to a string");
                continue;
            }
            out.emplace_back(Value(std::move(*s)));
        } else if (t & APMPB_TYPE_BYTES) {
            const auto* cell = static_cast<const APMPBArray*>(item);
            const auto* bytes = static_cast<const std::uint8_t*>(cell->data);
            out.emplace_back(Value(bytes != nullptr ? Data(bytes, bytes + cell->count) : Data{}));
        } else if (t & APMPB_TYPE_MESSAGE) {
            if (elementClass.initWithMessageInfo == nullptr) {
                logLine(
                    "<ERROR> Provided class doesn't implement initWithMessageInfo: method. "
                    "Class: %s",
                    elementClass.name);
                continue;
            }
            auto wrapped =
                elementClass.initWithMessageInfo(static_cast<const APMPBMessageInfo*>(item));
            if (wrapped != nullptr) out.emplace_back(std::move(wrapped));
        } else {
            logLine("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d",
                    static_cast<int>(t));
        }
    }
    return out;
}

void APMPBSetArray(APMPBMessage* message, std::int32_t fieldID,
                   const std::vector<APMPBObject>* array) {
    void** slot = slotFor(message, fieldID, "SetArray", "REPEATED", isRepeated);
    if (slot == nullptr) return;
    auto* container = static_cast<APMPBArray*>(*slot);
    if (container == nullptr) {
        logLine("<ERROR> Repeated field should have been allocated");
        return;
    }
    const auto release = message->deallocMessageFieldFn();
    release(message->messageInfo(), fieldID);
    if (array == nullptr || array->empty()) return;
    auto** items = static_cast<void**>(std::calloc(array->size(), sizeof(void*)));
    if (items == nullptr) {
        logLine("<ERROR> Unable to set NULL data to an ObjC object");
        return;
    }
    container->data = items;
    container->count = static_cast<std::uint32_t>(array->size());
    container->filled = container->count;
    const std::uint32_t t = message->messageInfo()->types[fieldID];
    for (std::size_t i = 0; i < array->size(); ++i) {
        if (!storeElement(t, message->messageType(), fieldID, (*array)[i], &items[i])) {
            release(message->messageInfo(), fieldID);
            return;
        }
    }
}
