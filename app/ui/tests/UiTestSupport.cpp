#include "app/ui/tests/UiTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "services/analytics/APMAnalytics.h"

namespace uitest {

TemporaryHome::TemporaryHome(const std::string& prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ =
        std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(::getpid()) + "-" +
                                                  info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    override_ = std::make_unique<sim::ScopedHomeOverride>(path_.string());
}

TemporaryHome::~TemporaryHome() {
    override_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::size_t eventCount(const std::string& name) {
    std::size_t count = 0;
    for (const auto& event : APMAnalytics::loggedEvents())
        if (event.name == name) ++count;
    return count;
}

std::optional<std::string> lastEventParameter(const std::string& name,
                                              const std::string& parameter) {
    std::optional<std::string> found;
    for (const auto& event : APMAnalytics::loggedEvents()) {
        if (event.name != name) continue;
        const Value* value = event.parameters.find(parameter);
        found = value ? value->asString() : std::nullopt;
    }
    return found;
}

}  // namespace uitest
