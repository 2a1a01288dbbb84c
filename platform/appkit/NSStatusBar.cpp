#include "platform/appkit/NSStatusBar.h"

#include <algorithm>

#include "platform/dispatch/Clock.h"

struct StatusBarAccess {
    static std::vector<std::shared_ptr<NSStatusItem>> liveItems(NSStatusBar& bar) {
        std::erase_if(bar.items_, [](const auto& weak) { return weak.expired(); });
        std::vector<std::shared_ptr<NSStatusItem>> live;
        for (const auto& weak : bar.items_)
            if (auto item = weak.lock()) live.push_back(item);
        return live;
    }
    static void clear(NSStatusBar& bar) { bar.items_.clear(); }
};

NSRect NSStatusBarButton::bounds() const {
    auto item = item_.lock();
    auto bar = item ? item->statusBar() : nullptr;
    double height = bar ? bar->thickness() : 24;
    double width = item && item->length() > 0 ? item->length() : height;
    return {{0, 0}, {width, height}};
}

bool NSStatusBarButton::performClick(const id&) {
    if (!enabled_) return false;
    return sendAction(action_, target());
}

bool NSStatusBarButton::sendAction(SEL action, const id& target) {
    return NSApplication::sharedApplication()->sendAction(action, target,
                                                          id(weak_from_this().lock()));
}

NSStatusItem::NSStatusItem(const std::shared_ptr<NSStatusBar>& statusBar, double length)
    : statusBar_(statusBar), length_(length), button_(std::make_shared<NSStatusBarButton>()) {}

void NSStatusItem::popUpStatusItemMenu(const std::shared_ptr<NSMenu>& menu) {
    if (menu) menu->popUpMenuPositioningItem(nullptr, {0, 0}, button_);
}

std::shared_ptr<NSStatusBar> NSStatusBar::systemStatusBar() {
    static const auto* bar = new std::shared_ptr<NSStatusBar>(std::make_shared<NSStatusBar>());
    return *bar;
}

std::shared_ptr<NSStatusItem> NSStatusBar::statusItemWithLength(double length) {
    auto item = std::make_shared<NSStatusItem>(
        std::static_pointer_cast<NSStatusBar>(weak_from_this().lock()), length);
    item->button()->item_ = item;
    items_.push_back(item);
    return item;
}

void NSStatusBar::removeStatusItem(const std::shared_ptr<NSStatusItem>& item) {
    std::erase_if(items_, [&](const auto& weak) { return weak.lock() == item; });
}

namespace sim {

std::vector<std::shared_ptr<NSStatusItem>> StatusBar::items() {
    return StatusBarAccess::liveItems(*NSStatusBar::systemStatusBar());
}

std::shared_ptr<NSStatusItem> StatusBar::item() {
    auto all = items();
    return all.empty() ? nullptr : all.front();
}

ClickOutcome StatusBar::click(MouseButton button, NSEventModifierFlags modifiers) {
    return click(item(), button, modifiers);
}

ClickOutcome StatusBar::click(const std::shared_ptr<NSStatusItem>& item, MouseButton button,
                              NSEventModifierFlags modifiers) {
    if (!item || !item->isVisible()) return ClickOutcome::nothing;
    auto statusButton = item->button();
    if (!statusButton || !statusButton->isEnabled()) return ClickOutcome::nothing;
    if (auto menu = statusButton->menu() ? statusButton->menu() : item->menu()) {
        item->popUpStatusItemMenu(menu);
        return ClickOutcome::menuShown;
    }
    bool left = button == MouseButton::left;
    NSEventType down = left ? NSEventType::leftMouseDown : NSEventType::rightMouseDown;
    NSEventType up = left ? NSEventType::leftMouseUp : NSEventType::rightMouseUp;
    NSEventMask mask = statusButton->actionMask();
    NSEventType type;
    if (mask & NSEventMaskFromType(down))
        type = down;
    else if (mask & NSEventMaskFromType(up))
        type = up;
    else
        return ClickOutcome::nothing;
    auto event = NSEvent::mouseEvent(type, modifiers, toSeconds(Clock::now().time_since_epoch()));
    bool reached = false;
    Application::withCurrentEvent(event, [&] {
        reached = statusButton->sendAction(statusButton->action(), statusButton->target());
    });
    return reached ? ClickOutcome::actionSent : ClickOutcome::actionLost;
}

std::string StatusBar::imageName() {
    auto current = item();
    auto image = current ? current->button()->image() : nullptr;
    return image ? image->name() : "";
}

bool StatusBar::imageIsTemplate() {
    auto current = item();
    auto image = current ? current->button()->image() : nullptr;
    return image && image->isTemplate();
}

std::string StatusBar::accessibilityTitle() {
    auto current = item();
    return current ? current->button()->accessibilityTitle() : "";
}

std::shared_ptr<NSMenu> StatusBar::attachedMenu() {
    auto current = item();
    if (!current) return nullptr;
    return current->button()->menu() ? current->button()->menu() : current->menu();
}

void StatusBar::reset() {
    StatusBarAccess::clear(*NSStatusBar::systemStatusBar());
}

}  // namespace sim
