#include "platform/defaults/CFPreferences.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/bundle/Home.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

namespace fs = std::filesystem;

namespace {

class CFPreferencesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        home_ = fs::temp_directory_path() /
                ("lumbrel-cfprefs-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(home_);
        fs::create_directories(home_);
        sim::setHomeOverride(home_.string());
        domain_ = "com.example.cfprefs." + name;
        NSUserDefaults::resetForTesting();
    }
    void TearDown() override {
        NSUserDefaults::resetForTesting();
        sim::FileSystem::clearFailures();
        sim::clearHomeOverride();
        fs::remove_all(home_);
    }
    std::optional<Value> onDisk(const std::string& key) const {
        auto data =
            sim::FileSystem::readFile(NSUserDefaults::initWithSuiteName(domain_)->filePath());
        if (!data) return std::nullopt;
        auto plist = PropertyListSerialization::propertyListWithData(*data);
        if (!plist || !plist->isDictionary() || !plist->asDictionary()->contains(key))
            return std::nullopt;
        return (*plist)[key];
    }
    fs::path home_;
    std::string domain_;
};

TEST_F(CFPreferencesTest, SharesTheStoreWithUserDefaultsBothWays) {
    auto defaults = NSUserDefaults::initWithSuiteName(domain_);
    CFPreferencesSetAppValue("answer", Value(42), domain_);
    EXPECT_EQ(defaults->integerForKey("answer"), 42);
    defaults->setObject(Value("hi"), "greeting");
    EXPECT_EQ(CFPreferencesCopyAppValue("greeting", domain_), Value("hi"));
    EXPECT_EQ(onDisk("answer"), Value(42));

    CFPreferencesSetAppValue("answer", std::nullopt, domain_);
    EXPECT_EQ(CFPreferencesCopyAppValue("answer", domain_), std::nullopt);
    EXPECT_EQ(CFPreferencesCopyKeyList(domain_), std::vector<std::string>{"greeting"});

    NSUserDefaults::standardUserDefaults()->setObject(Value(true), "cfprefs.flag");
    EXPECT_TRUE(CFPreferencesGetAppBooleanValue("cfprefs.flag", kCFPreferencesCurrentApplication));
    NSUserDefaults::standardUserDefaults()->removeObjectForKey("cfprefs.flag");
}

TEST_F(CFPreferencesTest, RegisteredDefaultsAreNotPreferences) {
    NSUserDefaults::initWithSuiteName(domain_)->registerDefaults({{"registered", Value(1)}});
    EXPECT_EQ(CFPreferencesCopyAppValue("registered", domain_), std::nullopt);
}

TEST_F(CFPreferencesTest, TypedReadersReportValidity) {
    struct Case {
        Value stored;
        bool boolean;
        std::int64_t integer;
        bool boolValid;
        bool intValid;
    };
    const Case cases[] = {
        {Value(true), true, 1, true, true},       {Value(0), false, 0, true, true},
        {Value("YES"), true, 0, true, false},     {Value("17"), false, 17, false, true},
        {Value(Array{}), false, 0, false, false},
    };
    for (const auto& c : cases) {
        CFPreferencesSetAppValue("k", c.stored, domain_);
        bool valid = false;
        EXPECT_EQ(CFPreferencesGetAppBooleanValue("k", domain_, &valid), c.boolean) << c.stored;
        EXPECT_EQ(valid, c.boolValid) << c.stored;
        EXPECT_EQ(CFPreferencesGetAppIntegerValue("k", domain_, &valid), c.integer) << c.stored;
        EXPECT_EQ(valid, c.intValid) << c.stored;
    }
    bool valid = true;
    EXPECT_FALSE(CFPreferencesGetAppBooleanValue("missing", domain_, &valid));
    EXPECT_FALSE(valid);
}

TEST_F(CFPreferencesTest, SynchronizeRewritesAfterAFailedWriteAndReportsFailure) {
    CFPreferencesSetAppValue("a", Value(1), domain_);
    sim::FileSystem::failNextWrite(ENOSPC);
    CFPreferencesSetAppValue("a", Value(2), domain_);  // kept in memory only
    EXPECT_EQ(onDisk("a"), Value(1));

    sim::FileSystem::failNextWrite(EIO);
    EXPECT_FALSE(CFPreferencesAppSynchronize(domain_));
    EXPECT_EQ(onDisk("a"), Value(1));
    EXPECT_TRUE(CFPreferencesAppSynchronize(domain_));
    EXPECT_EQ(onDisk("a"), Value(2));
    EXPECT_TRUE(CFPreferencesAppSynchronize(domain_));
    EXPECT_FALSE(CFPreferencesAppSynchronize("NSGlobalDomain"));
}

}  // namespace
