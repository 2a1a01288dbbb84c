#pragma once
// The values that travel between the mute engine and the application shell:
// the combined mute state of the handled microphones and which Bluetooth
// input devices the engine's device list keeps.

#include <cstdint>
#include <optional>

// The combined state of the handled input devices. An empty list is muted.
enum class MuteState : std::int64_t { muted = 0, mixed = 1, unmuted = 2 };

// How compatibleInputDevices treats Bluetooth inputs while the Bluetooth
// workaround is on.
enum class BluetoothDevicesMode : std::int64_t { exclude = 0, include = 1, onlyBluetooth = 2 };

// Construction from a raw integer: none outside 0...2.
std::optional<MuteState> muteStateFromRaw(std::int64_t raw);
std::optional<BluetoothDevicesMode> bluetoothDevicesModeFromRaw(std::int64_t raw);

// Whether the state is what the stored intention asks for; mixed never is.
bool muteStateAgrees(MuteState state, bool devicesMuted);
