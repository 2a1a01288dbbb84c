#pragma once
// The mute engine: the one object that changes the microphones. It finds the
// input devices it handles, mutes and unmutes them together, keeps them in
// the requested state while devices come and go, the default input changes
// or another program flips a mute control, applies the Bluetooth workaround
// and the input reselection, and raises device warnings and reports.
//
// Created once by the shell with create(), right after the closed-lid
// observer. Main thread only: every observer it registers delivers on the
// main queue. Its observer blocks hold the engine weakly, and it removes its
// registrations when destroyed, so an engine that is gone never acts.
//
// Typical use by the shell:
//
//     auto engine = MuteManager::create(clamshellObserver);
//     auto devices = engine->compatibleInputDevices(BluetoothDevicesMode::exclude, false);
//     Defaults::set(Defaults::Keys::devicesMuted(), true);
//     MuteManager::setMute(true, devices);
//     ...
//     if (engine->cleanUp() != 0) NSLog("Problem cleaning up Lumbrel audio MuteManager.");

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/audio/AudioDevice.h"
#include "app/mute/MuteState.h"
#include "platform/foundation/Object.h"
#include "platform/notifications/NSNotificationCenter.h"

class ClamshellObserver;

class MuteManager : public NSObject {
  public:
    using Devices = std::vector<std::shared_ptr<AudioDevice>>;
    using Token = std::shared_ptr<NSNotificationObserver>;

    // Reports every input device, starts observing and, when the Bluetooth
    // workaround is in force, applies it. Mutes nothing.
    static std::shared_ptr<MuteManager> create(
        std::shared_ptr<ClamshellObserver> clamshellObserver);
    ~MuteManager() override;

    std::string className() const override { return "MuteManager"; }

    // Model UIDs of outside aggregate devices that cannot be muted, and the
    // name the aggregate-device alert shows for each.
    static const std::vector<std::string>& AggregateDevices();
    static const std::map<std::string, std::string>& AggregateDeviceNames();

    // ---- Life cycle ------------------------------------------------------
    // The user session resigned: drops the observers, turns the Bluetooth
    // workaround's state off and unmutes. The shell reactivates with
    // setMute(stored), the three observe calls and, when in force,
    // applyBluetoothWorkaround(true).
    void deactivate();
    // At exit: removes every observer, unmutes, turns the Bluetooth
    // workaround's state off. Answers 0, or kAudioHardwareUnspecifiedError
    // when a device could not be restored (a mute or default-input write
    // failed). Either way the engine then guards nothing: the caller ends
    // the process or, to stay open, calls reactivate().
    OSStatus cleanUp();
    // Guards the microphones again after deactivate() or a failed
    // cleanUp(): applies the stored devicesMuted to the handled devices,
    // observes them, the device list and the default input, and applies the
    // Bluetooth workaround when it is in force.
    void reactivate();

    // ---- Input device selection -----------------------------------------
    // The handled list for the mode, in the system's order; computed afresh.
    // Every device returned has a model UID and input channels.
    Devices compatibleInputDevices(BluetoothDevicesMode mode, bool excludeBuiltIn);
    // All input devices minus problematic ones (each warned about), with the
    // one-time Bluetooth notice, keeping those with input channels.
    Devices inputDeviceCandidates();
    static bool isBluetoothDevice(const std::shared_ptr<AudioDevice>& device);
    static bool isBuiltInMicrophone(const AudioDevice& device);
    static bool isProblematicDevice(const std::shared_ptr<AudioDevice>& device);
    // The first handled device that is a built-in microphone.
    std::shared_ptr<AudioDevice> builtInMicrophone();

    // ---- Applying and reading mute ---------------------------------------
    // Writes the state to every device that can be muted on the main input
    // element; an output-only device is logged and skipped. Answers false
    // when a write failed (each failure is logged).
    static bool setMute(bool muted, const Devices& devices);
    // Folds the handled devices' mute flags; a device without a readable flag
    // counts but is never muted.
    MuteState getAggregatedMuteStatus();
    // Applies the negation of the stored devicesMuted (which stays as it is).
    void toggleMuteOfAllInputDevices();

