// The Bluetooth microphone workaround and the choice of the default input.

#include "app/audio/AudioNotifications.h"
#include "app/audio/AudioSystem.h"
#include "app/mute/DeviceAlerts.h"
#include "app/mute/MuteManager.h"
#include "app/mute/RemoteValues.h"
#include "app/settings/AppSettings.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/dispatch/DispatchQueue.h"

namespace {

using Keys = Defaults::Keys;

}  // namespace

bool MuteManager::useBluetoothWorkaround() {
    auto info = NSProcessInfo::processInfo();
    if (!info->isOperatingSystemAtLeastVersion({12, 0, 0}) ||
        info->isOperatingSystemAtLeastVersion({12, 4, 0}))
        return false;
    return remotevalues::withOverride("useBluetoothWorkaround",
                                      Defaults::get(Keys::useBluetoothWorkaround()));
}

bool MuteManager::useBluetoothHogMode() {
    return remotevalues::withOverride("useBluetoothHogMode",
                                      Defaults::get(Keys::useBluetoothHogMode()));
}

void MuteManager::maybeShowBluetoothWorkaroundNotice(bool haveBluetoothDevices) {
    if (!remotevalues::boolean("showBluetoothWorkaroundNotice") ||
        !Defaults::get(Keys::hasCompletedOnboarding()) ||
        Defaults::get(Keys::bluetoothWarningSeen()) ||
        Defaults::get(Keys::bluetoothWorkaroundNoticeSeen()) || !haveBluetoothDevices)
        return;
    Defaults::set(Keys::bluetoothWorkaroundNoticeSeen(), true);
    showBluetoothDeviceDetectedAlert();
}

void MuteManager::applyBluetoothWorkaround(bool on) {
    if (on) {
        // The device list is computed only when every cheaper condition holds.
        if (remotevalues::boolean("showBluetoothWorkaroundNotice") &&
            Defaults::get(Keys::hasCompletedOnboarding()) &&
            !Defaults::get(Keys::bluetoothWarningSeen()) &&
            !Defaults::get(Keys::bluetoothWorkaroundNoticeSeen())) {
            maybeShowBluetoothWorkaroundNotice(
                !compatibleInputDevices(BluetoothDevicesMode::onlyBluetooth, false).empty());
        }
        selectPreferredInputDevice();
        observeBluetoothDevices();
        applyHogMode(true);
    } else {
        turnOffBluetoothState();
    }
}

bool MuteManager::turnOffBluetoothState() {
    removeTokens(bluetoothObservers_);
    bool restored = true;
    if (previousInputDevice_) {
        previousInputDevice_->setIsDefaultInputDevice(true);
        // A device that has gone away cannot be restored and is no failure.
        restored = previousInputDevice_->isDefaultInputDevice() || !previousInputDevice_->isAlive();
    }
    applyHogMode(false);
    return restored;
}

void MuteManager::applyHogMode(bool on) {
    if (!useBluetoothHogMode()) return;
    for (const auto& device : compatibleInputDevices(BluetoothDevicesMode::onlyBluetooth, false)) {
        if (on) {
            auto owner = device->hogModePID();
            if (!owner || *owner != -1) device->unsetHogMode();
            if (device->hogModePID() == -1) device->setHogMode();
        } else {
            device->unsetHogMode();
        }
    }
}

MuteManager::Token MuteManager::observeBluetoothDevice(const std::shared_ptr<AudioDevice>& device) {
    return NSNotificationCenter::defaultCenter()->addObserverForName(
        AudioNotificationName::defaultInputDeviceChanged(), nullptr, DispatchQueue::main(),
        [weak = weakSelf(), device](const NSNotification&) {
            auto self = weak.lock();
            if (self && device->isDefaultInputDevice()) self->selectPreferredInputDevice();
        });
}

void MuteManager::observeBluetoothDevices() {
    // Starting over keeps exactly one observer per current Bluetooth input,
    // however often the workaround is applied.
    removeTokens(bluetoothObservers_);
    for (const auto& device : compatibleInputDevices(BluetoothDevicesMode::onlyBluetooth, false))
        replaceToken(bluetoothObservers_, device->objectID, observeBluetoothDevice(device));
}

void MuteManager::selectPreferredInputDevice() {
    auto current = sharedAudioSystem()->defaultInputDevice();
    auto builtIn = builtInMicrophone();
    bool builtInIsDefault = current && builtIn && current->objectID == builtIn->objectID;
    bool clamshell = isInClamshellMode();
    // A Bluetooth default input is a reason to move only while the
    // workaround is in force. On a release without the fault it is the
    // user's working choice: moving away from it on every reselection (a
    // closing lid, a problematic-device check) would leave a Bluetooth
    // microphone unusable there.
    bool act = (useBluetoothWorkaround() && isBluetoothDevice(current)) ||
               (clamshell && builtInIsDefault) ||
               (remotevalues::boolean("skipProblematicDevices") && isProblematicDevice(current));
    if (!act) return;
    previousInputDevice_ = current;

    auto candidates = compatibleInputDevices(BluetoothDevicesMode::exclude, clamshell);
    if (!Defaults::get(Keys::bluetoothWarningSeen()) && candidates.empty()) {
        if (!compatibleInputDevices(BluetoothDevicesMode::onlyBluetooth, false).empty()) {
            Defaults::set(Keys::bluetoothWarningSeen(), true);
            showCannotMuteBluetoothAlert();
            return;
        }
    }

    if (remotevalues::boolean("useDevicePreferenceOrder")) {
        auto order = remotevalues::array("devicePreferenceOrder").value_or(Array{});
        for (const auto& entry : order) {
            if (!entry.isString()) continue;
            auto wanted = *entry.asString();
            for (const auto& candidate : candidates) {
                if (candidate->modelUID() == wanted) {
                    candidate->setIsDefaultInputDevice(true);
                    return;
                }
            }
        }
    }
    if (!candidates.empty()) candidates.front()->setIsDefaultInputDevice(true);
}
