#include "app/ui/AuxiliaryWindows.h"

#include <algorithm>
#include <cmath>

#include "app/settings/AppSettings.h"
#include "app/ui/AboutView.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/OnboardingView.h"
#include "app/ui/PreferencesView.h"
#include "app/ui/ProductLinks.h"
#include "app/ui/Theme.h"
#include "platform/appkit/NSApplication.h"
#include "platform/swiftui/NSHostingView.h"
#include "services/analytics/ZAROduzozova.h"

namespace {

using K = Defaults::Keys;

constexpr NSWindowStyleMask closableStyle =
    NSWindowStyleMaskTitled | NSWindowStyleMaskClosable | NSWindowStyleMaskFullSizeContentView;
constexpr NSWindowStyleMask onboardingStyle =
    NSWindowStyleMaskTitled | NSWindowStyleMaskFullSizeContentView;

void logScreenView(const char* name) {
    ZAROduzozova::logEventWithName("screen_view", Dictionary{{"screen_class", Value("NSWindow")},
                                                             {"screen_name", Value(name)}});
}

void bringToFront(NSWindow& window) {
    window.makeKeyAndOrderFront(nullptr);
    NSApplication::sharedApplication()->activateIgnoringOtherApps(true);
}

std::shared_ptr<NSWindow> makeWindow(const View& content, NSSize size, NSWindowStyleMask style,
                                     const std::string& title, const char* autosaveName,
                                     bool growToContent) {
    auto host = std::make_shared<NSHostingView>(content);
    // The preferences page is taller than its window's nominal size: the
    // window grows to the page's own size, as the framework's hosting
    // windows do, so that no section is cut off.
    if (growToContent) {
        const NSSize fitting = host->fittingSize();
        size = {std::max(size.width, std::ceil(fitting.width)),
                std::max(size.height, std::ceil(fitting.height))};
    }
    auto window = std::make_shared<NSWindow>(NSRect{{0, 0}, size}, style,
                                             NSBackingStoreType::buffered, false);
    window->setReleasedWhenClosed(false);
    window->setTitle(title);
    window->setCollectionBehavior(NSWindowCollectionBehaviorCanJoinAllSpaces);
    window->setLevel(NSFloatingWindowLevel);
    window->center();
    window->setFrameAutosaveName(autosaveName);
    window->setContentView(host);
    return window;
}

}  // namespace

Class PreferencesWindowDelegate::runtimeClass() {
    static Class cls = ClassBuilder<PreferencesWindowDelegate>("Lumbrel.PreferencesWindowDelegate")
                           .method("windowWillClose:", &PreferencesWindowDelegate::windowWillClose)
                           .conformsTo(NSWindow::delegateProtocol())
                           .registerClass();
    return cls;
}

PreferencesWindowDelegate::PreferencesWindowDelegate(std::weak_ptr<AuxiliaryWindows> windows)
    : RuntimeObject(runtimeClass()), windows_(std::move(windows)) {}

void PreferencesWindowDelegate::windowWillClose(const id&) {
    if (auto windows = windows_.lock()) windows->preferencesWindowWillClose();
}

Class AboutWindowDelegate::runtimeClass() {
    static Class cls = ClassBuilder<AboutWindowDelegate>("Lumbrel.AboutWindowDelegate")
                           .method("windowWillClose:", &AboutWindowDelegate::windowWillClose)
                           .conformsTo(NSWindow::delegateProtocol())
                           .registerClass();
    return cls;
}

AboutWindowDelegate::AboutWindowDelegate(std::weak_ptr<AuxiliaryWindows> windows)
    : RuntimeObject(runtimeClass()), windows_(std::move(windows)) {}

void AboutWindowDelegate::windowWillClose(const id&) {
    if (auto windows = windows_.lock()) windows->aboutWindowWillClose();
}

// ---------------------------------------------------------------------------

AuxiliaryWindows::~AuxiliaryWindows() {
    for (const auto& window : {preferencesWindow_, aboutWindow_}) {
        if (!window) continue;
        window->setDelegate(nullptr);
        window->orderOut(nullptr);
    }
}

