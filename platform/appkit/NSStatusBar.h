#pragma once
// The menu bar's status items. Headless: sim::StatusBar clicks an item's
// button as the person would.
//
// A click on a button with a menu (its own or its item's) pops that menu up.
// Otherwise, when the button sends its action on that mouse event
// (sendActionOn; left-mouse-up by default), the action goes to the target,
// or along the responder chain when there is none, with the button as sender
// and the click as the application's current event. The status bar keeps
// its items weakly, as the platform does: keep the item to keep it in the
// menu bar. Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/appkit/Geometry.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSMenu.h"

inline constexpr double NSVariableStatusItemLength = -1;
inline constexpr double NSSquareStatusItemLength = -2;

class NSStatusItem;

class NSStatusBarButton : public NSObject {
  public:
    std::shared_ptr<NSImage> image() const { return image_; }
    void setImage(const std::shared_ptr<NSImage>& image) { image_ = image; }
    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(std::string toolTip) { toolTip_ = std::move(toolTip); }
    const std::string& accessibilityTitle() const { return accessibilityTitle_; }
    void setAccessibilityTitle(std::string title) { accessibilityTitle_ = std::move(title); }
    // Held weakly; null sends along the responder chain.
    id target() const { return target_.lock(); }
    void setTarget(const id& target) { target_ = target; }
    SEL action() const { return action_; }
    void setAction(SEL action) { action_ = action; }
    // The mouse events that send the action; answers the previous mask.
    NSEventMask sendActionOn(NSEventMask mask) { return std::exchange(actionMask_, mask); }
    NSEventMask actionMask() const { return actionMask_; }
    std::shared_ptr<NSMenu> menu() const { return menu_; }
    void setMenu(const std::shared_ptr<NSMenu>& menu) { menu_ = menu; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    // The button's own coordinates: width of its item, height of the bar.
    NSRect bounds() const;
    // Sends the action as a click would, without an event; false when it
    // reached nobody or the button is disabled.
    bool performClick(const id& sender);
    // Sends action to target (or along the responder chain), sender: this.
    bool sendAction(SEL action, const id& target);

    std::string className() const override { return "NSStatusBarButton"; }

  private:
    friend class NSStatusBar;
    std::shared_ptr<NSImage> image_;
    std::string title_;
    std::string toolTip_;
    std::string accessibilityTitle_;
    std::weak_ptr<NSObject> target_;
    SEL action_;
    NSEventMask actionMask_ = NSEventMaskLeftMouseUp;
    std::shared_ptr<NSMenu> menu_;
    bool enabled_ = true;
    std::weak_ptr<NSStatusItem> item_;
};

class NSStatusBar;

class NSStatusItem : public NSObject {
  public:
    std::shared_ptr<NSStatusBarButton> button() const { return button_; }
    double length() const { return length_; }
    void setLength(double length) { length_ = length; }
    std::shared_ptr<NSMenu> menu() const { return menu_; }
    void setMenu(const std::shared_ptr<NSMenu>& menu) { menu_ = menu; }
    bool isVisible() const { return visible_; }
    void setVisible(bool visible) { visible_ = visible; }
    std::shared_ptr<NSStatusBar> statusBar() const { return statusBar_.lock(); }
    // Pops the menu up under the item.
    void popUpStatusItemMenu(const std::shared_ptr<NSMenu>& menu);

    std::string className() const override { return "NSStatusItem"; }

    NSStatusItem(const std::shared_ptr<NSStatusBar>& statusBar, double length);

  private:
    std::weak_ptr<NSStatusBar> statusBar_;
    double length_;
    std::shared_ptr<NSStatusBarButton> button_;
    std::shared_ptr<NSMenu> menu_;
    bool visible_ = true;
};

class NSStatusBar : public NSObject {
  public:
    static std::shared_ptr<NSStatusBar> systemStatusBar();
    std::shared_ptr<NSStatusItem> statusItemWithLength(double length);
    void removeStatusItem(const std::shared_ptr<NSStatusItem>& item);
    double thickness() const { return 24; }
    bool isVertical() const { return false; }
    std::string className() const override { return "NSStatusBar"; }

  private:
    friend struct StatusBarAccess;
    std::vector<std::weak_ptr<NSStatusItem>> items_;
};

namespace sim {

enum class MouseButton { left, right };

enum class ClickOutcome {
    nothing,     // no item, a disabled button, or the button ignores that event
    actionSent,  // the action reached a receiver
    actionLost,  // the action was sent but nobody answers it
    menuShown,   // the button's (or the item's) menu popped up
};

struct StatusBar {
    // The live items of the system status bar, oldest first.
    static std::vector<std::shared_ptr<NSStatusItem>> items();
    // The oldest live item, or null.
    static std::shared_ptr<NSStatusItem> item();
    // Clicks the oldest item's button with the button and modifier keys
    // given (a mouse-up event, the current event while the action runs).
    static ClickOutcome click(MouseButton button = MouseButton::left,
                              NSEventModifierFlags modifiers = 0);
    static ClickOutcome click(const std::shared_ptr<NSStatusItem>& item, MouseButton button,
                              NSEventModifierFlags modifiers);
    // The oldest item's button image name ("" without an image or item) and
    // its template flag.
    static std::string imageName();
    static bool imageIsTemplate();
    static std::string accessibilityTitle();
    // The menu attached to the oldest item (its button's, else its own).
    static std::shared_ptr<NSMenu> attachedMenu();
    // Takes every item out of the status bar.
    static void reset();
};

}  // namespace sim
