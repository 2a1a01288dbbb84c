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

    sim::FileSystem::failNextWrite(ENOSPC);
    store->setInteger(3, "a");
    sim::FileSystem::failNextWrite(EIO);
    sim::advanceAndRun(sim::seconds(1.1));
    EXPECT_EQ(capture_.count(" - [ZeveraUtilities/UserDefaults][I-ZVU000004] Cannot synchronize "
                             "user defaults to disk"),
              0u);
    sim::flushZVULogger();
    EXPECT_EQ(capture_.count(" - [ZeveraUtilities/UserDefaults][I-ZVU000004] Cannot synchronize "
                             "user defaults to disk"),
              1u);
    store->synchronize();
    EXPECT_EQ(onDisk("a"), Value(3));
}

TEST_F(ZVUUserDefaultsTest, PendingFlushRunsAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string suite = suite_;
    // The child runs this test afresh, with a home of its own: hand it ours.
    if (!std::getenv("ZVU_PARENT_HOME")) ::setenv("ZVU_PARENT_HOME", home_.path().c_str(), 1);
    EXPECT_EXIT(
        {
            sim::setHomeOverride(std::getenv("ZVU_PARENT_HOME"));
            auto store = ZVUUserDefaults::initWithSuiteName(suite);
            sim::FileSystem::failNextWrite(ENOSPC);
            store->setInteger(9, "late");  // only in memory, flush pending
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    ::unsetenv("ZVU_PARENT_HOME");
    EXPECT_EQ(onDisk("late"), Value(9));
}

}  // namespace
