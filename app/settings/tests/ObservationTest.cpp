#include "app/settings/DefaultsObservation.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "app/settings/tests/SettingsTestSupport.h"

namespace {

using Observation = SettingsTest;
using Defaults::ObservationOption;

struct Owner : NSObject {};

}  // namespace

TEST_F(Observation, OptionsDecideWhichRecordsArrive) {
    Defaults::Key<std::int64_t> key("pushToTalk", 0, suite_);
    struct Case {
        Defaults::ObservationOptions options;
        std::vector<bool> priorFlags;  // of the records after one write
        bool initialRecord;
    };
    const Case cases[] = {
        {{ObservationOption::initial}, {false}, true},
        {{ObservationOption::prior}, {true, false}, false},
        {{ObservationOption::initial, ObservationOption::prior}, {false}, true},
        {{}, {false}, false},
    };
    for (const auto& c : cases) {
        std::vector<Defaults::KeyChange<std::int64_t>> records;
        auto handle = Defaults::observe<std::int64_t>(
            key, [&](const auto& change) { records.push_back(change); }, c.options);
        ASSERT_EQ(records.size(), c.initialRecord ? 1u : 0u);
        if (c.initialRecord) {
            EXPECT_EQ(records[0].newValue, Defaults::get(key));
            EXPECT_EQ(records[0].oldValue, 0);  // none, shown as the default
        }
        records.clear();
        Defaults::set(key, Defaults::get(key) + 1);
        ASSERT_EQ(records.size(), c.priorFlags.size());
        for (std::size_t i = 0; i < records.size(); ++i)
            EXPECT_EQ(records[i].isPrior, c.priorFlags[i]);
        EXPECT_EQ(records.back().newValue, Defaults::get(key));
        EXPECT_EQ(records.back().oldValue, Defaults::get(key) - 1);
    }
}

TEST_F(Observation, UndecodableStoredTextShowsAsTheDefault) {
    Defaults::Key<Fruit> key("fruit", Fruit::pear, suite_);
    std::vector<Defaults::KeyChange<Fruit>> records;
    auto handle =
        Defaults::observe<Fruit>(key, [&](const auto& change) { records.push_back(change); }, {});
    suite_->setObject(Value("not json"), "fruit");
    suite_->setObject(Value("\"apple\""), "fruit");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].newValue, Fruit::pear);
    EXPECT_EQ(records[1].newValue, Fruit::apple);
}

TEST_F(Observation, WithoutPropagationSilencesOnlyItsOwnThreadAndRestoresTheFlag) {
    Defaults::Key<bool> key("k", false, suite_);
    int calls = 0;
    auto handle = Defaults::observe<bool>(key, [&](const auto&) { ++calls; }, {});

    Defaults::withoutPropagation([&] {
        Defaults::set(key, true);
        Defaults::withoutPropagation([] {});
        Defaults::set(key, false);  // still silenced after the nested use
        std::thread other([&] { Defaults::set(key, true); });
        other.join();
    });
    EXPECT_EQ(calls, 1);  // only the other thread's write
    Defaults::set(key, false);
    EXPECT_EQ(calls, 2);

    EXPECT_THROW(Defaults::withoutPropagation([] { throw std::runtime_error("boom"); }),
                 std::runtime_error);
    EXPECT_FALSE(Defaults::isPropagationSuspended());
}

TEST_F(Observation, ReleasingOrInvalidatingTheHandleStopsCallbacks) {
    Defaults::Key<bool> key("k", false, suite_);
    int calls = 0;
    auto handle = Defaults::observe<bool>(key, [&](const auto&) { ++calls; }, {});
    Defaults::set(key, true);
    handle.reset();
    Defaults::set(key, false);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(suite_->observerCount("k"), 0u);

    auto second = Defaults::observe<bool>(key, [&](const auto&) { ++calls; }, {});
    second->invalidate();
    second->invalidate();
    Defaults::set(key, true);
    EXPECT_EQ(calls, 1);
}

TEST_F(Observation, CompositeObservationCallsOncePerWriteOfAnyKey) {
    Defaults::Key<bool> a("a", false, suite_);
    Defaults::Key<std::int64_t> b("b", 0, suite_);
    int calls = 0;
    auto handle = Defaults::observe({&a, &b}, [&] { ++calls; }, {});
    Defaults::set(a, true);
    Defaults::set(b, std::int64_t{3});
    suite_->setBool(true, "unrelated");
    EXPECT_EQ(calls, 2);
    handle.reset();
    EXPECT_EQ(suite_->observerCount("a") + suite_->observerCount("b"), 0u);

    auto none = Defaults::observe(std::vector<const Defaults::Keys*>{}, [&] { ++calls; });
    Defaults::set(a, false);
    EXPECT_EQ(calls, 2);
}

TEST_F(Observation, TiedObservationLivesUntilItsOwnerGoes) {
    Defaults::Key<bool> key("k", false, suite_);
    int calls = 0;
    auto owner = std::make_shared<Owner>();
    {
        auto handle = Defaults::observe<bool>(key, [&](const auto&) { ++calls; }, {});
        handle->tieToLifetime(owner);
    }
    Defaults::set(key, true);
    EXPECT_EQ(calls, 1);
    owner.reset();
    Defaults::set(key, false);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(suite_->observerCount("k"), 0u);
}

TEST_F(Observation, CancellingATieLeavesTheOtherTrackersAlone) {
    Defaults::Key<bool> key("k", false, suite_);
    auto owner = std::make_shared<Owner>();
    int first = 0, second = 0;
    auto one = Defaults::observe<bool>(key, [&](const auto&) { ++first; }, {});
    auto two = Defaults::observe<bool>(key, [&](const auto&) { ++second; }, {});
    one->tieToLifetime(owner);
    two->tieToLifetime(owner);
    EXPECT_EQ(LifetimeAssociation::trackers(*owner).size(), 2u);

    one->invalidate();
    EXPECT_EQ(LifetimeAssociation::trackers(*owner).size(), 1u);
    two->removeLifetimeTie();
    EXPECT_TRUE(LifetimeAssociation::trackers(*owner).empty());

    owner.reset();  // no handler left to run
    Defaults::set(key, true);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);  // untied, still running while its handle lives
}

TEST_F(Observation, ASecondTieMovesTheObservationToTheNewOwner) {
    Defaults::Key<bool> key("k", false, suite_);
    int calls = 0;
    auto first = std::make_shared<Owner>();
    auto second = std::make_shared<Owner>();
    {
        auto handle = Defaults::observe<bool>(key, [&](const auto&) { ++calls; }, {});
        handle->tieToLifetime(first);
        handle->tieToLifetime(second);
    }
    EXPECT_TRUE(LifetimeAssociation::trackers(*first).empty());
    first.reset();
    Defaults::set(key, true);
    EXPECT_EQ(calls, 1);
    second.reset();
    Defaults::set(key, false);
    EXPECT_EQ(calls, 1);
}
