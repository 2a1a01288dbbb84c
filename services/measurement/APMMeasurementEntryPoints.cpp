#include <filesystem>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMFileUtils.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMLogNames.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMScreenViewReporter.h"

namespace {

constexpr int kMaxUserPropertiesPerOrigin = 25;

// Callbacks never run on the caller's thread.
void deliver(std::function<void()> block) {
    DispatchQueue::global(DispatchQoS::Background)->async(std::move(block));
}

Value plainValue(const APMParameterObject& object) {
    if (const Value* value = std::get_if<Value>(&object)) return *value;
    return std::get<APMValue>(object).object();
}

Dictionary plainDictionary(const APMRawParameters& parameters) {
    Dictionary out;
    for (const auto& [key, value] : parameters) out.set(key, plainValue(value));
    return out;
}

std::string renderValue(const APMValue& value) {
    return value.stringValue().value_or("");
}

}  // namespace

// ---- events

void APMMeasurement::logEventWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    const APMRawParameters& parameters, double timestamp, bool enabled, bool ignoreEnabled,
    bool ignoreInterceptor, const APMLogEventInterceptor& interceptor,
    const std::optional<APMRawParameters>& addedScreenParameters) {
    scheduleWeakly("APMMeasurement:2135", [=](const std::shared_ptr<APMMeasurement>& self) {
        self->logEventOnWorkerQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                              enabled, ignoreEnabled, ignoreInterceptor,
                                              interceptor, addedScreenParameters);
    });
}

void APMMeasurement::logEventOnWorkerQueueWithOrigin(
    const std::string& origin, bool isPublicEvent, const std::string& name,
    const APMRawParameters& parameters, double timestamp, bool enabled, bool ignoreEnabled,
    bool ignoreInterceptor, const APMLogEventInterceptor& interceptor,
    const std::optional<APMRawParameters>& addedScreenParameters) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("logEventOnWorkerQueueWithOrigin");
    APMRawParameters all = parameters;
    if (!ignoreInterceptor && name != "_err") all = parametersWithAddedDefaultEventParameters(all);
    auto event = APMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, all,
                                          remoteConfig()->maxPublicEventParams());
    if (!event) {
        monitor().logWithLevel(1, 23219, "Attempted to log nil event. Origin, name, parameters",
                               APMMonitorContext(Value(origin)),
                               APMMonitorContext(Value(APMRenderEventName(Value(name)))),
                               APMMonitorContext(Value(plainDictionary(all))));
        return;
    }
    if (addedScreenParameters && !addedScreenParameters->empty())
        event->addScreenParameters(*addedScreenParameters);
    const bool exempt = origin == "zd" || name == "_xa" || name == "_xu";
    if ((!enabled && !ignoreEnabled) || exempt) {
        logEventOnWorkerQueue(*event, false);
        return;
    }
    if (isPublicEvent && interceptor && !ignoreInterceptor) {
        APMRawParameters handed = all;
        if (addedScreenParameters)
            for (const auto& [key, value] : *addedScreenParameters)
                handed.insert_or_assign(key, value);
        interceptor(name, handed);
        return;
    }
    logEventOnWorkerQueue(*event, true);
}

void APMMeasurement::logEventOnWorkerQueue(const APMEvent& event, bool notifyEventListeners) {
    if (!notifyEventListeners) {
        handleEventOnWorkerQueue(event);
        return;
    }
    const APMEvent copy = event;
    handleEventOnWorkerQueue(event);
    if (auto notifier = eventListenerNotifier()) notifier(copy);
}

void APMMeasurement::logEvent(const std::optional<APMEvent>& event) {
    if (!event) {
        monitor().logWithLevel(4, 23048, "Attempted to log nil event");
        return;
    }
    scheduleWeakly("APMMeasurement:2241",
                   [event = *event](const std::shared_ptr<APMMeasurement>& self) {
                       self->handleEventOnWorkerQueue(event);
                   });
}

void APMMeasurement::trackScreenWithParameters(const Dictionary& parameters, double timestamp) {
    // A screen view is not logged as such: it starts a new screen, whose
    // "_vs" event the screen-view reporter logs.
    APMScreenViewReporter::sharedInstance()->trackScreenWithParameters(parameters, timestamp);
}

// ---- default event parameters

APMRawParameters APMMeasurement::parametersWithAddedDefaultEventParameters(
    const APMRawParameters& parameters) {
    auto defaults = persistedConfig_->defaultEventParameters();
    if (!defaults || defaults->empty()) return parameters;
    APMRawParameters merged;
    for (const auto& [key, value] : *defaults) merged.emplace(key, value);
    for (const auto& [key, value] : parameters) merged.insert_or_assign(key, value);
    return merged;
}

