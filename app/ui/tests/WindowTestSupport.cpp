#include "app/ui/tests/WindowTestSupport.h"

#include <unistd.h>

#include "app/ui/Theme.h"
#include "platform/appkit/AppKit.h"
#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/input/Keyboard.h"
#include "platform/log/Log.h"
#include "services/analytics/APMAnalytics.h"
#include "services/analytics/ZAROduzozova.h"
#include "services/analytics/ZAROduzozovaTesting.h"

namespace windowtest {

void WindowsTest::SetUp() {
    home_ = std::make_unique<uitest::TemporaryHome>("lumbrel-windows");
    sim::setLogEcho(false);
    sim::setMainBundlePath(LUMBREL_BUNDLE);
    sim::useVirtualClock();
    NSUserDefaults::resetForTesting();
    sim::configureDefaultAppForAnalytics();  // analytics takes events from a configured app
    APMAnalytics::clearLoggedEventsForTesting();
    ZAROduzozova::setAnalyticsCollectionEnabled(true);
    sim::Application::reset();
    sim::Windows::reset();
    sim::Screens::set({{"Built-in", {{0, 0}, {1440, 900}}}});
    sim::Workspace::clear();
    sim::Keyboard::reset();
    sim::ViewImages::reset();
    sim::clearOperatingSystemVersion();
    onboardingWindow().reset();
}

void WindowsTest::TearDown() {
    settle();
    onboardingWindow().reset();
    sim::Windows::reset();
    sim::Application::reset();
    sim::Screens::reset();
    settle();
    sim::clearMainBundlePath();
    sim::clearOperatingSystemVersion();
    NSUserDefaults::resetForTesting();
    APMAnalytics::waitForPendingWorkForTesting();  // the engine writes into this home
    home_.reset();
}

void WindowsTest::settle() {
    sim::MainLoop::runUntilIdle();
}

std::shared_ptr<NSHostingView> WindowsTest::host(const View& view, NSSize size) {
    auto h = std::make_shared<NSHostingView>(view);
    h->setFrame({{0, 0}, size});
    return h;
}

std::size_t WindowsTest::eventCount(const std::string& name) {
    return uitest::eventCount(name);
}

std::optional<std::string> WindowsTest::lastEventParameter(const std::string& name,
                                                           const std::string& parameter) {
    return uitest::lastEventParameter(name, parameter);
}

std::vector<std::string> WindowsTest::openedURLs() {
    return sim::Workspace::openedURLs();
}

RenderNode* up(RenderNode* node, const std::string& kind) {
    for (auto* n = node; n; n = n->parent())
        if (n->kind() == kind) return n;
    return nullptr;
}

}  // namespace windowtest
