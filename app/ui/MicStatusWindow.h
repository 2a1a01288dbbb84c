#pragma once
// The floating status window: a translucent panel without a visible title
// bar on every Space that shows the microphones' state (MicStatusView),
// toggles it on a click, can be dragged by its background, keeps its aspect
// ratio while resized, and is pulled back into a corner of its screen when
// it ends up outside it. Whether it is open survives a restart through
// showStatusWindow. Main thread only.

#include <functional>
#include <memory>

#include "app/settings/DefaultsObservation.h"
#include "platform/appkit/NSWindow.h"
#include "platform/runtime/Runtime.h"

class MicStatusWindowController;
class NSNotificationObserver;
class Timer;

// "Lumbrel.MicStatusWindow": tells a click from a drag.
class MicStatusWindow : public NSPanel {
  public:
    static Class runtimeClass();
    MicStatusWindow(NSRect contentRect, NSWindowStyleMask styleMask, NSBackingStoreType backing,
                    bool defer);

    void mouseDragged(const std::shared_ptr<NSEvent>& event) override;
    void mouseUp(const std::shared_ptr<NSEvent>& event) override;

    void setController(std::weak_ptr<MicStatusWindowController> controller) {
        controller_ = std::move(controller);
    }

  private:
    std::weak_ptr<MicStatusWindowController> controller_;
};

// "Lumbrel.MicStatusWindowDelegate", adopting NSWindowDelegate.
class MicStatusWindowDelegate : public RuntimeObject {
  public:
    static Class runtimeClass();
    explicit MicStatusWindowDelegate(std::weak_ptr<MicStatusWindowController> controller);

    void windowWillClose(const id& window);
    void windowDidEndLiveResize(const id& window);

  private:
    std::weak_ptr<MicStatusWindowController> controller_;
};

// What the status window asks of the application shell.
struct MicStatusWindowActions {
    std::function<void(bool muted)> setMuted;
    std::function<void()> refreshStatusMenu;
};

// The status window's state: the panel last opened, its delegate, whether
// it is open or being dragged, the help-text timer and the observation of
// showStatusWindow.
class MicStatusWindowController : public std::enable_shared_from_this<MicStatusWindowController> {
  public:
    static constexpr double statusWindowBaseWidth = 144.0;
    static constexpr double statusWindowBaseHeight = 64.0;
    static constexpr double helpTextDelay = 8.0;
    static constexpr double helpTextAnimationDelay = 1.0;

    explicit MicStatusWindowController(MicStatusWindowActions actions);
    ~MicStatusWindowController();
    MicStatusWindowController(const MicStatusWindowController&) = delete;
    MicStatusWindowController& operator=(const MicStatusWindowController&) = delete;

    // Opens the window when it is closed and closes it when it is open;
    // reports the screen view either way.
    void toggleMicStatusWindow();
    // Runs keepStatusWindowOnScreen whenever the screens change; once.
    void observeScreenParameterChanges();
    // Moves the window back into a corner of its screen when it sticks out.
    void keepStatusWindowOnScreen();

    const std::shared_ptr<MicStatusWindow>& statusWindow() const { return statusWindow_; }
    bool isStatusWindowOpen() const { return isStatusWindowOpen_; }
    bool isDraggingStatusWindow() const { return isDraggingStatusWindow_; }
    const std::shared_ptr<Timer>& helpTextTimer() const { return helpTextTimer_; }

    // From the panel and its delegate.
    void mouseDragged(const NSEvent& event);
    void mouseUp();
    void windowWillClose();
    void windowDidEndLiveResize(const NSWindow& window);

  private:
    void open();
    void placeInDefaultCorner();

    MicStatusWindowActions actions_;
    std::shared_ptr<MicStatusWindow> statusWindow_;
    std::shared_ptr<MicStatusWindowDelegate> statusWindowDelegate_;
    bool isStatusWindowOpen_ = false;
    bool isDraggingStatusWindow_ = false;
    std::shared_ptr<Timer> helpTextTimer_;
    std::shared_ptr<Defaults::DefaultsObservation> showStatusWindowObservation_;
    std::shared_ptr<NSNotificationObserver> screenObserver_;
};
