#include "platform/appkit/NSView.h"

#include <algorithm>

#include "platform/appkit/NSWindow.h"

namespace {

template <class T>
Class registerResponderClass(const char* name, Class superclass) {
    return ClassBuilder<T>(name, superclass)
        .method("mouseDown:", [](T& self, const std::shared_ptr<NSEvent>& e) { self.mouseDown(e); })
        .method("mouseDragged:",
                [](T& self, const std::shared_ptr<NSEvent>& e) { self.mouseDragged(e); })
        .method("mouseUp:", [](T& self, const std::shared_ptr<NSEvent>& e) { self.mouseUp(e); })
        .method("keyDown:", [](T& self, const std::shared_ptr<NSEvent>& e) { self.keyDown(e); })
        .method("flagsChanged:",
                [](T& self, const std::shared_ptr<NSEvent>& e) { self.flagsChanged(e); })
        .method("becomeFirstResponder", [](T& self) { return self.becomeFirstResponder(); })
        .method("resignFirstResponder", [](T& self) { return self.resignFirstResponder(); })
        .method("acceptsFirstResponder", [](T& self) { return self.acceptsFirstResponder(); })
        .registerClass();
}

}  // namespace

Class NSResponder::runtimeClass() {
    static Class cls = registerResponderClass<NSResponder>("NSResponder", rootClass());
    return cls;
}

void NSResponder::mouseDown(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->mouseDown(event);
}
void NSResponder::mouseDragged(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->mouseDragged(event);
}
void NSResponder::mouseUp(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->mouseUp(event);
}
void NSResponder::rightMouseDown(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->rightMouseDown(event);
}
void NSResponder::rightMouseUp(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->rightMouseUp(event);
}
void NSResponder::keyDown(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->keyDown(event);
}
void NSResponder::keyUp(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->keyUp(event);
}
void NSResponder::flagsChanged(const std::shared_ptr<NSEvent>& event) {
    if (auto next = nextResponder()) next->flagsChanged(event);
}
bool NSResponder::performKeyEquivalent(const std::shared_ptr<NSEvent>&) {
    return false;
}
void NSResponder::cancelOperation(const id&) {}

Class NSView::runtimeClass() {
    static Class cls = registerResponderClass<NSView>("NSView", NSResponder::runtimeClass());
    return cls;
}

NSView::NSView(NSRect frame, Class cls) : NSResponder(cls), frame_(frame) {}

void NSView::setFrame(NSRect frame) {
    NSSize old = frame_.size;
    frame_ = frame;
    if (old == frame.size) return;
    double dw = frame.size.width - old.width;
    double dh = frame.size.height - old.height;
    for (const auto& sub : subviews_) {
        auto mask = sub->autoresizingMask();
        NSRect f = sub->frame();
        if (mask & NSViewWidthSizable) f.size.width = std::max(0.0, f.size.width + dw);
        if (mask & NSViewHeightSizable) f.size.height = std::max(0.0, f.size.height + dh);
        if (!(mask & NSViewWidthSizable) && (mask & NSViewMinXMargin)) f.origin.x += dw;
        if (!(mask & NSViewHeightSizable) && (mask & NSViewMinYMargin)) f.origin.y += dh;
        if (mask != NSViewNotSizable) sub->setFrame(f);
    }
    needsDisplay_ = true;
    layout();
}

void NSView::setFrameOrigin(NSPoint origin) {
    frame_.origin = origin;
}

void NSView::setFrameSize(NSSize size) {
    setFrame({frame_.origin, size});
}

void NSView::addSubview(const std::shared_ptr<NSView>& view) {
    if (!view || view.get() == this) return;
    view->removeFromSuperview();
    auto self = std::static_pointer_cast<NSView>(shared_from_this());
    view->superview_ = self;
    view->setNextResponder(self);
    subviews_.push_back(view);
    view->setWindow(window());
}

void NSView::removeFromSuperview() {
    auto parent = superview();
    if (!parent) return;
    auto& list = parent->subviews_;
    auto self = shared_from_this();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::shared_ptr<NSView>& v) { return v == self; }),
               list.end());
    superview_.reset();
    setNextResponder(nullptr);
    setWindow(nullptr);
}

void NSView::setWindow(const std::shared_ptr<NSWindow>& window) {
    bool changed = window_.lock() != window;
    if (!changed && (window || window_.expired())) return;
    if (auto old = window_.lock(); old && !window) {
        if (old->firstResponder().get() == this) old->makeFirstResponder(nullptr);
    }
    window_ = window;
    for (const auto& sub : subviews_) sub->setWindow(window);
    viewDidMoveToWindow();
}

void NSView::setWantsLayer(bool wants) {
    if (wants && !layer_) {
        layer_ = std::make_shared<CALayer>();
        layer_->frame = bounds();
    } else if (!wants) {
        layer_ = nullptr;
    }
}

void NSView::display() {
    ++drawCount_;
    drawRect(bounds());
    needsDisplay_ = false;
    for (const auto& sub : subviews_)
        if (!sub->isHidden()) sub->display();
}

void NSView::drawRect(NSRect) {}

std::shared_ptr<NSView> NSView::hitTest(NSPoint point) {
    if (hidden_) return nullptr;
    if (point.x < NSMinX(frame_) || point.x >= NSMaxX(frame_) || point.y < NSMinY(frame_) ||
        point.y >= NSMaxY(frame_))
        return nullptr;
    NSPoint local{point.x - frame_.origin.x, point.y - frame_.origin.y};
    if (isFlipped()) local.y = frame_.size.height - local.y;
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        if (auto hit = (*it)->hitTest(local)) return hit;
    }
    return std::static_pointer_cast<NSView>(shared_from_this());
}

NSPoint NSView::convertPointFromWindow(NSPoint point) const {
    NSPoint inParent = point;
    if (auto parent = superview()) inParent = parent->convertPointFromWindow(point);
    NSPoint local{inParent.x - frame_.origin.x, inParent.y - frame_.origin.y};
    if (isFlipped()) local.y = frame_.size.height - local.y;
    return local;
}

Class NSButton::runtimeClass() {
    static Class cls =
        ClassBuilder<NSButton>("NSButton", NSView::runtimeClass())
            .method("performClick:", [](NSButton& self, const id&) { self.performClick(); })
            .registerClass();
    return cls;
}

bool NSButton::performClick() {
    if (!enabled_ || !action_) return false;
    auto receiver = std::dynamic_pointer_cast<RuntimeObject>(target());
    if (!receiver || !receiver->respondsToSelector(action_)) return false;
    std::string name = sel_getName(action_);
    Arguments args;
    if (!name.empty() && name.back() == ':') args.push_back(runtime_box(id(shared_from_this())));
    objc_msgSendv(receiver.get(), action_, args);
    return true;
}

Class NSVisualEffectView::runtimeClass() {
    static Class cls =
        ClassBuilder<NSVisualEffectView>("NSVisualEffectView", NSView::runtimeClass())
            .registerClass();
    return cls;
}
