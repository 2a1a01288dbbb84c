#pragma once
// The preferences, about and onboarding windows: created, placed, brought
// to the front, and at most one preferences and one about window alive. The
// onboarding window lives in the one slot onboardingWindow() and closes
// itself once hasCompletedOnboarding turns true. Main thread only.

#include <functional>
#include <memory>

#include "app/settings/DefaultsObservation.h"
#include "platform/appkit/NSWindow.h"
#include "platform/runtime/Runtime.h"

class AuxiliaryWindows;

// "Lumbrel.PreferencesWindowDelegate": clears the open flag on closing.
class PreferencesWindowDelegate : public RuntimeObject {
  public:
    static Class runtimeClass();
    explicit PreferencesWindowDelegate(std::weak_ptr<AuxiliaryWindows> windows);
    void windowWillClose(const id& window);

  private:
    std::weak_ptr<AuxiliaryWindows> windows_;
};

// "Lumbrel.AboutWindowDelegate".
class AboutWindowDelegate : public RuntimeObject {
  public:
    static Class runtimeClass();
    explicit AboutWindowDelegate(std::weak_ptr<AuxiliaryWindows> windows);
    void windowWillClose(const id& window);

  private:
    std::weak_ptr<AuxiliaryWindows> windows_;
};

class AuxiliaryWindows : public std::enable_shared_from_this<AuxiliaryWindows> {
  public:
    static constexpr NSSize preferencesSize{460, 240};
    static constexpr NSSize aboutSize{420, 380};

    AuxiliaryWindows() = default;
    ~AuxiliaryWindows();
    AuxiliaryWindows(const AuxiliaryWindows&) = delete;
    AuxiliaryWindows& operator=(const AuxiliaryWindows&) = delete;

    // Each reports the screen view; an open window comes to the front.
    void openPreferencesWindow();
    void openAboutWindow();
    // A new onboarding window at every call (an earlier one still open
    // closes first); `finished` runs when it closes
    // because hasCompletedOnboarding turned true (the shell then refreshes
    // its menu and makes sure there is an update checker).
    void openOnboardingWindow(std::function<void()> finished);
    // Closes the about window, then the preferences window.
    void closeAuxiliaryWindows();
    // Closes the onboarding window and runs its `finished`.
    void finishOnboarding();

    const std::shared_ptr<NSWindow>& preferencesWindow() const { return preferencesWindow_; }
    bool isPreferencesWindowOpen() const { return isPreferencesWindowOpen_; }
    const std::shared_ptr<NSWindow>& aboutWindow() const { return aboutWindow_; }
    bool isAboutWindowOpen() const { return isAboutWindowOpen_; }
    bool isOnboardingWindowOpen() const;

    void preferencesWindowWillClose() { isPreferencesWindowOpen_ = false; }
    void aboutWindowWillClose() { isAboutWindowOpen_ = false; }

  private:
    std::function<void()> onboardingFinished_;
    std::shared_ptr<NSWindow> preferencesWindow_;
    bool isPreferencesWindowOpen_ = false;
    std::shared_ptr<PreferencesWindowDelegate> preferencesWindowDelegate_;
    std::shared_ptr<NSWindow> aboutWindow_;
    bool isAboutWindowOpen_ = false;
    std::shared_ptr<AboutWindowDelegate> aboutWindowDelegate_;
    std::shared_ptr<Defaults::DefaultsObservation> onboardingObservation_;
};
