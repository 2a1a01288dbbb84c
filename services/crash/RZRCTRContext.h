#pragma once
// The process-wide crash context that every crash-time path reads: file
// paths, limits, stacks and the few words of state that change at run time.
// The read-only half is sealed once set-up has finished, so a wild write
// cannot damage what the crash handlers depend on.
//
// The accessors below are crash-time code: no allocation, no locks, no
// stdio, no logging but the SDK log.

#include <signal.h>

#include <cstddef>
#include <cstdint>

#include "services/crash/RZRCTRAllocator.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHost.h"
#include "services/crash/RZRCTRUserLoggingStorage.h"

inline constexpr std::size_t kRZRCTRSignalStackSize = 262144;
inline constexpr std::size_t kRZRCTRMachExceptionStackSize = 262144;
inline constexpr int kRZRCTRSignalCount = 7;

struct RZRCTRBinaryImageReadOnlyContext {
    const char* path = nullptr;
};
struct RZRCTRExceptionReadOnlyContext {
    const char* path = nullptr;
    void (*originalTerminateHandler)() = nullptr;
    void* originalReportException = nullptr;
    std::uint32_t maxCustomExceptions = 0;
};
struct RZRCTRSignalReadOnlyContext {
    const char* path = nullptr;
    struct sigaction originalActions[kRZRCTRSignalCount];
    stack_t originalStack;
};
inline constexpr int kRZRCTRMachExceptionTypesCount = 14;
// The task's exception ports before ours, as the swap returned them.
struct RZRCTRMachExceptionOriginalPorts {
    std::uint32_t count;
    std::uint32_t masks[kRZRCTRMachExceptionTypesCount];
    std::uint32_t ports[kRZRCTRMachExceptionTypesCount];
    std::int32_t behaviors[kRZRCTRMachExceptionTypesCount];
    std::int32_t flavors[kRZRCTRMachExceptionTypesCount];
};
struct RZRCTRMachExceptionReadOnlyContext {
    std::uint32_t port = 0;
    std::uintptr_t thread = 0;
    const char* path = nullptr;
    std::uint32_t mask = 0;
    RZRCTRMachExceptionOriginalPorts originalPorts = {};
};

struct RZRCTRReadOnlyContext {
    bool initialized;
    bool debuggerAttached;
    const char* previouslyCrashedFileFullPath;
    const char* sdkLogPath;
    void* signalStack;
    void* machStack;
    RZRCTRBinaryImageReadOnlyContext binaryimage;
    RZRCTRExceptionReadOnlyContext exception;
    RZRCTRHostContext host;
    RZRCTRSignalReadOnlyContext signal;
    RZRCTRMachExceptionReadOnlyContext machException;
    RZRCTRUserLoggingReadOnlyContext logging;
};

// One loaded image as crash-time lookups see it. baseAddress (the image's
// header; 0 marks a free node) and size are read and written atomically; a
// node claimed a moment ago still has size 0 and so matches no address.
struct RZRCTRBinaryImageRuntimeNode {
    std::uintptr_t baseAddress;
    std::uint64_t size;
    const void* ehFrame;
    std::uint64_t ehFrameSize;
    // The sorted search table over ehFrame, when the image has one.
    const void* ehFrameHeader;
    std::uint64_t ehFrameHeaderSize;
    const void* unwindInfo;
    std::uint64_t unwindInfoSize;
    const void* crashInfo;
};
inline constexpr std::size_t kRZRCTRBinaryImageNodeCount = 512;

struct RZRCTRBinaryImageReadWriteContext {
    RZRCTRFile file;
    RZRCTRBinaryImageRuntimeNode nodes[kRZRCTRBinaryImageNodeCount];
};
struct RZRCTRExceptionReadWriteContext {
    std::uint32_t customExceptionCount;
};

struct RZRCTRReadWriteContext {
    int sdkLogFD;
    std::uint32_t sdkLogLevel;
    bool crashOccurred;
    // SDK log lines written since the crash was claimed.
    std::uint32_t sdkLogLinesAfterCrash;
    RZRCTRBinaryImageReadWriteContext binaryImage;
    RZRCTRUserLoggingWritableContext logging;
    RZRCTRExceptionReadWriteContext exception;
};

struct RZRCTRContext {
    RZRCTRReadOnlyContext* readonly;
    RZRCTRReadWriteContext* writable;
    RZRCTRAllocator* allocator;
};

// The single instance; its parts are created by initialisation and never
// freed.
extern RZRCTRContext _rzrctrContext;

bool RZRCTRContextIsInitialized();
// False when not initialized; true when a crash is already being recorded;
// otherwise claims the crash and answers false.
bool RZRCTRContextMarkAndCheckIfCrashed();
bool RZRCTRContextHasCrashed();
void RZRCTRContextMarkHasCrashed();
void RZRCTRContextBaseDeinit();
// Creates the (empty) previously-crashed marker file.
void RZRCTRCreateCrashedMarkerFile();
