#include "app/ui/AuxiliaryWindows.h"

#include <string>
#include <vector>

#include "app/settings/AppSettings.h"
#include "app/ui/OnboardingView.h"
#include "app/ui/Theme.h"
#include "app/ui/tests/WindowTestSupport.h"
#include "platform/appkit/AppKit.h"

namespace windowtest {
namespace {

using K = Defaults::Keys;

class AuxiliaryWindowsTest : public WindowsTest {
  protected:
    void TearDown() override {
        windows_.reset();
        WindowsTest::TearDown();
    }
    std::shared_ptr<AuxiliaryWindows> windows_ = std::make_shared<AuxiliaryWindows>();
};

TEST_F(AuxiliaryWindowsTest, PreferencesComeToTheFrontWhenOpenAndAreMadeAnewAfterClosing) {
    windows_->openPreferencesWindow();
    auto first = windows_->preferencesWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->title(), "Lumbrel Preferences");
    EXPECT_EQ(first->styleMask(), NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                      NSWindowStyleMaskFullSizeContentView);
    EXPECT_EQ(first->level(), NSFloatingWindowLevel);
    EXPECT_EQ(first->collectionBehavior(), NSWindowCollectionBehaviorCanJoinAllSpaces);
    EXPECT_EQ(first->frameAutosaveName(), "Main Window");
    EXPECT_FALSE(first->isReleasedWhenClosed());
    EXPECT_TRUE(first->isKeyWindow());
    EXPECT_EQ(first->firstResponder(), first);  // no control focused
    EXPECT_EQ(first->delegate()->className(), "Lumbrel.PreferencesWindowDelegate");
    // Never smaller than its page.
    auto host = sim::Views::host(*first);
    EXPECT_GE(first->frame().size.width, host->fittingSize().width);
    EXPECT_GE(first->frame().size.height, host->fittingSize().height);
    EXPECT_GE(first->frame().size.width, 460);

    first->orderOut(nullptr);
    windows_->openPreferencesWindow();
    EXPECT_EQ(windows_->preferencesWindow(), first);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(eventCount("_vs"), 2u);
    EXPECT_EQ(lastEventParameter("_vs", "_sn"), "Preferences");

    auto delegate = first->delegate();
    ASSERT_TRUE(sim::Windows::clickCloseButton(*first));
    EXPECT_FALSE(windows_->isPreferencesWindowOpen());
    windows_->openPreferencesWindow();
    EXPECT_NE(windows_->preferencesWindow(), first);
    EXPECT_NE(windows_->preferencesWindow()->delegate(), delegate);
    EXPECT_TRUE(windows_->isPreferencesWindowOpen());
}

TEST_F(AuxiliaryWindowsTest, TheAboutWindowShowsVersionThenBuildOnEachClick) {
    windows_->openAboutWindow();
    auto about = windows_->aboutWindow();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->title(), "About Lumbrel");
    EXPECT_EQ(about->frameAutosaveName(), "About");
    EXPECT_EQ(lastEventParameter("_vs", "_sn"), "About");
    auto host = sim::Views::host(*about);
    auto version = host->findAll([](const RenderNode& n) { return n.kind() == "Button"; });
    ASSERT_FALSE(version.empty());
    const std::string versionText = version[0]->text();
    EXPECT_EQ(versionText.rfind("Version ", 0), 0u) << versionText;
    ASSERT_TRUE(host->click(versionText));
    const std::string buildText =
        host->findAll([](const RenderNode& n) { return n.kind() == "Button"; })[0]->text();
    EXPECT_EQ(buildText.rfind("Build ", 0), 0u) << buildText;
    ASSERT_TRUE(host->click(buildText));
    EXPECT_NE(host->find(versionText), nullptr);

    // The logo keeps its proportions within 320 × 126.
    auto* logo = host->find("Lumbrel");
    ASSERT_NE(logo, nullptr);
    EXPECT_LE(logo->frame().size.width, 320);
    EXPECT_LE(logo->frame().size.height, 126);
    EXPECT_EQ(logo->frame().size.width, logo->frame().size.height);  // a square image

    windows_->openPreferencesWindow();
    windows_->closeAuxiliaryWindows();
    EXPECT_FALSE(windows_->isAboutWindowOpen());
    EXPECT_FALSE(windows_->isPreferencesWindowOpen());
    EXPECT_FALSE(about->isVisible());
}

struct LinkCase {
    const char* title;
    const char* url;
};

