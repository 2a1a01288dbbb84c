#include "platform/defaults/NSUserDefaults.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/bundle/Home.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"

namespace fs = std::filesystem;

namespace {

class DefaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() /
                ("lumbrel-defaults-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home_);
        fs::create_directories(home_);
        sim::setHomeOverride(home_.string());
        suiteName_ = std::string("com.example.") +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name();
        NSUserDefaults::resetForTesting();
    }
    void TearDown() override {
        NSUserDefaults::resetForTesting();
        sim::FileSystem::clearFailures();
        sim::clearHomeOverride();
        fs::remove_all(home_);
    }
    fs::path home_;
    std::string suiteName_;
};

struct Recorder : NSKeyValueObserver {
    std::vector<Dictionary> changes;
    std::function<void()> onChange;
    void observeValueForKeyPath(const std::string&, NSObject*, const Dictionary* change,
                                void*) override {
        changes.push_back(*change);
        if (onChange) onChange();
    }
};

}  // namespace

TEST_F(DefaultsTest, PersistentValuesShadowRegisteredOnesAndRemovalRevealsThem) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    suite->registerDefaults({{"startOnLogin", true}, {"menubarIcon", 1}});
    EXPECT_TRUE(suite->boolForKey("startOnLogin"));
    suite->setBool(false, "startOnLogin");
    EXPECT_FALSE(suite->boolForKey("startOnLogin"));
    suite->removeObjectForKey("startOnLogin");
    EXPECT_TRUE(suite->boolForKey("startOnLogin"));
    EXPECT_FALSE(suite->persistentDomain().contains("menubarIcon"));
    EXPECT_EQ(suite->dictionaryRepresentation().size(), 2u);
    suite->setURL(std::nullopt, "menubarIcon");
    EXPECT_EQ(suite->integerForKey("menubarIcon"), 1);
}

TEST_F(DefaultsTest, TypedGettersFollowThePlatformsConversions) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    suite->setObject(Value("42"), "text");
    suite->setObject(Value(3.5), "real");
    suite->setObject(Value(Array{"a", "b"}), "list");
    suite->setObject(Value(Array{"a", 1}), "mixed");
    EXPECT_EQ(suite->integerForKey("text"), 42);
    EXPECT_EQ(suite->stringForKey("real"), "3.5");
    EXPECT_FALSE(suite->dataForKey("text").has_value());
    EXPECT_EQ(suite->stringArrayForKey("list"), (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(suite->stringArrayForKey("mixed").has_value());
    EXPECT_FALSE(suite->boolForKey("missing"));

    // Text reads as the platform's string readers read it.
    struct Case {
        const char* text;
        std::int64_t integer;
        bool boolean;
    };
    for (const Case& c : {Case{" -12 items", -12, true}, Case{"Yes", 0, true}, Case{"t", 0, true},
                          Case{"007", 7, true}, Case{"0.9", 0, false}, Case{"NO", 0, false},
                          Case{"off", 0, false}}) {
        suite->setObject(Value(c.text), "text");
        EXPECT_EQ(suite->integerForKey("text"), c.integer) << c.text;
        EXPECT_EQ(suite->boolForKey("text"), c.boolean) << c.text;
    }
}

TEST_F(DefaultsTest, AValueTheFileCannotHoldIsRefusedAndTheSuiteKeepsSaving) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    suite->setObject(Value("kept"), "name");
    struct Case {
        const char* what;
        std::string key;
        Value value;
    };
    const std::vector<Case> cases = {
        {"invalid UTF-8", "name", Value(std::string("caf\xe9"))},
        {"NUL in a string", "name", Value(std::string("a\0b", 3))},
        {"inside an array", "list", Value(Array{"fine", std::string("\xff")})},
        {"NUL in a key", std::string("na\0me", 5), Value("x")},
        {"null inside a dictionary", "dict", Value(Dictionary{{"a", Value()}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::LogCapture capture;
        const auto before = suite->objectForKey(c.key);
        suite->setObject(c.value, c.key);
        EXPECT_EQ(suite->objectForKey(c.key), before);
        EXPECT_EQ(capture.records().size(), 1u);
        EXPECT_TRUE(capture.containsSubstring("Refused to store a value"));
    }
    suite->setInteger(3, "count");
    NSUserDefaults::resetForTesting();  // what the next process reads
    EXPECT_EQ(suite->persistentDomain(), (Dictionary{{"name", "kept"}, {"count", 3}}));
}

TEST_F(DefaultsTest, AValueWrittenIsReadBackByTheNextProcess) {
    {
        auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
        suite->setObject(Value(Dictionary{{"b", 2}, {"a", Array{1, "x"}}}), "nested");
        suite->setInteger(-7, "negative");
    }
    NSUserDefaults::resetForTesting();
    auto file = home_ / "Library/Preferences" / (suiteName_ + ".plist");
    ASSERT_TRUE(fs::exists(file));

    auto again = NSUserDefaults::initWithSuiteName(suiteName_);
    EXPECT_EQ(again->objectForKey("nested"), Value(Dictionary{{"a", Array{1, "x"}}, {"b", 2}}));
    EXPECT_EQ(again->integerForKey("negative"), -7);
}

TEST_F(DefaultsTest, SuitesAreSharedPerNameAndRefuseTheGlobalDomain) {
    EXPECT_EQ(NSUserDefaults::initWithSuiteName("x"), NSUserDefaults::initWithSuiteName("x"));
    EXPECT_EQ(NSUserDefaults::initWithSuiteName("NSGlobalDomain"), nullptr);
    EXPECT_EQ(NSUserDefaults::initWithSuiteName(""), nullptr);
    EXPECT_EQ(NSUserDefaults::standardUserDefaults(), NSUserDefaults::standardUserDefaults());
}

TEST_F(DefaultsTest, CorruptFileYieldsDefaultsOneErrorAndIsKeptAside) {
    auto file = home_ / "Library/Preferences" / (suiteName_ + ".plist");
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "<plist><dict><key>oops";

    sim::LogCapture capture;
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    suite->registerDefaults({{"keyEnabled", true}});
    EXPECT_TRUE(suite->boolForKey("keyEnabled"));
    auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, OSLogType::Error);
    EXPECT_TRUE(fs::exists(home_ / "Library/Preferences" / (suiteName_ + ".plist.corrupt")));

    suite->setBool(false, "keyEnabled");
    EXPECT_FALSE(NSUserDefaults::initWithSuiteName(suiteName_)->boolForKey("keyEnabled"));
}

TEST_F(DefaultsTest, FailedWriteIsLoggedLeavesTheFileAndKeepsTheValueInMemory) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    suite->setBool(true, "devicesMuted");
    sim::LogCapture capture;
    sim::FileSystem::failNextWrite(ENOSPC);
    suite->setBool(false, "devicesMuted");
    EXPECT_FALSE(suite->boolForKey("devicesMuted"));
    EXPECT_TRUE(capture.containsSubstring("Could not write preferences file"));

    NSUserDefaults::resetForTesting();
    EXPECT_TRUE(NSUserDefaults::initWithSuiteName(suiteName_)->boolForKey("devicesMuted"));
}

TEST_F(DefaultsTest, ObservationOptionsShapeTheChangeRecords) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    suite->setInteger(1, "pushToTalk");
    auto initial = std::make_shared<Recorder>();
    auto prior = std::make_shared<Recorder>();
    suite->addObserver(initial, "pushToTalk",
                       NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld |
                           NSKeyValueObservingOptionInitial,
                       nullptr);
    suite->addObserver(prior, "pushToTalk",
                       NSKeyValueObservingOptionNew | NSKeyValueObservingOptionOld |
                           NSKeyValueObservingOptionPrior,
                       nullptr);
    ASSERT_EQ(initial->changes.size(), 1u);
    EXPECT_EQ(initial->changes[0][NSKeyValueChangeNewKey], Value(1));
    EXPECT_FALSE(initial->changes[0].contains(NSKeyValueChangeOldKey));

    suite->setInteger(2, "pushToTalk");
    ASSERT_EQ(prior->changes.size(), 2u);
    EXPECT_EQ(prior->changes[0][NSKeyValueChangeNotificationIsPriorKey], Value(true));
    EXPECT_EQ(prior->changes[0][NSKeyValueChangeOldKey], Value(1));
    EXPECT_FALSE(prior->changes[0].contains(NSKeyValueChangeNewKey));
    EXPECT_EQ(prior->changes[1][NSKeyValueChangeNewKey], Value(2));
    EXPECT_EQ(prior->changes[1][NSKeyValueChangeKindKey], Value(1u));

    suite->removeObjectForKey("pushToTalk");
    EXPECT_TRUE(initial->changes.back()[NSKeyValueChangeNewKey].isNull());
}

