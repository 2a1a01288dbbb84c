#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "services/measurement/APMAEU.h"
#include "services/measurement/APMAppMetadata.h"
#include "services/measurement/APMAudience.h"
#include "services/measurement/APMAudienceTimestampsCache.h"
#include "services/measurement/APMConsentSettings.h"
#include "services/measurement/APMDailyCounts.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEngineUtil.h"
#include "services/measurement/APMEnvironmentInfo.h"
#include "services/measurement/APMEventAggregates.h"
#include "services/measurement/APMEventSampler.h"
#include "services/measurement/APMFilterEvaluation.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"

namespace {

// Field IDs of the measurement bundle.
enum BundleField : int {
    kProtocolVersion = 0,
    kEvents = 1,
    kUserAttributes = 2,
    kBundleStartTimestamp = 4,
    kBundleEndTimestamp = 5,
    kPreviousBundleStartTimestamp = 6,
    kPreviousBundleEndTimestamp = 7,
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
    kBundleIndex = 24,
    kMonitoringData = 25,
    kRUVAppID = 26,
    kAudienceResults = 28,
    kInstallationID = 29,
    kAppVersionMajor = 30,
    kAppVersionMinor = 31,
    kAppVersionRelease = 32,
    kConfigVersion = 34,
    kZoDorAppID = 36,
    kExperimentIDs = 37,
    kConsentSignals = 40,
    kConsentStatus = 41,
};

// Field IDs of a user-property message.
enum UserAttributeField : int {
    kAttributeSetTimestamp = 0,
    kAttributeName = 1,
    kAttributeString = 2,
    kAttributeInt = 3,
    kAttributeDouble = 5,
};

void setStringIfNotEmpty(APMPBMessage* message, int field, const std::optional<std::string>& text) {
    if (text && !text->empty()) APMPBSetString(message, field, Value(*text));
}

// The public names uploaded under an internal one.
std::optional<std::string> internalNameFor(const std::string& name) {
    if (name == "ad_impression") return std::string("_ai");
    return std::nullopt;
}

std::optional<std::int64_t> int64Parameter(const APMEvent& event, const std::string& name) {
    auto found = event.parameters().find(name);
    if (found == event.parameters().end() || !found->second.isInt64()) return std::nullopt;
    return found->second.int64Value();
}

// Engagement totals stop at the 64-bit edges instead of wrapping.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

// The hour a raw event belongs to. Counted in 64 bits: a 32-bit second count
// runs out in 2038 and would put every later event into one negative hour.
std::int64_t hourNumber(double seconds) {
    const double hour = std::floor(seconds / 3600.0);
    if (std::isnan(hour)) return 0;
    if (hour >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (hour <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(hour);
}

struct SamplingRandom {
    std::mutex mutex;
    APMEventSampler::UniformRandom random;
};

SamplingRandom& samplingRandom() {
    static auto* random = new SamplingRandom();  // read on the worker queue until exit
    return *random;
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
    const auto config = activeRemoteConfig();

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

void APMMeasurement::setSamplingRandomForTesting(
    std::function<std::uint32_t(std::uint32_t)> random) {
    std::lock_guard lock(samplingRandom().mutex);
    samplingRandom().random = std::move(random);
}

bool APMMeasurement::bundleRawEvents() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
    if (!database_) return false;
    const auto config = activeRemoteConfig();
    bool removed = false;
    APMRegexBudgetScope regexBudget(kAPMRegexBudgetPerBundlingPass);
    const bool committed = database_->performTransaction([&] {
        removed = false;
        NSError error;
        auto fingerprint = database_->nextMetadataFingerprintToProcess(&error);
        if (!fingerprint) {
            if (!APMFailed(error)) return true;  // no raw events
            monitor().logWithLevel(1, 23095, "Unable to fetch next event metadata. Error",
                                   APMMonitorContext(error));
            return false;
        }
        std::int64_t coveredRowID = -1;
        auto run = rawEventsWithMetadataFingerprint(*fingerprint, &coveredRowID);
        if (!run) return false;
        if (run->empty()) {
            if (coveredRowID < 0) return true;
            // Rows that no longer decode can never be bundled; they go so
            // that the rows behind them can.
            removed = deleteRawEventRun(coveredRowID, *fingerprint);
            return removed;
        }
        auto bundle = database_->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
        if (!bundle) {
            monitor().logWithLevel(
                1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                APMContext(static_cast<long long>(*fingerprint)), APMMonitorContext(error));
            return false;
        }
        auto events = processRawEvents(*run, *fingerprint, coveredRowID);
        if (!events) return false;
        if (events->empty()) {
            removed = true;  // the whole run was rejected and deleted
            return true;
        }
        evaluationTimeFromRawEvents(*run, *bundle);

        APMAudienceTimestampsCache cache;
        auto aggregated = eventsAfterUpdatingEventAggregates(*events, cache);
        if (!aggregated) return false;
        APMEventSampler::Events protos;
        bool isRealtime = false;
        for (const APMEvent& event : *aggregated) {
            if (auto proto = event.protoEvent()) protos.push_back(proto);
            isRealtime = isRealtime || event.isRealtime();
        }
        APMEventSampler::UniformRandom random;
        {
            std::lock_guard lock(samplingRandom().mutex);
            random = samplingRandom().random;
        }
        APMEventSampler sampler(*database_, config, monitor(), random);
        auto sampled = sampler.sampleBundleEvents(protos, &error);
        if (!sampled) return false;
        if (sampled->empty()) {
            monitor().logWithLevel(5, 23159, "No events left after sampling. Dropping bundle");
            removed = deleteRawEventRun(coveredRowID, *fingerprint);
            return removed;
        }
        APMPBSetArray(bundle.get(), kEvents,
                      std::vector<APMPBObject>(sampled->begin(), sampled->end()));

        double start = std::numeric_limits<double>::max();
        double end = std::numeric_limits<double>::min();
        for (const APMRawEventData& raw : *run) {
            start = std::min(start, raw.rawEvent().timestamp());
            end = std::max(end, raw.rawEvent().timestamp());
        }
        if (!updateAppMetadataForBundle(*bundle, start, end)) return false;

        if (audience_) {
            auto properties =
                APMPBGetArray(bundle.get(), kUserAttributes, APMPBUserAttribute::classObject());
            for (const auto& object : properties.value_or(std::vector<APMPBObject>{})) {
                auto property = std::static_pointer_cast<APMPBUserAttribute>(object.message());
                if (!property) continue;
                if (!audience_->evaluateFiltersForNanoUserProperty(*property, &cache, start))
                    return false;
            }
            std::optional<APMAudience::LeafResults> results;
            if (!audience_->resultsForBundling(results) || !results) {
                monitor().logWithLevel(1, 23113, "Unable to read audience evaluation results");
                return false;
            }
            if (!results->empty()) {
                APMPBSetArray(bundle.get(), kAudienceResults,
                              std::vector<APMPBObject>(results->begin(), results->end()));
            }
        }
        addBundleMetadataIntoBundle(*bundle, start, end);

        if (!database_->insertBundle(*bundle, isRealtime, sim::wallClockSeconds(),
                                     config->maxQueueTime(),
                                     config->databaseDeleteStaleBundlesInterval(), &error)) {
            monitor().logWithLevel(1, 23115, "Unable to insert bundle. Error",
                                   APMMonitorContext(error));
            return false;
        }
        if (remoteConfig()->isConsentSettingsEnabled())
            monitor().logWithLevel(8, 23221, APMConsentSettingsUtil::description());
        monitor().logWithLevel(
            7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
            APMContext(static_cast<long long>(APMPBGetInt32(bundle.get(), kBundleIndex))),
            APMContext(static_cast<long long>(APMPBGetInt64(bundle.get(), kBundleEndTimestamp))));
        removed = deleteRawEventRun(coveredRowID, *fingerprint);
        return removed;
    });
    const bool bundled = committed && removed;
    if (bundled) setSuspendedUploadTimestamp(0);
    return bundled;
}

std::optional<std::vector<APMRawEventData>> APMMeasurement::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, std::int64_t* coveredRowID) {
    const auto config = activeRemoteConfig();
    const std::int64_t maxEvents = config->uploadMaxEventsPerBundle();
    const std::int64_t maxBytes = config->uploadMaxSizeLimitBytes();
    std::optional<std::int64_t> hour;
    std::int64_t lastRowID = -1;
    std::int64_t bytes = 0;
    // The first row always starts the run: a run can never come out empty
    // while rows are stored, whatever the limits or the row's size.
    auto filter = [&](std::size_t index, const Dictionary& row) {
        if (index >= 1 && static_cast<std::int64_t>(index) >= maxEvents) return false;
        NSError error;
        auto data = database_->rawEventDataFromDictionary(row, &error);
        if (!data) {
            monitor().logWithLevel(4, 23096, "Failed to filter raw event. Error",
                                   APMMonitorContext(error));
            // It stays in the run, in sequence, so it is deleted with it.
            const auto rowID = row["rowid"].asInt();
            if (!rowID || (index > 0 && *rowID != lastRowID + 1)) return false;
            lastRowID = *rowID;
            return true;
        }
        const std::int64_t eventHour = hourNumber(data->rawEvent().timestamp());
        if (index > 0 && (data->rowID() != lastRowID + 1 || (hour && eventHour != *hour)))
            return false;
        if (!hour) hour = eventHour;
        const auto encoded = data->rawEvent().encodedProtoEvent();
        bytes += encoded ? static_cast<std::int64_t>(encoded->size()) : 0;
        if (index > 0 && bytes >= maxBytes) return false;
        lastRowID = data->rowID();
        return true;
    };
    NSError error;
    auto events = database_->rawEventsWithMetadataFingerprint(fingerprint, &error, filter);
    if (coveredRowID) *coveredRowID = lastRowID;
    if (!events) {
        // Rows were taken, none of them decoded.
        if (!APMFailed(error) && lastRowID >= 0) return std::vector<APMRawEventData>{};
        monitor().logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error",
                               APMMonitorContext(error));
        return std::nullopt;
    }
    return events;
}

std::optional<std::vector<APMEvent>> APMMeasurement::processRawEvents(
    const std::vector<APMRawEventData>& rawEvents, std::int64_t fingerprint,
    std::int64_t coveredRowID) {
    const auto config = activeRemoteConfig();
    const bool keepRenamed = config->blocklistInternal() && !config->blocklistPublic();
    const bool dropRedundantEngagement = config->redundantEngagementRemovalEnabled();
    std::vector<const APMRawEventData*> kept;
    for (const APMRawEventData& raw : rawEvents) {
        const std::string& name = raw.rawEvent().name();
        const auto internalName = internalNameFor(name);
        if (internalName && keepRenamed) {
            kept.push_back(&raw);
            continue;
        }
        if (config->isEventBlocklisted(name) ||
            (internalName && config->isEventBlocklisted(*internalName))) {
            monitor().logWithLevel(4, 23099, "Rejected event. Event name", APMContext(name));
            continue;
        }
        if (dropRedundantEngagement && name == "_e" && int64Parameter(raw.rawEvent(), "_fr") == 1)
            continue;
        kept.push_back(&raw);
    }
    if (kept.empty()) {
        if (!deleteRawEventRun(coveredRowID, fingerprint)) return std::nullopt;
        monitor().logWithLevel(4, 23100, "Rejected all events.");
        return std::vector<APMEvent>{};
    }

    NSError error;
    const std::int32_t day = currentDayNumber();
    auto counts = database_->dailyCounts(day, &error);
    if (!counts) {
        monitor().logWithLevel(1, 23101, "Failed to query daily event counts. Error",
                               APMMonitorContext(error));
        return std::nullopt;
    }
    // Yesterday's counters do not limit today's events.
    if (counts->day() != day) counts->resetWithNewDay(day);
    bool counted = false;
    std::vector<APMEvent> out;
    for (const APMRawEventData* raw : kept) {
        auto renamed = internalEventFromPublicEvent(*raw);
        APMEvent event = renamed ? renamed->rawEvent() : raw->rawEvent();
        counted = checkConversion(event, *counts) || counted;
        counted = checkRealtime(event, *counts) || counted;
        if (event.name() == "_iap" && APMAEU::isASRS())
            event.applyParameters({{"sandbox", APMValue::initWithInt64(1)}});
        out.push_back(std::move(event));
    }
    if (counted && !database_->updateDailyCounts(*counts, &error)) {
        monitor().logWithLevel(2, 23106, "Failed to update daily event counts. Name, error",
                               APMContext(out.back().name()), APMMonitorContext(error));
        return std::nullopt;
    }
    return out;
}

std::optional<APMRawEventData> APMMeasurement::internalEventFromPublicEvent(
    const APMRawEventData& rawEvent) {
    const APMEvent& event = rawEvent.rawEvent();
    const auto internalName = internalNameFor(event.name());
    if (!internalName) return rawEvent;
    auto renamed =
        APMEvent::initWithOrigin(event.origin(), false, *internalName, event.timestamp(),
                                 event.previousTimestamp(), APMEvent::raw(event.parameters()));
    if (!renamed) return std::nullopt;
    return APMRawEventData::initWithRawEvent(renamed, rawEvent.rowID(),
                                             rawEvent.metadataFingerprint());
}

bool APMMeasurement::checkConversion(APMEvent& event, APMDailyCounts& dailyCounts) {
    const auto config = activeRemoteConfig();
    const std::string& name = event.name();
    if (config->isEventCustomConversion(name)) event.setConversion(true);
    if (!APMIsPublicName(name) || !event.isConversion()) return false;
    const int limit = config->maxConversionsPerDay();
    if (dailyCounts.conversionsCount() >= limit) {
        event.setConversion(false);
        monitor().logWithLevel(
            3, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
            APMContext(name), APMContext(static_cast<long long>(limit)));
        return false;
    }
    dailyCounts.incrementCountsForCurrentDay(currentDayNumber(), false, true);
    dailyCounts.decrementAllEventsCount();
    return true;
}

bool APMMeasurement::checkRealtime(APMEvent& event, APMDailyCounts& dailyCounts) {
    if (!event.isRealtime() && !event.isConversion()) return false;
    const auto config = activeRemoteConfig();
    const std::string& name = event.name();
    const bool exempt =
        monitor().isDebugModeEnabled() || name == "_iap" || name == "_f" || name == "_fx";
    if (exempt) {
        event.setRealtime(true);
        monitor().logWithLevel(7, 23105,
                               "Event is not subject to real-time event count daily limit. Marking "
                               "an event as real-time. Event name, parameters",
                               APMContext(name), APMContext(event.parameters()));
        return false;
    }
    if (dailyCounts.realtimeCount() < config->maxRealtimeEventCountPerDay()) {
        dailyCounts.incrementRealtimeCountsForCurrentDay(currentDayNumber());
        event.setRealtime(true);
        monitor().logWithLevel(7, 23103,
                               "Event is under real-time event count daily limit. Marking the "
                               "event as real-time. Event name, parameters",
                               APMContext(name), APMContext(event.parameters()));
        return true;
    }
    event.setRealtime(false);
    monitor().logWithLevel(4, 23104,
                           "Number of real-time events is over the real-time event count daily "
                           "limit. Event is no longer real-time. Event name, parameters",
                           APMContext(name), APMContext(event.parameters()));
    return false;
}

void APMMeasurement::evaluationTimeFromRawEvents(const std::vector<APMRawEventData>& rawEvents,
                                                 APMPBMeasurementBundle& bundle) {
    bool sessionStart = false;
    std::int64_t engagement = 0;
    for (const APMRawEventData& raw : rawEvents) {
        const APMEvent& event = raw.rawEvent();
        if (event.name() == "_s") sessionStart = true;
        const auto& parameters = event.parameters();
        if (parameters.count("_fr")) continue;
        if (auto et = int64Parameter(event, "_et")) engagement = saturatingAdd(engagement, *et);
    }
    if (sessionStart) {
        if (audience_) {
            audience_->clearEvaluationResultsForSessionScopedFilters();
            auto properties =
                APMPBGetArray(&bundle, kUserAttributes, APMPBUserAttribute::classObject());
            for (const auto& object : properties.value_or(std::vector<APMPBObject>{})) {
                auto property = std::static_pointer_cast<APMPBUserAttribute>(object.message());
                if (!property) continue;
                if (!audience_->evaluateFiltersForNanoUserProperty(*property, nullptr,
                                                                   std::nullopt))
                    return;
            }
        }
        NSError error;
        if (!database_->clearCurrentSessionCounts(&error)) {
            monitor().logWithLevel(1, 23185, "Failed to clear event session counts. Error",
                                   APMMonitorContext(error));
            return;
        }
    }
    if (!updateUserEngagement(engagement, bundle, false)) return;
    if (sessionStart) {
        NSError error;
        if (!database_->deleteUserAttributeWithName("_se", &error)) {
            monitor().logWithLevel(
                1, 23188, "Unable to delete session engagement property on session start. Error",
                APMMonitorContext(error));
            return;
        }
    }
    updateUserEngagement(engagement, bundle, true);
}

bool APMMeasurement::updateUserEngagement(std::int64_t engagementMilliseconds,
                                          APMPBMeasurementBundle& bundle, bool sessionScoped) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
    if (engagementMilliseconds < 0) {
        monitor().logWithLevel(2, 23186, "User engagement time is negative.");
        return false;
    }
    if (engagementMilliseconds == 0) return true;
    const std::string name = sessionScoped ? "_se" : "_lte";
    NSError error;
    auto stored = database_->userAttributeWithName(name, &error);
    if (!stored && APMFailed(error)) {
        monitor().logWithLevel(1, 23187,
                               "Failed to query for user engagement user property. Name, error",
                               APMContext(name), APMMonitorContext(error));
        return false;
    }
    std::int64_t total = engagementMilliseconds;
    if (stored && stored->value().isInt64())
        total = saturatingAdd(total, stored->value().int64Value());
    const double now = sim::wallClockSeconds();
    auto attribute =
        APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(total), now);
    if (!attribute || !setUserPropertyInDatabaseOnWorkerQueue(*attribute)) return false;

    auto properties = APMPBGetArray(&bundle, kUserAttributes, APMPBUserAttribute::classObject())
                          .value_or(std::vector<APMPBObject>{});
    bool found = false;
    for (auto& object : properties) {
        auto property = object.message();
        if (!property || APMPBGetString(property.get(), kAttributeName) != name) continue;
        APMPBClearField(property.get(), kAttributeString);
        APMPBClearField(property.get(), kAttributeDouble);
        APMPBSetInt64(property.get(), kAttributeInt, total);
        APMPBSetInt64(property.get(), kAttributeSetTimestamp, APMMillisecondsFromSeconds(now));
        found = true;
    }
    if (!found) {
        if (auto proto = attribute->protoUserAttribute()) properties.emplace_back(proto);
    }
    APMPBSetArray(&bundle, kUserAttributes, properties);
    return true;
}

