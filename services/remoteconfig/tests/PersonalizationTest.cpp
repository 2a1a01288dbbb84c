#include <gtest/gtest.h>

#include "services/analytics/APMAnalytics.h"
#include "services/analytics/ZAROduzozovaConnector.h"
#include "services/core/RZRComponentContainer.h"
#include "services/remoteconfig/RCNPersonalization.h"
#include "services/remoteconfig/tests/FakeAnalytics.h"
#include "services/remoteconfig/tests/RemoteConfigTestSupport.h"

namespace {

Dictionary config(const Dictionary& metadata) {
    return Dictionary{{"entries", Dictionary{{"bezel", "dark"}, {"plain", "1"}}},
                      {"personalizationMetadata", metadata}};
}

const Dictionary kChoice{
    {"choiceId", "c1"}, {"personalizationId", "p1"}, {"armIndex", 2}, {"group", "P13N"}};

TEST(Personalization, EachChoiceIsLoggedOncePerKey) {
    struct Read {
        const char* key;
        Dictionary metadata;
        std::vector<std::string> logged;
    };
    const Read reads[] = {
        {"bezel", Dictionary{{"bezel", kChoice}}, {"personalization_assignment", "_fpc"}},
        {"bezel", Dictionary{{"bezel", kChoice}}, {}},  // the same choice again
        {"plain", Dictionary{{"bezel", kChoice}}, {}},  // no metadata for the key
        {"plain", Dictionary{{"plain", Dictionary{{"group", "P13N"}}}}, {}},  // no choice
        {"missing", Dictionary{{"missing", kChoice}}, {}},                    // no entry
        {"bezel", Dictionary{}, {}},
        {"bezel",
         Dictionary{{"bezel", Dictionary{{"choiceId", "c2"}}}},
         {"personalization_assignment", "_fpc"}},  // a new choice
    };
    auto analytics = std::make_shared<FakeAnalytics>();
    RCNPersonalization personalization(analytics);
    for (const Read& read : reads) {
        analytics->events.clear();
        personalization.logArmActive(read.key, config(read.metadata));
        std::vector<std::string> logged;
        for (const auto& event : analytics->events) {
            EXPECT_EQ(event.origin, "rp");
            logged.push_back(event.name);
        }
        EXPECT_EQ(logged, read.logged) << read.key;
    }
    EXPECT_EQ(personalization.loggedChoiceIds(), (Dictionary{{"bezel", "c2"}}));

    // A choice without the optional fields leaves them out.
    ASSERT_EQ(analytics->events.size(), 2u);
    EXPECT_EQ(analytics->events[0].parameters,
              (Dictionary{{"arm_key", "bezel"}, {"arm_value", "dark"}}));
    EXPECT_EQ(analytics->events[1].parameters, (Dictionary{{"_fpid", "c2"}}));
}

// The application's configuration with the real analytics connector.
class RemoteConfigAnalyticsTest : public BackendFixture {
  protected:
    void registerMoreLibraries() override { ZAROduzozovaConnector::registerLibrary(); }
};

TEST_F(RemoteConfigAnalyticsTest, ExperimentsAndPersonalizationReachAnalytics) {
    service().setValue(kRCProject, "reruzera", "bezel", "dark");
    service().setPersonalization(
        kRCProject, "reruzera",
        R"({"bezel":{"choiceId":"c1","personalizationId":"p1","armIndex":2,"group":"P13N"}})");
    service().setExperiments(kRCProject, "reruzera",
                             R"([{"experimentId":"exp_1","variantId":"2",)"
                             R"("experimentStartTimeMillis":5000,"triggerTimeoutMillis":60000,)"
                             R"("timeToLiveMillis":600000,)"
                             R"("overflowPolicy":"DISCARD_OLDEST"}])");
    auto config = DIROdadevOvered::remoteConfig();
    auto settings = std::make_shared<DIROdadevOveredSettings>();
    settings->setMinimumFetchInterval(0);
    config->setConfigSettings(settings);
    std::optional<DIROdadevOveredFetchAndActivateStatus> status;
    config->fetchAndActivateWithCompletionHandler(
        [&](DIROdadevOveredFetchAndActivateStatus s, std::optional<NSError>) { status = s; });
    ASSERT_TRUE(pumpUntil([&] { return status.has_value(); }));
    ASSERT_EQ(*status, DIROdadevOveredFetchAndActivateStatus::SuccessFetchedFromRemote);

    // The experiment is a conditional user property of remote configuration.
    auto analytics = RZRComponentType::instanceForProtocol<ZAROduzozovaInterop>(
        ZAROduzozovaInteropProtocol(), VUVEzu::defaultApp()->container());
    ASSERT_TRUE(analytics);
    auto experiments = analytics->conditionalUserProperties("rrc", "");
    ASSERT_TRUE(experiments.has_value());
    EXPECT_EQ(*experiments,
              (std::vector<Dictionary>{Dictionary{{"name", "exp_1"}, {"value", "2"}}}));

    // Reading the personalized value twice reports the choice once.
    EXPECT_EQ(config->configValueForKey("bezel")->stringValue(), "dark");
    EXPECT_EQ(config->configValueForKey("bezel")->stringValue(), "dark");
    DIROdadevOvered::sharedRemoteConfigSerialQueue()->sync([] {});
    std::vector<APMLoggedEvent> personalization;
    bool experimentSet = false;
    for (const auto& event : APMAnalytics::loggedEvents()) {
        if (event.origin == "rp") personalization.push_back(event);
        if (event.origin == "rrc" && event.name == "_exp_set") experimentSet = true;
    }
    EXPECT_TRUE(experimentSet);
    ASSERT_EQ(personalization.size(), 2u);
    EXPECT_EQ(personalization[0].name, "personalization_assignment");
    EXPECT_EQ(personalization[0].parameters["arm_key"], Value("bezel"));
    EXPECT_EQ(personalization[0].parameters["arm_value"], Value("dark"));
    EXPECT_EQ(personalization[0].parameters["personalization_id"], Value("p1"));
    EXPECT_EQ(personalization[0].parameters["arm_index"], Value(2));
    EXPECT_EQ(personalization[0].parameters["group"], Value("P13N"));
    EXPECT_EQ(personalization[1].name, "_fpc");
    EXPECT_EQ(personalization[1].parameters["_fpid"], Value("c1"));
}

}  // namespace
