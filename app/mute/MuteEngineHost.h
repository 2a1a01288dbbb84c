#pragma once
// What the mute engine needs of the application shell: the application
// delegate's objects and services. The shell's delegate implements this
// interface and is found as the delegate of the shared NSApplication, so
// the engine never depends on the shell.

#include <memory>
#include <string>

class ClamshellObserver;
class MuteManager;
class NSImage;

// The images that show the current mute state.
enum class StatusImageKind {
    bezel,  // "notification-off" while muted, "notification-on" while live
};

class MuteEngineHost {
  public:
    virtual ~MuteEngineHost() = default;

    // False until the shell's one-time initialisation at the end of start-up
    // has finished.
    virtual bool hasInitializedApp() const = 0;
    virtual std::shared_ptr<ClamshellObserver> clamshellObserver() const = 0;
    virtual std::shared_ptr<MuteManager> muteManager() const = 0;
    // Starts a new instance of the application and ends this one; returns
    // only when nothing could be started.
    virtual void relaunchApplication() = 0;
    // The bundle image for the current state; null when the bundle has none.
    virtual std::shared_ptr<NSImage> statusImage(StatusImageKind kind) const = 0;
    // The application's display name (localised "AppName").
    virtual std::string appName() const = 0;

    // The delegate of the shared application when it is a host, else null.
    static std::shared_ptr<MuteEngineHost> current();
};
