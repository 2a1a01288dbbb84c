#pragma once
// The application delegate: start-up and shutdown, the global shortcut and
// every mute change of the shell, the status item's actions, the reactions
// to settings changes, launch at login, update checks and help. It is also
// what the mute engine asks of the shell (MuteEngineHost), found as the
// delegate of the shared NSApplication.
//
// Action methods are registered under their selectors in the runtime class
// "Lumbrel.AppDelegate", so that the menu items, which have no target, reach
// them through the responder chain. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/mute/MuteEngineHost.h"
#include "platform/foundation/Error.h"
#include "platform/input/Carbon.h"
#include "platform/runtime/Runtime.h"

class AppWindows;
class FloatingWindows;
class HotKey;
class SUUpdater;
class StatusItemController;
struct NSNotification;
namespace Defaults {
class DefaultsObservation;
}

class AppDelegate : public RuntimeObject, public MuteEngineHost {
  public:
    static Class runtimeClass();
    AppDelegate();
    ~AppDelegate() override;

    // ---- Start-up and shutdown -------------------------------------------
    void applicationDidFinishLaunching(const id& notification);
    void applicationWillTerminate(const id& notification);
    // "quitWithSender:": restores the devices and terminates; when they
    // could not all be restored, stays open and guards them again.
    void quit(const id& sender);
    void configureServices();
    // Once; a second call does nothing.
    void initializeApp();
    void remoteConfigFetched(const std::optional<NSError>& error);
    void closeAuxiliaryWindows();
    void keepWindowsFloating();

    // ---- Shortcut and mute ---------------------------------------------------
    void registerHotKey();
    void handleHotKeyEvent(UInt32 eventKind);
    void hotKeyDown();
    void hotKeyUp();
    // The one way the shell changes the mute state.
    void setMuted(bool muted);
    // "toggleMuteFromMenuWithSender:"
    void toggleMuteFromMenu(const id& sender);
    std::string shortcutDescription() const;
    // The user session became active (or no notification) or resigned.
    void sessionDidChange(const NSNotification* notification);

    // ---- Status item -------------------------------------------------------
    void setUpStatusItem();
    void refreshStatusMenu();
    // "statusBarButtonClicked"
    void statusBarButtonClicked();
    void performClickAction(std::int64_t action);
    void showStatusMenu();
    // The button's image for the stored state and style.
    void updateStatusImage();

    // ---- Settings reactions, updates and help ------------------------------
    void observeSettings();
    // "checkForUpdatesWithSender:"
    void checkForUpdates(const id& sender);
    // "openHelpWithSender:"
    void openHelp(const id& sender);
    static const char* helpURL();

    // ---- Windows -------------------------------------------------------------
    // "toggleMicStatusWindowWithSender:", "openPreferencesWindowWithSender:",
    // "openAboutWindowWithSender:", "openOnboardingWindowWithSender:"
    void toggleMicStatusWindow(const id& sender);
    void openPreferencesWindow(const id& sender);
    void openAboutWindow(const id& sender);
    void openOnboardingWindow(const id& sender);

    // ---- State -----------------------------------------------------------------
    bool hasInitializedApp() const override { return hasInitializedApp_; }
    void setHasInitializedApp(bool value) { hasInitializedApp_ = value; }
    std::shared_ptr<ClamshellObserver> clamshellObserver() const override {
        return clamshellObserver_;
    }
    void setClamshellObserver(std::shared_ptr<ClamshellObserver> observer) {
        clamshellObserver_ = std::move(observer);
    }
    std::shared_ptr<MuteManager> muteManager() const override { return muteManager_; }
    void setMuteManager(std::shared_ptr<MuteManager> engine) { muteManager_ = std::move(engine); }
    const std::shared_ptr<HotKey>& hotKeyListener() const { return hotKeyListener_; }
    const std::shared_ptr<SUUpdater>& softwareUpdater() const { return softwareUpdater_; }
    StatusItemController& statusItemController() const { return *statusItemController_; }
    AppWindows& windows() const { return *windows_; }
    FloatingWindows& floatingWindows() const { return *floatingWindows_; }

    // Opens the application bundle anew ("/usr/bin/open" with the bundle's
    // file URL) and ends this process with status 0. Where no such opener
    // exists (Linux), this program itself runs again with its arguments, in
    // place of this process. Nothing is started, and the process goes on,
    // when the bundle has no resource folder or nothing could be started.
    void relaunchApplication() override;
    // "notification-off" while devicesMuted, else "notification-on"; a
    // template image unless the menu-bar icon setting is colour (1).
    std::shared_ptr<NSImage> statusImage(StatusImageKind kind) const override;
    std::string appName() const override { return sharedAppName(); }

    // The localised "AppName" of the main bundle ("App Name" when none),
    // computed once per process.
    static const std::string& sharedAppName();

    // The file URL of the application bundle, from its resource folder.
    static std::optional<std::string> bundleURL();

  private:
    std::shared_ptr<AppDelegate> self();
    // Whether the engine offers an input device for the current lid state.
    bool hasInputDevices() const;
    void finishOnboarding();

    bool hasInitializedApp_ = false;
    std::shared_ptr<HotKey> hotKeyListener_;
    std::shared_ptr<SUUpdater> softwareUpdater_;
    std::shared_ptr<ClamshellObserver> clamshellObserver_;
    std::shared_ptr<MuteManager> muteManager_;

    std::unique_ptr<StatusItemController> statusItemController_;
    std::unique_ptr<AppWindows> windows_;
    std::unique_ptr<FloatingWindows> floatingWindows_;
    bool observingSessions_ = false;
};
