// The engine's automatic lifecycle reports: first open, app and OS update,
// session start, the personalized-ads property and the session-number
// back-fill. All run on the worker queue.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEngineUtil.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMKeychainWrapper.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/APMSessionReporter.h"

namespace {

constexpr std::int64_t kHourMillis = 3600000;

// A boolean or a number, as the facade stores its switches.
bool isTrue(const Value& value) {
    if (auto flag = value.asBool()) return *flag;
    return value.asDouble().value_or(0) != 0;
}

APMValue int64Value(std::int64_t value) {
    return APMValue::initWithInt64(value);
}

APMValue stringValue(const std::string& text) {
    return APMValue(APMValueTypeString, Value(text));
}

std::int64_t keychainInteger(const std::optional<std::string>& text) {
    if (!text || text->empty()) return 0;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text->c_str(), &end, 10);
    if (errno != 0 || end == text->c_str()) return 0;
    return value;
}

std::optional<double> birthTime(const std::string& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &info) != 0 ||
        !(info.stx_mask & STATX_BTIME))
        return std::nullopt;
    return static_cast<double>(info.stx_btime.tv_sec) + info.stx_btime.tv_nsec / 1e9;
}

}  // namespace

std::int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(std::int64_t milliseconds) {
    const std::int64_t hours = milliseconds / kHourMillis;
    const std::int64_t lastHour = std::numeric_limits<std::int64_t>::max() / kHourMillis;
    if (hours >= lastHour) return lastHour * kHourMillis;
    return (hours + 1) * kHourMillis;
}

void APMMeasurement::reportFirstOpenOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
    APMDatabase* db = database();
    if (!db) return;
    NSError error;
    const auto hadFirstOpen = db->containsUserAttributeWithName("_fot", &error);
    if (!hadFirstOpen) {
        monitor().logWithLevel(1, 23019, "Failed to query first open property. Error",
                               APMMonitorContext(error));
        return;
    }
    const std::string bundleID = NSBundle::mainBundle()->bundleIdentifier();
    // Raised by the write path for every first open it stores; read only here.
    const std::int64_t previousFirstOpens =
        keychainInteger(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID));
    auto facadeState = facade();
    const double openedAt = initTimestamp();

    if (*hadFirstOpen) {
        facadeState->setDeferredAnalyticsCollection(std::nullopt);
        reportSessionStartOnWorkerQueueWithTimestamp(openedAt, false);
        persistedConfig()->setLoadTimestampValue(std::nullopt);
        return;
    }

    const std::int64_t firstOpenAfterInstall =
        previousFirstOpens > 0 || isVersionSameAsOriginalVersion() ? 1 : 0;
    const std::int64_t storedFirstOpenMillis = persistedConfig()->firstOpenTimestampMilliseconds();
    const double firstOpenTime =
        storedFirstOpenMillis != 0 ? static_cast<double>(storedFirstOpenMillis) / 1000 : openedAt;
    if (auto property = APMUserAttribute::initWithOrigin(
            "auto", "_fi", int64Value(firstOpenAfterInstall), firstOpenTime))
        setUserAttributeOnWorkerQueue(*property);
    NSError fiError;
    const auto hasFi = db->containsUserAttributeWithName("_fi", &fiError);
    if (!hasFi) {
        monitor().logWithLevel(
            1, 23161, "Failed to query first open after install property after setting it. Error",
            APMMonitorContext(fiError));
        return;
    }
    if (!*hasFi) {
        monitor().logWithLevel(1, 23162, "Failed to set first open after install property");
        return;
    }

    const std::int64_t openedAtMillis = APMMillisecondsFromSeconds(openedAt);
    if (auto property = APMUserAttribute::initWithOrigin(
            "auto", "_fot", int64Value(timestampMillisRoundedUpToNextHour(openedAtMillis)),
            openedAt))
        setUserAttributeOnWorkerQueue(*property);
    NSError fotError;
    const auto hasFot = db->containsUserAttributeWithName("_fot", &fotError);
    if (!hasFot) {
        monitor().logWithLevel(1, 23020,
                               "Failed to query first open property after setting it. Error",
                               APMMonitorContext(fotError));
        return;
    }
    if (!*hasFot) {
        monitor().logWithLevel(1, 23021, "Failed to set first open property");
        return;
    }

    auto config = activeRemoteConfig();
    const bool efficient = config->efficientEngagementReportingEnabled();
    APMRawParameters parameters;
    if (const auto& previous = previousRUVAppID(); previous && !previous->empty())
        parameters.emplace("_pruv", stringValue(*previous));
    parameters.emplace("_pfo", int64Value(std::max<std::int64_t>(previousFirstOpens, 0)));
    parameters.emplace("_uwa", int64Value(1 - firstOpenAfterInstall));
    if (auto deferred = facadeState->deferredAnalyticsCollection(); deferred && isTrue(*deferred))
        parameters.emplace("_dac", int64Value(1));
    if (efficient) parameters.emplace("_et", int64Value(1));
    const APMRawParameters screen = APMScreenViewReporter::sharedInstance()->screenParameters();
    if (auto event = APMEvent::initWithOrigin("auto", false, "_f", openedAt, 0, parameters)) {
        event->addScreenParameters(screen);
        handleInternalEventOnWorkerQueue(*event);
    }

    facadeState->setDeferredAnalyticsCollection(std::nullopt);
    persistedConfig()->setLoadTimestampValue(std::nullopt);
    reportSessionStartOnWorkerQueueWithTimestamp(openedAt, false);

    if (!config->redundantEngagementRemovalEnabled()) {
        APMRawParameters engagement{{"_et", int64Value(1)}};
        if (efficient) engagement.emplace("_fr", int64Value(1));
        if (auto event = APMEvent::initWithOrigin("auto", false, "_e", openedAt, 0, engagement)) {
            event->addScreenParameters(screen);
            handleInternalEventOnWorkerQueue(*event);
        }
    }

    persistedConfig()->setFirstOpenTimestampMilliseconds(openedAtMillis);
    reportStoredCampaignEventOnWorkerQueue(openedAtMillis - 1);
}

