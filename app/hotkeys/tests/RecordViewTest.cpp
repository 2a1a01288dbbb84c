#include "app/hotkeys/RecordView.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/appkit/NSWindow.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/input/InputSources.h"
#include "platform/input/Keyboard.h"

namespace {

constexpr std::uint16_t keyCodeA = 0;
constexpr std::uint16_t keyCodeK = 40;
constexpr std::uint16_t keyCodeF5 = 96;

// Records what the recorder tells it; may refuse to begin.
class RecordingDelegate : public RecordViewDelegate {
  public:
    bool recordViewShouldBeginRecording(RecordView&) override { return allowBegin; }
    bool recordViewCanRecordKeyCombo(RecordView&, const std::shared_ptr<KeyCombo>&) override {
        return true;
    }
    void recordViewDidChangeKeyCombo(RecordView&, const std::shared_ptr<KeyCombo>& combo) override {
        calls.push_back(combo ? "delegate " + combo->description() : "delegate none");
    }
    void recordViewDidEndRecording(RecordView&) override { calls.push_back("end"); }

    bool allowBegin = true;
    std::vector<std::string> calls;
};

class RecordViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        sim::Keyboard::reset();
        window_ = std::make_shared<NSWindow>(NSRect{{0, 0}, {300, 100}}, NSWindowStyleMaskTitled,
                                             NSBackingStoreType::buffered, false);
        window_->setContentView(std::make_shared<NSView>());
        recorder_ = RecordView::make({{10, 10}, {240, 32}});
        window_->contentView()->addSubview(recorder_);
        delegate_ = std::make_shared<RecordingDelegate>();
        recorder_->setDelegate(delegate_);
        recorder_->setDidChange([this](const std::shared_ptr<KeyCombo>& combo) {
            delegate_->calls.push_back(combo ? "didChange " + combo->description()
                                             : "didChange none");
        });
    }
    void TearDown() override { sim::MainLoop::runUntilIdle(); }

    void keyDown(std::uint16_t code, NSEventModifierFlags flags) {
        time_ += 0.05;
        window_->sendEvent(NSEvent::keyEvent(NSEventType::keyDown, flags, time_, code));
    }
    void flagsChanged(NSEventModifierFlags flags) {
        time_ += 0.05;
        window_->sendEvent(NSEvent::keyEvent(NSEventType::flagsChanged, flags, time_, 58));
    }
    std::vector<std::string> litSymbols() {
        recorder_->display();
        std::vector<std::string> lit;
        for (const auto& s : recorder_->lastDrawing().symbols)
            if (s.color == recorder_->tintColor()) lit.push_back(s.text);
        return lit;
    }

    std::shared_ptr<NSWindow> window_;
    std::shared_ptr<RecordView> recorder_;
    std::shared_ptr<RecordingDelegate> delegate_;
    double time_ = 100;
};

TEST_F(RecordViewTest, RecordsAKeyWithModifiersReportsItAndEndsTheRecording) {
    ASSERT_TRUE(recorder_->beginRecording());
    EXPECT_TRUE(recorder_->isRecording());
    ASSERT_TRUE(recorder_->focusRingMask());
    EXPECT_EQ(recorder_->focusRingMask()->rect, recorder_->bounds());
    keyDown(keyCodeK, NSEventModifierFlagShift | NSEventModifierFlagCommand);
    EXPECT_FALSE(recorder_->isRecording());
    EXPECT_FALSE(recorder_->focusRingMask());
    ASSERT_NE(recorder_->keyCombo(), nullptr);
    const auto text = recorder_->keyCombo()->description();
    EXPECT_EQ(delegate_->calls,
              (std::vector<std::string>{"didChange " + text, "delegate " + text, "end"}));
    EXPECT_EQ(litSymbols(), (std::vector<std::string>{"⇧", "⌘"}));
    EXPECT_EQ(recorder_->lastDrawing().keyText, "K");
    EXPECT_EQ(recorder_->lastDrawing().fontSize, 18);  // floor(32 / 1.7)
}