TEST_F(DefaultsTest, UnchangedWritesStillNotify) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    auto recorder = std::make_shared<Recorder>();
    suite->addObserver(recorder, "k", NSKeyValueObservingOptionNew, nullptr);
    suite->setBool(true, "k");
    suite->setBool(true, "k");
    EXPECT_EQ(recorder->changes.size(), 2u);
}

TEST_F(DefaultsTest, ObserversRemovedOrReleasedDuringDeliveryAreNotCalled) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    auto second = std::make_shared<Recorder>();
    auto first = std::make_shared<Recorder>();
    first->onChange = [&] { suite->removeObserver(second.get(), "k", nullptr); };
    suite->addObserver(first, "k", NSKeyValueObservingOptionNew, nullptr);
    suite->addObserver(second, "k", NSKeyValueObservingOptionNew, nullptr);
    suite->setBool(true, "k");
    EXPECT_EQ(first->changes.size(), 1u);
    EXPECT_TRUE(second->changes.empty());

    auto released = std::make_shared<Recorder>();
    suite->addObserver(released, "other", NSKeyValueObservingOptionNew, nullptr);
    released.reset();
    suite->setBool(true, "other");  // must not touch the released observer
    EXPECT_EQ(suite->observerCount("k"), 1u);
}

TEST_F(DefaultsTest, ObserversRunOnTheWritingThread) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    std::thread::id seen;
    struct ThreadRecorder : NSKeyValueObserver {
        std::thread::id* seen;
        void observeValueForKeyPath(const std::string&, NSObject*, const Dictionary*,
                                    void*) override {
            *seen = std::this_thread::get_id();
        }
    };
    auto observer = std::make_shared<ThreadRecorder>();
    observer->seen = &seen;
    suite->addObserver(observer, "k", NSKeyValueObservingOptionNew, nullptr);
    std::thread::id writer;
    std::thread t([&] {
        writer = std::this_thread::get_id();
        suite->setBool(true, "k");
    });
    t.join();
    EXPECT_EQ(seen, writer);
}

TEST_F(DefaultsTest, ConcurrentWritersAndReadersKeepTheStoreConsistent) {
    auto suite = NSUserDefaults::initWithSuiteName(suiteName_);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([suite, t] {
            for (int i = 0; i < 50; ++i) {
                suite->setInteger(i, "key" + std::to_string(t));
                (void)suite->dictionaryRepresentation();
            }
        });
    }
    for (auto& t : threads) t.join();
    NSUserDefaults::resetForTesting();
    auto again = NSUserDefaults::initWithSuiteName(suiteName_);
    for (int t = 0; t < 4; ++t) EXPECT_EQ(again->integerForKey("key" + std::to_string(t)), 49);
}
