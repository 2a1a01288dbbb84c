#pragma once
// A registered component as the experiments request describes it: its SDK
// name, version, app ID, optional diversion key and custom properties. The
// hashed diversion key sent to the server is the MD5 hex digest of
// "<source>-<name>", the source being the diversion key or, without one,
// the app instance ID of the engine's identity.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "services/measurement/APMPBMessage.h"

class APMESDKProperty;

class APMESDKPropertyDelegate {
  public:
    virtual ~APMESDKPropertyDelegate() = default;
    // Entries that replace static custom properties of the same key.
    virtual std::map<std::string, std::string> dynamicCustomPropertiesForSDKProperty(
        const APMESDKProperty& property) = 0;
};

enum APMPBClientPropertyField : std::int32_t {
    kAPMPBClientPropertySDKName = 0,
    kAPMPBClientPropertyHashedDiversionKey = 1,
    kAPMPBClientPropertyVersion = 2,
    kAPMPBClientPropertyAppID = 3,
    kAPMPBClientPropertyCustomProperties = 4,
};

class APMESDKProperty {
  public:
    // Null (logged) when the name is not a string; an empty one is accepted
    // here and refused at registration.
    static std::shared_ptr<APMESDKProperty> initWithName(const Value& name);

    const std::string& name() const { return name_; }
    std::int64_t version = 0;
    std::optional<std::string> appID;
    std::optional<std::string> diversionKey;
    std::optional<std::map<std::string, std::string>> customProperties;
    std::weak_ptr<APMESDKPropertyDelegate> delegate;

    // The client property of the request; null (logged) without a
    // diversion source.
    std::shared_ptr<APMPBClientProperty> proto() const;

    // Where the engine's app instance ID comes from; the identity component
    // installs it. Without a provider there is none.
    using AppInstanceIDProvider = std::function<std::optional<std::string>()>;
    static void setAppInstanceIDProvider(AppInstanceIDProvider provider);

  private:
    explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}
    std::string name_;
};
