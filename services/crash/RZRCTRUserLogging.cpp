#include "services/crash/RZRCTRUserLogging.h"

#include <execinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRFileReader.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRUtilities.h"

namespace {

std::mutex& pathLock() {
    static auto* lock = new std::mutex();
    return *lock;
}

const char* dupJoined(const char* directory, const char* name) {
    return RZRCTRDupString((std::filesystem::path(directory) / name).string().c_str());
}

bool validStorage(const RZRCTRUserLoggingKVStorage* storage) {
    return storage && storage->incrementalPath && storage->compactedPath;
}

void runOnLoggingQueue(const std::function<void()>& block) {
    auto queue = RZRCTRContextLoggingQueue();
    if (queue) {
        queue->sync(block);
    } else {
        block();
    }
}

void asyncOnLoggingQueue(std::function<void()> block) {
    auto queue = RZRCTRContextLoggingQueue();
    if (queue) {
        queue->async(std::move(block));
    } else {
        block();
    }
}

void writeKVValue(RZRCTRFile* file, const std::string& key, const Value& value, bool hexEncode) {
    RZRCTRFileOpenSection(file, "kv");
    RZRCTRFileOpenHash(file);
    const auto text = value.asString();
    if (hexEncode) {
        RZRCTRFileWriteHexStringEntryWithLength(file, "key", key.data(), key.size());
        if (value.isNull() || !text) {
            RZRCTRFileWriteNullEntry(file, "value");
        } else {
            RZRCTRFileWriteHexStringEntryWithLength(file, "value", text->data(), text->size());
        }
    } else {
        RZRCTRFileWriteStringEntryWithLength(file, "key", key.data(), key.size());
        if (value.isNull() || !text) {
            RZRCTRFileWriteNullEntry(file, "value");
        } else {
            RZRCTRFileWriteStringEntryWithLength(file, "value", text->data(), text->size());
        }
    }
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
}

std::optional<std::string> decodedIfAsked(const Value& value, bool decodeHex) {
    auto text = value.asString();
    if (!text || !decodeHex) return text;
    return RZRCTRFileHexDecodeString(text->c_str());
}

// Cuts at most `limit` bytes without splitting a character.
std::string truncatedUTF8(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

void writePairs(RZRCTRFile* file, const char* key, const Dictionary& entries) {
    RZRCTRFileWriteKey(file, key);
    RZRCTRFileOpenArray(file);
    for (const auto& [name, value] : entries) {
        const auto description = value.isString() ? *value.asString() : value.description();
        RZRCTRFileOpenArray(file);
        RZRCTRFileAppendHexString(file, name.c_str());
        RZRCTRFileAppendHexString(file, description.c_str());
        RZRCTRFileCloseArray(file);
    }
    RZRCTRFileCloseArray(file);
}

}  // namespace

const std::vector<const char*>& RZRCTRUserLoggingFileNames() {
    static const std::vector<const char*> names{"user_incremental_kv.ctrrecord",
                                                "user_compacted_kv.ctrrecord",
                                                "internal_incremental_kv.ctrrecord",
                                                "internal_compacted_kv.ctrrecord",
                                                "log_a.ctrrecord",
                                                "log_b.ctrrecord",
                                                "errors_a.ctrrecord",
                                                "errors_b.ctrrecord",
                                                "custom_exception_a.ctrrecord",
                                                "custom_exception_b.ctrrecord"};
    return names;
}

void RZRCTRUserLoggingConfigure(RZRCTRUserLoggingReadOnlyContext* context,
                                RZRCTRUserLoggingWritableContext* state,
                                std::uint32_t* customExceptionCount, const char* reportPath,
                                bool errorsEnabled, std::uint32_t maxCustomExceptions,
                                std::uint32_t logBufferSize, std::uint32_t maxCustomKeys) {
    if (!context || !state || !reportPath) return;
    const auto& names = RZRCTRUserLoggingFileNames();
    context->userKVStorage = {dupJoined(reportPath, names[0]), dupJoined(reportPath, names[1]),
                              kRZRCTRMaxIncrementalKVCount, maxCustomKeys};
    context->internalKVStorage = {dupJoined(reportPath, names[2]), dupJoined(reportPath, names[3]),
                                  kRZRCTRMaxIncrementalKVCount, kRZRCTRMaxInternalKeys};
    context->logStorage = {dupJoined(reportPath, names[4]),
                           dupJoined(reportPath, names[5]),
                           logBufferSize,
                           0,
                           true,
                           nullptr};
    context->errorStorage = {dupJoined(reportPath, names[6]),
                             dupJoined(reportPath, names[7]),
                             0,
                             errorsEnabled ? maxCustomExceptions : 0,
                             false,
                             &state->errorsCount};
    context->customExceptionStorage = {dupJoined(reportPath, names[8]),
                                       dupJoined(reportPath, names[9]),
                                       0,
                                       maxCustomExceptions,
                                       false,
                                       customExceptionCount};
}

void RZRCTRUserLoggingInit(RZRCTRUserLoggingReadOnlyContext* context,
                           RZRCTRUserLoggingWritableContext* state) {
    if (!context || !state) return;
    {
        std::lock_guard lock(pathLock());
        state->activeLogPath = context->logStorage.aPath;
        state->activeErrorPath = context->errorStorage.aPath;
        state->activeCustomExceptionPath = context->customExceptionStorage.aPath;
    }
    state->userKVCount = 0;
    state->internalKVCount = 0;
    state->errorsCount = 0;
    context->userKVStorage.maxIncrementalCount = kRZRCTRMaxIncrementalKVCount;
    context->internalKVStorage.maxIncrementalCount = kRZRCTRMaxIncrementalKVCount;
}

const char* RZRCTRUserLoggingActivePath(const char* const* activePath) {
    if (!activePath) return nullptr;
    std::lock_guard lock(pathLock());
    return *activePath;
}

void RZRCTRUserLoggingRecordUserKeyValue(const std::optional<std::string>& key,
                                         const std::optional<Value>& value) {
    if (!RZRCTRContextIsInitialized()) return;
    RZRCTRUserLoggingRecordKeyValue(key, value, &_rzrctrContext.readonly->logging.userKVStorage,
                                    &_rzrctrContext.writable->logging.userKVCount);
}

void RZRCTRUserLoggingRecordUserKeysAndValues(const Dictionary* keysAndValues) {
    if (!RZRCTRContextIsInitialized()) return;
    RZRCTRUserLoggingRecordKeysAndValues(keysAndValues,
                                         &_rzrctrContext.readonly->logging.userKVStorage,
                                         &_rzrctrContext.writable->logging.userKVCount);
}

void RZRCTRUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key,
                                             const std::optional<Value>& value) {
    if (!RZRCTRContextIsInitialized()) return;
    RZRCTRUserLoggingRecordKeyValue(key, value, &_rzrctrContext.readonly->logging.internalKVStorage,
                                    &_rzrctrContext.writable->logging.internalKVCount);
}

