// The console means the same thing every time: a script replayed by the
// program gives the same output on every run, although the service clients
// work on threads of their own and talk to the backend over the network.

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "app/ui/tests/ProgramTestSupport.h"

namespace fs = std::filesystem;

namespace {

struct Replay {
    std::string output;
    int status = -1;
};

// The script run by the program with its own backend; its port and the
// installation's random identifier masked.
Replay replay(const fs::path& home, const std::string& script,
              const std::string& environment = "") {
    fs::remove_all(home);
    fs::create_directories(home);
    const std::string command = "env -u LUMBREL_SERVICE_BASE_URL LUMBREL_HOME='" + home.string() +
                                "' " + environment + " " + LUMBREL_PROGRAM + " --script '" +
                                script + "' </dev/null 2>&1";
    Replay run;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) run.output += buffer.data();
    run.status = ::pclose(pipe);
    static const std::regex port("127\\.0\\.0\\.1:[0-9]+");
    static const std::regex installation("lumbrel-simulated/[A-Za-z0-9_-]{22}");
    run.output = std::regex_replace(run.output, port, "127.0.0.1:PORT");
    run.output = std::regex_replace(run.output, installation, "lumbrel-simulated/ID");
    return run;
}

class ConsoleReplayTest : public programtest::ProgramTest {
  protected:
    fs::path script(const std::string& text) {
        const auto path = home_ / "script.lumbrel";
        FILE* file = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), file);
        std::fclose(file);
        return path;
    }
};

TEST_F(ConsoleReplayTest, TheServicesScriptReplaysWithEveryCheckHolding) {
    const auto run = replay(home_ / "home", LUMBREL_SERVICES_SCRIPT);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("Expected"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("still busy"), std::string::npos) << run.output;
}

TEST_F(ConsoleReplayTest, TheSameScriptGivesTheSameOutputEveryTime) {
    // Analytics arms its uploads once reachability is reported on the main
    // queue; the batch must be there after the long wait.
    const auto path = script(
        "set collectData true\nwait 30\nwait 3600\nwait 3600\nwait 3600\nbackend state\n"
        "backend bundles\nremoteconfig fetch\nremoteconfig show\ncrash status\n");
    const auto first = replay(home_ / "home", path);
    ASSERT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("measurement bundle(s) accepted"), std::string::npos)
        << first.output;
    EXPECT_EQ(first.output.find("0 measurement bundle(s) accepted"), std::string::npos)
        << first.output;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kRuns = 4;  // each run is several times slower there
#else
    constexpr int kRuns = 20;
#endif
    for (int i = 1; i < kRuns; ++i) {
        const auto again = replay(home_ / "home", path);
        ASSERT_EQ(again.output, first.output) << "run " << i + 1;
    }
}

TEST_F(ConsoleReplayTest, AFetchGivenUpOnEndsInItsOwnStateAndIsToldLater) {
    // The backend answers after the console gave up; the late completion
    // must find what it reports into still there.
    const auto run =
        replay(home_ / "home",
               script("wait 1\nbackend delay remoteconfig fetch 2000\nremoteconfig fetch\nwait 0\n"
                      "wait 0\nremoteconfig show\n"),
               "LUMBREL_CONSOLE_PATIENCE=1");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("The fetch did not finish; remoteconfig show tells how it ends."),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("The fetch the console gave up on: Fetched"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("The program was still busy after 1 s of real time"),
              std::string::npos)
        << run.output;
}

}  // namespace