void APMMeasurement::setDefaultEventParameters(const std::optional<Dictionary>& parameters) {
    scheduleWeakly("APMMeasurement:2250",
                   [parameters](const std::shared_ptr<APMMeasurement>& self) {
                       self->handleSetDefaultEventParametersOnWorkerQueue(parameters);
                   });
}

void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<Dictionary>& parameters) {
    APMScheduler::checkOnBackgroundThreadWithMethodName(
        "handleSetDefaultEventParametersOnWorkerQueue:");
    if (!isEnabled()) {
        monitor().logWithLevel(7, 23211,
                               "Analytics is disabled. Default event parameters not updated");
        return;
    }
    Dictionary result = parameters
                            ? persistedConfig_->defaultEventParameters().value_or(Dictionary{})
                            : Dictionary{};
    if (parameters) {
        for (const auto& [key, value] : *parameters) {
            if (!value.isNull() && !value.isNumber() && !value.isBool() && !value.asString()) {
                monitor().logWithLevel(
                    4, 23213, "Invalid key in default event parameters. Parameter ignored.");
                if (value.asArray()) {
                    const Value keyValue(key);
                    APMLogValidationErrorEvent(27, &keyValue, 0, nullptr);
                }
                continue;
            }
            const Value keyValue(key);
            if (!APMDataTypeValidator::isValidPublicEventParameterName(&keyValue)) {
                monitor().logWithLevel(4, 23214, "Invalid default event parameter name. Name",
                                       APMMonitorContext(keyValue));
                continue;
            }
            if (value.isNull()) {
                result.remove(key);
                continue;
            }
            auto typed = APMValue::valueFromObject(value);
            if (typed && APMDataTypeValidator::isValidPublicEventParameterValue(&*typed))
                result.set(key, value);
        }
    }
    const int limit = remoteConfig()->maxPublicEventParams();
    if (static_cast<int>(result.size()) > limit) {
        // Names in sorted order; the last ones go.
        std::vector<std::string> names;
        for (const auto& [key, value] : result) names.push_back(key);
        std::sort(names.begin(), names.end());
        for (std::size_t i = static_cast<std::size_t>(limit); i < names.size(); ++i)
            result.remove(names[i]);
        const Value nameValue("_dp");
        APMLogValidationErrorEvent(26, &nameValue, limit, nullptr);
        monitor().logWithLevel(
            4, 23215,
            "Too many default event parameters set. Discarding beyond event parameter limit");
    }
    monitor().logWithLevel(7, 23216, "Updating default event parameters. Parameters",
                           APMMonitorContext(Value(result)));
    persistedConfig_->setDefaultEventParameters(result);
}

// ---- user properties

void APMMeasurement::setUserAttribute(const std::optional<APMUserAttribute>& attribute) {
    if (!attribute) {
        monitor().logWithLevel(3, 23079, "Attempted to set nil user property");
        return;
    }
    scheduleWeakly("APMMeasurement:2434",
                   [attribute = *attribute](const std::shared_ptr<APMMeasurement>& self) {
                       self->setUserAttributeOnWorkerQueue(attribute);
                   });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
    if (!isEnabled()) {
        monitor().logWithLevel(7, 23081, "Analytics is disabled. User property not set");
        return;
    }
    setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue");
    const Value nameValue(APMRenderUserPropertyName(Value(attribute.name())));
    if (!database_) return false;
    NSError error;
    auto exists = database_->containsUserAttributeWithName(attribute.name(), &error);
    if (!exists) {
        monitor().logWithLevel(1, 23082, "Unable to query existence of user property. Name, error",
                               APMMonitorContext(nameValue), APMMonitorContext(error));
        return false;
    }
    if (*exists && attribute.name() == "_id" &&
        remoteConfig()->lastAdvertisingIDResetFeatureEnabled()) {
        auto stored = database_->userAttributeWithName("_id");
        if (stored && renderValue(stored->value()) != renderValue(attribute.value()))
            database_->deleteUserAttributeWithName("_lair");
    }
    if (!*exists) {
        std::optional<int64_t> count;
        int64_t limit = kMaxUserPropertiesPerOrigin;
        if (attribute.isPublic()) {
            count = database_->publicUserAttributeCount(&error);
            limit = remoteConfig()->maxPublicUserProperties();
        } else {
            count = database_->userAttributeCountForOrigin(attribute.origin(), &error);
        }
        if (!count) {
            monitor().logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                                   APMMonitorContext(Value(attribute.origin())),
                                   APMMonitorContext(error));
            return false;
        }
        if (*count >= limit) {
            monitor().logWithLevel(
                3, 23084,
                "Unable to set user property. Reached limit on set user properties for origin. "
                "Origin, name, value",
                APMMonitorContext(Value(attribute.origin())), APMMonitorContext(nameValue),
                APMMonitorContext(attribute.value().object()));
            const Value name(attribute.name());
            APMLogValidationErrorEvent(9, &name, limit, nullptr);
            return false;
        }
    }
    NSError writeError;
    if (!database_->updateUserAttribute(attribute, &writeError)) {
        monitor().logWithLevel(1, 23085, "Unable to set user property. Name, value, error",
                               APMMonitorContext(nameValue),
                               APMMonitorContext(attribute.value().object()),
                               APMMonitorContext(writeError));
        return false;
    }
    monitor().logWithLevel(7, 23087, "User property set. Name, value", APMMonitorContext(nameValue),
                           APMMonitorContext(attribute.value().object()));
    return true;
}

