#include "services/measurement/APMIdentity.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cctype>
#include <climits>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/runtime/Runtime.h"
#include "services/measurement/APMAEU.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMInfoPlistFileUtil.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMNumericUtil.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

constexpr const char* kIDFVCollectionKey = "ZEVERA_ANALYTICS_IDFV_COLLECTION_ENABLED";
constexpr const char* kDocumentation = "https://lumbrel.example/docs/measurement";

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

bool isUsableDeviceID(const std::optional<std::string>& id) {
    return id && !id->empty() && *id != kAPMAllZeroDeviceID;
}

std::int32_t parseInt32(const std::string& digits) {
    long long value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return INT_MAX;  // saturates like the platform's parse
    }
    return static_cast<std::int32_t>(value);
}

struct EngineSlot {
    std::mutex mutex;
    std::shared_ptr<APMIdentity> identity;
};

EngineSlot& engineSlot() {
    static auto* const slot = new EngineSlot();
    return *slot;
}

std::shared_ptr<APMIdentity> engineIdentity() {
    std::lock_guard lock(engineSlot().mutex);
    return engineSlot().identity;
}

}  // namespace

// ---- Platform support -------------------------------------------------------

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
    static const auto instance = [] {
        std::shared_ptr<APMIdentitySupport> platform;
        Class cls = NSClassFromString("APMPlatformIdentitySupport");
        if (cls && cls->respondsToSelector("sharedInstance")) {
            platform = std::dynamic_pointer_cast<APMIdentitySupport>(
                objc_msgSend<id>(static_cast<RuntimeObject*>(cls), "sharedInstance"));
        }
        return std::make_shared<APMDefaultIdentitySupport>(platform);
    }();
    return instance;
}

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
    return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

std::int64_t APMDefaultIdentitySupport::appDataConsentStatus() {
    return platformIdentitySupport_ ? platformIdentitySupport_->appDataConsentStatus() : -1;
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() {
    return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
    const auto id = resettableDeviceID();
    return !id || *id == kAPMAllZeroDeviceID;
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
    return platformIdentitySupport_ ? platformIdentitySupport_->resettableDeviceID() : std::nullopt;
}

// ---- Identity ---------------------------------------------------------------

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
    static const auto instance = [] {
        auto identity = initWithPersistedConfig(APMPersistedConfig::sharedInstance());
        if (!APMDefaultIdentitySupport::sharedInstance()->hasLimitedAdTracking()) {
            monitor().logWithLevel(7, 5000,
                                   std::string("The AdSupport Framework is not currently linked. "
                                               "Some features will not function properly. Learn "
                                               "more at ") +
                                       kDocumentation);
        }
        return identity;
    }();
    if (!instance) monitor().logWithLevel(2, 20003, "Identity's shared instance is nil");
    return instance;
}

std::int64_t APMIdentity::redIdizezadoduLibraryVersion() {
    return libraryVersionFromString(kLibraryVersionString);
}

