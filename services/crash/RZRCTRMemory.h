#pragma once
// Fault-safe reads of the own process's memory, strings copied into the
// protected part of the crash context, and small file and text helpers.
//
// Crash-time code: no allocation, no locks, no stdio; only the system calls
// process_vm_readv and unlink (RZRCTRDupString allocates from the guarded
// allocator, and only during set-up).

#include <cstddef>
#include <cstdint>

// Addresses below this are never dereferenced.
inline constexpr std::uintptr_t kRZRCTRMinimumValidAddress = 4096;

// Copies length bytes from the own process at source; false for a source
// below 4096 or when any byte cannot be read. Never faults.
bool RZRCTRReadMemory(std::uintptr_t source, void* destination, std::size_t length);

// Whether every byte of [source, source + length) can be read now, asked
// one byte per page through the same system call; never faults.
bool RZRCTRMemoryIsReadable(std::uintptr_t source, std::size_t length);

// Validates the C string at source: readable up to its NUL or maxLength
// bytes, whichever comes first. On success *string is the source address
// itself (the string is validated, not copied) and *length the number of
// validated bytes before the NUL (maxLength when none was found): a writer
// must never read past it. False for a null out pointer, a source below 4096,
// a range that wraps around, or an unreadable byte.
bool RZRCTRReadString(std::uintptr_t source, const char** string, std::size_t maxLength,
                      std::size_t* length);

// A NUL-terminated copy in the allocator's read-only area; null for null.
const char* RZRCTRDupString(const char* string);

// unlink, where a missing file counts as success.
bool RZRCTRUnlinkIfExists(const char* path);

// Masks the first parenthesised run of exactly 36 characters in place:
// every character of it but "-" becomes "*".
void RZRCTRRedactUUID(char* text);
