// The checked-in windows session replayed by the real program: onboarding,
// shortcut recording, every preference and the status window, driven from
// the console with every check holding.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(WindowScript, ReplaysWithEveryCheckHolding) {
    auto home =
        fs::temp_directory_path() / ("lumbrel-windows-script-" + std::to_string(::getpid()));
    fs::remove_all(home);
    fs::create_directories(home);
    std::string command = "LUMBREL_HOME='" + home.string() + "' " + LUMBREL_PROGRAM +
                          " --script '" + LUMBREL_WINDOWS_SCRIPT + "' </dev/null 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output.find("Expected"), std::string::npos) << output;
    EXPECT_NE(output.find("Status window at 24 64 144 × 64"), std::string::npos) << output;
    EXPECT_NE(output.find("\"About Lumbrel\""), std::string::npos) << output;
    EXPECT_NE(output.find("Addresses opened: 2\n"
                          "  https://lumbrel.vantorel.com/help/push-to-talk?source=macApp\n"
                          "  https://lumbrel.vantorel.com/privacy?source=macApp\n"
                          "Update checks: 1\n"
                          "  asked by the user: no update\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Lumbrel has quit."), std::string::npos) << output;
    fs::remove_all(home);
}

}  // namespace
