#pragma once
// The measurement library's database ("zevera-app-measurement.sql" in the
// measurement directory): its thirteen tables, with the columns added to
// older files and the raw-event time column retyped, built through the
// SQLite store. A file whose tables cannot be brought up to date is deleted
// so the next start begins empty. Used on the engine's serial worker queue.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Error.h"
#include "services/measurement/APMAppMetadata.h"
#include "services/measurement/APMConditionalUserProperty.h"
#include "services/measurement/APMDailyCounts.h"
#include "services/measurement/APMEventAggregates.h"
#include "services/measurement/APMEventFilter.h"
#include "services/measurement/APMFilterResult.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/APMPersistedConfig.h"
#include "services/measurement/APMQueuedBundleInfo.h"
#include "services/measurement/APMSqliteStore.h"

class APMDatabase {
  public:
    static constexpr const char* kDefaultName = "zevera-app-measurement.sql";

    // Nullopt (with the error) for an empty name or a failed initialisation.
    // A file that is busy or on a full disk stays as it is; only a damaged
    // one is set aside and made anew, and then the error says so although
    // the database is returned.
    static std::unique_ptr<APMDatabase> initWithDatabaseName(
        const std::string& name, std::shared_ptr<APMPersistedConfig> persistedConfig,
        NSError* error = nullptr,
        int busyTimeoutMilliseconds = ZVUSQLiteDatabase::kDefaultBusyTimeoutMilliseconds);

    // Deletes the file and initialises again; the persisted settings stay.
    bool reset(NSError* error = nullptr);
    bool initializeDatabaseResources(const std::string& context, const std::string& path,
                                     NSError* error = nullptr);
    // False with the error of the first table that failed.
    bool ensureAllTables(NSError* error = nullptr);
    bool initializeAppMetadata();
    // The block answers YES to commit; a failure is logged.
    bool performTransaction(const std::function<bool()>& block);

    // The single metadata row; nullopt when absent (or on error, then set).
    std::optional<APMAppMetadata> queryAppMetadata(NSError* error = nullptr);
    // Inserts or replaces the row keyed by `column` = `value`; a new key in
    // a table already holding `tableLimit` rows fails.
    bool upsertDataType(const Dictionary& record, const std::string& table,
                        const std::string& column, const Value& value, int64_t tableLimit,
                        NSError* error = nullptr);

