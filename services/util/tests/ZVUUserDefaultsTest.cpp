#include "services/util/ZVUUserDefaults.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "platform/bundle/Home.h"
#include "platform/defaults/CFPreferences.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"
#include "services/util/ZVULoggerTesting.h"
#include "services/util/tests/TempHome.h"

namespace {

class ZVUUserDefaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        NSUserDefaults::resetForTesting();
    }
    void TearDown() override {
        sim::advanceAndRun(sim::seconds(5));
        sim::FileSystem::clearFailures();
        sim::useRealClock();
    }
    std::optional<Value> onDisk(const std::string& key) const {
        auto data = sim::FileSystem::readFile(sim::preferencesPath() + "/" + suite_ + ".plist");
        if (!data) return std::nullopt;
        auto plist = PropertyListSerialization::propertyListWithData(*data);
        if (!plist || !plist->asDictionary() || !plist->asDictionary()->contains(key))
            return std::nullopt;
        return (*plist)[key];
    }
    std::vector<std::string> logLines() {
        sim::flushZVULogger();
        return capture_.lines();
    }
    TempHome home_;
    sim::LogCapture capture_;
    std::string suite_ =
        "com.example.zvu." +
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(ZVUUserDefaultsTest, SuiteNamesAndTypedAccess) {
    EXPECT_EQ(ZVUUserDefaults::initWithSuiteName(std::string(""))->appNameRef(),
              kCFPreferencesCurrentApplication);
    auto store = ZVUUserDefaults::initWithSuiteName(suite_);
    store->setInteger(7, "n");
    store->setBool(true, "b");
    store->setObject(Value("text"), "s");
    EXPECT_EQ(store->integerForKey("n"), 7);
    EXPECT_TRUE(store->boolForKey("b"));
    EXPECT_FALSE(store->boolForKey("missing"));
    EXPECT_EQ(store->stringForKey("n"), Value(7));  // no kind check
    EXPECT_EQ(NSUserDefaults::initWithSuiteName(suite_)->stringForKey("s"), "text");
    store->removeObjectForKey("s");
    EXPECT_EQ(store->objectForKey("s"), std::nullopt);
}

TEST_F(ZVUUserDefaultsTest, StoredTextReadsAsThePlatformReadsNumbers) {
    auto store = ZVUUserDefaults::initWithSuiteName(suite_);
    struct Case {
        Value stored;
        std::int64_t integer;
        double real;
        bool boolean;
    };
    for (const Case& c : {
             Case{Value("42"), 42, 42, true},
             Case{Value("  -7 days"), -7, -7, true},
             Case{Value("2.5"), 2, 2.5, true},
             Case{Value("YES"), 0, 0, true},
             Case{Value("t"), 0, 0, true},
             Case{Value("NO"), 0, 0, false},
             Case{Value("0"), 0, 0, false},
             Case{Value("none"), 0, 0, false},
             Case{Value(3.9), 3, 3.9, true},
             Case{Value(true), 1, 1, true},
             Case{Value(Data{1}), 0, 0, false},
         }) {
        SCOPED_TRACE(c.stored.description());
        store->setObject(c.stored, "k");
        EXPECT_EQ(store->integerForKey("k"), c.integer);
        EXPECT_DOUBLE_EQ(store->doubleForKey("k"), c.real);
        EXPECT_EQ(store->boolForKey("k"), c.boolean);
    }
}

TEST_F(ZVUUserDefaultsTest, InvalidKeysAndValuesAreLoggedAndRefused) {
    auto store = ZVUUserDefaults::initWithSuiteName(suite_);
    store->setObject(Value("kept"), "k");
    EXPECT_EQ(store->objectForKey(""), std::nullopt);
    EXPECT_EQ(store->objectForKey(Value(5)), std::nullopt);
    store->setObject(Value("x"), "");
    store->setObject(Value(), "k");  // the null placeholder is no property-list value
    EXPECT_EQ(store->objectForKey("k"), Value("kept"));
    EXPECT_EQ(
        logLines(),
        (std::vector<std::string>{
            " - <ZeveraUtilities>[I-ZVU000001] Cannot get object for invalid user default key.",
            " - <ZeveraUtilities>[I-ZVU000001] Cannot get object for invalid user default key.",
            " - [ZeveraUtilities/UserDefaults][I-ZVU000002] Cannot set object for invalid user "
            "default key.",
            " - [ZeveraUtilities/UserDefaults][I-ZVU000003] Cannot set invalid object to user "
            "defaults. Must be a string, number, array, dictionary, date, or data. Value: "
            "<null>"}));
}

