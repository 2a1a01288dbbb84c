#include "platform/swiftui/NSHostingView.h"

#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"

namespace {

// An observable setting, as the application's settings wrappers are.
struct Setting : ObservableObject {
    int value = 0;
    void set(int v) {
        objectWillChange()->send();
        value = v;
    }
    Binding<int> binding() {
        return Binding<int>([this] { return value; }, [this](const int& v) { set(v); });
    }
};

struct Panel {
    std::shared_ptr<Setting> mode;
    std::shared_ptr<Setting> flag;
    State<bool> showBuild{false};
    int* opened;

    std::vector<std::shared_ptr<ObservableObject>> observedObjects() const { return {mode, flag}; }
    View body() const {
        bool on = flag->value != 0;
        State<bool> build = showBuild;
        int* count = opened;
        auto flagSetting = flag;
        return VStack(
            HorizontalAlignment::leading, std::nullopt,
            {Picker("Push-to-talk settings", mode->binding(),
                    {HStack({Text("Disabled")}).tag(0), HStack({Text("Hold to speak")}).tag(1),
                     HStack({Text("Hold to mute")}).tag(2)})
                 .labelsHidden()
                 .disabled(on),
             Toggle("Double tap",
                    Binding<bool>([flagSetting] { return flagSetting->value != 0; },
                                  [flagSetting](const bool& v) { flagSetting->set(v ? 1 : 0); })),
             Button(build.wrappedValue() ? "Build 42" : "Version 1.0",
                    [build] { build.setWrappedValue(!build.wrappedValue()); })
                 .buttonStyle(PlainButtonStyle()),
             Button("Learn more.", [count] { ++*count; })
                 .buttonStyle(LinkButtonStyle())
                 .accessibilityLabel("Help link"),
             Text(on ? "Not available" : "Available")
                 .opacity(on ? 0 : 1)
                 .animation(Animation::easeInOut(1), on)});
    }
};

}  // namespace

TEST(NSHostingView, ControlsActByLabelAndTheTreeFollowsObservedObjects) {
    int opened = 0;
    auto mode = std::make_shared<Setting>();
    auto flag = std::make_shared<Setting>();
    auto h = std::make_shared<NSHostingView>(View(Panel{mode, flag, State<bool>(false), &opened}));
    h->setFrame({{0, 0}, {460, 240}});
    auto* picker = h->find("Push-to-talk settings");
    ASSERT_NE(picker, nullptr);
    EXPECT_EQ(picker->selectedTitle(), "Disabled");
    EXPECT_EQ(picker->frame().size.height, 22);

    EXPECT_TRUE(h->pick("Push-to-talk settings", "Hold to mute"));
    EXPECT_EQ(mode->value, 2);
    EXPECT_EQ(h->find("Push-to-talk settings")->selectedTag(), 2);
    EXPECT_FALSE(h->pick("Push-to-talk settings", "Sometimes"));

    // A change from elsewhere redraws on the next turn of the main queue.
    auto before = h->updateCount();
    mode->set(7);
    EXPECT_TRUE(h->needsUpdate());
    sim::MainLoop::runUntilIdle();
    EXPECT_EQ(h->updateCount(), before + 1);
    EXPECT_EQ(h->find("Push-to-talk settings")->selectedTitle(), std::nullopt);

    EXPECT_TRUE(h->toggle("Double tap"));
    EXPECT_EQ(flag->value, 1);
    EXPECT_TRUE(h->find("Push-to-talk settings")->isDisabled());
    EXPECT_FALSE(h->pick("Push-to-talk settings", "Disabled"));  // disabled: refused
    EXPECT_EQ(mode->value, 7);

    EXPECT_TRUE(h->click("Version 1.0"));  // view state flips and redraws
    EXPECT_NE(h->find("Build 42"), nullptr);
    EXPECT_TRUE(h->click("Build 42"));
    EXPECT_NE(h->find("Version 1.0"), nullptr);
    EXPECT_TRUE(h->click("Help link"));  // by accessibility label
    EXPECT_TRUE(h->click("Learn more."));
    EXPECT_EQ(opened, 2);
    EXPECT_FALSE(h->click("Nothing like it"));
    EXPECT_EQ(h->find("Learn more.")->buttonStyle(), "link");
}

