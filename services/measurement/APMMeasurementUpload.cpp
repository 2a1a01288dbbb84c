#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/net/NSURL.h"
#include "services/measurement/APMAlarm.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEngineUtil.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMSessionReporter.h"
#include "services/util/DOZIvedidi.h"

namespace {

// Field IDs of the measurement batch and bundle written or read here.
constexpr int kBatchBundles = 0;
constexpr int kBundleUploadTimestamp = 3;
constexpr int kBundleAppID = 14;
constexpr int kBundleUploadLibraryVersion = 18;
constexpr int kBundleResettableDeviceID = 19;
constexpr int kBundleVendorDeviceID = 20;
constexpr int kBundleChecksum = 38;

constexpr double kUploadSuspension = 3600;

bool isTiny(double value) {
    return std::fabs(value) < std::numeric_limits<double>::epsilon();
}

bool nonEmpty(const std::optional<std::string>& text) {
    return text && !text->empty();
}

std::shared_ptr<APMRemoteConfig> configOf(const std::shared_ptr<APMRemoteConfig>& config) {
    return config ? config : APMRemoteConfig::defaultInstance();
}

Array rowIDArray(const std::vector<std::int64_t>& ids) {
    Array array;
    for (std::int64_t id : ids) array.push_back(Value(static_cast<long long>(id)));
    return array;
}

std::string uploadURL() {
    return std::string("https://") + DOZIvedidi::kDefaultReachabilityHost + "/a";
}

}  // namespace

// ---- scheduling

void APMMeasurement::updateSchedule() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
    auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_);
    auto stopScheduling = [&] {
        alarm_->cancel();
        observeReachability(false);
        terminateBackgroundTask();
    };

    const double suspended = suspendedUploadTimestamp_;
    if (suspended != 0 && !std::isnan(suspended)) {
        const double elapsed = std::fabs(APMSessionReporter::currentUptime() - suspended);
        if (elapsed < kUploadSuspension) {
            monitor().logWithLevel(3, 23023,
                                   "Upload has been suspended. Will update scheduling later. "
                                   "Seconds",
                                   APMContext(kUploadSuspension - elapsed));
            stopScheduling();
            return;
        }
        suspendedUploadTimestamp_ = 0;
    }

    if (!hasDataToUpload()) {
        configOf(remoteConfig_)->activateNewSnapshot();
        monitor().logWithLevel(8, 23024, "No data to upload. Upload task will not be scheduled");
        stopScheduling();
        return;
    }

    double next = nextUploadingTime();
    if (isTiny(next)) {
        monitor().logWithLevel(8, 23025,
                               "No next uploading time. Upload task will not be scheduled");
        stopScheduling();
        return;
    }

    if (!network || !network->isNetworkConnected()) {
        monitor().logWithLevel(8, 23026, "No network. Upload task will not be scheduled");
        // Reachability reschedules once the network is back.
        observeReachability(true);
        alarm_->cancel();
        terminateBackgroundTask();
        return;
    }
    observeReachability(false);

    auto config = configOf(remoteConfig_);
    const double now = sim::wallClockSeconds();
    const double backoff = persistedConfig_->lastBackoffTimestamp();
    const double backoffInterval = config->uploadingBackoffInterval();
    if (!isTiny(backoff) && now - backoff < backoffInterval)
        next = std::max(next, backoff + backoffInterval);

    if (auto armed = alarm_->scheduledTimestamp(); armed && !isTiny(*armed) && *armed <= next) {
        monitor().logWithLevel(8, 23027,
                               "Do not schedule an upload task. Task already exists. Will be "
                               "executed in seconds",
                               APMContext(*armed - now));
        return;
    }

    double delay = next - now;
    if (isTiny(delay)) delay = 0.001;
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    alarm_->runAfterDelay(delay, [weak] {
        if (auto self = weak.lock())
            self->scheduleWeakly(
                "APMMeasurement:uploadTimer",
                [](const std::shared_ptr<APMMeasurement>& engine) { engine->uploadData(); });
    });
    monitor().logWithLevel(8, 23028, "Upload task scheduled to be executed in approx. (s)",
                           APMContext(delay));
}

