#include <gtest/gtest.h>

#include <fstream>

#include "app/mute/DeviceAlerts.h"
#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"
#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSWorkspace.h"

namespace mutetest {
namespace {

TEST_F(MuteEngineTest, EveryModelIsReportedOnceWithItsDetails) {
    auto config = AudioDeviceConfig::usbMicrophone();
    config.manufacturer.clear();
    auto usb = SimHardware::addDevice(config);
    SimHardware::addDevice(AudioDeviceConfig::usbMicrophone("USB-MIC-0002"));  // same model
    Defaults::set(Defaults::Keys::collectData(), true);
    makeEngine();
    MuteManager::reportDevice(*device(usb));
    auto reported = events("device_encountered");
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].parameters, (Dictionary{{"name", "USB Microphone"},
                                                  {"modelUID", "USB Microphone:1234:5678"},
                                                  {"manufacturer", "[None]"},
                                                  {"transportType", "USB"},
                                                  {"canMute", "yes"},
                                                  {"problematic", "no"}}));
}

// Until the user allows data collection nothing is reported and no model is
// remembered, so each is reported once collection is allowed.
TEST_F(MuteEngineTest, ModelsWaitForTheUserToAllowDataCollection) {
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    makeEngine();
    MuteManager::reportDevice(*device(usb));
    EXPECT_TRUE(events("device_encountered").empty());
    EXPECT_TRUE(Defaults::get(Defaults::Keys::devicesSentToAnalytics()).empty());
    Defaults::set(Defaults::Keys::collectData(), true);
    MuteManager::reportDevice(*device(usb));
    EXPECT_EQ(events("device_encountered").size(), 1u);
}

TEST_F(MuteEngineTest, ProblematicDeviceAlertTextAndHelp) {
    struct Case {
        const char* entry;
        const char* shownName;
    } cases[] = {{R"("Known bad mic %n")", "Known bad mic %n"}, {"12", "USB Microphone"}};
    auto bundle = makeBundle();
    std::ofstream(bundle / "Contents/Resources/en.lproj/Localizable.strings")
        << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
        << "<key>UnsupportedDevice.informativeText</key><string>%@ (100%%) will not be "
           "muted.</string>"
        << "</dict></plist>";
    auto usb = SimHardware::addDevice(AudioDeviceConfig::usbMicrophone());
    makeEngine();
    for (const auto& c : cases) {
        Defaults::set(Defaults::Keys::deviceWarnings(), std::vector<std::string>{});
        sim::Alerts::clear();
        setRemote({{"problematicDevices",
                    std::string(R"({"USB Microphone:1234:5678": )") + c.entry + "}"}});
        sim::Alerts::setResponder([](NSAlert& alert) {
            alert.delegate()->alertShowHelp(alert);
            return NSAlertFirstButtonReturn;
        });
        engine_->warnAboutProblematicDevice(device(usb));
        settle();
        auto shown = sim::Alerts::shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].messageText, "Unsupported device detected.");
        EXPECT_EQ(shown[0].informativeText,
                  std::string(c.shownName) + " (100%) will not be muted.");
        EXPECT_EQ(shown[0].buttons, std::vector<std::string>{"I understand"});
        EXPECT_TRUE(shown[0].showsHelp);
    }
    EXPECT_EQ(sim::Workspace::openedURLs().back(),
              "https://lumbrel.app/help/hardware-issues?source=macApp");
    auto warning = events("device_warning").front().parameters;
    EXPECT_EQ(warning["type"], Value("Unsupported Device"));
    EXPECT_EQ(warning["description"], Value("USB Microphone (" + std::to_string(usb) + ")"));
    EXPECT_EQ(warning["manufacturer"], Value("Generic USB Audio"));
}

TEST_F(MuteEngineTest, AlertsRunOneAfterAnotherWithTheirHelpPages) {
    std::vector<std::string> order;
    sim::Alerts::setResponder([&](NSAlert& alert) {
        order.push_back(alert.messageText());
        alert.delegate()->alertShowHelp(alert);
        return NSAlertFirstButtonReturn;
    });
    showBluetoothDeviceDetectedAlert();
    showCannotMuteBluetoothAlert();
    showAggregateDeviceAlert("Virtual Mixer");
    EXPECT_TRUE(order.empty());  // queued, not shown synchronously
    settle();
    EXPECT_EQ(order,
              (std::vector<std::string>{"Bluetooth device detected", "Can\u2019t mute microphone",
                                        "Unsupported aggregate device detected."}));
    EXPECT_EQ(sim::Workspace::openedURLs(),
              (std::vector<std::string>{"https://lumbrel.app/help/monterey-bluetooth?source=macApp",
                                        "https://lumbrel.app/help/monterey-bluetooth?source=macApp",
                                        "https://lumbrel.app/help/hardware-issues?source=macApp"}));
    auto shown = sim::Alerts::shown();
    EXPECT_EQ(shown[0].informativeText,
              "Due to a bug in macOS Monterey, muting Bluetooth microphones mutes all audio.\n\n"
              "Lumbrel will use a different input (like your built-in microphone) instead.");
}

}  // namespace
}  // namespace mutetest
