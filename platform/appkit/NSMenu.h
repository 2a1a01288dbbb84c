#pragma once
// Menus and their items. Headless: a popped-up menu stays open until
// sim::Menus chooses one of its items or closes it, or the program cancels
// its tracking; only one menu is open at a time.
//
// An item without a target sends its action along the application's
// responder chain (NSApplication::sendAction), with the item as sender. A
// menu that enables its items automatically (the default) shows an item
// enabled when its action reaches a receiver that does not refuse it
// through "validateMenuItem:"; an item without an action is disabled.
//
// The menu holds its delegate weakly and messages it through the runtime
// ("menuWillOpen:", "menuDidClose:", each after respondsToSelector); a
// delegate class adopts objc_getProtocol("NSMenuDelegate"), which exists
// once this library is linked. Main thread only.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Geometry.h"
#include "platform/appkit/NSAppearance.h"
#include "platform/input/NSEvent.h"
#include "platform/runtime/Runtime.h"

class NSMenu;

using NSControlStateValue = long;
inline constexpr NSControlStateValue NSControlStateValueMixed = -1;
inline constexpr NSControlStateValue NSControlStateValueOff = 0;
inline constexpr NSControlStateValue NSControlStateValueOn = 1;

class NSMenuItem : public NSObject {
  public:
    explicit NSMenuItem(std::string title = "", SEL action = SEL(), std::string keyEquivalent = "");
    static std::shared_ptr<NSMenuItem> separatorItem();

    bool isSeparatorItem() const { return separator_; }
    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    SEL action() const { return action_; }
    void setAction(SEL action) { action_ = action; }
    // Held weakly, as the platform does; null sends along the responder chain.
    id target() const { return target_.lock(); }
    void setTarget(const id& target) { target_ = target; }
    const std::string& keyEquivalent() const { return keyEquivalent_; }
    void setKeyEquivalent(std::string key) { keyEquivalent_ = std::move(key); }
    // Command by default.
    NSEventModifierFlags keyEquivalentModifierMask() const { return modifierMask_; }
    void setKeyEquivalentModifierMask(NSEventModifierFlags mask) { modifierMask_ = mask; }
    // What the person sees: worked out when the menu enables automatically,
    // else the flag set here.
    bool isEnabled() const;
    void setEnabled(bool enabled) { enabled_ = enabled; }
    NSControlStateValue state() const { return state_; }
    void setState(NSControlStateValue state) { state_ = state; }
    long tag() const { return tag_; }
    void setTag(long tag) { tag_ = tag; }
    id representedObject() const { return representedObject_; }
    void setRepresentedObject(const id& object) { representedObject_ = object; }
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(std::string toolTip) { toolTip_ = std::move(toolTip); }
    // The menu holding the item, if any.
    std::shared_ptr<NSMenu> menu() const { return menu_.lock(); }

    std::string className() const override { return "NSMenuItem"; }

  private:
    friend class NSMenu;
    std::string title_;
    SEL action_;
    std::weak_ptr<NSObject> target_;
    std::string keyEquivalent_;
    NSEventModifierFlags modifierMask_ = NSEventModifierFlagCommand;
    bool enabled_ = true;
    NSControlStateValue state_ = NSControlStateValueOff;
    long tag_ = 0;
    id representedObject_;
    bool hidden_ = false;
    bool separator_ = false;
    std::string toolTip_;
    std::weak_ptr<NSMenu> menu_;
};

class NSMenu : public NSObject {
  public:
    explicit NSMenu(std::string title = "");

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

    const std::vector<std::shared_ptr<NSMenuItem>>& items() const { return items_; }
    std::size_t numberOfItems() const { return items_.size(); }
    // An item belongs to one menu at a time: adding one that is in another
    // menu takes it out of that menu.
    void addItem(const std::shared_ptr<NSMenuItem>& item);
    void insertItem(const std::shared_ptr<NSMenuItem>& item, std::size_t index);
    std::shared_ptr<NSMenuItem> addItemWithTitle(const std::string& title, SEL action,
                                                 const std::string& keyEquivalent);
    void removeItem(const std::shared_ptr<NSMenuItem>& item);
    void removeItemAtIndex(std::size_t index);
    void removeAllItems();
    std::shared_ptr<NSMenuItem> itemAtIndex(std::size_t index) const;  // null when out of range
    std::shared_ptr<NSMenuItem> itemWithTitle(const std::string& title) const;
    std::shared_ptr<NSMenuItem> itemWithTag(long tag) const;
    // -1 when the item is not in the menu.
    long indexOfItem(const std::shared_ptr<NSMenuItem>& item) const;

    id delegate() const { return delegate_.lock(); }
    void setDelegate(const id& delegate) { delegate_ = delegate; }
    bool autoenablesItems() const { return autoenablesItems_; }
    void setAutoenablesItems(bool autoenables) { autoenablesItems_ = autoenables; }
    std::shared_ptr<NSAppearance> appearance() const { return appearance_; }
    void setAppearance(const std::shared_ptr<NSAppearance>& appearance) {
        appearance_ = appearance;
    }

    // Opens the menu at location in view's coordinates (item: the item to
    // put there, null for none); an open menu is closed first. Returns at
    // once, true (headless: the menu stays open until chosen from or
    // closed).
    bool popUpMenuPositioningItem(const std::shared_ptr<NSMenuItem>& item, NSPoint location,
                                  const std::shared_ptr<NSObject>& view);
    // Closes the menu when open (the delegate hears "menuDidClose:").
    void cancelTracking();
    void cancelTrackingWithoutAnimation() { cancelTracking(); }
    // Sends the item's action as a choice of it would, enabled or not.
    void performActionForItemAtIndex(std::size_t index);

    std::string className() const override { return "NSMenu"; }

  private:
    void messageDelegate(SEL selector);

    std::string title_;
    std::vector<std::shared_ptr<NSMenuItem>> items_;
    std::weak_ptr<NSObject> delegate_;
    bool autoenablesItems_ = true;
    std::shared_ptr<NSAppearance> appearance_;
};

namespace sim {

struct MenuItemInfo {
    std::string title;
    std::string action;  // the selector's name, empty without one
    std::string keyEquivalent;
    NSEventModifierFlags keyEquivalentModifierMask = 0;
    bool enabled = false;
    NSControlStateValue state = NSControlStateValueOff;
    bool separator = false;
    long tag = 0;
};

struct Menus {
    // The open menu, or null.
    static std::shared_ptr<NSMenu> openMenu();
    // Its visible items (hidden ones left out), or none when no menu is open.
    static std::vector<MenuItemInfo> items();
    static std::vector<std::string> titles();
    // Chooses the enabled, visible item of that title in the open menu: the
    // menu closes, then the item's action is sent. False (and the menu stays
    // open) when no menu is open or no such enabled item exists.
    static bool choose(const std::string& title);
    // The person dismisses the open menu (Escape or a click elsewhere).
    static void close();
    // Where the last menu popped up, in its view's coordinates, with the item
    // put there (empty title for none) and the view.
    static NSPoint lastLocation();
    static std::shared_ptr<NSMenuItem> lastPositioningItem();
    static std::shared_ptr<NSObject> lastView();
    static std::size_t popUpCount();
    // Closes any open menu without telling its delegate and forgets the
    // counts.
    static void reset();
};

}  // namespace sim
