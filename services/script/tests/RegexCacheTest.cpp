// The compiled regular expressions a runtime keeps: each pattern compiled
// once, within a bound of entries and memory, and every search as if the
// pattern were compiled afresh.

#include <gtest/gtest.h>

#include <string>

#include "services/script/APMPCollectionCommands.h"
#include "services/script/tests/ScriptTestSupport.h"

namespace {

using script_test::run;

// Patterns of the same length, each counted alike.
APMPString pattern(int i) {
    std::string digits = std::to_string(1000 + i);
    return APMPUTF16("[0-9]+x" + digits);
}

TEST(ScriptRegexCacheTest, KeepsEachPatternOnceWithinItsBound) {
    std::int64_t before = APMPLiveBytes();
    {
        APMPRegexCache cache;
        for (int i = 0; i < 5; ++i) ASSERT_NE(cache.matcher(pattern(1)), nullptr);
        EXPECT_EQ(cache.count(), 1u);
        EXPECT_GT(APMPLiveBytes(), before);

        for (int i = 0; i < 40; ++i) ASSERT_NE(cache.matcher(pattern(i)), nullptr);
        EXPECT_EQ(cache.count(), APMPRegexCache::kEntries);

        // Neither a pattern that does not compile nor one too long is kept.
        std::int64_t full = APMPLiveBytes();
        EXPECT_EQ(cache.matcher(u"("), nullptr);
        ASSERT_NE(cache.matcher(APMPString(APMPRegexCache::kLongestPattern + 1, u'a')), nullptr);
        EXPECT_EQ(cache.count(), APMPRegexCache::kEntries);
        EXPECT_EQ(APMPLiveBytes(), full);
    }
    EXPECT_EQ(APMPLiveBytes(), before);
}

TEST(ScriptRegexCacheTest, TheLeastRecentlyUsedPatternGoesFirst) {
    APMPRegexCache cache;
    std::int64_t oneEntry = 0;
    for (std::size_t i = 0; i < APMPRegexCache::kEntries; ++i) {
        std::int64_t before = APMPLiveBytes();
        cache.matcher(pattern(static_cast<int>(i)));
        oneEntry = APMPLiveBytes() - before;
    }
    // Pattern 0 used again: pattern 1 is now the oldest and makes room.
    cache.matcher(pattern(0));
    std::int64_t before = APMPLiveBytes();
    cache.matcher(pattern(100));
    EXPECT_EQ(APMPLiveBytes(), before);
    EXPECT_EQ(cache.count(), APMPRegexCache::kEntries);
    // Pattern 0 is still held: using it keeps the count and the bytes.
    cache.matcher(pattern(0));
    EXPECT_EQ(APMPLiveBytes(), before);
    EXPECT_GT(oneEntry, 0);
}

TEST(ScriptRegexCacheTest, EverySearchWithAKeptPatternStandsAlone) {
    // The same patterns over changing subjects, with matches, misses,
    // syntax errors and a search stopped by the engine's time limit in
    // between, in one runtime.
    APMPRuntime runtime;
    std::string stuck =
        "(2 \"" + std::string(4000, 'a') + "!\" \"search\" (46 \"(a|aa)+$\"))";
    const script_test::Case cases[] = {
        {"(2 \"abc123\" \"search\" (46 \"[0-9]+\"))", "n:3"},
        {"(2 \"9\" \"search\" (46 \"[0-9]+\"))", "n:0"},
        {"(2 \"abc\" \"search\" (46 \"[0-9]+\"))", "n:-1"},
        {"(2 \"ab42c7\" \"match\" (46 \"[0-9]+\"))", "[s:42]"},
        {"(2 \"abc\" \"search\" (46 \"[\"))", "error NSCocoaErrorDomain 2048"},
        {stuck.c_str(), "error 21"},
        {"(2 \"aa\" \"search\" (46 \"(a|aa)+$\"))", "n:0"},
        {"(2 \"x7\" \"match\" (46 \"[0-9]+\"))", "[s:7]"},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& c : cases) {
            runtime.resetInstructionCount();
            EXPECT_EQ(run(runtime, c.program), c.expected) << c.program;
        }
    }
}

}  // namespace