TEST_F(RecordViewTest, TheKeyShowsInCapitalsOnEveryLayout) {
    struct Case {
        const char* layout;
        std::uint16_t keyCode;
        const char* shown;
    };
    const Case cases[] = {
        {"com.apple.keylayout.US", keyCodeK, "K"},
        {"com.apple.keylayout.German", 41, "Ö"},
        {"com.apple.keylayout.French", 19, "É"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        ASSERT_TRUE(sim::InputSources::enable(c.layout));
        ASSERT_TRUE(sim::InputSources::select(c.layout));
        ASSERT_TRUE(recorder_->beginRecording());
        keyDown(c.keyCode, NSEventModifierFlagOption | NSEventModifierFlagCommand);
        ASSERT_FALSE(recorder_->isRecording());
        recorder_->display();
        EXPECT_EQ(recorder_->lastDrawing().keyText, c.shown);
    }
    sim::InputSources::reset();
}

TEST_F(RecordViewTest, APlainLetterIsNotTakenButAnFKeyAloneIs) {
    ASSERT_TRUE(recorder_->beginRecording());
    keyDown(keyCodeA, 0);
    EXPECT_TRUE(recorder_->isRecording());
    EXPECT_EQ(recorder_->keyCombo(), nullptr);
    keyDown(keyCodeF5, 0);
    EXPECT_FALSE(recorder_->isRecording());
    ASSERT_NE(recorder_->keyCombo(), nullptr);
    EXPECT_NE(recorder_->keyCombo()->modifiers() & 0x800000, 0);  // the function flag
}

TEST_F(RecordViewTest, ADoubleTappedModifierIsRecordedAsADoubleTap) {
    ASSERT_TRUE(recorder_->beginRecording());
    flagsChanged(NSEventModifierFlagOption);
    EXPECT_EQ(litSymbols(), std::vector<std::string>{"⌥"});  // held, while nothing is recorded
    flagsChanged(0);
    flagsChanged(NSEventModifierFlagOption);
    EXPECT_FALSE(recorder_->isRecording());
    ASSERT_NE(recorder_->keyCombo(), nullptr);
    EXPECT_TRUE(recorder_->keyCombo()->doubledModifiers());
    EXPECT_EQ(litSymbols(), std::vector<std::string>{"⌥"});
    EXPECT_EQ(recorder_->lastDrawing().keyText, "double tap");
}

TEST_F(RecordViewTest, ARefusingDelegateKeepsTheViewIdleWithABeep) {
    delegate_->allowBegin = false;
    const int beeps = sim::Keyboard::beepCount();
    EXPECT_FALSE(recorder_->beginRecording());
    EXPECT_FALSE(recorder_->isRecording());
    EXPECT_EQ(sim::Keyboard::beepCount(), beeps + 1);
}

TEST_F(RecordViewTest, TheClearButtonRemovesTheCombinationAndEndsTheRecording) {
    recorder_->setClearButtonMode(ClearButtonMode::whenRecorded);
    ASSERT_TRUE(recorder_->beginRecording());
    keyDown(keyCodeK, NSEventModifierFlagCommand);
    recorder_->display();
    ASSERT_FALSE(recorder_->clearButton()->isHidden());
    ASSERT_TRUE(recorder_->beginRecording());
    delegate_->calls.clear();
    ASSERT_TRUE(recorder_->clearButton()->performClick());
    EXPECT_EQ(delegate_->calls,
              (std::vector<std::string>{"didChange none", "delegate none", "end"}));
    EXPECT_FALSE(recorder_->isRecording());
    recorder_->display();
    EXPECT_TRUE(recorder_->clearButton()->isHidden());
    // Its frame: side s / 1.2 at the right end.
    const double s = 32 / 1.7, m = (32 - s) / 2.6, c = s / 1.2;
    EXPECT_NEAR(recorder_->clearButton()->frame().origin.x, 240 - c - 1.5 * m - 1, 1e-9);
    EXPECT_NEAR(recorder_->clearButton()->frame().size.width, c, 1e-9);
}

TEST_F(RecordViewTest, ANarrowViewDrawsNoKeyTextAndADisabledOneEndsItsRecording) {
    ASSERT_TRUE(recorder_->beginRecording());
    keyDown(keyCodeK, NSEventModifierFlagCommand);
    recorder_->setFrameSize({90, 32});
    recorder_->display();
    EXPECT_FALSE(recorder_->lastDrawing().keyText);
    EXPECT_EQ(recorder_->lastDrawing().symbols.size(), 4u);

    recorder_->setFrameSize({240, 32});
    ASSERT_TRUE(recorder_->beginRecording());
    recorder_->setKeyCombo(KeyCombo::init(Key::k, NSEventModifierFlagCommand));
    recorder_->setEnabled(false);
    EXPECT_FALSE(recorder_->isRecording());
    EXPECT_FALSE(recorder_->beginRecording());
    recorder_->display();
    for (const auto& symbol : recorder_->lastDrawing().symbols)
        EXPECT_EQ(symbol.color, recorder_->textColorDisabled());
    EXPECT_EQ(recorder_->lastDrawing().keyColor->description(),
              NSColor::disabledControlTextColor()->description());
}

}  // namespace
