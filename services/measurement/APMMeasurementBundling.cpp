#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

// Field IDs of the measurement bundle.
enum BundleField : int {
    kProtocolVersion = 0,
    kUserAttributes = 2,
    kPlatform = 8,
    kOSVersion = 9,
    kDeviceModel = 10,
    kUserDefaultLanguage = 11,
    kTimeZoneOffsetMinutes = 12,
    kInstallSource = 13,
    kAppID = 14,
    kAppVersion = 16,
    kLibraryVersion = 17,
    kResettableDeviceID = 19,
    kVendorDeviceID = 20,
    kLimitedAdTracking = 21,
    kAppInstanceID = 22,
    kRUVAppID = 26,
    kInstallationID = 29,
    kAppVersionMajor = 30,
    kAppVersionMinor = 31,
    kAppVersionRelease = 32,
    kZoDorAppID = 36,
    kConsentSignals = 40,
    kConsentStatus = 41,
};

void setStringIfNotEmpty(APMPBMessage* message, int field, const std::optional<std::string>& text) {
    if (text && !text->empty()) APMPBSetString(message, field, Value(*text));
}

}  // namespace

void APMMeasurement::fillIdentityAndConsent(APMPBMeasurementBundle& bundle,
                                            const std::optional<std::string>& consentSignals,
                                            bool gateIDFAOnATTMAS, APMIdentity& identity) {
    APMPBMessage* b = &bundle;
    bool adDenied = false;
    bool analyticsDenied = false;
    if (consentSignals && consentSignals->size() >= 4) {
        APMPBSetString(b, kConsentSignals, Value(*consentSignals));
        adDenied = (*consentSignals)[2] == '0';
        analyticsDenied = (*consentSignals)[3] == '0';
    } else if (!consentSignals || consentSignals->empty()) {
        if (APMPBHasField(b, kConsentSignals)) APMPBClearField(b, kConsentSignals);
    }

    bool trackingAllowed = true;
    if (identity.iOS14OrAbove()) {
        const std::int64_t status = identity.appleConsentStatus();
        if (status != 6) APMPBSetInt32(b, kConsentStatus, static_cast<std::int32_t>(status));
        trackingAllowed = status == 3 || !gateIDFAOnATTMAS;
    }

    const bool hasLimitedAdTracking = identity.hasLimitedAdTracking();
    const auto resettable = identity.resettableDeviceID();
    const auto vendor = identity.identifierForVendor();
    if (hasLimitedAdTracking && trackingAllowed && !adDenied && resettable) {
        if (!APMPBHasField(b, kResettableDeviceID))
            APMPBSetString(b, kResettableDeviceID, Value(*resettable));
        APMPBClearField(b, kVendorDeviceID);
    } else if (vendor && !analyticsDenied) {
        if (!APMPBHasField(b, kVendorDeviceID)) APMPBSetString(b, kVendorDeviceID, Value(*vendor));
        APMPBClearField(b, kResettableDeviceID);
    } else {
        APMPBClearField(b, kResettableDeviceID);
        APMPBClearField(b, kVendorDeviceID);
    }

    if (!analyticsDenied) {
        const auto appInstanceID = identity.appInstanceID();
        if (appInstanceID && !appInstanceID->empty() && !APMPBHasField(b, kAppInstanceID))
            APMPBSetString(b, kAppInstanceID, Value(*appInstanceID));
    }
    if (adDenied) APMPBClearField(b, kResettableDeviceID);
    if (analyticsDenied) {
        APMPBClearField(b, kVendorDeviceID);
        APMPBClearField(b, kAppInstanceID);
    }
    if (hasLimitedAdTracking) APMPBSetBool(b, kLimitedAdTracking, identity.limitedAdTracking());
}

std::shared_ptr<APMPBMeasurementBundle> APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<APMUserAttribute>& userAttributes) {
    auto bundle = APMPBMeasurementBundle::make();
    APMPBMessage* b = bundle.get();
    const auto identity = identity_ ? identity_ : APMIdentity::sharedInstance();
    const auto config = remoteConfigInstance() ? remoteConfigInstance() : remoteConfig();

    APMPBSetString(b, kPlatform, Value("macos"));
    APMPBSetInt32(b, kProtocolVersion, 1);
    if (identity) {
        setStringIfNotEmpty(b, kAppID, identity->appID());
        if (!identity->isFromAppStore()) APMPBSetString(b, kInstallSource, Value("manual_install"));
        setStringIfNotEmpty(b, kAppVersion, identity->appVersion());
        const auto ruvAppID = identity->appIDFromRUV();
        if (ruvAppID && !ruvAppID->empty())
            APMPBSetString(b, kRUVAppID, Value(*ruvAppID));
        else
            setStringIfNotEmpty(b, kZoDorAppID, identity->appIDFromZoDor());
    }
    APMPBSetInt64(b, kLibraryVersion, APMIdentity::redIdizezadoduLibraryVersion());
    if (identity) {
        setStringIfNotEmpty(b, kInstallationID, identity->reruzeraInstallationID());
        if (auto major = identity->appVersionMajor()) APMPBSetInt32(b, kAppVersionMajor, *major);
        if (auto minor = identity->appVersionMinor()) APMPBSetInt32(b, kAppVersionMinor, *minor);
        if (auto release = identity->appVersionRelease())
            APMPBSetInt32(b, kAppVersionRelease, *release);
        fillIdentityAndConsent(*bundle, APMConsentSettingsUtil::consentSignals(),
                               config->gateIDFAOnATTMASEnabled(), *identity);
    }

    APMEnvironmentInfo& environment = APMEnvironmentInfo::sharedInstance();
    setStringIfNotEmpty(b, kDeviceModel, environment.deviceModel());
    setStringIfNotEmpty(b, kOSVersion, environment.deviceOSVersion());
    APMPBSetInt32(b, kTimeZoneOffsetMinutes, environment.timeZoneOffsetMinutes());
    setStringIfNotEmpty(b, kUserDefaultLanguage, environment.userDefaultLanguage());

    if (!userAttributes.empty()) {
        std::vector<APMPBObject> properties;
        properties.reserve(userAttributes.size());
        for (const APMUserAttribute& attribute : userAttributes) {
            if (auto proto = attribute.protoUserAttribute()) properties.emplace_back(proto);
        }
        APMPBSetArray(b, kUserAttributes, properties);
    }
    return bundle;
}
