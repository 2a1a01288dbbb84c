#include <charconv>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/Clock.h"
#include "services/measurement/APMConditionalUserPropertyController.h"
#include "services/measurement/APMDailyCounts.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEngineUtil.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMKeychainWrapper.h"
#include "services/measurement/APMLifetimeValueRecorder.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/APMScheduler.h"
#include "services/measurement/APMScreenViewReporter.h"
#include "services/measurement/APMSessionReporter.h"

namespace {

constexpr const char* kFirstOpenCounterIdentifier = "_pfo";

struct Runner {
    std::mutex mutex;
    APMMeasurement::EventEditingRunner runner;
};

Runner& eventEditingRunner() {
    static auto* runner = new Runner();  // used from the worker queue until exit
    return *runner;
}

// One for the event and one for each element of its array parameters.
int32_t effectiveEventCount(const APMEvent& event) {
    int64_t count = 1;
    for (const auto& [name, value] : event.parameters()) {
        if (!value.isArray()) continue;
        if (auto elements = value.arrayValue()) count += static_cast<int64_t>(elements->size());
    }
    return static_cast<int32_t>(std::min<int64_t>(count, std::numeric_limits<int32_t>::max()));
}

// Overflow lines are logged at the first event over a limit and at every
// thousandth after it.
bool isOverflowToLog(int32_t counter, int limit) {
    return (static_cast<int64_t>(counter) - limit) % 1000 == 0;
}

// The rollout value stored with the settings; an empty one counts as none.
std::optional<std::string> storedRollouts(APMPersistedConfig& settings) {
    auto stored = settings.reruzeraFeatureRollouts();
    if (stored && stored->empty()) return std::nullopt;
    return stored;
}

// The keychain counter of first opens written on this device, raised by one
// and held at the largest signed 64-bit value.
void raiseFirstOpenCounter() {
    const std::string appID = NSBundle::mainBundle()->bundleIdentifier();
    int64_t count = 0;
    if (auto stored =
            APMKeychainWrapper::keychainValueWithIdentifier(kFirstOpenCounterIdentifier, appID)) {
        const char* begin = stored->data();
        const char* end = begin + stored->size();
        auto [last, status] = std::from_chars(begin, end, count);
        if (status == std::errc::result_out_of_range && !stored->empty() && (*stored)[0] != '-')
            count = std::numeric_limits<int64_t>::max();
        else if (status != std::errc() || last != end || count < 1)
            count = 0;
    }
    if (count < std::numeric_limits<int64_t>::max()) ++count;
    if (!APMKeychainWrapper::upsertKeychainValue(std::to_string(count), kFirstOpenCounterIdentifier,
                                                 appID))
        APMMeasurement::monitor().logWithLevel(2, 23193, "Unable to update the first open counter");
}

}  // namespace

void APMMeasurement::setEventEditingRunner(EventEditingRunner runner) {
    std::lock_guard lock(eventEditingRunner().mutex);
    eventEditingRunner().runner = std::move(runner);
}

bool APMMeasurement::isAdPlatformEvent(const APMEvent& event) {
    return event.origin() == "zd" || event.name() == "_xa" || event.name() == "_xu";
}

void APMMeasurement::handleInternalEventOnWorkerQueue(const APMEvent& event) {
    APMEvent withDefaults = event;
    if (event.name() != "_err" && persistedConfig_) {
        if (auto defaults = persistedConfig_->defaultEventParameters()) {
            APMRawParameters raw;
            for (const auto& [name, value] : *defaults) raw.emplace(name, value);
            withDefaults.applyParameters(raw);
        }
    }
    handleEventOnWorkerQueue(withDefaults);
    if (auto notifier = eventListenerNotifier()) notifier(withDefaults);
}

void APMMeasurement::handleEventOnWorkerQueue(const APMEvent& event) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
    if (!isEnabled()) {
        monitor().logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
        return;
    }
    auto allowed = eventAfterSafelistingEvent(event);
    if (!allowed) return;
    processSessionFromEvent(*allowed);
    if (!dedupeSubscriptionEvent(*allowed)) return;

    auto triggered =
        APMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(
            &*allowed);
    if (!triggered)
        monitor().logWithLevel(4, 23050,
                               "Unable to process conditional user property. Event name, origin",
                               APMContext(allowed->name()), APMContext(allowed->origin()));

    if (shouldDropDuplicatedSessionStartWithRolloutEvent(*allowed)) return;
    const APMEvent toWrite = appExceptionEventWithReruzeraFeatureRollouts(*allowed);
    writeEventOnWorkerQueue(toWrite);
    writeSessionStartEventOnWorkerQueue(toWrite);
    if (triggered)
        for (const APMEvent& one : *triggered) writeEventOnWorkerQueue(one);
    updateSchedule();
}

