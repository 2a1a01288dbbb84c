#include "platform/audio/AudioHardwareServices.h"

#include "platform/audio/SimAudioEngine.h"

using sim::audio::Engine;

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress) {
    if (!inAddress) return 0;
    return Engine::shared().hasProperty(inObjectID, *inAddress);
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable) {
    if (!inAddress) return kAudioHardwareIllegalOperationError;
    return Engine::shared().isSettable(inObjectID, *inAddress, outIsSettable);
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize) {
    if (!inAddress) return kAudioHardwareIllegalOperationError;
    return Engine::shared().getSize(inObjectID, *inAddress, inQualifierDataSize, inQualifierData,
                                    outDataSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData) {
    if (!inAddress) return kAudioHardwareIllegalOperationError;
    return Engine::shared().get(inObjectID, *inAddress, inQualifierDataSize, inQualifierData,
                                ioDataSize, outData);
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 /*inQualifierDataSize*/, const void* /*inQualifierData*/,
                                    UInt32 inDataSize, const void* inData) {
    if (!inAddress) return kAudioHardwareIllegalOperationError;
    return Engine::shared().set(inObjectID, *inAddress, inDataSize, inData);
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData) {
    if (!inAddress) return kAudioHardwareIllegalOperationError;
    return Engine::shared().addListener(inObjectID, *inAddress, inListener, inClientData);
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData) {
    if (!inAddress) return kAudioHardwareIllegalOperationError;
    return Engine::shared().removeListener(inObjectID, *inAddress, inListener, inClientData);
}

OSStatus AudioHardwareCreateAggregateDevice(const Dictionary& inDescription,
                                            AudioObjectID* outDeviceID) {
    return Engine::shared().createAggregate(inDescription, outDeviceID);
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) {
    return Engine::shared().destroyAggregate(inDeviceID);
}
