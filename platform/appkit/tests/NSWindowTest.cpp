#include "platform/appkit/NSWindow.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/appkit/NSApplication.h"
#include "platform/bundle/Home.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/input/Keyboard.h"

namespace {

// A delegate made at run time, as the application's delegates are.
class Recorder : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<Recorder>("WindowTestRecorder")
                .method("windowWillClose:",
                        [](Recorder& r, const id&) { r.calls.push_back("close"); })
                .method("windowDidMove:", [](Recorder& r, const id&) { r.calls.push_back("move"); })
                .method("windowDidResize:",
                        [](Recorder& r, const id&) { r.calls.push_back("resize"); })
                .method("windowWillStartLiveResize:",
                        [](Recorder& r, const id&) { r.calls.push_back("start"); })
                .method("windowDidEndLiveResize:",
                        [](Recorder& r, const id& window) {
                            r.calls.push_back("end");
                            r.last = std::dynamic_pointer_cast<NSWindow>(window);
                        })
                .method("windowShouldClose:",
                        [](Recorder& r, const id&) {
                            r.calls.push_back("should");
                            return r.allowClose;
                        })
                .conformsTo(NSWindow::delegateProtocol())
                .registerClass();
        return cls;
    }
    Recorder() : RuntimeObject(runtimeClass()) {}
    std::vector<std::string> calls;
    bool allowClose = true;
    std::shared_ptr<NSWindow> last;
};

// A panel that tells a click from a drag, as the status window does.
class DragPanel : public NSPanel {
  public:
    DragPanel()
        : NSPanel({{100, 100}, {144, 64}},
                  NSWindowStyleMaskClosable | NSWindowStyleMaskResizable |
                      NSWindowStyleMaskNonactivatingPanel | NSWindowStyleMaskFullSizeContentView,
                  NSBackingStoreType::buffered, false) {}
    void mouseDragged(const std::shared_ptr<NSEvent>& event) override {
        deltas.push_back({event->deltaX(), event->deltaY()});
    }
    void mouseUp(const std::shared_ptr<NSEvent>& event) override {
        ups.push_back(event->locationInWindow());
    }
    std::vector<NSPoint> deltas;
    std::vector<NSPoint> ups;
};

class FocusView : public NSView {
  public:
    bool acceptsFirstResponder() const override { return true; }
    void mouseDown(const std::shared_ptr<NSEvent>&) override { ++downs; }
    bool resignFirstResponder() override {
        ++resigns;
        return NSView::resignFirstResponder();
    }
    int downs = 0;
    int resigns = 0;
};

class NSWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = std::filesystem::temp_directory_path() /
                ("lumbrel-window-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(home_);
        override_ = std::make_unique<sim::ScopedHomeOverride>(home_.string());
        NSUserDefaults::resetForTesting();
        sim::Windows::reset();
        sim::Screens::reset();
    }
    void TearDown() override {
        sim::Windows::reset();
        sim::Screens::reset();
        override_.reset();
        NSUserDefaults::resetForTesting();
        std::filesystem::remove_all(home_);
    }
    static std::shared_ptr<NSWindow> titled(NSRect content) {
        return std::make_shared<NSWindow>(content,
                                          NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                              NSWindowStyleMaskFullSizeContentView,
                                          NSBackingStoreType::buffered, false);
    }

    std::filesystem::path home_;
    std::unique_ptr<sim::ScopedHomeOverride> override_;
};

}  // namespace