double APMMeasurement::nextUploadingTime() {
    const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
    const double lastFailed = persistedConfig_->lastFailedUploadTimestamp();
    if (!database_) return 0;

    NSError rawError;
    auto rawTime = database_->queryLatestRawEventTime(&rawError);
    if (!rawTime && !rawError.domain.empty())
        monitor().logWithLevel(5, 23029, "Failed to query latest raw event time. Error",
                               APMMonitorContext(rawError));
    NSError bundleError;
    auto bundleTime = database_->queryLatestBundleTime(&bundleError);
    if (!bundleTime && !bundleError.domain.empty())
        monitor().logWithLevel(5, 23030, "Failed to query latest bundle time. Error",
                               APMMonitorContext(bundleError));
    const double latest = std::max(rawTime.value_or(0), bundleTime.value_or(0));
    if (isTiny(latest)) return 0;

    auto config = configOf(remoteConfig_);
    const bool debug = monitor().isDebugModeEnabled();
    bool realtime = debug;
    if (!realtime) {
        NSError error;
        auto bundles = database_->containsRealtimeBundles(&error);
        if (!bundles && !error.domain.empty())
            monitor().logWithLevel(5, 23031,
                                   "Failed to query for real-time bundle indicator. Error",
                                   APMMonitorContext(error));
        realtime = bundles.value_or(false);
    }
    if (!realtime) {
        NSError error;
        auto events = database_->containsRealtimeRawEvents(&error);
        if (!events && !error.domain.empty())
            monitor().logWithLevel(5, 23032,
                                   "Failed to query for real-time raw event indicator. Error",
                                   APMMonitorContext(error));
        realtime = events.value_or(false);
    }
    const double interval =
        realtime ? config->uploadingRealTimeInterval() : config->uploadingInterval();

    const double now = sim::wallClockSeconds();
    const double base = now - std::fabs(latest - now);
    double next = std::fabs(now - lastSuccess) < interval
                      ? lastSuccess + interval
                      : base + config->uploadingInitialDelayInterval();

    if (lastFailed >= base) {
        // An attempt failed after the newest data: walk the retry ladder.
        const int retries = config->uploadingRetryCount();
        const double retryInterval = config->uploadingRetryInterval();
        for (int i = 0; i < retries; ++i) {
            next += retryInterval * std::ldexp(1.0, i);
            if (next > lastFailed) return next;
        }
        return 0;
    }
    if (debug) return std::min(next, base + config->uploadingDebugModeInterval());
    return next;
}

void APMMeasurement::uploadDataOrRegisterAlarm() {
    auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_);
    if (network && network->isNetworkConnected() && hasDataToUpload())
        uploadData();
    else
        updateSchedule();
}

bool APMMeasurement::isNetworkReadyForRequest() {
    if (!isNetworkRequestPending_) return true;
    auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_);
    if (network && network->hasUploadInProgress()) return false;
    monitor().logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
    return false;
}

bool APMMeasurement::hasDataToUpload() {
    if (!database_) return false;
    NSError error;
    auto queueEmpty = database_->isQueuedBundleTableEmpty(&error);
    if (!queueEmpty) {
        monitor().logWithLevel(1, 23117, "Failed to check if queue table is empty. Error",
                               APMMonitorContext(error));
        return false;
    }
    if (!*queueEmpty) return true;
    auto rawEmpty = database_->isRawEventsTableEmpty(&error);
    if (!rawEmpty) {
        monitor().logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error",
                               APMMonitorContext(error));
        return false;
    }
    return !*rawEmpty;
}

// ---- the batch

APMMeasurement::QueuedBundles APMMeasurement::filteredBundlesWithCompatibleAppID(
    const std::optional<std::string>& compatibleAppID,
    const std::optional<std::string>& resettableDeviceID,
    const std::optional<std::string>& vendorDeviceID, const QueuedBundles& bundlesToUpload) {
    if (nonEmpty(resettableDeviceID) && nonEmpty(vendorDeviceID)) {
        monitor().logWithLevel(2, 23042,
                               "Bundle filter must not specify both resettableDeviceID and "
                               "vendorDeviceID");
        return {};
    }
    const bool byResettable = nonEmpty(resettableDeviceID);
    const std::string filterID =
        byResettable ? *resettableDeviceID : vendorDeviceID.value_or(std::string());
    const int idField = byResettable ? kBundleResettableDeviceID : kBundleVendorDeviceID;
    // A bundle without an app ID belongs to no app, so no batch can carry it.
    if (!nonEmpty(compatibleAppID)) return {};

    QueuedBundles kept;
    for (const auto& pair : bundlesToUpload) {
        const APMPBMessage* bundle = pair.first.get();
        const std::string bundleID = APMPBGetString(bundle, idField).value_or(std::string());
        const bool sameDevice = bundleID.empty() || filterID.empty() || bundleID == filterID;
        if (!sameDevice || APMPBGetString(bundle, kBundleAppID) != compatibleAppID) break;
        kept.push_back(pair);
    }
    return kept;
}

