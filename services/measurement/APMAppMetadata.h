#pragma once
// The stored metadata of the previous upload bundle.

#include <cstdint>

class APMAppMetadata {
  public:
    APMAppMetadata(std::int32_t lastBundleIndex, double lastBundleStartTimestamp,
                   double lastBundleEndTimestamp)
        : lastBundleIndex_(lastBundleIndex),
          lastBundleStartTimestamp_(lastBundleStartTimestamp),
          lastBundleEndTimestamp_(lastBundleEndTimestamp) {}

    std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }

  private:
    std::int32_t lastBundleIndex_;
    double lastBundleStartTimestamp_;
    double lastBundleEndTimestamp_;
};
