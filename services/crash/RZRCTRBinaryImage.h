#pragma once
// The loaded-image list: a fixed table of nodes in the writable crash
// context for crash-time address lookups, and one load or unload line per
// image change in binary_images.ctrrecord for symbolication later.
//
// The images are the dynamic loader's ELF objects; an image's identifier is
// its GNU build-id in lowercase hex. The loader has no add/remove callback
// here: RZRCTRBinaryImageSync compares its list with the images tracked so
// far and reports each difference as a change. Set-up calls it once (the
// initial burst); call it again after loading or unloading a library. A
// crash reads the loader's list again in any case.
//
// Node updates and record writes run on the binary-image queue. The lookup
// functions marked crash-time take no lock and allocate nothing.

#include <cstddef>
#include <cstdint>

#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRMachO.h"

// Room for a build-id of up to 64 bytes as hex plus the NUL.
inline constexpr std::size_t kRZRCTRBinaryImageUUIDLength = 129;

struct RZRCTRBinaryImageDetails {
    char uuidString[kRZRCTRBinaryImageUUIDLength];
    bool encrypted;
    RZRCTRMachOVersion builtSDK;
    RZRCTRMachOVersion minSDK;
    RZRCTRBinaryImageRuntimeNode node;
    RZRCTRMachOSliceInfo slice;
    std::intptr_t vmaddr_slide;
    // The image's file as the loader names it (empty for the program).
    const char* path;
};

// Resets the record file, records every image loaded now and closes the
// file again. Needs the record path in the read-only context.
void RZRCTRBinaryImageInit(RZRCTRBinaryImageReadOnlyContext* context,
                           RZRCTRBinaryImageReadWriteContext* state);
// Reports every image loaded or unloaded since the last call. Any thread.
void RZRCTRBinaryImageSync();
// Runs after every change submitted so far has been stored and recorded.
void RZRCTRBinaryImageWaitForPendingChanges();

// The loader callbacks' shape: the image at header (with the program
// headers given) was added or removed. Any thread.
void RZRCTRBinaryImageChanged(bool loaded, const RZRCTRBinaryImageDetails& details);

// The details of the loaded image whose ELF header is at base; false when no
// such image is loaded.
bool RZRCTRBinaryImageDetailsForBase(std::uintptr_t base, RZRCTRBinaryImageDetails* details);

// On the binary-image queue.
void RZRCTRBinaryImageStoreNode(bool loaded, const RZRCTRBinaryImageDetails& details);
void RZRCTRBinaryImageRecordSlice(bool loaded, const RZRCTRBinaryImageDetails& details);
bool RZRCTRBinaryImageOpenIfNeeded(bool* didOpen);
void RZRCTRBinaryImageRecordDetails(RZRCTRFile* file, const RZRCTRBinaryImageDetails& details);
// The executable section of the launch metadata.
bool RZRCTRBinaryImageRecordMainExecutable(RZRCTRFile* file);

// Crash-time: reads the dynamic loader's own list of loaded objects through
// the fault-safe read, and writes a load or unload line for each difference
// from the images tracked so far. Until RZRCTRBinaryImageSafeEndLoaderList,
// address lookups use this list: a library loaded after set-up unwinds
// through its own tables, and one unloaded since is never read.
void RZRCTRBinaryImageSafeReadLoaderList();
void RZRCTRBinaryImageSafeEndLoaderList();

// Crash-time: the first node with base <= address < base + size.
bool RZRCTRBinaryImageSafeFindImageForAddress(std::uintptr_t address,
                                              RZRCTRBinaryImageRuntimeNode* node);
// Crash-time: the node has a compact unwind table.
bool RZRCTRBinaryImageNodeHasUnwindInfo(const RZRCTRBinaryImageRuntimeNode* node);
// The loaded image whose identifier equals uuid.
bool RZRCTRBinaryImageFindImageForUUID(const char* uuid, RZRCTRBinaryImageDetails* details);