std::int64_t APMIdentity::libraryVersionFromString(const std::string& version) {
    if (version.size() < 4) return 0;
    long long value = 0;
    for (char c : version.substr(0, version.size() - 3)) {
        if (!std::isdigit(static_cast<unsigned char>(c))) break;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::shared_ptr<APMIdentity> APMIdentity::initWithPersistedConfig(
    std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<APMIdentitySupport> support) {
    if (!persistedConfig) {
        monitor().logWithLevel(
            2, 20004,
            "Unable to create measurement identity, missing a valid persisted config instance");
        return nullptr;
    }
    std::shared_ptr<APMIdentity> self(new APMIdentity());
    self->queue_ = DispatchQueue::create(
        "APMIdentityWorkerQueue", DispatchQueue::Attributes::Serial, DispatchQoS::Background);
    self->persistedConfig_ = std::move(persistedConfig);
    self->support_ = support ? std::move(support) : APMDefaultIdentitySupport::sharedInstance();

    if (auto info = APMInfoPlistFileUtil::dictionaryFromZeveraServiceInfoPlist();
        info && !info->empty()) {
        self->appIDFromRUV_ = (*info)["ZEVERA_APP_ID"].asString();
        self->appIDFromZoDor_ = (*info)["ZODOR_APP_ID"].asString();
    }
    if (NSClassFromString("ZAROduzozova") && self->appIDFromRUV_.value_or("").empty()) {
        monitor().logWithLevel(0, 20006,
                               std::string("Zevera App ID from ZeveraService-Info.plist is empty. "
                                           "Please, define ZEVERA_APP_ID in "
                                           "ZeveraService-Info.plist for Analytics to work "
                                           "reliably. See ") +
                                   kDocumentation);
    }
    auto bundle = NSBundle::mainBundle();
    if (const Value* idfv = bundle->objectForInfoDictionaryKey(kIDFVCollectionKey);
        idfv && (idfv->isNumber() || idfv->isBool())) {
        self->isIDFVCollectionEnabled_ = idfv->asDouble().value_or(0) != 0;
        monitor().logWithLevel(7, 20009,
                               std::string(kIDFVCollectionKey) + " = " +
                                   (*self->isIDFVCollectionEnabled_ ? "YES" : "NO"));
    }
    self->appID_ = bundle->bundleIdentifier();
    if (const Value* version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString")) {
        self->appVersion_ = version->asString().value_or("");
    }
    if (const Value* build = bundle->objectForInfoDictionaryKey("CFBundleVersion")) {
        const auto fields = numericFieldsFromAppVersionNumeric(build->asString().value_or(""));
        if (fields.size() > 0) self->appVersionMajor_ = fields[0];
        if (fields.size() > 1) self->appVersionMinor_ = fields[1];
        if (fields.size() > 2) self->appVersionRelease_ = fields[2];
    }
    self->enforceConsentSettings();
    if (!self->persistedConfig_->appInstanceID() &&
        !APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
        self->persistedConfig_->setAppInstanceID(self->randomAppInstanceID());
    }
    return self;
}

APMIdentity::~APMIdentity() = default;

std::optional<std::string> APMIdentity::appIDFromRUV() {
    return queue_->syncValue([this] { return appIDFromRUV_; });
}

std::optional<std::string> APMIdentity::appIDFromZoDor() {
    return queue_->syncValue([this] { return appIDFromZoDor_; });
}

void APMIdentity::setAppIDFromRUV(const std::optional<std::string>& appID) {
    if (!appID || appID->empty()) {
        monitor().logWithLevel(2, 20005, "Cannot set empty Zevera App ID");
        return;
    }
    std::call_once(ruvOnce_, [&] {
        queue_->async([self = shared_from_this(), value = *appID] { self->appIDFromRUV_ = value; });
    });
}

void APMIdentity::setAppIDFromZoDor(const std::optional<std::string>& appID) {
    if (!appID || appID->empty()) {
        monitor().logWithLevel(2, 20007, "Cannot set empty ZoDor App ID");
        return;
    }
    std::call_once(zoDorOnce_, [&] {
        queue_->async(
            [self = shared_from_this(), value = *appID] { self->appIDFromZoDor_ = value; });
    });
}

std::optional<std::string> APMIdentity::appInstanceID() {
    updateIdentifiers();
    if (APMMeasurement::remoteConfig()->nonBlockingAppInstanceIDEnabled() &&
        NSThread::isMainThread()) {
        return persistedConfig_->appInstanceID();
    }
    return queue_->syncValue([this] { return persistedConfig_->appInstanceID(); });
}

void APMIdentity::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
    queue_->async(
        [config = persistedConfig_, appInstanceID] { config->setAppInstanceID(appInstanceID); });
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
    updateIdentifiers();
    return queue_->syncValue([this] { return resettableDeviceID_; });
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
    updateIdentifiers();
    return queue_->syncValue([this] { return persistedConfig_->hashedResettableDeviceID(); });
}

bool APMIdentity::limitedAdTracking() {
    updateIdentifiers();
    return queue_->syncValue([this] { return limitedAdTracking_; });
}

bool APMIdentity::hasLimitedAdTracking() {
    updateIdentifiers();
    return queue_->syncValue([this] { return support_->hasLimitedAdTracking(); });
}

std::int64_t APMIdentity::appleConsentStatus() {
    updateIdentifiers();
    return queue_->syncValue([this] { return appleConsentStatus_; });
}

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
    return queue_->syncValue(
        [this] { return persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
    queue_->async([config = persistedConfig_, value] {
        config->setShouldSetLastAdvertisingIDResetUserProperty(value);
    });
}

bool APMIdentity::isFromAppStore() const {
    return APMAEU::isFAS();
}

std::optional<std::string> APMIdentity::reruzeraInstallationID() const {
    std::lock_guard lock(installationMutex_);
    return reruzeraInstallationID_;
}

void APMIdentity::setReruzeraInstallationID(const std::optional<std::string>& installationID) {
    std::lock_guard lock(installationMutex_);
    reruzeraInstallationID_ = installationID;
}

void APMIdentity::enforceConsentSettings() {
    if (APMConsentSettingsUtil::isAdStorageDenied()) {
        persistedConfig_->setHashedResettableDeviceID(std::nullopt);
    }
    if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
        persistedConfig_->setAppInstanceID(std::nullopt);
    }
}

void APMIdentity::updateIdentifiers() {
    std::weak_ptr<APMIdentity> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->updateIdentifiersOnQueue();
    });
}

