#include "services/remoteconfig/DIROdadevOvered.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/NSBundle.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/log/Log.h"
#include "services/remoteconfig/tests/LogLines.h"
#include "services/util/tests/TempHome.h"

namespace {

std::shared_ptr<DIROdadevOveredValue> value(const std::string& text) {
    return DIROdadevOveredValue::initWithData(Data(text.begin(), text.end()),
                                              DIROdadevOveredSource::Remote);
}

}  // namespace

TEST(DIROdadevOveredValue, TypedViewsOfTexts) {
    struct Case {
        const char* text;
        double number;
        bool boolean;
    };
    const Case cases[] = {
        {"12.5s", 12.5, true}, {"1e3", 1000, true}, {"abc", 0, false},        {"true", 0, true},
        {"YES", 0, true},      {"t", 0, true},      {"10", 10, true},         {"007", 7, true},
        {"-1", -1, true},      {"false", 0, false}, {"no", 0, false},         {"0", 0, false},
        {"00", 0, false},      {"", 0, false},      {"  +0.25", 0.25, false}, {".5", 0.5, false},
        {"1.", 1, true},       {"-", 0, false},     {"2e", 2, true},
    };
    for (const auto& c : cases) {
        auto v = value(c.text);
        EXPECT_DOUBLE_EQ(v->numberValue(), c.number) << c.text;
        EXPECT_EQ(v->boolValue(), c.boolean) << c.text;
        EXPECT_EQ(v->stringValue(), std::string(c.text));
    }
}

TEST(DIROdadevOveredValue, JSONViewAcceptsOnlyContainers) {
    EXPECT_EQ(value("[\"a\",\"b\"]")->JSONValue(), Value(Array{"a", "b"}));
    EXPECT_EQ(value("{\"x\":1}")->JSONValue(), Value(Dictionary{{"x", 1}}));

    VerboseServiceLog verbose;
    sim::LogCapture capture;
    EXPECT_FALSE(value("5")->JSONValue());
    EXPECT_FALSE(value("")->JSONValue());  // empty data is not absent data
    EXPECT_EQ(
        loggedCount(capture, "[Reruzera/RemoteConfig][I-RCN000065] Error parsing data as JSON."),
        2u);

    DIROdadevOveredValue none;
    EXPECT_FALSE(none.JSONValue());
    EXPECT_FALSE(none.stringValue());
    EXPECT_EQ(none.source(), DIROdadevOveredSource::Static);
    EXPECT_EQ(loggedCount(capture, ""), 2u);
}

TEST(DIROdadevOveredValue, BytesThatAreNotUTF8HaveNoText) {
    auto v = DIROdadevOveredValue::initWithData(Data{0xff, 0x31}, DIROdadevOveredSource::Remote);
    EXPECT_FALSE(v->stringValue());
    EXPECT_EQ(v->numberValue(), 0);
    EXPECT_FALSE(v->boolValue());
    EXPECT_EQ(v->dataValue(), (Data{0xff, 0x31}));
    auto copy = v->copy();
    v->setSource(DIROdadevOveredSource::Default);
    EXPECT_EQ(copy->source(), DIROdadevOveredSource::Remote);
}

TEST(DIROdadevOvered, LookupPrefersActiveThenDefaultThenStatic) {
    TempHome home;
    DIROdadevOvered config("lookup-app");
    config.setDefaults(Dictionary{{"muteToggleNotificationTime", 0.75},
                                  {"useBluetoothHogMode", true},
                                  {"count", 3},
                                  {"list", "[\"x\"]"}});
    EXPECT_EQ(config.configValueForKey("muteToggleNotificationTime")->stringValue(), "0.75");
    EXPECT_EQ(config.configValueForKey("useBluetoothHogMode")->stringValue(), "1");
    EXPECT_EQ(config.configValueForKey("count")->numberValue(), 3);
    EXPECT_EQ(config.configValueForKey("list")->source(), DIROdadevOveredSource::Default);

    config.activateValuesForTesting({{"count", "9"}});
    config.setDefaults(Dictionary{{"count", 4}});
    EXPECT_EQ(config.objectForKeyedSubscript("count")->numberValue(), 9);
    EXPECT_EQ(config.configValueForKey("count", DIROdadevOveredSource::Default)->numberValue(), 4);
    EXPECT_EQ(config.configValueForKey("list", DIROdadevOveredSource::Remote), nullptr);
    EXPECT_EQ(config.configValueForKey("list")->source(),
              DIROdadevOveredSource::Static);  // defaults were replaced

    auto missing = config.configValueForKey("nothing");
    EXPECT_EQ(missing->source(), DIROdadevOveredSource::Static);
    EXPECT_EQ(missing->stringValue(), "");

    config.setDefaults(std::nullopt);
    EXPECT_TRUE(config.allKeysFromSource(DIROdadevOveredSource::Default).empty());
    EXPECT_EQ(config.keysWithPrefix(""), (std::set<std::string>{"count"}));
    EXPECT_TRUE(config.keysWithPrefix("zzz").empty());
}

TEST(DIROdadevOvered, DefaultsFromTheBundleAndAFetchThatCompletesOnTheMainQueue) {
    TempHome home;
    namespace fs = std::filesystem;
    auto bundle =
        fs::temp_directory_path() / ("rc-bundle-" + std::to_string(::getpid())) / "Test.app";
    fs::create_directories(bundle / "Contents/Resources");
    std::ofstream(bundle / "Contents/Info.plist")
        << R"(<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleIdentifier</key><string>t</string></dict></plist>)";
    std::ofstream(bundle / "Contents/Resources/RemoteConfigDefaults.plist")
        << R"(<?xml version="1.0"?><plist version="1.0"><dict><key>allowedOverrides</key><string>["useBluetoothHogMode"]</string></dict></plist>)";
    sim::setMainBundlePath(bundle.string());

    auto shared = std::make_shared<DIROdadevOvered>("bundle-app");
    auto& config = *shared;
    sim::LogCapture capture;
    config.setDefaultsFromPlistFileName("Missing");
    EXPECT_EQ(loggedCount(capture,
                          "[Reruzera/RemoteConfig][I-RCN000037] The plist file 'Missing' could "
                          "not be found by Remote Config."),
              1u);
    config.setDefaultsFromPlistFileName("RemoteConfigDefaults");
    EXPECT_EQ(config.configValueForKey("allowedOverrides")->JSONValue(),
              Value(Array{"useBluetoothHogMode"}));

    bool done = false;
    config.fetchAndActivateWithCompletionHandler(
        [&](DIROdadevOveredFetchAndActivateStatus status, std::optional<NSError> error) {
            // No app to fetch for: an internal error, on the main queue.
            EXPECT_TRUE(NSThread::isMainThread());
            EXPECT_EQ(status, DIROdadevOveredFetchAndActivateStatus::Error);
            EXPECT_EQ(error.value_or(NSError()).code, 8003);
            done = true;
        });
    EXPECT_TRUE(sim::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(10)));
    sim::setMainBundlePath("");
    fs::remove_all(bundle.parent_path());
}
