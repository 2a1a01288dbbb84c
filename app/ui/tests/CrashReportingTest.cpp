// Crash reporting end to end: the program crashes on purpose, and its next
// launch sends the report to the simulated backend, symbolicated; with
// collection off the report waits until collection is allowed.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "app/ui/tests/ProgramTestSupport.h"
#include "platform/backend/CrashReports.h"

namespace {

class CrashReportingTest : public programtest::ProgramTest {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // The program really crashes: the sanitizers own the fatal signals
        // and report the deliberate fault instead of letting it be recorded.
        GTEST_SKIP() << "live crash capture runs in the plain build only";
#endif
        ProgramTest::SetUp();
    }
    // Crashes a run that set a custom key and a log line.
    void crashOnce(bool collect) {
        const int status = run(std::string("set collectData ") + (collect ? "true" : "false") +
                               "\ncrash key color blue\ncrash log about to crash\n"
                               "crash signal SEGV\n");
        // The shell reports the program's death by the signal.
        ASSERT_TRUE(WIFEXITED(status)) << output();
        EXPECT_EQ(WEXITSTATUS(status), 128 + SIGSEGV) << output();
        EXPECT_NE(output().find("Crashing with SIGSEGV."), std::string::npos) << output();
    }
    // A launch that stays until the backend has a report request, then quits.
    void launchUntilSent(const std::string& commands) {
        FILE* program = launch();
        std::fputs(commands.c_str(), program);
        // The program runs its main queue only while it works on a command.
        // Other targets (diagnostics) may upload too: wait for the crash one.
        bool sent = false;
        for (int i = 0; i < 60 && !sent; ++i) {
            std::fputs("wait 1\n", program);
            std::fflush(program);
            backend_.waitForRequests(backend_.requestCount("transport") + 1, "transport",
                                     std::chrono::seconds(1));
            sent = !backend_.requests("transport", "crs").empty();
        }
        EXPECT_TRUE(sent) << output();
        std::fputs("quit\n", program);
        ::pclose(program);
        backend_.stop();  // requests in flight are handled first
    }
    void expectOneSymbolicatedReport() {
        const auto reports = transport().crashReports();
        ASSERT_EQ(reports.size(), 1u);
        const auto& report = reports[0];
        EXPECT_EQ(report.zeveraAppID.empty(), false);
        bool symbolicated = false;
        for (const auto& [name, contents] : report.files) {
            std::istringstream lines(contents);
            for (std::string line; std::getline(lines, line);) {
                auto json = nlohmann::json::parse(line, nullptr, false);
                ASSERT_FALSE(json.is_discarded()) << name << ": " << line;
                if (name.size() > 13 && name.rfind(".symbolicated") == name.size() - 13 &&
                    line.find("crashCommand") != std::string::npos)
                    symbolicated = true;
            }
        }
        EXPECT_TRUE(symbolicated) << "no symbolicated frame of the crashing function";
    }
};

TEST_F(CrashReportingTest, TheNextLaunchSendsTheCrashSymbolicated) {
    crashOnce(true);
    launchUntilSent("crash status\n");
    expectOneSymbolicatedReport();
    EXPECT_NE(output().find("the previous run crashed."), std::string::npos) << output();
}

TEST_F(CrashReportingTest, WithCollectionOffTheReportWaitsUntilAllowed) {
    crashOnce(false);
    EXPECT_EQ(run("crash status\ncrash reports\ncrash check\ncrash check\n"), 0);
    EXPECT_EQ(backend_.requestCount("transport"), 0u);
    EXPECT_NE(output().find("Crash reporter: capturing crashes, holding the reports of earlier "
                            "runs until data collection is allowed (or crash send, crash "
                            "delete); collection off; the previous run crashed."),
              std::string::npos)
        << output();
    EXPECT_NE(output().find("active, crash"), std::string::npos) << output();
    // Only the first check of a run hears of the held report.
    EXPECT_NE(output().find("Unsent reports are waiting to be sent or deleted.\n"
                            "No unsent reports are waiting."),
              std::string::npos)
        << output();
    launchUntilSent("set collectData true\n");
    expectOneSymbolicatedReport();
}

TEST_F(CrashReportingTest, DeletedReportsAreNeverSent) {
    crashOnce(false);
    EXPECT_EQ(run("crash delete\n"), 0);
    EXPECT_NE(output().find("Held reports deleted."), std::string::npos) << output();
    EXPECT_EQ(run("set collectData true\nwait 2\ncrash reports\n"), 0);
    EXPECT_NE(output().find("1 report(s)"), std::string::npos) << output();
    EXPECT_EQ(output().find("active, crash"), std::string::npos) << output();
    EXPECT_TRUE(backend_.requests("transport", "crs").empty());
}

// A long log makes the crash report's files large: each arrives whole.
TEST_F(CrashReportingTest, ALongLogArrivesWholeOnceAllowed) {
    const int lines = 1500;
    std::string commands = "crash key color blue\n";
    for (int i = 1; i <= lines; ++i) commands += "crash log line " + std::to_string(i) + "\n";
    const int status = run(commands + "crash signal SEGV\n");
    ASSERT_TRUE(WIFEXITED(status)) << output();
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGSEGV) << output();
    EXPECT_EQ(backend_.requestCount("transport"), 0u);

    launchUntilSent("set collectData true\n");
    expectOneSymbolicatedReport();
    const auto reports = transport().crashReports();
    ASSERT_EQ(reports.size(), 1u);
    bool lastLine = false;
    for (const auto& [name, contents] : reports[0].files) {
        // The log holds its lines hex-encoded.
        std::string hex;
        for (unsigned char c : "line " + std::to_string(lines)) {
            static const char digits[] = "0123456789abcdef";
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        if (contents.find("\"" + hex + "\"") != std::string::npos) lastLine = true;
    }
    EXPECT_TRUE(lastLine) << "the last log line is missing";
    for (const auto& batch : transport().batches()) EXPECT_TRUE(batch.decoded);
    EXPECT_EQ(backend_.undecodableUploads(), 0u);
}

}  // namespace
