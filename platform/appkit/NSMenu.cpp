#include "platform/appkit/NSMenu.h"

#include <algorithm>
#include <mutex>

#include "platform/appkit/NSApplication.h"

namespace {

Protocol* registerMenuDelegateProtocol() {
    if (Protocol* existing = objc_getProtocol("NSMenuDelegate")) return existing;
    Protocol* protocol = objc_allocateProtocol("NSMenuDelegate");
    if (!protocol) return objc_getProtocol("NSMenuDelegate");
    protocol_addProtocol(protocol, objc_getProtocol("NSObject"));
    for (const char* selector : {"menuNeedsUpdate:", "menuWillOpen:", "menuDidClose:"})
        protocol_addMethodDescription(protocol, selector, "v@:@", false, true);
    objc_registerProtocol(protocol);
    return protocol;
}

// The protocol exists before any delegate class is built.
[[maybe_unused]] Protocol* const menuDelegateProtocol = registerMenuDelegateProtocol();

struct OpenState {
    std::mutex mutex;
    std::shared_ptr<NSMenu> open;
    NSPoint location;
    std::shared_ptr<NSMenuItem> positioningItem;
    std::weak_ptr<NSObject> view;
    std::size_t popUps = 0;
};

OpenState& openState() {
    static auto* s = new OpenState();
    return *s;
}

// Takes the menu off the screen; true when it was the open one.
bool takeDown(const NSMenu* menu) {
    std::lock_guard lock(openState().mutex);
    if (!openState().open || (menu && openState().open.get() != menu)) return false;
    openState().open = nullptr;
    return true;
}

}  // namespace

NSMenuItem::NSMenuItem(std::string title, SEL action, std::string keyEquivalent)
    : title_(std::move(title)), action_(action), keyEquivalent_(std::move(keyEquivalent)) {}

std::shared_ptr<NSMenuItem> NSMenuItem::separatorItem() {
    auto item = std::make_shared<NSMenuItem>();
    item->separator_ = true;
    item->enabled_ = false;
    return item;
}

bool NSMenuItem::isEnabled() const {
    auto owner = menu();
    if (!owner || !owner->autoenablesItems()) return enabled_;
    if (separator_ || !action_) return false;
    id explicitTarget = target();
    id receiver = explicitTarget ? explicitTarget
                                 : NSApplication::sharedApplication()->targetForAction(action_);
    auto runtimeReceiver = std::dynamic_pointer_cast<RuntimeObject>(receiver);
    if (!runtimeReceiver || !runtimeReceiver->respondsToSelector(action_)) return false;
    if (runtimeReceiver->respondsToSelector("validateMenuItem:")) {
        id self = std::const_pointer_cast<NSObject>(weak_from_this().lock());
        return objc_msgSend<bool>(runtimeReceiver, "validateMenuItem:", self);
    }
    return true;
}

NSMenu::NSMenu(std::string title) : title_(std::move(title)) {}

void NSMenu::addItem(const std::shared_ptr<NSMenuItem>& item) {
    insertItem(item, items_.size());
}

void NSMenu::insertItem(const std::shared_ptr<NSMenuItem>& item, std::size_t index) {
    if (!item) return;
    if (auto previous = item->menu()) previous->removeItem(item);
    index = std::min(index, items_.size());
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), item);
    item->menu_ = std::static_pointer_cast<NSMenu>(weak_from_this().lock());
}

std::shared_ptr<NSMenuItem> NSMenu::addItemWithTitle(const std::string& title, SEL action,
                                                     const std::string& keyEquivalent) {
    auto item = std::make_shared<NSMenuItem>(title, action, keyEquivalent);
    addItem(item);
    return item;
}

void NSMenu::removeItem(const std::shared_ptr<NSMenuItem>& item) {
    long index = indexOfItem(item);
    if (index >= 0) removeItemAtIndex(static_cast<std::size_t>(index));
}

