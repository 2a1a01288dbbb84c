#pragma once
// A temporary home on the virtual clock, with the monitor's lines cleared.
// Analytics starts once per process, so each test starts it itself, in a
// process of its own (as ctest runs them); a later test in the same process
// is skipped rather than run against an engine that is gone.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <vector>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/analytics/APMAnalytics.h"
#include "services/measurement/APMMeasurement.h"
#include "services/util/tests/TempHome.h"

// The events the application and its services logged; the engine's own
// reports (first open, engagement, sessions, updates) are left out.
inline bool isEngineReport(const std::string& name) {
    for (const char* report : {"_f", "_e", "_s", "_au", "_ou"})
        if (name == report) return true;
    return false;
}

inline std::vector<APMLoggedEvent> appEvents() {
    std::vector<APMLoggedEvent> out;
    for (auto& event : APMAnalytics::loggedEvents())
        if (event.origin != "auto" || !isEngineReport(event.name)) out.push_back(std::move(event));
    return out;
}

class AnalyticsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static bool ranInThisProcess = false;
        if (ranInThisProcess)
            GTEST_SKIP() << "Analytics starts once per process: run this test in a process of "
                            "its own (--gtest_filter=" << ::testing::UnitTest::GetInstance()
                                                             ->current_test_info()
                                                             ->test_suite_name()
                         << "." << ::testing::UnitTest::GetInstance()->current_test_info()->name()
                         << ")";
        ranInThisProcess = true;
        sim::useVirtualClock();
        NSUserDefaults::resetForTesting();
        APMMeasurement::monitor().clearLines();
    }
    void TearDown() override {
        APMAnalytics::waitForPendingWorkForTesting();
        APMMeasurement::resetSharedInstanceForTesting();
        sim::useRealClock();
    }
    static void start(Dictionary options = {}) {
        APMAnalytics::startWithAppID("1:100000000001:ios:0000000000000000", "ra", options);
        APMAnalytics::waitForPendingWorkForTesting();
    }
    static std::vector<long long> codes() {
        std::vector<long long> out;
        for (const auto& line : APMMeasurement::monitor().lines()) out.push_back(line.messageCode);
        return out;
    }
    static bool logged(long long code) {
        for (long long c : codes())
            if (c == code) return true;
        return false;
    }
    static std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const auto& event : appEvents()) out.push_back(event.name);
        return out;
    }
    // The user properties the engine holds (public ones unless told).
    static std::optional<Dictionary> userProperties(bool includeInternal = false) {
        std::promise<Dictionary> answer;
        auto future = answer.get_future();
        APMAnalytics::userPropertiesIncludingInternal(
            includeInternal, DispatchQueue::global(),
            [&answer](Dictionary properties) { answer.set_value(properties); });
        // A real-time guard only: the answer comes once the queues ran.
        if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
            return std::nullopt;
        // The engine's own first-open and session properties are left out.
        Dictionary properties = future.get();
        for (const char* automatic : {"_fi", "_fot", "_sid", "_sno"}) properties.remove(automatic);
        return properties;
    }

    TempHome home_;
};
