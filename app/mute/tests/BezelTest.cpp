#include <gtest/gtest.h>

#include <fstream>

#include "app/mute/MuteBezel.h"
#include "app/mute/tests/MuteTestSupport.h"
#include "app/settings/AppSettings.h"
#include "platform/bezel/BHBezelNotification.h"

namespace mutetest {
namespace {

using Keys = Defaults::Keys;

class BezelTest : public MuteEngineTest {
  protected:
    void SetUp() override {
        MuteEngineTest::SetUp();
        auto resources = makeBundle() / "Contents" / "Resources";
        for (const char* name : {"notification-on", "notification-off", "muteError"})
            std::ofstream(resources / (std::string(name) + ".png")) << "png";
        setRemote({{"muteToggleNotificationTime", "1.5"},
                   {"cannotMuteNotificationTime", "3"},
                   {"showCannotMuteNotification", "true"}});
    }
};

TEST_F(BezelTest, MuteBezelShowsTheStateWithItsImage) {
    struct Case {
        bool muted;
        std::int64_t icon;
        const char* text;
        const char* image;
        bool isTemplate;
    } cases[] = {
        {true, 0, "Muted", "notification-off", true},
        {false, 0, "Live", "notification-on", true},
        {true, 1, "Muted", "notification-off", false},
    };
    Defaults::set(Keys::muteNotifications(), true);
    for (const auto& c : cases) {
        Defaults::set(Keys::devicesMuted(), c.muted);
        Defaults::set(Keys::menubarIcon(), c.icon);
        showMuteToggleBezel();
        auto bezel = sim::Bezels::current();
        ASSERT_TRUE(bezel);
        EXPECT_EQ(bezel->messageText, c.text);
        EXPECT_EQ(bezel->iconName, c.image);
        EXPECT_EQ(bezel->iconIsTemplate, c.isTemplate);
        EXPECT_EQ(bezel->timeToLive, 1.5);
        EXPECT_EQ(bezel->fadeIn, 0.0);
        EXPECT_EQ(bezel->fadeOut, 0.25);
    }
    auto shown = sim::Bezels::shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_TRUE(shown[0].dismissed);  // each replaced by the next
    EXPECT_TRUE(shown[1].dismissed);
    EXPECT_FALSE(shown[2].dismissed);
}

TEST_F(BezelTest, MuteBezelNeedsInitialisationAndTheSetting) {
    showMuteToggleBezel();  // muteNotifications is off by default
    Defaults::set(Keys::muteNotifications(), true);
    host_->initialized = false;
    showMuteToggleBezel();
    EXPECT_TRUE(sim::Bezels::shown().empty());
}

TEST_F(BezelTest, CannotMuteBezelFollowsTheRemoteSwitch) {
    showCannotMuteBezel();
    auto bezel = sim::Bezels::current();
    ASSERT_TRUE(bezel);
    EXPECT_EQ(bezel->messageText, "Mute error");
    EXPECT_EQ(bezel->iconName, "muteError");
    EXPECT_EQ(bezel->timeToLive, 3.0);
    setRemote({{"showCannotMuteNotification", "false"}});
    showCannotMuteBezel();
    EXPECT_EQ(sim::Bezels::shown().size(), 1u);
}

}  // namespace
}  // namespace mutetest
