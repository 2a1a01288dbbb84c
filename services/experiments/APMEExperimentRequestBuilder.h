#pragma once
// Builds the experiments request: the device and application, and one
// client property per registered SDK that has a diversion source. The
// properties are added from the manager's queue and read from the task
// manager's; any thread may use the builder.

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "services/experiments/APMESDKProperty.h"
#include "services/measurement/APMPBMessage.h"

enum APMPBExperimentRequestField : std::int32_t {
    kAPMPBExperimentRequestAppProperty = 0,
    kAPMPBExperimentRequestClientProperties = 1,
};
enum APMPBAppPropertyField : std::int32_t {
    kAPMPBAppPropertyPlatform = 0,
    kAPMPBAppPropertyOSVersion = 1,
    kAPMPBAppPropertyDeviceModel = 2,
    kAPMPBAppPropertyLanguage = 3,
    kAPMPBAppPropertyBundleID = 4,
    kAPMPBAppPropertyIsFromAppStore = 5,
    kAPMPBAppPropertyLibraryVersion = 6,
};

class APMEExperimentRequestBuilder {
  public:
    static APMEExperimentRequestBuilder& sharedInstance();

    // Replaces an earlier property of the same name; null is refused.
    void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);
    std::shared_ptr<APMPBAppProperty> appPropertyProto() const;
    std::shared_ptr<APMPBExperimentRequest> request() const;
    // The SDK names of the stored properties: the registered SDKs.
    std::set<std::string> SDKNames() const;
    // Forgets every property (tests start afresh).
    void removeAllSDKProperties();

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_;
};
