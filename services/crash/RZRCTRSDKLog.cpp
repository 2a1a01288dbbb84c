// Crash-time code: no allocation, no locks, no stdio, no logging but this.
#include "services/crash/RZRCTRSDKLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRFile.h"

namespace {

// Descriptor states besides real descriptors.
constexpr int kNotOpened = -1;
constexpr int kOpenFailed = -2;
constexpr int kOpening = -3;

int sdkLogDescriptor(RZRCTRReadWriteContext* writable, const char* path) {
    int fd = __atomic_load_n(&writable->sdkLogFD, __ATOMIC_SEQ_CST);
    if (fd != kNotOpened) return fd;
    int expected = kNotOpened;
    if (!__atomic_compare_exchange_n(&writable->sdkLogFD, &expected, kOpening, false,
                                     __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        return expected;  // another thread opens it; its lines come later
    }
    fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    __atomic_store_n(&writable->sdkLogFD, fd >= 0 ? fd : kOpenFailed, __ATOMIC_SEQ_CST);
    return fd >= 0 ? fd : kOpenFailed;
}

}  // namespace

void RZRCTRSDKLog(std::uint32_t level, const char* format, ...) {
    const RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    RZRCTRReadWriteContext* writable = _rzrctrContext.writable;
    if (!readonly || !writable || !readonly->sdkLogPath || !format) return;
    if (level < __atomic_load_n(&writable->sdkLogLevel, __ATOMIC_SEQ_CST)) return;
    // However long a capture runs, what it says about itself is bounded.
    if (__atomic_load_n(&writable->crashOccurred, __ATOMIC_SEQ_CST) &&
        __atomic_add_fetch(&writable->sdkLogLinesAfterCrash, 1, __ATOMIC_SEQ_CST) >
            kRZRCTRSDKLogLinesAfterCrash)
        return;
    const int fd = sdkLogDescriptor(writable, readonly->sdkLogPath);
    if (fd < 0) return;

    const int savedErrno = errno;
    va_list args;
    va_start(args, format);
    const char* run = format;
    const char* p = format;
    while (*p) {
        if (*p != '%' || p[1] == '\0') {
            ++p;
            continue;
        }
        if (p > run) RZRCTRFileWriteWithRetries(fd, run, static_cast<std::size_t>(p - run));
        const char conversion = p[1];
        switch (conversion) {
            case 'p': {
                const auto value = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
                RZRCTRFileWriteWithRetries(fd, "0x", 2);
                RZRCTRFileWriteUInt64ToFD(fd, value, true);
                break;
            }
            case 's': {
                const char* text = va_arg(args, const char*);
                if (!text) text = "(null)";
                RZRCTRFileWriteWithRetries(fd, text, std::strlen(text));
                break;
            }
            case 'u':
                RZRCTRFileWriteUInt64ToFD(fd, va_arg(args, unsigned int), false);
                break;
            case 'x':
                RZRCTRFileWriteUInt64ToFD(fd, va_arg(args, unsigned int), true);
                break;
            case 'd':
                RZRCTRFileWriteInt64ToFD(fd, va_arg(args, int));
                break;
            default:
                RZRCTRFileWriteWithRetries(fd, p, 2);
                break;
        }
        p += 2;
        run = p;
    }
    if (p > run) RZRCTRFileWriteWithRetries(fd, run, static_cast<std::size_t>(p - run));
    va_end(args);
    errno = savedErrno;
}
