#pragma once
// Block-based key-value observation of an application-framework property:
// the token keeps the observation alive, and invalidating or destroying it
// ends it.

#include <functional>
#include <memory>
#include <mutex>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/runtime/Runtime.h"

struct NSKeyValueObservedChange {
    NSKeyValueChange kind = NSKeyValueChange::Setting;
    id oldValue;  // with NSKeyValueObservingOptionOld, except in the initial call
    id newValue;  // with NSKeyValueObservingOptionNew, except in a prior call
    bool isPrior = false;
};

class NSKeyValueObservation : public NSObject {
  public:
    explicit NSKeyValueObservation(std::function<void()> remove) : remove_(std::move(remove)) {}
    ~NSKeyValueObservation() override { invalidate(); }
    void invalidate() {
        std::function<void()> remove;
        {
            std::lock_guard lock(mutex_);
            remove = std::exchange(remove_, nullptr);
        }
        if (remove) remove();
    }
    std::string className() const override { return "NSKeyValueObservation"; }

  private:
    std::mutex mutex_;
    std::function<void()> remove_;
};
