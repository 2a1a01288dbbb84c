#pragma once
// Records the measurement database hands to the engine: the per-event
// counters of one event name, and one stored raw event with its row number
// and metadata fingerprint. Not thread-safe; used on the engine's queue.

#include <cstdint>
#include <optional>

#include "services/measurement/APMEvent.h"

class APMEventAggregates {
  public:
    // Nullopt for an invalid internal event name or a negative count.
    static std::optional<APMEventAggregates> initWithName(const std::string& name,
                                                          int32_t lifetimeCount,
                                                          int32_t currentBundleCount,
                                                          int32_t currentSessionCount,
                                                          double lastFireTimestamp);

    // Each adds 1; at the largest 32-bit value the count wraps to 0, logged.
    void incrementLifetimeCount();
    void incrementCurrentBundleCount();
    void incrementCurrentSessionCount();

    const std::string& name() const { return name_; }
    int32_t lifetimeCount() const { return lifetimeCount_; }
    int32_t currentBundleCount() const { return currentBundleCount_; }
    int32_t currentSessionCount() const { return currentSessionCount_; }
    double lastFireTimestamp() const { return lastFireTimestamp_; }
    void setLastFireTimestamp(double value) { lastFireTimestamp_ = value; }
    double lastBundledTimestamp() const { return lastBundledTimestamp_; }
    void setLastBundledTimestamp(double value) { lastBundledTimestamp_ = value; }
    std::optional<int64_t> lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
    void setLastSampledComplexEventID(std::optional<int64_t> value) {
        lastSampledComplexEventID_ = value;
    }
    int32_t lastSamplingRate() const { return lastSamplingRate_; }
    void setLastSamplingRate(int32_t value) { lastSamplingRate_ = value; }
    bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
    void setLastExemptFromSampling(bool value) { lastExemptFromSampling_ = value; }
    int32_t lastBundledDay() const { return lastBundledDay_; }
    void setLastBundledDay(int32_t value) { lastBundledDay_ = value; }

  private:
    APMEventAggregates() = default;
    std::string name_;
    int32_t lifetimeCount_ = 0;
    int32_t currentBundleCount_ = 0;
    int32_t currentSessionCount_ = 0;
    double lastFireTimestamp_ = 0;
    double lastBundledTimestamp_ = 0;
    std::optional<int64_t> lastSampledComplexEventID_;
    int32_t lastSamplingRate_ = 1;
    bool lastExemptFromSampling_ = false;
    int32_t lastBundledDay_ = 0;
};

class APMRawEventData {
  public:
    // Nullopt for a missing event or a negative row number.
    static std::optional<APMRawEventData> initWithRawEvent(const std::optional<APMEvent>& rawEvent,
                                                           int64_t rowID,
                                                           int64_t metadataFingerprint);
    const APMEvent& rawEvent() const { return rawEvent_; }
    int64_t rowID() const { return rowID_; }
    int64_t metadataFingerprint() const { return metadataFingerprint_; }

  private:
    APMRawEventData(APMEvent event, int64_t rowID, int64_t fingerprint)
        : rawEvent_(std::move(event)), rowID_(rowID), metadataFingerprint_(fingerprint) {}
    APMEvent rawEvent_;
    int64_t rowID_;
    int64_t metadataFingerprint_;
};
