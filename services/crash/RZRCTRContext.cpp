// Crash-time code: no allocation, no locks, no stdio, no logging but the SDK
// log.
#include "services/crash/RZRCTRContext.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "services/crash/RZRCTRSDKLog.h"

RZRCTRContext _rzrctrContext = {nullptr, nullptr, nullptr};

bool RZRCTRContextIsInitialized() {
    // Sequentially consistent loads and stores order the flags.
    const RZRCTRReadOnlyContext* readonly =
        __atomic_load_n(&_rzrctrContext.readonly, __ATOMIC_SEQ_CST);
    return readonly && __atomic_load_n(&readonly->initialized, __ATOMIC_SEQ_CST);
}

bool RZRCTRContextMarkAndCheckIfCrashed() {
    if (!RZRCTRContextIsInitialized() || !_rzrctrContext.writable) return false;
    // The first handler to flip the flag records the crash; later ones see it
    // set.
    return __atomic_exchange_n(&_rzrctrContext.writable->crashOccurred, true, __ATOMIC_SEQ_CST);
}

bool RZRCTRContextHasCrashed() {
    if (!RZRCTRContextIsInitialized() || !_rzrctrContext.writable) return false;
    return __atomic_load_n(&_rzrctrContext.writable->crashOccurred, __ATOMIC_SEQ_CST);
}

void RZRCTRContextMarkHasCrashed() {
    if (!RZRCTRContextIsInitialized() || !_rzrctrContext.writable) return;
    __atomic_store_n(&_rzrctrContext.writable->crashOccurred, true, __ATOMIC_SEQ_CST);
}

void RZRCTRContextBaseDeinit() {
    RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    if (!readonly) return;
    RZRCTRAllocator* allocator = _rzrctrContext.allocator;
    // The flag lives in the sealed half: open it for this one write.
    const bool sealed = allocator && allocator->protectionEnabled.load();
    void* area = allocator ? reinterpret_cast<void*>(allocator->readOnlyRegion.start) : nullptr;
    const std::size_t length = allocator ? allocator->readOnlyRegion.maxSize : 0;
    if (sealed && ::mprotect(area, length, PROT_READ | PROT_WRITE) != 0) {
        RZRCTRSDKLogError("Unable to unprotect the context");
        return;
    }
    __atomic_store_n(&readonly->initialized, false, __ATOMIC_SEQ_CST);
    if (sealed) ::mprotect(area, length, PROT_READ);
}

void RZRCTRCreateCrashedMarkerFile() {
    const RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    const char* path = readonly ? readonly->previouslyCrashedFileFullPath : nullptr;
    const int fd = path ? ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    if (fd < 0) {
        RZRCTRSDKLogError("Unable to create the crashed marker file");
        return;
    }
    ::close(fd);
    RZRCTRSDKLogInfo("Created the crashed marker file");
}