std::optional<APMEvent> APMMeasurement::eventAfterSafelistingEvent(const APMEvent& event) {
    if (!safelistedEvents_ || safelistedEvents_->empty()) return event;
    for (const std::string& name : *safelistedEvents_) {
        if (name != event.name()) continue;
        APMRawParameters parameters = APMEvent::raw(event.parameters());
        parameters.insert_or_assign("za_safelisted", APMValue::initWithInt64(1));
        if (auto copy = event.copyWithParameters(parameters)) return copy;
        return event;
    }
    monitor().logWithLevel(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin",
                           APMContext(event.name()), APMContext(event.origin()));
    return std::nullopt;
}

void APMMeasurement::processSessionFromEvent(const APMEvent& event) {
    APMSessionReporter* reporter = sessionReporter();
    if (!reporter || APMIsAppActive()) return;
    auto extend = event.parameters().find("extend_session");
    if (extend != event.parameters().end()) {
        if (extend->second.isInt64() && extend->second.int64Value() == 1) {
            if (reporter->isSessionExpired())
                reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
            else
                reporter->extendSession();
        } else {
            monitor().logWithLevel(
                3, 23179,
                "extend_session is a reserved parameter. To extend or start a session in the "
                "background, set an event parameter {@'extend_session': @1}");
        }
    }
    if (!reporter->isSessionExpired() || !database_) return;
    struct Property {
        const char* name;
        long long code;
        const char* message;
    };
    static const Property kSessionProperties[] = {
        {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
        {"_sno", 23178,
         "Failed to remove session number user property on session expiration. Error"},
        {"_se", 23192,
         "Failed to remove session user engagement user property on session expiration. Error"},
    };
    database_->performTransaction([&] {
        for (const Property& property : kSessionProperties) {
            NSError error;
            if (!database_->deleteUserAttributeWithName(property.name, &error)) {
                monitor().logWithLevel(2, property.code, property.message,
                                       APMMonitorContext(error));
                return false;
            }
        }
        return true;
    });
}

bool APMMeasurement::dedupeSubscriptionEvent(const APMEvent& event) {
    const auto& parameters = event.parameters();
    if (!APMIsSubscriptionEvent(event.name(), parameters)) return true;
    auto identifier = parameters.find("_did");
    if (identifier == parameters.end() || !identifier->second.isInt64() || !database_) return true;
    auto productID = parameters.find("product_id");
    const Value product = productID != parameters.end() ? productID->second.object() : Value();

    NSError error;
    auto inserted = database_->insertIfNotDuplicateSubscriptionID(
        std::to_string(identifier->second.int64Value()), &error);
    if (!inserted) {
        monitor().logWithLevel(2, 23181, "Failed to save subscription ID. Product ID, error",
                               APMMonitorContext(product), APMMonitorContext(error));
    } else if (!*inserted) {
        monitor().logWithLevel(
            4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
            APMMonitorContext(product));
        return false;
    }
    NSError trimError;
    if (!database_->deleteSubscriptionsOverLimit(&trimError)) {
        monitor().logWithLevel(5, 23183, "Failed to delete older subscription records. Error",
                               APMMonitorContext(trimError));
        return false;
    }
    return true;
}

bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event) {
    if (event.name() != "_ssr" || !persistedConfig_) return false;
    const auto stored = storedRollouts(*persistedConfig_);
    const auto& parameters = event.parameters();
    auto given = parameters.find("_ffr");
    const bool hasValue = given != parameters.end();
    const std::optional<std::string> text = hasValue ? given->second.stringValue() : std::nullopt;
    const bool duplicate = stored ? text == stored : (!hasValue || (text && text->empty()));
    if (duplicate) {
        monitor().logWithLevel(8, 23191, "Feature rollouts value is a duplicate, dropping event");
        return true;
    }
    if (text && !text->empty()) {
        persistedConfig_->setReruzeraFeatureRollouts(text);
    } else {
        if (hasValue && !text)
            monitor().logWithLevel(
                2, 23190, "Unable to process reruzera feature rollouts, value is not a string.");
        persistedConfig_->setReruzeraFeatureRollouts(std::nullopt);
    }
    return false;
}