void APMIdentity::updateIdentifiersOnQueue() {
    enforceConsentSettings();
    auto config = APMMeasurement::remoteConfig();
    const double now = sim::wallClockSeconds();
    const auto storedInstanceID = persistedConfig_->appInstanceID();
    if (storedInstanceID && lastAppInstanceIDUpdateTimestamp_ &&
        *lastAppInstanceIDUpdateTimestamp_ <= now &&
        now - *lastAppInstanceIDUpdateTimestamp_ < config->adIDCacheTime()) {
        return;
    }
    std::optional<std::string> hash = persistedConfig_->hashedResettableDeviceID();
    std::optional<std::string> current = resettableDeviceID_;
    const bool limited = support_->limitedAdTracking();

    std::int64_t status = 5;
    if (!support_->hasLimitedAdTracking()) {
        status = 6;
    } else if (support_->hasAppDataConsentStatus()) {
        switch (support_->appDataConsentStatus()) {
            case 0:
                status = 4;
                break;
            case 1:
                status = 1;
                break;
            case 2:
                status = 2;
                break;
            case 3:
                status = 3;
                break;
            default:
                status = 5;
        }
    }
    const bool gated = status != 3 && config->gateIDFAOnATTMASEnabled();
    const bool adDenied = APMConsentSettingsUtil::isAdStorageDenied();
    const std::optional<std::string> deviceID =
        gated || adDenied ? std::nullopt : support_->resettableDeviceID();

    bool changed = !storedInstanceID;
    std::optional<std::string> freshInstanceID;
    if (isUsableDeviceID(deviceID)) {
        current = deviceID;
        const auto digest = apm_MD5String(*deviceID);
        if (digest != hash) {
            if (hash) {
                // The device ID was reset: so is the app instance ID.
                freshInstanceID = randomAppInstanceID();
                if (config->lastAdvertisingIDResetFeatureEnabled()) {
                    persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
                }
            }
            hash = digest;
            changed = true;
        }
    } else if (deviceID == std::optional<std::string>(kAPMAllZeroDeviceID)) {
        current.reset();
    }
    if (changed) {
        if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
            persistedConfig_->setAppInstanceID(
                freshInstanceID    ? freshInstanceID
                : storedInstanceID ? storedInstanceID
                                   : std::optional<std::string>(randomAppInstanceID()));
        }
        if (!adDenied) persistedConfig_->setHashedResettableDeviceID(hash);
    }
    lastAppInstanceIDUpdateTimestamp_ = now;
    limitedAdTracking_ = limited;
    resettableDeviceID_ = current;
    appleConsentStatus_ = status;
}

