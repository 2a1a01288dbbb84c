#include "platform/appkit/AppKit.h"

#include <mutex>

#include "platform/bundle/NSBundle.h"
#include "platform/notifications/NSNotificationCenter.h"

namespace {

std::mutex& mutex() {
    static std::mutex m;
    return m;
}

std::vector<std::shared_ptr<NSScreen>> defaultScreens() {
    return {std::make_shared<NSScreen>("Built-in Retina Display", NSRect{{0, 0}, {1512, 982}})};
}

struct State {
    std::vector<std::shared_ptr<NSScreen>> screens = defaultScreens();
    std::vector<sim::ShownAlert> alerts;
    std::function<NSModalResponse(NSAlert&)> responder;
    std::vector<std::string> openedURLs;
    std::vector<std::string> launched;
    bool failNextLaunch = false;
};

State& state() {
    static auto* s = new State();
    return *s;
}

}  // namespace

std::shared_ptr<NSApplication> NSApplication::sharedApplication() {
    static const auto application = std::make_shared<NSApplication>();
    return application;
}

std::vector<std::shared_ptr<NSScreen>> NSScreen::screens() {
    std::lock_guard lock(mutex());
    return state().screens;
}

std::shared_ptr<NSScreen> NSScreen::mainScreen() {
    auto all = screens();
    return all.empty() ? nullptr : all.front();
}

NSModalResponse NSAlert::runModal() {
    std::function<NSModalResponse(NSAlert&)> responder;
    {
        std::lock_guard lock(mutex());
        state().alerts.push_back(
            {messageText_, informativeText_, buttons_, style_, showsHelp_, !delegate_.expired()});
        responder = state().responder;
    }
    if (responder) return responder(*this);
    return NSAlertFirstButtonReturn;
}

std::shared_ptr<NSWorkspace> NSWorkspace::sharedWorkspace() {
    static const auto workspace = std::make_shared<NSWorkspace>();
    return workspace;
}

bool NSWorkspace::openURL(const std::string& url) {
    std::lock_guard lock(mutex());
    state().openedURLs.push_back(url);
    return true;
}

bool NSWorkspace::launchApplication(const std::string& appName) {
    std::lock_guard lock(mutex());
    if (state().failNextLaunch) {
        state().failNextLaunch = false;
        return false;
    }
    state().launched.push_back(appName);
    return true;
}

std::shared_ptr<NSImage> NSImage::imageNamed(const std::string& name) {
    auto bundle = NSBundle::mainBundle();
    for (const char* type : {"png", "pdf", "tiff"})
        if (bundle->pathForResource(name, type)) return std::make_shared<NSImage>(name);
    return nullptr;
}

namespace sim {

void Screens::set(const std::vector<std::pair<std::string, NSRect>>& screens) {
    {
        std::lock_guard lock(mutex());
        state().screens.clear();
        for (const auto& [name, frame] : screens)
            state().screens.push_back(std::make_shared<NSScreen>(name, frame));
    }
    NSNotificationCenter::defaultCenter()->postNotificationName(
        NSApplicationDidChangeScreenParametersNotification, nullptr);
}

void Screens::reset() {
    std::lock_guard lock(mutex());
    state().screens = defaultScreens();
}

std::vector<ShownAlert> Alerts::shown() {
    std::lock_guard lock(mutex());
    return state().alerts;
}

void Alerts::clear() {
    std::lock_guard lock(mutex());
    state().alerts.clear();
}

void Alerts::setResponder(std::function<NSModalResponse(NSAlert&)> responder) {
    std::lock_guard lock(mutex());
    state().responder = std::move(responder);
}

void Alerts::resetResponder() {
    setResponder(nullptr);
}

std::vector<std::string> Workspace::openedURLs() {
    std::lock_guard lock(mutex());
    return state().openedURLs;
}

std::vector<std::string> Workspace::launchedApplications() {
    std::lock_guard lock(mutex());
    return state().launched;
}

void Workspace::failNextLaunch() {
    std::lock_guard lock(mutex());
    state().failNextLaunch = true;
}

void Workspace::clear() {
    std::lock_guard lock(mutex());
    state().openedURLs.clear();
    state().launched.clear();
    state().failNextLaunch = false;
}

}  // namespace sim