void RZRCTRUserLoggingWriteInternalKeyValue(const std::string& key, const Value& value) {
    if (!RZRCTRContextIsInitialized()) return;
    const auto& storage = _rzrctrContext.readonly->logging.internalKVStorage;
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPath(&file, storage.incrementalPath, true)) {
        RZRCTRSDKLogError("Unable to open k-v file");
        return;
    }
    RZRCTRUserLoggingWriteKVEntriesToFile(Dictionary{{key, value}}, true, &file);
    RZRCTRFileClose(&file);
}

void RZRCTRUserLoggingRecordKeyValue(const std::optional<std::string>& key,
                                     const std::optional<Value>& value,
                                     const RZRCTRUserLoggingKVStorage* storage,
                                     std::uint32_t* counter) {
    if (!key) {
        RZRCTRSDKLogError("User provided bad key");
        return;
    }
    const Dictionary single{{*key, value.value_or(Value())}};
    RZRCTRUserLoggingRecordKeysAndValues(&single, storage, counter);
}

void RZRCTRUserLoggingRecordKeysAndValues(const Dictionary* keysAndValues,
                                          const RZRCTRUserLoggingKVStorage* storage,
                                          std::uint32_t* counter) {
    if (!RZRCTRContextIsInitialized()) return;
    if (!keysAndValues) {
        RZRCTRSDKLogError("User provided bad key/value dictionary");
        return;
    }
    if (keysAndValues->empty()) {
        RZRCTRSDKLogError("User provided empty key/value dictionary");
        return;
    }
    Dictionary sanitized;
    for (const auto& [key, value] : *keysAndValues) {
        sanitized.set(key, Value(value.isString() ? *value.asString() : value.description()));
    }
    runOnLoggingQueue([&] { RZRCTRUserLoggingWriteKeysAndValues(sanitized, storage, counter); });
}