void NSMenu::removeItemAtIndex(std::size_t index) {
    if (index >= items_.size()) return;
    items_[index]->menu_.reset();
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

void NSMenu::removeAllItems() {
    for (auto& item : items_) item->menu_.reset();
    items_.clear();
}

std::shared_ptr<NSMenuItem> NSMenu::itemAtIndex(std::size_t index) const {
    return index < items_.size() ? items_[index] : nullptr;
}

std::shared_ptr<NSMenuItem> NSMenu::itemWithTitle(const std::string& title) const {
    for (const auto& item : items_)
        if (!item->isSeparatorItem() && item->title() == title) return item;
    return nullptr;
}

std::shared_ptr<NSMenuItem> NSMenu::itemWithTag(long tag) const {
    for (const auto& item : items_)
        if (item->tag() == tag) return item;
    return nullptr;
}

long NSMenu::indexOfItem(const std::shared_ptr<NSMenuItem>& item) const {
    auto it = std::find(items_.begin(), items_.end(), item);
    return it == items_.end() ? -1 : static_cast<long>(it - items_.begin());
}

void NSMenu::messageDelegate(SEL selector) {
    auto target = std::dynamic_pointer_cast<RuntimeObject>(delegate());
    if (!target || !target->respondsToSelector(selector)) return;
    objc_msgSend(target, selector, id(weak_from_this().lock()));
}

bool NSMenu::popUpMenuPositioningItem(const std::shared_ptr<NSMenuItem>& item, NSPoint location,
                                      const std::shared_ptr<NSObject>& view) {
    std::shared_ptr<NSMenu> previous;
    {
        std::lock_guard lock(openState().mutex);
        previous = openState().open;
    }
    if (previous) previous->cancelTracking();
    {
        std::lock_guard lock(openState().mutex);
        openState().open = std::static_pointer_cast<NSMenu>(weak_from_this().lock());
        openState().location = location;
        openState().positioningItem = item;
        openState().view = view;
        ++openState().popUps;
    }
    messageDelegate("menuWillOpen:");
    return true;
}

void NSMenu::cancelTracking() {
    if (takeDown(this)) messageDelegate("menuDidClose:");
}

void NSMenu::performActionForItemAtIndex(std::size_t index) {
    auto item = itemAtIndex(index);
    if (!item || item->isSeparatorItem()) return;
    NSApplication::sharedApplication()->sendAction(item->action(), item->target(), item);
}

namespace sim {

std::shared_ptr<NSMenu> Menus::openMenu() {
    std::lock_guard lock(openState().mutex);
    return openState().open;
}

std::vector<MenuItemInfo> Menus::items() {
    std::vector<MenuItemInfo> infos;
    auto menu = openMenu();
    if (!menu) return infos;
    for (const auto& item : menu->items()) {
        if (item->isHidden()) continue;
        infos.push_back({item->title(), item->action() ? sel_getName(item->action()) : "",
                         item->keyEquivalent(), item->keyEquivalentModifierMask(),
                         item->isEnabled(), item->state(), item->isSeparatorItem(), item->tag()});
    }
    return infos;
}

std::vector<std::string> Menus::titles() {
    std::vector<std::string> titles;
    for (const auto& info : items()) titles.push_back(info.separator ? "-" : info.title);
    return titles;
}

bool Menus::choose(const std::string& title) {
    auto menu = openMenu();
    if (!menu) return false;
    std::shared_ptr<NSMenuItem> chosen;
    for (const auto& item : menu->items()) {
        if (!item->isSeparatorItem() && !item->isHidden() && item->title() == title &&
            item->isEnabled()) {
            chosen = item;
            break;
        }
    }
    if (!chosen) return false;
    menu->cancelTracking();
    NSApplication::sharedApplication()->sendAction(chosen->action(), chosen->target(), chosen);
    return true;
}

void Menus::close() {
    if (auto menu = openMenu()) menu->cancelTracking();
}

NSPoint Menus::lastLocation() {
    std::lock_guard lock(openState().mutex);
    return openState().location;
}

std::shared_ptr<NSMenuItem> Menus::lastPositioningItem() {
    std::lock_guard lock(openState().mutex);
    return openState().positioningItem;
}

std::shared_ptr<NSObject> Menus::lastView() {
    std::lock_guard lock(openState().mutex);
    return openState().view.lock();
}

std::size_t Menus::popUpCount() {
    std::lock_guard lock(openState().mutex);
    return openState().popUps;
}

void Menus::reset() {
    takeDown(nullptr);
    std::lock_guard lock(openState().mutex);
    openState().location = {};
    openState().positioningItem = nullptr;
    openState().view.reset();
    openState().popUps = 0;
}

}  // namespace sim
