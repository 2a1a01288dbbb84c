#include "app/ui/MicStatusWindow.h"

#include <vector>

#include "app/settings/AppSettings.h"
#include "app/ui/MicStatusView.h"
#include "app/ui/Theme.h"
#include "app/ui/tests/WindowTestSupport.h"
#include "platform/appkit/AppKit.h"
#include "platform/dispatch/MainLoop.h"

namespace windowtest {
namespace {

using K = Defaults::Keys;

class MicStatusWindowTest : public WindowsTest {
  protected:
    void SetUp() override {
        WindowsTest::SetUp();
        controller_ = std::make_shared<MicStatusWindowController>(
            MicStatusWindowActions{[this](bool muted) {
                                       mutes_.push_back(muted);
                                       Defaults::set(K::devicesMuted(), muted);
                                   },
                                   [this] { ++menuRefreshes_; }});
    }
    void TearDown() override {
        controller_.reset();
        WindowsTest::TearDown();
    }

    MicStatusWindow& open() {
        if (!controller_->isStatusWindowOpen()) controller_->toggleMicStatusWindow();
        return *controller_->statusWindow();
    }
    static NSPoint centre(const NSWindow& w) {
        return {w.frame().origin.x + w.frame().size.width / 2,
                w.frame().origin.y + w.frame().size.height / 2};
    }