void APMMeasurement::uploadData() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
    if (suspendedUploadTimestamp_ > 0) {
        updateSchedule();
        return;
    }
    monitor().logWithLevel(8, 23033, "Starting data upload");
    if (!isNetworkReadyForRequest()) {
        monitor().logWithLevel(8, 23034, "Network operation is pending. Ignoring upload request");
        return;
    }
    auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_);
    if (!network || !network->isNetworkConnected()) {
        monitor().logWithLevel(7, 23035, "Network not connected, ignoring upload request");
        updateSchedule();
        return;
    }
    if (!database_) return;
    auto config = configOf(remoteConfig_);

    if (!config->isExpired()) {
        const int most = config->maxBundlesCreatedPerIteration();
        int created = 0;
        while (created < most && bundleRawEvents()) ++created;
    }

    NSError error;
    auto queued = database_->queryBundles(config->uploadMaxBundlesLimit(),
                                          config->uploadMaxSizeLimitBytes(), &error);
    if (!queued) {
        monitor().logWithLevel(1, 23036, "Failed to query bundles. Error",
                               APMMonitorContext(error));
        terminateBackgroundTask();
        return;
    }
    if (queued->empty()) {
        config->activateNewSnapshot();
        monitor().logWithLevel(8, 23037, "No data to upload");
        if (config->isExpired())
            fetchRemoteConfig();
        else
            terminateBackgroundTask();
        return;
    }

    if (identity_) {
        const auto signals = APMConsentSettingsUtil::consentSignals();
        const bool gate = config->gateIDFAOnATTMASEnabled();
        for (auto& [bundle, rowID] : *queued)
            if (bundle) fillIdentityAndConsent(*bundle, signals, gate, *identity_);
    }

    const double now = sim::wallClockSeconds();
    const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
    if (!isTiny(lastSuccess))
        monitor().logWithLevel(8, 23038,
                               "Uploading events. Elapsed time since last successful upload (s)",
                               APMContext(std::fabs(now - lastSuccess)));

    const APMPBMessage* first = queued->front().first.get();
    std::optional<std::string> resettableFilter, vendorFilter;
    for (const auto& [bundle, rowID] : *queued) {
        auto resettable = APMPBGetString(bundle.get(), kBundleResettableDeviceID);
        auto vendor = APMPBGetString(bundle.get(), kBundleVendorDeviceID);
        if (!nonEmpty(resettable) && !nonEmpty(vendor)) continue;
        if (nonEmpty(resettable))
            resettableFilter = resettable;
        else
            vendorFilter = vendor;
        break;
    }
    const QueuedBundles kept = filteredBundlesWithCompatibleAppID(
        APMPBGetString(first, kBundleAppID), resettableFilter, vendorFilter, *queued);

    const std::int64_t uploadMillis = static_cast<std::int64_t>(now * 1000);
    const std::int64_t libraryVersion = APMIdentity::redIdizezadoduLibraryVersion();
    const bool checksum = config->checksumEnabled();
    std::vector<APMPBObject> bundles;
    std::vector<std::int64_t> rowIDs;
    for (const auto& [bundle, rowID] : kept) {
        APMPBMessage* b = bundle.get();
        APMPBSetInt64(b, kBundleUploadLibraryVersion, libraryVersion);
        APMPBSetInt64(b, kBundleUploadTimestamp, uploadMillis);
        // The checksum covers the bundle as sent, never one left from before.
        APMPBClearField(b, kBundleChecksum);
        if (checksum) {
            auto bytes = b->protoBuffer();
            if (bytes) APMPBSetInt64(b, kBundleChecksum, apm_64LSBMD5(*bytes));
        }
        bundles.emplace_back(bundle);
        rowIDs.push_back(rowID);
    }
    auto batch = APMPBMeasurementBatch::make();
    if (batch) APMPBSetRepeatedField(batch.get(), kBatchBundles, &bundles);
    auto payload = batch ? batch->protoBuffer() : std::nullopt;

    // Nothing to send (the head of the queue belongs to no app): an empty
    // batch would be "accepted" without deleting anything and sent again at
    // once. Count it as a failed attempt so the retry ladder, not a loop,
    // decides when to look again.
    if (!setUploadInProgressWithBundleIDs(rowIDs)) {
        persistedConfig_->setLastFailedUploadTimestamp(now);
        updateSchedule();
        return;
    }
    if (!payload) {
        networkUploadCompletionHandlerWithResponse(
            nullptr, apm_errorWithCode(1, "Failed to encode the measurement batch", ""), rowIDs);
        return;
    }
    monitor().logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
                           APMMonitorContext(Value(static_cast<long long>(uploadMillis))),
                           APMMonitorContext(std::static_pointer_cast<NSObject>(batch)));
    persistedConfig_->setLastFailedUploadTimestamp(now);
    isNetworkRequestPending_ = true;
    network->setTimeoutInterval(config->networkTimeout());

    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    auto url = NSURL::URLWithString(uploadURL());
    auto sessionID = network->postURL(
        url.value_or(NSURL()), *payload, worker_, shouldUseBackgroundSession(),
        [weak, rowIDs](std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data>,
                       std::optional<NSError> error) {
            auto self = weak.lock();
            if (!self) return;
            self->isNetworkRequestPending_ = false;
            self->networkUploadCompletionHandlerWithResponse(response, error, rowIDs);
        });
    if (!sessionID || sessionID->empty()) {
        monitor().logWithLevel(2, 23040, "Unable to create network session.");
        uploadingBundleIDs_.reset();
    }
}

