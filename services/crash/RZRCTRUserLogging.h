#pragma once
// Custom keys, internal keys, log lines and recorded errors, written at once
// into the current report directory so that a crash a moment later finds
// them on disk. Key-value storages merge their incremental file into the
// compacted one every 64 writes; A/B storages use two files in turn. Every
// write runs on the context's logging queue; ordinary threads only.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/crash/RZRCTRUserLoggingStorage.h"
#include "services/util/ZVULogger.h"

struct RZRCTRFile;

inline constexpr std::uint32_t kRZRCTRMaxIncrementalKVCount = 64;
inline constexpr std::uint32_t kRZRCTRMaxInternalKeys = 32;

// The record files of the storages, in the report directory.
const std::vector<const char*>& RZRCTRUserLoggingFileNames();

// Fills the five storages for a report directory with their limits (paths
// copied into the read-only area).
void RZRCTRUserLoggingConfigure(RZRCTRUserLoggingReadOnlyContext* context,
                                RZRCTRUserLoggingWritableContext* state,
                                std::uint32_t* customExceptionCount, const char* reportPath,
                                bool errorsEnabled, std::uint32_t maxCustomExceptions,
                                std::uint32_t logBufferSize, std::uint32_t maxCustomKeys);
// Active paths are the A paths, counts 0.
void RZRCTRUserLoggingInit(RZRCTRUserLoggingReadOnlyContext* context,
                           RZRCTRUserLoggingWritableContext* state);

// A null key is refused; a null value is stored as the null object.
void RZRCTRUserLoggingRecordUserKeyValue(const std::optional<std::string>& key,
                                         const std::optional<Value>& value);
void RZRCTRUserLoggingRecordUserKeysAndValues(const Dictionary* keysAndValues);
void RZRCTRUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key,
                                             const std::optional<Value>& value);
// One internal key, written at once on the calling thread; for start-up only.
void RZRCTRUserLoggingWriteInternalKeyValue(const std::string& key, const Value& value);
void RZRCTRUserLoggingRecordKeyValue(const std::optional<std::string>& key,
                                     const std::optional<Value>& value,
                                     const RZRCTRUserLoggingKVStorage* storage,
                                     std::uint32_t* counter);
void RZRCTRUserLoggingRecordKeysAndValues(const Dictionary* keysAndValues,
                                          const RZRCTRUserLoggingKVStorage* storage,
                                          std::uint32_t* counter);
void RZRCTRUserLoggingWriteKeysAndValues(const Dictionary& keysAndValues,
                                         const RZRCTRUserLoggingKVStorage* storage,
                                         std::uint32_t* counter);
void RZRCTRUserLoggingWriteKVEntriesToFile(const Dictionary& keysAndValues, bool hexEncode,
                                           RZRCTRFile* file);
// Merges the incremental file into the compacted one. The merged set is
// written beside the compacted file and renamed over it before the
// incremental file is removed, so a crash at any point loses no key.
void RZRCTRUserLoggingCompactKVEntries(const RZRCTRUserLoggingKVStorage* storage);
// The kv values of a file, in order; nullopt when not initialized or
// unreadable.
std::optional<Array> RZRCTRUserLoggingStoredKeyValues(const char* path);
// The merged view: the compacted file, then the incremental file over it (a
// null value there removes the key). Hex-decoded when asked.
std::optional<Dictionary> RZRCTRUserLoggingGetCompactedKVEntries(
    const RZRCTRUserLoggingKVStorage* storage, bool decodeHex);

// A log line into the context's log storage.
void RZRCTRLog(const std::string& format, const std::vector<ZVUFormatArg>& args = {});
void RZRCTRLogToStorage(const RZRCTRUserLoggingABStorage* storage, const char** activePath,
                        const std::optional<std::string>& message);
void RZRCTRUserLoggingRecordError(const NSError* error, const Dictionary* additionalInfo);

void RZRCTRUserLoggingWriteAndCheckABFiles(const RZRCTRUserLoggingABStorage* storage,
                                           const char** activePath,
                                           const std::function<void(RZRCTRFile*)>& block);
void RZRCTRUserLoggingCheckAndSwapABFiles(const RZRCTRUserLoggingABStorage* storage,
                                          const char** activePath, std::int64_t fileSize);
// The active path under the path lock.
const char* RZRCTRUserLoggingActivePath(const char* const* activePath);
