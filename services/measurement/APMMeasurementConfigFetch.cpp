#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/net/NSURL.h"
#include "platform/net/NSURLRequest.h"
#include "services/measurement/APMAudience.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMSessionReporter.h"
#include "services/util/DOZIvedidi.h"

namespace {

// Field IDs of the measurement configuration.
constexpr int kConfigAppID = 1;
constexpr int kConfigAudiences = 5;

constexpr const char* kPlatform = "macos";
// The script runtime's version; the runtime is built on top of this library,
// so its number is repeated here.
constexpr std::int64_t kScriptRuntimeVersion = 0;

APMMonitorContext statusContext(long status) {
    return APMMonitorContext(Value(static_cast<long long>(status)));
}

APMMonitorContext bodyContext(const Data& body) {
    return APMMonitorContext(Value(body));
}

}  // namespace

void APMMeasurement::fetchRemoteConfig() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("fetchRemoteConfig");
    auto config = remoteConfig_ ? remoteConfig_ : APMRemoteConfig::defaultInstance();
    const auto appInstanceID = identity_ ? identity_->appInstanceID() : std::nullopt;
    const auto address = config->remoteConfigURLWithAppInstanceID(
        appInstanceID, std::string(kPlatform), APMIdentity::redIdizezadoduLibraryVersion(),
        kScriptRuntimeVersion);
    const auto url = address ? NSURL::URLWithString(*address) : std::nullopt;
    auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_);
    if (!url || !network) {
        monitor().logWithLevel(2, 23125, "Invalid server URL to get configuration");
        return;
    }
    monitor().logWithLevel(8, 23126, "Fetching configuration from the server");

    NSHTTPHeaders headers;
    if (auto stored = persistedConfig_->configServerLastModifiedString()) {
        if (auto text = stored->asString(); text && !text->empty())
            headers["If-Modified-Since"] = *text;
    }
    isNetworkRequestPending_ = true;
    network->setTimeoutInterval(config->networkTimeout());
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    network->getURL(*url, headers, worker_, shouldUseBackgroundSession(),
                    [weak](std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data> data,
                           std::optional<NSError> error) {
                        auto self = weak.lock();
                        if (!self) return;
                        self->isNetworkRequestPending_ = false;
                        self->networkRemoteConfigFetchCompletionHandler(response, data, error);
                    });
}