APMEvent APMMeasurement::appExceptionEventWithReruzeraFeatureRollouts(const APMEvent& event) {
    if (event.name() != "_ae" || !persistedConfig_) return event;
    const auto stored = storedRollouts(*persistedConfig_);
    if (!stored) return event;
    APMRawParameters parameters = APMEvent::raw(event.parameters());
    parameters.insert_or_assign("_ffr", Value(*stored));
    auto copy = event.copyWithParameters(parameters);
    return copy ? *copy : event;
}

void APMMeasurement::writeSessionStartEventOnWorkerQueue(const APMEvent& event) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("writeSessionStartEventOnWorkerQueue:");
    if (event.name() != "_s" || !persistedConfig_) return;
    const auto stored = storedRollouts(*persistedConfig_);
    if (!stored) return;
    auto rollout = APMEvent::initWithOrigin("auto", false, "_ssr", sim::wallClockSeconds(), 0,
                                            {{"_ffr", Value(*stored)}});
    if (rollout) writeEventOnWorkerQueue(*rollout);
}

void APMMeasurement::writeEventOnWorkerQueue(const APMEvent& event) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
    monitor().logWithLevel(7, 23051, "Logging event: origin, name, params",
                           APMContext(event.origin()), APMContext(event.name()),
                           APMContext(event.parameters()));
    const auto config = activeRemoteConfig();
    if (config->isEventBlocklisted(event.name())) {
        monitor().logWithLevel(5, 23052, "Rejected event. Event name", APMContext(event.name()));
        if (!config->blocklistInternal() && !config->blocklistPublic() &&
            !APMEventNameIsErrorEvent(event.name())) {
            const Value name(event.name());
            APMLogValidationErrorEvent(11, &name, 40, &name);
        }
        return;
    }

    std::shared_ptr<APMPEventEditing> editing =
        config->eesFeatureEnabled() ? config->eventEditing() : nullptr;
    EventEditingRunner runner;
    if (editing) {
        std::lock_guard lock(eventEditingRunner().mutex);
        runner = eventEditingRunner().runner;
    }
    if (!editing || !runner) {
        writeFilteredEventOnWorkerQueue(event);
        return;
    }

    const EventEditingOutcome outcome = runner(*editing, event.editEvent());
    if (outcome.failed) {
        writeFilteredEventOnWorkerQueue(event);
        monitor().logWithLevel(1, 23223, "Event editing failed. Event name",
                               APMContext(event.name()));
        return;
    }
    if (outcome.editedEvent) {
        // An edited event the event model refuses is dropped, as the program
        // asked for a change that cannot be stored.
        if (auto edited = APMEvent::eventFromEditEvent(*outcome.editedEvent))
            writeFilteredEventOnWorkerQueue(*edited);
    } else {
        writeFilteredEventOnWorkerQueue(event);
    }
    for (const APMPEvent& created : outcome.createdEvents) {
        const Value& origin = created.parameters["_o"];
        APMRawParameters parameters;
        for (const auto& [name, value] : created.parameters) parameters.emplace(name, value);
        auto one = APMEvent::initWithOrigin(origin.isString() ? *origin.asString() : "app", false,
                                            created.name, created.timestamp, 0, parameters);
        if (one) writeFilteredEventOnWorkerQueue(*one);
    }
}

void APMMeasurement::writeFilteredEventOnWorkerQueue(const APMEvent& event) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("writeFilteredEventOnWorkerQueue:");
    if (!database_) return;
    if (identity_) identity_->updateIdentifiers();
    APMEvent written = event;
    if (APMIsConversionEventName(written.name())) written.setConversion(true);

    pendingWriteEffects_ = {};
    bool stored = false;
    const bool committed = database_->performTransaction([&] {
        pendingWriteEffects_ = {};
        stored = false;
        if (!updateLifetimeValueWithEvent(written)) return false;
        const bool isPublic = APMIsPublicName(written.name());
        const int32_t day = currentDayNumber();
        NSError error;
        auto counts = database_->dailyCounts(day, &error);
        if (!counts) {
            monitor().logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error",
                                   APMMonitorContext(error));
            return false;
        }
        const bool store = shouldProcessEvent(written, *counts, isPublic);
        const bool realtime = isRealtimeEvent(written, *counts);
        if (!database_->updateDailyCounts(*counts, &error)) {
            monitor().logWithLevel(1, 23061,
                                   "Data loss. Unable to update daily event counts. Name, error",
                                   APMContext(written.name()), APMMonitorContext(error));
            return false;
        }
        if (!store) return true;
        stored = writeEvent(written, isPublic, realtime);
        return stored;
    });
    if (!committed || !stored) return;

    // Settings and the keychain are not part of the database transaction:
    // they change only once the event is known to be stored.
    const PendingWriteEffects effects = pendingWriteEffects_;
    pendingWriteEffects_ = {};
    if (effects.markUnmatchedFirstOpen && persistedConfig_)
        persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(true);
    if (effects.consentedFirstOpenTimestamp)
        logFirstOpenConsentedEvent(*effects.consentedFirstOpenTimestamp);
    if (effects.raiseFirstOpenCounter) raiseFirstOpenCounter();
}

