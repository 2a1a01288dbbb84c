#include "services/crash/RZRCTRSDKLog.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using crashtest::exitedCleanly;
using crashtest::readFile;
using crashtest::runInChild;

class SDKLogTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        initializeContext();
        ::truncate(file("sdk.log").c_str(), 0);
    }
    void TearDown() override {
        _rzrctrContext.writable->sdkLogLevel = RZRCTRSDKLogLevelDebug;
        CrashFixture::TearDown();
    }
};

TEST_F(SDKLogTest, FormatsOnlyItsOwnConversions) {
    struct Case {
        std::function<void()> log;
        const char* expected;
    };
    const Case cases[] = {
        {[] {
             RZRCTRSDKLog(RZRCTRSDKLogLevelInfo, "Mapping: %p %p %p, total: %zu K\n",
                          reinterpret_cast<void*>(0x1000), reinterpret_cast<void*>(0xabcdef),
                          reinterpret_cast<void*>(0), std::size_t{42});
         },
         "Mapping: 0x1000 0xabcdef 0x0, total: %zu K\n"},
        {[] { RZRCTRSDKLog(RZRCTRSDKLogLevelInfo, "%s|%s", "text", static_cast<char*>(nullptr)); },
         "text|(null)"},
        {[] { RZRCTRSDKLog(RZRCTRSDKLogLevelInfo, "%d %u %x", -42, 4294967295u, 0xbeefu); },
         "-42 4294967295 beef"},
        {[] { RZRCTRSDKLog(RZRCTRSDKLogLevelInfo, "100%% %llx %i%"); }, "100%% %llx %i%"},
    };
    for (const auto& c : cases) {
        ::truncate(file("sdk.log").c_str(), 0);
        c.log();
        EXPECT_EQ(sdkLog(), c.expected);
    }
}

TEST_F(SDKLogTest, PrefixesTheLevelAndTheCallingFunction) {
    const int line = __LINE__ + 1;
    RZRCTRSDKLogWarn("Unable to read file %s", "x.ctrrecord");
    EXPECT_EQ(sdkLog(),
              "WARN  [TestBody:" + std::to_string(line) + "] Unable to read file x.ctrrecord\n");
}

TEST_F(SDKLogTest, DropsLinesBelowTheCurrentLevel) {
    _rzrctrContext.writable->sdkLogLevel = RZRCTRSDKLogLevelWarn;
    RZRCTRSDKLog(RZRCTRSDKLogLevelInfo, "quiet\n");
    RZRCTRSDKLog(RZRCTRSDKLogLevelError, "loud\n");
    _rzrctrContext.writable->sdkLogLevel = RZRCTRSDKLogLevelDebug;
    RZRCTRSDKLog(RZRCTRSDKLogLevelInfo, "again\n");
    EXPECT_EQ(sdkLog(), "loud\nagain\n");
}

TEST_F(SDKLogTest, LinesAfterACrashAreBounded) {
    for (int i = 0; i < 100; ++i) RZRCTRSDKLogError("before %d", i);
    RZRCTRContextMarkAndCheckIfCrashed();
    for (std::uint32_t i = 0; i < 2 * kRZRCTRSDKLogLinesAfterCrash; ++i)
        RZRCTRSDKLogError("after %d", static_cast<int>(i));
    const std::string log = readFile(file("sdk.log"));
    EXPECT_EQ(static_cast<std::uint32_t>(std::count(log.begin(), log.end(), '\n')),
              100 + kRZRCTRSDKLogLinesAfterCrash);
}

TEST_F(SDKLogTest, WritesNothingWithoutAContext) {
    const RZRCTRContext saved = _rzrctrContext;
    _rzrctrContext = {};
    RZRCTRSDKLogWarn("before the context");
    _rzrctrContext = saved;
    EXPECT_EQ(sdkLog(), "");
}

