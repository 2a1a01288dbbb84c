// The program as a user starts it: the console on standard input, settings
// from the preferences file under the home folder, and a clean exit at end
// of input or on a signal.

#include <gtest/gtest.h>
#include <pty.h>
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

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

void writePreferences(const fs::path& home, const std::string& entries) {
    auto plist = home / "Library/Preferences/com.vantorel.Lumbrel.plist";
    fs::create_directories(plist.parent_path());
    std::ofstream(plist) << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                         << entries << "</dict></plist>";
}

TEST(LumbrelProgram, AnAggregateDeviceMakesItStartItselfAgain) {
    auto home = freshHome("relaunch");
    auto output = run(home, "plug virtual-mixer\n");
    const std::string banner = "Lumbrel is running on a simulated Mac";
    ASSERT_EQ(occurrences(output, banner), 2u) << output;
    // The program runs anew in place of the old one (which says nothing
    // more), until its input ends; then it quits as usual.
    auto connected = output.find("Connected \"Virtual Mixer\"");
    auto secondStart = output.rfind(banner);
    EXPECT_LT(connected, secondStart) << output;
    EXPECT_EQ(occurrences(output, "Lumbrel has quit."), 1u) << output;
    EXPECT_NE(output.find("Lumbrel has quit.", secondStart), std::string::npos) << output;
    fs::remove_all(home);
}

TEST(LumbrelProgram, AFreshInstallChecksForUpdatesOnItsOwn) {
    auto home = freshHome("updates");
    writePreferences(home, "<key>hasCompletedOnboarding</key><true/>");
    auto output = run(home, "update offer 2.0\nwait 86400\nstate\n");
    EXPECT_NE(output.find("Update checks: 1\n  in the background: version 2.0 offered"),
              std::string::npos)
        << output;
    fs::remove_all(home);
}

TEST(LumbrelProgram, TheStateTellsWhetherTheShortcutWorks) {
    struct Case {
        const char* preferences;
        const char* shown;
    };
    const Case cases[] = {
        {"", "shortcut ⇧⌘M (toggle), registered"},
        {"<key>keyDoubleModifiers</key><true/><key>keyCode</key><integer>0</integer>"
         "<key>keyModifiers</key><integer>2048</integer>"
         "<key>keyModifiersString</key><string>⌥ (twice)</string>",
         "shortcut ⌥ (twice) (toggle), registered"},
        {"<key>keyEnabled</key><false/>", "Lumbrel: live, no shortcut\n"},
    };
    for (const auto& c : cases) {
        auto home = freshHome("shortcut");
        writePreferences(home, c.preferences);
        auto output = run(home, "state\n");
        EXPECT_NE(output.find(c.shown), std::string::npos) << output;
        fs::remove_all(home);
    }
}

TEST(LumbrelProgram, OnboardingIsOneWindowAtATime) {
    auto home = freshHome("onboarding");
    auto output = run(home, "window open onboarding\nstate\n");
    EXPECT_NE(output.find("The onboarding window is open already."), std::string::npos) << output;
    EXPECT_NE(output.find("Windows open: [Onboarding]\n"), std::string::npos) << output;
    fs::remove_all(home);
}

TEST(LumbrelProgram, OnATerminalItPromptsForEachCommand) {
    auto home = freshHome("terminal");
    int terminal = -1;
    pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("LUMBREL_HOME", home.c_str(), 1);
        ::execl(LUMBREL_PROGRAM, LUMBREL_PROGRAM, nullptr);
        ::_exit(127);
    }
    // The terminal holds the lines until the program reads them.
    const std::string input = "set muteNotifications true\nquit\n";
    ASSERT_EQ(::write(terminal, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    std::string output;
    char c;
    while (::read(terminal, &c, 1) == 1) output += c;
    EXPECT_EQ(occurrences(output, "lumbrel> "), 2u) << output;  // one per command
    EXPECT_NE(output.find("Set muteNotifications to true.\r\nlumbrel> "), std::string::npos)
        << output;
    EXPECT_NE(output.find("Lumbrel has quit."), std::string::npos) << output;
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(terminal);
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
