#include "app/ui/MicStatusWindow.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "app/mute/LocalizedText.h"
#include "app/mute/MuteEventSource.h"
#include "app/settings/AppSettings.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/MicStatusView.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/Timer.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/swiftui/NSHostingView.h"
#include "services/analytics/ZAROduzozova.h"

namespace {

using K = Defaults::Keys;

constexpr NSWindowStyleMask statusWindowStyle =
    NSWindowStyleMaskClosable | NSWindowStyleMaskResizable | NSWindowStyleMaskNonactivatingPanel |
    NSWindowStyleMaskFullSizeContentView;
constexpr double cornerMargin = 60;

bool contains(NSRect outer, NSRect inner) {
    return NSMinX(inner) >= NSMinX(outer) && NSMaxX(inner) <= NSMaxX(outer) &&
           NSMinY(inner) >= NSMinY(outer) && NSMaxY(inner) <= NSMaxY(outer);
}

// The window's screen; a window that lies on no screen (its display was
// removed, or its saved frame came from one) is brought back to the main one.
std::shared_ptr<NSScreen> screenFor(const NSWindow& window) {
    if (auto screen = window.screen()) return screen;
    return NSScreen::mainScreen();
}

}  // namespace

// ---------------------------------------------------------------------------

Class MicStatusWindow::runtimeClass() {
    static Class cls =
        ClassBuilder<MicStatusWindow>("Lumbrel.MicStatusWindow", NSPanel::runtimeClass())
            .method("mouseDragged:", [](MicStatusWindow& w,
                                        const std::shared_ptr<NSEvent>& e) { w.mouseDragged(e); })
            .method("mouseUp:",
                    [](MicStatusWindow& w, const std::shared_ptr<NSEvent>& e) { w.mouseUp(e); })
            .registerClass();
    return cls;
}

MicStatusWindow::MicStatusWindow(NSRect contentRect, NSWindowStyleMask styleMask,
                                 NSBackingStoreType backing, bool defer)
    : NSPanel(contentRect, styleMask, backing, defer, runtimeClass()) {}

void MicStatusWindow::mouseDragged(const std::shared_ptr<NSEvent>& event) {
    if (auto controller = controller_.lock(); controller && event) controller->mouseDragged(*event);
}

void MicStatusWindow::mouseUp(const std::shared_ptr<NSEvent>&) {
    if (auto controller = controller_.lock()) controller->mouseUp();
}

Class MicStatusWindowDelegate::runtimeClass() {
    static Class cls =
        ClassBuilder<MicStatusWindowDelegate>("Lumbrel.MicStatusWindowDelegate")
            .method("windowWillClose:", &MicStatusWindowDelegate::windowWillClose)
            .method("windowDidEndLiveResize:", &MicStatusWindowDelegate::windowDidEndLiveResize)
            .conformsTo(NSWindow::delegateProtocol())
            .registerClass();
    return cls;
}

MicStatusWindowDelegate::MicStatusWindowDelegate(
    std::weak_ptr<MicStatusWindowController> controller)
    : RuntimeObject(runtimeClass()), controller_(std::move(controller)) {}

void MicStatusWindowDelegate::windowWillClose(const id&) {
    if (auto controller = controller_.lock()) controller->windowWillClose();
}

void MicStatusWindowDelegate::windowDidEndLiveResize(const id& window) {
    auto controller = controller_.lock();
    auto panel = std::dynamic_pointer_cast<NSWindow>(window);
    if (controller && panel) controller->windowDidEndLiveResize(*panel);
}

// ---------------------------------------------------------------------------

MicStatusWindowController::MicStatusWindowController(MicStatusWindowActions actions)
    : actions_(std::move(actions)) {}

MicStatusWindowController::~MicStatusWindowController() {
    if (screenObserver_) NSNotificationCenter::defaultCenter()->removeObserver(screenObserver_);
    // Going away is no closing by the user: showStatusWindow stays as it is.
    if (statusWindow_) {
        statusWindow_->setDelegate(nullptr);
        statusWindow_->orderOut(nullptr);
    }
}

void MicStatusWindowController::toggleMicStatusWindow() {
    ZAROduzozova::logEventWithName(
        "screen_view",
        Dictionary{{"screen_class", Value("NSWindow")}, {"screen_name", Value("Status Window")}});
    if (isStatusWindowOpen_) {
        if (statusWindow_) statusWindow_->close();
        return;
    }
    open();
}

