#pragma once
// The bounded storages of custom keys, log lines, recorded errors and custom
// exceptions: plain records that live in the crash context.

#include <cstdint>

// An incremental file of single writes plus a compacted file that holds the
// merged set, capped at maxCount keys.
struct RZRCTRUserLoggingKVStorage {
    const char* incrementalPath = nullptr;
    const char* compactedPath = nullptr;
    std::uint32_t maxIncrementalCount = 0;
    std::uint32_t maxCount = 0;
};

// Two files used in turn, switched by size or by entry count.
struct RZRCTRUserLoggingABStorage {
    const char* aPath = nullptr;
    const char* bPath = nullptr;
    std::uint32_t maxSize = 0;
    std::uint32_t maxEntries = 0;
    bool restrictBySize = false;
    std::uint32_t* entryCount = nullptr;
};

struct RZRCTRUserLoggingReadOnlyContext {
    RZRCTRUserLoggingKVStorage userKVStorage;
    RZRCTRUserLoggingKVStorage internalKVStorage;
    RZRCTRUserLoggingABStorage logStorage;
    RZRCTRUserLoggingABStorage errorStorage;
    RZRCTRUserLoggingABStorage customExceptionStorage;
};

struct RZRCTRUserLoggingWritableContext {
    const char* activeLogPath = nullptr;
    const char* activeErrorPath = nullptr;
    const char* activeCustomExceptionPath = nullptr;
    std::uint32_t userKVCount = 0;
    std::uint32_t internalKVCount = 0;
    std::uint32_t errorsCount = 0;
};