    std::shared_ptr<MicStatusWindowController> controller_;
    std::vector<bool> mutes_;
    int menuRefreshes_ = 0;
};

TEST_F(MicStatusWindowTest, OpensAsAFloatingTranslucentPanelAndClosesThroughItsDelegate) {
    auto& window = open();
    EXPECT_EQ(window.className(), "Lumbrel.MicStatusWindow");
    EXPECT_EQ(window.styleMask(), 0x808Au);
    EXPECT_EQ(window.level(), NSFloatingWindowLevel);
    EXPECT_EQ(window.collectionBehavior(), NSWindowCollectionBehaviorCanJoinAllSpaces);
    EXPECT_FALSE(window.isOpaque());
    EXPECT_DOUBLE_EQ(window.alphaValue(), 0.98);
    EXPECT_TRUE(window.isMovableByWindowBackground());
    EXPECT_EQ(window.contentAspectRatio(), (NSSize{144, 64}));
    EXPECT_EQ(window.titleVisibility(), NSWindowTitleVisibility::hidden);
    EXPECT_EQ(window.frameAutosaveName(), "micStatus");
    EXPECT_EQ(window.delegate()->className(), "Lumbrel.MicStatusWindowDelegate");
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(Defaults::get(K::showStatusWindow()));
    EXPECT_EQ(menuRefreshes_, 1);  // showStatusWindow went from false to true

    controller_->toggleMicStatusWindow();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(controller_->isStatusWindowOpen());
    EXPECT_FALSE(Defaults::get(K::showStatusWindow()));
    EXPECT_EQ(menuRefreshes_, 2);
    EXPECT_EQ(eventCount("_vs"), 2u);
    EXPECT_EQ(lastEventParameter("_vs", "_sn"), "Status Window");
    EXPECT_EQ(lastEventParameter("_vs", "_sc"), "NSWindow");

    // The close button goes the same way; a new panel at the next opening.
    auto& second = open();
    EXPECT_NE(&second, &window);
    EXPECT_TRUE(sim::Windows::clickCloseButton(second));
    EXPECT_FALSE(controller_->isStatusWindowOpen());
    EXPECT_FALSE(Defaults::get(K::showStatusWindow()));
}

struct PlacementCase {
    NSRect screen;
    NSPoint expected;
};

TEST_F(MicStatusWindowTest, FirstOpeningPlacesItBottomRightOfItsOwnScreenThenTheSavedFrameWins) {
    for (const auto& c : {PlacementCase{{{0, 0}, {1440, 900}}, {1236, 64}},
                          PlacementCase{{{-1920, 200}, {1920, 1080}}, {-204, 264}}}) {
        SCOPED_TRACE(c.screen.origin.x);
        Defaults::Keys::hasOpenedMicStatusWindow().reset();
        NSWindow::removeFrameUsingName("micStatus");
        sim::Screens::set({{"Display", c.screen}});
        auto& window = open();
        EXPECT_EQ(window.frame().origin, c.expected);
        EXPECT_TRUE(Defaults::get(K::hasOpenedMicStatusWindow()));
        window.setFrameOrigin({c.screen.origin.x + 300, c.screen.origin.y + 400});
        controller_->toggleMicStatusWindow();
        auto& again = open();
        EXPECT_EQ(again.frame().origin,
                  (NSPoint{c.screen.origin.x + 300, c.screen.origin.y + 400}));
        controller_->toggleMicStatusWindow();
    }
}

TEST_F(MicStatusWindowTest, ASavedFrameOffEveryScreenIsBroughtBack) {
    open();
    controller_->statusWindow()->setFrameOrigin({5000, 5000});
    controller_->toggleMicStatusWindow();
    auto& window = open();
    EXPECT_EQ(window.frame().origin, (NSPoint{1236, 64}));
}

struct ClickCase {
    std::int64_t pushToTalk;
    double movement;  // of the one drag step
    bool toggles;
};

TEST_F(MicStatusWindowTest, AClickTogglesInToggleModeOnlyAndADragDoesNot) {
    auto& window = open();
    for (const auto& c : {ClickCase{0, 0, true}, ClickCase{0, 1, true}, ClickCase{0, 1.5, false},
                          ClickCase{1, 0, false}, ClickCase{2, 0, false}, ClickCase{7, 0, true}}) {
        SCOPED_TRACE(testing::Message() << c.pushToTalk << " " << c.movement);
        Defaults::set(K::pushToTalk(), c.pushToTalk);
        Defaults::set(K::devicesMuted(), false);
        mutes_.clear();
        auto before = eventCount("mic_muted");
        NSPoint p = centre(window);
        sim::Windows::mouseDown(window, p);
        sim::Windows::mouseDragged(window, {p.x + c.movement, p.y + c.movement});
        sim::Windows::mouseUp(window, {p.x + c.movement, p.y + c.movement});
        EXPECT_EQ(mutes_, c.toggles ? std::vector<bool>{true} : std::vector<bool>{});
        EXPECT_EQ(eventCount("mic_muted"), before + (c.toggles ? 1 : 0));
        if (c.toggles) {
            EXPECT_EQ(lastEventParameter("mic_muted", "source"), "Status Window");
        }
        EXPECT_FALSE(controller_->isDraggingStatusWindow());
    }
}

struct DragCase {
    NSRect screen;
    NSPoint dropOrigin;  // where the window's origin ends up after the drag
    NSPoint expected;
};

TEST_F(MicStatusWindowTest, ADragThatLeavesTheScreenEndsInACornerOfIt) {
    for (const auto& c : {
             DragCase{{{0, 0}, {1440, 900}}, {-50, 100}, {24, 64}},         // left, lower half
             DragCase{{{0, 0}, {1440, 900}}, {1400, 700}, {1236, 776}},     // right, upper half
             DragCase{{{1440, 0}, {1000, 800}}, {1400, 100}, {1464, 64}},   // screen not at 0
             DragCase{{{1440, 0}, {1000, 800}}, {2400, 600}, {2236, 676}},  // right of its middle
         }) {
        SCOPED_TRACE(testing::Message() << c.dropOrigin.x << "," << c.dropOrigin.y);
        sim::Screens::set({{"Display", c.screen}});
        settle();
        auto& window = open();
        window.setFrameOrigin({c.screen.origin.x + 200, c.screen.origin.y + 200});
        NSPoint from = centre(window);
        NSPoint to{from.x + c.dropOrigin.x - window.frame().origin.x,
                   from.y + c.dropOrigin.y - window.frame().origin.y};
        sim::Windows::drag(window, from, to);
        EXPECT_EQ(window.frame().origin, c.expected);
        EXPECT_TRUE(mutes_.empty());
        controller_->toggleMicStatusWindow();
    }
}

TEST_F(MicStatusWindowTest, ANarrowWindowOffTheLeftEdgeStopsAtTheEdge) {
    // Narrower than 120 points, "width - 120" would leave it off the screen.
    for (const NSRect screen : {NSRect{{0, 0}, {1440, 900}}, NSRect{{-1600, 0}, {1600, 1000}}}) {
        SCOPED_TRACE(screen.origin.x);
        sim::Screens::set({{"Display", screen}});
        settle();
        auto& window = open();
        EXPECT_EQ(sim::Windows::resize(window, {108, 48}), (NSSize{108, 48}));
        window.setFrameOrigin({screen.origin.x + 200, screen.origin.y + 200});
        NSPoint from = centre(window);
        sim::Windows::drag(window, from, {from.x - 260, from.y});
        EXPECT_EQ(window.frame().origin, (NSPoint{screen.origin.x, screen.origin.y + 48}));
        EXPECT_TRUE(mutes_.empty());
        controller_->toggleMicStatusWindow();
    }
}

TEST_F(MicStatusWindowTest, ScreenChangesPullTheWindowBackOntoItsScreen) {
    controller_->observeScreenParameterChanges();
    auto& window = open();
    window.setFrameOrigin({1300, 100});  // fits the big screen only
    sim::Screens::set({{"Small", {{0, 0}, {1280, 800}}}});
    settle();
    EXPECT_EQ(window.frame().origin, (NSPoint{1280 - 144 - 60, 64}));
    // A window left on no screen at all comes to the main one.
    window.setFrameOrigin({-3000, 100});
    sim::Screens::set({{"Other", {{0, 0}, {1280, 800}}}});
    settle();
    EXPECT_EQ(window.frame().origin, (NSPoint{24, 64}));
}

struct ResizeCase {
    double width;
    const char* compared;
    const char* reportedWidth;
};

TEST_F(MicStatusWindowTest, TheEndOfALiveResizeIsReportedWithTheWidthComparedToTheBase) {
    auto& window = open();
    for (const auto& c : {ResizeCase{144, "Same", "144"}, ResizeCase{145, "Larger", "145"},
                          ResizeCase{143.9, "Smaller", "143"}, ResizeCase{500, "Larger", "432"},
                          ResizeCase{50, "Smaller", "108"}}) {
        SCOPED_TRACE(c.width);
        NSSize taken = sim::Windows::resize(window, {c.width, c.width * 64 / 144});
        EXPECT_NEAR(taken.height / taken.width, 64.0 / 144, 1e-9);
        EXPECT_EQ(lastEventParameter("resize_status_window", "compared_to_original"), c.compared);
        EXPECT_EQ(lastEventParameter("resize_status_window", "width"), c.reportedWidth);
        EXPECT_EQ(lastEventParameter("resize_status_window", "height"),
                  std::to_string(static_cast<int>(taken.height)));
    }
}

TEST_F(MicStatusWindowTest, TheHelpTextTimersRunOncePerInstallation) {
    open();
    ASSERT_NE(controller_->helpTextTimer(), nullptr);
    controller_->toggleMicStatusWindow();  // closing does not stop them
    sim::advanceAndRun(sim::seconds(7.9));
    EXPECT_FALSE(Defaults::get(K::hasShownStatusWindowOnboardingText()));
    sim::advanceAndRun(sim::seconds(0.2));
    EXPECT_TRUE(Defaults::get(K::hasShownStatusWindowOnboardingText()));
    EXPECT_TRUE(Defaults::get(K::statusWindowHelpTextAnimation()));
    sim::advanceAndRun(sim::seconds(1));
    EXPECT_FALSE(Defaults::get(K::statusWindowHelpTextAnimation()));

    auto fresh = std::make_shared<MicStatusWindowController>(MicStatusWindowActions{});
    fresh->toggleMicStatusWindow();
    EXPECT_EQ(fresh->helpTextTimer(), nullptr);
    fresh->toggleMicStatusWindow();
}

// ---------------------------------------------------------------------------
// The content.

RenderNode* picture(NSHostingView& h) {
    return h.root()->find([](const RenderNode& n) { return n.kind() == "Image"; });
}

struct SizeCase {
    NSSize size;
    double picture;
    bool label;
    bool help;
    double rowTopPadding;
};

TEST_F(MicStatusWindowTest, TheContentScalesWithTheOfferedSize) {
    for (const auto& c :
         {SizeCase{{108, 48}, 37.8, false, false, 0}, SizeCase{{144, 64}, 25.2, true, false, 0},
          SizeCase{{162, 72}, 162 * 0.175, true, true, 12},
          SizeCase{{234, 104}, 234 * 0.175, true, true, 13}}) {
        SCOPED_TRACE(c.size.width);
        auto h = host(View(MicStatusView()), c.size);
        auto* image = picture(*h);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->text(), "status-window-mic-on");
        auto* frame = up(image, "frame");
        EXPECT_NEAR(frame->frame().size.width, c.picture, 1e-9);
        EXPECT_NEAR(frame->frame().size.height, c.picture, 1e-9);
        auto* label = h->find("ON AIR");
        EXPECT_EQ(label != nullptr, c.label);
        if (label) {
            EXPECT_DOUBLE_EQ(label->font().size, c.size.width * 0.125);
            EXPECT_EQ(label->font().weight, FontWeight::heavy);
            EXPECT_EQ(label->foregroundColor(), Color::fromNSColor(Theme::red()));
        }
        EXPECT_EQ(h->find("Tip: drag this window anywhere you like.") != nullptr, c.help);
        auto paddings = h->findAll([](const RenderNode& n) {
            return n.kind() == "padding" && n.padding().top > 0 && n.padding().leading == 0 &&
                   n.padding().bottom == 0;
        });
        double top = 0;
        for (auto* p : paddings) top += p->padding().top;
        EXPECT_NEAR(top, c.rowTopPadding, 1e-9);
    }
}

struct InstructionCase {
    std::int64_t pushToTalk;
    bool muted;
    bool keyEnabled;
    std::vector<std::string> texts;
};

TEST_F(MicStatusWindowTest, TheInstructionFollowsTheModeTheStateAndTheShortcut) {
    Defaults::set(K::keyModifiersString(), std::string("⌥⌘"));
    Defaults::set(K::keyCodeString(), std::string("M"));
    for (const auto& c : {InstructionCase{0, false, true, {"Click or press", "⌥⌘M", "to mute."}},
                          InstructionCase{0, true, true, {"Click or press", "⌥⌘M", "to unmute."}},
                          InstructionCase{1, true, true, {"Hold", "⌥⌘M", "to unmute."}},
                          InstructionCase{1, false, true, {"Release", "⌥⌘M", "to mute."}},
                          InstructionCase{2, false, true, {"Hold", "⌥⌘M", "to mute."}},
                          InstructionCase{2, true, true, {"Release", "⌥⌘M", "to unmute."}},
                          InstructionCase{1, true, false, {"Click to unmute."}},
                          InstructionCase{0, false, false, {"Click to mute."}},
                          InstructionCase{5, false, true, {}}}) {
        SCOPED_TRACE(testing::Message() << c.pushToTalk << c.muted << c.keyEnabled);
        Defaults::set(K::pushToTalk(), c.pushToTalk);
        Defaults::set(K::devicesMuted(), c.muted);
        Defaults::set(K::keyEnabled(), c.keyEnabled);
        auto h = host(View(MicStatusView()), {360, 160});
        auto* zstack = h->root()->find([](const RenderNode& n) { return n.kind() == "ZStack"; });
        ASSERT_NE(zstack, nullptr);
        std::vector<std::string> texts;
        for (auto* t : h->findAll([](const RenderNode& n) { return n.kind() == "Text"; }))
            if (up(t, "ZStack") && t->text() != "Tip: drag this window anywhere you like.")
                texts.push_back(t->text());
        EXPECT_EQ(texts, c.texts);
        EXPECT_EQ(h->find(c.muted ? "OFF AIR" : "ON AIR") != nullptr, true);
        EXPECT_EQ(picture(*h)->text(), c.muted ? "status-window-mic-off" : "status-window-mic-on");
    }
}

TEST_F(MicStatusWindowTest, TheTipFadesOutAndTheInstructionInOverOneSecond) {
    auto h = host(View(MicStatusView()), {360, 160});
    auto opacityOf = [&](const char* text) { return h->find(text)->effectiveOpacity(); };
    EXPECT_EQ(opacityOf("Tip: drag this window anywhere you like."), 1);
    EXPECT_EQ(opacityOf("Click or press"), 0);
    EXPECT_TRUE(h->find("Click or press")->isAccessibilityHidden());
    Defaults::set(K::hasShownStatusWindowOnboardingText(), true);
    settle();
    sim::advanceAndRun(sim::seconds(0.5));
    EXPECT_NEAR(opacityOf("Click or press"), 0.5, 1e-9);
    EXPECT_NEAR(opacityOf("Tip: drag this window anywhere you like."), 0.5, 1e-9);
    sim::advanceAndRun(sim::seconds(0.6));
    EXPECT_EQ(opacityOf("Click or press"), 1);
    EXPECT_EQ(opacityOf("Tip: drag this window anywhere you like."), 0);
    EXPECT_TRUE(h->find("Tip: drag this window anywhere you like.")->isAccessibilityHidden());

    // Once the follow-up has cleared the animation flag, changes are instant.
    Defaults::set(K::statusWindowHelpTextAnimation(), false);
    Defaults::set(K::hasShownStatusWindowOnboardingText(), false);
    settle();
    EXPECT_EQ(opacityOf("Click or press"), 0);
}

}  // namespace
}  // namespace windowtest