int32_t APMMeasurement::currentDayNumber() const {
    const double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0;
    return APMDailyCounts::currentDay(sim::wallClockSeconds(), offset);
}

bool APMMeasurement::updateLifetimeValueWithEvent(const APMEvent& event) {
    if (!APMLifetimeValueRecorder::isPurchaseEvent(event)) return true;
    if (APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, event)) return true;
    const auto& parameters = event.parameters();
    auto currency = parameters.find("currency");
    auto value = parameters.find("value");
    monitor().logWithLevel(
        1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
        APMContext(event.name()),
        APMMonitorContext(currency != parameters.end() ? currency->second.object() : Value()),
        APMMonitorContext(value != parameters.end() ? value->second.object() : Value()));
    return false;
}

bool APMMeasurement::shouldProcessEvent(const APMEvent& event, APMDailyCounts& counts,
                                        bool isPublicEvent) {
    const int32_t day = currentDayNumber();
    if (counts.day() != day) counts.resetWithNewDay(day);
    const auto config = activeRemoteConfig();
    const int32_t effective = effectiveEventCount(event);
    const bool isError = APMEventNameIsErrorEvent(event.name());

    const int maxEvents = config->maxEventsPerDay();
    if (counts.allEventsCount() >= maxEvents) {
        if (isOverflowToLog(counts.allEventsCount(), maxEvents))
            monitor().logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit",
                                   APMContext(event.name()), APMContext(maxEvents));
        if (isError)
            counts.incrementErrorEventsCountForCurrentDay(day);
        else
            counts.incrementCountsForCurrentDay(day, isPublicEvent, false, effective);
        return false;
    }
    if (isError) {
        const int maxErrors = config->maxErrorEventsPerDay();
        const bool over = counts.errorEventsCount() >= maxErrors;
        if (over && isOverflowToLog(counts.errorEventsCount(), maxErrors)) {
            auto code = event.parameters().find("_err");
            monitor().logWithLevel(
                1, 23056, "Too many error events logged. Error code, limit",
                APMMonitorContext(code != event.parameters().end() ? code->second.object()
                                                                   : Value()),
                APMContext(maxErrors));
        }
        counts.incrementErrorEventsCountForCurrentDay(day);
        if (over) counts.decrementAllEventsCount();
        return !over;
    }
    if (isPublicEvent) {
        const int maxPublic = config->maxPublicEventsPerDay();
        const bool over = counts.publicEventsCount() >= maxPublic;
        if (over && isOverflowToLog(counts.publicEventsCount(), maxPublic)) {
            monitor().logWithLevel(1, 23057,
                                   "Data loss. Too many public events logged. Name, limit",
                                   APMContext(event.name()), APMContext(maxPublic));
            APMLogInternalErrorEvent(16);
        }
        counts.incrementCountsForCurrentDay(day, true, false, effective);
        if (over) counts.decrementAllEventsCount();
        return !over;
    }
    counts.incrementCountsForCurrentDay(day, false, false, effective);
    return true;
}

bool APMMeasurement::isRealtimeEvent(APMEvent& event, const APMDailyCounts& counts) {
    const auto config = activeRemoteConfig();
    const std::string& name = event.name();
    const bool exempt =
        monitor().isDebugModeEnabled() || name == "_iap" || name == "_f" || name == "_fx";
    const bool underLimit = counts.realtimeCount() < config->maxRealtimeEventCountPerDay();
    bool candidate = false;
    if (event.isConversion() || config->isEventCustomConversion(name))
        candidate = underLimit || exempt;
    if (event.isRealtime() && !exempt && !underLimit) {
        event.setRealtime(false);
        monitor().logWithLevel(
            4, 23060,
            "Too many real-time events. Event is no longer real-time. Event name, parameters",
            APMContext(name), APMContext(event.parameters()));
    }
    maybeAddDebugAndRealtimeParameters(event);
    return candidate || event.isRealtime();
}