TEST_F(NSWindowTest, FramesAreSavedUnderTheAutosaveNameAndRestored) {
    auto first = titled({{0, 0}, {460, 240}});
    EXPECT_EQ(first->frame().size, (NSSize{460, 268}));  // title bar on top
    first->setContentView(std::make_shared<NSView>());
    EXPECT_EQ(first->contentView()->frame().size, (NSSize{460, 268}));  // full-size content
    first->center();
    EXPECT_EQ(first->frame().origin, (NSPoint{526, (982 - 268) * 2.0 / 3}));
    ASSERT_TRUE(first->setFrameAutosaveName("Main Window"));
    first->makeKeyAndOrderFront(nullptr);
    first->setFrameOrigin({10, 20});
    EXPECT_EQ(*NSUserDefaults::standardUserDefaults()->stringForKey("NSWindow Frame Main Window"),
              "10 20 460 268 0 0 1512 982 ");

    auto rival = titled({{0, 0}, {100, 100}});
    EXPECT_FALSE(rival->setFrameAutosaveName("Main Window"));  // still open elsewhere
    first->close();

    NSUserDefaults::resetForTesting();  // as a new process would read it
    auto second = titled({{0, 0}, {460, 240}});
    second->center();
    ASSERT_TRUE(second->setFrameAutosaveName("Main Window"));
    EXPECT_EQ(second->frame(), (NSRect{{10, 20}, {460, 268}}));
}

TEST_F(NSWindowTest, DelegateHearsThroughTheRuntimeAndClosingReleasesOnlyWhenAsked) {
    auto delegate = std::make_shared<Recorder>();
    auto window = titled({{0, 0}, {200, 100}});
    auto panel = std::make_shared<DragPanel>();
    window->setDelegate(delegate);
    EXPECT_TRUE(delegate->conformsToProtocol(NSWindow::delegateProtocol()));
    window->makeKeyAndOrderFront(nullptr);
    panel->setLevel(NSFloatingWindowLevel);
    panel->orderFront(nullptr);
    window->orderFront(nullptr);
    EXPECT_EQ(sim::Windows::visible().front(), panel);  // floating stays above
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(NSApplication::sharedApplication()->keyWindow(), window);

    window->setFrame({{5, 5}, {300, 100}}, true);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"move", "resize"}));
    delegate->calls.clear();

    delegate->allowClose = false;
    EXPECT_TRUE(sim::Windows::clickCloseButton(*window) == false);
    EXPECT_TRUE(window->isVisible());
    delegate->allowClose = true;
    EXPECT_TRUE(sim::Windows::clickCloseButton(*window));
    window->close();  // already closed: nothing more
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"should", "should", "close"}));
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->isReleased());
    EXPECT_EQ(window->contentView(), nullptr);

    auto beeps = sim::Keyboard::beepCount();
    EXPECT_FALSE(sim::Windows::clickCloseButton(*std::make_shared<NSWindow>(
        NSRect{{0, 0}, {10, 10}}, NSWindowStyleMaskTitled, NSBackingStoreType::buffered, false)));
    EXPECT_EQ(sim::Keyboard::beepCount(), beeps + 1);  // no close button

    panel->close();
    EXPECT_FALSE(panel->isReleased());  // panels stay by default
    auto windows = NSApplication::sharedApplication()->windows();
    EXPECT_NE(std::find(windows.begin(), windows.end(), panel), windows.end());
    EXPECT_EQ(std::find(windows.begin(), windows.end(), window), windows.end());
}

TEST_F(NSWindowTest, DraggingMovesAWindowThatIsMovableByItsBackground) {
    auto panel = std::make_shared<DragPanel>();
    panel->setMovableByWindowBackground(true);
    panel->orderFront(nullptr);
    sim::Windows::drag(*panel, {110, 110}, {150, 90}, 2);
    EXPECT_EQ(panel->frame().origin, (NSPoint{140, 80}));
    // deltaY grows downwards, as on the platform.
    EXPECT_EQ(panel->deltas, (std::vector<NSPoint>{{20, 10}, {20, 10}}));
    ASSERT_EQ(panel->ups.size(), 1u);
    EXPECT_EQ(panel->ups[0], (NSPoint{10, 10}));  // in the window, which moved along

    panel->setMovableByWindowBackground(false);
    sim::Windows::drag(*panel, {150, 90}, {300, 300});
    EXPECT_EQ(panel->frame().origin, (NSPoint{140, 80}));  // no title bar to hold

    auto window = titled({{0, 0}, {200, 100}});
    window->orderFront(nullptr);
    sim::Windows::drag(*window, {50, 50}, {80, 50});  // content area: stays
    EXPECT_EQ(window->frame().origin, (NSPoint{0, 0}));
    sim::Windows::drag(*window, {50, 120}, {80, 140});  // title bar: moves
    EXPECT_EQ(window->frame().origin, (NSPoint{30, 20}));
}