std::optional<std::vector<APMEvent>> APMMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<APMEvent>& events, APMAudienceTimestampsCache& cache) {
    std::vector<APMEvent> out;
    out.reserve(events.size());
    for (const APMEvent& event : events) {
        NSError error;
        auto aggregates = database_->eventAggregatesWithName(event.name(), &error);
        if (!aggregates && APMFailed(error)) {
            monitor().logWithLevel(1, 23107, "Failed to query event aggregates. Name, error",
                                   APMContext(event.name()), APMMonitorContext(error));
            return std::nullopt;
        }
        std::optional<APMEvent> updated;
        if (aggregates) {
            updated = event.copyWithPreviousTimestamp(aggregates->lastFireTimestamp());
            aggregates->incrementCurrentBundleCount();
            aggregates->incrementLifetimeCount();
            aggregates->incrementCurrentSessionCount();
            aggregates->setLastFireTimestamp(event.timestamp());
        } else {
            updated = event;
            aggregates = APMEventAggregates::initWithName(event.name(), 1, 1, 1, event.timestamp());
        }
        if (!updated || !aggregates) continue;
        if (!database_->updateEventAggregates(*aggregates, &error)) {
            monitor().logWithLevel(1, 23108, "Failed to update event aggregates. Error",
                                   APMMonitorContext(error));
            return std::nullopt;
        }
        if (audience_ && !audience_->evaluateFiltersForEvent(*updated, aggregates, &cache))
            return std::nullopt;
        out.push_back(std::move(*updated));
    }
    return out;
}

