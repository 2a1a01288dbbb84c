#include "platform/appkit/NSWindow.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>

#include "platform/appkit/NSApplication.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/notifications/NSNotificationCenter.h"

namespace {

struct WindowState {
    std::vector<NSWindow*> live;                      // creation order
    std::vector<std::shared_ptr<NSWindow>> onScreen;  // front to back
    std::weak_ptr<NSWindow> key;
    std::atomic<bool> active{false};
    long nextNumber = 1;
};

WindowState& state() {
    static auto* s = new WindowState;
    return *s;
}

std::shared_ptr<NSWindow> lockWindow(NSWindow* window) {
    return std::static_pointer_cast<NSWindow>(window->weak_from_this().lock());
}

bool hasTitleBar(NSWindowStyleMask mask) {
    return (mask & NSWindowStyleMaskTitled) != 0;
}

double intersectionArea(NSRect a, NSRect b) {
    double w = std::min(NSMaxX(a), NSMaxX(b)) - std::max(NSMinX(a), NSMinX(b));
    double h = std::min(NSMaxY(a), NSMaxY(b)) - std::max(NSMinY(a), NSMinY(b));
    return w > 0 && h > 0 ? w * h : 0;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

double eventTime() {
    return sim::toSeconds(sim::Clock::now().time_since_epoch());
}

Protocol* makeDelegateProtocol() {
    if (auto* existing = objc_getProtocol("NSWindowDelegate")) return existing;
    Protocol* protocol = objc_allocateProtocol("NSWindowDelegate");
    if (!protocol) return objc_getProtocol("NSWindowDelegate");
    if (auto* base = objc_getProtocol("NSObject")) protocol_addProtocol(protocol, base);
    for (const char* selector :
         {"windowWillClose:", "windowDidMove:", "windowDidResize:", "windowDidBecomeKey:",
          "windowDidResignKey:", "windowWillStartLiveResize:", "windowDidEndLiveResize:"})
        protocol_addMethodDescription(protocol, selector, "v@:@", false, true);
    protocol_addMethodDescription(protocol, "windowShouldClose:", "B@:@", false, true);
    objc_registerProtocol(protocol);
    return protocol;
}

}  // namespace

struct NSWindowAccess {
    static void liveResize(NSWindow& window, NSSize frameSize) {
        NSRect content = window.contentRectForFrameRect({window.frame_.origin, frameSize});
        NSSize size = window.constrainedContentSize(content.size);
        NSRect target = window.frameRectForContentRect({{0, 0}, size});
        double top = NSMaxY(window.frame_);
        target.origin = {window.frame_.origin.x, top - target.size.height};
        window.inLiveResize_ = true;
        window.post(NSWindowWillStartLiveResizeNotification);
        window.messageDelegate("windowWillStartLiveResize:");
        window.setFrame(target, true);
        window.inLiveResize_ = false;
        window.post(NSWindowDidEndLiveResizeNotification);
        window.messageDelegate("windowDidEndLiveResize:");
    }
};

Class NSWindow::runtimeClass() {
    static Class cls =
        ClassBuilder<NSWindow>("NSWindow", NSResponder::runtimeClass())
            .method("close", &NSWindow::close)
            .method("performClose:", [](NSWindow& w, const id& sender) { w.performClose(sender); })
            .method("orderOut:", &NSWindow::orderOut)
            .method("makeKeyAndOrderFront:", &NSWindow::makeKeyAndOrderFront)
            .method("title", [](NSWindow& w) { return w.title(); })
            .method("isVisible", &NSWindow::isVisible)
            .method("mouseDown:",
                    [](NSWindow& w, const std::shared_ptr<NSEvent>& e) { w.mouseDown(e); })
            .method("mouseDragged:",
                    [](NSWindow& w, const std::shared_ptr<NSEvent>& e) { w.mouseDragged(e); })
            .method("mouseUp:",
                    [](NSWindow& w, const std::shared_ptr<NSEvent>& e) { w.mouseUp(e); })
            .registerClass();
    return cls;
}

Protocol* NSWindow::delegateProtocol() {
    static Protocol* protocol = makeDelegateProtocol();
    return protocol;
}

NSWindow::NSWindow(NSRect contentRect, NSWindowStyleMask styleMask, NSBackingStoreType backing,
                   bool, Class cls)
    : NSResponder(cls),
      windowNumber_(state().nextNumber++),
      styleMask_(styleMask),
      backing_(backing),
      frame_(frameRectForContentRect(contentRect, styleMask)) {
    state().live.push_back(this);
}

NSWindow::~NSWindow() {
    auto& live = state().live;
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
}

NSRect NSWindow::frameRectForContentRect(NSRect contentRect, NSWindowStyleMask styleMask) {
    if (hasTitleBar(styleMask)) contentRect.size.height += titleBarHeight;
    return contentRect;
}

NSRect NSWindow::contentRectForFrameRect(NSRect frameRect, NSWindowStyleMask styleMask) {
    if (hasTitleBar(styleMask))
        frameRect.size.height = std::max(0.0, frameRect.size.height - titleBarHeight);
    return frameRect;
}

std::string NSWindow::frameDefaultsKey(const std::string& name) {
    return "NSWindow Frame " + name;
}

void NSWindow::removeFrameUsingName(const std::string& name) {
    NSUserDefaults::standardUserDefaults()->removeObjectForKey(frameDefaultsKey(name));
}

void NSWindow::post(const char* name) {
    NSNotificationCenter::defaultCenter()->postNotificationName(name, weak_from_this().lock());
}

std::optional<std::any> NSWindow::messageDelegate(SEL selector) {
    auto target = std::dynamic_pointer_cast<RuntimeObject>(delegate());
    if (!target || !target->respondsToSelector(selector)) return std::nullopt;
    return objc_msgSendv(target.get(), selector,
                         Arguments{runtime_box(id(weak_from_this().lock()))});
}

void NSWindow::setFrame(NSRect frame, bool, bool) {
    NSRect old = frame_;
    frame_ = frame;
    notifyFrameChange(old);
}

void NSWindow::setFrameOrigin(NSPoint origin) {
    setFrame({origin, frame_.size}, true);
}

void NSWindow::setFrameTopLeftPoint(NSPoint topLeft) {
    setFrameOrigin({topLeft.x, topLeft.y - frame_.size.height});
}

void NSWindow::setContentSize(NSSize size) {
    NSRect frame = frameRectForContentRect({{0, 0}, size});
    setFrame({{frame_.origin.x, NSMaxY(frame_) - frame.size.height}, frame.size}, true);
}

void NSWindow::notifyFrameChange(NSRect old) {
    if (old.size != frame_.size) layoutContentView();
    if (old.origin != frame_.origin) {
        post(NSWindowDidMoveNotification);
        messageDelegate("windowDidMove:");
    }
    if (old.size != frame_.size) {
        post(NSWindowDidResizeNotification);
        messageDelegate("windowDidResize:");
    }
    if (old != frame_ && !autosaveName_.empty()) saveFrameUsingName(autosaveName_);
}

void NSWindow::center() {
    auto target = screen();
    if (!target) target = NSScreen::mainScreen();
    if (!target) return;
    NSRect area = target->visibleFrame();
    double freeHeight = area.size.height - frame_.size.height;
    setFrameOrigin({area.origin.x + (area.size.width - frame_.size.width) / 2,
                    area.origin.y + freeHeight * 2 / 3});
}

std::shared_ptr<NSScreen> NSWindow::screen() const {
    std::shared_ptr<NSScreen> best;
    double bestArea = 0;
    for (const auto& candidate : NSScreen::screens()) {
        double area = intersectionArea(frame_, candidate->frame());
        if (area > bestArea) {
            bestArea = area;
            best = candidate;
        }
    }
    return best;
}

bool NSWindow::setFrameAutosaveName(const std::string& name) {
    if (!name.empty()) {
        for (NSWindow* other : state().live) {
            if (other != this && !other->closed_ && !other->released_ &&
                other->autosaveName_ == name)
                return false;
        }
    }
    autosaveName_ = name;
    if (name.empty()) return true;
    if (!setFrameUsingName(name)) saveFrameUsingName(name);
    return true;
}

void NSWindow::saveFrameUsingName(const std::string& name) const {
    if (name.empty()) return;
    NSRect screenFrame;
    if (auto s = screen()) screenFrame = s->frame();
    std::string text;
    for (double v : {frame_.origin.x, frame_.origin.y, frame_.size.width, frame_.size.height,
                     screenFrame.origin.x, screenFrame.origin.y, screenFrame.size.width,
                     screenFrame.size.height})
        text += number(v) + " ";
    NSUserDefaults::standardUserDefaults()->setObject(Value(text), frameDefaultsKey(name));
}

bool NSWindow::setFrameUsingName(const std::string& name) {
    auto saved = NSUserDefaults::standardUserDefaults()->stringForKey(frameDefaultsKey(name));
    if (!saved) return false;
    std::istringstream in(*saved);
    double x, y, w, h;
    if (!(in >> x >> y >> w >> h) || w < 0 || h < 0) return false;
    setFrame({{x, y}, {w, h}}, true);
    return true;
}

void NSWindow::layoutContentView() {
    if (!contentView_) return;
    NSRect area = (styleMask_ & NSWindowStyleMaskFullSizeContentView)
                      ? NSRect{{0, 0}, frame_.size}
                      : NSRect{{0, 0}, contentRectForFrameRect(frame_).size};
    contentView_->setFrame(area);
}

void NSWindow::setContentView(const std::shared_ptr<NSView>& view) {
    if (contentView_ == view) return;
    if (contentView_) {
        contentView_->setNextResponder(nullptr);
        contentView_->setWindow(nullptr);
    }
    contentView_ = view;
    if (!view) return;
    view->removeFromSuperview();
    view->setAutoresizingMask(NSViewWidthSizable | NSViewHeightSizable);
    layoutContentView();
    auto self = std::static_pointer_cast<NSWindow>(shared_from_this());
    view->setNextResponder(self);
    view->setWindow(self);
}

NSSize NSWindow::constrainedContentSize(NSSize proposed) const {
    NSSize lo = contentMinSize_;
    NSSize hi = contentMaxSize_;
    NSRect minContent = contentRectForFrameRect({{0, 0}, minSize_});
    NSRect maxContent = contentRectForFrameRect({{0, 0}, maxSize_});
    lo.width = std::max(lo.width, minContent.size.width);
    lo.height = std::max(lo.height, minContent.size.height);
    hi.width = std::min(hi.width, maxContent.size.width);
    hi.height = std::min(hi.height, maxContent.size.height);
    if (contentView_) {
        NSSize viewMin = contentView_->minimumContentSize();
        NSSize viewMax = contentView_->maximumContentSize();
        lo.width = std::max(lo.width, viewMin.width);
        lo.height = std::max(lo.height, viewMin.height);
        hi.width = std::min(hi.width, viewMax.width);
        hi.height = std::min(hi.height, viewMax.height);
    }
    NSSize size = proposed;
    size.width = std::clamp(size.width, lo.width, std::max(lo.width, hi.width));
    if (contentAspectRatio_.width > 0 && contentAspectRatio_.height > 0) {
        double ratio = contentAspectRatio_.height / contentAspectRatio_.width;
        size.height = size.width * ratio;
        if (size.height < lo.height) {
            size.height = lo.height;
            size.width = size.height / ratio;
        } else if (size.height > hi.height) {
            size.height = hi.height;
            size.width = size.height / ratio;
        }
    } else {
        size.height = std::clamp(size.height, lo.height, std::max(lo.height, hi.height));
    }
    return size;
}

bool NSWindow::isKeyWindow() const {
    return state().key.lock().get() == this;
}

bool NSWindow::canBecomeKeyWindow() const {
    return (styleMask_ & (NSWindowStyleMaskTitled | NSWindowStyleMaskResizable)) != 0;
}

void NSWindow::orderFront(const id&) {
    if (released_) return;
    auto self = lockWindow(this);
    auto& screen = state().onScreen;
    screen.erase(std::remove(screen.begin(), screen.end(), self), screen.end());
    // Above every visible window of its level or lower.
    auto position = std::find_if(screen.begin(), screen.end(),
                                 [&](const auto& other) { return other->level() <= level_; });
    screen.insert(position, self);
    visible_ = true;
    closed_ = false;
}

void NSWindow::makeKeyWindow() {
    if (released_ || !canBecomeKeyWindow()) return;
    auto& s = state();
    auto old = s.key.lock();
    if (old.get() == this) return;
    s.key = lockWindow(this);
    if (old) {
        old->post(NSWindowDidResignKeyNotification);
        old->messageDelegate("windowDidResignKey:");
    }
    post(NSWindowDidBecomeKeyNotification);
    messageDelegate("windowDidBecomeKey:");
}

void NSWindow::makeKeyAndOrderFront(const id& sender) {
    orderFront(sender);
    makeKeyWindow();
}

void NSWindow::orderOut(const id&) {
    auto& s = state();
    if (s.key.lock().get() == this) s.key.reset();
    auto self = lockWindow(this);
    visible_ = false;
    s.onScreen.erase(std::remove(s.onScreen.begin(), s.onScreen.end(), self), s.onScreen.end());
}

void NSWindow::close() {
    if (closed_ || released_) return;
    auto self = lockWindow(this);  // alive until the end of the close
    closed_ = true;
    post(NSWindowWillCloseNotification);
    messageDelegate("windowWillClose:");
    // The view being edited hears that it lost the focus: a control in the
    // middle of an edit puts things back as when the user clicks away.
    makeFirstResponder(nullptr);
    orderOut(nullptr);
    if (releasedWhenClosed_) {
        released_ = true;
        setContentView(nullptr);
    }
}

bool NSWindow::performClose(const id&) {
    if (!(styleMask_ & NSWindowStyleMaskClosable)) {
        NSBeep();
        return false;
    }
    if (auto answer = messageDelegate("windowShouldClose:");
        answer && answer->has_value() && !runtime_cast<bool>(*answer))
        return false;
    close();
    return true;
}

std::shared_ptr<NSResponder> NSWindow::firstResponder() const {
    if (auto responder = firstResponder_.lock()) return responder;
    return std::static_pointer_cast<NSResponder>(
        std::const_pointer_cast<NSObject>(shared_from_this()));
}

bool NSWindow::makeFirstResponder(const std::shared_ptr<NSResponder>& responder) {
    auto current = firstResponder_.lock();
    auto target = responder.get() == this ? nullptr : responder;
    if (current == target) return true;
    if (current && !current->resignFirstResponder()) return false;
    firstResponder_.reset();
    if (target && target->becomeFirstResponder()) {
        firstResponder_ = target;
        return true;
    }
    return !target;
}

void NSWindow::sendEvent(const std::shared_ptr<NSEvent>& event) {
    if (!event) return;
    auto self = lockWindow(this);
    switch (event->type()) {
        case NSEventType::leftMouseDown: {
            std::shared_ptr<NSView> hit;
            if (contentView_) hit = contentView_->hitTest(event->locationInWindow());
            bool onView = hit && hit != contentView_ && hit->acceptsFirstResponder();
            bool inTitleBar = hasTitleBar(styleMask_) &&
                              event->locationInWindow().y >= frame_.size.height - titleBarHeight;
            mouseOnView_ = onView;
            dragMovesWindow_ = !onView && movable_ && (movableByBackground_ || inTitleBar);
            if (onView) {
                makeFirstResponder(hit);
                mouseTarget_ = hit;
                hit->mouseDown(event);
            } else {
                mouseTarget_.reset();
                mouseDown(event);
            }
            break;
        }
        case NSEventType::leftMouseDragged: {
            if (dragMovesWindow_)
                setFrameOrigin(
                    {frame_.origin.x + event->deltaX(), frame_.origin.y - event->deltaY()});
            auto target = mouseTarget_.lock();
            if (mouseOnView_ && target)
                target->mouseDragged(event);
            else
                mouseDragged(event);
            break;
        }
        case NSEventType::leftMouseUp: {
            auto target = mouseTarget_.lock();
            bool onView = mouseOnView_;
            mouseOnView_ = false;
            dragMovesWindow_ = false;
            mouseTarget_.reset();
            if (onView && target)
                target->mouseUp(event);
            else
                mouseUp(event);
            break;
        }
        case NSEventType::rightMouseDown:
            rightMouseDown(event);
            break;
        case NSEventType::rightMouseUp:
            rightMouseUp(event);
            break;
        case NSEventType::keyDown:
            if (contentView_ && firstResponder()->performKeyEquivalent(event)) break;
            firstResponder()->keyDown(event);
            break;
        case NSEventType::keyUp:
            firstResponder()->keyUp(event);
            break;
        case NSEventType::flagsChanged:
            firstResponder()->flagsChanged(event);
            break;
        default:
            break;
    }
}

Class NSPanel::runtimeClass() {
    static Class cls = ClassBuilder<NSPanel>("NSPanel", NSWindow::runtimeClass()).registerClass();
    return cls;
}

NSPanel::NSPanel(NSRect contentRect, NSWindowStyleMask styleMask, NSBackingStoreType backing,
                 bool defer, Class cls)
    : NSWindow(contentRect, styleMask, backing, defer, cls) {
    setReleasedWhenClosed(false);
}

std::vector<std::shared_ptr<NSWindow>> NSApplication::windows() const {
    std::vector<std::shared_ptr<NSWindow>> result;
    for (NSWindow* window : state().live) {
        if (window->isReleased()) continue;
        if (auto strong = lockWindow(window)) result.push_back(strong);
    }
    return result;
}

std::shared_ptr<NSWindow> NSApplication::keyWindow() const {
    return state().key.lock();
}

void NSApplication::activateIgnoringOtherApps(bool) {
    if (state().active.exchange(true)) return;
    NSNotificationCenter::defaultCenter()->postNotificationName(
        NSApplicationDidBecomeActiveNotification, weak_from_this().lock());
}

bool NSApplication::isActive() const {
    return state().active;
}

namespace sim {

void Application::deactivate() {
    auto application = NSApplication::sharedApplication();
    if (!state().active) return;
    auto center = NSNotificationCenter::defaultCenter();
    center->postNotificationName(NSApplicationWillResignActiveNotification, application);
    state().active = false;
    center->postNotificationName(NSApplicationDidResignActiveNotification, application);
}

std::vector<std::shared_ptr<NSWindow>> Windows::all() {
    return NSApplication::sharedApplication()->windows();
}

std::vector<std::shared_ptr<NSWindow>> Windows::visible() {
    return state().onScreen;
}

std::vector<std::string> Windows::visibleTitles() {
    std::vector<std::string> titles;
    for (const auto& window : state().onScreen) titles.push_back(window->title());
    return titles;
}

std::shared_ptr<NSWindow> Windows::find(const std::string& title) {
    for (const auto& window : state().onScreen)
        if (window->title() == title) return window;
    for (const auto& window : all())
        if (window->title() == title) return window;
    return nullptr;
}

namespace {
// The last mouse position, for the drag deltas.
NSPoint& lastMouse() {
    static NSPoint point;
    return point;
}

void sendMouse(NSWindow& window, NSEventType type, NSPoint screenPoint) {
    NSPoint previous = lastMouse();
    lastMouse() = screenPoint;
    NSPoint inWindow{screenPoint.x - window.frame().origin.x,
                     screenPoint.y - window.frame().origin.y};
    double dx = type == NSEventType::leftMouseDragged ? screenPoint.x - previous.x : 0;
    double dy = type == NSEventType::leftMouseDragged ? previous.y - screenPoint.y : 0;
    window.sendEvent(NSEvent::mouseEvent(type, inWindow, 0, eventTime(), window.windowNumber(),
                                         type == NSEventType::leftMouseDragged ? 0 : 1, dx, dy));
}
}  // namespace

void Windows::mouseDown(NSWindow& window, NSPoint screenPoint) {
    sendMouse(window, NSEventType::leftMouseDown, screenPoint);
}

void Windows::mouseDragged(NSWindow& window, NSPoint screenPoint) {
    sendMouse(window, NSEventType::leftMouseDragged, screenPoint);
}

void Windows::mouseUp(NSWindow& window, NSPoint screenPoint) {
    sendMouse(window, NSEventType::leftMouseUp, screenPoint);
}

void Windows::drag(NSWindow& window, NSPoint from, NSPoint to, int steps) {
    steps = std::max(1, steps);
    mouseDown(window, from);
    for (int i = 1; i <= steps; ++i) {
        double t = static_cast<double>(i) / steps;
        mouseDragged(window, {from.x + (to.x - from.x) * t, from.y + (to.y - from.y) * t});
    }
    mouseUp(window, to);
}

void Windows::click(NSWindow& window, NSPoint screenPoint) {
    mouseDown(window, screenPoint);
    mouseUp(window, screenPoint);
}

NSSize Windows::resize(NSWindow& window, NSSize frameSize) {
    NSWindowAccess::liveResize(window, frameSize);
    return window.frame().size;
}

bool Windows::clickCloseButton(NSWindow& window) {
    return window.performClose(nullptr);
}

void Windows::reset() {
    auto& s = state();
    for (const auto& window : std::vector(s.onScreen)) window->orderOut(nullptr);
    s.onScreen.clear();
    s.key.reset();
    s.active = false;
}

}  // namespace sim