void APMMeasurement::networkRemoteConfigFetchCompletionHandler(
    const std::shared_ptr<NSHTTPURLResponse>& response, const std::optional<Data>& data,
    const std::optional<NSError>& error) {
    APMScheduler::checkOnBackgroundThreadWithMethodName(
        "networkRemoteConfigFetchCompletionHandler");
    const long status = response ? response->statusCode() : 0;
    const double now = sim::wallClockSeconds();
    monitor().logWithLevel(8, 23127, "Fetched configuration. Status code", statusContext(status));

    const bool handled = status == 200 || status == 204 || status == 304 || status == 404;
    if (!handled) {
        monitor().logWithLevel(
            3, 23128, "Network request failed to fetch remote config. Code, Error",
            statusContext(status), error ? APMMonitorContext(*error) : APMMonitorContext());
        persistedConfig_->setLastFailedUploadTimestamp(now);
        if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(now);
        monitor().logWithLevel(3, 23129, "Network fetch failed. Will retry later. Code, error",
                               statusContext(status),
                               error ? APMMonitorContext(*error) : APMMonitorContext());
        updateSchedule();
        return;
    }
    if (!database_) return;

    bool recorded = false;
    if ((status == 200 || status == 204) && data && !data->empty()) {
        monitor().logWithLevel(
            8, 23133, "Successfully fetched configuration from the server. Code, size",
            statusContext(status), APMMonitorContext(Value(response->expectedContentLength())));
        // The fetch counts only once the configuration is stored: a body that
        // is refused leaves the previous configuration, its fetch time and its
        // "Last-Modified" in force, so the configuration stays expired and the
        // next upload cycle asks again (not "If-Modified-Since" a body we
        // never took, which would be answered 304).
        if (!applyFetchedConfiguration(*data, now)) {
            persistedConfig_->setLastFailedUploadTimestamp(now);
            monitor().logWithLevel(3, 23129, "Network fetch failed. Will retry later. Code, error",
                                   statusContext(status), bodyContext(*data));
            // Not uploadDataOrRegisterAlarm: with nothing queued it would
            // fetch the same refused body again at once.
            updateSchedule();
            return;
        }
        recorded = true;
    } else {
        if (status == 404)
            monitor().logWithLevel(3, 23130,
                                   "Configuration not found. Using default configuration");
        if (status == 304)
            monitor().logWithLevel(8, 23131,
                                   "Configuration has not been modified. Using the same "
                                   "configuration. Code",
                                   statusContext(status));
        if (status == 200 || status == 204)
            monitor().logWithLevel(
                8, 23133, "Successfully fetched configuration from the server. Code, size",
                statusContext(status), APMMonitorContext(Value(response->expectedContentLength())));
        NSError recordError;
        recorded = database_->updateRemoteConfigSuccessfulTimestamp(now, &recordError);
        if (!recorded) {
            if (status == 304 || status == 404)
                monitor().logWithLevel(1, 23132,
                                       "Failed to update config last set timestamp. Error",
                                       APMMonitorContext(recordError));
            else
                monitor().logWithLevel(1, 23134,
                                       "Failed to set last set timestamp in database. Error",
                                       APMMonitorContext(recordError));
        }
    }

    const auto lastModified = response->valueForHTTPHeaderField("Last-Modified");
    persistedConfig_->setConfigServerLastModifiedString(
        lastModified ? std::optional<Value>(Value(*lastModified)) : std::nullopt);
    persistedConfig_->setLastFailedUploadTimestamp(0);
    persistedConfig_->setLastBackoffTimestamp(0);
    suspendedUploadTimestamp_ = recorded ? 0 : APMSessionReporter::currentUptime();
    uploadDataOrRegisterAlarm();
}

bool APMMeasurement::applyFetchedConfiguration(const Data& body, double now) {
    bool stored = false;
    const bool committed = database_->performTransaction([&] {
        auto message = APMPBMeasurementConfig::initWithBuffer(body);
        if (!message || !message->protoBuffer()) {
            monitor().logWithLevel(2, 23135, "Configuration data is invalid.");
            return false;
        }
        // Without a service app ID from the application's settings, the
        // configuration must be the one asked for: the engine's own app.
        auto expected = identity_ ? identity_->appIDFromRUV() : std::nullopt;
        if (!expected || expected->empty()) expected = appID_;
        if (APMPBGetString(message.get(), kConfigAppID) != expected) {
            monitor().logWithLevel(2, 23136, "Configuration does not have valid Zevera App ID.");
            return false;
        }
        std::vector<std::shared_ptr<APMPBAudience>> audiences;
        if (auto list = APMPBGetRepeatedField(message.get(), kConfigAudiences,
                                              APMPBAudience::classObject())) {
            for (const auto& object : *list) {
                if (auto audience = std::dynamic_pointer_cast<APMPBAudience>(object.message()))
                    audiences.push_back(audience);
            }
        }
        if (!audience_ || !audience_->updateAudiences(audiences)) {
            monitor().logWithLevel(2, 23137,
                                   "Failed to update audiences with new server configuration",
                                   bodyContext(body));
            return false;
        }
        NSError error;
        if (!database_->updateRemoteConfigSuccessfulTimestamp(now, &error)) {
            monitor().logWithLevel(1, 23134, "Failed to set last set timestamp in database. Error",
                                   APMMonitorContext(error));
            return false;
        }
        APMPBClearField(message.get(), kConfigAudiences);
        if (!remoteConfig_ || !remoteConfig_->updateMeasurementConfig(message)) {
            monitor().logWithLevel(2, 23138,
                                   "Failed to update configuration with new server configuration",
                                   bodyContext(body));
            return false;
        }
        stored = true;
        return true;
    });
    return committed && stored;
}
