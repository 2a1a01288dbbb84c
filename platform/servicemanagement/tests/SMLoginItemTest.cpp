#include "platform/servicemanagement/SMLoginItem.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/bundle/Home.h"
#include "platform/foundation/FileSystem.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kHelper = "com.vantorel.Lumbrel-Helper";

class SMLoginItemTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::LoginItems::reset(); }
    void TearDown() override {
        sim::LoginItems::reset();
        sim::FileSystem::clearFailures();
        fs::remove_all(root);
    }

    std::string entry() const {
        std::ifstream in(sim::LoginItems::autostartEntryPath(kHelper));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path root = fs::temp_directory_path() / ("login-items-" + std::to_string(::getpid()));
    sim::ScopedHomeOverride home{root.string()};
};

}  // namespace

TEST_F(SMLoginItemTest, EnablingWritesAnAutostartEntryAndDisablingRemovesIt) {
    EXPECT_EQ(sim::LoginItems::autostartEntryPath(kHelper),
              (root / ".config/autostart/com.vantorel.Lumbrel-Helper.desktop").string());
    EXPECT_TRUE(SMLoginItemSetEnabled(kHelper, false));  // nothing to remove
    EXPECT_TRUE(SMLoginItemSetEnabled(kHelper, true));
    EXPECT_TRUE(sim::LoginItems::isEnabled(kHelper));
    EXPECT_EQ(entry(),
              "[Desktop Entry]\nType=Application\nName=Lumbrel Helper\nExec=lumbrel-helper\n"
              "NoDisplay=true\nX-GNOME-Autostart-enabled=true\n"
              "X-Lumbrel-BundleIdentifier=com.vantorel.Lumbrel-Helper\n");
    EXPECT_TRUE(SMLoginItemSetEnabled(kHelper, true));  // again: still one entry
    EXPECT_TRUE(SMLoginItemSetEnabled(kHelper, false));
    EXPECT_FALSE(sim::LoginItems::isEnabled(kHelper));
    EXPECT_FALSE(fs::exists(sim::LoginItems::autostartEntryPath(kHelper)));

    auto requests = sim::LoginItems::requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].bundleIdentifier, kHelper);
    EXPECT_TRUE(requests[1].enabled);
    EXPECT_TRUE(requests[1].succeeded);
}

TEST_F(SMLoginItemTest, TheEntryRunsTheKnownHelperProgramQuoted) {
    struct Case {
        std::string program;
        std::string exec;
    };
    const std::vector<Case> cases = {
        {"/opt/lumbrel/lumbrel-helper", "Exec=/opt/lumbrel/lumbrel-helper\n"},
        {"/opt/Lumbrel Helper.app/lumbrel-helper",
         "Exec=\"/opt/Lumbrel Helper.app/lumbrel-helper\"\n"},
        {"/opt/a$b/lumbrel-helper", "Exec=\"/opt/a\\\\$b/lumbrel-helper\"\n"},
    };
    for (const auto& c : cases) {
        sim::LoginItems::setHelperProgram(c.program);
        ASSERT_TRUE(SMLoginItemSetEnabled(kHelper, true));
        EXPECT_NE(entry().find(c.exec), std::string::npos) << entry();
    }
}

TEST_F(SMLoginItemTest, ARefusedChangeLeavesTheRegistrationAsItWas) {
    ASSERT_TRUE(SMLoginItemSetEnabled(kHelper, true));
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool enable;
    };
    const std::vector<Case> cases = {
        {"next refused, disable", [] { sim::LoginItems::failNext(); }, false},
        {"all refused, disable", [] { sim::LoginItems::refuseAll(true); }, false},
        {"disk full, enable", [] { sim::FileSystem::failNextWrite(ENOSPC); }, true},
    };
    for (const auto& c : cases) {
        auto before = entry();
        c.arrange();
        EXPECT_FALSE(SMLoginItemSetEnabled(kHelper, c.enable)) << c.name;
        EXPECT_EQ(entry(), before) << c.name;
        EXPECT_TRUE(sim::LoginItems::isEnabled(kHelper)) << c.name;
        EXPECT_FALSE(sim::LoginItems::requests().back().succeeded) << c.name;
        sim::LoginItems::refuseAll(false);
    }
    // A single failure passes.
    sim::LoginItems::failNext();
    EXPECT_FALSE(SMLoginItemSetEnabled(kHelper, false));
    EXPECT_TRUE(SMLoginItemSetEnabled(kHelper, false));

    for (const char* identifier : {"", "..", "../escape", "a/b"})
        EXPECT_FALSE(SMLoginItemSetEnabled(identifier, true)) << identifier;
    EXPECT_FALSE(fs::exists(root / ".config/escape.desktop"));
}

TEST_F(SMLoginItemTest, IdentifiersWithControlCharactersAreRefused) {
    // Each would add lines of its own to the entry, such as a second Exec.
    for (const std::string& identifier : std::vector<std::string>{
             "com.example.Helper\nExec=/tmp/evil", "com.example.Helper\rExec=x",
             "com.example.\tHelper", std::string("com.example.Helper\0x", 20),
             "com.example.Helper\x7f"}) {
        SCOPED_TRACE(::testing::PrintToString(identifier));
        EXPECT_FALSE(SMLoginItemSetEnabled(identifier, true));
        EXPECT_FALSE(sim::LoginItems::isEnabled(identifier));
    }
    std::error_code error;
    EXPECT_FALSE(fs::exists(root / ".config" / "autostart", error) &&
                 !fs::is_empty(root / ".config" / "autostart", error));
}
