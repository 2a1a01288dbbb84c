#include <gtest/gtest.h>

#include <unistd.h>

#include "app/audio/AudioNotifications.h"
#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/NSAlert.h"
#include "platform/bundle/NSProcessInfo.h"

namespace mutetest {
namespace {

using Keys = Defaults::Keys;

TEST_F(MuteEngineTest, WorkaroundOnlyOnTheAffectedReleases) {
    struct Case {
        NSOperatingSystemVersion os;
        const char* remote;
        std::optional<bool> stored;
        const char* allowed;
        bool expected;
    } cases[] = {
        {{12, 3, 0}, "true", std::nullopt, "[]", true},
        {{12, 0, 0}, "true", std::nullopt, "[]", true},
        {{12, 4, 0}, "true", true, R"(["useBluetoothWorkaround"])", false},
        {{11, 6, 0}, "true", true, R"(["useBluetoothWorkaround"])", false},
        {{13, 0, 0}, "true", std::nullopt, "[]", false},
        {{12, 3, 0}, "false", true, "[]", false},  // override not allowed
        {{12, 3, 0}, "false", true, R"(["useBluetoothWorkaround"])", true},
        {{12, 3, 0}, "true", false, R"(["useBluetoothWorkaround"])", false},
    };
    for (const auto& c : cases) {
        sim::setOperatingSystemVersion(c.os);
        setRemote({{"useBluetoothWorkaround", c.remote}, {"allowedOverrides", c.allowed}});
        Defaults::set(Keys::useBluetoothWorkaround(), c.stored);
        EXPECT_EQ(MuteManager::useBluetoothWorkaround(), c.expected)
            << c.os.majorVersion << "." << c.os.minorVersion << " " << c.remote;
    }
    setRemote(
        {{"useBluetoothHogMode", "true"}, {"allowedOverrides", R"(["useBluetoothHogMode"])"}});
    Defaults::set(Keys::useBluetoothHogMode(), std::optional<bool>(false));
    EXPECT_FALSE(MuteManager::useBluetoothHogMode());
}

class BluetoothTest : public MuteEngineTest {
  protected:
    void SetUp() override {
        MuteEngineTest::SetUp();
        sim::setOperatingSystemVersion({12, 3, 0});
        mac_ = SimHardware::installDefaultMac();
        SimHardware::setDefaultInputDevice(mac_.bluetoothHeadset);
        // The headset notice was seen long ago.
        Defaults::set(Keys::bluetoothWorkaroundNoticeSeen(), true);
    }
    void workaround(std::map<std::string, std::string> extra = {}) {
        extra["useBluetoothWorkaround"] = "true";
        setRemote(extra);
    }
    std::size_t defaultInputObservers() {
        return observers(AudioNotificationName::defaultInputDeviceChanged());
    }
    sim::SimulatedMac mac_;
};

TEST_F(BluetoothTest, HeadsetIsReplacedAsDefaultInputAndNeverMuted) {
    workaround();
    makeEngine();
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac_.builtInMicrophone);
    EXPECT_EQ(engine_->bluetoothObservers().size(), 1u);
    Defaults::set(Keys::devicesMuted(), true);
    MuteManager::setMute(true,
                         engine_->compatibleInputDevices(BluetoothDevicesMode::exclude, false));
    settle();
    EXPECT_EQ(isMuted(mac_.bluetoothHeadset), false);
    EXPECT_EQ(isMuted(mac_.usbMicrophone), true);

    // The user picks the headset again: the observer moves the input away.
    SimHardware::setDefaultInputDevice(mac_.bluetoothHeadset);
    settle();
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac_.builtInMicrophone);

    engine_->applyBluetoothWorkaround(false);
    settle();
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac_.bluetoothHeadset);
    EXPECT_TRUE(engine_->bluetoothObservers().empty());
}

TEST_F(BluetoothTest, PreferenceOrderChoosesTheReplacement) {
    struct Case {
        const char* order;
        AudioObjectID sim::SimulatedMac::*expected;
    } cases[] = {
        {R"(["Nothing", 7, "USB Microphone:1234:5678"])", &sim::SimulatedMac::usbMicrophone},
        {R"(["Nothing"])", &sim::SimulatedMac::builtInMicrophone},
        {"not json", &sim::SimulatedMac::builtInMicrophone},
    };
    for (const auto& c : cases) {
        SimHardware::setDefaultInputDevice(mac_.bluetoothHeadset);
        workaround({{"useDevicePreferenceOrder", "true"}, {"devicePreferenceOrder", c.order}});
        settle();
        auto engine = MuteManager::create(nullptr);
        settle();
        EXPECT_EQ(SimHardware::defaultInputDevice(), mac_.*c.expected) << c.order;
    }
}

