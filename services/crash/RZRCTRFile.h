#pragma once
// The writer of every crash record file: JSON lines, each one object with a
// single key (the section name) whose value is a hash or an array.
//
// Crash-time code: in unbuffered mode nothing here allocates, takes a lock,
// uses stdio or logs through anything but the SDK log; only open, write,
// fstat and close. Buffered mode (a heap buffer) is for run-time writers.
//
// Every string is written as a JSON string: quotes, backslashes and control
// characters are escaped, and bytes that are not valid UTF-8 become U+FFFD,
// so a record line is always valid JSON. Interrupted writes are retried; a
// line whose bytes could not all be written is ended before the next
// section starts, so it never runs into the next line.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

struct RZRCTRFile {
    int fd = -1;
    std::uint32_t collectionDepth = 0;
    bool needComma = false;
    bool bufferWrites = false;
    char* writeBuffer = nullptr;
    std::size_t writeBufferLength = 0;
    std::int64_t bytesWritten = 0;
    // Some bytes of the current line were lost.
    bool lineBroken = false;
};

inline constexpr std::size_t kRZRCTRFileBufferSize = 1000;

bool RZRCTRFileInitWithPath(RZRCTRFile* file, const char* path, bool bufferWrites);
bool RZRCTRFileInitWithPathMode(RZRCTRFile* file, const char* path, bool appendMode,
                                bool bufferWrites);
bool RZRCTRFileCloseWithOffset(RZRCTRFile* file, std::int64_t* finalSize);
bool RZRCTRFileClose(RZRCTRFile* file);
bool RZRCTRFileIsOpen(const RZRCTRFile* file);
void RZRCTRFileFlush(RZRCTRFile* file);

void RZRCTRFileOpenSection(RZRCTRFile* file, const char* name);
void RZRCTRFileCloseSection(RZRCTRFile* file);
void RZRCTRFileOpenHash(RZRCTRFile* file);
void RZRCTRFileCloseHash(RZRCTRFile* file);
void RZRCTRFileOpenArray(RZRCTRFile* file);
void RZRCTRFileCloseArray(RZRCTRFile* file);
void RZRCTRFileWriteKey(RZRCTRFile* file, const char* key);

void RZRCTRFileWriteUInt64Entry(RZRCTRFile* file, const char* key, std::uint64_t value);
void RZRCTRFileWriteInt64Entry(RZRCTRFile* file, const char* key, std::int64_t value);
void RZRCTRFileWriteStringEntry(RZRCTRFile* file, const char* key, const char* value);
// A string of exactly `length` bytes (for example one validated by
// RZRCTRReadString); it need not be NUL-terminated.
void RZRCTRFileWriteStringEntryWithLength(RZRCTRFile* file, const char* key, const char* value,
                                          std::size_t length);
void RZRCTRFileWriteHexStringEntry(RZRCTRFile* file, const char* key, const char* value);
void RZRCTRFileWriteHexStringEntryWithLength(RZRCTRFile* file, const char* key, const char* value,
                                             std::size_t length);
void RZRCTRFileWriteBoolEntry(RZRCTRFile* file, const char* key, bool value);
// A string object's UTF-8 text as a plain string; the second form writes
// nothing for an empty text.
void RZRCTRFileWriteNSStringEntry(RZRCTRFile* file, const char* key, std::string_view value);
void RZRCTRFileWriteNonEmptyNSStringEntry(RZRCTRFile* file, const char* key,
                                          std::string_view value);
void RZRCTRFileWriteNullEntry(RZRCTRFile* file, const char* key);

void RZRCTRFileAppendUInt64(RZRCTRFile* file, std::uint64_t value);
void RZRCTRFileAppendString(RZRCTRFile* file, const char* value);
void RZRCTRFileAppendStringWithLength(RZRCTRFile* file, const char* value, std::size_t length);
void RZRCTRFileAppendHexString(RZRCTRFile* file, const char* value);

// Raw descriptor writes, shared with the SDK log. The retry loop: a partial
// write goes on with the rest, an interrupted call is repeated, at most 50
// calls that write; 0, an error or more than asked fails.
bool RZRCTRFileWriteWithRetries(int fd, const void* bytes, std::size_t length);
void RZRCTRFileWriteUInt64ToFD(int fd, std::uint64_t value, bool hex);
void RZRCTRFileWriteInt64ToFD(int fd, std::int64_t value);

// The write call the writer uses; null restores write(2). Lets a test fail
// or interrupt writes, or die in the middle of one.
using RZRCTRFileWriteFunction = ssize_t (*)(int fd, const void* bytes, std::size_t length);
void RZRCTRFileSetWriteFunction(RZRCTRFileWriteFunction function);
