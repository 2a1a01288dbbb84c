#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/log/Log.h"
#include "services/measurement/APMErrors.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMUserDefaults.h"
#include "services/measurement/tests/MeasurementTempHome.h"
#include "services/util/ZVULogger.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

struct ConsoleLine {
    std::string text;
    std::string tag;
    long long code;
    int level;
    bool operator==(const ConsoleLine&) const = default;
};

class RecordingLogger : public APMMonitorLogger {
  public:
    void logMessage(const std::string& text, const std::string& tag, long long code,
                    int level) override {
        std::lock_guard lock(mutex_);
        lines_.push_back({text, tag, code, level});
    }
    std::vector<ConsoleLine> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::vector<ConsoleLine> lines_;
};

// Draws answered from a script, recording the bounds asked for.
struct ScriptedRandom {
    std::shared_ptr<std::vector<std::uint32_t>> answers =
        std::make_shared<std::vector<std::uint32_t>>();
    std::shared_ptr<std::vector<std::uint32_t>> bounds =
        std::make_shared<std::vector<std::uint32_t>>();
    APMMonitoringSampledData::UniformRandom function() const {
        return [answers = answers, bounds = bounds](std::uint32_t bound) {
            bounds->push_back(bound);
            std::uint32_t answer = 1;
            if (!answers->empty()) {
                answer = answers->front();
                answers->erase(answers->begin());
            }
            return answer;
        };
    }
};

// Apart from the suite of the process-wide monitors.
constexpr const char* kTestSuite = "com.test.measurement.monitor";

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::resetZVULoggerForTesting();
        sim::useVirtualClock();
    }
    void TearDown() override {
        sim::useRealClock();
        sim::resetZVULoggerForTesting();
    }
    std::unique_ptr<APMMonitor> make(std::vector<std::string> arguments = {},
                                     bool fromAppStore = false, bool coreLogger = false) {
        APMMonitorEnvironment environment;
        environment.arguments = std::move(arguments);
        environment.isFromAppStore = fromAppStore;
        environment.hasCoreLogger = coreLogger;
        environment.random = random.function();
        environment.suiteName = kTestSuite;
        return std::make_unique<APMMonitor>(6, logger, kAPMLibraryVersionNumber, environment);
    }
    static void flush(APMMonitor& monitor) {
        monitor.monitorQueue()->sync([] {});
    }
    static std::shared_ptr<APMUserDefaults> suite() {
        return std::make_shared<APMUserDefaults>(kTestSuite);
    }

    MeasurementTempHome home;
    std::shared_ptr<RecordingLogger> logger = std::make_shared<RecordingLogger>();
    ScriptedRandom random;
};

}  // namespace

