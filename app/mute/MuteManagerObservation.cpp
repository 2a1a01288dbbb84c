// How the engine keeps the microphones in the requested state while devices
// come and go, the default input changes or a mute control is flipped.

#include <algorithm>
#include <utility>

#include "app/audio/AudioNotifications.h"
#include "app/audio/AudioSystem.h"
#include "app/mute/ClamshellObserver.h"
#include "app/mute/MuteManager.h"
#include "app/mute/RemoteValues.h"
#include "app/settings/AppSettings.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"

namespace {

using Keys = Defaults::Keys;

bool isAggregateModel(const std::string& model) {
    const auto& models = MuteManager::AggregateDevices();
    return std::find(models.begin(), models.end(), model) != models.end();
}

}  // namespace

MuteManager::Token MuteManager::observeMute(const std::shared_ptr<AudioDevice>& device) {
    return NSNotificationCenter::defaultCenter()->addObserverForName(
        AudioNotificationName::deviceMuteDidChange(), device, DispatchQueue::main(),
        [weak = weakSelf(), device](const NSNotification&) {
            if (auto self = weak.lock()) self->muteDidChange(device);
        });
}

void MuteManager::muteDidChange(const std::shared_ptr<AudioDevice>& device) {
    // A toggle writes every device at once, and each check reads every
    // handled device: checking each notification as it comes would cost the
    // square of the device count. The pass queued behind the notifications
    // already waiting checks each device once, reading every handled device
    // once for all of them.
    if (pendingMuteCheckIDs_.insert(device->objectID).second) pendingMuteChecks_.push_back(device);
    if (muteCheckQueued_) return;
    muteCheckQueued_ = true;
    DispatchQueue::main()->async([weak = weakSelf()] {
        if (auto self = weak.lock()) self->checkPendingMuteChanges();
    });
}

void MuteManager::checkPendingMuteChanges() {
    muteCheckQueued_ = false;
    auto devices = std::exchange(pendingMuteChecks_, {});
    pendingMuteCheckIDs_.clear();
    std::optional<MuteTally> tally;
    for (const auto& device : devices) {
        // No longer observed (deactivated, cleaned up, unplugged): as a
        // removed observer, it hears nothing more.
        if (muteObservers_.count(device->objectID) == 0) continue;
        checkMuteConsistency(device, tally);
    }
}

void MuteManager::observeMuteChanges() {
    removeTokens(muteObservers_);
    for (const auto& device : compatibleInputDevices(BluetoothDevicesMode::exclude, false))
        replaceToken(muteObservers_, device->objectID, observeMute(device));
}

void MuteManager::observeDeviceList() {
    removeToken(deviceListObserver_);
    deviceListObserver_ = NSNotificationCenter::defaultCenter()->addObserverForName(
        AudioNotificationName::deviceListChanged(), nullptr, DispatchQueue::main(),
        [weak = weakSelf()](const NSNotification& notification) {
            if (auto self = weak.lock()) self->deviceListChanged(notification);
        });
}

void MuteManager::observeDefaultInput() {
    removeToken(defaultInputObserver_);
    defaultInputObserver_ = NSNotificationCenter::defaultCenter()->addObserverForName(
        AudioNotificationName::defaultInputDeviceChanged(), nullptr, DispatchQueue::main(),
        [weak = weakSelf()](const NSNotification& notification) {
            if (auto self = weak.lock()) self->defaultInputChanged(notification);
        });
}

void MuteManager::checkMuteConsistency(const std::shared_ptr<AudioDevice>& device) {
    std::optional<MuteTally> tally;
    checkMuteConsistency(device, tally);
}

void MuteManager::checkMuteConsistency(const std::shared_ptr<AudioDevice>& device,
                                       std::optional<MuteTally>& tally) {
    if (!tally) tally = tallyMutes();
    auto state = tally->state();
    if (state != lastMuteState_) lastMuteState_ = state;
    bool wanted = Defaults::get(Keys::devicesMuted());
    if (muteStateAgrees(state, wanted)) return;
    // A handled device whose mute cannot be read keeps the combined state
    // "mixed" for good, so a device already in the wanted state is left
    // alone (rewriting it on every notification would never settle). One
    // whose own mute cannot be read may have been unmuted by another
    // program: it is rewritten.
    auto own = device->isMuted(0, Scope::input);
    if (own && *own == wanted) return;
    setMute(wanted, {device});
    // Only this device changed: the next check in the pass need not read
    // every device again.
    auto entry = tally->muted.find(device->objectID);
    if (entry != tally->muted.end())
        entry->second = device->isMuted(0, Scope::input).value_or(false);
    NSLog("Mute is inconsistent, so refreshing devices.");
}

void MuteManager::deviceListChanged(const NSNotification& notification) {
    auto change = audioDeviceListChange(notification);
    if (!change) return;
    bool muted = Defaults::get(Keys::devicesMuted());
    bool workaround = useBluetoothWorkaround();

    Devices addedBluetooth;
    for (const auto& device : change->addedDevices) {
        if (workaround && !isProblematicDevice(device) && device->channels(Scope::input) != 0 &&
            isBluetoothDevice(device))
            addedBluetooth.push_back(device);
    }

    Devices addedInputs;
    for (const auto& device : change->addedDevices) {
        reportDevice(*device);
        if (isProblematicDevice(device)) continue;
        auto model = device->modelUID();
        if (isAggregateModel(model.value_or(""))) {
            warnAboutAggregateDevice(device);
            continue;
        }
        // Like the handled list: a device without a model UID is never
        // muted or observed.
        if (!model) continue;
        if (device->channels(Scope::input) == 0) continue;
        if (workaround && isBluetoothDevice(device)) continue;
        addedInputs.push_back(device);
    }

    for (const auto& device : addedBluetooth) {
        replaceToken(bluetoothObservers_, device->objectID, observeBluetoothDevice(device));
        if (device->isDefaultInputDevice()) selectPreferredInputDevice();
        if (useBluetoothHogMode()) {
            auto owner = device->hogModePID();
            if (!owner || *owner != -1) device->unsetHogMode();
            if (device->hogModePID() == -1) device->setHogMode();
        }
    }

    for (const auto& device : addedInputs)
        replaceToken(muteObservers_, device->objectID, observeMute(device));

    // A device that is gone answers no reads, so its observers are found by
    // identifier alone.
    for (const auto& device : change->removedDevices) {
        removeBluetoothObserver(*device);
        auto entry = muteObservers_.find(device->objectID);
        if (entry != muteObservers_.end()) {
            removeToken(entry->second);
            muteObservers_.erase(entry);
        }
    }

    if (!addedBluetooth.empty()) maybeShowBluetoothWorkaroundNotice(true);

    if (!setMute(muted, addedInputs)) lastMuteState_ = getAggregatedMuteStatus();
}

void MuteManager::defaultInputChanged(const NSNotification&) {
    auto builtIn = builtInMicrophone();
    if (builtIn && builtIn->isDefaultInputDevice() && isInClamshellMode()) {
        selectPreferredInputDevice();
        return;
    }
    if (remotevalues::boolean("skipProblematicDevices") &&
        isProblematicDevice(sharedAudioSystem()->defaultInputDevice()))
        selectPreferredInputDevice();
}

void MuteManager::removeBluetoothObserver(const AudioDevice& device) {
    auto entry = bluetoothObservers_.find(device.objectID);
    if (entry == bluetoothObservers_.end()) return;
    removeToken(entry->second);
    bluetoothObservers_.erase(entry);
}
