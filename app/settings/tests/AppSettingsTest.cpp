#include "app/settings/AppSettings.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/settings/tests/SettingsTestSupport.h"

namespace {
using AppSettings = SettingsTest;
using K = Defaults::Keys;
}  // namespace

TEST_F(AppSettings, EveryKeyHasItsDefaultOnAnEmptyStore) {
    EXPECT_FALSE(Defaults::get(K::devicesMuted()));
    EXPECT_FALSE(Defaults::get(K::originalMuteValue()));
    EXPECT_EQ(Defaults::get(K::keyCode()), 46);
    EXPECT_EQ(Defaults::get(K::keyCodeString()), "M");
    EXPECT_TRUE(Defaults::get(K::keyEnabled()));
    EXPECT_FALSE(Defaults::get(K::keyDoubleModifiers()));
    EXPECT_EQ(Defaults::get(K::keyModifiers()), 768);
    EXPECT_EQ(Defaults::get(K::keyModifiersString()), "⇧⌘");
    EXPECT_FALSE(Defaults::get(K::hasOpenedMicStatusWindow()));
    EXPECT_FALSE(Defaults::get(K::showStatusWindow()));
    EXPECT_FALSE(Defaults::get(K::hasShownStatusWindowOnboardingText()));
    EXPECT_TRUE(Defaults::get(K::statusWindowHelpTextAnimation()));
    EXPECT_FALSE(Defaults::get(K::rightClickShowsMenu()));
    EXPECT_FALSE(Defaults::get(K::collectData()));
    EXPECT_FALSE(Defaults::get(K::hasCompletedOnboarding()));
    EXPECT_EQ(Defaults::get(K::menubarIcon()), 1);
    EXPECT_FALSE(Defaults::get(K::muteNotifications()));
    EXPECT_EQ(Defaults::get(K::pushToTalk()), 0);
    EXPECT_TRUE(Defaults::get(K::startOnLogin()));
    EXPECT_EQ(Defaults::get(K::leftClickAction()), 0);
    EXPECT_EQ(Defaults::get(K::rightClickAction()), 1);
    EXPECT_TRUE(Defaults::get(K::aggregateDeviceWarnings()).empty());
    EXPECT_FALSE(Defaults::get(K::bluetoothWarningSeen()));
    EXPECT_FALSE(Defaults::get(K::bluetoothWorkaroundNoticeSeen()));
    EXPECT_TRUE(Defaults::get(K::deviceWarnings()).empty());
    EXPECT_FALSE(Defaults::get(K::useBluetoothHogMode()).has_value());
    EXPECT_FALSE(Defaults::get(K::useBluetoothWorkaround()).has_value());
    EXPECT_TRUE(Defaults::get(K::displaysSentToAnalytics()).empty());
    EXPECT_TRUE(Defaults::get(K::devicesSentToAnalytics()).empty());
    EXPECT_TRUE(Defaults::get(K::SUEnableAutomaticChecks()));

    // Registered, so a direct reader of the store sees the same defaults.
    auto standard = NSUserDefaults::standardUserDefaults();
    EXPECT_EQ(standard->objectForKey("keyModifiers"), Value(768));
    EXPECT_EQ(standard->objectForKey("deviceWarnings"), Value("[]"));
    EXPECT_FALSE(standard->objectForKey("useBluetoothHogMode"));
}

TEST_F(AppSettings, DoubledShortcutTextSaysTwice) {
    EXPECT_EQ(keyModifiersDisplayString(optionKey, true), "⌥ (twice)");
    EXPECT_EQ(keyModifiersDisplayString(0x1B00, false), "⌃⌥⇧⌘");
}

TEST_F(AppSettings, ListsAreStoredAsJSONText) {
    Defaults::modify(K::deviceWarnings(), [](auto& list) { list.push_back("USBAudio:1"); });
    EXPECT_EQ(NSUserDefaults::standardUserDefaults()->objectForKey("deviceWarnings"),
              Value("[\"USBAudio:1\"]"));
}

TEST_F(AppSettings, AValueWrittenByOneProcessIsReadByTheNext) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Defaults::set(K::devicesMuted(), true);
        Defaults::set(K::pushToTalk(), std::int64_t{2});
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    NSUserDefaults::resetForTesting();
    EXPECT_TRUE(Defaults::get(K::devicesMuted()));
    EXPECT_EQ(Defaults::get(K::pushToTalk()), 2);
}

TEST(SettingEnums, RawConstructionAndStoredInterpretation) {
    EXPECT_EQ(pushToTalkFromRaw(2), PushToTalk::holdToMute);
    EXPECT_FALSE(pushToTalkFromRaw(5));
    EXPECT_FALSE(clickActionFromRaw(-1));
    EXPECT_FALSE(menubarIconFromRaw(2));
    EXPECT_EQ(interpretPushToTalk(5), PushToTalk::disabled);
    EXPECT_EQ(interpretPushToTalk(1), PushToTalk::holdToSpeak);
    EXPECT_EQ(interpretClickAction(7), ClickAction::showMenu);
    EXPECT_EQ(interpretClickAction(2), ClickAction::toggleStatusWindow);
    EXPECT_EQ(interpretMenubarIcon(2), MenubarIcon::color);
    EXPECT_EQ(interpretMenubarIcon(0), MenubarIcon::monochrome);
    auto defaults = clickActionsFor(false);
    EXPECT_EQ(defaults.left, ClickAction::showMenu);
    EXPECT_EQ(defaults.right, ClickAction::toggleMute);
    auto swapped = clickActionsFor(true);
    EXPECT_EQ(swapped.left, ClickAction::toggleMute);
    EXPECT_EQ(swapped.right, ClickAction::showMenu);
}
