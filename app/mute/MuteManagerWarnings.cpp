// Warnings about devices the engine cannot mute, and the one-time report of
// every input device model to analytics.

#include <algorithm>

#include "app/audio/AudioSystem.h"
#include "app/mute/DeviceAlerts.h"
#include "app/mute/MuteEngineHost.h"
#include "app/mute/MuteManager.h"
#include "app/mute/RemoteValues.h"
#include "app/settings/AppSettings.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/analytics/ZAROduzozova.h"

namespace {

using Keys = Defaults::Keys;

bool contains(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

// Appends to a stored list; false when it was there already.
bool remember(const Defaults::Key<std::vector<std::string>>& key, const std::string& model) {
    auto list = Defaults::get(key);
    if (contains(list, model)) return false;
    list.push_back(model);
    Defaults::set(key, list);
    return true;
}

}  // namespace

void MuteManager::warnAboutProblematicDevice(const std::shared_ptr<AudioDevice>& device) {
    auto model = device->modelUID();
    if (!model) return;
    if (!remember(Keys::deviceWarnings(), *model)) return;
    auto name = device->name();
    ZAROduzozova::logEventWithName(
        "device_warning", Dictionary{{"type", "Unsupported Device"},
                                     {"name", name},
                                     {"modelUID", *model},
                                     {"description", device->description()},
                                     {"manufacturer", device->manufacturer().value_or("N/A")}});
    std::string message = name;
    if (auto problematic = remotevalues::dictionary("problematicDevices")) {
        if (const Value* entry = problematic->find(*model); entry && entry->isString())
            message = *entry->asString();
    }
    DispatchQueue::main()->async([message, name] {
        showUnsupportedDeviceAlert(message);
        NSLog("Will not mute problematic device: " + name);
    });
}

void MuteManager::warnAboutAggregateDevice(const std::shared_ptr<AudioDevice>& device) {
    auto model = device->modelUID();
    if (!model) return;
    if (!contains(Defaults::get(Keys::aggregateDeviceWarnings()), *model)) {
        ZAROduzozova::logEventWithName(
            "device_warning", Dictionary{{"type", "Aggregate Device"},
                                         {"name", device->name()},
                                         {"modelUID", *model},
                                         {"description", device->description()},
                                         {"manufacturer", device->manufacturer().value_or("N/A")},
                                         {"uid", device->uid().value_or("nil")}});
        auto known = AggregateDeviceNames().find(*model);
        showAggregateDeviceAlert(known != AggregateDeviceNames().end() ? known->second
                                                                       : device->name());
        remember(Keys::aggregateDeviceWarnings(), *model);
    }
    // Queued after the alert: the main queue runs it once the alert is closed.
    DispatchQueue::main()->async([] {
        if (auto host = MuteEngineHost::current()) host->relaunchApplication();
    });
}

void MuteManager::reportDevice(const AudioDevice& device) {
    auto model = device.modelUID();
    if (!model) {
        NSLog("Device (" + device.name() + ") with ID <" + std::to_string(device.objectID) +
              "> has no modelUID. Skipping reportDevice()");
        return;
    }
    // Analytics drops events until the user allows data collection; a model
    // remembered then would never be reported. Allowing it reports them all.
    if (!Defaults::get(Keys::collectData())) return;
    if (!remember(Keys::devicesSentToAnalytics(), *model)) return;
    auto transport = device.transportType();
    auto problematic = remotevalues::dictionary("problematicDevices");
    ZAROduzozova::logEventWithName(
        "device_encountered",
        Dictionary{{"name", device.name()},
                   {"modelUID", *model},
                   {"manufacturer", device.manufacturer().value_or("[None]")},
                   {"transportType", transport ? rawValue(*transport) : std::string("[None]")},
                   {"canMute", device.canMute(0, Scope::input) ? "yes" : "no"},
                   {"problematic", problematic && problematic->contains(*model) ? "yes" : "no"}});
}

void MuteManager::reportAllInputDevices() {
    for (const auto& device : sharedAudioSystem()->allInputDevices()) reportDevice(*device);
}