TEST_F(NSWindowTest, AMouseDownOnAFocusableViewMakesItFirstResponder) {
    auto window = titled({{0, 0}, {200, 100}});
    auto content = std::make_shared<NSView>();
    window->setContentView(content);
    auto field = std::make_shared<FocusView>();
    field->setFrame({{10, 10}, {50, 20}});
    content->addSubview(field);
    EXPECT_EQ(window->firstResponder(), window);
    sim::Windows::click(*window, {20, 15});
    EXPECT_EQ(window->firstResponder(), field);
    EXPECT_EQ(field->downs, 1);
    window->makeFirstResponder(nullptr);
    EXPECT_EQ(window->firstResponder(), window);
}

TEST_F(NSWindowTest, ClosingAWindowTakesTheFocusFromItsView) {
    for (bool released : {true, false}) {
        auto window = titled({{0, 0}, {200, 100}});
        window->setReleasedWhenClosed(released);
        auto content = std::make_shared<NSView>();
        window->setContentView(content);
        auto field = std::make_shared<FocusView>();
        field->setFrame({{10, 10}, {50, 20}});
        content->addSubview(field);
        window->makeKeyAndOrderFront(nullptr);
        ASSERT_TRUE(window->makeFirstResponder(field));

        window->close();
        EXPECT_EQ(field->resigns, 1) << "released when closed: " << released;
        EXPECT_EQ(window->firstResponder(), window);
        window->close();  // closed already
        EXPECT_EQ(field->resigns, 1);
    }
}

TEST_F(NSWindowTest, LiveResizeKeepsTheAspectRatioAndTheLimits) {
    struct Case {
        NSSize proposed;
        NSSize expected;
    };
    const Case cases[] = {
        {{288, 10}, {288, 128}},  // height follows the width
        {{145, 64}, {145, 145 * 64.0 / 144}},
        {{50, 50}, {108, 48}},      // minimum
        {{1000, 500}, {432, 192}},  // maximum
    };
    for (const auto& c : cases) {
        auto panel = std::make_shared<DragPanel>();
        auto delegate = std::make_shared<Recorder>();
        panel->setDelegate(delegate);
        panel->setContentAspectRatio({144, 64});
        panel->setContentMinSize({108, 48});
        panel->setContentMaxSize({432, 192});
        double top = NSMaxY(panel->frame());
        NSSize got = sim::Windows::resize(*panel, c.proposed);
        EXPECT_DOUBLE_EQ(got.width, c.expected.width);
        EXPECT_DOUBLE_EQ(got.height, c.expected.height);
        EXPECT_DOUBLE_EQ(NSMaxY(panel->frame()), top);  // the top edge stays
        EXPECT_EQ(delegate->calls.front(), "start");
        EXPECT_EQ(delegate->calls.back(), "end");
        EXPECT_EQ(delegate->last, panel);
    }
}

TEST_F(NSWindowTest, ScreensAtAnyOriginDecideTheWindowsScreen) {
    sim::Screens::set({{"Left", {{-1920, 200}, {1920, 1080}}}, {"Main", {{0, 0}, {1512, 982}}}});
    auto window = titled({{-500, 300}, {400, 200}});
    ASSERT_NE(window->screen(), nullptr);
    EXPECT_EQ(window->screen()->localizedName(), "Left");
    window->setFrameOrigin({-100, 300});  // mostly on the main screen
    EXPECT_EQ(window->screen()->localizedName(), "Main");
    window->setFrameOrigin({5000, 5000});
    EXPECT_EQ(window->screen(), nullptr);
    window->setFrameOrigin({-1000, 400});
    window->center();  // on its own screen, from that screen's origin
    EXPECT_EQ(window->frame().origin.x, -1920 + (1920 - 400) / 2.0);
    EXPECT_EQ(window->frame().origin.y, 200 + (1080 - 228) * 2.0 / 3);
}
