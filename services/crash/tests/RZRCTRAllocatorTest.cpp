#include "services/crash/RZRCTRAllocator.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "services/crash/tests/CrashTestSupport.h"

namespace {

using crashtest::diedOfSignal;
using crashtest::exitedCleanly;
using crashtest::runInChild;

bool inside(const RZRCTRAllocatorRegion& region, const void* pointer, std::size_t size = 1) {
    const auto address = reinterpret_cast<std::uintptr_t>(pointer);
    return address >= region.start && address + size <= region.start + region.maxSize;
}

std::size_t kernelPage() {
    return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

TEST(GuardedAllocator, RoundsEachAreaUpToWholePagesPlusOne) {
    struct Case {
        std::size_t size;
        std::size_t page;
        std::size_t rounded;
    };
    const Case cases[] = {
        {17048 + kRZRCTRAllocatorRecordSize, 16384, 32768},
        {544872, 16384, 557056},
        {16384, 16384, 32768},
        {0, 16384, 0},
        {1, 4096, 4096},
        {4095, 4096, 4096},
        {4096, 4096, 8192},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RZRCTRAllocatorRoundUp(c.size, c.page), c.rounded) << c.size << "/" << c.page;
    }
}

TEST(GuardedAllocator, LaysOutBothAreasBetweenGuardPages) {
    const std::size_t page = 16384;  // a multiple of the kernel's page
    ASSERT_EQ(page % kernelPage(), 0u);
    RZRCTRAllocator* allocator = RZRCTRAllocatorCreateWithPageSize(544872, 17048, page);
    ASSERT_NE(allocator, nullptr);
    const auto buffer = reinterpret_cast<std::uintptr_t>(allocator->buffer);
    EXPECT_EQ(allocator->writeableRegion.start, buffer + page);
    EXPECT_EQ(allocator->writeableRegion.maxSize, 557056u);
    EXPECT_EQ(allocator->readOnlyRegion.start, buffer + 2 * page + 557056);
    EXPECT_EQ(allocator->readOnlyRegion.maxSize, 32768u);
    // The record is the first 64 bytes of the read-only area.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(allocator), allocator->readOnlyRegion.start);

    void* writable = RZRCTRAllocatorSafeAllocate(allocator, 100, RZRCTRAllocationTypeWriteable);
    void* readable = RZRCTRAllocatorSafeAllocate(allocator, 100, RZRCTRAllocationTypeReadOnly);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(writable), allocator->writeableRegion.start);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(readable),
              allocator->readOnlyRegion.start + kRZRCTRAllocatorRecordSize);
    EXPECT_EQ(RZRCTRAllocatorSafeAllocate(allocator, 8, 2), nullptr);
}

TEST(GuardedAllocator, ARequestLargerThanWhatIsLeftComesFromTheHeap) {
    RZRCTRAllocator* allocator = RZRCTRAllocatorCreate(1000, 1000);
    ASSERT_NE(allocator, nullptr);
    auto& region = allocator->writeableRegion;
    void* first =
        RZRCTRAllocatorSafeAllocate(allocator, region.maxSize - 32, RZRCTRAllocationTypeWriteable);
    EXPECT_TRUE(inside(region, first, region.maxSize - 32));
    void* fits = RZRCTRAllocatorSafeAllocate(allocator, 32, RZRCTRAllocationTypeWriteable);
    EXPECT_TRUE(inside(region, fits, 32));
    void* spilled = RZRCTRAllocatorSafeAllocate(allocator, 1, RZRCTRAllocationTypeWriteable);
    ASSERT_NE(spilled, nullptr);
    EXPECT_FALSE(inside(region, spilled));
    RZRCTRAllocatorFree(nullptr, spilled);
}