void RZRCTRUserLoggingWriteKeysAndValues(const Dictionary& keysAndValues,
                                         const RZRCTRUserLoggingKVStorage* storage,
                                         std::uint32_t* counter) {
    if (!validStorage(storage) || !counter) {
        RZRCTRSDKLogError("Bad parameters");
        return;
    }
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPath(&file, storage->incrementalPath, true)) {
        RZRCTRSDKLogError("Unable to open k-v file");
        return;
    }
    RZRCTRUserLoggingWriteKVEntriesToFile(keysAndValues, true, &file);
    RZRCTRFileClose(&file);
    *counter += static_cast<std::uint32_t>(keysAndValues.size());
    if (*counter >= storage->maxIncrementalCount) {
        asyncOnLoggingQueue([storage, counter] {
            RZRCTRUserLoggingCompactKVEntries(storage);
            *counter = 0;
        });
    }
}

void RZRCTRUserLoggingWriteKVEntriesToFile(const Dictionary& keysAndValues, bool hexEncode,
                                           RZRCTRFile* file) {
    for (const auto& [key, value] : keysAndValues) writeKVValue(file, key, value, hexEncode);
}

std::optional<Array> RZRCTRUserLoggingStoredKeyValues(const char* path) {
    if (!RZRCTRContextIsInitialized()) return std::nullopt;
    return RZRCTRFileReadSections(path, true, [](const Value& line) -> std::optional<Value> {
        const Value* kv = line.asDictionary() ? line.asDictionary()->find("kv") : nullptr;
        if (!kv || !kv->isDictionary()) return std::nullopt;
        return *kv;
    });
}

std::optional<Dictionary> RZRCTRUserLoggingGetCompactedKVEntries(
    const RZRCTRUserLoggingKVStorage* storage, bool decodeHex) {
    if (!validStorage(storage)) {
        RZRCTRSDKLogError("storage invalid");
        return std::nullopt;
    }
    Dictionary entries;
    for (const auto& entry :
         RZRCTRUserLoggingStoredKeyValues(storage->compactedPath).value_or(Array{})) {
        const auto key = decodedIfAsked(entry["key"], decodeHex);
        const Value& raw = entry["value"];
        const auto value =
            raw.isNull() ? std::optional<std::string>() : decodedIfAsked(raw, decodeHex);
        if (!key || (!raw.isNull() && !value)) {
            RZRCTRSDKLogWarn("compacted key/value contains a nil and must be dropped");
            continue;
        }
        entries.set(*key, raw.isNull() ? Value() : Value(*value));
    }
    for (const auto& entry :
         RZRCTRUserLoggingStoredKeyValues(storage->incrementalPath).value_or(Array{})) {
        const auto key = decodedIfAsked(entry["key"], decodeHex);
        const Value& raw = entry["value"];
        const auto value =
            raw.isNull() ? std::optional<std::string>() : decodedIfAsked(raw, decodeHex);
        if (!key || (!raw.isNull() && !value)) {
            RZRCTRSDKLogWarn("incremental key/value contains a nil and must be dropped");
            continue;
        }
        if (raw.isNull()) {
            entries.remove(*key);
        } else {
            entries.set(*key, Value(*value));
        }
    }
    return entries;
}

