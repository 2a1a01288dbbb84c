// The checked-in demo replayed by the real program: every check in it holds
// and the session ends with every microphone live.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

struct Run {
    std::string output;
    int status = -1;
};

Run runScript(const fs::path& home, const std::string& script) {
    std::string command = "LUMBREL_HOME='" + home.string() + "' " + LUMBREL_PROGRAM +
                          " --script '" + script + "' </dev/null 2>&1";
    Run run;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) run.output += buffer.data();
    run.status = ::pclose(pipe);
    return run;
}

fs::path freshHome(const std::string& name) {
    auto home = fs::temp_directory_path() / ("lumbrel-demo-" + std::to_string(::getpid()) + name);
    fs::remove_all(home);
    fs::create_directories(home);
    return home;
}

TEST(DemoScript, ReplaysWithEveryCheckHoldingAndQuitsWithLiveMicrophones) {
    auto home = freshHome("replay");
    auto run = runScript(home, LUMBREL_DEMO_SCRIPT);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.find("Expected"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("> choose quit lumbrel\nChose \"Quit Lumbrel\".\n"
                              "Lumbrel has quit. Microphones:"),
              std::string::npos)
        << run.output;
    auto tail = run.output.substr(run.output.find("Lumbrel has quit. Microphones:"));
    for (const char* mic : {"Built-in Microphone: live", "USB Microphone: live",
                            "Bluetooth Headset: live", "Desk Microphone: live"})
        EXPECT_NE(tail.find(mic), std::string::npos) << mic << "\n" << tail;
    EXPECT_EQ(tail.find("muted"), std::string::npos) << tail;
    fs::remove_all(home);
}

TEST(DemoScript, AFailedCheckFailsTheRun) {
    auto home = freshHome("failing");
    auto script = home / "failing.lumbrel";
    {
        FILE* file = std::fopen(script.c_str(), "w");
        std::fputs("shortcut tap\nexpect all-live\n", file);
        std::fclose(file);
    }
    auto run = runScript(home, script.string());
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("Expected every microphone live"), std::string::npos) << run.output;
    // Quitting still restored the microphones.
    EXPECT_EQ(run.output.substr(run.output.find("Lumbrel has quit.")).find("muted"),
              std::string::npos);
    fs::remove_all(home);
}

}  // namespace
