#include <gtest/gtest.h>

#include "platform/dispatch/Clock.h"
#include "services/experiments/APMEManager.h"
#include "services/experiments/APMESDKProperty.h"
#include "services/experiments/APMESnapshot.h"
#include "services/measurement/APMExtensions.h"

namespace {

APMPBFlagRef flag(const std::string& name, const Value& value) {
    return APMPBFlagCreate(Value(name), value);
}

std::shared_ptr<APMEExperiment> experiment(long long id, std::vector<APMPBFlagRef> flags) {
    return APMEExperiment::initWithExperimentID(Value(id), flags);
}

bool logged(long long code) {
    for (const auto& line : APMEManager::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

// Wire bytes of a Snapshot: a name and experiments given as (id or none,
// flag name, integer value).
struct WireExperiment {
    std::optional<int> id;
    std::string flag;
    int value;
};
Data snapshotBytes(const std::string& name, const std::vector<WireExperiment>& experiments) {
    Data out;
    auto bytes = [](Data& d, int tag, const Data& payload) {
        d.push_back(static_cast<std::uint8_t>(tag));
        d.push_back(static_cast<std::uint8_t>(payload.size()));
        d.insert(d.end(), payload.begin(), payload.end());
    };
    bytes(out, 0x0a, Data(name.begin(), name.end()));
    for (const auto& e : experiments) {
        Data f;
        bytes(f, 0x0a, Data(e.flag.begin(), e.flag.end()));
        f.push_back(0x10);
        f.push_back(static_cast<std::uint8_t>(e.value));
        Data x;
        if (e.id) {
            x.push_back(0x08);
            x.push_back(static_cast<std::uint8_t>(*e.id));
        }
        bytes(x, 0x12, f);
        bytes(out, 0x12, x);
    }
    return out;
}

class ExperimentSnapshotTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::useVirtualClock();
        APMEManager::monitor().clearLines();
    }
    void TearDown() override {
        APMESDKProperty::setAppInstanceIDProvider(nullptr);
        sim::useRealClock();
    }
};

TEST_F(ExperimentSnapshotTest, ConvertsFromMessages) {
    struct Case {
        const char* label;
        std::string name;
        std::vector<WireExperiment> experiments;
        bool valid;
        std::map<std::int64_t, std::pair<std::string, long long>> expected;
    };
    const std::vector<Case> cases = {
        {"no experiments", "app_measurement", {}, true, {}},
        {"empty name refused", "", {{17, "a", 1}}, false, {}},
        {"missing id is launched", "sdk", {{std::nullopt, "a", 3}}, true, {{0, {"a", 3}}}},
        {"later duplicate id wins", "sdk", {{5, "a", 1}, {5, "b", 2}}, true, {{5, {"b", 2}}}},
        {"several",
         "sdk",
         {{0, "l", 1}, {17, "x", 2}, {23, "y", 4}},
         true,
         {{0, {"l", 1}}, {17, {"x", 2}}, {23, {"y", 4}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        APMEManager::monitor().clearLines();
        auto message = APMPBSnapshot::initWithBuffer(snapshotBytes(c.name, c.experiments));
        ASSERT_NE(message, nullptr);
        auto snapshot = APMESnapshot::initWithProtobuf(message.get());
        ASSERT_EQ(snapshot != nullptr, c.valid);
        if (!snapshot) {
            EXPECT_TRUE(logged(840000));
            continue;
        }
        EXPECT_EQ(snapshot->SDKName(), c.name);
        EXPECT_EQ(snapshot->timestamp(), sim::wallClockSeconds());
        std::map<std::int64_t, std::pair<std::string, long long>> got;
        for (const auto& e : snapshot->experiments()) {
            ASSERT_EQ(e->flags().size(), 1u);
            auto f = e->flags()[0];
            got[e->experimentID()] = {*APMPBGetString(f.get(), kAPMPBFlagName),
                                      *APMPBFlagGetValue(f.get()).asInt()};
        }
        EXPECT_EQ(got, c.expected);

        // And back: the message decodes to the same snapshot.
        auto again = APMESnapshot::initWithProtobuf(snapshot->proto().get());
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->experiments().size(), c.expected.size());
        for (const auto& [id, f] : c.expected) {
            auto found = again->flagByName(f.first);
            ASSERT_NE(found, nullptr);
            EXPECT_EQ(APMPBFlagGetValue(found.get()), Value(f.second));
        }
    }
}

TEST_F(ExperimentSnapshotTest, RefusesInvalidParts) {
    struct Case {
        const char* label;
        std::function<bool()> attempt;  // true when it was refused
        long long code;
    };
    const std::vector<Case> cases = {
        {"snapshot without list",
         [] { return !APMESnapshot::initWithSDKName(Value("s"), std::nullopt); }, 840001},
        {"snapshot with a null experiment",
         [] {
             return !APMESnapshot::initWithSDKName(
                 Value("s"), std::vector<std::shared_ptr<APMEExperiment>>{nullptr});
         },
         840002},
        {"snapshot name not a string",
         [] { return !APMESnapshot::initWithSDKName(Value(3), {{}}); }, 840000},
        {"experiment without id",
         [] { return !APMEExperiment::initWithExperimentID(Value(), {{}}); }, 870000},
        {"experiment id not a number",
         [] { return !APMEExperiment::initWithExperimentID(Value("7"), {{}}); }, 870001},
        {"experiment without flags",
         [] { return !APMEExperiment::initWithExperimentID(Value(7), std::nullopt); }, 870002},
        {"experiment with a null flag",
         [] {
             return !APMEExperiment::initWithExperimentID(Value(7),
                                                          std::vector<APMPBFlagRef>{nullptr});
         },
         870003},
        {"flag without a name",
         [] {
             auto e = experiment(7, {});
             e->addFlag(APMPBFlag::make());
             return e->flags().empty();
         },
         870006},
        {"flag lookup with an empty name",
         [] { return experiment(7, {flag("a", Value(1))})->flagWithName("") == nullptr; }, 870007},
        {"snapshot flag without id",
         [] {
             auto s = APMESnapshot::initWithSDKName(Value("s"), {{}});
             s->addFlag(flag("a", Value(1)), std::nullopt);
             return s->experiments().empty();
         },
         840003},
        {"null flag into snapshot",
         [] {
             auto s = APMESnapshot::initWithSDKName(Value("s"), {{}});
             s->addFlag(nullptr, 4);
             return s->experiments().empty();
         },
         840004},
        {"property name not a string",
         [] { return APMESDKProperty::initWithName(Value(5)) == nullptr; }, 860000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        APMEManager::monitor().clearLines();
        EXPECT_TRUE(c.attempt());
        EXPECT_TRUE(logged(c.code));
    }
}

TEST_F(ExperimentSnapshotTest, AddsFlagsToExistingOrNewExperiments) {
    auto snapshot = APMESnapshot::initWithSDKName(Value("sdk"), {{experiment(3, {})}});
    ASSERT_NE(snapshot, nullptr);
    snapshot->addFlags({flag("a", Value(1)), flag("b", Value("two"))}, 3);
    snapshot->addFlag(flag("c", Value(2.5)), 9);
    auto experiments = snapshot->experiments();
    ASSERT_EQ(experiments.size(), 2u);
    EXPECT_EQ(experiments[0]->flags().size(), 2u);
    EXPECT_EQ(experiments[1]->experimentID(), 9);
    EXPECT_EQ(APMPBFlagGetValue(snapshot->flagByName("b").get()), Value("two"));
    EXPECT_EQ(APMPBFlagGetValue(snapshot->flagByName("c").get()), Value(2.5));
    EXPECT_EQ(snapshot->flagByName("missing"), nullptr);
}

TEST_F(ExperimentSnapshotTest, CopyIsNewAndNotManuallyActivated) {
    auto snapshot = APMESnapshot::initWithSDKName(Value("sdk"), {{experiment(3, {flag("a", 1)})}});
    snapshot->setManuallyActivated(true);
    sim::advanceClock(sim::seconds(60));
    auto copy = snapshot->copy();
    EXPECT_EQ(copy->timestamp(), snapshot->timestamp() + 60);
    EXPECT_FALSE(copy->manuallyActivated());
    // The copy's experiments are its own.
    copy->addFlag(flag("b", 2), 3);
    EXPECT_EQ(snapshot->flagByName("b"), nullptr);
    EXPECT_NE(copy->flagByName("b"), nullptr);
}

class DynamicProperties : public APMESDKPropertyDelegate {
  public:
    std::map<std::string, std::string> dynamicCustomPropertiesForSDKProperty(
        const APMESDKProperty&) override {
        return {{"tier", "gold"}, {"extra", "1"}};
    }
};

TEST_F(ExperimentSnapshotTest, ClientPropertyHashesTheDiversionSource) {
    struct Case {
        const char* label;
        std::optional<std::string> diversionKey;
        std::optional<std::string> appInstanceID;
        std::optional<std::string> hashedSource;  // none: no property
    };
    const std::vector<Case> cases = {
        {"diversion key", "K", "instance", "K-app_measurement"},
        {"app instance id", std::nullopt, "instance", "instance-app_measurement"},
        {"neither", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        APMEManager::monitor().clearLines();
        APMESDKProperty::setAppInstanceIDProvider([id = c.appInstanceID] { return id; });
        auto property = APMESDKProperty::initWithName(Value("app_measurement"));
        property->diversionKey = c.diversionKey;
        property->version = 42;
        property->appID = "1:app";
        auto message = property->proto();
        ASSERT_EQ(message != nullptr, c.hashedSource.has_value());
        if (!message) {
            EXPECT_TRUE(logged(860001));
            continue;
        }
        EXPECT_EQ(APMPBGetString(message.get(), kAPMPBClientPropertyHashedDiversionKey),
                  apm_MD5String(*c.hashedSource));
        EXPECT_EQ(APMPBGetString(message.get(), kAPMPBClientPropertySDKName),
                  std::optional<std::string>("app_measurement"));
        EXPECT_EQ(APMPBGetInt64(message.get(), kAPMPBClientPropertyVersion), 42);
        EXPECT_EQ(APMPBGetString(message.get(), kAPMPBClientPropertyAppID),
                  std::optional<std::string>("1:app"));
        EXPECT_TRUE(APMPBGetArray(message.get(), kAPMPBClientPropertyCustomProperties,
                                  APMPBCustomProperty::classObject())
                        ->empty());
    }
}

TEST_F(ExperimentSnapshotTest, DynamicCustomPropertiesReplaceStaticOnes) {
    auto property = APMESDKProperty::initWithName(Value("sdk"));
    property->diversionKey = "K";
    property->customProperties = std::map<std::string, std::string>{{"tier", "free"}, {"a", "b"}};
    auto delegate = std::make_shared<DynamicProperties>();
    property->delegate = delegate;
    auto message = property->proto();
    auto entries = *APMPBGetArray(message.get(), kAPMPBClientPropertyCustomProperties,
                                  APMPBCustomProperty::classObject());
    std::map<std::string, std::string> got;
    for (const auto& e : entries) {
        got[*APMPBGetString(e.message().get(), 0)] = *APMPBGetString(e.message().get(), 1);
    }
    EXPECT_EQ(got,
              (std::map<std::string, std::string>{{"tier", "gold"}, {"a", "b"}, {"extra", "1"}}));
}

}  // namespace
