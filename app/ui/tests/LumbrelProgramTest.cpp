// The program as a user starts it: the console on standard input, settings
// from the preferences file under the home folder, and a clean exit at end
// of input or on a signal.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

fs::path freshHome(const std::string& name) {
    auto home =
        fs::temp_directory_path() / ("lumbrel-program-" + std::to_string(::getpid()) + name);
    fs::remove_all(home);
    fs::create_directories(home);
    return home;
}

std::string run(const fs::path& home, const std::string& input) {
    std::string command =
        "LUMBREL_HOME='" + home.string() + "' " + LUMBREL_PROGRAM + " <<'EOF'\n" + input + "EOF\n";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
    EXPECT_EQ(::pclose(pipe), 0);
    return output;
}

}  // namespace

TEST(LumbrelProgram, PrintsDefaultsThenTheStoredValues) {
    auto home = freshHome("defaults");
    auto first = run(home, "settings\n");
    EXPECT_NE(first.find("devicesMuted = false"), std::string::npos);
    EXPECT_NE(first.find("keyCode = 46"), std::string::npos);
    EXPECT_NE(first.find("keyModifiersString = \"⇧⌘\""), std::string::npos);
    EXPECT_NE(first.find("useBluetoothHogMode = (absent)"), std::string::npos);

    // What another process stored is what the next start shows.
    auto plist = home / "Library/Preferences/com.vantorel.Lumbrel.plist";
    fs::create_directories(plist.parent_path());
    std::ofstream(plist) << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>devicesMuted</key><true/><key>pushToTalk</key><integer>2</integer></dict></plist>)";
    // Hold to mute starts live whatever was stored.
    auto second = run(home, "settings\n");
    EXPECT_NE(second.find("devicesMuted = false"), std::string::npos);
    EXPECT_NE(second.find("pushToTalk = 2"), std::string::npos);
    fs::remove_all(home);
}

TEST(LumbrelProgram, ACorruptPreferencesFileStartsWithDefaults) {
    auto home = freshHome("corrupt");
    auto plist = home / "Library/Preferences/com.vantorel.Lumbrel.plist";
    fs::create_directories(plist.parent_path());
    std::ofstream(plist) << "garbage";
    auto output = run(home, "settings\n");
    EXPECT_NE(output.find("startOnLogin = true"), std::string::npos);
    EXPECT_TRUE(fs::exists(plist.string() + ".corrupt"));
    fs::remove_all(home);
}

TEST(LumbrelProgram, ExitsCleanlyOnTerminate) {
    auto home = freshHome("signal");
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::close(toChild[1]);
        ::close(fromChild[0]);
        ::setenv("LUMBREL_HOME", home.c_str(), 1);
        ::execl(LUMBREL_PROGRAM, LUMBREL_PROGRAM, nullptr);
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    // Its banner says it is waiting for input; only then is it sure to have
    // its handlers in place.
    const std::string banner = "Ctrl-D to quit.";
    std::string output;
    char c;
    while (output.find(banner) == std::string::npos && ::read(fromChild[0], &c, 1) == 1)
        output += c;
    ASSERT_NE(output.find(banner), std::string::npos);
    ::kill(child, SIGTERM);
    while (::read(fromChild[0], &c, 1) == 1) output += c;
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_NE(output.find("Lumbrel has quit."), std::string::npos);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    fs::remove_all(home);
}

TEST(LumbrelProgram, TheConsoleExplainsItselfAndRefusesNonsense) {
    auto home = freshHome("console");
    auto output = run(home, "help\nfly away\nset pushToTalk maybe\nset nothing 1\nsettings\n");
    EXPECT_NE(output.find("Type help"), std::string::npos);
    for (const char* command : {"shortcut press|release|tap", "click [left|right|control]",
                                "set <setting> <value>", "pushtotalk 0|1|2", "settings"})
        EXPECT_NE(output.find(command), std::string::npos) << command;
    EXPECT_NE(output.find("Unknown command \"fly\". Type help for the list."), std::string::npos);
    EXPECT_NE(output.find("pushToTalk takes a whole number."), std::string::npos);
    EXPECT_NE(output.find("No setting \"nothing\""), std::string::npos);
    EXPECT_NE(output.find("pushToTalk = 0"), std::string::npos);
    fs::remove_all(home);
}