void APMMeasurement::removeUserAttribute(const std::optional<APMUserAttribute>& attribute) {
    if (!attribute) {
        monitor().logWithLevel(3, 23074, "Attempted to remove nil user property");
        return;
    }
    scheduleWeakly("APMMeasurement:2394",
                   [attribute = *attribute](const std::shared_ptr<APMMeasurement>& self) {
                       self->removeUserAttributeOnWorkerQueue(attribute);
                   });
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
    if (!isEnabled()) {
        monitor().logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
        return;
    }
    const Value nameValue(APMRenderUserPropertyName(Value(attribute.name())));
    NSError error;
    if (!database_ || !database_->deleteUserAttributeWithName(attribute.name(), &error)) {
        monitor().logWithLevel(1, 23077, "Unable to remove user property. Name, error",
                               APMMonitorContext(nameValue), APMMonitorContext(error));
        return;
    }
    monitor().logWithLevel(7, 23078, "User property removed. Name", APMMonitorContext(nameValue));
}

void APMMeasurement::userAttributeWithName(
    const std::string& name, std::function<void(std::optional<APMUserAttribute>)> callback) {
    if (!callback) {
        monitor().logWithLevel(0, 23088, "userAttributeWithName callback is nil");
        return;
    }
    scheduleWeakly(
        "APMMeasurement:2562", [name, callback](const std::shared_ptr<APMMeasurement>& self) {
            std::optional<APMUserAttribute> attribute;
            NSError error;
            if (self->database_) attribute = self->database_->userAttributeWithName(name, &error);
            if (!self->database_ || !error.domain.empty())
                monitor().logWithLevel(1, 23089, "Unable to get user attribute by name. Name",
                                       APMMonitorContext(Value(name)));
            deliver([callback, attribute] { callback(attribute); });
        });
}