bool APMMeasurement::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs) {
    if (bundleIDs.empty()) {
        monitor().logWithLevel(2, 23046, "Bundle list is empty. Cancelling upload");
        return false;
    }
    if (uploadingBundleIDs_ && !uploadingBundleIDs_->empty())
        monitor().logWithLevel(2, 23047,
                               "Set uploading progress before finishing the previous upload");
    uploadingBundleIDs_ = bundleIDs;
    return true;
}

std::optional<std::vector<std::int64_t>> APMMeasurement::uploadingBundleIDs() const {
    return uploadingBundleIDs_;
}

// ---- the answer

void APMMeasurement::networkUploadCompletionHandlerWithResponse(
    const std::shared_ptr<NSHTTPURLResponse>& response, const std::optional<NSError>& error,
    const std::vector<std::int64_t>& bundleIDs) {
    const long status = response ? response->statusCode() : 0;
    const double now = sim::wallClockSeconds();
    if (status == 200 || status == 204) {
        monitor().logWithLevel(7, 23044, "Successful upload. Got network response. Code, size",
                               APMMonitorContext(Value(static_cast<long long>(status))),
                               APMMonitorContext(Value(response->expectedContentLength())));
        persistedConfig_->setLastSuccessfulUploadTimestamp(now);
        persistedConfig_->setLastFailedUploadTimestamp(0);
        persistedConfig_->setLastBackoffTimestamp(0);
        updateSchedule();
        if (!removeBundlesFromDatabaseWithIDs(bundleIDs)) {
            monitor().logWithLevel(1, 23045,
                                   "Unable to delete uploaded bundles. Uploads will be suspended "
                                   "for seconds",
                                   APMContext(kUploadSuspension));
            suspendedUploadTimestamp_ = APMSessionReporter::currentUptime();
        } else {
            suspendedUploadTimestamp_ = 0;
        }
        uploadingBundleIDs_.reset();
        auto network = std::dynamic_pointer_cast<DOZIvedidi>(network_);
        if (network && network->isNetworkConnected() && hasDataToUpload())
            uploadData();
        else if (configOf(remoteConfig_)->isExpired())
            uploadData();
        else
            updateSchedule();
        return;
    }
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (status == 503 || status == 429) persistedConfig_->setLastBackoffTimestamp(now);
    monitor().logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error",
                           APMMonitorContext(Value(static_cast<long long>(status))),
                           error ? APMMonitorContext(*error) : APMMonitorContext());
    incrementRetryCounter(bundleIDs);
    uploadingBundleIDs_.reset();
    updateSchedule();
}

void APMMeasurement::incrementRetryCounter(const std::vector<std::int64_t>& bundleIDs) {
    if (!database_) return;
    NSError error;
    if (!database_->incrementRetryCounterForBundlesWithIDs(rowIDArray(bundleIDs), &error))
        monitor().logWithLevel(2, 23166, "Failed to update the bundles' retry counts. Error",
                               APMMonitorContext(error));
}

bool APMMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs) {
    NSError error;
    if (database_ && database_->deleteBundlesWithRowIDs(rowIDArray(bundleIDs), &error)) return true;
    monitor().logWithLevel(1, 23122, "Failed to delete bundles from database. Error",
                           APMMonitorContext(error));
    return false;
}
