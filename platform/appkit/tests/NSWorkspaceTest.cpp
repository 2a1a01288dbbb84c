#include "platform/appkit/NSWorkspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/bundle/Home.h"
#include "platform/process/NSTask.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the scope of a test.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (previous_)
            ::setenv(name_, previous_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> previous_;
};

class NSWorkspaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Workspace::clear();
        sim::Process::intercept(true);
        sim::Process::clear();
    }
    void TearDown() override {
        sim::Workspace::clear();
        sim::Process::intercept(false);
        sim::Process::clear();
        fs::remove_all(root);
    }

    static fs::path writeFile(const fs::path& path, bool executable,
                              const std::string& content = "#!/bin/sh\n") {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << content;
        fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read);
        return path;
    }
    static std::string infoList(const std::string& executable) {
        return "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>" + executable +
               "</string></dict></plist>";
    }

    fs::path root = fs::temp_directory_path() / ("workspace-" + std::to_string(::getpid()));
    sim::ScopedHomeOverride home{root.string()};
    ScopedEnvironment path{"PATH", (root / "bin").string()};
    ScopedEnvironment applications{"LUMBREL_APPLICATIONS",
                                   (root / "first").string() + ":" + (root / "second").string()};
};

}  // namespace

TEST_F(NSWorkspaceTest, FindsTheProgramOfAnApplication) {
    // first: a bundle whose program lies beside it, a bundle without one, a
    // plain program that is not executable.
    writeFile(root / "first/Lumbrel.app/Contents/Info.plist", false, infoList("lumbrel"));
    auto besideBundle = writeFile(root / "first/lumbrel", true);
    writeFile(root / "first/Empty.app/Contents/Info.plist", false, infoList("empty"));
    writeFile(root / "first/lumbrel-helper", false);
    // second: the helper as a plain program; PATH: a program for "Tool".
    auto helper = writeFile(root / "second/lumbrel-helper", true);
    auto tool = writeFile(root / "bin/tool", true);

    struct Case {
        std::string application;
        std::optional<std::string> program;
    };
    const std::vector<Case> cases = {
        {"Lumbrel", besideBundle.string()},
        {"Lumbrel Helper", helper.string()},
        {"Tool", tool.string()},
        {"Empty", std::nullopt},
        {"Missing", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::Workspace::programForApplication(c.application), c.program) << c.application;

    // A program inside the bundle comes before one beside it.
    auto inside = writeFile(root / "first/Lumbrel.app/Contents/MacOS/lumbrel", true);
    EXPECT_EQ(sim::Workspace::programForApplication("Lumbrel"), inside.string());
}

TEST_F(NSWorkspaceTest, LaunchesAreRecordedUnlessProgramsAreStarted) {
    auto program = writeFile(root / "first/lumbrel", true);
    auto workspace = NSWorkspace::sharedWorkspace();

    // Tests start nothing by default, even when the program exists.
    EXPECT_FALSE(sim::Workspace::launchesPrograms());
    EXPECT_TRUE(workspace->launchApplication("Lumbrel"));
    EXPECT_TRUE(sim::Process::launchedTasks().empty());

    sim::Workspace::setLaunchesPrograms(true);
    EXPECT_TRUE(workspace->launchApplication("Lumbrel"));
    ASSERT_EQ(sim::Process::launchedTasks().size(), 1u);
    EXPECT_EQ(sim::Process::launchedTasks()[0].launchPath, program.string());
    EXPECT_FALSE(workspace->launchApplication("Nowhere"));
    sim::Workspace::failNextLaunch();
    EXPECT_FALSE(workspace->launchApplication("Lumbrel"));

    // A launcher of the test's own takes over.
    std::vector<std::string> asked;
    sim::Workspace::setLauncher([&](const std::string& name) {
        asked.push_back(name);
        return name == "Lumbrel";
    });
    EXPECT_TRUE(workspace->launchApplication("Lumbrel"));
    EXPECT_FALSE(workspace->launchApplication("Other"));
    EXPECT_EQ(asked, (std::vector<std::string>{"Lumbrel", "Other"}));
    EXPECT_EQ(sim::Process::launchedTasks().size(), 1u);
    EXPECT_EQ(sim::Workspace::launchedApplications(),
              (std::vector<std::string>{"Lumbrel", "Lumbrel", "Lumbrel"}));
}

TEST_F(NSWorkspaceTest, OpensOnlyAbsoluteURLs) {
    auto workspace = NSWorkspace::sharedWorkspace();
    for (const char* url : {"https://lumbrel.app/help/?source=macApp", "mailto:help@lumbrel.app"})
        EXPECT_TRUE(workspace->openURL(url)) << url;
    for (const char* url : {"", "lumbrel.app/help", "://x", "1http://x", "https:"})
        EXPECT_FALSE(workspace->openURL(url)) << url;
    EXPECT_EQ(sim::Workspace::openedURLs().size(), 2u);
}

TEST_F(NSWorkspaceTest, SessionNotificationsArriveOnTheWorkspaceCentreOnly) {
    auto workspace = NSWorkspace::sharedWorkspace();
    std::vector<std::string> seen;
    int onDefaultCentre = 0;
    auto token = workspace->notificationCenter()->addObserverForName(
        std::nullopt, nullptr, nullptr, [&](const NSNotification& n) {
            EXPECT_EQ(n.object, workspace);
            seen.push_back(n.name);
        });
    auto defaultToken = NSNotificationCenter::defaultCenter()->addObserverForName(
        std::string(NSWorkspaceSessionDidResignActiveNotification), nullptr, nullptr,
        [&](const NSNotification&) { ++onDefaultCentre; });

    sim::Workspace::resignSessionActive();
    EXPECT_FALSE(sim::Workspace::isSessionActive());
    sim::Workspace::becomeSessionActive();
    EXPECT_TRUE(sim::Workspace::isSessionActive());
    EXPECT_EQ(seen, (std::vector<std::string>{NSWorkspaceSessionDidResignActiveNotification,
                                              NSWorkspaceSessionDidBecomeActiveNotification}));
    EXPECT_EQ(onDefaultCentre, 0);
    workspace->notificationCenter()->removeObserver(token);
    NSNotificationCenter::defaultCenter()->removeObserver(defaultToken);
}