void APMMeasurement::userPropertiesIncludingInternal(bool includeInternal,
                                                     std::function<void(Dictionary)> callback) {
    if (!callback) {
        monitor().logWithLevel(0, 23090, "Unable to retrieve user properties. Callback is nil");
        return;
    }
    scheduleWeakly("APMMeasurement:2617", [includeInternal,
                                           callback](const std::shared_ptr<APMMeasurement>& self) {
        std::optional<std::vector<APMUserAttribute>> attributes;
        NSError error;
        if (self->database_)
            attributes = self->database_->userAttributesIncludingInternal(includeInternal, &error);
        if (!attributes)
            monitor().logWithLevel(1, 23091, "Unable to retrieve user properties. Error",
                                   APMMonitorContext(error));
        Dictionary properties;
        for (const auto& attribute : attributes.value_or(std::vector<APMUserAttribute>{})) {
            const APMValue& value = attribute.value();
            if (attribute.name().empty()) {
                monitor().logWithLevel(3, 23092,
                                       "Cannot add invalid public user property name or value.");
                continue;
            }
            if (value.isString() || value.isDouble() || value.isInt64())
                properties.set(attribute.name(), value.object());
        }
        deliver([callback, properties] { callback(properties); });
    });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string& origin,
                                                std::function<void(int)> callback) {
    if (origin.empty()) {
        monitor().logWithLevel(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
        return;
    }
    if (!callback) {
        monitor().logWithLevel(0, 23094, "MaxUserProperties callback cannot be nil. Origin",
                               APMMonitorContext(Value(origin)));
        return;
    }
    deliver([callback] { callback(kMaxUserPropertiesPerOrigin); });
}

std::optional<bool> APMMeasurement::shouldDisableAdPersonalization() {
    if (auto allowed = persistedConfig_->allowPersonalizedAds()) {
        if (auto flag = allowed->asBool()) return !*flag;
        if (allowed->isNumber()) return allowed->asDouble().value_or(0) == 0;
    }
    const Value* fromPlist = NSBundle::mainBundle()->objectForInfoDictionaryKey(
        "ZEVERA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS");
    if (!fromPlist) return std::nullopt;
    if (auto flag = fromPlist->asBool()) return !*flag;
    if (fromPlist->isNumber()) return fromPlist->asDouble().value_or(0) == 0;
    return false;
}

bool APMMeasurement::shouldAllowAdNetworkRegistration() {
    const Value* fromPlist = NSBundle::mainBundle()->objectForInfoDictionaryKey(
        "ZEVERA_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED");
    if (fromPlist) {
        if (auto flag = fromPlist->asBool()) return *flag;
        if (fromPlist->isNumber()) return fromPlist->asDouble().value_or(0) != 0;
    }
    return true;
}

void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName(
        "setLastAdvertisingIDResetUserPropertyOnWorkerQueue");
    if (!database_) return;
    auto hasID = database_->containsUserAttributeWithName("_id");
    if (!hasID || !*hasID) return;
    auto hasReset = database_->containsUserAttributeWithName("_lair");
    if (!hasReset || *hasReset) return;
    auto attribute = APMUserAttribute::initWithOrigin("auto", "_lair", APMValue::initWithInt64(1),
                                                      sim::wallClockSeconds());
    if (attribute) setUserAttributeOnWorkerQueue(*attribute);
    if (identity_) identity_->setShouldSetLastAdvertisingIDResetUserProperty(false);
}

// ---- reset and wipe

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
    monitor().logWithLevel(6, 23171, "Resetting App Measurement data");
    previousRUVAppID_ = persistedConfig_->appIDFromRUV();
    persistedConfig_->clearValues();
    monitor().clearMonitoringData();
    keptEventsAfterRowID_ = 0;
    if (database_) {
        NSError error;
        if (!database_->reset(&error)) {
            monitor().logWithLevel(1, 23209, "Failed to reset database", APMMonitorContext(error));
            return false;
        }
        if (remoteConfig_) remoteConfig_->reset();
        createSessionReporterOnWorkerQueue(isEnabled());
    } else {
        const std::string path = APMMeasurementDirectoryPath(databaseName_);
        std::error_code exists;
        if (std::filesystem::exists(path, exists)) {
            NSError error;
            if (!APMRemoveFileAtPath(path, &error))
                monitor().logWithLevel(1, 23014, "Failed to delete old database file. Error",
                                       APMMonitorContext(error));
        }
    }
    if (identity_) identity_->updateIdentifiers();
    return true;
}

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData");
    // Waiting for the worker queue from the main queue could stall the
    // application; from the worker queue it would wait on itself.
    if (NSThread::isMainThread() || scheduler_->isOnWorkerQueue()) {
        monitor().logWithLevel(1, 23169,
                               "Cannot reset Analytics data from the main thread or the worker "
                               "queue");
        return false;
    }
    if (!appInstanceID || appInstanceID->empty()) {
        if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
            monitor().logWithLevel(1, 23167, "Cannot reset with an empty app instance ID");
            return false;
        }
        monitor().logWithLevel(7, 23218, "Resetting with an empty app instance ID");
    }
    auto facade = APMMeasurement::facade();
    const double loadTimestamp = facade->loadTimestamp();
    bool wiped = false;
    dispatchSyncOnWorkerQueue("APMMeasurement:2989", [&] {
        wiped = wipeoutAnalyticsDataAndResetComponents();
        if (!wiped) return;
        persistedConfig_->setAppInstanceID(appInstanceID);
        if (identity_) identity_->setAppInstanceID(appInstanceID);
        monitor().logWithLevel(6, 23168, "Analytics data has been reset");
        const bool enabled = isEnabled();
        if (!isAnalyticsCollectionDeactivated_ && !facade->deferredAnalyticsCollection())
            facade->setDeferredAnalyticsCollection(Value(static_cast<long long>(enabled ? 0 : 1)));
        initTimestamp_ = loadTimestamp;
        persistedConfig_->setLoadTimestampValue(Value(loadTimestamp));
        if (enabled) reportFirstOpenOnWorkerQueue();
    });
    return wiped;
}
