// The mute engine's remote values come from what was fetched from the
// service and activated.

#include <gtest/gtest.h>

#include "app/mute/RemoteValues.h"
#include "services/remoteconfig/DIROdadevOvered.h"
#include "services/remoteconfig/tests/RemoteConfigTestSupport.h"

namespace {

class RemoteValuesFetchTest : public BackendFixture {
  protected:
    void fetchAndActivate() {
        sim::advanceClock(sim::seconds(1));
        std::optional<DIROdadevOveredFetchAndActivateStatus> status;
        DIROdadevOvered::remoteConfig()->fetchAndActivateWithCompletionHandler(
            [&](DIROdadevOveredFetchAndActivateStatus s, std::optional<NSError>) { status = s; });
        ASSERT_TRUE(pumpUntil([&] { return status.has_value(); }));
        EXPECT_EQ(*status, DIROdadevOveredFetchAndActivateStatus::SuccessFetchedFromRemote);
    }
};

TEST_F(RemoteValuesFetchTest, ABackendChangeReachesTheEngineAfterFetchAndActivate) {
    auto settings = std::make_shared<DIROdadevOveredSettings>();
    settings->setMinimumFetchInterval(0);
    DIROdadevOvered::remoteConfig()->setConfigSettings(settings);
    DIROdadevOvered::remoteConfig()->setDefaults(Dictionary{{"muteToggleNotificationTime", 0.6}});
    EXPECT_EQ(remotevalues::number("muteToggleNotificationTime"), 0.6);

    service().setValue(kRCProject, "reruzera", "muteToggleNotificationTime", "1.5");
    service().setValue(kRCProject, "reruzera", "builtInDisplayNames", R"(["Color LCD"])");
    EXPECT_EQ(remotevalues::number("muteToggleNotificationTime"), 0.6);  // not fetched yet
    fetchAndActivate();
    EXPECT_EQ(remotevalues::number("muteToggleNotificationTime"), 1.5);
    EXPECT_TRUE(
        remotevalues::containsString(remotevalues::array("builtInDisplayNames"), "Color LCD"));

    service().setValue(kRCProject, "reruzera", "muteToggleNotificationTime", "2.25");
    fetchAndActivate();
    EXPECT_EQ(remotevalues::number("muteToggleNotificationTime"), 2.25);
}

}  // namespace
