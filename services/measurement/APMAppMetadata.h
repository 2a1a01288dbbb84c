#pragma once
// The stored metadata of the previous upload bundle.

#include <cstdint>
#include <optional>

class APMAppMetadata {
  public:
    // None (logged) for a negative index.
    static std::optional<APMAppMetadata> initWithLastBundleIndex(std::int32_t lastBundleIndex,
                                                                 double lastBundleStartTimestamp,
                                                                 double lastBundleEndTimestamp);
    APMAppMetadata(std::int32_t lastBundleIndex, double lastBundleStartTimestamp,
                   double lastBundleEndTimestamp)
        : lastBundleIndex_(lastBundleIndex < 0 ? 0 : lastBundleIndex),
          lastBundleStartTimestamp_(lastBundleStartTimestamp),
          lastBundleEndTimestamp_(lastBundleEndTimestamp) {}

    // One more; after the largest 32-bit index it starts again at 0 (logged).
    void incrementLastBundleIndex();

    std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
    void setLastBundleStartTimestamp(double seconds) { lastBundleStartTimestamp_ = seconds; }
    void setLastBundleEndTimestamp(double seconds) { lastBundleEndTimestamp_ = seconds; }

  private:
    std::int32_t lastBundleIndex_;
    double lastBundleStartTimestamp_;
    double lastBundleEndTimestamp_;
};
