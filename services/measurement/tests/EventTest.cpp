#include <gtest/gtest.h>

#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMEvent.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMParameterSanitizer.h"
#include "services/measurement/APMRemoteConfig.h"
#include "services/measurement/tests/MeasurementTempHome.h"

namespace {

bool monitorLogged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

APMValue text(const std::string& s) {
    return APMValue(APMValueTypeString, Value(s));
}

TEST(EventTest, CreationValidatesOriginAndName) {
    struct Case {
        std::string origin, name;
        bool isPublic, created;
    } cases[] = {
        {"app", "level_up", true, true},
        {"crash+tag", "level_up", true, true},
        {"", "level_up", true, false},
        {"a-b", "level_up", true, false},
        {"app", "session_start", true, false},
        {"app", "_s", false, true},
        {"app", "_s", true, false},
        {"app", "bad name", false, false},
    };
    for (const auto& c : cases) {
        auto event = APMEvent::initWithOrigin(c.origin, c.isPublic, c.name, 10, 0, {});
        EXPECT_EQ(event.has_value(), c.created) << c.origin << " " << c.name;
        if (event) {
            EXPECT_EQ(event->parameters().at("_o"), text(c.origin));
        }
    }
    APMMeasurement::monitor().clearLines();
    EXPECT_TRUE(APMEvent::initWithOrigin("app", false, "e", 1, 2, {}));
    EXPECT_TRUE(monitorLogged(16002));
}

TEST(EventTest, ProtoRoundTrip) {
    Array items{Value(Dictionary{{"price", 1.5}, {"item_id", "a"}}),
                Value(Dictionary{{"quantity", 2}})};
    auto event = APMEvent::initWithOrigin(
        "app", true, "purchase", 1.0015, 0,
        {{"items", Value(items)}, {"n", Value(3)}, {"s", Value("\xF0\x9F\x98\x80")}});
    ASSERT_TRUE(event);
    auto proto = event->protoEvent();
    EXPECT_EQ(APMPBGetInt64(proto.get(), 2), 1001);
    EXPECT_FALSE(APMPBHasField(proto.get(), 3));
    auto params = *APMPBGetArray(proto.get(), 0, APMPBEventParam::classObject());
    bool sawItems = false;
    for (const auto& object : params) {
        if (APMPBGetString(object.message().get(), 0) != "items") continue;
        sawItems = true;
        auto nested = *APMPBGetArray(object.message().get(), 5, APMPBEventParam::classObject());
        ASSERT_EQ(nested.size(), 2u);
        EXPECT_EQ(
            APMPBGetArray(nested[0].message().get(), 5, APMPBEventParam::classObject())->size(),
            2u);
    }
    EXPECT_TRUE(sawItems);

    auto back = APMEvent::initWithEventProto(*proto);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name(), "purchase");
    EXPECT_EQ(back->origin(), "app");
    EXPECT_DOUBLE_EQ(back->timestamp(), 1.001);
    EXPECT_EQ(back->parameters().at("n"), APMValue::initWithInt64(3));
    EXPECT_EQ(back->parameters().at("s"), text("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(back->parameters().count("items"));  // nested parameters are not read back

    auto withPrevious = event->copyWithPreviousTimestamp(0.5);
    EXPECT_EQ(APMPBGetInt64(withPrevious->protoEvent().get(), 3), 500);

    auto badOrigin = APMPBEvent::make();
    APMPBSetString(badOrigin.get(), 1, Value("e"));
    auto o = APMPBEventParam::make();
    APMPBSetString(o.get(), 0, Value("_o"));
    APMPBSetInt64(o.get(), 2, 1);
    APMPBSetArray(badOrigin.get(), 0, std::vector<APMPBObject>{o});
    EXPECT_FALSE(APMEvent::initWithEventProto(*badOrigin));
}

TEST(EventTest, ConversionFlagKeepsErrorBookkeeping) {
    auto event = APMEvent::initWithOrigin(
        "app", false, "purchase", 1, 0,
        {{"_c", Value(1)}, {"value", Value(9.99)}, {"currency", Value("USD")}});
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->isConversion());
    event->setConversion(false);
    EXPECT_FALSE(event->isConversion());
    EXPECT_EQ(event->parameters().at("_err"), APMValue::initWithInt64(10));
    event->setConversion(true);
    EXPECT_TRUE(event->isConversion());
    EXPECT_FALSE(event->parameters().count("_err"));

    // Invalid currency: the conversion flag is dropped at creation.
    auto invalid = APMEvent::initWithOrigin("app", false, "purchase", 1, 0,
                                            {{"_c", Value(1)}, {"value", Value(9.99)}});
    EXPECT_FALSE(invalid->isConversion());
    EXPECT_EQ(invalid->parameters().at("_err"), APMValue::initWithInt64(19));
}

TEST(EventTest, FlagsAndScreenParameters) {
    auto event = *APMEvent::initWithOrigin("app", false, "e", 1, 0, {{"_r", Value("x")}});
    APMMeasurement::monitor().clearLines();
    EXPECT_FALSE(event.isRealtime());
    EXPECT_TRUE(monitorLogged(16006));
    event.setRealtime(true);
    event.setDebug(true);
    EXPECT_TRUE(event.isRealtime());
    EXPECT_TRUE(event.isDebug());
    event.setDebug(false);
    EXPECT_FALSE(event.parameters().count("_dbg"));

    EXPECT_FALSE(event.addScreenParameters({{"_sn", Value("main")}}));  // no "_si"
    EXPECT_FALSE(event.addScreenParameters({{"_si", Value("1")}}));     // not a number
    EXPECT_FALSE(event.addScreenParameters({{"_si", Value(1)}, {"_sc", Value("")}}));
    EXPECT_TRUE(event.addScreenParameters({{"_si", Value(7)}, {"_sc", Value("Main")}}));
    EXPECT_EQ(event.parameters().at("_si"), APMValue::initWithInt64(7));
    EXPECT_FALSE(event.addScreenParameters({{"_si", Value(8)}}));  // already there

    event.applyParameters({{"extra", Value(1)}, {"_si", Value(99)}});
    EXPECT_EQ(event.parameters().at("extra"), APMValue::initWithInt64(1));
    EXPECT_EQ(event.parameters().at("_si"), APMValue::initWithInt64(7));  // the event's own wins
}

TEST(EventTest, EditEventRoundTripUsesPublicNames) {
    auto event = *APMEvent::initWithOrigin("auto", false, "_vs", 5, 0, {{"p", Value(1)}});
    auto edit = event.editEvent();
    EXPECT_EQ(edit.name, "screen_view");
    EXPECT_EQ(edit.parameters["p"], Value(1LL));
    auto back = APMEvent::eventFromEditEvent(edit);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name(), "_vs");
    EXPECT_EQ(back->origin(), "auto");
    edit.parameters.remove("_o");
    EXPECT_EQ(APMEvent::eventFromEditEvent(edit)->origin(), "app");
}