bool APMMeasurement::updateAppMetadataForBundle(APMPBMeasurementBundle& bundle,
                                                double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
    NSError error;
    auto metadata = database_->queryAppMetadata(&error);
    if (!metadata) {
        monitor().logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error",
                               APMMonitorContext(error));
        return false;
    }
    const double previousStart = metadata->lastBundleStartTimestamp();
    const double previousEnd = metadata->lastBundleEndTimestamp();
    if (previousEnd > 0)
        APMPBSetInt64(&bundle, kPreviousBundleEndTimestamp,
                      APMMillisecondsFromSeconds(previousEnd));
    if (previousStart > 0)
        APMPBSetInt64(&bundle, kPreviousBundleStartTimestamp,
                      APMMillisecondsFromSeconds(previousStart));
    else if (previousEnd > 0)
        APMPBSetInt64(&bundle, kPreviousBundleStartTimestamp,
                      APMMillisecondsFromSeconds(previousEnd));
    metadata->incrementLastBundleIndex();
    metadata->setLastBundleStartTimestamp(bundleStartTimestamp);
    metadata->setLastBundleEndTimestamp(bundleEndTimestamp);
    APMPBSetInt32(&bundle, kBundleIndex, metadata->lastBundleIndex());
    if (!database_->updateAppMetadata(*metadata, &error)) {
        monitor().logWithLevel(1, 23112, "Unable to update the app metadata. Error",
                               APMMonitorContext(error));
        return false;
    }
    return true;
}

