// Streams, channel counts, layout, sample rates, latency and buffer sizes of
// a device.

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "app/audio/AudioDevice.h"
#include "app/audio/AudioObjectPool.h"
#include "app/audio/AudioStream.h"

namespace {

UInt32 saturatingAdd(UInt32 a, UInt32 b) {
    return b > std::numeric_limits<UInt32>::max() - a ? std::numeric_limits<UInt32>::max() : a + b;
}

// A range bound as a frame count: the fraction dropped, clamped to 32 bits.
UInt32 toFrames(Float64 value) {
    if (!(value > 0)) return 0;
    if (value >= 4294967295.0) return std::numeric_limits<UInt32>::max();
    return static_cast<UInt32>(value);
}

constexpr std::array<Float64, 16> kStandardSampleRates{6400,  8000,   11025,  12000, 16000, 22050,
                                                       24000, 32000,  44100,  48000, 64000, 88200,
                                                       96000, 128000, 176400, 192000};

constexpr std::array<UInt32, 9> kBufferSizes{16, 32, 64, 128, 256, 512, 1024, 2048, 4096};

}  // namespace

// ---- Streams and channels ------------------------------------------------------

namespace {

std::optional<std::vector<AudioObjectID>> streamIDs(const AudioDevice& device, Scope scope) {
    auto address = propertyAddress(kAudioDevicePropertyStreams, scope);
    if (!device.hasProperty(address)) return std::nullopt;
    std::vector<AudioObjectID> ids;
    if (device.getPropertyDataArray<AudioObjectID>(address, std::nullopt, ids, 0) != noErr)
        return std::nullopt;
    return ids;
}

}  // namespace

std::optional<std::vector<std::shared_ptr<AudioStream>>> AudioDevice::streams(Scope scope) const {
    auto ids = streamIDs(*this, scope);
    if (!ids) return std::nullopt;
    std::vector<std::shared_ptr<AudioStream>> streams;
    for (AudioObjectID id : *ids) {
        if (auto stream = AudioStream::lookup(id)) streams.push_back(std::move(stream));
    }
    return streams;
}

UInt32 AudioDevice::channels(Scope scope) const {
    auto ids = streamIDs(*this, scope);
    if (!ids) return 0;
    auto& pool = AudioObjectPool::shared();
    UInt32 total = 0;
    for (AudioObjectID id : *ids) {
        // The same streams as streams(scope:) gives, but one nobody holds is
        // only read, not pooled: the handled devices are counted on every
        // mute check, and pooling a stream installs a listener that its
        // release at once removes again.
        auto stream = pool.get<AudioStream>(id);
        if (!stream) {
            if (pool.find(id)) continue;  // another kind of object
            stream = AudioStream::makeCandidate(id);
            if (!stream->completeConstruction()) continue;
        }
        auto format = stream->physicalFormat();
        if (format) total = saturatingAdd(total, format->mChannelsPerFrame);
    }
    return total;
}

bool AudioDevice::isInputOnlyDevice() const {
    return channels(Scope::output) == 0 && channels(Scope::input) != 0;
}

bool AudioDevice::isOutputOnlyDevice() const {
    return channels(Scope::input) == 0 && channels(Scope::output) != 0;
}

std::optional<UInt32> AudioDevice::layoutChannels(Scope scope) const {
    auto address = propertyAddress(kAudioDevicePropertyPreferredChannelLayout, scope);
    if (!hasProperty(address)) return std::nullopt;
    AudioChannelLayout layout{};
    if (getPropertyData(address, layout) != noErr) return std::nullopt;
    return layout.mNumberChannelDescriptions;
}

std::optional<std::string> AudioDevice::name(UInt32 channel, Scope scope) const {
    auto address = propertyAddress(kAudioObjectPropertyElementName, scope, channel);
    if (!hasProperty(address)) return std::nullopt;
    auto value = getProperty<std::string>(address);
    if (!value || value->empty()) return std::nullopt;
    return value;
}

// ---- Sample rates --------------------------------------------------------------

namespace {

template <class T>
std::optional<T> readLogged(const AudioDevice& device, const AudioObjectPropertyAddress& address) {
    if (!device.hasProperty(address)) return std::nullopt;
    return device.getProperty<T>(address);
}

}  // namespace

std::optional<Float64> AudioDevice::nominalSampleRate() const {
    return readLogged<Float64>(*this, propertyAddress(kAudioDevicePropertyNominalSampleRate));
}

bool AudioDevice::setNominalSampleRate(Float64 rate) const {
    auto address = propertyAddress(kAudioDevicePropertyNominalSampleRate);
    if (!hasProperty(address)) return false;
    return setProperty(address, rate);
}

std::optional<Float64> AudioDevice::actualSampleRate() const {
    return readLogged<Float64>(*this, propertyAddress(kAudioDevicePropertyActualSampleRate));
}

