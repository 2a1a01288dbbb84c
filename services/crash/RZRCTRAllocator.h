#pragma once
// Guarded memory for the crash context: one anonymous mapping split into a
// writable and a read-only area, each between inaccessible guard pages.
// Memory is handed out by lock-free bumping and never given back; the
// read-only area can be sealed once set-up has finished.
//
// Crash-time code: allocation from the areas takes no lock and makes no
// system call; nothing here uses stdio. The heap is touched only on the
// logged fallback paths (exhausted area, sealed allocator, no allocator).

#include <atomic>
#include <cstddef>
#include <cstdint>

struct RZRCTRAllocatorRegion {
    std::uint64_t maxSize = 0;
    std::uintptr_t start = 0;
    std::atomic<std::uintptr_t> cursor{0};
};

struct RZRCTRAllocator {
    void* buffer = nullptr;
    std::atomic<bool> protectionEnabled{false};
    RZRCTRAllocatorRegion writeableRegion;
    RZRCTRAllocatorRegion readOnlyRegion;
};

enum RZRCTRAllocationType : int {
    RZRCTRAllocationTypeReadOnly = 0,
    RZRCTRAllocationTypeWriteable = 1,
};

// The allocator record takes this many bytes at the start of the read-only
// area.
inline constexpr std::size_t kRZRCTRAllocatorRecordSize = 64;
// Every allocation starts on this boundary.
inline constexpr std::size_t kRZRCTRAllocatorAlignment = 16;

// The largest multiple of pageSize not above size, plus one page; 0 stays 0.
std::size_t RZRCTRAllocatorRoundUp(std::size_t size, std::size_t pageSize);
// The page size the mapping is laid out with: the host's, unless the kernel
// maps in larger pages.
std::size_t RZRCTRAllocatorPageSize();

RZRCTRAllocator* RZRCTRAllocatorCreate(std::size_t writableSize, std::size_t readableSize);
// Same, laid out with the given page size (a multiple of the kernel's).
RZRCTRAllocator* RZRCTRAllocatorCreateWithPageSize(std::size_t writableSize,
                                                   std::size_t readableSize, std::size_t pageSize);
void* RZRCTRAllocatorSafeAllocate(RZRCTRAllocator* allocator, std::size_t size, int type);
void* RZRCTRAllocatorSafeAllocateFromRegion(RZRCTRAllocatorRegion* region, std::size_t size);
// Seals the read-only area; every later allocation comes from the heap.
bool RZRCTRAllocatorProtect(RZRCTRAllocator* allocator);
bool RZRCTRAllocatorUnprotect(RZRCTRAllocator* allocator);
// Frees with the heap only when there is no allocator (heap fallbacks made
// without one); memory from the areas is never freed.
void RZRCTRAllocatorFree(RZRCTRAllocator* allocator, void* pointer);
void RZRCTRAllocatorDestroy(RZRCTRAllocator* allocator);