void RZRCTRUserLoggingCompactKVEntries(const RZRCTRUserLoggingKVStorage* storage) {
    if (!validStorage(storage)) {
        RZRCTRSDKLogError("Error: storage invalid");
        return;
    }
    auto entries = RZRCTRUserLoggingGetCompactedKVEntries(storage, false).value_or(Dictionary{});
    if (entries.size() > storage->maxCount) {
        RZRCTRSDKLogInfo("Truncating %d keys from KV set, which is above max %d",
                         static_cast<int>(entries.size() - storage->maxCount),
                         static_cast<int>(storage->maxCount));
        Dictionary kept;
        for (const auto& [key, value] : entries) {
            if (kept.size() == storage->maxCount) break;
            kept.set(key, value);
        }
        entries = std::move(kept);
    }

    // The merged set goes beside the compacted file first: until the rename
    // the old compacted file and the incremental file still hold every key.
    const std::string temporary = std::string(storage->compactedPath) + ".tmp";
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPathMode(&file, temporary.c_str(), false, true)) {
        RZRCTRSDKLogError("Error: Unable to open compacted k-v file");
        return;
    }
    RZRCTRUserLoggingWriteKVEntriesToFile(entries, false, &file);
    RZRCTRFileFlush(&file);
    const bool written = !file.lineBroken && ::fsync(file.fd) == 0;
    if (!RZRCTRFileClose(&file) || !written) {
        RZRCTRSDKLogError("Error: Unable to write compacted k-v file");
        RZRCTRUnlinkIfExists(temporary.c_str());
        return;
    }
    if (std::rename(temporary.c_str(), storage->compactedPath) != 0) {
        RZRCTRSDKLogError("Error: Unable to replace compacted KV store %s", std::strerror(errno));
        RZRCTRUnlinkIfExists(temporary.c_str());
        return;
    }
    if (::unlink(storage->incrementalPath) != 0) {
        RZRCTRSDKLogError("Error: Unable to remove incremental KV store after compaction %s",
                          std::strerror(errno));
    }
}

void RZRCTRLog(const std::string& format, const std::vector<ZVUFormatArg>& args) {
    const std::string message = args.empty() ? format : ZVUFormat(format, args);
    if (!RZRCTRContextIsInitialized()) {
        RZRCTRLogToStorage(nullptr, nullptr, message);
        return;
    }
    RZRCTRLogToStorage(&_rzrctrContext.readonly->logging.logStorage,
                       &_rzrctrContext.writable->logging.activeLogPath, message);
}

void RZRCTRLogToStorage(const RZRCTRUserLoggingABStorage* storage, const char** activePath,
                        const std::optional<std::string>& message) {
    if (!message) return;
    if (!RZRCTRContextIsInitialized()) {
        RZRCTRWarningLog(
            "WARNING: RZRCTRLog has been used before (or concurrently with) Crashtrace "
            "initialization and cannot be recorded. The message was: \n%@",
            *message);
        return;
    }
    if (!storage) return;
    std::string text = *message;
    if (text.size() > storage->maxSize) {
        RZRCTRWarningLog(
            "WARNING: Attempted to write %zd bytes, but %d is the maximum size of the log. "
            "Truncating to %d bytes.\n",
            static_cast<long long>(text.size()), storage->maxSize, storage->maxSize);
        text = truncatedUTF8(text, storage->maxSize);
    }
    const auto milliseconds = static_cast<std::uint64_t>(sim::wallClockSeconds() * 1000.0);
    RZRCTRUserLoggingWriteAndCheckABFiles(storage, activePath, [&](RZRCTRFile* file) {
        RZRCTRFileOpenSection(file, "log");
        RZRCTRFileOpenHash(file);
        RZRCTRFileWriteHexStringEntryWithLength(file, "msg", text.data(), text.size());
        RZRCTRFileWriteUInt64Entry(file, "time", milliseconds);
        RZRCTRFileCloseHash(file);
        RZRCTRFileCloseSection(file);
    });
}

