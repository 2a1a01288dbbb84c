#pragma once
// Types, codes and structures of the platform's audio object model, under the
// platform's names. Selectors, scopes and class identifiers are
// four-character codes: the four ASCII characters packed big-endian into 32
// bits, so 'glob' is 0x676C6F62.

#include <cstdint>
#include <string>
#include "platform/foundation/MacTypes.h"

using AudioObjectID = UInt32;
using AudioDeviceID = AudioObjectID;
using AudioStreamID = AudioObjectID;
using AudioClassID = UInt32;
using AudioObjectPropertySelector = UInt32;
using AudioObjectPropertyScope = UInt32;
using AudioObjectPropertyElement = UInt32;
using AudioFormatID = UInt32;
using AudioFormatFlags = UInt32;

// The four characters of a code, packed big-endian.
constexpr UInt32 FourCC(const char (&code)[5]) {
    return (UInt32(static_cast<unsigned char>(code[0])) << 24) |
           (UInt32(static_cast<unsigned char>(code[1])) << 16) |
           (UInt32(static_cast<unsigned char>(code[2])) << 8) |
           UInt32(static_cast<unsigned char>(code[3]));
}
// 'abcd' for printable codes, the decimal number otherwise.
std::string FourCCString(UInt32 code);

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector = 0;
    AudioObjectPropertyScope mScope = 0;
    AudioObjectPropertyElement mElement = 0;
    bool operator==(const AudioObjectPropertyAddress&) const = default;
};

using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID inObjectID,
                                                     UInt32 inNumberAddresses,
                                                     const AudioObjectPropertyAddress* inAddresses,
                                                     void* inClientData);

