#pragma once
// The process-wide keeper of the current screen and of the application's
// active state for the whole measurement library. The active flag follows
// the application notifications: it is set when the application first
// becomes active and then stays set for the rest of the process. The
// lifecycle is forwarded to the shared engine's session reporter.
//
// The current screen is written and read on the serial queue
// "APMScreenViewReporter"; screenParameters waits for that queue.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "services/measurement/APMParameterSanitizer.h"

class DispatchQueue;
class NSNotificationObserver;

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

class APMScreenViewReporter : public std::enable_shared_from_this<APMScreenViewReporter> {
  public:
    static constexpr const char* kQueueLabel = "APMScreenViewReporter";

    // Created on first use and kept for the process.
    static std::shared_ptr<APMScreenViewReporter> sharedInstance();
    ~APMScreenViewReporter();

    bool isAppActive() const { return isAppActive_; }
    bool appHasBeenInitialized() const { return appHasBeenInitialized_; }

    // The current screen's "_si", "_sc" and "_sn" as measurement values;
    // empty with no current screen, or when the app is not active after it
    // has once been active.
    APMRawParameters screenParameters();
    // A copy of the current screen, or none.
    std::optional<APMScreen> currentScreen();
    // Makes a new current screen with the next instance id; answers it.
    APMScreen setCurrentScreen(const std::optional<std::string>& name,
                               const std::optional<std::string>& className, double timestamp);
    // The counter + 1 (wrapping); the new value.
    std::int64_t incrementScreenInstanceID();

    void handleApplicationDidBecomeActive();
    void handleApplicationWillResignActive();

    // Tests: a fresh state (inactive, never initialised, no screen, the given
    // instance counter).
    void resetForTesting(std::int64_t instanceIDSeed);

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