TEST_F(ZVUUserDefaultsTest, BurstOfWritesEndsInOneFlushASecondAfterTheLast) {
    auto store = ZVUUserDefaults::initWithSuiteName(suite_);
    store->setInteger(1, "a");
    sim::advanceAndRun(sim::seconds(0.5));
    sim::FileSystem::failNextWrite(ENOSPC);
    store->setInteger(2, "a");  // held in memory only until a flush
    sim::advanceAndRun(sim::seconds(0.9));
    EXPECT_EQ(onDisk("a"), Value(1));  // the first write's flush was replaced
    sim::advanceAndRun(sim::seconds(0.2));
    EXPECT_EQ(onDisk("a"), Value(2));

    const std::string failure =
        " - [ZeveraUtilities/UserDefaults][I-ZVU000004] Cannot synchronize user defaults to disk";
    sim::FileSystem::failNextWrite(ENOSPC);
    store->setInteger(3, "a");
    sim::FileSystem::failNextWrite(EIO);
    sim::advanceAndRun(sim::seconds(0.9));
    sim::flushZVULogger();
    EXPECT_EQ(capture_.count(failure), 0u);  // the flush has not run yet
    sim::advanceAndRun(sim::seconds(0.2));
    sim::flushZVULogger();
    EXPECT_EQ(capture_.count(failure), 1u);
    EXPECT_EQ(onDisk("a"), Value(2));
    store->synchronize();
    EXPECT_EQ(onDisk("a"), Value(3));
}

TEST_F(ZVUUserDefaultsTest, PendingFlushRunsAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string suite = suite_;
    // The child runs this test afresh, with a home of its own: hand it ours.
    if (!std::getenv("ZVU_PARENT_HOME")) ::setenv("ZVU_PARENT_HOME", home_.path().c_str(), 1);
    const struct {
        const char* how;
        void (*end)(int);
    } exits[] = {{"exit", std::exit}, {"quick_exit", std::quick_exit}};
    for (const auto& e : exits) {
        SCOPED_TRACE(e.how);
        EXPECT_EXIT(
            {
                sim::setHomeOverride(std::getenv("ZVU_PARENT_HOME"));
                auto store = ZVUUserDefaults::initWithSuiteName(suite);
                sim::FileSystem::failNextWrite(ENOSPC);
                store->setInteger(9, e.how);  // only in memory, flush pending
                e.end(0);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(onDisk(e.how), Value(9));
    }
    ::unsetenv("ZVU_PARENT_HOME");
}

TEST_F(ZVUUserDefaultsTest, SuiteWrittenAfterTheStandardStoreIsFlushedAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string suite = suite_;
    if (!std::getenv("ZVU_PARENT_HOME")) ::setenv("ZVU_PARENT_HOME", home_.path().c_str(), 1);
    EXPECT_EXIT(
        {
            sim::setHomeOverride(std::getenv("ZVU_PARENT_HOME"));
            // The standard store's write arms the exit flush before the suite's
            // preferences are ever touched.
            sim::FileSystem::failNextWrite(ENOSPC);
            ZVUUserDefaults::standardUserDefaults()->setInteger(1, "first");
            sim::FileSystem::failNextWrite(ENOSPC);
            ZVUUserDefaults::initWithSuiteName(suite)->setInteger(2, "second");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    ::unsetenv("ZVU_PARENT_HOME");
    EXPECT_EQ(onDisk("second"), Value(2));
    auto standard = sim::FileSystem::readFile(NSUserDefaults::standardUserDefaults()->filePath());
    ASSERT_TRUE(standard);
    EXPECT_EQ((*PropertyListSerialization::propertyListWithData(*standard))["first"], Value(1));
}

}  // namespace