TEST(MonitorLevels, TableOfLevels) {
    struct Case {
        int level;
        const char* description;  // nullptr: none
        int sharedLevel;
        bool silent;
        bool monitored;
    };
    const Case cases[] = {
        {0, "ERROR", 3, false, false},  {1, "ERROR", 3, false, true},
        {2, "ERROR", 3, true, true},    {3, "WARNING", 4, false, false},
        {4, "WARNING", 4, false, true}, {5, "WARNING", 4, true, true},
        {6, "NOTICE", 5, false, false}, {7, "DEBUG", 7, false, false},
        {8, nullptr, 7, false, false},  {9, nullptr, 4, true, true},
        {-1, nullptr, 4, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        const auto description = APMMonitor::logLevelDescriptionFromLogLevel(c.level);
        EXPECT_EQ(description.has_value(), c.description != nullptr);
        if (c.description) {
            EXPECT_EQ(*description, c.description);
        }
        EXPECT_EQ(APMASLLogger::ZVULoggerLevelFromLogLevel(c.level), c.sharedLevel);
        EXPECT_EQ(APMMonitor::isSilentLevel(c.level), c.silent);
        EXPECT_EQ(APMMonitor::isMonitorableLevel(c.level), c.monitored);
    }
}

TEST(MonitorEncoding, ContextObjects) {
    NSError withDomain("NSCocoaErrorDomain", 4);
    APMMonitorException exception{"NSRangeException",
                                  "out of range",
                                  {"0 a", "1 b", "2 Lumbrel 0x1 -[APMDatabase query:] + 12"}};
    struct Case {
        APMMonitorContext context;
        std::string encoded;
    };
    const Case cases[] = {
        {APMMonitorContext(), ""},
        {Value("secret"), "-"},
        {Value(99), "99"},
        {Value(-99), "-99"},
        {Value(0), "0"},
        {Value(100), "100...999"},
        {Value(12345), "10000...99999"},
        {Value(-250), "-999...-100"},
        {Value(true), "1"},
        {Value(2.9), "2"},
        // Beyond the precision of a double's logarithm.
        {Value(999999999999999999LL), "100000000000000000...999999999999999999"},
        {Value(LLONG_MAX), "1000000000000000000...9999999999999999999"},
        {Value(LLONG_MIN), "-9999999999999999999...-1000000000000000000"},
        {Value(1e30), "1000000000000000000...9999999999999999999"},
        {Value(-1e30), "-9999999999999999999...-1000000000000000000"},
        {Value(ULLONG_MAX), "10000000000000000000...18446744073709551615"},
        {withDomain, "NSCocoaErrorDomain"},
        {NSError("", 1), "-"},
        {exception, "-[APMDatabase query:]"},
        {APMMonitorException{"N", "r", {"0 x", "1 y", "2 z"}}, "N"},
        {Value(Date{1}), "?"},
        {Value(Array{}), "?"},
        {APMMonitorContext(std::make_shared<NSObject>()), "?"},
    };
    std::vector<APMMonitorContext> all;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoded);
        EXPECT_EQ(APMMonitor::encodedStringWithContextObject(c.context), c.encoded);
        all.push_back(c.context);
    }
    const std::vector<APMMonitorContext> three{Value(1), Value("s"), APMMonitorContext()};
    EXPECT_EQ(APMMonitor::encodedStringWithContextArray(three, true), "1, -, ");
    EXPECT_EQ(APMMonitor::encodedStringWithContextArray(three, false), "1,-,");
    EXPECT_EQ(APMMonitor::encodedStringWithContextArray({}, false), "");
}

TEST(MonitorEncoding, LastLibrarySymbolOfAnException) {
    struct Case {
        std::vector<std::string> stack;
        std::optional<std::string> symbol;
    };
    const Case cases[] = {
        {{}, "Name"},
        {{"0 only"}, "Name"},
        {{"0 a", "1 b"}, "Name"},
        {{"0 a", "1 b", "2 Lumbrel 0x10 +[apmThing run] + 4"}, "+[apmThing run]"},
        {{"0 a", "1 b", "2  Lumbrel   0x10  helper  + 4"}, "Name"},
        {{"0 a", "1 b", "2 Lumbrel 0x10 APMLoad + 4", "3 Lumbrel 0x20 APMLater + 8"}, "APMLoad"},
        {{"0 a", "1 b", "2 short APM", "3 Lumbrel 0x20 -[APMX y] +"}, "-[APMX y]"},
    };
    for (const auto& c : cases) {
        APMMonitorException exception{"Name", "reason", c.stack};
        EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(&exception), c.symbol);
    }
    EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(nullptr), std::nullopt);
}