TEST_F(AuxiliaryWindowsTest, TheAboutLinksOpenTheirPages) {
    windows_->openAboutWindow();
    auto host = sim::Views::host(*windows_->aboutWindow());
    for (const auto& c : {LinkCase{"Help", "https://lumbrel.vantorel.com/help/?source=macApp"},
                          LinkCase{"Credits", "https://lumbrel.vantorel.com/credits?source=macApp"},
                          LinkCase{"Privacy", "https://lumbrel.vantorel.com/privacy?source=macApp"},
                          LinkCase{"Vantorel", "https://vantorel.com/"}}) {
        sim::Workspace::clear();
        ASSERT_TRUE(host->click(c.title)) << c.title;
        EXPECT_EQ(openedURLs(), std::vector<std::string>{c.url});
    }
    EXPECT_FALSE(host->click("·"));
}

struct OnboardingPlacement {
    NSRect screen;
    NSPoint expected;
};

TEST_F(AuxiliaryWindowsTest, OnboardingOpensTopRightOfItsScreenAndClosesWhenCompleted) {
    for (const auto& c : {OnboardingPlacement{{{0, 0}, {1440, 900}}, {940, 432}},
                          OnboardingPlacement{{{-1600, 300}, {1600, 1000}}, {-500, 832}}}) {
        SCOPED_TRACE(c.screen.origin.x);
        Defaults::set(K::hasCompletedOnboarding(), false);
        NSWindow::removeFrameUsingName("Onboarding Window");
        sim::Screens::set({{"Display", c.screen}});
        int finished = 0;
        windows_->openOnboardingWindow([&] { ++finished; });
        auto window = onboardingWindow();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->title(), "Welcome to Lumbrel!");
        EXPECT_EQ(window->styleMask() & NSWindowStyleMaskClosable, 0u);
        EXPECT_TRUE(window->isReleasedWhenClosed());
        EXPECT_EQ(window->frame().origin, c.expected);
        EXPECT_TRUE(windows_->isOnboardingWindowOpen());
        EXPECT_EQ(finished, 0);

        Defaults::set(K::hasCompletedOnboarding(), true);
        EXPECT_EQ(finished, 1);
        EXPECT_FALSE(window->isVisible());
        EXPECT_TRUE(window->isReleased());
        EXPECT_EQ(onboardingWindow(), nullptr);
        EXPECT_FALSE(windows_->isOnboardingWindowOpen());
        Defaults::set(K::hasCompletedOnboarding(), true);  // a later write finishes nothing
        EXPECT_EQ(finished, 1);
    }
}

TEST_F(AuxiliaryWindowsTest, OnboardingWhenAlreadyCompleteFinishesAtOnceWithoutAWindow) {
    Defaults::set(K::hasCompletedOnboarding(), true);
    int finished = 0;
    windows_->openOnboardingWindow([&] { ++finished; });
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(onboardingWindow(), nullptr);
    EXPECT_FALSE(windows_->isOnboardingWindowOpen());
    EXPECT_TRUE(sim::Windows::visible().empty());
    Defaults::set(K::hasCompletedOnboarding(), true);  // a later write finishes nothing
    EXPECT_EQ(finished, 1);
}

TEST_F(AuxiliaryWindowsTest, OpeningOnboardingAgainLeavesOneWindow) {
    Defaults::set(K::hasCompletedOnboarding(), false);
    int finished = 0;
    windows_->openOnboardingWindow([&] { ++finished; });
    auto first = onboardingWindow();
    ASSERT_NE(first, nullptr);
    windows_->openOnboardingWindow([&] { ++finished; });
    auto second = onboardingWindow();
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(first->isVisible()) << "the first window has no close button of its own";
    EXPECT_EQ(sim::Windows::visibleTitles(), std::vector<std::string>{"Welcome to Lumbrel!"});

    Defaults::set(K::hasCompletedOnboarding(), true);
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(sim::Windows::visible().empty());
}

// ---------------------------------------------------------------------------
// The onboarding pages.

class OnboardingViewTest : public WindowsTest {
  protected:
    std::shared_ptr<NSHostingView> host_ = host(View(OnboardingView()), {440, 440});
    RenderNode* image(const std::string& name) {
        return host_->root()->find(
            [&](const RenderNode& n) { return n.kind() == "Image" && n.text() == name; });
    }
    void continueTo(int page) {
        for (int i = 1; i < page; ++i) ASSERT_TRUE(host_->click("Continue"));
    }
};

