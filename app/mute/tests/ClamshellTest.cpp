#include <gtest/gtest.h>

#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/NSScreen.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/iokit/IOKit.h"

namespace mutetest {
namespace {

const NSRect kFrame{{0, 0}, {1920, 1080}};

class ClamshellTest : public MuteEngineTest {
  protected:
    void laptop(const char* model = "MacBookPro18,3") {
        sim::setHostModel(model);
        host_->clamshell = std::make_shared<ClamshellObserver>();
    }
};

TEST_F(ClamshellTest, LaptopsAreTheModelsNamedMacBook) {
    struct Case {
        std::optional<Data> model;
        bool laptop;
    } cases[] = {
        {Data{'M', 'a', 'c', 'B', 'o', 'o', 'k', 'A', 'i', 'r', '1', '0', ',', '1', 0}, true},
        {Data{'M', 'a', 'c', 'm', 'i', 'n', 'i', '9', ',', '1', 0}, false},
        {Data{'m', 'a', 'c', 'B', 'o', 'o', 'k', 0}, false},
        {std::nullopt, false},
    };
    for (const auto& c : cases) {
        sim::setPlatformExpertModelData(c.model);
        auto observer = std::make_shared<ClamshellObserver>();
        EXPECT_EQ(observer->hasClamshellMode(), c.laptop);
        observer->startObserving();
        EXPECT_EQ(observer->isObserving(), c.laptop);
    }
    sim::setPlatformExpertModelData(Data{'M', 'a', 'c', 'B', 'o', 'o', 'k', 'P', 'r', 'o', 0});
    ClamshellObserver observer;
    EXPECT_EQ(observer.macModelName(), "MacBookPro");
}

TEST_F(ClamshellTest, AllowedModelNeverObservesNorReports) {
    setRemote({{"macsThatCanAccessMicInClamshellMode", R"(["MacBookPro18,3"])"}});
    laptop();
    sim::Screens::set({{"External Display", kFrame}});
    host_->clamshell->startObserving();
    settle();
    EXPECT_FALSE(host_->clamshell->isObserving());
    EXPECT_FALSE(host_->clamshell->isInClamshellMode());
    EXPECT_TRUE(events("display_encountered").empty());
}

TEST_F(ClamshellTest, ClosedLidMovesTheInputAwayFromTheBuiltInMicrophone) {
    auto mac = SimHardware::installDefaultMac();
    setRemote({{"builtInMicrophoneNames", R"(["Digital Mic"])"},
               {"builtInDisplayNames", R"(["Built-in Retina Display"])"}});
    laptop();
    makeEngine();
    host_->clamshell->startObserving();
    settle();
    EXPECT_FALSE(host_->clamshell->isInClamshellMode());
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac.builtInMicrophone);

    sim::Screens::set({{"External Display", kFrame}});  // the lid closes
    settle();
    EXPECT_TRUE(host_->clamshell->isInClamshellMode());
    EXPECT_EQ(SimHardware::defaultInputDevice(), mac.usbMicrophone);
    auto candidates = engine_->compatibleInputDevices(BluetoothDevicesMode::exclude, true);
    EXPECT_EQ(ids(candidates),
              (std::vector<AudioObjectID>{mac.usbMicrophone, mac.bluetoothHeadset}));

    sim::Screens::set({{"Built-in Retina Display", kFrame}, {"External Display", kFrame}});
    settle();
    EXPECT_FALSE(host_->clamshell->isInClamshellMode());
}

TEST_F(ClamshellTest, OnlyTheBuiltInMicrophoneLeavesNothingToMuteWithTheLidClosed) {
    SimHardware::addDevice(AudioDeviceConfig::builtInMicrophone());
    setRemote({{"builtInMicrophoneNames", R"(["Digital Mic"])"}});
    sim::Screens::set({});
    laptop();
    makeEngine();
    host_->clamshell->startObserving();
    settle();
    EXPECT_TRUE(host_->clamshell->isInClamshellMode());
    EXPECT_TRUE(engine_->compatibleInputDevices(BluetoothDevicesMode::exclude, true).empty());
    EXPECT_EQ(engine_->compatibleInputDevices(BluetoothDevicesMode::exclude, false).size(), 1u);
}

TEST_F(ClamshellTest, EachScreenNameIsReportedOnce) {
    laptop();
    sim::Screens::set({{"Left", kFrame}, {"Right", kFrame}, {"Left", kFrame}});
    host_->clamshell->startObserving();
    host_->clamshell->updateClamshellState();
    settle();
    auto reported = events("display_encountered");
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].parameters, (Dictionary{{"name", "Left"}}));
    EXPECT_EQ(Defaults::get(Defaults::Keys::displaysSentToAnalytics()),
              (std::vector<std::string>{"Left", "Right"}));
}

}  // namespace
}  // namespace mutetest
