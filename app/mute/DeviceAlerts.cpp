#include "app/mute/DeviceAlerts.h"

#include "app/mute/LocalizedText.h"
#include "app/mute/MuteEngineHost.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/dispatch/DispatchQueue.h"

namespace {

constexpr const char* kWebSite = "https://lumbrel.app";

bool openHelp(const std::string& path) {
    NSWorkspace::sharedWorkspace()->openURL(helpPageURL(path));
    return true;
}

std::string displayedAppName() {
    if (auto host = MuteEngineHost::current()) return host->appName();
    static const std::string name = localizedText("AppName", "App Name");
    return name;
}

struct AlertContent {
    std::string title;
    std::string informativeText;
    std::string button;
    NSAlertStyle style = NSAlertStyle::warning;
};

// Built and run on the main queue; the task keeps the delegate alive while
// the alert runs, since the alert does not own it.
template <class Delegate, class MakeContent>
void queueAlert(MakeContent makeContent) {
    DispatchQueue::main()->async([makeContent] {
        auto delegate = std::make_shared<Delegate>();
        AlertContent content = makeContent();
        auto alert = std::make_shared<NSAlert>();
        alert->setDelegate(delegate);
        alert->setShowsHelp(true);
        alert->setMessageText(content.title);
        alert->setInformativeText(content.informativeText);
        alert->addButtonWithTitle(content.button);
        alert->setAlertStyle(content.style);
        alert->runModal();
    });
}

}  // namespace

std::string helpPageURL(const std::string& path) {
    return std::string(kWebSite) + path + "?source=macApp";
}

bool AggregateDeviceDelegate::alertShowHelp(NSAlert&) {
    return openHelp("/help/hardware-issues");
}

bool BluetoothDeviceDelegate::alertShowHelp(NSAlert&) {
    return openHelp("/help/monterey-bluetooth");
}

bool UnsupportedDeviceDelegate::alertShowHelp(NSAlert&) {
    return openHelp("/help/hardware-issues");
}

void showAggregateDeviceAlert(const std::string& deviceName) {
    queueAlert<AggregateDeviceDelegate>([deviceName] {
        auto appName = displayedAppName();
        return AlertContent{
            fillPlaceholders(localizedText("AggregateDeviceWarning.title",
                                           "Unsupported aggregate device detected."),
                             {deviceName}),
            fillPlaceholders(
                localizedText("AggregateDeviceWarning.informativeText",
                              "Explanation of why Lumbrel cannot mute this aggregate device."),
                {appName, appName}),
            localizedText("AggregateDeviceWarning.acknowledge", "Restart"), NSAlertStyle::warning};
    });
}

void showBluetoothDeviceDetectedAlert() {
    queueAlert<BluetoothDeviceDelegate>([] {
        return AlertContent{"Bluetooth device detected",
                            "Due to a bug in macOS Monterey, muting Bluetooth microphones mutes "
                            "all audio.\n\nLumbrel will use a different input (like your "
                            "built-in microphone) instead.",
                            "I understand", NSAlertStyle::warning};
    });
}

void showCannotMuteBluetoothAlert() {
    queueAlert<BluetoothDeviceDelegate>([] {
        return AlertContent{"Can\u2019t mute microphone",
                            "Due to a bug in macOS Monterey, Lumbrel can\u2019t mute Bluetooth "
                            "microphones.\n\nLumbrel won\u2019t work unless you connect a "
                            "non-Bluetooth microphone.",
                            "I understand", NSAlertStyle::critical};
    });
}

void showUnsupportedDeviceAlert(const std::string& deviceName) {
    queueAlert<UnsupportedDeviceDelegate>([deviceName] {
        return AlertContent{
            fillPlaceholders(
                localizedText("UnsupportedDevice.title", "Unsupported device detected."), {}),
            fillPlaceholders(localizedText("UnsupportedDevice.informativeText",
                                           "Explanation of why Lumbrel cannot mute this device."),
                             {deviceName}),
            fillPlaceholders(localizedText("UnsupportedDevice.acknowledge", "I understand"), {}),
            NSAlertStyle::warning};
    });
}