TEST_F(OnboardingViewTest, FourPagesOneAfterTheOtherWithNoWayBack) {
    EXPECT_NE(host_->find("Welcome to Lumbrel"), nullptr);
    ASSERT_TRUE(host_->click("Continue"));
    EXPECT_NE(image("Onboarding-1"), nullptr);
    ASSERT_TRUE(host_->click("Learn more."));
    EXPECT_EQ(openedURLs(), std::vector<std::string>{
                                "https://lumbrel.vantorel.com/help/permissions?source=macApp"});
    ASSERT_TRUE(host_->click("Continue"));
    EXPECT_NE(host_->find("Your microphone is"), nullptr);
    ASSERT_TRUE(host_->click("Continue"));
    EXPECT_NE(host_->find("You're all set!"), nullptr);
    EXPECT_FALSE(host_->click("Continue"));
    // The footer bar is 440 × 32 on every page.
    auto* bar = up(host_->find("Don't Share"), "frame");
    while (bar && bar->frame().size.width != 440) bar = up(bar->parent(), "frame");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->frame().size, (NSSize{440, 32}));
    ASSERT_TRUE(host_->click("Read our privacy policy."));
    EXPECT_EQ(openedURLs().back(), "https://lumbrel.vantorel.com/privacy?source=macApp");
}

struct ShortcutPageCase {
    bool keyEnabled;
    const char* modifiers;
    const char* key;
    bool doubled;
    const char* pressRow;  // null: the row is absent
    const char* expanded;  // the argument of the expanded line
};

TEST_F(OnboardingViewTest, TheShortcutPageShowsTheStoredShortcutInSymbolsAndWords) {
    continueTo(3);
    for (const auto& c :
         {ShortcutPageCase{true, "⌥⌘", "M", false, "⌥⌘M", "Option + Command + M"},
          ShortcutPageCase{true, "⌃⇧", "K", false, "⌃⇧K", "Control + Shift + K"},
          ShortcutPageCase{true, "⌘ (twice)", "", true, "⌘ (twice)", "Command (twice)"},
          ShortcutPageCase{false, "⌥⌘", "M", false, nullptr, nullptr}}) {
        SCOPED_TRACE(c.modifiers);
        Defaults::set(K::keyEnabled(), c.keyEnabled);
        Defaults::set(K::keyModifiersString(), std::string(c.modifiers));
        Defaults::set(K::keyCodeString(), std::string(c.key));
        Defaults::set(K::keyDoubleModifiers(), c.doubled);
        settle();
        if (c.pressRow) {
            EXPECT_NE(host_->find("Press"), nullptr);
            EXPECT_NE(host_->find(c.pressRow), nullptr);
            EXPECT_EQ(expandedShortcutDescription(), c.expanded);
            EXPECT_NE(host_->find(std::string("(") + c.expanded + ")"), nullptr);
            EXPECT_EQ(host_->find("No shortcut assigned"), nullptr);
        } else {
            EXPECT_EQ(host_->find("Press"), nullptr);
            EXPECT_NE(host_->find("No shortcut assigned"), nullptr);
        }
    }
}

TEST_F(OnboardingViewTest, TheShortcutPageFollowsTheMuteStateLive) {
    continueTo(3);
    EXPECT_NE(host_->find("active."), nullptr);
    EXPECT_NE(host_->find("to mute."), nullptr);
    EXPECT_NE(image("colorMic-on-large"), nullptr);
    Defaults::set(K::devicesMuted(), true);
    Defaults::set(K::menubarIcon(), std::int64_t{0});
    settle();
    EXPECT_NE(host_->find("muted."), nullptr);
    EXPECT_NE(host_->find("to unmute."), nullptr);
    EXPECT_NE(image("monochromeMic-off-large"), nullptr);
}

TEST_F(OnboardingViewTest, TheLastPageWritesLaunchAtLoginAndFinishesWithOrWithoutSharing) {
    continueTo(4);
    ASSERT_TRUE(host_->toggle("Launch Lumbrel at login"));
    EXPECT_FALSE(Defaults::get(K::startOnLogin()));
    EXPECT_FALSE(Defaults::get(K::hasCompletedOnboarding()));

    ASSERT_TRUE(host_->click("Don't Share"));
    EXPECT_TRUE(Defaults::get(K::hasCompletedOnboarding()));
    EXPECT_FALSE(Defaults::get(K::collectData()));

    Defaults::set(K::hasCompletedOnboarding(), false);
    std::optional<bool> collectWhenCompleted;
    auto observation = Defaults::observe<bool>(K::hasCompletedOnboarding(),
                                               [&](const Defaults::KeyChange<bool>& change) {
                                                   if (change.newValue)
                                                       collectWhenCompleted =
                                                           Defaults::get(K::collectData());
                                               },
                                               {});
    ASSERT_TRUE(host_->click("Share & Continue"));
    EXPECT_EQ(collectWhenCompleted, true);
}

}  // namespace
}  // namespace windowtest
