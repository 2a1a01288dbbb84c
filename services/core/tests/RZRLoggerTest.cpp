#include "services/core/RZRLogger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/defaults/NSUserDefaults.h"
#include "services/core/DIZAvorozivarudo.h"
#include "services/core/tests/CoreTestSupport.h"

namespace {

class RZRLoggerTest : public coretest::CoreTest {
  protected:
    // A new launch of the program with these arguments.
    void launch(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "lumbrel");
        sim::resetRZRLoggerForTesting(arguments);
        NSUserDefaults::resetForTesting();
    }
};

// What the process writes to standard error while it lives.
class StandardErrorCapture {
  public:
    explicit StandardErrorCapture(const std::filesystem::path& file) : file_(file) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        saved_ = ::dup(2);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StandardErrorCapture() { finish(); }
    std::string finish() {
        if (saved_ >= 0) {
            sim::flushZVULogger();
            ::dup2(saved_, 2);
            ::close(saved_);
            saved_ = -1;
        }
        std::ifstream in(file_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::filesystem::path file_;
    int saved_ = -1;
};

}  // namespace

TEST_F(RZRLoggerTest, LinesAndTheDefaultLevel) {
    RZRLogError(kRZRLoggerCore, "I-COR000009", "error %@ %ld", "text", 42L);
    RZRLogWarning(kRZRLoggerCrash, "I-COR000002", "warning");
    RZRLogNotice(kRZRLoggerRemoteConfig, "I-RCN000001", "100% notice");
    RZRLogInfo(kRZRLoggerCore, "I-COR000010", "info");
    RZRLogDebug(kRZRLoggerCore, "I-COR000001", "Configuring the default app.");
    const std::vector<ZVUFormatArg> args{7L};
    RZRLoggerWrapper::logWithLevel(ZVULoggerLevel::Error, "[Reruzera/Installations]", "I-RIS001001",
                                   "wrapped %06ld", &args);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "4.2.0 - [Reruzera/Core][I-COR000009] error text 42",
                           "4.2.0 - [Reruzera/Crash][I-COR000002] warning",
                           "4.2.0 - [Reruzera/RemoteConfig][I-RCN000001] 100% notice",
                           "4.2.0 - [Reruzera/Installations][I-RIS001001] wrapped 000007",
                       }));
    EXPECT_TRUE(RZRIsLoggableLevel(ZVULoggerLevel::Notice, false));
    EXPECT_FALSE(RZRIsLoggableLevel(ZVULoggerLevel::Info, false));
}

TEST_F(RZRLoggerTest, DebugModePersistsAcrossLaunches) {
    struct Launch {
        std::vector<std::string> arguments;
        bool debugWritten;
    } launches[] = {
        {{}, false},
        {{"-ZEVOzaveEnabled"}, true},
        {{}, true},  // remembered
        {{"-ZEVOzaveDisabled"}, false},
        {{}, false},
    };
    int n = 0;
    for (const auto& l : launches) {
        SCOPED_TRACE(n);
        launch(l.arguments);
        capture_->clear();
        const std::string code = "I-COR00000" + std::to_string(++n);
        RZRLogDebug(kRZRLoggerCore, code, "Configuring the default app.");
        EXPECT_EQ(logged("4.2.0 - [Reruzera/Core][" + code + "] Configuring the default app."),
                  l.debugWritten);
        EXPECT_EQ(NSUserDefaults::standardUserDefaults()->boolForKey(kRZRLoggerDebugModeKey),
                  l.debugWritten);
    }
}

TEST_F(RZRLoggerTest, StandardErrorAndTheAnalyticsDebugFlag) {
    for (bool toStandardError : {false, true}) {
        SCOPED_TRACE(toStandardError);
        launch(toStandardError ? std::vector<std::string>{"-RZRLoggerForceSTDERR"}
                               : std::vector<std::string>{});
        StandardErrorCapture err(home_ / "stderr.txt");
        RZRLogError(kRZRLoggerCore, "I-COR000003", "an error");
        RZRSetAnalyticsDebugMode(true);
        EXPECT_TRUE(RZRIsLoggableLevel(ZVULoggerLevel::Debug, true));
        EXPECT_FALSE(RZRIsLoggableLevel(ZVULoggerLevel::Debug, false));
        RZRLogDebug(kRZRLoggerAnalytics, "I-ACS000001", "analytics debug");
        RZRLogDebug(kRZRLoggerCore, "I-COR000001", "core debug");
        RZRSetAnalyticsDebugMode(false);
        RZRLogDebug(kRZRLoggerAnalytics, "I-ACS000002", "analytics debug, flag off");
        const std::string text = err.finish();
        if (toStandardError) {
            EXPECT_EQ(text,
                      "4.2.0 - [Reruzera/Core][I-COR000003] an error\n"
                      "4.2.0 - [Reruzera/Analytics][I-ACS000001] analytics debug\n");
        } else {
            EXPECT_EQ(text, "");
        }
        EXPECT_TRUE(logged("[Reruzera/Core][I-COR000003] an error"));
        EXPECT_FALSE(logged("core debug"));
    }
}

TEST_F(RZRLoggerTest, LoggerLevels) {
    for (long level : {2L, 8L}) {
        try {
            DIZAvorozivarudo::sharedInstance()->setLoggerLevel(static_cast<ZVULoggerLevel>(level));
            ADD_FAILURE() << "level " << level << " must raise";
        } catch (const NSException& e) {
            EXPECT_EQ(e.name(), NSException::NSInternalInconsistencyException);
            EXPECT_EQ(e.reason(), "Invalid logger level, " + std::to_string(level));
        }
    }
    EXPECT_FALSE(RZRIsLoggableLevel(ZVULoggerLevel::Info, false));
    DIZAvorozivarudo::sharedInstance()->setLoggerLevel(ZVULoggerLevel::Info);
    RZRLogInfo(kRZRLoggerCore, "I-COR000010", "info");
    RZRLogDebug(kRZRLoggerCore, "I-COR000001", "debug");
    RZRSetLoggerLevel(static_cast<ZVULoggerLevel>(9));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "4.2.0 - [Reruzera/Core][I-COR000010] info",
                           "4.2.0 - [ZVULogger][I-COR000023] Invalid logger level, 9",
                       }));
    EXPECT_TRUE(RZRIsLoggableLevel(ZVULoggerLevel::Info, false));
}
