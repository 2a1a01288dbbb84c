#pragma once
// One audience's stored evaluation results: the encoded current and previous
// ResultData messages, either possibly absent.

#include <cstdint>
#include <optional>

#include "platform/foundation/Value.h"

class APMFilterResult {
  public:
    APMFilterResult(std::int32_t audienceID, std::optional<Data> currentResults,
                    std::optional<Data> previousResults)
        : audienceID_(audienceID),
          currentResults_(std::move(currentResults)),
          previousResults_(std::move(previousResults)) {}

    std::int32_t audienceID() const { return audienceID_; }
    const std::optional<Data>& currentResults() const { return currentResults_; }
    const std::optional<Data>& previousResults() const { return previousResults_; }

  private:
    std::int32_t audienceID_;
    std::optional<Data> currentResults_;
    std::optional<Data> previousResults_;
};
