#pragma once
// Decides when a measurement session starts, keeps it alive while the user
// is engaged and turns foreground time into engagement events: "_s"
// (session start), "_e" (user engagement) and "_ab" (app backgrounded), all
// of origin "auto", and the session user properties "_sid" and "_sno".
//
// Threads: the foreground and background handlers and the engagement timer
// run on the main queue; screen changes and the free-ride cut arrive on the
// screen-view reporter's queue; the engine calls isSessionExpired,
// extendSession, updatePropertiesForNewSessionStart and the property builders
// on its worker queue. The two start uptimes are read and written under one
// lock, so a cut on one queue never interleaves with an engagement event on
// another; the session values live in the persisted settings.
//
// Two clocks, never mixed: clock time (wall-clock seconds since 1970) for the
// session's last activity, uptime (wall clock minus the kernel boot time) for
// engagement spans.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "services/measurement/APMEvent.h"

class APMAlarm;
class APMPersistedConfig;
class APMScreen;

inline constexpr const char* kAPMSessionReporterEngagementTimerDidFire =
    "kAPMSessionReporterEngagementTimerDidFire";

class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
  public:
    // Where the reporter's events and session properties go. The default
    // hands events to the shared engine's write path (with the current
    // screen's parameters when they carry none) and properties to its user
    // attributes; either may be replaced.
    struct Outlet {
        std::function<void(const std::string& name, const APMEventParameters& parameters)>
            logInternalEvent;
        // No value removes the property.
        std::function<void(const std::string& name, const std::optional<APMValue>& value)>
            setInternalUserProperty;
        static Outlet engine();
    };

    // Reporting disabled; both start uptimes now; the session timeout from the
    // measurement configuration. The newest reporter made here is the one the
    // application lifecycle reaches (current()).
    static std::shared_ptr<APMSessionReporter> initWithPersistedConfig(
        std::shared_ptr<APMPersistedConfig> persistedConfig, Outlet outlet = Outlet::engine());
    // The newest reporter still alive, or null.
    static std::shared_ptr<APMSessionReporter> current();

    class ConstructionKey {
        friend class APMSessionReporter;
        ConstructionKey() = default;
    };
    APMSessionReporter(ConstructionKey, std::shared_ptr<APMPersistedConfig> persistedConfig,
                       Outlet outlet);
    ~APMSessionReporter();
    APMSessionReporter(const APMSessionReporter&) = delete;
    APMSessionReporter& operator=(const APMSessionReporter&) = delete;

    // On: arms the engagement timer when the app is active and the timer is
    // idle. Off: cancels the timer.
    void setReportingEnabled(bool enabled);
    bool reportingEnabled() const { return reportingEnabled_; }
    // A negative interval becomes 0 (logged).
    void setTimeoutSessionInterval(double seconds);
    double timeoutSessionInterval() const { return timeoutSessionInterval_; }

    // More than the timeout (either way) since the last activity.
    bool isSessionExpired();
    bool shouldStartNewSession();
    // NO when expired; else the session's last activity becomes now.
    bool extendSession();
    // Session number + 1 and last activity = now, both persisted.
    void updatePropertiesForNewSessionStart();
    std::optional<APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp);
    std::optional<APMUserAttribute> sessionNumberProperty();
    // Sets (no value: clears) "_sid" and "_sno".
    void setSessionID(const std::optional<std::int64_t>& sessionID,
                      const std::optional<std::int64_t>& sessionNumber);

    // Foreground session start.
    void logSessionStartEvent();
    // The engagement timer's event: no screen, not redundant.
    void logUserEngagementEvent();
    // Logs "_e" and answers the milliseconds reported (0 when disabled or
    // inactive).
    std::int64_t logEngagementEventAndReturnTimeWithScreen(const APMScreen* screen,
                                                           bool isRedundant);
    void logAppBackgroundEvent(std::int64_t milliseconds);

    // Lifecycle, from the screen-view reporter.
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const APMScreen* screen);
    void handleScreenDidChangeFromScreen(const APMScreen* from, const APMScreen* to);

    void rescheduleUserEngagementTimer();
    // Seconds of engagement not yet reported (never negative).
    double incurredEngagementTime();
    // Takes the free-ride time in milliseconds (0 unless efficient
    // engagement reporting is on).
    std::int64_t cutFreerideEngagementTimeMillis();

    APMAlarm& userEngagementTimer() { return *userEngagementTimer_; }
    // Seconds of uptime where the current spans began.
    double engagementStartUptime() const;
    double freerideEngagementStartUptime() const;

    // Wall-clock seconds since 1970.
    static double currentClockTime();
    // Seconds since boot (microsecond resolution); -1 when the boot time
    // cannot be read.
    static double currentUptime();

  private:
    void logEvent(const std::string& name, const APMEventParameters& parameters);

    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    Outlet outlet_;
    std::unique_ptr<APMAlarm> userEngagementTimer_;
    std::atomic<bool> reportingEnabled_{false};
    std::atomic<double> timeoutSessionInterval_{0};
    mutable std::mutex uptimeLock_;  // guards the two start uptimes
    double engagementStartUptime_ = 0;
    double freerideEngagementStartUptime_ = 0;
};