namespace {

// Stores the current value when it differs from the stored one; answers the
// stored value when an event is owed (it was non-empty).
std::optional<std::string> updateStoredVersion(
    const std::string& current, const std::optional<std::string>& stored,
    const std::function<void(const std::string&)>& store) {
    if (stored.value_or("") == current) return std::nullopt;
    store(current);
    if (!stored || stored->empty()) return std::nullopt;
    return stored;
}

}  // namespace

void APMMeasurement::reportAppUpdateOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
    auto id = identity() ? identity() : APMIdentity::sharedInstance();
    if (!id) return;
    auto config = persistedConfig();
    const auto previous =
        updateStoredVersion(id->appVersion(), config->appVersion(),
                            [&](const std::string& version) { config->setAppVersion(version); });
    if (!previous) return;
    if (auto event = APMEvent::initWithOrigin("auto", false, "_au", sim::wallClockSeconds(), 0,
                                              {{"_pv", stringValue(*previous)}})) {
        event->addScreenParameters(APMScreenViewReporter::sharedInstance()->screenParameters());
        handleInternalEventOnWorkerQueue(*event);
    }
}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
    auto config = persistedConfig();
    const auto previous = updateStoredVersion(
        APMEnvironmentInfo::sharedInstance().deviceOSVersion(), config->osVersion(),
        [&](const std::string& version) { config->setOSVersion(version); });
    if (!previous) return;
    if (auto event = APMEvent::initWithOrigin("auto", false, "_ou", sim::wallClockSeconds(), 0,
                                              {{"_po", stringValue(*previous)}})) {
        event->addScreenParameters(APMScreenViewReporter::sharedInstance()->screenParameters());
        handleInternalEventOnWorkerQueue(*event);
    }
}

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName(
        "setPersonalizedAdsUserPropertyOnWorkerQueue");
    APMDatabase* db = database();
    if (!db) return;
    NSError error;
    const auto stored = db->userAttributeWithName("_npa", &error);
    if (!stored && APMFailed(error)) {
        monitor().logWithLevel(1, 23172, "Unable to read personalized ads user property. Error",
                               APMMonitorContext(error));
        return;
    }
    const std::optional<bool> disable = shouldDisableAdPersonalization();
    if (!disable) {
        if (!stored) return;
        NSError deleteError;
        if (!db->deleteUserAttributeWithName("_npa", &deleteError) && APMFailed(deleteError)) {
            monitor().logWithLevel(
                1, 23173, "Unable to remove personalized ads user property in the database. Error",
                APMMonitorContext(deleteError));
        } else {
            monitor().logWithLevel(4, 23180,
                                   "No value set for personalized ads. Removing user property.");
        }
        return;
    }
    const APMValue wanted = int64Value(*disable ? 1 : 0);
    if (stored && stored->value() == wanted) return;
    if (auto property =
            APMUserAttribute::initWithOrigin("auto", "_npa", wanted, sim::wallClockSeconds()))
        setUserAttributeOnWorkerQueue(*property);
}

