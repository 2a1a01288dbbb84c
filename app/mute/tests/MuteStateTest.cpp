#include <gtest/gtest.h>

#include "app/mute/LocalizedText.h"
#include "app/mute/MuteEventSource.h"
#include "app/mute/MuteState.h"
#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"

namespace mutetest {
namespace {

TEST(MuteStateTest, RawValuesAndAgreement) {
    EXPECT_EQ(muteStateFromRaw(0), MuteState::muted);
    EXPECT_EQ(muteStateFromRaw(2), MuteState::unmuted);
    EXPECT_FALSE(muteStateFromRaw(3));
    EXPECT_FALSE(muteStateFromRaw(-1));
    EXPECT_EQ(bluetoothDevicesModeFromRaw(2), BluetoothDevicesMode::onlyBluetooth);
    EXPECT_FALSE(bluetoothDevicesModeFromRaw(3));
    EXPECT_TRUE(muteStateAgrees(MuteState::muted, true));
    EXPECT_TRUE(muteStateAgrees(MuteState::unmuted, false));
    EXPECT_FALSE(muteStateAgrees(MuteState::mixed, true));
    EXPECT_FALSE(muteStateAgrees(MuteState::mixed, false));
    EXPECT_FALSE(muteStateAgrees(MuteState::muted, false));
}

TEST(MuteEventSourceTest, RawStringsRoundTripExactly) {
    const std::pair<MuteEventSource, const char*> table[] = {
        {MuteEventSource::keyboardShortcut, "Keyboard: toggle"},
        {MuteEventSource::pushToTalk, "Keyboard: Hold to speak"},
        {MuteEventSource::pushToMute, "Keyboard: Hold to mute"},
        {MuteEventSource::menuBarDropdownItem, "Menubar: Dropdown List Item"},
        {MuteEventSource::menuBarItem, "Menubar: Icon"},
        {MuteEventSource::statusWindow, "Status Window"},
    };
    for (const auto& [source, raw] : table) {
        EXPECT_EQ(rawValue(source), raw);
        EXPECT_EQ(muteEventSourceFromRawValue(raw), source);
    }
    EXPECT_FALSE(muteEventSourceFromRawValue("keyboard: toggle"));
}

TEST(FillPlaceholdersTest, NeverInterpretsTextAsFormat) {
    struct Case {
        const char* format;
        std::vector<std::string> arguments;
        const char* expected;
    } cases[] = {
        {"%@ cannot be muted.", {"Mic %s %n %@"}, "Mic %s %n %@ cannot be muted."},
        {"%2$@ then %1$@", {"a", "b"}, "b then a"},
        {"100%% sure %d", {}, "100% sure %d"},
        {"%@ and %@", {"only"}, "only and %@"},
        {"trailing %", {}, "trailing %"},
    };
    for (const auto& c : cases) EXPECT_EQ(fillPlaceholders(c.format, c.arguments), c.expected);
}

class MicMuteEventTest : public MuteEngineTest {};

TEST_F(MicMuteEventTest, KeyboardSourcesCarryTheShortcut) {
    logMicMute(MuteEventSource::menuBarDropdownItem);
    Defaults::set(Defaults::Keys::keyModifiersString(), std::string("⌥"));
    Defaults::set(Defaults::Keys::keyCodeString(), std::string("K"));
    logMicMute(MuteEventSource::keyboardShortcut);
    logMicMute(MuteEventSource::pushToMute);
    auto logged = events("mic_muted");
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].parameters, (Dictionary{{"source", "Menubar: Dropdown List Item"}}));
    EXPECT_EQ(logged[1].parameters,
              (Dictionary{{"source", "Keyboard: toggle"}, {"shortcut", "⌥K"}}));
    EXPECT_EQ(logged[2].parameters["shortcut"], Value("⌥K"));
}

}  // namespace
}  // namespace mutetest
