#pragma once
// The first-run pages, one at a time: welcome, the keyboard permission, the
// live microphone state with the stored shortcut, and the choice to share
// usage data, which finishes the onboarding (hasCompletedOnboarding). The
// window that shows it closes itself when that setting turns true.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/settings/DefaultsObservable.h"
#include "platform/swiftui/View.h"

struct OnboardingView {
    OnboardingView();
    View body() const;
    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const;

    // The action of every "Continue".
    void advanceStep() const;

    Defaults::Default<bool> devicesMuted;
    Defaults::Default<std::string> keyCodeString;
    Defaults::Default<bool> keyEnabled;
    Defaults::Default<std::string> keyModifiersString;
    Defaults::Default<bool> startOnLogin;
    State<std::int64_t> onboardingStep{1};
    double logoHeight = 160.0;
    double logoWidth = 160.0;
    double indicatorHeight = 96.0;
    double indicatorWidth = 96.0;

  private:
    // Page 3's icon style and the wording of its shortcut follow these too.
    Defaults::Default<std::int64_t> menubarIcon_;
    Defaults::Default<bool> keyDoubleModifiers_;

    View welcomePage() const;
    View permissionPage() const;
    View shortcutPage() const;
    View finishPage() const;
};

// The stored shortcut in words: "Shift + Command + M"; a double tap keeps its
// own wording, "Command (twice)".
std::string expandedShortcutDescription();
