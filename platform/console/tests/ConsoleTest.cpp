#include "platform/console/Console.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/appkit/AppKit.h"
#include "platform/appkit/NSMenu.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/bundle/Home.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/net/NSURLSession.h"
#include "platform/testing/TestServer.h"

namespace {

class ConsoleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::AudioHardware::reset();
        sim::AudioHardware::installDefaultMac();
        sim::useVirtualClock();
    }
    void TearDown() override {
        sim::Menus::reset();
        sim::AudioHardware::reset();
        sim::Screens::reset();
        sim::useRealClock();
    }
    std::string run(const std::string& line) {
        out_.str("");
        console_.execute(line);
        return out_.str();
    }
    std::ostringstream out_;
    sim::Console console_{out_};
};

}  // namespace

TEST(CommandLine, QuotesGroupWords) {
    EXPECT_EQ(sim::splitCommandLine(R"(choose "Mute microphone"  now)"),
              (std::vector<std::string>{"choose", "Mute microphone", "now"}));
    EXPECT_TRUE(sim::splitCommandLine("   ").empty());
    EXPECT_EQ(sim::splitCommandLine(R"(x "")"), (std::vector<std::string>{"x", ""}));
}

TEST_F(ConsoleTest, BadCommandsGetAMessageAndChangeNothing) {
    auto devicesBefore = sim::AudioHardware::devices();
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"frobnicate", "Unknown command \"frobnicate\"."},
        {"plug toaster", "Unknown device kind \"toaster\"."},
        {"unplug Nothing Here", "No device \"Nothing Here\"."},
        {"key press 300", "Key code must be 0 to 127."},
        {"wait -1", "Give 0 to 86400 seconds."},
        {"choose Quit", "No menu is open."},
        {"click", "There is no status item."},
        {"lid sideways", "Usage: lid close|open"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(run(c.line).find(c.message), std::string::npos) << c.line;
    }
    EXPECT_EQ(console_.failures(), 8);
    EXPECT_EQ(sim::AudioHardware::devices(), devicesBefore);
}

TEST_F(ConsoleTest, DevicesCanBePluggedSelectedMutedElsewhereAndUnplugged) {
    EXPECT_NE(run("devices").find("(default input)"), std::string::npos);
    run("plug usb-mic \"Studio Mic\"");
    EXPECT_NE(run("devices").find("Studio Mic"), std::string::npos);
    run("default-input studio mic");
    EXPECT_NE(run("state").find("Studio Mic: live (default input)"), std::string::npos);
    run("external-mute Studio Mic on");
    EXPECT_NE(run("state").find("Studio Mic: muted"), std::string::npos);
    run("unplug Studio Mic");
    EXPECT_EQ(run("devices").find("Studio Mic"), std::string::npos);
    EXPECT_EQ(console_.failures(), 0);
}

TEST_F(ConsoleTest, EveryChangeIsSaidInOneLine) {
    struct Case {
        const char* line;
        const char* said;
    };
    const Case cases[] = {
        {"plug usb-mic \"Studio Mic\"", "Connected \"Studio Mic\""},
        {"default-input studio mic", "\"Studio Mic\" is the default input."},
        {"external-mute Studio Mic on", "Another program muted \"Studio Mic\"."},
        {"unplug Studio Mic", "Disconnected \"Studio Mic\"."},
        {"key press 40 cmd shift", "Pressed key 40 with cmd shift."},
        {"key release 40", "Released key 40."},
        {"double-tap Option", "Tapped option twice."},
        {"lid close", "Closed the lid"},
        {"lid open", "Opened the lid."},
        {"wait 2", "2 seconds passed."},
        {"plug virtual-mixer", "Connected \"Virtual Mixer\""},
    };
    for (const auto& c : cases) {
        auto said = run(c.line);
        EXPECT_EQ(said.find(c.said), 0u) << c.line << ": " << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << c.line << ": " << said;
    }
    EXPECT_EQ(console_.failures(), 0);
}

TEST_F(ConsoleTest, MenuItemsAreChosenInAnyCaseWithThreeDotsForTheEllipsis) {
    for (const char* line : {"choose Preferences…", "choose preferences...",
                             "choose PREFERENCES ...", "choose prefs"}) {
        const bool matches = std::string(line).find("prefs") == std::string::npos &&
                             std::string(line).find(" ...") == std::string::npos;
        auto menu = std::make_shared<NSMenu>();
        menu->setAutoenablesItems(false);
        menu->addItemWithTitle("Preferences…", "", "");
        menu->addItemWithTitle("Quit Lumbrel", "", "");
        ASSERT_TRUE(menu->popUpMenuPositioningItem(nullptr, {0, 0}, nullptr));
        auto said = run(line);
        if (matches) {
            EXPECT_EQ(said, "Chose \"Preferences…\".\n") << line;
            EXPECT_EQ(sim::Menus::openMenu(), nullptr) << line;
        } else {
            EXPECT_NE(said.find("No enabled item"), std::string::npos) << line << ": " << said;
            EXPECT_EQ(sim::Menus::openMenu(), menu) << line;
            sim::Menus::close();
        }
    }
}

