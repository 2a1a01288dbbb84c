#pragma once
// Windows and panels, headless. A window has a style, a level, a frame in
// screen points (origin at the bottom left of the main screen, so screens
// may lie at any origin), a content view and a delegate.
//
//  * A titled window's frame is its content rectangle plus a 28-point title
//    bar on top; with a full-size content view the content view fills the
//    whole frame.
//  * Delegate callbacks are messages sent through the object runtime
//    (objc_msgSend, after respondsToSelector), with the window as their one
//    argument (the object of the notification they stand for). The window
//    holds its delegate weakly. Each callback's notification
//    (NSWindowWillCloseNotification, ...) is posted on the default centre
//    with the window as its object, before the delegate hears of it.
//  * A frame autosave name keeps the frame in the standard user defaults
//    under "NSWindow Frame <name>" as "x y width height screenX screenY
//    screenWidth screenHeight ", written at every move and resize. Setting
//    the name applies a frame saved under it.
//  * A visible window is kept alive by the application (as the window
//    server keeps it on screen); NSApplication::windows() lists every live
//    window that has not been released by closing.
//  * Mouse events (sendEvent): a mouse-down on a view that accepts first
//    responder makes it first responder and goes to it, with the drag and
//    mouse-up that follow; otherwise the window's own mouseDown:,
//    mouseDragged: and mouseUp: get them. A drag moves a movable window when
//    it started in the title bar or anywhere in a window that is movable by
//    its background; the window moves before mouseDragged: is called.
//  * Live resize (sim::Windows::resize) keeps the top-left corner, honours
//    the content aspect ratio and the minimum and maximum sizes (the
//    window's and its content view's), and sends windowWillStartLiveResize:,
//    windowDidResize: and windowDidEndLiveResize:. Programmatic setFrame is
//    not constrained, as on the platform. Frame changes take effect at once,
//    also when asked to animate.
// Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Geometry.h"
#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/NSView.h"
#include "platform/input/NSEvent.h"
#include "platform/runtime/Runtime.h"

using NSWindowStyleMask = std::uint64_t;
inline constexpr NSWindowStyleMask NSWindowStyleMaskBorderless = 0;
inline constexpr NSWindowStyleMask NSWindowStyleMaskTitled = 1 << 0;
inline constexpr NSWindowStyleMask NSWindowStyleMaskClosable = 1 << 1;
inline constexpr NSWindowStyleMask NSWindowStyleMaskMiniaturizable = 1 << 2;
inline constexpr NSWindowStyleMask NSWindowStyleMaskResizable = 1 << 3;
inline constexpr NSWindowStyleMask NSWindowStyleMaskUtilityWindow = 1 << 4;
inline constexpr NSWindowStyleMask NSWindowStyleMaskNonactivatingPanel = 1 << 7;
inline constexpr NSWindowStyleMask NSWindowStyleMaskHUDWindow = 1 << 13;
inline constexpr NSWindowStyleMask NSWindowStyleMaskFullSizeContentView = 1 << 15;

enum class NSBackingStoreType : unsigned long { retained = 0, nonretained = 1, buffered = 2 };

using NSWindowLevel = long;
inline constexpr NSWindowLevel NSNormalWindowLevel = 0;
inline constexpr NSWindowLevel NSFloatingWindowLevel = 3;
inline constexpr NSWindowLevel NSModalPanelWindowLevel = 8;
inline constexpr NSWindowLevel NSMainMenuWindowLevel = 24;
inline constexpr NSWindowLevel NSStatusWindowLevel = 25;
inline constexpr NSWindowLevel NSPopUpMenuWindowLevel = 101;
inline constexpr NSWindowLevel NSScreenSaverWindowLevel = 1000;

using NSWindowCollectionBehavior = std::uint64_t;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorDefault = 0;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorCanJoinAllSpaces = 1 << 0;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorMoveToActiveSpace = 1 << 1;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorManaged = 1 << 2;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorTransient = 1 << 3;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorStationary = 1 << 4;
inline constexpr NSWindowCollectionBehavior NSWindowCollectionBehaviorFullScreenAuxiliary = 1 << 8;

enum class NSWindowTitleVisibility : long { visible = 0, hidden = 1 };

inline constexpr const char* NSWindowWillCloseNotification = "NSWindowWillCloseNotification";
inline constexpr const char* NSWindowDidMoveNotification = "NSWindowDidMoveNotification";
inline constexpr const char* NSWindowDidResizeNotification = "NSWindowDidResizeNotification";
inline constexpr const char* NSWindowDidBecomeKeyNotification = "NSWindowDidBecomeKeyNotification";
inline constexpr const char* NSWindowDidResignKeyNotification = "NSWindowDidResignKeyNotification";
inline constexpr const char* NSWindowWillStartLiveResizeNotification =
    "NSWindowWillStartLiveResizeNotification";
inline constexpr const char* NSWindowDidEndLiveResizeNotification =
    "NSWindowDidEndLiveResizeNotification";

class NSWindow : public NSResponder {
  public:
    static Class runtimeClass();
    // "NSWindowDelegate": the delegate callbacks as optional methods.
    static Protocol* delegateProtocol();
    static constexpr double titleBarHeight = 28;

