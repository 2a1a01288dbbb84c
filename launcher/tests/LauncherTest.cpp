// The launcher in process (its delegate driving the application) and as the
// program the login-item service starts.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "launcher/AppDelegate.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/bundle/Home.h"
#include "platform/log/Log.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/process/NSTask.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kLaunched = "Launched Lumbrel";
constexpr const char* kFailed = "Failed to launch Lumbrel -- was it renamed?";

class LauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Application::reset();
        sim::Workspace::clear();
        sim::Process::intercept(true);
        sim::Process::clear();
    }
    void TearDown() override {
        sim::Application::reset();
        sim::Workspace::clear();
        sim::Process::intercept(false);
        sim::Process::clear();
    }
};

// Runs the program with the environment given (on top of the test's own,
// without LUMBREL_TEST so that log lines are echoed); gives its exit status
// and everything it and its children wrote.
std::pair<int, std::string> runProgram(const std::vector<std::string>& settings) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        auto name = entry.substr(0, entry.find('='));
        bool replaced = name == "LUMBREL_TEST";
        for (const auto& s : settings) replaced |= s.substr(0, s.find('=')) == name;
        if (!replaced) environment.push_back(entry);
    }
    environment.insert(environment.end(), settings.begin(), settings.end());
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    int output[2];
    if (::pipe(output) != 0) return {-1, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, output[1], 2);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::string program = LUMBREL_HELPER_PROGRAM;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    // Ends once the launcher and whatever it started have closed the pipe.
    while (spawned == 0 && (n = ::read(output[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, n);
    ::close(output[0]);
    if (spawned != 0) return {-1, std::strerror(spawned)};
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

}  // namespace

TEST_F(LauncherTest, LaunchesLumbrelLogsTheOutcomeAndEndsEitherWay) {
    struct Case {
        bool launches;
        const char* line;
        const char* otherLine;
    };
    for (const auto& c : {Case{true, kLaunched, kFailed}, Case{false, kFailed, kLaunched}}) {
        sim::Application::reset();
        sim::Process::clear();
        std::vector<std::string> asked;
        sim::Workspace::setLauncher([&](const std::string& name) {
            asked.push_back(name);
            return c.launches;
        });
        int willTerminate = 0;
        auto center = NSNotificationCenter::defaultCenter();
        auto token =
            center->addObserverForName(std::string(NSApplicationWillTerminateNotification), nullptr,
                                       nullptr, [&](const NSNotification&) { ++willTerminate; });
        sim::LogCapture log;

        auto app = NSApplication::sharedApplication();
        app->setDelegate(std::make_shared<LumbrelHelper::AppDelegate>());
        app->run();  // returns because the launcher terminated

        EXPECT_EQ(asked, std::vector<std::string>{"Lumbrel"});
        EXPECT_EQ(log.count(c.line), 1u) << c.line;
        EXPECT_FALSE(log.contains(c.otherLine));
        ASSERT_FALSE(log.records().empty());
        EXPECT_EQ(log.records()[0].source, sim::LogSource::UnifiedLog);
        EXPECT_EQ(log.records()[0].subsystem, "");
        EXPECT_TRUE(sim::Application::isTerminated());
        EXPECT_EQ(willTerminate, 1);
        EXPECT_EQ(sim::Process::exitStatuses(), std::vector<int>{0});
        center->removeObserver(token);
    }
}

TEST_F(LauncherTest, TheDelegateIsTheHelpersRuntimeClass) {
    auto delegate = std::make_shared<LumbrelHelper::AppDelegate>();
    EXPECT_EQ(delegate->className(), "Lumbrel_Helper.AppDelegate");
    EXPECT_TRUE(delegate->conformsToProtocol(objc_getProtocol("NSApplicationDelegate")));
    EXPECT_EQ(NSClassFromString("Lumbrel_Helper.AppDelegate"),
              LumbrelHelper::AppDelegate::runtimeClass());
}

TEST(LumbrelHelperProgram, StartsLumbrelFromItsApplicationsFolderAndExits) {
    fs::path root = fs::temp_directory_path() / ("lumbrel-helper-" + std::to_string(::getpid()));
    sim::ScopedHomeOverride home(root.string());
    fs::create_directories(root / "with");
    fs::create_directories(root / "without");
    fs::path lumbrel = root / "with/lumbrel";
    std::ofstream(lumbrel) << "#!/bin/sh\necho \"lumbrel started in $LUMBREL_HOME\"\n";
    fs::permissions(lumbrel, fs::perms::owner_all);

    struct Case {
        const char* folder;
        bool started;
        const char* line;
    };
    for (const auto& c : {Case{"with", true, kLaunched}, Case{"without", false, kFailed}}) {
        // PATH leads nowhere, so no installed program can be started.
        auto [status, output] = runProgram({"LUMBREL_HOME=" + root.string(),
                                            "LUMBREL_APPLICATIONS=" + (root / c.folder).string(),
                                            "PATH=" + (root / "no-programs").string()});
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find(c.line), std::string::npos) << output;
        EXPECT_EQ(output.find("lumbrel started in " + root.string()) != std::string::npos,
                  c.started)
            << output;
    }
    fs::remove_all(root);
}