TEST_F(ConsoleTest, LidAndTime) {
    run("lid close");
    ASSERT_EQ(NSScreen::screens().size(), 1u);
    EXPECT_EQ(NSScreen::screens()[0]->localizedName(), "DELL U2720Q");
    run("lid open");
    EXPECT_EQ(NSScreen::screens().size(), 2u);
    auto before = sim::Clock::now();
    run("wait 2.5");
    EXPECT_EQ(sim::Clock::now() - before, sim::seconds(2.5));
}

TEST_F(ConsoleTest, ScriptsRunLineByLineAndStopAtQuit) {
    auto path =
        std::filesystem::temp_directory_path() / ("console-" + std::to_string(::getpid()) + ".txt");
    std::ofstream(path) << "# a comment\nplug bluetooth Headset\n\nquit\nplug usb-mic Never\n";
    EXPECT_TRUE(console_.runScript(path.string()));
    EXPECT_TRUE(console_.quitRequested());
    EXPECT_NE(out_.str().find("> plug bluetooth Headset"), std::string::npos);
    EXPECT_EQ(out_.str().find("Never"), std::string::npos);
    std::filesystem::remove(path);
    EXPECT_FALSE(console_.runScript("/nonexistent/script"));
}

TEST_F(ConsoleTest, HelpListsEveryCommandAndProgramsCanAddTheirOwn) {
    console_.addCommand("open", "open preferences|about", "open a window",
                        [](const sim::Console::Arguments& args) -> std::string {
                            return args.empty() ? "Usage: open preferences|about" : "";
                        });
    console_.addStateSection([](std::ostream& s) { s << "Windows: none\n"; });
    auto help = run("help");
    for (const char* name : {"shortcut", "click", "choose", "plug", "unplug", "default-input",
                             "lid", "state", "log", "quit", "open"})
        EXPECT_NE(help.find(name), std::string::npos) << name;
    EXPECT_NE(run("open").find("Usage: open"), std::string::npos);
    EXPECT_NE(run("state").find("Windows: none"), std::string::npos);
}

// Work that a timer starts elsewhere (another queue, the network) finishes
// before `wait` moves the clock on, and before the console answers.
TEST_F(ConsoleTest, WaitLetsRealWorkKeepPaceWithTheClock) {
    sim::TestServer server;
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = std::chrono::milliseconds(100);
    server.setResponse("/slow", slow);
    auto session = NSURLSession::sharedSession();
    std::optional<double> answeredAt;
    const auto start = sim::Clock::now();
    DispatchQueue::create("console.test")->asyncAfter(sim::seconds(5), [&] {
        session
            ->dataTaskWithRequest(NSURLRequest(*NSURL::URLWithString(server.url("/slow"))),
                                  [&](auto, auto, auto) {
                                      DispatchQueue::main()->async([&] {
                                          answeredAt = sim::toSeconds(sim::Clock::now() - start);
                                      });
                                  })
            ->resume();
    });
    EXPECT_EQ(run("wait 10"), "10 seconds passed.\n");
    ASSERT_TRUE(answeredAt.has_value());
    EXPECT_EQ(*answeredAt, 5.0);
}

TEST_F(ConsoleTest, WorkThatDoesNotFinishIsSaidInOneLine) {
    const auto patience = sim::Console::patience();
    sim::Console::setPatience(std::chrono::milliseconds(200));
    sim::TestServer server;
    auto slow = sim::ScriptedResponse::text(200, "late");
    slow.delay = std::chrono::seconds(10);
    server.setResponse("/slow", slow);
    auto task = NSURLSession::sharedSession()->dataTaskWithRequest(
        NSURLRequest(*NSURL::URLWithString(server.url("/slow"))), [](auto, auto, auto) {});
    task->resume();
    EXPECT_NE(run("wait 1").find("The program was still busy after 0.2 s of real time (0 block(s) "
                                 "at work, 1 request(s) in flight)"),
              std::string::npos);
    sim::Console::setPatience(patience);
    task->cancel();
    server.stop();
}