TEST(MonitorEncoding, ConsoleText) {
    auto object = std::make_shared<NSObject>();
    APMMonitorException exception{
        "NSRangeException", "out of range", {"0 a", "1 b", "2 Lumbrel 0x1 APMRun + 1"}};
    struct Case {
        std::optional<std::string> message;
        std::vector<APMMonitorContext> contexts;
        bool encode;
        std::string text;
    };
    const Case cases[] = {
        {std::nullopt, {}, false, "(Message was nil)"},
        {"", {}, false, "(Message was empty)"},
        {"Plain", {}, true, "Plain"},
        {"M", {APMMonitorContext(), Value("s"), Value(12)}, false, "M: (nil), s, 12"},
        {"M", {APMMonitorContext(), Value("s"), Value(12)}, true, "M: , -, 12"},
        {"M", {exception}, false, "M: APMRun: out of range"},
        {"M", {APMMonitorException{"N", "why", {}}}, false, "M: N: why"},
        {"M", {NSError("D", 3)}, false, "M: " + NSError("D", 3).description()},
        {"M", {object}, false, "M: " + object->description()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(APMMonitor::stringWithLogMessage(c.message, 4, c.contexts, c.encode), c.text);
    }
}

TEST(MonitorEncoding, KeysAndDispatchText) {
    EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("Database error", 1, 40103),
              "1E_40103:Database error");
    EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("w", 5, 40103), "1W_40103:w");
    EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("o", 9, 7), "1?_7:o");
    EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("1W_40103:k", 3, "-,D"),
              "3:1W_40103:k:-,D");
    EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("1W_40103:k", 3, ""),
              "3:1W_40103:k");
    EXPECT_FALSE(APMMonitoringSampledData::sampledDataEntryWithKey("k", 1.0, std::nullopt, 1));
    struct Case {
        Value entry;
        bool valid;
    };
    const Case cases[] = {
        {Value(Array{Value("c"), Value(1), Value("k"), Value(Date{0})}), true},
        {Value(Array{Value("c"), Value("1"), Value("k"), Value(Date{0})}), false},
        {Value(Array{Value("c"), Value(1), Value("k")}), false},
        {Value(Array{Value("c"), Value(1), Value("k"), Value(0.0)}), false},
        {Value("c"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(c.entry), c.valid);
    }
}

TEST(MonitorErrors, ErrorFunctions) {
    const NSError full = apm_errorWithCode(3, "Database failed", "ctx");
    EXPECT_EQ(full.domain, "com.zevera.ruv.measurement.ErrorDomain");
    EXPECT_EQ(full.code, 3);
    EXPECT_EQ(full.localizedDescription(), "Database failed");
    EXPECT_EQ(full.userInfo["APMMonitorContext"], Value("ctx"));
    EXPECT_TRUE(apm_errorWithCode(1, "").userInfo.empty());

    NSError error;
    APMSetError(nullptr, 1, "ignored");
    APMSetErrorWithMonitorContext(&error, 5, "Failed", "m");
    EXPECT_EQ(error, apm_errorWithCode(5, "Failed", "m"));
    EXPECT_TRUE(APMEnsureTrue(true, &error, 9, "x"));
    EXPECT_EQ(error.code, 5);
    EXPECT_FALSE(APMEnsureNonZero(0, &error, 9, "zero"));
    EXPECT_EQ(error, apm_errorWithCode(9, "zero"));
    EXPECT_FALSE(APMEnsureNotNull(static_cast<void*>(nullptr), &error, 10, "null"));
    EXPECT_FALSE(APMEnsureNotNil(std::shared_ptr<int>(), &error, 11, "nil"));
    EXPECT_EQ(error.code, 11);

    const std::vector<APMMonitorContext> contexts{
        apm_errorWithCode(1, "", "a"), NSError("Other", 1, Dictionary{{"APMMonitorContext", "b"}}),
        Value("c"), apm_errorWithCode(2, "", ""), apm_errorWithCode(3, "d", "e")};
    EXPECT_EQ(APMMonitorContextsFromErrors(contexts), "a,e");
    EXPECT_EQ(APMMonitorContextsFromErrors({}), "");
}

