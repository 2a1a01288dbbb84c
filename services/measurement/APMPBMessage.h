#pragma once
// Message wrappers and the typed field accessors of the measurement
// messages.
//
// A wrapper (APMPBEvent, APMPBMeasurementBundle, ...) owns one record and
// converts it to and from wire bytes. Records are never shared: whatever
// moves a record into another wrapper or into a parent's field copies it
// deeply, so changing a wrapper read from a parent does not change the
// parent until it is written back.
//
// The accessors address fields by field ID. They never fail loudly: a
// missing wrapper, an unknown field ID, a field of another type or a value
// of the wrong kind is logged (NSLog) and answered with the neutral result
// (NO, 0, nil); a refused setter leaves the field as it was. One wrapper is
// used by one thread at a time.

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/measurement/APMPBCatalogue.h"
#include "services/measurement/APMPBCodecs.h"
#include "services/measurement/APMPBMessageInfo.h"

class APMPBMessage;

using APMPBInitMessageInfoFn = int (*)(APMPBMessageInfo* info);
using APMPBDeallocMessageFieldFn = int (*)(APMPBMessageInfo* info, std::int32_t fieldID);
using APMPBCopyMessageInfoFn = int (*)(APMPBMessageInfo** destination,
                                       const APMPBMessageInfo* source);

// A class as the accessors take it. Only wrapper classes can wrap a record.
struct APMPBClass {
    const char* name;
    std::shared_ptr<APMPBMessage> (*initWithMessageInfo)(const APMPBMessageInfo* info);
};
inline constexpr APMPBClass kAPMPBNumberClass{"NSNumber", nullptr};
inline constexpr APMPBClass kAPMPBStringClass{"NSString", nullptr};
inline constexpr APMPBClass kAPMPBDataClass{"NSData", nullptr};

// The platform class name of a plain value ("NSNumber", "NSString", ...).
std::string APMPBClassName(const Value& value);

// An element of the arrays the accessors take and give: a plain value or a
// message wrapper.
class APMPBObject {
  public:
    APMPBObject(Value value) : value_(std::move(value)) {}
    template <class T>
    requires std::derived_from<T, APMPBMessage> APMPBObject(std::shared_ptr<T> message)
        : message_(std::move(message)) {}

    const Value& value() const { return value_; }
    const std::shared_ptr<APMPBMessage>& message() const { return message_; }
    std::string className() const;

  private:
    Value value_;
    std::shared_ptr<APMPBMessage> message_;
};

// What every wrapper answers.
class APMPBMessage : public NSObject {
  public:
    ~APMPBMessage() override;

    const char* messageID() const { return type_.name; }
    APMPBMessageInfo* messageInfo() const { return info_; }
    const APMPBMessageType& messageType() const { return type_; }
    virtual APMPBInitMessageInfoFn initMessageInfoFn() const = 0;
    virtual APMPBDeallocMessageFieldFn deallocMessageFieldFn() const = 0;
    virtual APMPBCopyMessageInfoFn copyMessageInfoFn() const = 0;

    // The encoded bytes (empty for a message without fields), or nothing
    // when the record cannot be encoded.
    std::optional<Data> protoBuffer() const;

    std::string className() const override { return std::string("APMPB") + messageID(); }

  protected:
    explicit APMPBMessage(const APMPBMessageType& type) : type_(type) {}
    // Null: a new empty record. Otherwise a deep copy, refused when the
    // record is of another message.
    bool initWithMessageInfo(const APMPBMessageInfo* info);
    // Null or empty bytes: an empty message. Refused when they do not decode.
    bool initWithBuffer(const Data* buffer);

  private:
    const APMPBMessageType& type_;
    APMPBMessageInfo* info_ = nullptr;
};

template <class Self>
class APMPBMessageOf : public APMPBMessage {
  public:
    // Null when the record is of another message or cannot be copied.
    static std::shared_ptr<Self> initWithMessageInfo(const APMPBMessageInfo* info) {
        std::shared_ptr<Self> self(new Self());
        if (!self->APMPBMessage::initWithMessageInfo(info)) return nullptr;
        return self;
    }
    // Null when the bytes do not decode.
    static std::shared_ptr<Self> initWithBuffer(const Data* buffer) {
        std::shared_ptr<Self> self(new Self());
        if (!self->APMPBMessage::initWithBuffer(buffer)) return nullptr;
        return self;
    }
    static std::shared_ptr<Self> initWithBuffer(const Data& buffer) {
        return initWithBuffer(&buffer);
    }
    // A new empty message.
    static std::shared_ptr<Self> make() { return initWithMessageInfo(nullptr); }

    static const APMPBClass& classObject() {
        static const APMPBClass cls{
            Self::kClassName, [](const APMPBMessageInfo* info) -> std::shared_ptr<APMPBMessage> {
                return initWithMessageInfo(info);
            }};
        return cls;
    }

  protected:
    APMPBMessageOf() : APMPBMessage(Self::type()) {}
};

// Every message type with a wrapper (HashedUserData and Address live only
// inside a bundle).
#define APMPB_WRAPPER_TYPES(X)       \
    X(AppProperty)                   \
    X(Audience)                      \
    X(AudienceLeafFilterResult)      \
    X(ClientProperty)                \
    X(CustomProperty)                \
    X(DynamicFilterResultTimestamp)  \
    X(Event)                         \
    X(EventConfig)                   \
    X(EventFilter)                   \
    X(EventParam)                    \
    X(Experiment)                    \
    X(ExperimentRequest)             \
    X(ExperimentResponse)            \
    X(Filter)                        \
    X(Flag)                          \
    X(MeasurementBatch)              \
    X(MeasurementBundle)             \
    X(MeasurementConfig)             \
    X(NumberFilter)                  \
    X(OgtActivities)                 \
    X(OgtActivity)                   \
    X(Program)                       \
    X(PropertyFilter)                \
    X(ResultData)                    \
    X(RuntimeEntity)                 \
    X(SdkResponse)                   \
    X(SequenceFilterResultTimestamp) \
    X(Setting)                       \
    X(Snapshot)                      \
    X(StringFilter)                  \
    X(UserAttribute)