TEST(GuardedAllocator, ConcurrentAllocationsNeverOverlap) {
    RZRCTRAllocator* allocator = RZRCTRAllocatorCreate(64 * 1024, 64 * 1024);
    ASSERT_NE(allocator, nullptr);
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    std::vector<std::vector<std::uintptr_t>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                results[t].push_back(reinterpret_cast<std::uintptr_t>(
                    RZRCTRAllocatorSafeAllocate(allocator, 24, RZRCTRAllocationTypeWriteable)));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<std::uintptr_t> all;
    for (const auto& list : results) all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_TRUE(inside(allocator->writeableRegion, reinterpret_cast<void*>(all[i]), 24));
        EXPECT_EQ(all[i] % kRZRCTRAllocatorAlignment, 0u);
        if (i > 0) {
            EXPECT_GE(all[i] - all[i - 1], 24u);
        }
    }
}

TEST(GuardedAllocator, AfterSealingRequestsComeFromTheHeap) {
    RZRCTRAllocator* allocator = RZRCTRAllocatorCreate(4096, 4096);
    ASSERT_NE(allocator, nullptr);
    EXPECT_TRUE(RZRCTRAllocatorProtect(allocator));
    // The allocator's own record is sealed too: asking again must only read it.
    EXPECT_TRUE(exitedCleanly(runInChild([&] {
        if (!RZRCTRAllocatorProtect(allocator)) ::_exit(1);
    })));
    EXPECT_FALSE(RZRCTRAllocatorProtect(nullptr));
    for (const int type : {RZRCTRAllocationTypeReadOnly, RZRCTRAllocationTypeWriteable}) {
        void* memory = RZRCTRAllocatorSafeAllocate(allocator, 16, type);
        ASSERT_NE(memory, nullptr);
        EXPECT_FALSE(inside(allocator->readOnlyRegion, memory));
        EXPECT_FALSE(inside(allocator->writeableRegion, memory));
        std::free(memory);
    }
    void* heap = RZRCTRAllocatorSafeAllocate(nullptr, 16, RZRCTRAllocationTypeWriteable);
    ASSERT_NE(heap, nullptr);
    RZRCTRAllocatorFree(nullptr, heap);
}

// Each case runs in a child that writes where it says; the allocator must
// let it through or kill it with SIGSEGV.
TEST(GuardedAllocator, ProtectionIsEnforcedInAChildThatWritesWhereItMustNot) {
    RZRCTRAllocator* allocator = RZRCTRAllocatorCreate(8192, 8192);
    ASSERT_NE(allocator, nullptr);
    auto* readable = static_cast<char*>(
        RZRCTRAllocatorSafeAllocate(allocator, 64, RZRCTRAllocationTypeReadOnly));
    auto* writable = static_cast<char*>(
        RZRCTRAllocatorSafeAllocate(allocator, 64, RZRCTRAllocationTypeWriteable));
    std::strcpy(readable, "sealed");
    ASSERT_TRUE(RZRCTRAllocatorProtect(allocator));
    const std::size_t page =
        allocator->writeableRegion.start - reinterpret_cast<std::uintptr_t>(allocator->buffer);
    auto* base = static_cast<volatile char*>(allocator->buffer);

    struct Case {
        const char* name;
        volatile char* target;
        bool faults;
    };
    const Case cases[] = {
        {"read-only area after sealing", readable, true},
        {"first guard page", base, true},
        {"middle guard page",
         reinterpret_cast<volatile char*>(allocator->writeableRegion.start +
                                          allocator->writeableRegion.maxSize),
         true},
        {"last guard page",
         reinterpret_cast<volatile char*>(allocator->readOnlyRegion.start +
                                          allocator->readOnlyRegion.maxSize + page - 1),
         true},
        {"writable area", writable, false},
    };
    for (const auto& c : cases) {
        const int status = runInChild([&] { *c.target = 'x'; });
        if (c.faults) {
            EXPECT_TRUE(diedOfSignal(status, SIGSEGV)) << c.name << " status " << status;
        } else {
            EXPECT_TRUE(exitedCleanly(status)) << c.name << " status " << status;
        }
    }
    // Reading the sealed area still works.
    EXPECT_STREQ(readable, "sealed");
}

}  // namespace
