#pragma once
// The status item in the menu bar: its image, what a click on it asks for,
// and its menu, rebuilt as a whole after every mute change, settings change
// and appearance change. The menu's items have no target: their actions
// reach the application delegate through the responder chain. Main thread
// only.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/runtime/Runtime.h"

class MenuDelegate;
class NSKeyValueObservation;
class NSMenu;
class NSStatusItem;

class StatusItemController {
  public:
    explicit StatusItemController(std::string appName);
    ~StatusItemController();
    StatusItemController(const StatusItemController&) = delete;
    StatusItemController& operator=(const StatusItemController&) = delete;

    // Creates the square item whose button sends `action` to `target` on
    // left and right mouse-up, and builds the first menu (through the
    // appearance observation). Once.
    void setUp(const id& target, SEL action);
    // Does nothing before setUp.
    void refreshMenu();
    void showMenu();
    // The button's image for the stored state and style.
    void updateImage();

    // The click action the application's current event asks for: the right
    // button's for a right click or a Control-click, else the left button's.
    static std::int64_t clickActionForCurrentEvent();

    const std::shared_ptr<NSStatusItem>& statusItem() const { return statusItem_; }
    const std::shared_ptr<NSMenu>& statusMenu() const { return statusMenu_; }

  private:
    void updateAccessibilityTitle();

    std::string appName_;
    std::shared_ptr<NSStatusItem> statusItem_;
    std::shared_ptr<NSMenu> statusMenu_;
    std::shared_ptr<MenuDelegate> menuDelegate_;
    std::shared_ptr<NSKeyValueObservation> appearanceObservation_;
};
