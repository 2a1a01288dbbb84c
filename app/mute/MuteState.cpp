#include "app/mute/MuteState.h"

std::optional<MuteState> muteStateFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<MuteState>(raw);
}

std::optional<BluetoothDevicesMode> bluetoothDevicesModeFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 2) return std::nullopt;
    return static_cast<BluetoothDevicesMode>(raw);
}

bool muteStateAgrees(MuteState state, bool devicesMuted) {
    return devicesMuted ? state == MuteState::muted : state == MuteState::unmuted;
}
