#include "app/audio/AudioStream.h"

#include <cstdio>

#include "app/audio/AudioNotifications.h"
#include "app/audio/AudioObjectPool.h"
#include "platform/notifications/NSNotificationCenter.h"

std::string describeFormat(const std::optional<AudioStreamBasicDescription>& format) {
    if (!format) return "nil";
    char text[320];
    std::snprintf(text, sizeof(text),
                  "AudioStreamBasicDescription(mSampleRate: %.1f, mFormatID: %u, mFormatFlags: %u, "
                  "mBytesPerPacket: %u, mFramesPerPacket: %u, mBytesPerFrame: %u, "
                  "mChannelsPerFrame: %u, mBitsPerChannel: %u, mReserved: %u)",
                  format->mSampleRate, format->mFormatID, format->mFormatFlags,
                  format->mBytesPerPacket, format->mFramesPerPacket, format->mBytesPerFrame,
                  format->mChannelsPerFrame, format->mBitsPerChannel, format->mReserved);
    return text;
}

std::shared_ptr<AudioStream> AudioStream::makeCandidate(AudioObjectID id) {
    return std::shared_ptr<AudioStream>(new AudioStream(id));
}

bool AudioStream::completeConstruction() {
    return owningObject() != nullptr;
}

std::shared_ptr<AudioStream> AudioStream::lookup(AudioObjectID id) {
    return AudioObjectPool::shared().lookupOrCreate<AudioStream>(id);
}

AudioStream::~AudioStream() {
    if (!isPooled()) return;
    AudioObjectPool::shared().forget(objectID, this);
    unregisterForNotifications();
}

void AudioStream::registerForNotifications() {
    addListener(&AudioStream::streamPropertyListener);
}

void AudioStream::unregisterForNotifications() {
    removeListener(&AudioStream::streamPropertyListener);
}

OSStatus AudioStream::streamPropertyListener(AudioObjectID id, UInt32 count,
                                             const AudioObjectPropertyAddress* addresses,
                                             void* clientData) {
    auto stream = AudioObjectPool::shared().get<AudioStream>(id);
    if (!stream) return kAudioHardwareBadObjectError;
    if (clientData != stream->listenerClientData()) return noErr;
    if (count == 0 || !addresses) return noErr;
    const std::string* name = nullptr;
    if (addresses[0].mSelector == kAudioStreamPropertyPhysicalFormat)
        name = &AudioNotificationName::streamPhysicalFormatDidChange();
    else if (addresses[0].mSelector == kAudioStreamPropertyIsActive)
        name = &AudioNotificationName::streamIsActiveDidChange();
    if (name) NSNotificationCenter::defaultCenter()->postNotificationName(*name, stream);
    return noErr;
}

std::string AudioStream::description() const {
    std::string id = std::to_string(objectID);
    return AudioObject::name().value_or("Stream " + id) + " (" + id + ")";
}

// ---- Plain properties ------------------------------------------------------------

namespace {

std::optional<UInt32> readSilently(const AudioObject& object,
                                   AudioObjectPropertySelector selector) {
    auto address = propertyAddress(selector);
    if (!object.hasProperty(address)) return std::nullopt;
    UInt32 value = 0;
    if (object.getPropertyData(address, value) != noErr) return std::nullopt;
    return value;
}

}  // namespace

bool AudioStream::isActive() const {
    return readSilently(*this, kAudioStreamPropertyIsActive) == 1u;
}

std::optional<Scope> AudioStream::direction() const {
    auto value = readSilently(*this, kAudioStreamPropertyDirection);
    if (!value) return std::nullopt;
    return scopeFromDirection(*value);
}

TerminalType AudioStream::terminalType() const {
    auto code = readSilently(*this, kAudioStreamPropertyTerminalType);
    return code ? terminalTypeFromCode(*code) : TerminalType::unknown;
}

std::optional<UInt32> AudioStream::latency() const {
    return readSilently(*this, kAudioStreamPropertyLatency);
}

std::optional<UInt32> AudioStream::startingChannel() const {
    return readSilently(*this, kAudioStreamPropertyStartingChannel);
}

// ---- Formats -----------------------------------------------------------------------

std::optional<AudioStreamBasicDescription> AudioStream::readFormat(
    AudioObjectPropertySelector selector) const {
    auto scope = direction();
    if (!scope) return std::nullopt;
    auto address = propertyAddress(selector, *scope);
    if (!hasProperty(address)) return std::nullopt;
    AudioStreamBasicDescription format{};
    if (getPropertyData(address, format) != noErr) return std::nullopt;
    return format;
}