TEST_F(MonitorTest, RoutesByLevel) {
    struct Case {
        int level;
        bool verbose;
        bool printed;
        bool sampled;
    };
    const Case cases[] = {
        {0, false, true, false},  {1, false, true, true},  {2, false, false, true},
        {3, false, true, false},  {5, false, false, true}, {6, false, true, false},
        {7, false, false, false},  // the shared logger stops at notice
        {8, false, false, false}, {8, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        sim::resetZVULoggerForTesting();
        suite()->removeObjectForKey(APMMonitor::kHealthMonitorKey);
        logger = std::make_shared<RecordingLogger>();
        auto monitor = make();
        if (c.verbose) monitor->setVerboseLoggingEnabled(true);
        flush(*monitor);
        const auto before = logger->lines().size();
        monitor->logWithLevel(c.level, 23016, "Message. Value", APMMonitorContext(Value(5)));
        flush(*monitor);
        const auto lines = logger->lines();
        EXPECT_EQ(lines.size() - before, c.printed ? 1u : 0u);
        if (c.printed) {
            EXPECT_EQ(lines.back(),
                      (ConsoleLine{"Message. Value: 5", "<RedIdizezadodu>", 23016, c.level}));
        }
        const auto sample = monitor->sampledData();
        EXPECT_EQ(sample.has_value(), c.sampled);
        if (c.sampled) {
            EXPECT_EQ((*sample)[0], Value("5"));
            EXPECT_EQ((*sample)[2], Value(APMMonitor::monitoringDataKeyWithMessage(
                                        "Message. Value", c.level, 40103)));
        }
        EXPECT_EQ(monitor->lines().back().messageCode, 23016);
    }
}

TEST_F(MonitorTest, SampleKeepsEachMessageWithEqualChance) {
    auto monitor = make();
    flush(*monitor);
    const double start = sim::wallClockSeconds();
    monitor->logWithLevel(4, 1, "first", APMMonitorContext(Value("x")));
    flush(*monitor);           // started now
    *random.answers = {1, 0};  // the second is kept out, the third replaces
    sim::advanceClock(sim::seconds(10));
    monitor->logWithLevel(4, 2, "second");
    monitor->logWithLevel(1, 3, "third", APMMonitorContext(NSError("D", 1)),
                          APMMonitorContext(apm_errorWithCode(1, "", "ctx")));
    flush(*monitor);
    EXPECT_EQ(*random.bounds, (std::vector<std::uint32_t>{2, 3}));
    auto sample = monitor->sampledData();
    ASSERT_TRUE(sample);
    EXPECT_EQ((*sample)[0], Value("D,com.zevera.ruv.measurement.ErrorDomain,ctx"));
    EXPECT_EQ((*sample)[1], Value(3));
    EXPECT_EQ((*sample)[2], Value("1E_40103:third"));
    EXPECT_EQ((*sample)[3], Value(Date::fromUnix(start)));
    // Stored as it stands.
    EXPECT_EQ(suite()->objectForKey(APMMonitor::kHealthMonitorKey), Value(*sample));

    const double period = 3600;
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
    sim::advanceClock(sim::seconds(period));
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0),
              "3:1E_40103:third:D,com.zevera.ruv.measurement.ErrorDomain,ctx");
    EXPECT_FALSE(monitor->sampledData());
    EXPECT_FALSE(suite()->objectForKey(APMMonitor::kHealthMonitorKey));

    // With no sample: "0:" only once a whole period passed since the last.
    const double now = sim::wallClockSeconds();
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, 0), std::nullopt);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, now - period),
              std::nullopt);
    EXPECT_EQ(monitor->monitoringDataForDispatchWithSamplePeriod(period, now - period - 1), "0:");
}

TEST_F(MonitorTest, PopulationSaturates) {
    APMMonitoringSampledData data(Array{Value("c"), Value(INT32_MAX), Value("k"), Value(Date{0})},
                                  [](std::uint32_t) { return 1u; });
    data.insertOrUpdateSampledDataWithKey("k2", "c2");
    EXPECT_EQ((*data.sampledData())[1], Value(INT32_MAX));
    EXPECT_EQ((*data.sampledData())[2], Value("k"));
}

TEST_F(MonitorTest, StoredSampleIsMigratedLoadedAndCleared) {
    const Array stored{Value("c"), Value(2), Value("1W_40103:old"), Value(Date{5})};
    auto standard = APMUserDefaults::standardUserDefaults();
    struct Case {
        std::optional<Value> inStandard;
        std::optional<Value> inSuite;
        std::optional<long long> state;
        std::optional<Array> loaded;
        bool standardKept;
    };
    const Case cases[] = {
        {Value(stored), std::nullopt, std::nullopt, stored, false},
        // The suite's own sample wins over the old one.
        {Value(Array{Value("x"), Value(1), Value("k"), Value(Date{1})}), Value(stored),
         std::nullopt, stored, false},
        {Value(stored), std::nullopt, 1, std::nullopt, false},
        {Value(stored), std::nullopt, 2, std::nullopt, true},
        {std::nullopt, Value(Array{Value(1)}), 2, std::nullopt, true},
    };
    for (const auto& c : cases) {
        standard->setObject(c.inStandard, APMMonitor::kHealthMonitorKey);
        suite()->setObject(c.inSuite, APMMonitor::kHealthMonitorKey);
        suite()->setObject(c.state ? std::optional<Value>(Value(*c.state)) : std::nullopt,
                           APMMonitor::kMigrationStateKey);
        auto monitor = make();
        EXPECT_EQ(monitor->sampledData(), c.loaded);
        EXPECT_EQ(suite()->integerForKey(APMMonitor::kMigrationStateKey), 2);
        EXPECT_EQ(standard->objectForKey(APMMonitor::kHealthMonitorKey).has_value(),
                  c.standardKept && c.inStandard);
    }
    standard->setObject(Value(true), APMMonitor::kDebugModeKey);
    standard->setObject(Value(stored), APMMonitor::kHealthMonitorKey);
    suite()->setObject(Value(stored), APMMonitor::kHealthMonitorKey);
    auto monitor = make();
    EXPECT_TRUE(monitor->sampledData());
    monitor->clearMonitoringData();
    EXPECT_FALSE(monitor->sampledData());
    EXPECT_FALSE(standard->objectForKey(APMMonitor::kDebugModeKey));
    EXPECT_FALSE(standard->objectForKey(APMMonitor::kHealthMonitorKey));
    EXPECT_FALSE(suite()->objectForKey(APMMonitor::kHealthMonitorKey));
}

