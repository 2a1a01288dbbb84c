// Crash-time code: no locks, no stdio; allocation from the areas makes no
// system call and never touches the heap.
#include "services/crash/RZRCTRAllocator.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "services/crash/RZRCTRHost.h"
#include "services/crash/RZRCTRSDKLog.h"

static_assert(sizeof(RZRCTRAllocator) <= kRZRCTRAllocatorRecordSize);

namespace {

void* heapAllocate(std::size_t size, const char* failureMessage) {
    void* memory = std::malloc(size ? size : 1);
    if (!memory) RZRCTRSDKLogError("%s", failureMessage);
    return memory;
}

std::size_t alignUp(std::size_t value) {
    return (value + kRZRCTRAllocatorAlignment - 1) & ~(kRZRCTRAllocatorAlignment - 1);
}

}  // namespace

std::size_t RZRCTRAllocatorRoundUp(std::size_t size, std::size_t pageSize) {
    if (size == 0 || pageSize == 0) return 0;
    return (size / pageSize) * pageSize + pageSize;
}

std::size_t RZRCTRAllocatorPageSize() {
    const long kernel = ::sysconf(_SC_PAGESIZE);
    const std::size_t host = RZRCTRHostGetPageSize();
    if (kernel > 0 && host % static_cast<std::size_t>(kernel) != 0) {
        return static_cast<std::size_t>(kernel);
    }
    return host;
}

RZRCTRAllocator* RZRCTRAllocatorCreate(std::size_t writableSize, std::size_t readableSize) {
    return RZRCTRAllocatorCreateWithPageSize(writableSize, readableSize, RZRCTRAllocatorPageSize());
}

RZRCTRAllocator* RZRCTRAllocatorCreateWithPageSize(std::size_t writableSize,
                                                   std::size_t readableSize, std::size_t pageSize) {
    const std::size_t page = pageSize;
    const std::size_t writableLength = RZRCTRAllocatorRoundUp(writableSize, page);
    const std::size_t readableLength =
        RZRCTRAllocatorRoundUp(readableSize + kRZRCTRAllocatorRecordSize, page);
    const std::size_t total = writableLength + readableLength + 3 * page;

    void* mapping =
        ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        RZRCTRSDKLogError("Mapping failed %s", std::strerror(errno));
        return nullptr;
    }
    auto* buffer = static_cast<char*>(mapping);
    char* writableStart = buffer + page;
    char* readableStart = buffer + 2 * page + writableLength;
    RZRCTRSDKLogInfo("Mapping: %p %p %p, total: %zu K", buffer, writableStart, readableStart,
                     total / 1024);

    if (::mprotect(buffer, page, PROT_NONE) != 0) {
        RZRCTRSDKLogError("First guard protection failed %s", std::strerror(errno));
        return nullptr;
    }
    if (::mprotect(writableStart + writableLength, page, PROT_NONE) != 0) {
        RZRCTRSDKLogError("Middle guard protection failed %s", std::strerror(errno));
        return nullptr;
    }
    if (::mprotect(readableStart + readableLength, page, PROT_NONE) != 0) {
        RZRCTRSDKLogError("Last guard protection failed %s", std::strerror(errno));
        return nullptr;
    }

    // The record itself is the first allocation of the read-only area.
    auto* allocator = new (readableStart) RZRCTRAllocator();
    allocator->buffer = buffer;
    allocator->writeableRegion.maxSize = writableLength;
    allocator->writeableRegion.start = reinterpret_cast<std::uintptr_t>(writableStart);
    allocator->writeableRegion.cursor.store(allocator->writeableRegion.start);
    allocator->readOnlyRegion.maxSize = readableLength;
    allocator->readOnlyRegion.start = reinterpret_cast<std::uintptr_t>(readableStart);
    allocator->readOnlyRegion.cursor.store(allocator->readOnlyRegion.start +
                                           kRZRCTRAllocatorRecordSize);
    RZRCTRSDKLogDebug("Allocator successfully created %p", allocator);
    return allocator;
}

void* RZRCTRAllocatorSafeAllocateFromRegion(RZRCTRAllocatorRegion* region, std::size_t size) {
    if (!region) return nullptr;
    const std::size_t length = alignUp(size);
    std::uintptr_t cursor = region->cursor.load();
    while (cursor + length - region->start <= region->maxSize) {
        if (region->cursor.compare_exchange_weak(cursor, cursor + length)) {
            return reinterpret_cast<void*>(cursor);
        }
    }
    RZRCTRSDKLogWarn("Unable to allocate sufficient memory, falling back to malloc");
    return heapAllocate(size, "Unable to malloc in RZRCTRAllocatorSafeAllocateFromRegion");
}

void* RZRCTRAllocatorSafeAllocate(RZRCTRAllocator* allocator, std::size_t size, int type) {
    if (!allocator) {
        RZRCTRSDKLogWarn("Allocator invalid, falling back to malloc");
        return heapAllocate(size, "Unable to malloc in RZRCTRAllocatorSafeAllocate");
    }
    if (allocator->protectionEnabled.load()) {
        RZRCTRSDKLogWarn("Allocator already protected, falling back to malloc");
        return heapAllocate(size, "Unable to malloc in RZRCTRAllocatorSafeAllocate");
    }
    switch (type) {
        case RZRCTRAllocationTypeWriteable:
            return RZRCTRAllocatorSafeAllocateFromRegion(&allocator->writeableRegion, size);
        case RZRCTRAllocationTypeReadOnly:
            return RZRCTRAllocatorSafeAllocateFromRegion(&allocator->readOnlyRegion, size);
        default:
            return nullptr;
    }
}

bool RZRCTRAllocatorProtect(RZRCTRAllocator* allocator) {
    if (!allocator) {
        RZRCTRSDKLogError("Invalid allocator");
        return false;
    }
    // The record lives in the area it seals: once sealed it is only read.
    if (allocator->protectionEnabled.load()) {
        RZRCTRSDKLogWarn("Write protection already enabled");
        return true;
    }
    allocator->protectionEnabled.store(true);
    return ::mprotect(reinterpret_cast<void*>(allocator->readOnlyRegion.start),
                      allocator->readOnlyRegion.maxSize, PROT_READ) == 0;
}

bool RZRCTRAllocatorUnprotect(RZRCTRAllocator* allocator) {
    if (!allocator) return false;
    const auto buffer = reinterpret_cast<std::uintptr_t>(allocator->buffer);
    const std::uintptr_t page = allocator->writeableRegion.start - buffer;
    const std::size_t total =
        allocator->readOnlyRegion.start + allocator->readOnlyRegion.maxSize + page - buffer;
    if (::mprotect(allocator->buffer, total, PROT_READ | PROT_WRITE) != 0) return false;
    allocator->protectionEnabled.store(false);
    return true;
}

void RZRCTRAllocatorFree(RZRCTRAllocator* allocator, void* pointer) {
    if (!allocator) std::free(pointer);
}

void RZRCTRAllocatorDestroy(RZRCTRAllocator*) {}
