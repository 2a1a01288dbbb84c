#pragma once
// A temporary home on the virtual clock, with the monitor's lines cleared.
// Analytics starts once per process, so each test starts it itself.

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

class AnalyticsTest : public ::testing::Test {
  protected:
    void SetUp() override {
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
        for (const auto& event : APMAnalytics::loggedEvents()) out.push_back(event.name);
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
        return future.get();
    }

    TempHome home_;
};
