#include "app/settings/tests/SettingsTestSupport.h"

#include <unistd.h>

#include "platform/bundle/Home.h"

void SettingsTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    home_ = std::filesystem::temp_directory_path() /
            ("lumbrel-settings-" + std::to_string(::getpid()) + "-" + info->test_suite_name() +
             "-" + info->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    sim::setHomeOverride(home_.string());
    NSUserDefaults::resetForTesting();
    suiteName_ = std::string("com.example.") + info->test_suite_name() + "." + info->name();
    suite_ = NSUserDefaults::initWithSuiteName(suiteName_);
}

void SettingsTest::TearDown() {
    suite_.reset();
    NSUserDefaults::resetForTesting();
    sim::clearHomeOverride();
    std::filesystem::remove_all(home_);
}