TEST(NSHostingView, OpacityChangesAnimateOnTheClock) {
    sim::useVirtualClock();
    int opened = 0;
    auto mode = std::make_shared<Setting>();
    auto flag = std::make_shared<Setting>();
    auto h = std::make_shared<NSHostingView>(View(Panel{mode, flag, State<bool>(false), &opened}));
    h->setFrame({{0, 0}, {460, 240}});
    auto opacityOf = [&] { return h->find("Available")->ancestor("opacity"); };
    EXPECT_EQ(opacityOf()->presentedOpacity(), 1);
    flag->set(1);
    sim::MainLoop::runUntilIdle();
    auto* fading = h->find("Not available")->ancestor("opacity");
    EXPECT_EQ(fading->opacity(), 0);
    EXPECT_DOUBLE_EQ(fading->presentedOpacity(), 1);
    sim::advanceAndRun(sim::seconds(0.5));
    EXPECT_DOUBLE_EQ(fading->presentedOpacity(), 0.5);  // half way on the ease-in-out curve
    sim::advanceAndRun(sim::seconds(0.6));
    EXPECT_DOUBLE_EQ(fading->presentedOpacity(), 0);
    EXPECT_DOUBLE_EQ(h->find("Not available")->effectiveOpacity(), 0);
    sim::useRealClock();
}

TEST(NSHostingView, DumpPrintsOneIndentedLinePerNode) {
    auto h = std::make_shared<NSHostingView>(
        View(VStack(HorizontalAlignment::center, 0,
                    {Text(std::string("On Air"))
                         .font(Font::system(18, FontWeight::heavy))
                         .foregroundColor(Color::rgb(181 / 255.0, 14 / 255.0, 14 / 255.0)),
                     Image("status-window-mic-on", "Mic icon").padding(Edge::leading, 5)})));
    h->setFrame({{0, 0}, {144, 64}});
    EXPECT_EQ(h->dump(),
              "VStack(alignment: center, spacing: 0) [39.6 5.2 64.8 53.6]\n"
              "  foregroundColor(#B50E0E) [39.6 5.2 64.8 21.6]\n"
              "    font(system 18 heavy) [39.6 5.2 64.8 21.6]\n"
              "      Text(\"On Air\", font: system 18 heavy, color: #B50E0E) [39.6 5.2 64.8 21.6]\n"
              "  padding(top: 0, leading: 5, bottom: 0, trailing: 0) [53.5 26.8 37 32]\n"
              "    Image(\"status-window-mic-on\", label: \"Mic icon\") [58.5 26.8 32 32]\n");
}

TEST(NSHostingView, WindowsHostContentThatLimitsLiveResize) {
    auto window =
        std::make_shared<NSPanel>(NSRect{{0, 0}, {144, 64}},
                                  NSWindowStyleMaskResizable | NSWindowStyleMaskFullSizeContentView,
                                  NSBackingStoreType::buffered, false);
    bool on = false;
    window->setContentView(std::make_shared<NSHostingView>(
        View(VStack({Toggle("Show notification on mute toggle",
                            Binding<bool>([&] { return on; }, [&](const bool& v) { on = v; }))})
                 .frame(FlexibleFrame{
                     .minWidth = 108, .maxWidth = 432, .minHeight = 48, .maxHeight = 192}))));
    window->setTitle("Status");
    window->orderFront(nullptr);
    EXPECT_EQ(sim::Windows::find("Status"), window);
    EXPECT_TRUE(sim::Views::toggle(*window, "Show notification on mute toggle"));
    EXPECT_TRUE(on);
    EXPECT_NE(sim::Views::dump(*window).find("Toggle(\"Show notification on mute toggle\", on"),
              std::string::npos);
    EXPECT_EQ(sim::Windows::resize(*window, {1000, 1000}), (NSSize{432, 192}));
    EXPECT_EQ(sim::Views::host(*window)->root()->frame().size, (NSSize{432, 192}));
    EXPECT_EQ(sim::Windows::resize(*window, {10, 10}), (NSSize{108, 48}));
    EXPECT_FALSE(sim::Views::click(*window, "Show notification on mute toggle"));  // not a button
    window->close();
    sim::Windows::reset();
}