void MicStatusWindowController::open() {
    std::weak_ptr<MicStatusWindowController> weak = weak_from_this();
    if (!Defaults::get(K::hasShownStatusWindowOnboardingText())) {
        helpTextTimer_ = Timer::scheduledTimer(
            helpTextDelay, false, std::function<void()>([weak] {
                Defaults::set(K::hasShownStatusWindowOnboardingText(), true);
                auto followUp = Timer::scheduledTimer(
                    helpTextAnimationDelay, false, std::function<void()>([] {
                        Defaults::set(K::statusWindowHelpTextAnimation(), false);
                    }));
                if (auto self = weak.lock()) self->helpTextTimer_ = followUp;
            }));
    }

    showStatusWindowObservation_ = Defaults::observe<bool>(
        K::showStatusWindow(), [weak](const Defaults::KeyChange<bool>& change) {
            if (change.oldValue == change.newValue) return;
            auto self = weak.lock();
            if (self && self->actions_.refreshStatusMenu) self->actions_.refreshStatusMenu();
        });

    const double w = statusWindowBaseWidth;
    const double h = statusWindowBaseHeight;
    auto host = std::make_shared<NSHostingView>(View(MicStatusView())
                                                    .frame(FlexibleFrame{.minWidth = w * 0.75,
                                                                         .idealWidth = w * 2.5,
                                                                         .maxWidth = w * 3,
                                                                         .minHeight = h * 0.75,
                                                                         .idealHeight = h * 2.5,
                                                                         .maxHeight = h * 3}));

    Defaults::set(K::showStatusWindow(), true);

    auto panel = std::make_shared<MicStatusWindow>(NSRect{{0, 0}, {w, h}}, statusWindowStyle,
                                                   NSBackingStoreType::buffered, false);
    panel->setController(weak);
    statusWindow_ = panel;

    panel->setReleasedWhenClosed(false);
    panel->setTitle(
        fillPlaceholders(localizedText("Lumbrel Status", ""), {AppDelegate::sharedAppName()}));
    panel->setCollectionBehavior(NSWindowCollectionBehaviorCanJoinAllSpaces);
    panel->setLevel(NSFloatingWindowLevel);
    panel->center();
    panel->setOpaque(false);
    panel->setAlphaValue(0.98);
    panel->setBackgroundColor(NSColor::clearColor());
    panel->setFrameAutosaveName("micStatus");
    panel->setContentView(host);
    panel->setMovable(true);
    panel->setMovableByWindowBackground(true);
    panel->setContentAspectRatio({w, h});
    panel->setTitleVisibility(NSWindowTitleVisibility::hidden);
    panel->setTitlebarAppearsTransparent(true);
    statusWindowDelegate_ = std::make_shared<MicStatusWindowDelegate>(weak);
    panel->setDelegate(statusWindowDelegate_);

    if (!Defaults::get(K::hasOpenedMicStatusWindow())) {
        placeInDefaultCorner();
        Defaults::set(K::hasOpenedMicStatusWindow(), true);
    }

    panel->makeKeyAndOrderFront(nullptr);
    NSApplication::sharedApplication()->activateIgnoringOtherApps(true);
    isStatusWindowOpen_ = true;

    auto screen = panel->screen();
    if (!screen || !contains(screen->frame(), panel->frame())) placeInDefaultCorner();
}

// Bottom right of the window's screen: 60 points from its right edge, as
// high above its bottom edge as the window is tall.
void MicStatusWindowController::placeInDefaultCorner() {
    if (!statusWindow_) return;
    auto screen = screenFor(*statusWindow_);
    if (!screen) return;
    NSRect s = screen->frame();
    NSSize size = statusWindow_->frame().size;
    statusWindow_->setFrame(
        {{NSMaxX(s) - size.width - cornerMargin, NSMinY(s) + size.height}, size}, true, false);
}

void MicStatusWindowController::observeScreenParameterChanges() {
    if (screenObserver_) return;
    std::weak_ptr<MicStatusWindowController> weak = weak_from_this();
    screenObserver_ = NSNotificationCenter::defaultCenter()->addObserverForName(
        NSApplicationDidChangeScreenParametersNotification, nullptr, DispatchQueue::main(),
        [weak](const NSNotification&) {
            if (auto self = weak.lock()) self->keepStatusWindowOnScreen();
        });
}

void MicStatusWindowController::keepStatusWindowOnScreen() {
    if (!statusWindow_) return;
    auto screen = screenFor(*statusWindow_);
    if (!screen) return;
    NSRect s = screen->frame();
    NSRect frame = statusWindow_->frame();
    if (contains(s, frame)) return;
    const double midX = NSMinX(s) + s.size.width / 2;
    const double midY = NSMinY(s) + s.size.height / 2;
    double x = NSMinX(frame) > midX ? NSMaxX(s) - frame.size.width - cornerMargin
                                    : NSMinX(s) + std::max(0.0, frame.size.width - 120);
    double y = NSMinY(frame) > midY ? NSMaxY(s) - (frame.size.height + cornerMargin)
                                    : NSMinY(s) + frame.size.height;
    statusWindow_->setFrame({{x, y}, frame.size}, true, true);
}

void MicStatusWindowController::mouseDragged(const NSEvent& event) {
    if (event.deltaX() > 1.0 || event.deltaX() < -1.0 || event.deltaY() > 1.0 ||
        event.deltaY() < -1.0)
        isDraggingStatusWindow_ = true;
}

void MicStatusWindowController::mouseUp() {
    const auto mode = Defaults::get(K::pushToTalk());
    if (mode != 1 && mode != 2 && !isDraggingStatusWindow_) {
        const bool muted = Defaults::get(K::devicesMuted());
        if (actions_.setMuted) actions_.setMuted(!muted);
        logMicMute(MuteEventSource::statusWindow);
    }
    if (isDraggingStatusWindow_) keepStatusWindowOnScreen();
    isDraggingStatusWindow_ = false;
}

void MicStatusWindowController::windowWillClose() {
    Defaults::set(K::showStatusWindow(), false);
    isStatusWindowOpen_ = false;
    isDraggingStatusWindow_ = false;
}

void MicStatusWindowController::windowDidEndLiveResize(const NSWindow& window) {
    const NSSize size = window.frame().size;
    const char* compared = size.width > statusWindowBaseWidth   ? "Larger"
                           : size.width < statusWindowBaseWidth ? "Smaller"
                                                                : "Same";
    ZAROduzozova::logEventWithName(
        "resize_status_window",
        Dictionary{
            {"compared_to_original", Value(compared)},
            {"height", Value(std::to_string(static_cast<long long>(std::trunc(size.height))))},
            {"width", Value(std::to_string(static_cast<long long>(std::trunc(size.width))))}});
}
