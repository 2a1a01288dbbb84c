#include "app/hotkeys/ModifierEventHandler.h"

#include <gtest/gtest.h>

#include "platform/dispatch/MainLoop.h"

namespace {

constexpr NSEventModifierFlags cmd = NSEventModifierFlagCommand;
constexpr NSEventModifierFlags shift = NSEventModifierFlagShift;
constexpr NSEventModifierFlags opt = NSEventModifierFlagOption;

struct Step {
    int ms;
    NSEventModifierFlags flags;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
    std::vector<NSEventModifierFlags> reports;
};

class ModifierEventHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reports_.clear();
        sim::useVirtualClock();
        handler_ =
            ModifierEventHandler::init(std::chrono::milliseconds(300), DispatchQueue::main());
        handler_->setDoubleTapped([this](NSEventModifierFlags f) { reports_.push_back(f); });
        start_ = sim::Clock::now();
    }
    void TearDown() override {
        sim::advanceAndRun(std::chrono::seconds(1));
        sim::useRealClock();
    }
    void at(int ms, NSEventModifierFlags flags, double timestamp = -1) {
        const auto when = start_ + std::chrono::milliseconds(ms);
        if (when > sim::Clock::now()) sim::advanceAndRun(when - sim::Clock::now());
        handler_->handleModifiersEvent(flags, timestamp >= 0 ? timestamp : ms / 1000.0);
    }
    std::shared_ptr<ModifierEventHandler> handler_;
    std::vector<NSEventModifierFlags> reports_;
    sim::Time start_;
};

TEST_F(ModifierEventHandlerTest, Sequences) {
    const Sequence sequences[] = {
        {"double tap", {{0, cmd}, {80, 0}, {200, cmd}, {260, 0}}, {cmd}},
        {"second tap too late", {{0, cmd}, {80, 0}, {350, cmd}}, {}},
        {"chord release is swallowed",
         {{0, shift}, {20, shift | cmd}, {40, shift}, {60, 0}, {100, cmd}},
         {}},
        {"armed modifier survives a chord",
         {{0, cmd}, {20, cmd | shift}, {40, cmd}, {60, 0}, {100, cmd}},
         {cmd}},
        {"three taps report once", {{0, opt}, {50, 0}, {100, opt}, {150, 0}, {200, opt}}, {opt}},
        {"caps lock and function count for nothing",
         {{0, NSEventModifierFlagCapsLock}, {50, NSEventModifierFlagFunction}, {100, cmd}},
         {}},
        {"caps lock held while tapping",
         {{0, cmd | NSEventModifierFlagCapsLock},
          {50, NSEventModifierFlagCapsLock},
          {100, cmd | NSEventModifierFlagCapsLock}},
         {cmd}},
        {"another modifier re-arms", {{0, cmd}, {50, 0}, {100, opt}, {150, 0}, {200, opt}}, {opt}},
        // The clearing of the first tap (at 300) must not drop the tap at 250.
        {"earlier clearing keeps a later tap",
         {{0, opt}, {20, 0}, {250, cmd}, {270, 0}, {400, cmd}},
         {cmd}},
    };
    for (const auto& sequence : sequences) {
        SetUp();
        for (const auto& step : sequence.steps) at(step.ms, step.flags);
        EXPECT_EQ(reports_, sequence.reports) << sequence.name;
        TearDown();
    }
}

TEST_F(ModifierEventHandlerTest, OneEventSeenTwiceCountsOnce) {
    at(0, cmd, 5.0);
    at(0, cmd, 5.0);
    EXPECT_TRUE(reports_.empty());
    EXPECT_EQ(handler_->tappingModifierFlags(), cmd);
    at(100, cmd, 5.1);
    EXPECT_EQ(reports_, std::vector<NSEventModifierFlags>{cmd});
}

TEST_F(ModifierEventHandlerTest, ADoubleTapWithoutCallbackStillDisarms) {
    handler_->setDoubleTapped(nullptr);
    at(0, cmd);
    at(100, cmd);
    EXPECT_EQ(handler_->tappingModifierFlags(), 0u);
    at(150, shift | cmd);
    EXPECT_TRUE(handler_->isTappingMultiModifiers());
}

TEST_F(ModifierEventHandlerTest, AClearingAfterTheHandlerIsGoneDoesNothing) {
    at(0, cmd);
    std::weak_ptr<ModifierEventHandler> weak = handler_;
    handler_.reset();
    EXPECT_TRUE(weak.expired()) << "the pending clearing keeps the handler alive";
    // Lets the memory go too, so that a clearing touching it is caught.
    weak.reset();
    sim::advanceAndRun(std::chrono::milliseconds(400));
}

}  // namespace