TEST_F(MonitorTest, DebugAndVerboseModesFromArgumentsAndDefaults) {
    struct Case {
        std::vector<std::string> arguments;
        bool debugFlag;
        bool verboseFlag;
        bool appStore;
        bool debug;
        bool verbose;
        int level;
    };
    const Case cases[] = {
        {{}, false, false, false, false, false, 6},
        {{"-APMAnalyticsDebugEnabled"}, false, false, false, true, false, 7},
        {{"-ZAROduzozovaDebugEnabled"}, false, false, false, true, false, 7},
        {{"-ZEVOzaveEnabled"}, false, false, false, true, false, 7},
        {{}, true, false, false, true, false, 7},
        {{"-noAPMAnalyticsDebugEnabled"}, true, false, false, false, false, 6},
        {{"-ZEVOzaveDisabled", "-APMAnalyticsDebugEnabled"}, false, false, false, false, false, 6},
        {{"-APMAnalyticsVerboseLoggingEnabled"}, false, false, false, false, true, 8},
        {{}, false, true, false, false, true, 8},
        {{"-ZAROduzozovaVerboseLoggingDisabled"}, false, true, false, false, false, 6},
        {{"-APMAnalyticsDebugEnabled", "-ZAROduzozovaVerboseLoggingEnabled"},
         false,
         false,
         false,
         true,
         true,
         8},
        {{"-APMAnalyticsDebugEnabled", "-APMAnalyticsVerboseLoggingEnabled"},
         true,
         true,
         true,
         false,
         false,
         6},
    };
    auto standard = APMUserDefaults::standardUserDefaults();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? std::string("none") : c.arguments[0]);
        sim::resetZVULoggerForTesting();
        standard->setObject(c.debugFlag ? std::optional<Value>(Value(true)) : std::nullopt,
                            APMMonitor::kDebugModeKey);
        standard->setObject(c.verboseFlag ? std::optional<Value>(Value(true)) : std::nullopt,
                            APMMonitor::kVerboseLoggingKey);
        auto monitor = make(c.arguments, c.appStore);
        EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug);
        EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose);
        EXPECT_EQ(monitor->logLevel(), c.level);
        // The switches are remembered only where they were set.
        if (!c.appStore) {
            EXPECT_EQ(standard->boolForKey(APMMonitor::kDebugModeKey), c.debug);
            EXPECT_EQ(standard->boolForKey(APMMonitor::kVerboseLoggingKey), c.verbose);
        }
        EXPECT_EQ(ZVUIsLoggableLevel(ZVULoggerLevel::Debug), c.debug || c.verbose);
    }
    // An App Store install switches nothing on later either.
    auto store = make({}, true);
    store->setDebugModeEnabled(true);
    store->setVerboseLoggingEnabled(true);
    EXPECT_FALSE(store->isDebugModeEnabled());
    EXPECT_FALSE(store->isVerboseLoggingEnabled());
    EXPECT_EQ(store->logLevel(), 6);
}

