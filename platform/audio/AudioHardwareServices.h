#pragma once
// The platform's audio object property interface, answered by the simulated
// audio hardware of this folder (its control surface is in SimAudioHardware.h;
// only tests and the console use that).
//
// Objects: the system object (kAudioObjectSystemObject, 1), devices, their
// streams and controls. Every property lives at a (selector, scope, element)
// address. A query matches a property at the same address; the wildcard
// scope '****' or element 0xFFFFFFFF on either side (the query or the
// property as the hardware keeps it) matches any scope or element.
//
// Status codes: kAudioHardwareBadObjectError for an object that does not
// exist (or no longer does), kAudioHardwareUnknownPropertyError for a
// property the object lacks, kAudioHardwareIllegalOperationError for a write
// to a property that is not settable, kAudioHardwareBadPropertySizeError for a
// buffer of the wrong size, kAudioDevicePermissionsError for hog mode that
// another process holds; and any status the control surface was told to fail
// a call with.
//
// Strings are read as one CFStringRef (8 bytes) that the caller releases.
// Arrays are read in two steps: the size query, then the read; the read
// delivers at most the bytes asked for and sets *ioDataSize to what it wrote.
//
// Listeners:
//  * A listener is the (object, address, procedure, client data) given to
//    AudioObjectAddPropertyListener; adding the same listener again succeeds
//    and installs nothing new. A wildcard address hears every property of
//    the object.
//  * Every change of a value (by a write through this interface or through
//    the control surface) calls each matching listener once, with the
//    changed property's address, on the hardware's own serial thread, never
//    inline in the call that made the change, and never while the hardware
//    holds a lock of its own. A write that leaves the value as it was calls
//    nobody. Callbacks arrive in the order of the changes.
//  * Adding and removing listeners works from inside a callback. Once
//    AudioObjectRemovePropertyListener has returned, no later callback
//    reaches that listener: a removal made on another thread while the
//    listener runs waits for it to return (so client data may be freed
//    right after a successful removal).
//  * When a device goes away its listeners are dropped after one last
//    'livn' (alive) change; removing them afterwards answers
//    kAudioHardwareBadObjectError.
//
// All functions are thread-safe.

#include "platform/audio/AudioTypes.h"
#include "platform/audio/CFString.h"
#include "platform/foundation/Value.h"

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress);

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable);

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData);

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData);

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData);

OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID,
                                           const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener,
                                           void* inClientData);

// Creates an aggregate device from a description with the keys "name",
// "uid" (unique, required), "subdevices" (an array of dictionaries with the
// key "uid" of an existing device) and "master" (the main sub-device's UID).
// The new device has class 'aagg', transport 'grup', owns its sub-devices and
// carries their channels. kAudioHardwareIllegalOperationError for a missing
// or taken UID or an unknown sub-device.
OSStatus AudioHardwareCreateAggregateDevice(const Dictionary& inDescription,
                                            AudioObjectID* outDeviceID);

// kAudioHardwareBadObjectError for an identifier that names no object,
// kAudioHardwareBadDeviceError for one that is not an aggregate device.
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);
