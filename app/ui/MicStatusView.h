#pragma once
// The content of the floating status window: the microphones' state as a
// picture and an on-air / off-air label, and below it, when the window is
// tall enough, a one-time tip and then how to toggle the microphones. Every
// size follows the size the window offers, so the content scales as the
// window is resized.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/settings/DefaultsObservable.h"
#include "platform/swiftui/View.h"

struct MicStatusView {
    MicStatusView();

    View body() const;
    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const;

    // The content for an offered size (w × h).
    View content(double width, double height) const;

    Defaults::Default<bool> devicesMuted;
    Defaults::Default<bool> hasShownStatusWindowOnboardingText;
    Defaults::Default<std::string> keyCodeString;
    Defaults::Default<std::string> keyModifiersString;
    Defaults::Default<bool> keyEnabled;
    Defaults::Default<std::int64_t> pushToTalk;
    Defaults::Default<bool> statusWindowHelpTextAnimation;
};