void AuxiliaryWindows::openPreferencesWindow() {
    logScreenView("Preferences");
    if (isPreferencesWindowOpen_ && preferencesWindow_) {
        bringToFront(*preferencesWindow_);
        return;
    }
    preferencesWindow_ = makeWindow(
        View(PreferencesView()), preferencesSize, closableStyle,
        localizedTemplate("window.preferences", AppDelegate::sharedAppName()), "Main Window", true);
    preferencesWindowDelegate_ = std::make_shared<PreferencesWindowDelegate>(weak_from_this());
    preferencesWindow_->setDelegate(preferencesWindowDelegate_);
    bringToFront(*preferencesWindow_);
    preferencesWindow_->makeFirstResponder(nullptr);
    isPreferencesWindowOpen_ = true;
}

void AuxiliaryWindows::openAboutWindow() {
    logScreenView("About");
    if (isAboutWindowOpen_ && aboutWindow_) {
        bringToFront(*aboutWindow_);
        return;
    }
    aboutWindow_ = makeWindow(View(AboutView()), aboutSize, closableStyle,
                              localizedTemplate("about.AppName", AppDelegate::sharedAppName()),
                              "About", false);
    aboutWindowDelegate_ = std::make_shared<AboutWindowDelegate>(weak_from_this());
    aboutWindow_->setDelegate(aboutWindowDelegate_);
    bringToFront(*aboutWindow_);
    isAboutWindowOpen_ = true;
}

void AuxiliaryWindows::openOnboardingWindow(std::function<void()> finished) {
    // The earlier window has no close button, and its slot is about to go
    // to the new one: left open, nothing could close it.
    if (auto earlier = onboardingWindow(); earlier && earlier->isVisible()) earlier->close();
    onboardingFinished_ = std::move(finished);
    auto host = std::make_shared<NSHostingView>(View(OnboardingView()));
    auto window =
        std::make_shared<NSWindow>(NSRect{{0, 0}, {onboardingWindowWidth, onboardingWindowHeight}},
                                   onboardingStyle, NSBackingStoreType::buffered, false);
    onboardingWindow() = window;

    // Only the window in the slot finishes: an earlier window's observation
    // (kept until the next opening) stays quiet.
    std::weak_ptr<AuxiliaryWindows> weak = weak_from_this();
    std::weak_ptr<NSWindow> weakWindow = window;
    onboardingObservation_ = Defaults::observe<bool>(
        K::hasCompletedOnboarding(), [weak, weakWindow](const Defaults::KeyChange<bool>& change) {
            if (!change.newValue) return;
            auto self = weak.lock();
            auto mine = weakWindow.lock();
            if (self && mine && mine == onboardingWindow()) self->finishOnboarding();
        });
    if (onboardingWindow() != window) return;  // finished at once: already completed

    window->setTitle("Welcome to " + AppDelegate::sharedAppName() + "!");
    window->setReleasedWhenClosed(true);
    window->setCollectionBehavior(NSWindowCollectionBehaviorCanJoinAllSpaces);
    window->setLevel(NSFloatingWindowLevel);
    window->setFrameAutosaveName("Onboarding Window");

    // Top right of its screen, 60 points from the right edge.
    auto screen = window->screen();
    if (!screen) screen = NSScreen::mainScreen();
    if (screen) {
        NSRect s = screen->frame();
        NSSize size = window->frame().size;
        window->setFrame({{NSMaxX(s) - size.width - 60, NSMaxY(s) - size.height}, size}, true,
                         true);
    }
    window->setContentView(host);
    bringToFront(*window);
}

bool AuxiliaryWindows::isOnboardingWindowOpen() const {
    const auto& window = onboardingWindow();
    return window && window->isVisible();
}

void AuxiliaryWindows::finishOnboarding() {
    // The slot lets the window go, as a window released when closed does.
    auto window = std::move(onboardingWindow());
    onboardingWindow().reset();
    if (window) window->close();
    if (auto finished = onboardingFinished_) finished();
}

void AuxiliaryWindows::closeAuxiliaryWindows() {
    if (aboutWindow_) aboutWindow_->close();
    if (preferencesWindow_) preferencesWindow_->close();
}
