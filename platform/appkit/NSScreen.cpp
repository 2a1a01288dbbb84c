#include "platform/appkit/NSScreen.h"

#include <mutex>

#include "platform/notifications/NSNotificationCenter.h"

namespace {

std::mutex& mutex() {
    static std::mutex m;
    return m;
}

std::vector<std::shared_ptr<NSScreen>> defaultScreens() {
    return {std::make_shared<NSScreen>("Built-in Retina Display", NSRect{{0, 0}, {1512, 982}})};
}

std::vector<std::shared_ptr<NSScreen>>& current() {
    static auto* screens = new std::vector<std::shared_ptr<NSScreen>>(defaultScreens());
    return *screens;
}

}  // namespace

std::vector<std::shared_ptr<NSScreen>> NSScreen::screens() {
    std::lock_guard lock(mutex());
    return current();
}

std::shared_ptr<NSScreen> NSScreen::mainScreen() {
    auto all = screens();
    return all.empty() ? nullptr : all.front();
}

namespace sim {

void Screens::set(const std::vector<std::pair<std::string, NSRect>>& screens) {
    {
        std::lock_guard lock(mutex());
        current().clear();
        for (const auto& [name, frame] : screens)
            current().push_back(std::make_shared<NSScreen>(name, frame));
    }
    NSNotificationCenter::defaultCenter()->postNotificationName(
        NSApplicationDidChangeScreenParametersNotification, nullptr);
}

void Screens::reset() {
    std::lock_guard lock(mutex());
    current() = defaultScreens();
}

}  // namespace sim
