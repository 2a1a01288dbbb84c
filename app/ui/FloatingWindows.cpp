#include "app/ui/FloatingWindows.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"
#include "platform/dispatch/Timer.h"

FloatingWindows::~FloatingWindows() {
    if (timer_) timer_->invalidate();
}

void FloatingWindows::floatPlainWindows() {
    for (const auto& window : NSApplication::sharedApplication()->windows()) {
        if (window->className() != "NSWindow") continue;
        window->setCollectionBehavior(NSWindowCollectionBehaviorCanJoinAllSpaces);
        window->setLevel(NSFloatingWindowLevel);
    }
}

void FloatingWindows::keepFloating() {
    floatPlainWindows();
    if (timer_) timer_->invalidate();
    timer_ = Timer::scheduledTimer(2.0, true, std::function<void()>([] { floatPlainWindows(); }));
}
