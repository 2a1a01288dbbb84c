#pragma once
// Responders and views. A view has a frame in its superview's coordinates
// (origin at the bottom left unless the view is flipped), subviews, an
// optional layer whose look is kept as numbers, and the responder methods
// that a window delivers events to. Drawing is headless: display() runs
// drawRect: so that a view can compute what it would draw. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Geometry.h"
#include "platform/appkit/NSColor.h"
#include "platform/input/NSEvent.h"
#include "platform/runtime/Runtime.h"

class NSWindow;

class NSResponder : public RuntimeObject {
  public:
    static Class runtimeClass();
    explicit NSResponder(Class cls = runtimeClass()) : RuntimeObject(cls) {}

    std::shared_ptr<NSResponder> nextResponder() const { return nextResponder_.lock(); }
    void setNextResponder(const std::shared_ptr<NSResponder>& responder) {
        nextResponder_ = responder;
    }

    virtual bool acceptsFirstResponder() const { return false; }
    virtual bool becomeFirstResponder() { return true; }
    virtual bool resignFirstResponder() { return true; }

    // Unhandled events go to the next responder.
    virtual void mouseDown(const std::shared_ptr<NSEvent>& event);
    virtual void mouseDragged(const std::shared_ptr<NSEvent>& event);
    virtual void mouseUp(const std::shared_ptr<NSEvent>& event);
    virtual void rightMouseDown(const std::shared_ptr<NSEvent>& event);
    virtual void rightMouseUp(const std::shared_ptr<NSEvent>& event);
    virtual void keyDown(const std::shared_ptr<NSEvent>& event);
    virtual void keyUp(const std::shared_ptr<NSEvent>& event);
    virtual void flagsChanged(const std::shared_ptr<NSEvent>& event);
    virtual bool performKeyEquivalent(const std::shared_ptr<NSEvent>& event);
    virtual void cancelOperation(const id& sender);

  private:
    std::weak_ptr<NSResponder> nextResponder_;
};

// The look of a layer-backed view.
class CALayer : public NSObject {
  public:
    std::shared_ptr<NSColor> backgroundColor;
    std::shared_ptr<NSColor> borderColor;
    double borderWidth = 0;
    double cornerRadius = 0;
    bool masksToBounds = false;
    NSRect frame;
    std::vector<std::shared_ptr<CALayer>> sublayers;
    std::string className() const override { return "CALayer"; }
};

using NSAutoresizingMaskOptions = std::uint64_t;
inline constexpr NSAutoresizingMaskOptions NSViewNotSizable = 0;
inline constexpr NSAutoresizingMaskOptions NSViewMinXMargin = 1;
inline constexpr NSAutoresizingMaskOptions NSViewWidthSizable = 2;
inline constexpr NSAutoresizingMaskOptions NSViewMaxXMargin = 4;
inline constexpr NSAutoresizingMaskOptions NSViewMinYMargin = 8;
inline constexpr NSAutoresizingMaskOptions NSViewHeightSizable = 16;
inline constexpr NSAutoresizingMaskOptions NSViewMaxYMargin = 32;

inline constexpr double NSViewNoIntrinsicMetric = -1;

class NSView : public NSResponder {
  public:
    static Class runtimeClass();
    explicit NSView(NSRect frame = {}, Class cls = runtimeClass());

    NSRect frame() const { return frame_; }
    // A change of size resizes the subviews that follow their superview
    // (autoresizing mask) and then calls layout().
    void setFrame(NSRect frame);
    void setFrameOrigin(NSPoint origin);
    void setFrameSize(NSSize size);
    NSRect bounds() const { return {{0, 0}, frame_.size}; }

    std::shared_ptr<NSView> superview() const { return superview_.lock(); }
    const std::vector<std::shared_ptr<NSView>>& subviews() const { return subviews_; }
    void addSubview(const std::shared_ptr<NSView>& view);
    void removeFromSuperview();