std::optional<std::vector<Float64>> AudioDevice::nominalSampleRates() const {
    auto address =
        propertyAddress(kAudioDevicePropertyAvailableNominalSampleRates, Scope::wildcard);
    if (!hasProperty(address)) return std::nullopt;
    std::vector<AudioValueRange> ranges;
    if (getPropertyDataArray<AudioValueRange>(address, std::nullopt, ranges, {}) != noErr)
        return std::nullopt;
    std::vector<Float64> rates;
    for (const auto& range : ranges) {
        if (!(range.mMaximum > range.mMinimum)) {
            rates.push_back(range.mMinimum);
            continue;
        }
        auto first =
            std::find(kStandardSampleRates.begin(), kStandardSampleRates.end(), range.mMinimum);
        auto last =
            std::find(kStandardSampleRates.begin(), kStandardSampleRates.end(), range.mMaximum);
        if (first == kStandardSampleRates.end() || last == kStandardSampleRates.end()) {
            char text[256];
            std::snprintf(text, sizeof(text),
                          "Failed to obtain list of supported sample rates ranging from %f to %f. "
                          "This is an error in AudioSystem and should be reported to the project "
                          "maintainers.",
                          range.mMinimum, range.mMaximum);
            os_log_debug(audioLog(), text);
            continue;
        }
        rates.insert(rates.end(), first, last + 1);
    }
    return rates;
}

// ---- Latency and buffers ---------------------------------------------------------

std::optional<UInt32> AudioDevice::latency(Scope scope) const {
    return readLogged<UInt32>(*this, propertyAddress(kAudioDevicePropertyLatency, scope));
}

std::optional<UInt32> AudioDevice::safetyOffset(Scope scope) const {
    return readLogged<UInt32>(*this, propertyAddress(kAudioDevicePropertySafetyOffset, scope));
}

std::optional<UInt32> AudioDevice::bufferFrameSize(Scope scope) const {
    return readLogged<UInt32>(*this, propertyAddress(kAudioDevicePropertyBufferFrameSize, scope));
}

bool AudioDevice::setBufferFrameSize(UInt32 frames, Scope scope) const {
    auto address = propertyAddress(kAudioDevicePropertyBufferFrameSize, scope);
    if (!hasProperty(address)) return false;
    return setProperty(address, frames);
}

std::optional<std::vector<UInt32>> AudioDevice::bufferFrameSizes() const {
    auto address = propertyAddress(kAudioDevicePropertyBufferFrameSizeRange, Scope::wildcard);
    if (!hasProperty(address)) return std::nullopt;
    std::vector<AudioValueRange> ranges;
    if (getPropertyDataArray<AudioValueRange>(address, std::nullopt, ranges, {}) != noErr ||
        ranges.empty())
        return std::nullopt;
    auto contains = [](const AudioValueRange& range, UInt32 frames) {
        return frames >= toFrames(range.mMinimum) && frames <= toFrames(range.mMaximum);
    };
    auto supported = [&](UInt32 frames) {
        return std::any_of(ranges.begin(), ranges.end(),
                           [&](const AudioValueRange& range) { return contains(range, frames); });
    };
    std::vector<UInt32> sizes;
    // The device's own minimum, rounded up to a multiple of 16 and at least
    // 16, is offered first, but only when one of its ranges allows it.
    UInt32 minimum = toFrames(ranges.front().mMinimum);
    UInt32 first = minimum > std::numeric_limits<UInt32>::max() - 15 ? 0 : ((minimum + 15) & ~15u);
    first = std::max<UInt32>(first, 16);
    if (minimum <= std::numeric_limits<UInt32>::max() - 15 && supported(first))
        sizes.push_back(first);
    for (UInt32 candidate : kBufferSizes) {
        if (supported(candidate) && std::find(sizes.begin(), sizes.end(), candidate) == sizes.end())
            sizes.push_back(candidate);
    }
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

UInt32 AudioDevice::presentationLatency(Scope scope) const {
    UInt32 total = 0;
    if (auto list = streams(scope)) {
        for (const auto& stream : *list)
            total = saturatingAdd(total, stream->latency().value_or(0));
    }
    total = saturatingAdd(total, latency(scope).value_or(0));
    total = saturatingAdd(total, safetyOffset(scope).value_or(0));
    total = saturatingAdd(total, bufferFrameSize(scope).value_or(0));
    return total;
}

std::optional<Float64> AudioDevice::presentationLatencyInSeconds(Scope scope) const {
    auto rate = actualSampleRate();
    if (!rate) {
        os_log(OSLog::defaultLog(), "Unable to get actualSampleRate from device");
        return std::nullopt;
    }
    return static_cast<Float64>(presentationLatency(scope)) / *rate;
}
