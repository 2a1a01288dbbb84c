#pragma once
// Helpers shared by the simulated-hardware tests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/audio/AudioHardwareServices.h"
#include "platform/audio/SimAudioHardware.h"

namespace simtest {

inline AudioObjectPropertyAddress addr(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal, UInt32 element = 0) {
    return {selector, scope, element};
}

template <class T>
OSStatus get(AudioObjectID id, AudioObjectPropertyAddress a, T& value) {
    UInt32 size = sizeof(T);
    return AudioObjectGetPropertyData(id, &a, 0, nullptr, &size, &value);
}

template <class T>
OSStatus set(AudioObjectID id, AudioObjectPropertyAddress a, const T& value) {
    return AudioObjectSetPropertyData(id, &a, 0, nullptr, sizeof(T), &value);
}

inline std::string getString(AudioObjectID id, AudioObjectPropertyAddress a,
                             OSStatus* status = nullptr) {
    CFStringHolder holder;
    UInt32 size = sizeof(CFStringRef);
    OSStatus s = AudioObjectGetPropertyData(id, &a, 0, nullptr, &size, holder.out());
    if (status) *status = s;
    return holder.str();
}

template <class T>
std::vector<T> getArray(AudioObjectID id, AudioObjectPropertyAddress a, OSStatus* status = nullptr,
                        const AudioClassID* qualifier = nullptr) {
    UInt32 size = 0;
    UInt32 qsize = qualifier ? 4 : 0;
    OSStatus s = AudioObjectGetPropertyDataSize(id, &a, qsize, qualifier, &size);
    std::vector<T> out(size / sizeof(T));
    if (s == noErr) {
        s = AudioObjectGetPropertyData(id, &a, qsize, qualifier, &size, out.data());
        out.resize(size / sizeof(T));
    }
    if (status) *status = s;
    return out;
}

class SimAudioTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::AudioHardware::reset(); }
    void TearDown() override { sim::AudioHardware::reset(); }
};

}  // namespace simtest