TEST_F(MonitorTest, VerboseOffLineStillPassesAndSharedLevelDeferred) {
    auto monitor = make();
    monitor->setDebugModeEnabled(true);
    monitor->setVerboseLoggingEnabled(true);
    monitor->setVerboseLoggingEnabled(false);
    EXPECT_EQ(monitor->logLevel(), 7);
    flush(*monitor);
    const auto lines = logger->lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().code, 24004);
    EXPECT_EQ(lines.back().level, 8);

    // While the SDK core owns the shared logger's level, it is left alone.
    sim::resetZVULoggerForTesting();
    auto deferring = make({"-ZEVOzaveEnabled"}, false, true);
    EXPECT_TRUE(deferring->deferToRZRLogger());
    EXPECT_TRUE(deferring->isDebugModeEnabled());
    EXPECT_FALSE(ZVUIsLoggableLevel(ZVULoggerLevel::Debug));
    EXPECT_FALSE(make({"-ZEVOzaveEnabled"})->deferToRZRLogger());
}

TEST_F(MonitorTest, ConsoleLinesThroughTheSharedLogger) {
    sim::LogCapture capture;
    sim::setLogEcho(false);
    APMASLLogger console;
    console.logMessage("100% sure, %d kept", "<RedIdizezadodu>", 23016, 4);
    sim::flushZVULogger();
    sim::setLogEcho(true);
    EXPECT_TRUE(capture.containsSubstring("<RedIdizezadodu>[I-ACS023016] 100% sure, %d kept"));
    EXPECT_FALSE(capture.containsSubstring("%%"));
}

// A burst of monitored lines writes the preferences once, not once a line.
TEST_F(MonitorTest, BurstOfMonitoredLinesWritesThePreferencesOnce) {
    struct Counter : NSKeyValueObserver {
        std::atomic<int> changes{0};
        void observeValueForKeyPath(const std::string&, NSObject*, const Dictionary*,
                                    void*) override {
            ++changes;
        }
    };
    auto counter = std::make_shared<Counter>();
    auto defaults = NSUserDefaults::initWithSuiteName(kTestSuite);
    defaults->addObserver(counter, APMMonitor::kHealthMonitorKey, NSKeyValueObservingOptionNew,
                          nullptr);
    auto monitor = make();
    DispatchSemaphore gate(0);
    monitor->monitorQueue()->async([&] { gate.wait(); });
    for (int i = 0; i < 200; ++i) monitor->logWithLevel(1, i, "line " + std::to_string(i));
    gate.signal();
    flush(*monitor);
    EXPECT_EQ(counter->changes.load(), 1);
    EXPECT_EQ(suite()->objectForKey(APMMonitor::kHealthMonitorKey), Value(*monitor->sampledData()));
    defaults->removeObserver(counter.get(), APMMonitor::kHealthMonitorKey, nullptr);
}

TEST_F(MonitorTest, BlocksAfterTheMonitorIsGoneDoNothing) {
    auto monitor = make();
    auto queue = monitor->monitorQueue();
    DispatchSemaphore gate(0);
    queue->async([&] { gate.wait(); });
    monitor->logWithLevel(1, 1, "late");
    monitor.reset();
    gate.signal();
    queue->sync([] {});
    EXPECT_TRUE(logger->lines().empty());
    EXPECT_FALSE(suite()->objectForKey(APMMonitor::kHealthMonitorKey));
}

TEST_F(MonitorTest, KeepsEveryMessageHandedToIt) {
    auto monitor = make();
    const NSError error("D", 4);
    monitor->logWithLevel(8, 7, "verbose, not printed", APMMonitorContext(), Value(2), error);
    monitor->logWithLevel(0, 8, std::nullopt, {});
    const auto lines = monitor->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 8);
    EXPECT_EQ(lines[0].message, "verbose, not printed");
    EXPECT_EQ(lines[0].contexts,
              (std::vector<Value>{Value(), Value(2), Value(error.description())}));
    EXPECT_EQ(lines[1].messageCode, 8);
    monitor->clearLines();
    EXPECT_TRUE(monitor->lines().empty());
    EXPECT_EQ(&APMMeasurement::monitor(), &APMMeasurement::monitor());
    EXPECT_EQ(APMMeasurement::monitor().logTag(), "<RedIdizezadodu>");
    EXPECT_EQ(APMMeasurement::monitor().libraryVersion(), 40103);
}
