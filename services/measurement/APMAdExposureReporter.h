#pragma once
// Measures how long ad units are on screen. An outside ad component calls
// beginAdUnitExposure when a unit becomes visible and endAdUnitExposure when
// it goes away; the reporter logs "_xu" per unit and "_xa" for the span in
// which any unit was visible (origin "zd"), each with the exposure time in
// milliseconds ("_xt") and the parameters of the screen it was shown on.
// Exposure is cut into pieces at every screen change, every firing of the
// session reporter's engagement timer and when the application resigns
// active, so that each piece belongs to one screen. Pieces shorter than one
// second are not logged.
//
// All state lives on the serial queue "APMAdExposureReporter". Begin is
// asynchronous; end and the cuts run synchronously on the queue, so they
// must not be called from it. Times are system uptime.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "services/measurement/APMParameterSanitizer.h"

class APMScreen;
class DispatchQueue;

class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
  public:
    static constexpr const char* kQueueLabel = "APMAdExposureReporter";
    static constexpr std::size_t kMaxAdUnits = 100;

    // Created on first use and kept for the process; observes the engagement
    // timer.
    static std::shared_ptr<APMAdExposureReporter> sharedInstance();
    APMAdExposureReporter();
    ~APMAdExposureReporter();

    bool isReportingEnabled() const { return reportingEnabled_; }
    void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

    void beginAdUnitExposure(const std::optional<std::string>& adUnitID);
    void endAdUnitExposure(const std::optional<std::string>& adUnitID);
    // Cuts every open exposure now with these screen parameters.
    void logExposureEventsWithScreenParameters(const APMRawParameters& screenParameters);

    // From the screen-view reporter: cuts with the left screen's parameters.
    void handleScreenDidChangeFromScreen(const APMScreen* from, const APMScreen* to);
    // The session reporter's engagement timer fired: cuts with the current
    // screen's parameters.
    void handleEngagementTimer();
    // Foreground entry: every open piece starts again now.
    void handleAppDidBecomeActive();
    // Cuts with the given screen's parameters, else the current screen's.
    void handleAppWillResignActiveWithScreen(const APMScreen* screen);

    // Seconds since boot, as the session reporter counts them.
    static double currentTime();

    // Tests: forgets every open unit, enables reporting.
    void resetForTesting();
    // Tests: returns once the work queued so far has run.
    void waitForPendingWorkForTesting();
    // Tests: open begin calls of a unit (0 when not open).
    std::int64_t openCountForTesting(const std::string& adUnitID);

  private:
    void observeEngagementTimer();
    // Queue only.
    void logExposureEventsOnSerialQueueWithEndTime(double endTime,
                                                   const APMEventParameters& screenParameters);
    void logAdExposureEventOnSerialQueueWithEndTime(double endTime,
                                                    const APMEventParameters& screenParameters);
    void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                   const APMEventParameters& screenParameters);
    void updateStartTimesOnSerialQueue(double time);

    std::shared_ptr<DispatchQueue> queue_;
    std::atomic<bool> reportingEnabled_{true};
    // Queue only.
    std::map<std::string, std::int64_t> adUnitCounts_;
    std::map<std::string, double> adUnitStartTimes_;
    double adExposureStartTime_ = 0;
};