void APMMeasurement::maybeAddDebugAndRealtimeParameters(APMEvent& event) {
    if (!monitor().isDebugModeEnabled()) return;
    event.setRealtime(true);
    event.setDebug(true);
    monitor().logWithLevel(
        7, 23073,
        "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
        APMContext(event.name()), APMContext(event.parameters()));
}

bool APMMeasurement::writeEvent(const APMEvent& event, bool isPublicEvent, bool isRealtime) {
    const auto config = activeRemoteConfig();
    const std::string& name = event.name();
    NSError error;
    auto aggregates = database_->eventAggregatesWithName(name, &error);
    if (!aggregates && !error.domain.empty()) {
        monitor().logWithLevel(1, 23063, "Cannot query event aggregates. Name, error",
                               APMContext(name), APMMonitorContext(error));
        return false;
    }
    if (!aggregates) {
        if (isPublicEvent) {
            auto count = database_->publicEventCount(&error);
            if (!count) {
                monitor().logWithLevel(1, 23064, "Cannot query event count. Error",
                                       APMMonitorContext(error));
                return false;
            }
            if (*count >= config->maxEventNameCardinality()) {
                monitor().logWithLevel(1, 23065,
                                       "Cannot set event. Reached limit on set events. Name",
                                       APMContext(name));
                APMLogInternalErrorEvent(8);
                return false;
            }
        }
        auto fresh = APMEventAggregates::initWithName(name, 0, 0, 0, 0);
        if (!fresh || !database_->updateEventAggregates(*fresh, &error)) {
            monitor().logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error",
                                   APMMonitorContext(error));
            return false;
        }
    }

    auto identity = identity_ ? identity_ : APMIdentity::sharedInstance();
    if (identity && identity->shouldSetLastAdvertisingIDResetUserProperty())
        setLastAdvertisingIDResetUserPropertyOnWorkerQueue();

    auto attributes = database_->userAttributesIncludingInternal(true, &error);
    if (!attributes) {
        monitor().logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error",
                               APMMonitorContext(error));
        return false;
    }
    auto metadata = createRawEventMetadataWithUserAttributes(*attributes);

    const bool hasResettableID = APMPBGetString(metadata.get(), 19).value_or("") != "";
    if (hasResettableID && persistedConfig_ && persistedConfig_->unmatchedFirstOpenWithoutIDFA())
        pendingWriteEffects_.consentedFirstOpenTimestamp = event.timestamp();
    else if (!hasResettableID && name == "_f")
        pendingWriteEffects_.markUnmatchedFirstOpen = true;

    if (!database_->insertIfNotExistsRawEventMetadata(*metadata, &error)) {
        monitor().logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error",
                               APMMonitorContext(error));
        return false;
    }
    auto deleted = database_->deleteRawEventsOverAbsoluteLimit(config->maxEventsStored(), &error);
    if (!deleted) {
        monitor().logWithLevel(1, 23069,
                               "Data loss. Unable to check raw event storage limit. Error",
                               APMMonitorContext(error));
        return false;
    }
    if (*deleted > 0)
        monitor().logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
                               APMContext(static_cast<long long>(*deleted)));
    if (!database_->insertRawEvent(event, APMDatabase::metadataFingerprint(*metadata), isRealtime,
                                   &error)) {
        monitor().logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error",
                               APMMonitorContext(error));
        return false;
    }
    if (name == "_f") pendingWriteEffects_.raiseFirstOpenCounter = true;
    monitor().logWithLevel(7, 23072, "Event logged. Event name, event params", APMContext(name),
                           APMContext(event.parameters()));
    return true;
}

void APMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
    if (persistedConfig_) persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    scheduleOnWorkerQueue("APMMeasurement:880", [weak, timestamp] {
        auto self = weak.lock();
        if (!self) return;
        auto event = APMEvent::initWithOrigin("auto", false, "_fx", timestamp, 0, {});
        if (!event) return;
        event->setRealtime(true);
        self->writeEventOnWorkerQueue(*event);
    });
}
