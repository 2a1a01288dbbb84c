#include "app/hotkeys/ModifierEventHandler.h"

std::shared_ptr<ModifierEventHandler> ModifierEventHandler::init(
    sim::Duration cleanTimeInterval, std::shared_ptr<DispatchQueue> cleanQueue) {
    return std::make_shared<ModifierEventHandler>(cleanTimeInterval, std::move(cleanQueue));
}

ModifierEventHandler::ModifierEventHandler(sim::Duration cleanTimeInterval,
                                           std::shared_ptr<DispatchQueue> cleanQueue)
    : cleanTimeInterval_(cleanTimeInterval), cleanQueue_(std::move(cleanQueue)) {}

void ModifierEventHandler::handleModifiersEvent(NSEventModifierFlags flags, double timestamp) {
    if (lastHandledEventTimestamp_ && *lastHandledEventTimestamp_ == timestamp) return;
    lastHandledEventTimestamp_ = timestamp;

    const NSEventModifierFlags filtered = filteredModifierFlags(flags);
    int count = 0;
    for (auto flag : {NSEventModifierFlagCommand, NSEventModifierFlagShift,
                      NSEventModifierFlagControl, NSEventModifierFlagOption})
        if (filtered & flag) ++count;

    if (count == 0) return;
    if (count >= 2) {
        isTappingMultiModifiers_ = true;
        return;
    }
    if (isTappingMultiModifiers_) {
        isTappingMultiModifiers_ = false;
        return;
    }
    if (tappingModifierFlags_ & filtered) {
        const auto tapped = tappingModifierFlags_;
        tappingModifierFlags_ = 0;
        if (doubleTapped_) doubleTapped_(tapped);
    } else {
        tappingModifierFlags_ = filtered;
    }
    scheduleClean();
}

void ModifierEventHandler::scheduleClean() {
    const std::uint64_t generation = ++tapGeneration_;
    std::weak_ptr<ModifierEventHandler> weak = weak_from_this();
    cleanQueue_->asyncAfter(cleanTimeInterval_, [weak, generation] {
        auto self = weak.lock();
        if (self && self->tapGeneration_ == generation) self->tappingModifierFlags_ = 0;
    });
}
