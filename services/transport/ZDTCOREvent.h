#pragma once
// The unit the transport stores and uploads: an opaque payload for one
// target under a mapping ID, with its tier, expiry and clock snapshot.
// Not synchronised: one producer fills it, then the storage or uploader
// reads it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"
#include "services/transport/ZDTCORClock.h"
#include "services/transport/ZDTCORTargets.h"

// A producer's payload.
class ZDTCOREventDataObject {
  public:
    virtual ~ZDTCOREventDataObject() = default;
    virtual Data transportBytes() const = 0;
};

class ZDTCOREvent : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "ZDTCOREvent";
    static constexpr bool kSupportsSecureCoding = true;
    static constexpr double kDefaultLifetimeSeconds = 604800;

    // 32 upper-case hexadecimal characters.
    static std::string nextEventID();
    // Null (after an assertion report per failed condition) for an empty
    // mapping ID or a target that is not positive.
    static std::shared_ptr<ZDTCOREvent> initWithMappingID(
        const std::optional<std::string>& mappingID, ZDTCORTarget target);
    // The copy keeps every field, its expiry included.
    std::shared_ptr<ZDTCOREvent> copy() const;

    const std::string& eventID() const { return eventID_; }
    void setEventID(std::string eventID) { eventID_ = std::move(eventID); }
    const std::string& mappingID() const { return mappingID_; }
    ZDTCORTarget target() const { return target_; }
    const std::shared_ptr<ZDTCOREventDataObject>& dataObject() const { return dataObject_; }
    void setDataObject(std::shared_ptr<ZDTCOREventDataObject> dataObject);
    const std::optional<Data>& serializedDataObjectBytes() const {
        return serializedDataObjectBytes_;
    }
    ZDTCOREventQoS qosTier() const { return qosTier_; }
    void setQosTier(ZDTCOREventQoS tier) { qosTier_ = tier; }
    const std::shared_ptr<ZDTCORClock>& clockSnapshot() const { return clockSnapshot_; }
    void setClockSnapshot(std::shared_ptr<ZDTCORClock> clock) { clockSnapshot_ = std::move(clock); }
    const std::optional<Date>& expirationDate() const { return expirationDate_; }
    void setExpirationDate(std::optional<Date> date) { expirationDate_ = date; }
    const std::optional<Data>& customBytes() const { return customBytes_; }
    void setCustomBytes(std::optional<Data> bytes) { customBytes_ = std::move(bytes); }

    // Extension values kept as members of the JSON object in customBytes.
    void setNeedsNetworkConnectionInfoPopulated(bool needs);
    bool needsNetworkConnectionInfoPopulated() const;
    void setNetworkConnectionInfoData(const std::optional<Data>& data);
    std::optional<Data> networkConnectionInfoData() const;
    void setEventCode(std::optional<std::int64_t> code);
    std::optional<std::int64_t> eventCode() const;

    std::size_t hash() const;
    // Equal when every identifying field is equal (not merely the hashes).
    bool isEqual(const NSObject& other) const override;
    std::string className() const override { return kClassName; }
    std::string description() const override;

    void encodeWithCoder(NSCoder& coder) const override;
    bool supportsSecureCoding() const override { return true; }
    static std::shared_ptr<ZDTCOREvent> initWithCoder(NSCoder& coder);
    // Makes the event and clock classes known to the unarchiver (idempotent).
    static void registerCoding();

    ZDTCOREvent() = default;

  private:
    std::string eventID_;
    std::string mappingID_;
    ZDTCORTarget target_ = 0;
    std::shared_ptr<ZDTCOREventDataObject> dataObject_;
    std::optional<Data> serializedDataObjectBytes_;
    ZDTCOREventQoS qosTier_ = ZDTCOREventQoSUnset;
    std::shared_ptr<ZDTCORClock> clockSnapshot_;
    std::optional<Date> expirationDate_;
    std::optional<Data> customBytes_;
};