    // ---- Observation -----------------------------------------------------
    // Each replaces (and removes) a registration it made before.
    void observeMuteChanges();
    void observeDeviceList();
    void observeDefaultInput();
    // Rewrites the device when the combined state differs from the stored
    // intention and the device's own mute is not known to match it.
    void checkMuteConsistency(const std::shared_ptr<AudioDevice>& device);
    void deviceListChanged(const NSNotification& notification);
    void defaultInputChanged(const NSNotification& notification);
    void removeBluetoothObserver(const AudioDevice& device);

    // ---- Bluetooth workaround and reselection -----------------------------
    // On releases 12.0 up to (not including) 12.4 only: the remote switch,
    // which the stored setting may override when "allowedOverrides" allows.
    static bool useBluetoothWorkaround();
    static bool useBluetoothHogMode();
    void applyBluetoothWorkaround(bool on);
    void observeBluetoothDevices();
    // Moves the default input away from a Bluetooth device, a problematic
    // one (when asked remotely), or the built-in microphone with the lid
    // closed.
    void selectPreferredInputDevice();

    // ---- Warnings and reports --------------------------------------------
    void warnAboutProblematicDevice(const std::shared_ptr<AudioDevice>& device);
    void warnAboutAggregateDevice(const std::shared_ptr<AudioDevice>& device);
    static void reportDevice(const AudioDevice& device);
    void reportAllInputDevices();

    // ---- State -----------------------------------------------------------
    MuteState lastMuteState() const { return lastMuteState_; }
    const std::shared_ptr<ClamshellObserver>& clamshellObserver() const {
        return clamshellObserver_;
    }
    const std::shared_ptr<AudioDevice>& previousInputDevice() const { return previousInputDevice_; }
    const std::map<AudioObjectID, Token>& muteObservers() const { return muteObservers_; }
    const std::map<AudioObjectID, Token>& bluetoothObservers() const { return bluetoothObservers_; }
    bool isObservingDeviceList() const { return deviceListObserver_ != nullptr; }
    bool isObservingDefaultInput() const { return defaultInputObserver_ != nullptr; }

    explicit MuteManager(std::shared_ptr<ClamshellObserver> clamshellObserver);

  private:
    std::weak_ptr<MuteManager> weakSelf();
    bool isInClamshellMode() const;
    Token observeMute(const std::shared_ptr<AudioDevice>& device);
    // A device's mute notification: its check joins the pass queued behind
    // the notifications already waiting on the main queue.
    void muteDidChange(const std::shared_ptr<AudioDevice>& device);
    void checkPendingMuteChanges();
    // The handled devices' mute flags as getAggregatedMuteStatus folds them:
    // true only for a readable mute that is on.
    struct MuteTally {
        std::map<AudioObjectID, bool> muted;
        MuteState state() const;
    };
    MuteTally tallyMutes();
    // `tally` is read when absent and kept up to date by a rewrite.
    void checkMuteConsistency(const std::shared_ptr<AudioDevice>& device,
                              std::optional<MuteTally>& tally);
    Token observeBluetoothDevice(const std::shared_ptr<AudioDevice>& device);
    void replaceToken(std::map<AudioObjectID, Token>& tokens, AudioObjectID id, Token token);
    void removeTokens(std::map<AudioObjectID, Token>& tokens);
    void removeToken(Token& token);
    void maybeShowBluetoothWorkaroundNotice(bool haveBluetoothDevices);
    // The workaround's state off; false when restoring the default input
    // failed.
    bool turnOffBluetoothState();
    void applyHogMode(bool on);

    MuteState lastMuteState_ = MuteState::unmuted;
    std::shared_ptr<ClamshellObserver> clamshellObserver_;
    std::map<AudioObjectID, Token> bluetoothObservers_;
    Token deviceListObserver_;
    Token defaultInputObserver_;
    std::map<AudioObjectID, Token> muteObservers_;
    std::shared_ptr<AudioDevice> previousInputDevice_;
    // Devices whose mute changed since the last pass, each once, in order.
    Devices pendingMuteChecks_;
    std::set<AudioObjectID> pendingMuteCheckIDs_;
    bool muteCheckQueued_ = false;
};
