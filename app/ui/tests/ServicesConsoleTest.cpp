// The program's hosted services: a simulated backend started with the
// program, the installation registered there at start-up and reused by the
// next launch, and the console's view of both sides.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string run(const fs::path& home, const std::string& input) {
    std::string command = "env -u LUMBREL_SERVICE_BASE_URL LUMBREL_HOME='" + home.string() + "' " +
                          LUMBREL_PROGRAM + " <<'EOF'\n" + input + "EOF\n";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
    EXPECT_EQ(::pclose(pipe), 0);
    return output;
}

std::string identifier(const std::string& output) {
    std::smatch m;
    static const std::regex pattern("identifier ([A-Za-z0-9_-]{22}), registered");
    return std::regex_search(output, m, pattern) ? m[1].str() : "";
}

class ServicesConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() /
                ("lumbrel-services-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home_);
        fs::create_directories(home_);
    }
    void TearDown() override { fs::remove_all(home_); }
    fs::path home_;
};

TEST_F(ServicesConsoleTest, TheInstallationIsRegisteredAtStartUpAndReusedByTheNextLaunch) {
    auto first = run(home_, "services\nbackend requests installations\n");
    const std::string id = identifier(first);
    ASSERT_FALSE(id.empty()) << first;
    EXPECT_NE(first.find("auth token expires in 604800 s"), std::string::npos) << first;
    EXPECT_NE(first.find("1 request(s)\n  installations create 200 POST"), std::string::npos)
        << first;

    auto second = run(home_, "services\nbackend\n");
    EXPECT_EQ(identifier(second), id) << second;
    EXPECT_NE(second.find("0 request(s)"), std::string::npos) << second;
}

// The refusals scripted before launch are in ProgramStartTest: start-up
// registers the installation before the console takes its first command.
TEST_F(ServicesConsoleTest, ScriptsNameKnownEndpointsAndAreListed) {
    auto output = run(home_,
                      "backend script installations generateAuthToken 400 always\n"
                      "backend script installations nonsense 400\n"
                      "backend\n");
    EXPECT_NE(output.find("Unknown endpoint."), std::string::npos) << output;
    EXPECT_NE(output.find("installations generateAuthToken answers 400 from now on."),
              std::string::npos)
        << output;
}

}  // namespace