// ---- Status codes -------------------------------------------------------
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(FourCC("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(FourCC("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<OSStatus>(FourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError =
    static_cast<OSStatus>(FourCC("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(FourCC("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(FourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(FourCC("!dev"));
inline constexpr OSStatus kAudioHardwareBadStreamError = static_cast<OSStatus>(FourCC("!str"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    static_cast<OSStatus>(FourCC("unop"));
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError =
    static_cast<OSStatus>(FourCC("!dat"));
inline constexpr OSStatus kAudioDevicePermissionsError = static_cast<OSStatus>(FourCC("!hog"));

// ---- Objects, scopes, elements ------------------------------------------
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = FourCC("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = FourCC("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = FourCC("outp");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopePlayThrough = FourCC("ptru");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard = FourCC("****");
inline constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeInput =
    kAudioObjectPropertyScopeInput;
inline constexpr AudioObjectPropertyScope kAudioDevicePropertyScopeOutput =
    kAudioObjectPropertyScopeOutput;

inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMaster = 0;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFF;
inline constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard = FourCC("****");

// ---- Classes -------------------------------------------------------------
inline constexpr AudioClassID kAudioObjectClassID = FourCC("aobj");
inline constexpr AudioClassID kAudioSystemObjectClassID = FourCC("asys");
inline constexpr AudioClassID kAudioDeviceClassID = FourCC("adev");
inline constexpr AudioClassID kAudioSubDeviceClassID = FourCC("asub");
inline constexpr AudioClassID kAudioAggregateDeviceClassID = FourCC("aagg");
inline constexpr AudioClassID kAudioEndPointClassID = FourCC("endp");
inline constexpr AudioClassID kAudioEndPointDeviceClassID = FourCC("edev");
inline constexpr AudioClassID kAudioStreamClassID = FourCC("astr");
inline constexpr AudioClassID kAudioControlClassID = FourCC("actl");
inline constexpr AudioClassID kAudioMuteControlClassID = FourCC("mute");
inline constexpr AudioClassID kAudioVolumeControlClassID = FourCC("vlme");

// ---- Object properties ---------------------------------------------------
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyClass = FourCC("clas");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyOwner = FourCC("stdv");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = FourCC("lnam");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyManufacturer = FourCC("lmak");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyElementName = FourCC("lchn");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyOwnedObjects = FourCC("ownd");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyControlList = FourCC("ctrl");

// ---- System object properties --------------------------------------------
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = FourCC("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice =
    FourCC("dIn ");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice =
    FourCC("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultSystemOutputDevice =
    FourCC("sOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDeviceForUID = FourCC("duid");

// ---- Device properties ---------------------------------------------------
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = FourCC("uid ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyModelUID = FourCC("muid");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType = FourCC("tran");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyRelatedDevices = FourCC("akin");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyConfigurationApplication =
    FourCC("capp");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyIsHidden = FourCC("hidn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = FourCC("livn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunning = FourCC("goin");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunningSomewhere =
    FourCC("gone");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyJackIsConnected = FourCC("jack");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = FourCC("stm#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyPreferredChannelLayout =
    FourCC("srnd");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyHogMode = FourCC("oink");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyVolumeScalar = FourCC("volm");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyVolumeDecibels = FourCC("vold");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyVolumeScalarToDecibels =
    FourCC("v2db");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyVolumeDecibelsToScalar =
    FourCC("db2v");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyMute = FourCC("mute");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyPlayThru = FourCC("thru");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyPreferredChannelsForStereo =
    FourCC("dch2");
inline constexpr AudioObjectPropertySelector kAudioHardwareServiceDeviceProperty_VirtualMainVolume =
    FourCC("vmvc");
inline constexpr AudioObjectPropertySelector
    kAudioHardwareServiceDeviceProperty_VirtualMainBalance = FourCC("vmbc");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDriverShouldOwniSub =
    FourCC("isub");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertySubMute = FourCC("smut");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertySubVolumeScalar = FourCC("svlm");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertySubVolumeDecibels = FourCC("svld");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyClockSource = FourCC("csrc");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyClockSources = FourCC("csc#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyClockSourceNameForIDCFString =
    FourCC("lcsn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSource = FourCC("ssrc");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSources = FourCC("ssc#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDataSourceNameForIDCFString =
    FourCC("lscn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate = FourCC("nsrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyActualSampleRate = FourCC("asrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyAvailableNominalSampleRates =
    FourCC("nsr#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyLatency = FourCC("ltnc");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertySafetyOffset = FourCC("saft");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize = FourCC("fsiz");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSizeRange =
    FourCC("fsz#");
inline constexpr AudioObjectPropertySelector kAudioDeviceProcessorOverload = FourCC("over");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyIOStoppedAbnormally =
    FourCC("stpd");
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyMainSubDevice =
    FourCC("amst");

// ---- Stream properties ---------------------------------------------------
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyIsActive = FourCC("sact");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyDirection = FourCC("sdir");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyTerminalType = FourCC("term");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyStartingChannel = FourCC("schn");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyLatency = FourCC("ltnc");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat = FourCC("sfmt");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyAvailableVirtualFormats =
    FourCC("sfma");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyPhysicalFormat = FourCC("pft ");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyAvailablePhysicalFormats =
    FourCC("pfta");

// ---- Transport types -----------------------------------------------------
inline constexpr UInt32 kAudioDeviceTransportTypeUnknown = 0;
inline constexpr UInt32 kAudioDeviceTransportTypeBuiltIn = FourCC("bltn");
inline constexpr UInt32 kAudioDeviceTransportTypeAggregate = FourCC("grup");
inline constexpr UInt32 kAudioDeviceTransportTypeVirtual = FourCC("virt");
inline constexpr UInt32 kAudioDeviceTransportTypePCI = FourCC("pci ");
inline constexpr UInt32 kAudioDeviceTransportTypeUSB = FourCC("usb ");
inline constexpr UInt32 kAudioDeviceTransportTypeFireWire = FourCC("1394");
inline constexpr UInt32 kAudioDeviceTransportTypeBluetooth = FourCC("blue");
inline constexpr UInt32 kAudioDeviceTransportTypeBluetoothLE = FourCC("blea");
inline constexpr UInt32 kAudioDeviceTransportTypeHDMI = FourCC("hdmi");
inline constexpr UInt32 kAudioDeviceTransportTypeDisplayPort = FourCC("dprt");
inline constexpr UInt32 kAudioDeviceTransportTypeAirPlay = FourCC("airp");
inline constexpr UInt32 kAudioDeviceTransportTypeAVB = FourCC("eavb");
inline constexpr UInt32 kAudioDeviceTransportTypeThunderbolt = FourCC("thun");

// ---- Terminal types ------------------------------------------------------
inline constexpr UInt32 kAudioStreamTerminalTypeUnknown = 0;
inline constexpr UInt32 kAudioStreamTerminalTypeLine = FourCC("line");
inline constexpr UInt32 kAudioStreamTerminalTypeDigitalAudioInterface = FourCC("spdf");
inline constexpr UInt32 kAudioStreamTerminalTypeSpeaker = FourCC("spkr");
inline constexpr UInt32 kAudioStreamTerminalTypeHeadphones = FourCC("hdph");
inline constexpr UInt32 kAudioStreamTerminalTypeLFESpeaker = FourCC("lfes");
inline constexpr UInt32 kAudioStreamTerminalTypeReceiverSpeaker = FourCC("rspk");
inline constexpr UInt32 kAudioStreamTerminalTypeMicrophone = FourCC("micr");
inline constexpr UInt32 kAudioStreamTerminalTypeHeadsetMicrophone = FourCC("hmic");
inline constexpr UInt32 kAudioStreamTerminalTypeReceiverMicrophone = FourCC("rmic");
inline constexpr UInt32 kAudioStreamTerminalTypeTTY = FourCC("tty_");
inline constexpr UInt32 kAudioStreamTerminalTypeHDMI = FourCC("hdmi");
inline constexpr UInt32 kAudioStreamTerminalTypeDisplayPort = FourCC("dprt");

// ---- Formats -------------------------------------------------------------
inline constexpr AudioFormatID kAudioFormatLinearPCM = FourCC("lpcm");
inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 0x1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 0x8;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonMixable = 0x40;

// ---- Structures (sizes as on the 64-bit platform) -------------------------
struct AudioValueRange {
    Float64 mMinimum = 0;
    Float64 mMaximum = 0;
    bool operator==(const AudioValueRange&) const = default;
};
static_assert(sizeof(AudioValueRange) == 16);

struct AudioValueTranslation {
    void* mInputData = nullptr;
    UInt32 mInputDataSize = 0;
    void* mOutputData = nullptr;
    UInt32 mOutputDataSize = 0;
};
static_assert(sizeof(AudioValueTranslation) == 32);

struct AudioStreamBasicDescription {
    Float64 mSampleRate = 0;
    AudioFormatID mFormatID = 0;
    AudioFormatFlags mFormatFlags = 0;
    UInt32 mBytesPerPacket = 0;
    UInt32 mFramesPerPacket = 0;
    UInt32 mBytesPerFrame = 0;
    UInt32 mChannelsPerFrame = 0;
    UInt32 mBitsPerChannel = 0;
    UInt32 mReserved = 0;
    bool operator==(const AudioStreamBasicDescription&) const = default;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
    bool operator==(const AudioStreamRangedDescription&) const = default;
};
static_assert(sizeof(AudioStreamRangedDescription) == 56);

struct AudioChannelDescription {
    UInt32 mChannelLabel = 0;
    UInt32 mChannelFlags = 0;
    Float32 mCoordinates[3] = {0, 0, 0};
};

struct AudioChannelLayout {
    UInt32 mChannelLayoutTag = 0;
    UInt32 mChannelBitmap = 0;
    UInt32 mNumberChannelDescriptions = 0;
    AudioChannelDescription mChannelDescriptions[1];
};
static_assert(sizeof(AudioChannelLayout) == 32);

// A 32-bit float linear-PCM format of `channels` channels at `rate`.
AudioStreamBasicDescription MakeLinearPCMFormat(Float64 rate, UInt32 channels,
                                                AudioFormatFlags extraFlags = 0);