TEST(EventTest, UserAttributes) {
    EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "", text("v"), 1));
    EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "level", text(std::string(37, 'x')), 1));
    auto fot = APMUserAttribute::initWithOrigin("auto", "_fot", APMValue::initWithInt64(5), 1.25);
    ASSERT_TRUE(fot);
    EXPECT_FALSE(fot->isPublic());
    auto level = APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithDouble(2.5), 2);
    EXPECT_TRUE(level->isPublic());
    auto proto = fot->protoUserAttribute();
    EXPECT_EQ(APMPBGetInt64(proto.get(), 3), 5);
    EXPECT_EQ(APMPBGetInt64(proto.get(), 0), 1250);
    EXPECT_EQ(APMPBGetString(proto.get(), 1), "_fot");
    EXPECT_EQ(APMPBGetDouble(level->protoUserAttribute().get(), 5), 2.5);
}

// With the configured limit at 100, an event of 60 custom parameters keeps
// all of them however it is rebuilt: copied, from its message, read back.
TEST(EventTest, ConfiguredCustomParameterLimitHoldsWhenRebuilt) {
    MeasurementTempHome home;
    auto database = APMDatabase::initWithDatabaseName("limit.sql", nullptr);
    ASSERT_TRUE(database);
    auto config = APMRemoteConfig::initWithAppID("1:123:ios:abc", database.get());
    ASSERT_TRUE(config);
    auto settings = APMPBMeasurementConfig::make();
    APMPBSetString(settings.get(), 1, Value("1:123:ios:abc"));
    std::vector<APMPBObject> list;
    for (auto [key, value] : {std::pair{"measurement.upload.configurable_limits_enabled", "1"},
                              std::pair{"measurement.upload.max_public_event_params", "100"}}) {
        auto setting = APMPBSetting::make();
        APMPBSetString(setting.get(), 0, Value(key));
        APMPBSetString(setting.get(), 1, Value(value));
        list.emplace_back(setting);
    }
    APMPBSetArray(settings.get(), 3, list);
    config->parseRemoteConfigFromMeasurementConfig(*settings);
    APMRemoteConfig::setEngineInstance(config);
    ASSERT_EQ(APMMeasurement::remoteConfig()->maxPublicEventParams(), 100);

    APMRawParameters sixty;
    for (int i = 0; i < 60; ++i) sixty.emplace("p" + std::to_string(i), Value(i));
    auto event = APMEvent::initWithOrigin("app", true, "level_up", 10, 0, sixty, 100);
    ASSERT_TRUE(event);
    ASSERT_TRUE(database->insertRawEvent(*event, 7, false));
    auto readBack = database->rawEventsWithMetadataFingerprint(
        7, nullptr, [](size_t, const Dictionary&) { return true; });
    ASSERT_TRUE(readBack && readBack->size() == 1);
    auto encoded = event->encodedProtoEvent();
    ASSERT_TRUE(encoded);

    const std::vector<std::pair<const char*, std::optional<APMEvent>>> rebuilt{
        {"copy", event->copy()},
        {"copy with previous timestamp", event->copyWithPreviousTimestamp(5)},
        {"copy with parameters", event->copyWithParameters(sixty)},
        {"from its message", APMEvent::initWithEventProto(*event->protoEvent())},
        {"raw event read back", readBack->front().rawEvent()},
        {"stored event of a property", APMDatabase::eventFromData(Value(*encoded))},
    };
    for (const auto& [how, copy] : rebuilt) {
        ASSERT_TRUE(copy) << how;
        EXPECT_EQ(APMCountCustomParameters(copy->parameters(), false), 60) << how;
        EXPECT_FALSE(copy->parameters().count("_err")) << how;
    }
    APMRemoteConfig::setEngineInstance(nullptr);
}

}  // namespace
