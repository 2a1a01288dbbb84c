#include <gtest/gtest.h>

#include "app/audio/AudioEnums.h"

namespace {

TEST(AudioEnums, ScopeCodes) {
    struct Case {
        Scope scope;
        UInt32 code;
        Scope readBack;
    };
    for (const auto& c : std::vector<Case>{
             {Scope::global, 0x676C6F62, Scope::global},
             {Scope::input, 0x696E7074, Scope::input},
             {Scope::output, 0x6F757470, Scope::output},
             {Scope::playthrough, 0x70747275, Scope::playthrough},
             {Scope::master, 0, Scope::master},
             {Scope::wildcard, 0x2A2A2A2A, Scope::wildcard},
             {Scope::main, 0, Scope::master},  // main is never produced
         }) {
        EXPECT_EQ(scopeCode(c.scope), c.code) << scopeName(c.scope);
        EXPECT_EQ(scopeFromCode(c.code), c.readBack) << scopeName(c.scope);
        EXPECT_EQ(scopeFromName(scopeName(c.scope)), c.scope);
    }
    EXPECT_EQ(scopeFromCode(FourCC("abcd")), Scope::wildcard);
    EXPECT_EQ(scopeFromDirection(1), Scope::input);
    EXPECT_EQ(scopeFromDirection(0), Scope::output);
    EXPECT_EQ(scopeFromDirection(2), std::nullopt);
    EXPECT_EQ(scopeFromName("Input"), std::nullopt);
}

TEST(AudioEnums, Elements) {
    EXPECT_EQ(Element::custom(3).value(), 3u);
    EXPECT_EQ(Element::main().value(), 0u);
    EXPECT_EQ(Element::master().value(), 0u);
    EXPECT_EQ(Element::main().kind(), Element::Kind::main);
    EXPECT_FALSE(Element::main() == Element::master());
}

TEST(AudioEnums, TransportTypes) {
    struct Case {
        UInt32 code;
        TransportType type;
        const char* raw;
    };
    for (const auto& c : std::vector<Case>{
             {FourCC("bltn"), TransportType::builtIn, "Built-In"},
             {FourCC("grup"), TransportType::aggregate, "Aggregate"},
             {FourCC("virt"), TransportType::virtual_, "Virtual"},
             {FourCC("pci "), TransportType::pci, "PCI"},
             {FourCC("usb "), TransportType::usb, "USB"},
             {FourCC("1394"), TransportType::fireWire, "FireWire"},
             {FourCC("blue"), TransportType::bluetooth, "Bluetooth"},
             {FourCC("blea"), TransportType::bluetoothLE, "Bluetooth LE"},
             {FourCC("hdmi"), TransportType::hdmi, "HDMI"},
             {FourCC("dprt"), TransportType::displayPort, "DisplayPort"},
             {FourCC("airp"), TransportType::airPlay, "AirPlay"},
             {FourCC("eavb"), TransportType::avb, "AVB"},
             {FourCC("thun"), TransportType::thunderbolt, "Thunderbolt"},
             {FourCC("abcd"), TransportType::unknown, "Unknown"},
             {0, TransportType::unknown, "Unknown"},
         }) {
        EXPECT_EQ(transportTypeFromCode(c.code), c.type) << c.raw;
        EXPECT_EQ(rawValue(c.type), c.raw);
        EXPECT_EQ(transportTypeFromRawValue(c.raw), c.type);
    }
    EXPECT_EQ(transportTypeFromRawValue("bluetooth le"), std::nullopt);
    EXPECT_EQ(transportTypeFromRawValue("Bluetooth LE "), std::nullopt);
}

TEST(AudioEnums, TerminalTypes) {
    struct Case {
        UInt32 code;
        TerminalType type;
        const char* raw;
    };
    for (const auto& c : std::vector<Case>{
             {FourCC("line"), TerminalType::line, "Line"},
             {FourCC("spdf"), TerminalType::digitalAudioInterface, "Digital Audio Interface"},
             {FourCC("spkr"), TerminalType::speaker, "Speaker"},
             {FourCC("hdph"), TerminalType::headphones, "Headphones"},
             {FourCC("lfes"), TerminalType::lfeSpeaker, "LFE Speaker"},
             {FourCC("rspk"), TerminalType::receiverSpeaker, "Receiver Speaker"},
             {FourCC("micr"), TerminalType::microphone, "Microphone"},
             {FourCC("hmic"), TerminalType::headsetMicrophone, "Headset Microphone"},
             {FourCC("rmic"), TerminalType::receiverMicrophone, "Receiver Microphone"},
             {FourCC("tty_"), TerminalType::tty, "TTY"},
             {FourCC("hdmi"), TerminalType::hdmi, "HDMI"},
             {FourCC("dprt"), TerminalType::displayPort, "DisplayPort"},
             {FourCC("zzzz"), TerminalType::unknown, "Unknown"},
         }) {
        EXPECT_EQ(terminalTypeFromCode(c.code), c.type) << c.raw;
        EXPECT_EQ(rawValue(c.type), c.raw);
        EXPECT_EQ(terminalTypeFromRawValue(c.raw), c.type);
    }
}

}  // namespace