void APMMeasurement::backfillSessionNumber() {
    auto config = persistedConfig();
    APMDatabase* db = database();
    if (!db || config->sessionNumber() != 0) return;
    NSError error;
    const auto aggregates = db->eventAggregatesWithName("_s", &error);
    if (!aggregates && APMFailed(error)) {
        monitor().logWithLevel(1, 23063, "Unable to query event aggregates. Name, error",
                               APMMonitorContext(Value("_s")), APMMonitorContext(error));
        return;
    }
    if (aggregates) config->setSessionNumber(aggregates->lifetimeCount());
}

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("reportSessionStartOnWorkerQueue");
    APMSessionReporter* reporter = sessionReporter();
    if (!reporter || !reporter->isSessionExpired()) return;
    reporter->updatePropertiesForNewSessionStart();
    if (auto property = reporter->sessionIDPropertyWithTimestamp(timestamp))
        setUserAttributeOnWorkerQueue(*property);
    if (auto property = reporter->sessionNumberProperty()) setUserAttributeOnWorkerQueue(*property);
    auto config = activeRemoteConfig();
    const bool inBackground = appInBackground && config->appInBackgroundParameterEnabled();
    APMRawParameters parameters{
        {"_sid", int64Value(APMMillisecondsFromSeconds(timestamp) / 1000)},
        {"_sno", int64Value(persistedConfig()->sessionNumber())},
    };
    if (inBackground) parameters.emplace("_aib", int64Value(1));
    if (auto event = APMEvent::initWithOrigin("auto", false, "_s", timestamp, 0, parameters))
        handleInternalEventOnWorkerQueue(*event);
}

double APMMeasurement::firstOpenTimestamp() {
    APMDatabase* db = database();
    if (!db) return 0;
    NSError error;
    const auto properties = db->userAttributesIncludingInternal(true, &error);
    if (!properties) {
        monitor().logWithLevel(1, 23123, "Unable to query current user properties. Error",
                               APMMonitorContext(error));
        return 0;
    }
    if (properties->empty()) {
        monitor().logWithLevel(2, 23124,
                               "Cannot extract first open timestamp. Empty user properties");
        return 0;
    }
    double oldest = std::numeric_limits<double>::infinity();
    for (const auto& property : *properties) {
        if (property.name() == "_fot") return property.lastSetTimestamp();
        oldest = std::min(oldest, property.lastSetTimestamp());
    }
    return oldest;
}

std::optional<Dictionary> APMMeasurement::fileAttributesForPath(const std::string& path) {
    if (path.empty()) return std::nullopt;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        const int code = errno;
        NSError error("NSPOSIXErrorDomain", code);
        monitor().logWithLevel(5, 23022, "Unable to read attributes of path. Path, error",
                               APMMonitorContext(Value(path)), APMMonitorContext(error));
        return std::nullopt;
    }
    Dictionary attributes;
    const char* type = S_ISDIR(info.st_mode)   ? "NSFileTypeDirectory"
                       : S_ISREG(info.st_mode) ? "NSFileTypeRegular"
                       : S_ISLNK(info.st_mode) ? "NSFileTypeSymbolicLink"
                                               : "NSFileTypeUnknown";
    attributes.set("NSFileType", Value(type));
    attributes.set("NSFileSize", Value(static_cast<long long>(info.st_size)));
    attributes.set("NSFilePosixPermissions", Value(static_cast<long long>(info.st_mode & 07777)));
    attributes.set("NSFileModificationDate",
                   Value(static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9));
    if (auto born = birthTime(path)) attributes.set("NSFileCreationDate", Value(*born));
    return attributes;
}

bool APMMeasurement::isVersionSameAsOriginalVersion() {
    // The information list is written once when the bundle is installed; a
    // later rewrite means the version was changed in place since.
    const std::string infoPath = NSBundle::mainBundle()->bundlePath() + "/Contents/Info.plist";
    const auto attributes = fileAttributesForPath(infoPath);
    if (!attributes) return true;
    const auto created = (*attributes)["NSFileCreationDate"].asDouble();
    const auto modified = (*attributes)["NSFileModificationDate"].asDouble();
    if (!created || !modified) return true;
    return *modified - *created < 1.0;
}