    // initWithContentRect:styleMask:backing:defer:. A subclass passes its
    // own runtime class.
    NSWindow(NSRect contentRect, NSWindowStyleMask styleMask, NSBackingStoreType backing,
             bool defer, Class cls = runtimeClass());
    ~NSWindow() override;

    static NSRect frameRectForContentRect(NSRect contentRect, NSWindowStyleMask styleMask);
    static NSRect contentRectForFrameRect(NSRect frameRect, NSWindowStyleMask styleMask);
    // The frame autosave key of a name: "NSWindow Frame <name>".
    static std::string frameDefaultsKey(const std::string& name);
    static void removeFrameUsingName(const std::string& name);

    long windowNumber() const { return windowNumber_; }
    NSWindowStyleMask styleMask() const { return styleMask_; }
    void setStyleMask(NSWindowStyleMask mask) { styleMask_ = mask; }
    NSBackingStoreType backingType() const { return backing_; }

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    NSWindowTitleVisibility titleVisibility() const { return titleVisibility_; }
    void setTitleVisibility(NSWindowTitleVisibility v) { titleVisibility_ = v; }
    bool titlebarAppearsTransparent() const { return titlebarTransparent_; }
    void setTitlebarAppearsTransparent(bool t) { titlebarTransparent_ = t; }

    NSWindowLevel level() const { return level_; }
    void setLevel(NSWindowLevel level) { level_ = level; }
    NSWindowCollectionBehavior collectionBehavior() const { return collectionBehavior_; }
    void setCollectionBehavior(NSWindowCollectionBehavior b) { collectionBehavior_ = b; }
    bool isOpaque() const { return opaque_; }
    void setOpaque(bool opaque) { opaque_ = opaque; }
    double alphaValue() const { return alphaValue_; }
    void setAlphaValue(double alpha) { alphaValue_ = alpha; }
    std::shared_ptr<NSColor> backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(const std::shared_ptr<NSColor>& c) { backgroundColor_ = c; }
    bool hasShadow() const { return hasShadow_; }
    void setHasShadow(bool shadow) { hasShadow_ = shadow; }
    bool isMovable() const { return movable_; }
    void setMovable(bool movable) { movable_ = movable; }
    bool isMovableByWindowBackground() const { return movableByBackground_; }
    void setMovableByWindowBackground(bool movable) { movableByBackground_ = movable; }
    bool isReleasedWhenClosed() const { return releasedWhenClosed_; }
    void setReleasedWhenClosed(bool released) { releasedWhenClosed_ = released; }

    NSRect frame() const { return frame_; }
    // Moves and resizes; the delegate hears windowDidMove: and
    // windowDidResize: for what changed, and the autosaved frame follows.
    void setFrame(NSRect frame, bool display, bool animate = false);
    void setFrameOrigin(NSPoint origin);
    void setFrameTopLeftPoint(NSPoint topLeft);
    void setContentSize(NSSize size);
    NSRect contentRectForFrameRect(NSRect frame) const {
        return contentRectForFrameRect(frame, styleMask_);
    }
    NSRect frameRectForContentRect(NSRect content) const {
        return frameRectForContentRect(content, styleMask_);
    }
    // Horizontally centred on its screen's visible frame, with two thirds of
    // the free height below it and one third above.
    void center();

    // Content sizes that live resizing keeps to; a zero ratio means none.
    NSSize contentAspectRatio() const { return contentAspectRatio_; }
    void setContentAspectRatio(NSSize ratio) { contentAspectRatio_ = ratio; }
    NSSize contentMinSize() const { return contentMinSize_; }
    void setContentMinSize(NSSize size) { contentMinSize_ = size; }
    NSSize contentMaxSize() const { return contentMaxSize_; }
    void setContentMaxSize(NSSize size) { contentMaxSize_ = size; }
    NSSize minSize() const { return minSize_; }
    void setMinSize(NSSize size) { minSize_ = size; }
    NSSize maxSize() const { return maxSize_; }
    void setMaxSize(NSSize size) { maxSize_ = size; }
    bool inLiveResize() const { return inLiveResize_; }

    // The screen holding the largest part of the frame; null when the frame
    // lies on no screen.
    std::shared_ptr<NSScreen> screen() const;

    const std::string& frameAutosaveName() const { return autosaveName_; }
    // False when another open window uses the name. An empty name stops
    // saving.
    bool setFrameAutosaveName(const std::string& name);
    void saveFrameUsingName(const std::string& name) const;
    // Applies the frame saved under the name; false when there is none.
    bool setFrameUsingName(const std::string& name);

    std::shared_ptr<NSView> contentView() const { return contentView_; }
    // The view fills the content area and follows its size.
    void setContentView(const std::shared_ptr<NSView>& view);

    id delegate() const { return delegate_.lock(); }
    void setDelegate(const id& delegate) { delegate_ = delegate; }