#define APMPB_DECLARE_WRAPPER(M)                                                                  \
    class APMPB##M final : public APMPBMessageOf<APMPB##M> {                                      \
      public:                                                                                     \
        static constexpr const char* kClassName = "APMPB" #M;                                     \
        static const APMPBMessageType& type() { return kAPMPB##M##Type; }                         \
        APMPBInitMessageInfoFn initMessageInfoFn() const override { return M##_InitMessageInfo; } \
        APMPBDeallocMessageFieldFn deallocMessageFieldFn() const override {                       \
            return M##_DeallocField;                                                              \
        }                                                                                         \
        APMPBCopyMessageInfoFn copyMessageInfoFn() const override { return M##_CopyMessageInfo; } \
                                                                                                  \
      private:                                                                                    \
        friend class APMPBMessageOf<APMPB##M>;                                                    \
        APMPB##M() = default;                                                                     \
    };
APMPB_WRAPPER_TYPES(APMPB_DECLARE_WRAPPER)
#undef APMPB_DECLARE_WRAPPER

// Field accessors. Setters that take a Value clear the field for a null
// Value.
bool APMPBHasField(const APMPBMessage* message, std::int32_t fieldID);
void APMPBClearField(APMPBMessage* message, std::int32_t fieldID);
bool APMPBGetBool(const APMPBMessage* message, std::int32_t fieldID);
void APMPBSetBool(APMPBMessage* message, std::int32_t fieldID, bool value);
// Enumeration, int32 and uint32 fields.
std::int32_t APMPBGetInt32(const APMPBMessage* message, std::int32_t fieldID);
void APMPBSetInt32(APMPBMessage* message, std::int32_t fieldID, std::int32_t value);
// int64 and uint64 fields.
std::int64_t APMPBGetInt64(const APMPBMessage* message, std::int32_t fieldID);
void APMPBSetInt64(APMPBMessage* message, std::int32_t fieldID, std::int64_t value);
float APMPBGetFloat(const APMPBMessage* message, std::int32_t fieldID);
void APMPBSetFloat(APMPBMessage* message, std::int32_t fieldID, float value);
double APMPBGetDouble(const APMPBMessage* message, std::int32_t fieldID);
void APMPBSetDouble(APMPBMessage* message, std::int32_t fieldID, double value);
// Nothing when absent or not valid UTF-8.
std::optional<std::string> APMPBGetString(const APMPBMessage* message, std::int32_t fieldID);
// A value that is not a string is refused.
void APMPBSetString(APMPBMessage* message, std::int32_t fieldID, const Value& value);
// Singular string or bytes fields; a value that is not data is refused.
std::optional<Data> APMPBGetBytes(const APMPBMessage* message, std::int32_t fieldID);
void APMPBSetBytes(APMPBMessage* message, std::int32_t fieldID, const Value& value);
// A new wrapper of `cls` over a copy of the sub-message.
std::shared_ptr<APMPBMessage> APMPBGetMessage(const APMPBMessage* message, std::int32_t fieldID,
                                              const APMPBClass& cls);
template <class T>
std::shared_ptr<T> APMPBGetMessage(const APMPBMessage* message, std::int32_t fieldID) {
    return std::static_pointer_cast<T>(APMPBGetMessage(message, fieldID, T::classObject()));
}
// Stores a copy of value's record; null clears; another message type is refused.
void APMPBSetMessage(APMPBMessage* message, std::int32_t fieldID, const APMPBMessage* value);
// The elements in wire order; nothing when the field is not repeated.
std::optional<std::vector<APMPBObject>> APMPBGetArray(const APMPBMessage* message,
                                                      std::int32_t fieldID,
                                                      const APMPBClass& elementClass);
// Replaces the elements; null empties the field. The first element of the
// wrong kind leaves the field empty.
void APMPBSetArray(APMPBMessage* message, std::int32_t fieldID,
                   const std::vector<APMPBObject>* array);
inline void APMPBSetArray(APMPBMessage* message, std::int32_t fieldID,
                          const std::vector<APMPBObject>& array) {
    APMPBSetArray(message, fieldID, &array);
}

// The names the measurement engine uses for the same operations.
inline std::shared_ptr<APMPBMessage> APMPBGetMessageField(const APMPBMessage* message,
                                                          std::int32_t fieldID,
                                                          const APMPBClass& cls) {
    return APMPBGetMessage(message, fieldID, cls);
}
inline void APMPBSetMessageField(APMPBMessage* message, std::int32_t fieldID,
                                 const APMPBMessage* value) {
    APMPBSetMessage(message, fieldID, value);
}
inline std::optional<std::vector<APMPBObject>> APMPBGetRepeatedField(const APMPBMessage* message,
                                                                     std::int32_t fieldID,
                                                                     const APMPBClass& cls) {
    return APMPBGetArray(message, fieldID, cls);
}
inline void APMPBSetRepeatedField(APMPBMessage* message, std::int32_t fieldID,
                                  const std::vector<APMPBObject>* array) {
    APMPBSetArray(message, fieldID, array);
}