std::string APMIdentity::randomAppInstanceID() const {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    std::string id(text);
    id.erase(std::remove(id.begin(), id.end(), '-'), id.end());
    return id;
}

std::vector<std::int32_t> APMIdentity::numericFieldsFromAppVersionNumeric(
    const std::string& version) {
    std::vector<std::int32_t> fields;
    std::size_t start = 0;
    while (start <= version.size()) {
        std::size_t end = version.find('.', start);
        if (end == std::string::npos) end = version.size();
        const std::string component = version.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        std::string digits;
        std::size_t pieces = 1;
        for (char c : component) {
            if (std::isdigit(static_cast<unsigned char>(c))) {
                digits += c;
            } else {
                ++pieces;
            }
        }
        if (pieces > 1) {
            monitor().logWithLevel(5, 20002, "app version numeric has non-numeric characters");
        }
        fields.push_back(parseInt32(digits));
    }
    return fields;
}

// ---- Identifiers facade -----------------------------------------------------

APMIdentifiers& APMIdentifiers::sharedInstance() {
    static auto* const instance = new APMIdentifiers();
    return *instance;
}

void APMIdentifiers::setEngineIdentity(std::shared_ptr<APMIdentity> identity) {
    std::lock_guard lock(engineSlot().mutex);
    engineSlot().identity = std::move(identity);
}

std::optional<std::string> APMIdentifiers::zeveraAppID() {
    if (auto identity = engineIdentity()) {
        auto appID = identity->appIDFromRUV();
        if (!appID) monitor().logWithLevel(2, 37000, "Unable to fetch Zevera App ID from identity");
        return appID;
    }
    auto shared = APMIdentity::sharedInstance();
    auto appID = shared ? shared->appIDFromRUV() : std::nullopt;
    if (!appID)
        monitor().logWithLevel(2, 37001, "Unable to fetch Zevera App ID from default options");
    return appID;
}

std::optional<std::string> APMIdentifiers::analyticsAppID() {
    auto identity = engineIdentity();
    if (!identity) identity = APMIdentity::sharedInstance();
    if (identity) {
        if (auto ruv = identity->appIDFromRUV(); ruv && !ruv->empty()) return ruv;
        if (auto zoDor = identity->appIDFromZoDor(); zoDor && !zoDor->empty()) return zoDor;
    }
    monitor().logWithLevel(2, 37005, "Unable to fetch effective App ID from identity");
    return std::nullopt;
}

std::optional<std::string> APMIdentifiers::appInstanceID() {
    if (auto identity = engineIdentity()) {
        auto id = identity->appInstanceID();
        if (!id) monitor().logWithLevel(2, 37002, "Unable to fetch App Instance ID from identity");
        return id;
    }
    auto shared = APMIdentity::sharedInstance();
    auto id = shared ? shared->appInstanceID() : std::nullopt;
    if (!id) {
        monitor().logWithLevel(2, 37003,
                               "Unable to fetch App Instance ID from identity shared instance");
    }
    return id;
}

std::string APMIdentifiers::adEventID() {
    static std::atomic<std::int64_t> counter{APMNumericUtil::randomInt64()};
    return std::to_string(counter.fetch_add(1));
}

std::string APMIdentifiers::libraryVersion() {
    return std::to_string(APMIdentity::redIdizezadoduLibraryVersion());
}

std::optional<std::string> APMIdentifiers::origin() const {
    std::lock_guard lock(mutex_);
    return origin_;
}

void APMIdentifiers::setOrigin(const std::optional<std::string>& origin) {
    if (!origin || origin->empty()) {
        monitor().logWithLevel(2, 37004,
                               "Cannot set the data collection origin. Origin cannot be empty");
        return;
    }
    std::lock_guard lock(mutex_);
    origin_ = origin;
}

void APMIdentifiers::resetOriginForTesting() {
    std::lock_guard lock(mutex_);
    origin_.reset();
}
