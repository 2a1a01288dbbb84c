#pragma once
// One stream of a device: channels in one direction with a physical format
// (what the hardware carries) and a virtual format (what clients see).
// Unique per identifier while held (AudioObjectPool.h); listens to its own
// changes and posts streamPhysicalFormatDidChange and
// streamIsActiveDidChange with itself as object.
//
// Format properties are read at the scope of the stream's direction. Reads
// log nothing; a failed format write logs one debug line. Any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/audio/AudioObject.h"

class AudioStream : public AudioObject {
  public:
    ~AudioStream() override;

    std::string className() const override { return "AudioStream"; }

    // The live stream for the identifier, else a new one; null when the
    // object has no owner.
    static std::shared_ptr<AudioStream> lookup(AudioObjectID id);

    AudioObjectID identifier() const { return objectID; }
    bool isActive() const;
    // input (1) or output (0); absent for any other value.
    std::optional<Scope> direction() const;
    TerminalType terminalType() const;
    std::optional<UInt32> latency() const;
    std::optional<UInt32> startingChannel() const;

    std::optional<AudioStreamBasicDescription> physicalFormat() const;
    std::optional<AudioStreamBasicDescription> virtualFormat() const;
    // Writes the format (40 zero bytes for absent); logs "Error setting
    // physicalFormat to <format>." when the stream cannot take it.
    void setPhysicalFormat(const std::optional<AudioStreamBasicDescription>& format) const;
    void setVirtualFormat(const std::optional<AudioStreamBasicDescription>& format) const;
    // Reads the current format, lets `change` edit it, writes it back.
    void modifyPhysicalFormat(
        const std::function<void(std::optional<AudioStreamBasicDescription>&)>& change) const;
    void modifyVirtualFormat(
        const std::function<void(std::optional<AudioStreamBasicDescription>&)>& change) const;

    // Read once and kept (also when absent) until assigned.
    std::optional<std::vector<AudioStreamRangedDescription>> availablePhysicalFormats() const;
    void setAvailablePhysicalFormats(std::optional<std::vector<AudioStreamRangedDescription>> v);
    std::optional<std::vector<AudioStreamRangedDescription>> availableVirtualFormats() const;
    void setAvailableVirtualFormats(std::optional<std::vector<AudioStreamRangedDescription>> v);

    // The available formats whose sample-rate range contains the current
    // format's rate, without the non-mixable ones unless asked for.
    std::optional<std::vector<AudioStreamBasicDescription>> physicalFormatsAtCurrentSampleRate(
        bool includeNonMixable) const;
    std::optional<std::vector<AudioStreamBasicDescription>> virtualFormatsAtCurrentSampleRate(
        bool includeNonMixable) const;

    // "<name or Stream <id>> (<id>)".
    std::string description() const override;

    bool isRegisteredForNotifications() const { return listenerRegistered(); }
    void registerForNotifications();
    void unregisterForNotifications();
    static OSStatus streamPropertyListener(AudioObjectID id, UInt32 count,
                                           const AudioObjectPropertyAddress* addresses,
                                           void* clientData);

    // For the pool.
    static std::shared_ptr<AudioStream> makeCandidate(AudioObjectID id);
    bool completeConstruction();

  protected:
    explicit AudioStream(AudioObjectID id) : AudioObject(id) {}

  private:
    std::optional<AudioStreamBasicDescription> readFormat(
        AudioObjectPropertySelector selector) const;
    void writeFormat(AudioObjectPropertySelector selector, const char* name,
                     const std::optional<AudioStreamBasicDescription>& format) const;
    std::optional<std::vector<AudioStreamRangedDescription>> readAvailable(
        AudioObjectPropertySelector selector) const;
    std::optional<std::vector<AudioStreamBasicDescription>> formatsAtCurrentRate(
        const std::optional<std::vector<AudioStreamRangedDescription>>& available,
        const std::optional<AudioStreamBasicDescription>& current, bool includeNonMixable) const;

    LazyValue<std::vector<AudioStreamRangedDescription>> availablePhysicalFormats_;
    LazyValue<std::vector<AudioStreamRangedDescription>> availableVirtualFormats_;
};

// "AudioStreamBasicDescription(mSampleRate: 48000.0, mFormatID: ..., ...)".
std::string describeFormat(const std::optional<AudioStreamBasicDescription>& format);