TEST_F(SDKLogTest, FaultSafeReadsNeverFault) {
    // A readable page followed by an inaccessible one.
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto* pages = static_cast<char*>(
        ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(::mprotect(pages + page, page, PROT_NONE), 0);
    std::memcpy(pages + page - 8, "selector", 8);  // no NUL before the hole
    std::strcpy(pages, "short");

    char copy[16] = {};
    EXPECT_TRUE(RZRCTRReadMemory(reinterpret_cast<std::uintptr_t>(pages), copy, 6));
    EXPECT_STREQ(copy, "short");
    EXPECT_FALSE(RZRCTRReadMemory(reinterpret_cast<std::uintptr_t>(pages + page - 4), copy, 8));
    EXPECT_FALSE(RZRCTRReadMemory(100, copy, 1));

    struct Case {
        std::uintptr_t source;
        std::size_t max;
        bool ok;
        std::size_t length;
    };
    const auto at = [&](std::size_t offset) {
        return reinterpret_cast<std::uintptr_t>(pages + offset);
    };
    const Case cases[] = {
        {at(0), 128, true, 5},           {at(0), 3, true, 3},       {at(page - 8), 8, true, 8},
        {at(page - 8), 9, false, 0},     {at(page), 128, false, 0}, {4095, 16, false, 0},
        {UINTPTR_MAX - 2, 16, false, 0}, {at(0), 0, true, 0},
    };
    for (const auto& c : cases) {
        const char* string = nullptr;
        std::size_t length = 99;
        EXPECT_EQ(RZRCTRReadString(c.source, &string, c.max, &length), c.ok) << c.max;
        if (c.ok) {
            EXPECT_EQ(string, reinterpret_cast<const char*>(c.source));
            EXPECT_EQ(length, c.length);
        }
    }
    EXPECT_FALSE(RZRCTRReadString(at(0), nullptr, 8, nullptr));
    ::munmap(pages, 2 * page);
}

// A string validated up to the edge of readable memory is written exactly to
// its bound; reading on to a NUL would fault in the crash handler.
TEST_F(SDKLogTest, AValidatedStringIsWrittenWithinItsBound) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto* pages = static_cast<char*>(
        ::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(::mprotect(pages + page, page, PROT_NONE), 0);
    std::memcpy(pages + page - 8, "selector", 8);
    const auto path = file("runtime.ctrrecord");
    const int status = runInChild([&] {
        const char* string = nullptr;
        std::size_t length = 0;
        if (!RZRCTRReadString(reinterpret_cast<std::uintptr_t>(pages + page - 8), &string, 8,
                              &length)) {
            ::_exit(3);
        }
        RZRCTRFile out;
        RZRCTRFileInitWithPath(&out, path.c_str(), false);
        RZRCTRFileOpenSection(&out, "runtime");
        RZRCTRFileOpenHash(&out);
        RZRCTRFileWriteStringEntryWithLength(&out, "objc_selector", string, length);
        RZRCTRFileCloseHash(&out);
        RZRCTRFileCloseSection(&out);
        RZRCTRFileClose(&out);
    });
    EXPECT_TRUE(exitedCleanly(status)) << status;
    EXPECT_EQ(readFile(path), "{\"runtime\":{\"objc_selector\":\"selector\"}}\n");
    ::munmap(pages, 2 * page);
}

TEST_F(SDKLogTest, SmallCrashTimeHelpers) {
    EXPECT_TRUE(RZRCTRUnlinkIfExists(file("missing").c_str()));
    crashtest::writeFile(file("present"), "x");
    EXPECT_TRUE(RZRCTRUnlinkIfExists(file("present").c_str()));
    EXPECT_FALSE(std::filesystem::exists(file("present")));
    EXPECT_TRUE(RZRCTRUnlinkIfExists((reportDir_ / "no" / "dir").c_str()));
    EXPECT_FALSE(RZRCTRUnlinkIfExists(reportDir_.c_str()));

    struct Case {
        const char* input;
        const char* redacted;
    };
    const Case cases[] = {
        {"UIApplication (0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F) ended",
         "UIApplication (********-****-****-****-************) ended"},
        {"(short) then (0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F)",
         "(short) then (********-****-****-****-************)"},
        {"(0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F) (0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F)",
         "(********-****-****-****-************) (0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F)"},
        {"no parenthesis", "no parenthesis"},
        {"(unclosed 0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F",
         "(unclosed 0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F"},
    };
    for (const auto& c : cases) {
        std::string text = c.input;
        RZRCTRRedactUUID(text.data());
        EXPECT_EQ(text, c.redacted);
    }
    EXPECT_EQ(RZRCTRNormalizeUUID("0B8D5E1A-6F5D-4B8C-9D8E-1A2B3C4D5E6F"),
              "0b8d5e1a6f5d4b8c9d8e1a2b3c4d5e6f");
    EXPECT_EQ(RZRCTRGenerateNormalizedUUID().size(), 32u);

    // The context is sealed by now, so the copy comes from the heap.
    const char* copy = RZRCTRDupString("copied");
    EXPECT_STREQ(copy, "copied");
    std::free(const_cast<char*>(copy));
    EXPECT_EQ(RZRCTRDupString(nullptr), nullptr);
}

TEST_F(SDKLogTest, SymbolLookupNamesTheImage) {
    std::string symbol;
    std::string image;
    RZRCTRDladdrForPointer(reinterpret_cast<const void*>(&RZRCTRDupString),
                           [&](const char* s, const char* i) {
                               symbol = s ? s : "<none>";
                               image = i ? i : "<none>";
                           });
    EXPECT_NE(symbol, "<none>");
    EXPECT_NE(image.find("services_crash_test"), std::string::npos) << image;
    RZRCTRDladdrForPointer(reinterpret_cast<const void*>(0x10), [&](const char* s, const char* i) {
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(i, nullptr);
    });
}

}  // namespace

namespace {

TEST(CrashtraceUtilities, DelayedWorkRunsOnItsQueueWhenTheTimeHasCome) {
    sim::useVirtualClock();
    auto queue = DispatchQueue::create("com.example.delayed");
    std::atomic<int> runs{0};
    RZRCTRDispatchAfter(2.5, queue, [&] {
        EXPECT_EQ(DispatchQueue::currentLabel(), "com.example.delayed");
        ++runs;
    });
    sim::advanceClock(std::chrono::seconds(2));
    queue->sync([] {});
    EXPECT_EQ(runs.load(), 0);
    sim::advanceClock(std::chrono::milliseconds(500));
    queue->sync([] {});
    EXPECT_EQ(runs.load(), 1);
    sim::useRealClock();

    const auto mark = RZRCTRProfileStart();
    EXPECT_GE(RZRCTRProfileEnd(mark), 0.0);
}

}  // namespace
