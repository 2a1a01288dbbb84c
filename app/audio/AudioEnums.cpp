#include "app/audio/AudioEnums.h"

#include <array>
#include <utility>
#include <vector>

namespace {

struct ScopeEntry {
    Scope scope;
    UInt32 code;
    std::string_view name;
};

constexpr std::array<ScopeEntry, 7> kScopes{{
    {Scope::global, kAudioObjectPropertyScopeGlobal, "global"},
    {Scope::input, kAudioObjectPropertyScopeInput, "input"},
    {Scope::output, kAudioObjectPropertyScopeOutput, "output"},
    {Scope::playthrough, kAudioObjectPropertyScopePlayThrough, "playthrough"},
    {Scope::master, 0, "master"},
    {Scope::wildcard, kAudioObjectPropertyScopeWildcard, "wildcard"},
    {Scope::main, 0, "main"},
}};

template <class E>
struct RawEntry {
    E value;
    UInt32 code;
    std::string raw;
};

const std::vector<RawEntry<TerminalType>>& terminalTable() {
    static const std::vector<RawEntry<TerminalType>> table{
        {TerminalType::unknown, 0, "Unknown"},
        {TerminalType::line, kAudioStreamTerminalTypeLine, "Line"},
        {TerminalType::digitalAudioInterface, kAudioStreamTerminalTypeDigitalAudioInterface,
         "Digital Audio Interface"},
        {TerminalType::speaker, kAudioStreamTerminalTypeSpeaker, "Speaker"},
        {TerminalType::headphones, kAudioStreamTerminalTypeHeadphones, "Headphones"},
        {TerminalType::lfeSpeaker, kAudioStreamTerminalTypeLFESpeaker, "LFE Speaker"},
        {TerminalType::receiverSpeaker, kAudioStreamTerminalTypeReceiverSpeaker,
         "Receiver Speaker"},
        {TerminalType::microphone, kAudioStreamTerminalTypeMicrophone, "Microphone"},
        {TerminalType::headsetMicrophone, kAudioStreamTerminalTypeHeadsetMicrophone,
         "Headset Microphone"},
        {TerminalType::receiverMicrophone, kAudioStreamTerminalTypeReceiverMicrophone,
         "Receiver Microphone"},
        {TerminalType::tty, kAudioStreamTerminalTypeTTY, "TTY"},
        {TerminalType::hdmi, kAudioStreamTerminalTypeHDMI, "HDMI"},
        {TerminalType::displayPort, kAudioStreamTerminalTypeDisplayPort, "DisplayPort"},
    };
    return table;
}

const std::vector<RawEntry<TransportType>>& transportTable() {
    static const std::vector<RawEntry<TransportType>> table{
        {TransportType::unknown, 0, "Unknown"},
        {TransportType::builtIn, kAudioDeviceTransportTypeBuiltIn, "Built-In"},
        {TransportType::aggregate, kAudioDeviceTransportTypeAggregate, "Aggregate"},
        {TransportType::virtual_, kAudioDeviceTransportTypeVirtual, "Virtual"},
        {TransportType::pci, kAudioDeviceTransportTypePCI, "PCI"},
        {TransportType::usb, kAudioDeviceTransportTypeUSB, "USB"},
        {TransportType::fireWire, kAudioDeviceTransportTypeFireWire, "FireWire"},
        {TransportType::bluetooth, kAudioDeviceTransportTypeBluetooth, "Bluetooth"},
        {TransportType::bluetoothLE, kAudioDeviceTransportTypeBluetoothLE, "Bluetooth LE"},
        {TransportType::hdmi, kAudioDeviceTransportTypeHDMI, "HDMI"},
        {TransportType::displayPort, kAudioDeviceTransportTypeDisplayPort, "DisplayPort"},
        {TransportType::airPlay, kAudioDeviceTransportTypeAirPlay, "AirPlay"},
        {TransportType::avb, kAudioDeviceTransportTypeAVB, "AVB"},
        {TransportType::thunderbolt, kAudioDeviceTransportTypeThunderbolt, "Thunderbolt"},
    };
    return table;
}

template <class E>
const std::string& rawOf(const std::vector<RawEntry<E>>& table, E value) {
    for (const auto& entry : table)
        if (entry.value == value) return entry.raw;
    return table.front().raw;
}

template <class E>
std::optional<E> fromRaw(const std::vector<RawEntry<E>>& table, std::string_view raw) {
    for (const auto& entry : table)
        if (entry.raw == raw) return entry.value;
    return std::nullopt;
}

template <class E>
E fromCode(const std::vector<RawEntry<E>>& table, UInt32 code) {
    // The first entry (unknown) stands for every unlisted code, 0 included.
    for (std::size_t i = 1; i < table.size(); ++i)
        if (table[i].code == code) return table[i].value;
    return table.front().value;
}

}  // namespace

UInt32 scopeCode(Scope scope) {
    return kScopes[static_cast<std::size_t>(scope)].code;
}

Scope scopeFromCode(UInt32 code) {
    switch (code) {
        case kAudioObjectPropertyScopeGlobal:
            return Scope::global;
        case kAudioObjectPropertyScopeInput:
            return Scope::input;
        case kAudioObjectPropertyScopeOutput:
            return Scope::output;
        case kAudioObjectPropertyScopePlayThrough:
            return Scope::playthrough;
        case 0:
            return Scope::master;
        default:
            return Scope::wildcard;
    }
}

std::optional<Scope> scopeFromDirection(UInt32 direction) {
    if (direction == 1) return Scope::input;
    if (direction == 0) return Scope::output;
    return std::nullopt;
}

std::string_view scopeName(Scope scope) {
    return kScopes[static_cast<std::size_t>(scope)].name;
}

std::optional<Scope> scopeFromName(std::string_view name) {
    for (const auto& entry : kScopes)
        if (entry.name == name) return entry.scope;
    return std::nullopt;
}

const std::string& rawValue(TerminalType type) {
    return rawOf(terminalTable(), type);
}

std::optional<TerminalType> terminalTypeFromRawValue(std::string_view raw) {
    return fromRaw(terminalTable(), raw);
}

TerminalType terminalTypeFromCode(UInt32 code) {
    return fromCode(terminalTable(), code);
}

const std::string& rawValue(TransportType type) {
    return rawOf(transportTable(), type);
}

std::optional<TransportType> transportTypeFromRawValue(std::string_view raw) {
    return fromRaw(transportTable(), raw);
}

TransportType transportTypeFromCode(UInt32 code) {
    return fromCode(transportTable(), code);
}
