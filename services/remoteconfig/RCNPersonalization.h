#pragma once
// Reports to analytics (origin "rp") which personalized choice of a remote
// value the application read, once per choice and key.
//
// Called on the shared remote-configuration queue; the record of logged
// choices has its own lock.

#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/Value.h"

class ZAROduzozovaInterop;

class RCNPersonalization {
  public:
    explicit RCNPersonalization(std::shared_ptr<ZAROduzozovaInterop> analytics)
        : analytics_(std::move(analytics)) {}

    // `config`: "entries" (key to text) and "personalizationMetadata" (key to
    // "choiceId", "personalizationId", "armIndex", "group").
    void logArmActive(const std::string& key, const Dictionary& config);
    Dictionary loggedChoiceIds() const;

  private:
    std::shared_ptr<ZAROduzozovaInterop> analytics_;
    mutable std::mutex mutex_;
    Dictionary loggedChoiceIds_;
};