    std::shared_ptr<NSWindow> window() const { return window_.lock(); }
    // Called after the view (or an ancestor) joined or left a window.
    virtual void viewDidMoveToWindow() {}

    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }
    virtual bool isFlipped() const { return false; }

    // What the view shows, in words, for assistive technologies (and the
    // view-tree printout); none for a view that shows nothing of its own.
    virtual std::optional<std::string> accessibilityValue() const { return std::nullopt; }

    NSAutoresizingMaskOptions autoresizingMask() const { return autoresizingMask_; }
    void setAutoresizingMask(NSAutoresizingMaskOptions mask) { autoresizingMask_ = mask; }

    bool wantsLayer() const { return layer_ != nullptr; }
    void setWantsLayer(bool wants);
    const std::shared_ptr<CALayer>& layer() const { return layer_; }

    bool needsDisplay() const { return needsDisplay_; }
    void setNeedsDisplay(bool needs) { needsDisplay_ = needs; }
    // Draws the view and its subviews now (drawRect: with the bounds).
    void display();
    virtual void drawRect(NSRect dirtyRect);
    // How often display() drew this view.
    std::size_t drawCount() const { return drawCount_; }

    virtual void layout() {}
    virtual NSSize intrinsicContentSize() const {
        return {NSViewNoIntrinsicMetric, NSViewNoIntrinsicMetric};
    }
    // The sizes the view's content allows; a window's live resize keeps its
    // content view within them (the hosting view of declarative content
    // answers its content's limits).
    virtual NSSize minimumContentSize() const { return {0, 0}; }
    virtual NSSize maximumContentSize() const { return {1e9, 1e9}; }
    // The focus ring follows the mask that drawFocusRingMask describes.
    void noteFocusRingMaskChanged() { ++focusRingChanges_; }
    std::size_t focusRingMaskChangeCount() const { return focusRingChanges_; }

    // The deepest visible view under a point in this view's superview
    // coordinates, or null.
    std::shared_ptr<NSView> hitTest(NSPoint point);
    // A point in window coordinates converted to this view's coordinates.
    NSPoint convertPointFromWindow(NSPoint point) const;

  private:
    friend class NSWindow;
    void setWindow(const std::shared_ptr<NSWindow>& window);

    NSRect frame_;
    std::weak_ptr<NSView> superview_;
    std::weak_ptr<NSWindow> window_;
    std::vector<std::shared_ptr<NSView>> subviews_;
    bool hidden_ = false;
    bool needsDisplay_ = true;
    NSAutoresizingMaskOptions autoresizingMask_ = NSViewNotSizable;
    std::shared_ptr<CALayer> layer_;
    std::size_t drawCount_ = 0;
    std::size_t focusRingChanges_ = 0;
};

// A button (the platform's NSButton): title, border, target and action.
class NSButton : public NSView {
  public:
    static Class runtimeClass();
    explicit NSButton(NSRect frame = {}, Class cls = runtimeClass()) : NSView(frame, cls) {}

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    bool isBordered() const { return bordered_; }
    void setBordered(bool bordered) { bordered_ = bordered; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
    id target() const { return target_.lock(); }
    void setTarget(const id& target) { target_ = target; }
    SEL action() const { return action_; }
    void setAction(SEL action) { action_ = action; }
    // Sends the action to the target through the runtime ("name:" gets the
    // button). False when disabled or nobody answers.
    bool performClick();

  private:
    std::string title_;
    bool bordered_ = true;
    bool enabled_ = true;
    bool highlighted_ = false;
    std::weak_ptr<NSObject> target_;
    SEL action_;
};

enum class NSVisualEffectMaterial : long {
    titlebar = 3,
    selection = 4,
    menu = 5,
    popover = 6,
    sidebar = 7,
    headerView = 10,
    sheet = 11,
    windowBackground = 12,
    hudWindow = 13,
    fullScreenUI = 15,
    toolTip = 17,
    contentBackground = 18,
    underWindowBackground = 21,
    underPageBackground = 22,
};
enum class NSVisualEffectBlendingMode : long { behindWindow = 0, withinWindow = 1 };
enum class NSVisualEffectState : long { followsWindowActiveState = 0, active = 1, inactive = 2 };

// The blurred backdrop: its settings are kept for inspection.
class NSVisualEffectView : public NSView {
  public:
    static Class runtimeClass();
    explicit NSVisualEffectView(NSRect frame = {}) : NSView(frame, runtimeClass()) {}
    NSVisualEffectMaterial material() const { return material_; }
    void setMaterial(NSVisualEffectMaterial material) { material_ = material; }
    NSVisualEffectBlendingMode blendingMode() const { return blendingMode_; }
    void setBlendingMode(NSVisualEffectBlendingMode mode) { blendingMode_ = mode; }
    bool isEmphasized() const { return emphasized_; }
    void setEmphasized(bool emphasized) { emphasized_ = emphasized; }
    NSVisualEffectState state() const { return state_; }
    void setState(NSVisualEffectState state) { state_ = state; }

  private:
    NSVisualEffectMaterial material_ = NSVisualEffectMaterial::contentBackground;
    NSVisualEffectBlendingMode blendingMode_ = NSVisualEffectBlendingMode::behindWindow;
    bool emphasized_ = false;
    NSVisualEffectState state_ = NSVisualEffectState::followsWindowActiveState;
};
