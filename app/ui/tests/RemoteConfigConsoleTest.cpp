// Remote values on the console: set at the simulated backend, fetched and
// activated by the program, shown as the program sees them.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(RemoteConfigConsole, ABackendValueIsActivatedByTheProgram) {
    const fs::path home =
        fs::temp_directory_path() / ("lumbrel-remoteconfig-" + std::to_string(::getpid()));
    fs::remove_all(home);
    fs::create_directories(home);
    const std::string command = "env -u LUMBREL_SERVICE_BASE_URL LUMBREL_HOME='" + home.string() +
                                "' " + LUMBREL_PROGRAM +
                                " <<'EOF'\n"
                                "remoteconfig fetch\n"
                                "remoteconfig set muteToggleNotificationTime 2.5\n"
                                "remoteconfig show\n"
                                "wait 1\n"
                                "remoteconfig fetch\n"
                                "remoteconfig show\n"
                                "wait 1\n"
                                "remoteconfig fetch\n"
                                "EOF\n";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
    EXPECT_EQ(::pclose(pipe), 0) << output;
    fs::remove_all(home);

    const auto set = output.find("The backend's muteToggleNotificationTime is now 2.5.");
    const auto activated = output.find("Fetched and activated.", set);
    const auto shown = output.find("  muteToggleNotificationTime = 2.5");
    ASSERT_NE(set, std::string::npos) << output;
    ASSERT_NE(activated, std::string::npos) << output;
    ASSERT_NE(shown, std::string::npos) << output;
    EXPECT_LT(activated, shown) << output;  // not shown before the fetch
    EXPECT_NE(output.find("Fetched; nothing new to activate.", shown), std::string::npos) << output;
}

}  // namespace
