#include <gtest/gtest.h>

#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/NSAlert.h"
#include "platform/bundle/NSProcessInfo.h"

namespace mutetest {
namespace {

class SelectionTest : public MuteEngineTest {
  protected:
    void SetUp() override {
        MuteEngineTest::SetUp();
        mac_ = SimHardware::installDefaultMac();
        engine = makeEngine();
    }
    void turnWorkaroundOn() {
        sim::setOperatingSystemVersion({12, 3, 0});
        setRemote({{"useBluetoothWorkaround", "true"}});
    }
    MuteManager::Devices list(BluetoothDevicesMode mode, bool excludeBuiltIn = false) {
        return engine->compatibleInputDevices(mode, excludeBuiltIn);
    }

    sim::SimulatedMac mac_;
    std::shared_ptr<MuteManager> engine;
};

TEST_F(SelectionTest, WithoutWorkaroundEveryModeGivesAllInputsInSystemOrder) {
    std::vector<AudioObjectID> all{mac_.builtInMicrophone, mac_.usbMicrophone,
                                   mac_.bluetoothHeadset};
    for (auto mode : {BluetoothDevicesMode::exclude, BluetoothDevicesMode::include,
                      BluetoothDevicesMode::onlyBluetooth})
        EXPECT_EQ(ids(list(mode)), all);
}

TEST_F(SelectionTest, WorkaroundFiltersBluetoothByMode) {
    auto le = SimHardware::addDevice(AudioDeviceConfig::bluetoothLEHeadset());
    turnWorkaroundOn();
    EXPECT_EQ(ids(list(BluetoothDevicesMode::exclude)),
              (std::vector<AudioObjectID>{mac_.builtInMicrophone, mac_.usbMicrophone}));
    EXPECT_EQ(ids(list(BluetoothDevicesMode::onlyBluetooth)),
              (std::vector<AudioObjectID>{mac_.bluetoothHeadset, le}));
    EXPECT_EQ(list(BluetoothDevicesMode::include).size(), 4u);
}

TEST_F(SelectionTest, BuiltInExclusionFollowsTheRemoteList) {
    struct Case {
        const char* names;
        bool builtInLeftOut;
    } cases[] = {
        {R"(["Digital Mic"])", true},
        {R"(["Other"])", false},
        {R"({"Digital Mic": 1})", false},
        {"Digital Mic", false},
    };
    for (const auto& c : cases) {
        setRemote({{"builtInMicrophoneNames", c.names}});
        auto excluded = ids(list(BluetoothDevicesMode::exclude, true));
        bool present =
            std::find(excluded.begin(), excluded.end(), mac_.builtInMicrophone) != excluded.end();
        EXPECT_EQ(present, !c.builtInLeftOut) << c.names;
        EXPECT_EQ(list(BluetoothDevicesMode::exclude, false).front()->objectID,
                  mac_.builtInMicrophone);
        EXPECT_EQ(MuteManager::isBuiltInMicrophone(*device(mac_.builtInMicrophone)),
                  c.builtInLeftOut);
    }
    setRemote({{"builtInMicrophoneNames", R"(["Digital Mic"])"}});
    EXPECT_EQ(engine->builtInMicrophone()->objectID, mac_.builtInMicrophone);
}

TEST_F(SelectionTest, DeviceWithoutModelUIDIsNeverHandled) {
    auto config = AudioDeviceConfig::usbMicrophone("NO-MODEL");
    config.modelUID.clear();
    auto id = SimHardware::addDevice(config);
    settle();
    auto handled = ids(list(BluetoothDevicesMode::exclude));
    EXPECT_EQ(std::count(handled.begin(), handled.end(), id), 0);
    EXPECT_EQ(engine->muteObservers().count(id), 0u);
    EXPECT_TRUE(log_->containsSubstring("has no modelUID. Skipping reportDevice()"));
}

TEST_F(SelectionTest, ProblematicDeviceIsLeftOutAndWarnedAboutOnce) {
    setRemote({{"problematicDevices", R"({"USB Microphone:1234:5678": "Broken USB mic"})"}});
    for (int i = 0; i < 2; ++i) {
        auto handled = ids(list(BluetoothDevicesMode::exclude));
        EXPECT_EQ(std::count(handled.begin(), handled.end(), mac_.usbMicrophone), 0);
    }
    settle();
    EXPECT_EQ(events("device_warning").size(), 1u);
    auto shown = sim::Alerts::shown();
    EXPECT_EQ(std::count_if(
                  shown.begin(), shown.end(),
                  [](const auto& a) { return a.messageText == "Unsupported device detected."; }),
              1);
    EXPECT_TRUE(log_->contains("Will not mute problematic device: USB Microphone"));
    EXPECT_EQ(Defaults::get(Defaults::Keys::deviceWarnings()),
              std::vector<std::string>{"USB Microphone:1234:5678"});
}

TEST_F(SelectionTest, FirstBluetoothInputQueuesTheNoticeOnce) {
    // The engine's construction computed the list already.
    EXPECT_TRUE(Defaults::get(Defaults::Keys::bluetoothWorkaroundNoticeSeen()));
    list(BluetoothDevicesMode::exclude);
    settle();
    auto shown = sim::Alerts::shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].messageText, "Bluetooth device detected");
}

}  // namespace
}  // namespace mutetest