TEST_F(BluetoothTest, ApplyingAgainNeitherLeaksNorDuplicatesObservers) {
    workaround();
    makeEngine();
    auto before = defaultInputObservers();
    for (int i = 0; i < 3; ++i) engine_->applyBluetoothWorkaround(true);
    settle();
    EXPECT_EQ(defaultInputObservers(), before);
    EXPECT_EQ(engine_->cleanUp(), 0);
    EXPECT_EQ(defaultInputObservers(), 0u);
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac_.bluetoothHeadset);
}

TEST_F(BluetoothTest, RemovedHeadsetLosesItsObserver) {
    workaround();
    makeEngine();
    auto second = SimHardware::addDevice(AudioDeviceConfig::bluetoothLEHeadset());
    settle();
    EXPECT_EQ(engine_->bluetoothObservers().count(second), 1u);
    auto before = defaultInputObservers();
    SimHardware::removeDevice(second);
    settle();
    EXPECT_EQ(engine_->bluetoothObservers().count(second), 0u);
    EXPECT_EQ(defaultInputObservers(), before - 1);
}

TEST_F(BluetoothTest, HogModeFollowsTheWorkaround) {
    workaround({{"useBluetoothHogMode", "true"}});
    makeEngine();
    EXPECT_EQ(SimHardware::hogModeOwner(mac_.bluetoothHeadset), getpid());
    EXPECT_EQ(SimHardware::hogModeOwner(mac_.usbMicrophone), -1);
    engine_->applyBluetoothWorkaround(false);
    EXPECT_EQ(SimHardware::hogModeOwner(mac_.bluetoothHeadset), -1);
}

TEST_F(BluetoothTest, OnlyBluetoothMicrophonesRaiseTheAlertOnce) {
    SimHardware::removeDevice(mac_.builtInMicrophone);
    SimHardware::removeDevice(mac_.usbMicrophone);
    SimHardware::setDefaultInputDevice(mac_.bluetoothHeadset);
    workaround();
    makeEngine();
    engine_->selectPreferredInputDevice();
    settle();
    auto shown = sim::Alerts::shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, "Can\u2019t mute microphone");
    EXPECT_EQ(shown[0].style, NSAlertStyle::critical);
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac_.bluetoothHeadset);
    EXPECT_TRUE(Defaults::get(Keys::bluetoothWarningSeen()));
}

TEST_F(BluetoothTest, NoticeWhenTurnedOnAfterOnboarding) {
    // The engine starts with the workaround off and meets the headset only
    // later, so nothing has raised the notice before the workaround is
    // turned on.
    SimHardware::removeDevice(mac_.bluetoothHeadset);
    Defaults::set(Keys::bluetoothWorkaroundNoticeSeen(), false);
    Defaults::set(Keys::hasCompletedOnboarding(), true);
    setRemote({{"showBluetoothWorkaroundNotice", "true"}});
    makeEngine();
    SimHardware::addDevice(AudioDeviceConfig::bluetoothHeadset("BT-HEADSET-0002"));
    settle();
    ASSERT_TRUE(sim::Alerts::shown().empty());

    workaround({{"showBluetoothWorkaroundNotice", "true"}});
    engine_->applyBluetoothWorkaround(true);
    settle();
    auto shown = sim::Alerts::shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, "Bluetooth device detected");
    EXPECT_TRUE(Defaults::get(Keys::bluetoothWorkaroundNoticeSeen()));
}

TEST_F(BluetoothTest, ReselectionMovesAwayFromABluetoothInputOnlyUnderTheWorkaround) {
    struct Case {
        NSOperatingSystemVersion os;
        const char* remote;
        bool moves;
    } cases[] = {
        {{12, 3, 0}, "true", true},
        {{12, 3, 0}, "false", false},
        {{12, 4, 0}, "true", false},  // an unaffected release
        {{11, 6, 0}, "true", false},
    };
    for (const auto& c : cases) {
        sim::setOperatingSystemVersion(c.os);
        setRemote({{"useBluetoothWorkaround", c.remote}});
        auto engine = MuteManager::create(nullptr);
        settle();
        SimHardware::setDefaultInputDevice(mac_.bluetoothHeadset);
        settle();
        // As the closed-lid observer does when the lid closes.
        engine->selectPreferredInputDevice();
        settle();
        EXPECT_EQ(SimHardware::defaultInputDevice(),
                  c.moves ? mac_.builtInMicrophone : mac_.bluetoothHeadset)
            << c.os.majorVersion << "." << c.os.minorVersion << " " << c.remote;
    }
}

}  // namespace
}  // namespace mutetest