void RZRCTRUserLoggingRecordError(const NSError* error, const Dictionary* additionalInfo) {
    if (!error || !RZRCTRContextIsInitialized()) return;
    void* frames[128];
    const int count = ::backtrace(frames, 128);
    const auto seconds = static_cast<std::uint64_t>(sim::wallClockSeconds());
    RZRCTRUserLoggingWriteAndCheckABFiles(
        &_rzrctrContext.readonly->logging.errorStorage,
        &_rzrctrContext.writable->logging.activeErrorPath, [&](RZRCTRFile* file) {
            RZRCTRFileOpenSection(file, "error");
            RZRCTRFileOpenHash(file);
            RZRCTRFileWriteHexStringEntryWithLength(file, "domain", error->domain.data(),
                                                    error->domain.size());
            RZRCTRFileWriteInt64Entry(file, "code", error->code);
            RZRCTRFileWriteUInt64Entry(file, "time", seconds);
            RZRCTRFileWriteKey(file, "stacktrace");
            RZRCTRFileOpenArray(file);
            for (int i = 0; i < count; ++i) {
                RZRCTRFileAppendUInt64(file, reinterpret_cast<std::uintptr_t>(frames[i]));
            }
            RZRCTRFileCloseArray(file);
            if (!error->userInfo.empty()) writePairs(file, "info", error->userInfo);
            if (additionalInfo && !additionalInfo->empty()) {
                writePairs(file, "extra_info", *additionalInfo);
            }
            RZRCTRFileCloseHash(file);
            RZRCTRFileCloseSection(file);
        });
}

void RZRCTRUserLoggingWriteAndCheckABFiles(const RZRCTRUserLoggingABStorage* storage,
                                           const char** activePath,
                                           const std::function<void(RZRCTRFile*)>& block) {
    if (!storage || !activePath || !block) return;
    if (!RZRCTRUserLoggingActivePath(activePath)) return;
    if (storage->restrictBySize ? storage->maxSize == 0 : storage->maxEntries == 0) return;
    runOnLoggingQueue([&] {
        // Read again on the queue: a rotation queued before this write may
        // have switched files since.
        const char* path = RZRCTRUserLoggingActivePath(activePath);
        RZRCTRFile file;
        if (!path || !RZRCTRFileInitWithPath(&file, path, true)) {
            RZRCTRSDKLogError("Unable to open log file");
            return;
        }
        block(&file);
        std::int64_t size = 0;
        RZRCTRFileCloseWithOffset(&file, &size);
        if (!storage->restrictBySize && storage->entryCount) ++*storage->entryCount;
        asyncOnLoggingQueue([storage, activePath, size] {
            RZRCTRUserLoggingCheckAndSwapABFiles(storage, activePath, size);
        });
    });
}

void RZRCTRUserLoggingCheckAndSwapABFiles(const RZRCTRUserLoggingABStorage* storage,
                                          const char** activePath, std::int64_t fileSize) {
    if (!storage || !activePath) return;
    if (!storage->restrictBySize) {
        if (!storage->entryCount) {
            RZRCTRSDKLogError(
                "Error: storage has invalid pointer, but is restricted by entry count");
            return;
        }
        if (*storage->entryCount < storage->maxEntries) return;
        *storage->entryCount = 0;
    } else if (fileSize <= static_cast<std::int64_t>(storage->maxSize)) {
        return;
    }
    const char* current = RZRCTRUserLoggingActivePath(activePath);
    const char* other = current == storage->aPath ? storage->bPath : storage->aPath;
    if (other && other[0] != '\0') RZRCTRUnlinkIfExists(other);
    std::lock_guard lock(pathLock());
    *activePath = other;
}
