#include "app/mute/MuteManager.h"

#include <algorithm>

#include "app/audio/AudioSystem.h"
#include "app/mute/ClamshellObserver.h"
#include "app/mute/DeviceAlerts.h"
#include "app/mute/RemoteValues.h"
#include "app/settings/AppSettings.h"
#include "platform/log/Log.h"

namespace {

using Keys = Defaults::Keys;

const Value* problematicEntry(const std::optional<Dictionary>& problematic,
                              const AudioDevice& device) {
    if (!problematic) return nullptr;
    auto model = device.modelUID();
    if (!model) return nullptr;
    return problematic->find(*model);
}

}  // namespace

MuteManager::MuteManager(std::shared_ptr<ClamshellObserver> clamshellObserver)
    : clamshellObserver_(std::move(clamshellObserver)) {}

std::shared_ptr<MuteManager> MuteManager::create(
    std::shared_ptr<ClamshellObserver> clamshellObserver) {
    auto engine = std::make_shared<MuteManager>(std::move(clamshellObserver));
    engine->reportAllInputDevices();
    engine->observeMuteChanges();
    engine->observeDeviceList();
    engine->observeDefaultInput();
    if (useBluetoothWorkaround()) engine->applyBluetoothWorkaround(true);
    return engine;
}

MuteManager::~MuteManager() {
    removeTokens(muteObservers_);
    removeTokens(bluetoothObservers_);
    removeToken(deviceListObserver_);
    removeToken(defaultInputObserver_);
}

const std::vector<std::string>& MuteManager::AggregateDevices() {
    static const std::vector<std::string> models{"com.vendorsoft.VAE:proxy"};
    return models;
}

const std::map<std::string, std::string>& MuteManager::AggregateDeviceNames() {
    static const std::map<std::string, std::string> names{
        {"com.vendorsoft.VAE:proxy", "Virtual Mixer"}};
    return names;
}

std::weak_ptr<MuteManager> MuteManager::weakSelf() {
    return std::static_pointer_cast<MuteManager>(shared_from_this());
}

bool MuteManager::isInClamshellMode() const {
    return clamshellObserver_ && clamshellObserver_->isInClamshellMode();
}

// ---- Life cycle ---------------------------------------------------------------

void MuteManager::deactivate() {
    removeTokens(muteObservers_);
    removeToken(deviceListObserver_);
    removeToken(defaultInputObserver_);
    // Bluetooth observers exist only while the workaround was applied; they
    // go whatever the remote switch says now.
    removeTokens(bluetoothObservers_);
    if (useBluetoothWorkaround()) turnOffBluetoothState();
    setMute(false, compatibleInputDevices(BluetoothDevicesMode::exclude, false));
}

OSStatus MuteManager::cleanUp() {
    // Observers go first: a mute notification caused by the unmute below
    // must not find the devices "inconsistent" and mute them again.
    removeTokens(muteObservers_);
    removeToken(deviceListObserver_);
    removeToken(defaultInputObserver_);
    removeTokens(bluetoothObservers_);
    bool restored = setMute(false, compatibleInputDevices(BluetoothDevicesMode::exclude, false));
    if (useBluetoothWorkaround()) restored = turnOffBluetoothState() && restored;
    return restored ? kAudioHardwareNoError : kAudioHardwareUnspecifiedError;
}

void MuteManager::reactivate() {
    setMute(Defaults::get(Keys::devicesMuted()),
            compatibleInputDevices(BluetoothDevicesMode::exclude, false));
    observeMuteChanges();
    observeDeviceList();
    observeDefaultInput();
    if (useBluetoothWorkaround()) applyBluetoothWorkaround(true);
}

// ---- Input device selection ---------------------------------------------------

bool MuteManager::isBluetoothDevice(const std::shared_ptr<AudioDevice>& device) {
    if (!device) return false;
    auto transport = device->transportType();
    return transport &&
           (*transport == TransportType::bluetooth || *transport == TransportType::bluetoothLE);
}

bool MuteManager::isBuiltInMicrophone(const AudioDevice& device) {
    auto model = device.modelUID();
    if (!model) return false;
    return remotevalues::containsString(remotevalues::array("builtInMicrophoneNames"), *model);
}

bool MuteManager::isProblematicDevice(const std::shared_ptr<AudioDevice>& device) {
    if (!device) return false;
    return problematicEntry(remotevalues::dictionary("problematicDevices"), *device) != nullptr;
}

