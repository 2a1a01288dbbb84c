#pragma once
// The application's windows as the shell drives them: the floating status
// window, preferences, about and onboarding. Main thread only.

#include <functional>
#include <memory>
#include <string>

class AuxiliaryWindows;
class MicStatusWindowController;
class NSWindow;

// What the windows ask of the shell.
struct AppWindowActions {
    std::function<void(bool muted)> setMuted;
    std::function<void()> refreshStatusMenu;
};

class AppWindows {
  public:
    explicit AppWindows(AppWindowActions actions = {});
    ~AppWindows();
    AppWindows(const AppWindows&) = delete;
    AppWindows& operator=(const AppWindows&) = delete;

    // Opens the status window when closed, closes it when open, and keeps
    // showStatusWindow in step.
    void toggleMicStatusWindow();
    void openPreferencesWindow();
    void openAboutWindow();
    // `finished` runs once hasCompletedOnboarding turns true.
    void openOnboardingWindow(std::function<void()> finished);
    // Closes the about window, then the preferences window.
    void closeAuxiliaryWindows();
    // Keeps the status window on its screen when the screens change.
    void startObservingScreenChanges();

    bool isStatusWindowOpen() const;
    bool isPreferencesWindowOpen() const;
    bool isAboutWindowOpen() const;
    bool isOnboardingWindowOpen() const;
    bool isObservingScreenChanges() const { return observingScreens_; }

    MicStatusWindowController& statusWindowController() const { return *statusWindow_; }
    AuxiliaryWindows& auxiliaryWindows() const { return *auxiliary_; }
    // The window last created under a name: "status", "preferences",
    // "about" or "onboarding"; null when there is none.
    std::shared_ptr<NSWindow> window(const std::string& name) const;

  private:
    std::shared_ptr<MicStatusWindowController> statusWindow_;
    std::shared_ptr<AuxiliaryWindows> auxiliary_;
    bool observingScreens_ = false;
};
