#pragma once
// The vocabulary of the audio device model: property scopes, elements, the
// terminal type of a stream and the transport type of a device, with the
// four-character codes of the platform that they stand for.

#include <optional>
#include <string>
#include <string_view>

#include "platform/audio/AudioTypes.h"

enum class Scope { global, input, output, playthrough, master, wildcard, main };

// The property scope code of a case ('glob', 'inpt', 'outp', 'ptru', 0,
// '****', 0).
UInt32 scopeCode(Scope scope);
// Reading a code back: 0 gives master, an unknown code wildcard; main is
// never produced.
Scope scopeFromCode(UInt32 code);
// A stream's direction value: 1 input, 0 output, others none.
std::optional<Scope> scopeFromDirection(UInt32 direction);
// "global", "input", ... (the case's name); how notifications carry a scope.
std::string_view scopeName(Scope scope);
std::optional<Scope> scopeFromName(std::string_view name);

// An element: a numbered one, or the main (also called master) element 0.
// The accessors of the model take plain element numbers.
class Element {
  public:
    enum class Kind { custom, main, master };
    static Element custom(UInt32 number) { return Element(Kind::custom, number); }
    static Element main() { return Element(Kind::main, 0); }
    static Element master() { return Element(Kind::master, 0); }
    Kind kind() const { return kind_; }
    UInt32 value() const { return number_; }
    bool operator==(const Element&) const = default;

  private:
    Element(Kind kind, UInt32 number) : kind_(kind), number_(number) {}
    Kind kind_;
    UInt32 number_;
};

enum class TerminalType {
    unknown,
    line,
    digitalAudioInterface,
    speaker,
    headphones,
    lfeSpeaker,
    receiverSpeaker,
    microphone,
    headsetMicrophone,
    receiverMicrophone,
    tty,
    hdmi,
    displayPort,
};

// "Unknown", "Line", "Digital Audio Interface", ...
const std::string& rawValue(TerminalType type);
// Exact, case-sensitive match of the whole raw value; absent otherwise.
std::optional<TerminalType> terminalTypeFromRawValue(std::string_view raw);
// An unlisted code gives unknown.
TerminalType terminalTypeFromCode(UInt32 code);

enum class TransportType {
    unknown,
    builtIn,
    aggregate,
    virtual_,
    pci,
    usb,
    fireWire,
    bluetooth,
    bluetoothLE,
    hdmi,
    displayPort,
    airPlay,
    avb,
    thunderbolt,
};

// "Unknown", "Built-In", "Aggregate", "Virtual", ..., "Bluetooth LE", ...
const std::string& rawValue(TransportType type);
std::optional<TransportType> transportTypeFromRawValue(std::string_view raw);
TransportType transportTypeFromCode(UInt32 code);
