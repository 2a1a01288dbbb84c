#pragma once
// Turns modifier-change (flags-changed) events into reports that one
// modifier key was tapped twice within the clean interval. A tap is an event
// in which exactly one of command, option, control and shift is held; chords
// of two or more never count, and the event that releases a chord down to
// one modifier is swallowed. An event seen twice (same timestamp) counts
// once. Used from the main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/hotkeys/ModifierFlags.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

class ModifierEventHandler : public std::enable_shared_from_this<ModifierEventHandler> {
  public:
    using DoubleTapped = std::function<void(NSEventModifierFlags)>;

    static std::shared_ptr<ModifierEventHandler> init(sim::Duration cleanTimeInterval,
                                                      std::shared_ptr<DispatchQueue> cleanQueue);
    ModifierEventHandler(sim::Duration cleanTimeInterval,
                         std::shared_ptr<DispatchQueue> cleanQueue);

    const DoubleTapped& doubleTapped() const { return doubleTapped_; }
    void setDoubleTapped(DoubleTapped callback) { doubleTapped_ = std::move(callback); }

    void handleModifiersEvent(NSEventModifierFlags flags, double timestamp);

    NSEventModifierFlags tappingModifierFlags() const { return tappingModifierFlags_; }
    bool isTappingMultiModifiers() const { return isTappingMultiModifiers_; }
    std::optional<double> lastHandledEventTimestamp() const { return lastHandledEventTimestamp_; }
    sim::Duration cleanTimeInterval() const { return cleanTimeInterval_; }
    const std::shared_ptr<DispatchQueue>& cleanQueue() const { return cleanQueue_; }

  private:
    void scheduleClean();

    DoubleTapped doubleTapped_;
    NSEventModifierFlags tappingModifierFlags_ = 0;
    bool isTappingMultiModifiers_ = false;
    std::optional<double> lastHandledEventTimestamp_;
    sim::Duration cleanTimeInterval_;
    std::shared_ptr<DispatchQueue> cleanQueue_;
    // Only the clearing of the latest tap may empty the state: an earlier
    // tap's clearing must not drop a tap armed after it.
    std::uint64_t tapGeneration_ = 0;
};