std::shared_ptr<AudioDevice> MuteManager::builtInMicrophone() {
    for (const auto& device : compatibleInputDevices(BluetoothDevicesMode::exclude, false))
        if (isBuiltInMicrophone(*device)) return device;
    return nullptr;
}

MuteManager::Devices MuteManager::inputDeviceCandidates() {
    // Each remote list is read once per computation, not once per device.
    auto problematic = remotevalues::dictionary("problematicDevices");
    Devices kept;
    for (auto& device : sharedAudioSystem()->allInputDevices()) {
        if (problematicEntry(problematic, *device)) {
            warnAboutProblematicDevice(device);
            continue;
        }
        if (isBluetoothDevice(device) && !Defaults::get(Keys::bluetoothWorkaroundNoticeSeen())) {
            Defaults::set(Keys::bluetoothWorkaroundNoticeSeen(), true);
            showBluetoothDeviceDetectedAlert();
        }
        if (device->channels(Scope::input) != 0) kept.push_back(std::move(device));
    }
    return kept;
}

MuteManager::Devices MuteManager::compatibleInputDevices(BluetoothDevicesMode mode,
                                                         bool excludeBuiltIn) {
    auto candidates = inputDeviceCandidates();
    bool workaround = useBluetoothWorkaround();
    std::optional<Array> builtInNames;
    if (excludeBuiltIn) builtInNames = remotevalues::array("builtInMicrophoneNames");
    Devices result;
    for (auto& device : candidates) {
        if (workaround && mode != BluetoothDevicesMode::include) {
            bool bluetooth = isBluetoothDevice(device);
            if (mode == BluetoothDevicesMode::exclude && bluetooth) continue;
            if (mode == BluetoothDevicesMode::onlyBluetooth && !bluetooth) continue;
        }
        auto model = device->modelUID();
        if (!model) continue;
        if (excludeBuiltIn && remotevalues::containsString(builtInNames, *model)) continue;
        result.push_back(std::move(device));
    }
    return result;
}

// ---- Applying and reading mute -------------------------------------------------

bool MuteManager::setMute(bool muted, const Devices& devices) {
    bool allWritten = true;
    for (const auto& device : devices) {
        if (device->canMute(0, Scope::input)) {
            if (!device->setMute(muted, 0, Scope::input)) {
                allWritten = false;
                NSLog(std::string(muted ? "Unable to mute device: " : "Unable to unmute device: ") +
                      device->name());
            }
        } else if (device->isOutputOnlyDevice()) {
            NSLog("Output-only device connected; ignoring. " + device->name());
        }
    }
    return allWritten;
}

MuteState MuteManager::getAggregatedMuteStatus() {
    return tallyMutes().state();
}

MuteManager::MuteTally MuteManager::tallyMutes() {
    MuteTally tally;
    for (const auto& device : compatibleInputDevices(BluetoothDevicesMode::exclude, false))
        tally.muted[device->objectID] = device->isMuted(0, Scope::input).value_or(false);
    return tally;
}

MuteState MuteManager::MuteTally::state() const {
    if (muted.empty()) return MuteState::muted;
    auto count = static_cast<std::size_t>(
        std::count_if(muted.begin(), muted.end(), [](const auto& entry) { return entry.second; }));
    if (count == muted.size()) return MuteState::muted;
    return count == 0 ? MuteState::unmuted : MuteState::mixed;
}

void MuteManager::toggleMuteOfAllInputDevices() {
    bool muted = !Defaults::get(Keys::devicesMuted());
    if (!setMute(muted, compatibleInputDevices(BluetoothDevicesMode::exclude, false)))
        lastMuteState_ = getAggregatedMuteStatus();
}

// ---- Tokens --------------------------------------------------------------------

void MuteManager::replaceToken(std::map<AudioObjectID, Token>& tokens, AudioObjectID id,
                               Token token) {
    auto& slot = tokens[id];
    removeToken(slot);
    slot = std::move(token);
}

void MuteManager::removeTokens(std::map<AudioObjectID, Token>& tokens) {
    auto center = NSNotificationCenter::defaultCenter();
    for (auto& [id, token] : tokens)
        if (token) center->removeObserver(token);
    tokens.clear();
}

void MuteManager::removeToken(Token& token) {
    if (token) NSNotificationCenter::defaultCenter()->removeObserver(token);
    token.reset();
}