void APMMeasurement::addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle,
                                                 double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
    APMPBMessage* b = &bundle;
    const auto config = activeRemoteConfig();
    if (auto ids = config->experimentIDs(); ids && !ids->empty()) {
        std::vector<APMPBObject> values;
        for (std::int64_t id : *ids) values.emplace_back(Value(static_cast<long long>(id)));
        APMPBSetArray(b, kExperimentIDs, values);
    }
    const double lastSampled =
        persistedConfig_ ? persistedConfig_->lastMonitorDataSampledTimestamp() : 0;
    auto monitoring = monitor().monitoringDataForDispatchWithSamplePeriod(
        config->monitoringSamplePeriod(), lastSampled);
    if (monitoring && !monitoring->empty()) {
        APMPBSetString(b, kMonitoringData, Value(*monitoring));
        if (persistedConfig_)
            persistedConfig_->setLastMonitorDataSampledTimestamp(sim::wallClockSeconds());
    }
    if (config->remoteConfigProto() && config->version() >= 0)
        APMPBSetInt64(b, kConfigVersion, config->version());
    if (APMPBGetString(b, kAppID).value_or("").empty()) {
        std::string appID = appID_;
        if (appID.empty()) appID = NSBundle::mainBundle()->bundleIdentifier();
        setStringIfNotEmpty(b, kAppID, appID);
    }
    APMPBSetInt64(b, kBundleStartTimestamp, APMMillisecondsFromSeconds(bundleStartTimestamp));
    APMPBSetInt64(b, kBundleEndTimestamp, APMMillisecondsFromSeconds(bundleEndTimestamp));
}

bool APMMeasurement::deleteRawEventRun(std::int64_t rowID, std::int64_t fingerprint) {
    NSError error;
    if (!database_->deleteRawEventsWithMaxRowID(rowID, &error)) {
        monitor().logWithLevel(1, 23119, "Unable to delete raw events. RowID, error",
                               APMContext(static_cast<long long>(rowID)), APMMonitorContext(error));
        return false;
    }
    auto stillUsed = database_->containsRawEventWithMetadataFingerprint(fingerprint, &error);
    if (!stillUsed) {
        monitor().logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error",
                               APMContext(static_cast<long long>(fingerprint)),
                               APMMonitorContext(error));
        return false;
    }
    if (!*stillUsed &&
        !database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
        monitor().logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error",
                               APMContext(static_cast<long long>(fingerprint)),
                               APMMonitorContext(error));
        return false;
    }
    return true;
}
