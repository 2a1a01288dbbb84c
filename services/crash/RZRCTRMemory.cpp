// Crash-time code: no allocation, no locks, no stdio.
#include "services/crash/RZRCTRMemory.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "services/crash/RZRCTRContext.h"

namespace {

// Asked each time: a function-local static would take a lock on first use.
std::size_t pageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

}  // namespace

bool RZRCTRReadMemory(std::uintptr_t source, void* destination, std::size_t length) {
    if (source < kRZRCTRMinimumValidAddress || !destination) return false;
    if (length == 0) return true;
    if (source + length < source) return false;
    const int savedErrno = errno;
    struct iovec local = {destination, length};
    struct iovec remote = {reinterpret_cast<void*>(source), length};
    const ssize_t copied = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    errno = savedErrno;
    return copied == static_cast<ssize_t>(length);
}

bool RZRCTRMemoryIsReadable(std::uintptr_t source, std::size_t length) {
    if (source < kRZRCTRMinimumValidAddress || source + length < source) return false;
    if (length == 0) return true;
    const std::size_t page = pageSize();
    const std::uintptr_t first = source - source % page;
    const std::uintptr_t last = source + length - 1;
    constexpr std::size_t kBatch = 64;
    char bytes[kBatch];
    struct iovec local = {bytes, 0};
    struct iovec remote[kBatch];
    const int savedErrno = errno;
    bool readable = true;
    for (std::uintptr_t at = first; readable && at <= last && at >= first;) {
        std::size_t count = 0;
        for (; count < kBatch && at <= last && at >= first; ++count, at += page)
            remote[count] = {reinterpret_cast<void*>(count == 0 && at < source ? source : at), 1};
        local.iov_len = count;
        readable = ::process_vm_readv(::getpid(), &local, 1, remote, count, 0) ==
                   static_cast<ssize_t>(count);
    }
    errno = savedErrno;
    return readable;
}

bool RZRCTRReadString(std::uintptr_t source, const char** string, std::size_t maxLength,
                      std::size_t* length) {
    if (!string) return false;
    if (source < kRZRCTRMinimumValidAddress) return false;
    if (source + maxLength < source) return false;
    std::size_t validated = 0;
    char chunk[256];
    while (validated < maxLength) {
        // Read up to the next page boundary at most, so that a string
        // ending just before an unmapped page still reads.
        const std::uintptr_t address = source + validated;
        std::size_t count = pageSize() - (address % pageSize());
        if (count > sizeof(chunk)) count = sizeof(chunk);
        if (count > maxLength - validated) count = maxLength - validated;
        if (!RZRCTRReadMemory(address, chunk, count)) return false;
        const void* nul = std::memchr(chunk, '\0', count);
        if (nul) {
            validated += static_cast<std::size_t>(static_cast<const char*>(nul) - chunk);
            *string = reinterpret_cast<const char*>(source);
            if (length) *length = validated;
            return true;
        }
        validated += count;
    }
    *string = reinterpret_cast<const char*>(source);
    if (length) *length = validated;
    return true;
}

const char* RZRCTRDupString(const char* string) {
    if (!string) return nullptr;
    const std::size_t length = std::strlen(string);
    auto* copy = static_cast<char*>(RZRCTRAllocatorSafeAllocate(
        _rzrctrContext.allocator, length + 1, RZRCTRAllocationTypeReadOnly));
    if (!copy) return nullptr;
    std::memcpy(copy, string, length + 1);
    return copy;
}

bool RZRCTRUnlinkIfExists(const char* path) {
    if (!path) return false;
    return ::unlink(path) == 0 || errno == ENOENT;
}

void RZRCTRRedactUUID(char* text) {
    if (!text) return;
    char* open = std::strchr(text, '(');
    while (open) {
        char* close = std::strchr(open + 1, ')');
        if (!close) return;
        if (close - open - 1 == 36) {
            for (char* p = open + 1; p < close; ++p) {
                if (*p != '-') *p = '*';
            }
            return;
        }
        open = std::strchr(open + 1, '(');
    }
}
