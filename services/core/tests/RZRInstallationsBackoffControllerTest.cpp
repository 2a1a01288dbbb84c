#include "services/core/RZRInstallationsBackoffController.h"

#include <gtest/gtest.h>

namespace {

using Event = RZRInstallationsBackoffEvent;

struct Gate {
    double now = 1000;
    RZRInstallationsBackoffController controller{[this] { return now; }};
};

TEST(RZRInstallationsBackoffControllerTest, IntervalsFollowTheOutcomes) {
    Gate gate;
    EXPECT_TRUE(gate.controller.isNextRequestAllowed());

    gate.controller.registerEvent(Event::UnrecoverableFailure);
    gate.now += 86399.9;
    EXPECT_FALSE(gate.controller.isNextRequestAllowed());
    gate.now += 0.1;
    EXPECT_TRUE(gate.controller.isNextRequestAllowed());

    // Recoverable failures in a row: 2^n plus up to 999 ms, capped at 1800 s.
    for (std::int64_t n = 1; n <= 12; ++n) {
        gate.controller.registerEvent(Event::RecoverableFailure);
        auto last = gate.controller.lastEventData();
        ASSERT_EQ(last->eventCount(), n);
        const double base = n >= 11 ? 1800.0 : static_cast<double>(1LL << n);
        if (n >= 11) {
            EXPECT_EQ(last->backoffTimeInterval(), 1800.0);
        } else {
            EXPECT_GE(last->backoffTimeInterval(), base);
            EXPECT_LT(last->backoffTimeInterval(), base + 1.0);
        }
        EXPECT_FALSE(gate.controller.isNextRequestAllowed());
    }
    gate.controller.registerEvent(Event::Success);
    EXPECT_TRUE(gate.controller.isNextRequestAllowed());
    gate.controller.registerEvent(Event::RecoverableFailure);
    EXPECT_EQ(gate.controller.lastEventData()->eventCount(), 1);
    EXPECT_LT(gate.controller.lastEventData()->backoffTimeInterval(), 3.0);
}

TEST(RZRInstallationsBackoffControllerTest, AClockThatGoesBackDoesNotLockRequestsOut) {
    Gate gate;
    gate.controller.registerEvent(Event::Success);
    gate.now -= 3600;  // the clock is set back an hour
    EXPECT_TRUE(gate.controller.isNextRequestAllowed());

    gate.controller.registerEvent(Event::RecoverableFailure);  // at now
    gate.now -= 86400 * 365.0;
    EXPECT_FALSE(gate.controller.isNextRequestAllowed());
    // The wait counts from the moment the jump was seen: one interval at most.
    gate.now += 3.0;
    EXPECT_TRUE(gate.controller.isNextRequestAllowed());
}

}  // namespace