    bool isVisible() const { return visible_; }
    bool isKeyWindow() const;
    virtual bool canBecomeKeyWindow() const;
    void orderFront(const id& sender);
    void orderFrontRegardless() { orderFront(nullptr); }
    void makeKeyWindow();
    void makeKeyAndOrderFront(const id& sender);
    void orderOut(const id& sender);
    // Sends windowWillClose:, asks the first responder to resign (refusing
    // does not stop the close), orders the window out and, when it is
    // released when closed, lets it go (its content view is dropped and it
    // leaves the application's window list). Closing a closed window does
    // nothing.
    void close();
    // The close button: asks windowShouldClose: and closes unless refused.
    // Beeps and returns false when the window has no close button.
    bool performClose(const id& sender);
    bool isReleased() const { return released_; }

    // The window itself when no view is first responder.
    std::shared_ptr<NSResponder> firstResponder() const;
    // Asks the current first responder to resign and the new one to become
    // it; null makes the window itself first responder.
    bool makeFirstResponder(const std::shared_ptr<NSResponder>& responder);

    // Dispatches a mouse or keyboard event (see above).
    void sendEvent(const std::shared_ptr<NSEvent>& event);

  protected:
    // The delegate's answer, or nothing when it does not answer.
    std::optional<std::any> messageDelegate(SEL selector);

  private:
    friend struct NSWindowAccess;
    void post(const char* name);
    void notifyFrameChange(NSRect old);
    void layoutContentView();
    NSSize constrainedContentSize(NSSize proposed) const;

    long windowNumber_;
    NSWindowStyleMask styleMask_;
    NSBackingStoreType backing_;
    std::string title_;
    NSWindowTitleVisibility titleVisibility_ = NSWindowTitleVisibility::visible;
    bool titlebarTransparent_ = false;
    NSWindowLevel level_ = NSNormalWindowLevel;
    NSWindowCollectionBehavior collectionBehavior_ = NSWindowCollectionBehaviorDefault;
    bool opaque_ = true;
    double alphaValue_ = 1;
    std::shared_ptr<NSColor> backgroundColor_ = NSColor::windowBackgroundColor();
    bool hasShadow_ = true;
    bool movable_ = true;
    bool movableByBackground_ = false;
    bool releasedWhenClosed_ = true;
    NSRect frame_;
    NSSize contentAspectRatio_;
    NSSize contentMinSize_;
    NSSize contentMaxSize_{1e9, 1e9};
    NSSize minSize_;
    NSSize maxSize_{1e9, 1e9};
    bool inLiveResize_ = false;
    std::string autosaveName_;
    std::shared_ptr<NSView> contentView_;
    std::weak_ptr<NSObject> delegate_;
    std::weak_ptr<NSResponder> firstResponder_;
    bool visible_ = false;
    bool closed_ = false;
    bool released_ = false;
    // The mouse-down in progress: the view that took it, and whether the
    // drag moves the window.
    std::weak_ptr<NSResponder> mouseTarget_;
    bool mouseOnView_ = false;
    bool dragMovesWindow_ = false;
};

// A panel: not released when closed by default; a floating panel sits at
// the floating level.
class NSPanel : public NSWindow {
  public:
    static Class runtimeClass();
    NSPanel(NSRect contentRect, NSWindowStyleMask styleMask, NSBackingStoreType backing, bool defer,
            Class cls = runtimeClass());
    bool isFloatingPanel() const { return level() == NSFloatingWindowLevel; }
    void setFloatingPanel(bool floating) {
        setLevel(floating ? NSFloatingWindowLevel : NSNormalWindowLevel);
    }
    bool becomesKeyOnlyIfNeeded() const { return becomesKeyOnlyIfNeeded_; }
    void setBecomesKeyOnlyIfNeeded(bool b) { becomesKeyOnlyIfNeeded_ = b; }

  private:
    bool becomesKeyOnlyIfNeeded_ = false;
};

namespace sim {

struct Windows {
    // Every live window of the application, in creation order.
    static std::vector<std::shared_ptr<NSWindow>> all();
    // The visible windows, front to back.
    static std::vector<std::shared_ptr<NSWindow>> visible();
    static std::vector<std::string> visibleTitles();
    // The frontmost visible window with the title, else any live one, else
    // null.
    static std::shared_ptr<NSWindow> find(const std::string& title);

    // The mouse in screen points: down, drag (any number of steps), up.
    // Each event carries its location in the window and, for a drag, the
    // movement since the previous event.
    static void mouseDown(NSWindow& window, NSPoint screenPoint);
    static void mouseDragged(NSWindow& window, NSPoint screenPoint);
    static void mouseUp(NSWindow& window, NSPoint screenPoint);
    // Down at `from`, `steps` even drag steps to `to`, up at `to`.
    static void drag(NSWindow& window, NSPoint from, NSPoint to, int steps = 4);
    static void click(NSWindow& window, NSPoint screenPoint);

    // A live resize by the user to this frame size; returns the frame size
    // the window took.
    static NSSize resize(NSWindow& window, NSSize frameSize);
    // Clicks the close button (see performClose).
    static bool clickCloseButton(NSWindow& window);

    // Orders every window out without closing it, forgets the key window
    // and makes the application inactive.
    static void reset();
};

}  // namespace sim