void AudioStream::writeFormat(AudioObjectPropertySelector selector, const char* name,
                              const std::optional<AudioStreamBasicDescription>& format) const {
    bool written = false;
    if (auto scope = direction()) {
        auto address = propertyAddress(selector, *scope);
        if (hasProperty(address))
            written =
                setPropertyData(address, format.value_or(AudioStreamBasicDescription{})) == noErr;
    }
    if (!written) {
        os_log_debug(audioLog(),
                     std::string("Error setting ") + name + " to " + describeFormat(format) + ".");
    }
}

std::optional<AudioStreamBasicDescription> AudioStream::physicalFormat() const {
    return readFormat(kAudioStreamPropertyPhysicalFormat);
}

std::optional<AudioStreamBasicDescription> AudioStream::virtualFormat() const {
    return readFormat(kAudioStreamPropertyVirtualFormat);
}

void AudioStream::setPhysicalFormat(
    const std::optional<AudioStreamBasicDescription>& format) const {
    writeFormat(kAudioStreamPropertyPhysicalFormat, "physicalFormat", format);
}

void AudioStream::setVirtualFormat(const std::optional<AudioStreamBasicDescription>& format) const {
    writeFormat(kAudioStreamPropertyVirtualFormat, "virtualFormat", format);
}

void AudioStream::modifyPhysicalFormat(
    const std::function<void(std::optional<AudioStreamBasicDescription>&)>& change) const {
    auto format = physicalFormat();
    change(format);
    setPhysicalFormat(format);
}

void AudioStream::modifyVirtualFormat(
    const std::function<void(std::optional<AudioStreamBasicDescription>&)>& change) const {
    auto format = virtualFormat();
    change(format);
    setVirtualFormat(format);
}

std::optional<std::vector<AudioStreamRangedDescription>> AudioStream::readAvailable(
    AudioObjectPropertySelector selector) const {
    auto scope = direction();
    if (!scope) return std::nullopt;
    auto address = propertyAddress(selector, *scope);
    if (!hasProperty(address)) return std::nullopt;
    std::vector<AudioStreamRangedDescription> formats;
    if (getPropertyDataArray<AudioStreamRangedDescription>(address, std::nullopt, formats, {}) !=
        noErr)
        return std::nullopt;
    return formats;
}

std::optional<std::vector<AudioStreamRangedDescription>> AudioStream::availablePhysicalFormats()
    const {
    return availablePhysicalFormats_.get(
        [this] { return readAvailable(kAudioStreamPropertyAvailablePhysicalFormats); });
}

void AudioStream::setAvailablePhysicalFormats(
    std::optional<std::vector<AudioStreamRangedDescription>> value) {
    availablePhysicalFormats_.set(std::move(value));
}

std::optional<std::vector<AudioStreamRangedDescription>> AudioStream::availableVirtualFormats()
    const {
    return availableVirtualFormats_.get(
        [this] { return readAvailable(kAudioStreamPropertyAvailableVirtualFormats); });
}

void AudioStream::setAvailableVirtualFormats(
    std::optional<std::vector<AudioStreamRangedDescription>> value) {
    availableVirtualFormats_.set(std::move(value));
}

std::optional<std::vector<AudioStreamBasicDescription>> AudioStream::formatsAtCurrentRate(
    const std::optional<std::vector<AudioStreamRangedDescription>>& available,
    const std::optional<AudioStreamBasicDescription>& current, bool includeNonMixable) const {
    if (!available || !current) return std::nullopt;
    const Float64 rate = current->mSampleRate;
    std::vector<AudioStreamBasicDescription> formats;
    for (const auto& entry : *available) {
        // A range serves the current rate when it contains it.
        if (entry.mSampleRateRange.mMinimum > rate || entry.mSampleRateRange.mMaximum < rate)
            continue;
        if (!includeNonMixable && (entry.mFormat.mFormatFlags & kAudioFormatFlagIsNonMixable))
            continue;
        formats.push_back(entry.mFormat);
    }
    return formats;
}

std::optional<std::vector<AudioStreamBasicDescription>>
AudioStream::physicalFormatsAtCurrentSampleRate(bool includeNonMixable) const {
    auto available = availablePhysicalFormats();
    if (!available) return std::nullopt;
    return formatsAtCurrentRate(available, physicalFormat(), includeNonMixable);
}

std::optional<std::vector<AudioStreamBasicDescription>>
AudioStream::virtualFormatsAtCurrentSampleRate(bool includeNonMixable) const {
    auto available = availableVirtualFormats();
    if (!available) return std::nullopt;
    return formatsAtCurrentRate(available, virtualFormat(), includeNonMixable);
}
