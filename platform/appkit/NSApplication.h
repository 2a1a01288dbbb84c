#pragma once
// The application object, a runtime class "NSApplication" so that services
// can find it by name and intercept its delegate:
//  * class method "sharedApplication"; instance methods "delegate",
//    "setDelegate:", "terminate:", "stop:", "currentEvent",
//    "effectiveAppearance", "reportException:";
//  * setDelegate reports the change of "delegate" through
//    didChangeValueForKey;
//  * every delegate callback is a message sent with objc_msgSend, after
//    respondsToSelector, so a replaced implementation or class of the live
//    delegate sees it. Each callback gets the application as its argument
//    (the object of the notification it stands for).
//
// The application runs on the main run loop (sim::MainLoop). Termination
// posts NSApplicationWillTerminateNotification on the default centre, calls
// "applicationWillTerminate:" and ends the process through ProcessExit; when
// tests intercept the exit, the run loop ends instead and run() returns.
// Main thread only.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/appkit/NSAppearance.h"
#include "platform/appkit/NSKeyValueObservation.h"
#include "platform/input/NSEvent.h"
#include "platform/runtime/Runtime.h"

inline constexpr const char* NSApplicationWillFinishLaunchingNotification =
    "NSApplicationWillFinishLaunchingNotification";
inline constexpr const char* NSApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* NSApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";
inline constexpr const char* NSApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* NSApplicationWillResignActiveNotification =
    "NSApplicationWillResignActiveNotification";
inline constexpr const char* NSApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";

// Masks of the mouse-button events, beside those of NSEvent.h.
inline constexpr NSEventMask NSEventMaskLeftMouseUp = NSEventMaskFromType(NSEventType::leftMouseUp);
inline constexpr NSEventMask NSEventMaskRightMouseDown =
    NSEventMaskFromType(NSEventType::rightMouseDown);
inline constexpr NSEventMask NSEventMaskRightMouseUp =
    NSEventMaskFromType(NSEventType::rightMouseUp);

// The answer to "applicationShouldTerminate:" (a delegate may also answer
// the raw value as a number).
enum class NSApplicationTerminateReply : unsigned long {
    terminateCancel = 0,
    terminateNow = 1,
    terminateLater = 2,
};

class NSApplication : public RuntimeObject {
  public:
    static Class runtimeClass();
    static std::shared_ptr<NSApplication> sharedApplication();
    NSApplication();

    // The application keeps its delegate alive.
    id delegate() const;
    void setDelegate(const id& delegate);

    // Sends "applicationWillFinishLaunching:" and
    // "applicationDidFinishLaunching:" (each after its notification); once.
    void finishLaunching();
    // Finishes launching when not done yet, then runs the main run loop until
    // stop: or an intercepted termination. Returns at once when the
    // application has already terminated.
    void run();
    bool isRunning() const;
    void stop(const id& sender);

    // An NSException raised while run() pumps the main loop is caught there
    // and sent as "reportException:" (a shared NSException), through the
    // current class, so a replaced implementation sees it; the loop then goes
    // on. This default implementation logs it with NSLog, unless the user
    // default "NSApplicationCrashOnExceptions" is true: then it logs that the
    // application terminates and ends the process with abort().
    void reportException(const std::shared_ptr<NSException>& exception);

    // Asks "applicationShouldTerminate:" when the delegate answers it: cancel
    // keeps the application running, later waits for
    // replyToApplicationShouldTerminate. A call while a termination is
    // pending or done does nothing.
    void terminate(const id& sender);
    void replyToApplicationShouldTerminate(bool shouldTerminate);

    // Windows (NSWindow.h): every live window not released by closing, in
    // creation order; the key window or null.
    std::vector<std::shared_ptr<class NSWindow>> windows() const;
    std::shared_ptr<class NSWindow> keyWindow() const;
    // Brings the application to the front (also when another is active);
    // becoming active posts NSApplicationDidBecomeActiveNotification.
    void activateIgnoringOtherApps(bool flag);
    bool isActive() const;

    // The event being handled (a status-item click), or null.
    std::shared_ptr<NSEvent> currentEvent() const;

    // The application's own appearance (null: follow the system's).
    std::shared_ptr<NSAppearance> appearance() const;
    void setAppearance(const std::shared_ptr<NSAppearance>& appearance);
    // The one in force: its own, else the system's.
    std::shared_ptr<NSAppearance> effectiveAppearance() const;
    // Observes "effectiveAppearance" with the usual options (initial, prior,
    // old, new); the handler runs on the changing thread. Changes also reach
    // addObserverForKeyPath("effectiveAppearance", ...).
    std::shared_ptr<NSKeyValueObservation> observeEffectiveAppearance(
        NSKeyValueObservingOptions options,
        std::function<void(NSApplication&, const NSKeyValueObservedChange&)> handler);

    // The responder chain of a window-less application: the application
    // itself, then its delegate. Null when neither answers the action.
    id targetForAction(SEL action) const;
    // Sends the action to the target, or along the chain when it is null.
    // An action "name:" gets the sender, an action "name" nothing. False
    // when nobody handled it.
    bool sendAction(SEL action, const id& target, const id& sender);

  private:
    friend struct NSApplicationAccess;
    struct AppearanceObservation {
        std::uint64_t token;
        NSKeyValueObservingOptions options;
        std::shared_ptr<std::function<void(NSApplication&, const NSKeyValueObservedChange&)>>
            handler;
    };

    // The delegate's answer, or nothing when it does not answer the selector.
    std::optional<std::any> messageDelegate(SEL selector);
    void finishTermination();
    // Puts both appearances in place, notifying the observers of the
    // effective one when its name changes.
    void applyAppearances(const std::shared_ptr<NSAppearance>& own,
                          const std::shared_ptr<NSAppearance>& system);
    bool isObserving(std::uint64_t token) const;

    mutable std::mutex mutex_;
    id delegate_;
    bool launched_ = false;
    bool running_ = false;
    bool stopRequested_ = false;
    bool terminationPending_ = false;
    bool terminated_ = false;
    std::shared_ptr<NSEvent> currentEvent_;
    std::shared_ptr<NSAppearance> appearance_;
    std::shared_ptr<NSAppearance> systemAppearance_;
    std::vector<AppearanceObservation> appearanceObservations_;
    std::uint64_t nextObservationToken_ = 1;
    std::size_t terminationCount_ = 0;
};

// The program's application main function: runs the shared application
// until it terminates, and returns 0 when the exit is intercepted. Programs
// started through it launch real programs from the workspace (unless
// sim::Workspace chose otherwise).
int NSApplicationMain(int argc, char* argv[]);

namespace sim {

struct Application {
    // A fresh application: no delegate, not launched, not running, not
    // terminated, no current event, the light system appearance, no
    // appearance observers.
    static void reset();
    static bool hasFinishedLaunching();
    static bool isTerminated();
    // Times the application ended (termination completed).
    static std::size_t terminationCount();
    // Another application comes to the front: an active application posts
    // NSApplicationWillResignActiveNotification, becomes inactive, then
    // posts NSApplicationDidResignActiveNotification.
    static void deactivate();
    // Makes event the current event while handler runs.
    static void withCurrentEvent(const std::shared_ptr<NSEvent>& event,
                                 const std::function<void()>& handler);
};

// The system's appearance, light (NSAppearanceNameAqua) by default. A change
// of the effective appearance notifies its observers (prior calls first).
struct Appearance {
    static void setSystemAppearance(const NSAppearanceName& name);
    static void setDark(bool dark);
    static NSAppearanceName systemAppearance();
};

}  // namespace sim