    // The queue of finished bundles, gzip-compressed. A bundle read back is
    // the bundle with its row number.
    using QueuedBundle = std::pair<std::shared_ptr<APMPBMeasurementBundle>, int64_t>;
    // `now`, `maxQueueTime` and `deleteStaleInterval` in seconds. Stale
    // data is cleaned first when due; an old bundle is stored with a
    // warning.
    bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, double now,
                      double maxQueueTime, double deleteStaleInterval, NSError* error = nullptr);
    std::optional<bool> isQueuedBundleTableEmpty(NSError* error = nullptr);
    std::optional<double> queryLatestBundleTime(NSError* error = nullptr);
    std::optional<bool> containsRealtimeBundles(NSError* error = nullptr);
    // Oldest first; the first always, later ones while the encoded sizes fit.
    std::optional<std::vector<QueuedBundle>> queryBundles(int64_t countLimit, int64_t sizeLimit,
                                                          NSError* error = nullptr);
    std::optional<std::vector<QueuedBundle>> queryBundlesWithRowIDs(const Array& rowIDs,
                                                                    NSError* error = nullptr);
    // Adds 1 to each retry counter below the largest 32-bit value.
    bool incrementRetryCounterForBundlesWithIDs(const Array& rowIDs, NSError* error = nullptr);
    bool deleteBundlesWithRowIDs(const Array& rowIDs, NSError* error = nullptr);
    // What the queue holds, oldest first, without decoding the bundles.
    std::optional<std::vector<APMQueuedBundleInfo>> queuedBundleInfos(NSError* error = nullptr);
    bool deleteStaleBundlesOlderThanMaxAge(double maxAge, double now, NSError* error = nullptr);
    // When more than `interval` seconds (either way) passed since the last
    // clean-up, deletes raw events and bundles older than `maxQueueTime`;
    // YES when it cleaned, NO when not due, nullopt on failure.
    std::optional<bool> maybeDeleteStaleData(double now, double maxQueueTime, double interval,
                                             NSError* error = nullptr);

    bool updateAppMetadata(const APMAppMetadata& metadata, NSError* error = nullptr);
    // The measurement configuration last received, with the time it was
    // stored (seconds since 1970).
    bool updateRemoteConfig(const APMPBMeasurementConfig& config, double now,
                            NSError* error = nullptr);
    bool updateRemoteConfigSuccessfulTimestamp(double timestamp, NSError* error = nullptr);
    // Nullptr without an error when none is stored.
    std::shared_ptr<APMPBMeasurementConfig> queryMeasurementConfig(NSError* error = nullptr);
    std::optional<double> lastRemoteConfigUpdateTimestamp(NSError* error = nullptr);

    // Purchases already reported (the newest 1000 kept) and subscriptions.
    // YES when new and stored, NO for an empty or known key, nullopt on error.
    std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                NSError* error = nullptr);
    std::optional<bool> insertIfNotDuplicateSubscriptionID(const std::string& subscriptionID,
                                                           NSError* error = nullptr);
    bool deleteSubscriptionsOverLimit(NSError* error = nullptr);

    // The daily counters of the metadata row; a missing day reads as
    // `currentDay`, a non-number counter as 0.
    std::optional<APMDailyCounts> dailyCounts(int32_t currentDay, NSError* error = nullptr);
    bool updateDailyCounts(const APMDailyCounts& counts, NSError* error = nullptr);

    // Raw event metadata, keyed by the 64-bit fingerprint of its bytes.
    static int64_t metadataFingerprint(const APMPBMeasurementBundle& metadata);
    bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                           NSError* error = nullptr);
    std::shared_ptr<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(
        int64_t fingerprint, NSError* error = nullptr);
    bool deleteUnusedRawEventsMetadata(NSError* error = nullptr);
    bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                       NSError* error = nullptr);

    // Raw events: the encoded event (its name in a column of its own).
    bool insertRawEvent(const APMEvent& event, int64_t metadataFingerprint, bool isRealtime,
                        NSError* error = nullptr);
    std::optional<bool> isRawEventsTableEmpty(NSError* error = nullptr);
    std::optional<double> queryLatestRawEventTime(NSError* error = nullptr);
    std::optional<bool> containsRealtimeRawEvents(NSError* error = nullptr);
    std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                                NSError* error = nullptr);
    // The fingerprint of the oldest raw event; nullopt for an empty table.
    std::optional<int64_t> nextMetadataFingerprintToProcess(NSError* error = nullptr);
    // Up to 1000 events of that fingerprint, oldest first.
    std::optional<std::vector<APMRawEventData>> rawEventsWithMetadataFingerprint(
        int64_t fingerprint, NSError* error, const APMSqliteStore::RecordFilter& filter);
    // Every raw event stored after `rowID`, oldest first, whatever its
    // metadata (for the console and tests: the engine itself keeps none).
    std::optional<std::vector<APMRawEventData>> rawEventsAfterRowID(int64_t rowID,
                                                                    NSError* error = nullptr);
    std::optional<int64_t> latestRawEventRowID(NSError* error = nullptr);
    bool deleteRawEventsWithMaxRowID(int64_t rowID, NSError* error = nullptr);
    // Keeps the newest maxEventsStored - 1 rows; the number deleted.
    std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(int64_t maxEventsStored,
                                                            NSError* error = nullptr);
    // Deletes events more than `maxAge` seconds from `now` either way.
    bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, double now,
                                                 NSError* error = nullptr);
    std::optional<APMRawEventData> rawEventDataFromDictionary(const Dictionary& row,
                                                              NSError* error = nullptr);

    // Per-event aggregates.
    std::optional<int64_t> publicEventCount(NSError* error = nullptr);
    std::optional<std::vector<APMEventAggregates>> allEventAggregates(NSError* error = nullptr);
    std::optional<APMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                              NSError* error = nullptr);
    bool updateEventAggregates(const APMEventAggregates& aggregates, NSError* error = nullptr);
    bool clearCurrentSessionCounts(NSError* error = nullptr);

    // User attributes.
    std::optional<int64_t> publicUserAttributeCount(NSError* error = nullptr);
    std::optional<int64_t> userAttributeCountForOrigin(const std::string& origin,
                                                       NSError* error = nullptr);
    std::optional<bool> containsUserAttributeWithName(const std::string& name,
                                                      NSError* error = nullptr);
    std::optional<APMUserAttribute> userAttributeWithName(const std::string& name,
                                                          NSError* error = nullptr);
    // Attributes whose name begins with "_ltv_" (literally), newest first.
    std::optional<std::vector<APMUserAttribute>> allLifetimeValueUserAttributes(
        NSError* error = nullptr);
    std::optional<std::vector<APMUserAttribute>> userAttributesIncludingInternal(
        bool includeInternal, NSError* error = nullptr);
    bool updateUserAttribute(const APMUserAttribute& attribute, NSError* error = nullptr);
    bool deleteUserAttributeWithName(const std::string& name, NSError* error = nullptr);

    // Audience filters and their stored results. Lists must be non-empty.
    std::optional<std::vector<int32_t>> allAudienceIDs(NSError* error = nullptr);
    std::optional<std::vector<APMEventFilter>> eventFiltersForEventName(const std::string& name,
                                                                        NSError* error = nullptr);
    std::optional<std::vector<APMPropertyFilter>> propertyFiltersForPropertyName(
        const std::string& name, NSError* error = nullptr);
    // Audience ID to the IDs of its session-scoped filters.
    std::optional<std::map<int32_t, std::vector<int32_t>>> allSessionScopedFilters(
        NSError* error = nullptr);
    // The first failure stops the writing.
    bool updateEventFilters(const std::vector<APMEventFilter>& filters, NSError* error = nullptr);
    bool updatePropertyFilters(const std::vector<APMPropertyFilter>& filters,
                               NSError* error = nullptr);
    bool deleteEventFilters(const std::vector<APMEventFilter>& filters, NSError* error = nullptr);
    bool deletePropertyFilters(const std::vector<APMPropertyFilter>& filters,
                               NSError* error = nullptr);
    bool deleteAllEventFilters(NSError* error = nullptr);
    bool deleteAllPropertyFilters(NSError* error = nullptr);
    std::optional<std::map<int32_t, APMFilterResult>> allFilterResults(NSError* error = nullptr);
    std::optional<APMFilterResult> filterResultForAudienceID(int32_t audienceID,
                                                             NSError* error = nullptr);
    // Each result needs current results; empty previous results are stored
    // as NULL.
    bool updateFilterResults(const std::vector<APMFilterResult>& results, NSError* error = nullptr);
    // Deletes the rows of every audience named by the results.
    bool deleteFilterResults(const std::vector<APMFilterResult>& results, NSError* error = nullptr);

    // Conditional user properties, keyed by name (at most 1000). Reads
    // answer nullopt for "none" too; the error tells the two apart. `now`
    // is in seconds since 1970.
    std::optional<APMConditionalUserProperty> conditionalUserPropertyWithName(
        const std::string& name, NSError* error = nullptr);
    // Replaces the whole row: a part left out is cleared.
    bool updateConditionalUserProperty(const APMConditionalUserProperty& property,
                                       NSError* error = nullptr);
    bool deleteConditionalUserPropertyWithName(const std::string& name, NSError* error = nullptr);
    std::optional<std::vector<APMConditionalUserProperty>> timedOutConditionalUserProperties(
        double now, NSError* error = nullptr);
    std::optional<std::vector<APMConditionalUserProperty>> expiredConditionalUserProperties(
        double now, NSError* error = nullptr);
    std::optional<std::vector<APMConditionalUserProperty>>
    triggeredConditionalUserPropertiesWithEventName(const std::string& eventName, double now,
                                                    NSError* error = nullptr);
    // Names beginning with the prefix and the origin, each matched
    // literally and ignoring ASCII case; empty ones match everything.
    std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
        const std::string& prefix, const std::string& origin, NSError* error = nullptr);
    // One row that does not convert makes the whole result nullopt.
    std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithCondition(
        const std::string& condition, const Array& parameters, NSError* error = nullptr);

    // The main event of a complex event, kept while its children are
    // evaluated against audiences.
    bool updateComplexEventForAudienceEvaluation(int64_t eventID, int64_t childEventCount,
                                                 const APMEvent* mainEvent,
                                                 NSError* error = nullptr);
    // Nullopt without an error when there is none.
    std::optional<std::pair<APMEvent, int64_t>> mainEventAndChildCountPairWithEventID(
        int64_t eventID, NSError* error = nullptr);
    bool deleteComplexEventForAudienceEvaluation(int64_t eventID, NSError* error = nullptr);

    // A stored event: an encoded Event message.
    static std::optional<APMEvent> eventFromData(const Value& data, NSError* error = nullptr);
    // One stored parameter as name to value; at the top level a parameter
    // with nested ones becomes an array of item dictionaries, at the nested
    // level one dictionary of the children.
    static std::optional<APMEventParameters> parametersFromEventParam(const APMPBMessage* param,
                                                                      bool nested,
                                                                      NSError* error = nullptr);

    APMSqliteStore& store() { return *store_; }
    const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  private:
    APMDatabase() = default;
    std::unique_ptr<APMSqliteStore> store_;
    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    int busyTimeoutMilliseconds_ = ZVUSQLiteDatabase::kDefaultBusyTimeoutMilliseconds;
};
