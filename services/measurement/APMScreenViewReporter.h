#pragma once
// The process-wide keeper of the current screen and of the application's
// active state for the whole measurement library. It turns a public
// "screen_view" into the internal screen-view event "_vs", supplies the
// current screen parameters other events carry, and forwards the application
// lifecycle to the session reporter and the ad-exposure reporter. The active
// flag is set when the application first becomes active and then stays set
// for the rest of the process.
//
// The current screen is written and read on the serial queue
// "APMScreenViewReporter"; screenParameters and getScreenName wait for that
// queue (a caller already on it reads in place). The "_vs" event and the
// screen-change forwarding run on that queue, after trackScreenWithParameters
// has returned. The lifecycle handlers run on the main thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "services/measurement/APMParameterSanitizer.h"

class DispatchQueue;

// A screen the application reported; copies carry name, class and id.
class APMScreen {
  public:
    APMScreen(std::optional<std::string> name, std::optional<std::string> className,
              std::int64_t instanceID)
        : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}

    const std::optional<std::string>& name() const { return name_; }
    const std::optional<std::string>& className() const { return className_; }
    std::int64_t instanceID() const { return instanceID_; }
    bool isManuallyTracked() const { return isManuallyTracked_; }
    void setManuallyTracked(bool tracked) { isManuallyTracked_ = tracked; }
    double eventTimestamp() const { return eventTimestamp_; }
    void setEventTimestamp(double timestamp) { eventTimestamp_ = timestamp; }

  private:
    std::optional<std::string> name_;
    std::optional<std::string> className_;
    std::int64_t instanceID_ = 0;
    bool isManuallyTracked_ = false;
    double eventTimestamp_ = 0;
};

// "_si" always; then "_sc" when the class name is valid (an invalid one
// ends the set, logged), then "_sn" when the name is valid. Empty names are
// left out.
APMRawParameters APMScreenParameters(const APMScreen& screen);
// "_pi", "_pc", "_pn"; invalid class names are skipped silently.
APMRawParameters APMPreviousScreenParameters(const APMScreen& screen);

// Where the automatic events of the screen-view, ad-exposure and purchase
// reporters go. The default hands them to the shared engine's internal-event
// path, with the current screen's parameters when they carry none of "_si",
// "_sc", "_sn"; nothing happens without an engine. Any thread.
using APMReporterEventLogger =
    std::function<void(const std::string& origin, const std::string& name,
                       const APMEventParameters& parameters, double timestamp)>;
void APMLogReporterEvent(const std::string& origin, const std::string& name,
                         const APMEventParameters& parameters, double timestamp);
// Replaces the destination; an empty logger restores the engine.
void APMSetReporterEventLogger(APMReporterEventLogger logger);

class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
  public:
    static constexpr const char* kQueueLabel = "APMScreenViewReporter";

    // Created on first use and kept for the process.
    static std::shared_ptr<APMScreenViewReporter> sharedInstance();
    ~APMScreenViewReporter();

    bool isAppActive() const { return isAppActive_; }
    bool appHasBeenInitialized() const { return appHasBeenInitialized_; }

    // A public "screen_view" (its "screen_name" and "screen_class" name the
    // screen; the other parameters go on "_vs"). Refusals are logged.
    void trackScreenWithParameters(const Dictionary& parameters, double timestamp);

    // The current screen's "_si", "_sc" and "_sn" as measurement values;
    // empty with no current screen, or when the app is not active after it
    // has once been active.
    APMRawParameters screenParameters();
    // A copy of the current screen, or none.
    std::optional<APMScreen> currentScreen();
    // Copies of the current screen's name and class name (none without a
    // screen); either pointer may be null.
    void getScreenName(std::optional<std::string>* name, std::optional<std::string>* className);
    // Only logs that screen reporting is disabled.
    void setScreenName(const std::optional<std::string>& name,
                       const std::optional<std::string>& className);
    // Makes a new current screen with the next instance id; answers it.
    APMScreen setCurrentScreen(const std::optional<std::string>& name,
                               const std::optional<std::string>& className, double timestamp);
    // The counter + 1 (wrapping); the new value.
    std::int64_t incrementScreenInstanceID();

    // While the app is active: the session reporter (for a previous screen)
    // and the ad-exposure reporter learn of the change.
    void postScreenDidChangeNotificationWithPreviousScreen(const APMScreen* previous,
                                                           const APMScreen* screen);
    // "_vs" with the new screen's and the previous screen's parameters.
    void logViewScreenEventWithPreviousScreen(const APMScreen* previous, const APMScreen* screen,
                                              const APMEventParameters& parameters);

    void handleApplicationDidBecomeActive();
    void handleApplicationWillResignActive();

    // Tests: a fresh state (inactive, never initialised, no screen, the given
    // instance counter).
    void resetForTesting(std::int64_t instanceIDSeed);
    // Tests: returns once the work queued so far on the queue has run.
    void waitForPendingWorkForTesting();

    APMScreenViewReporter();

  private:
    void observeApplicationNotifications();

    std::shared_ptr<DispatchQueue> queue_;
    std::atomic<bool> isAppActive_{false};
    std::atomic<bool> appHasBeenInitialized_{false};
    std::atomic<std::int64_t> currentScreenInstanceID_;
    // Queue only.
    std::shared_ptr<APMScreen> currentScreen_;
};

// The library's answer to "is the application active".
bool APMIsAppActive();
