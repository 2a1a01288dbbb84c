#pragma once
// The control in which the user records a shortcut: clicked (it becomes
// first responder and records), it takes a key pressed with modifiers, an
// F-key alone, or a double tap of one modifier, shows it and reports it
// through `didChange` and its delegate, which may refuse the start of a
// recording and each combination. Drawing is headless: display() computes
// what would be drawn (lastDrawing). Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/hotkeys/KeyCombo.h"
#include "app/hotkeys/ModifierEventHandler.h"
#include "platform/appkit/NSView.h"

enum class ClearButtonMode { never = 0, always = 1, whenRecorded = 2 };

class RecordView;

// Held weakly by the view.
class RecordViewDelegate {
  public:
    virtual ~RecordViewDelegate() = default;
    virtual bool recordViewShouldBeginRecording(RecordView& view) = 0;
    virtual bool recordViewCanRecordKeyCombo(RecordView& view,
                                             const std::shared_ptr<KeyCombo>& keyCombo) = 0;
    virtual void recordViewDidChangeKeyCombo(RecordView& view,
                                             const std::shared_ptr<KeyCombo>& keyCombo) = 0;
    virtual void recordViewDidEndRecording(RecordView& view) = 0;
};

// The round button that removes the combination.
class ClearButton : public NSButton {
  public:
    static Class runtimeClass();
    explicit ClearButton(NSRect frame = {});
    void drawRect(NSRect dirtyRect) override;
};

// What the last drawing showed.
struct RecordViewDrawing {
    struct Symbol {
        std::string text;
        NSRect rect;
        std::shared_ptr<NSColor> color;
    };
    double fontSize = 0;
    std::vector<Symbol> symbols;         // ⇧ ⌃ ⌥ ⌘
    std::optional<std::string> keyText;  // none when not drawn
    NSRect keyRect;
    std::shared_ptr<NSColor> keyColor;
};

// The focus ring's shape: a rectangle with rounded corners.
struct FocusRingMask {
    NSRect rect;
    double cornerRadius = 0;
};

class RecordView : public NSView {
  public:
    using DidChange = std::function<void(const std::shared_ptr<KeyCombo>&)>;

    static Class runtimeClass();
    // A view set up with its clear button and double-tap detection.
    static std::shared_ptr<RecordView> make(NSRect frame = {});

    const std::shared_ptr<NSColor>& backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::shared_ptr<NSColor> color);
    const std::shared_ptr<NSColor>& tintColor() const { return tintColor_; }
    void setTintColor(std::shared_ptr<NSColor> color);
    const std::shared_ptr<NSColor>& textColorDisabled() const { return textColorDisabled_; }
    void setTextColorDisabled(std::shared_ptr<NSColor> color);
    const std::shared_ptr<NSColor>& borderColor() const { return borderColor_; }
    void setBorderColor(std::shared_ptr<NSColor> color);
    double borderWidth() const { return borderWidth_; }
    void setBorderWidth(double width);
    double cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(double radius);
    ClearButtonMode clearButtonMode() const { return clearButtonMode_; }
    void setClearButtonMode(ClearButtonMode mode);

    std::shared_ptr<RecordViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<RecordViewDelegate>& delegate) { delegate_ = delegate; }
    const DidChange& didChange() const { return didChange_; }
    void setDidChange(DidChange callback) { didChange_ = std::move(callback); }

    bool isRecording() const { return isRecording_; }
    const std::shared_ptr<KeyCombo>& keyCombo() const { return keyCombo_; }
    void setKeyCombo(std::shared_ptr<KeyCombo> keyCombo);
    bool isEnabled() const { return isEnabled_; }
    void setEnabled(bool enabled);
    const std::shared_ptr<ClearButton>& clearButton() const { return clearButton_; }
    NSEventModifierFlags inputModifiers() const { return inputModifiers_; }

    // Asks the window to make the view first responder.
    bool beginRecording();
    // Asks the window to make nothing first responder.
    bool endRecording();
    // Removes the combination and reports none.
    void clear();
    void clearKeyCombo() { clear(); }
    void clearAndEndRecording();
    void cancelOperation(const id& sender) override;

    bool isFlipped() const override { return true; }
    bool acceptsFirstResponder() const override { return isEnabled_; }
    bool needsPanelToBecomeKey() const { return true; }
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;
    void keyDown(const std::shared_ptr<NSEvent>& event) override;
    bool performKeyEquivalent(const std::shared_ptr<NSEvent>& event) override;
    void flagsChanged(const std::shared_ptr<NSEvent>& event) override;
    void drawRect(NSRect dirtyRect) override;
    const RecordViewDrawing& lastDrawing() const { return drawing_; }
    // What the view shows, in words: "shortcut ⇧⌘ M", "shortcut ⌥ double
    // tap" or "no shortcut", then ", recording" while it records.
    std::optional<std::string> accessibilityValue() const override;

    // While recording, the bounds with square corners; otherwise none.
    virtual std::optional<FocusRingMask> focusRingMask() const;

    explicit RecordView(NSRect frame = {}, Class cls = runtimeClass());

  protected:
    // Enabled, the window's first responder, and recording.
    bool isFirstResponderInWindow() const;
    bool recording() const;
    // Once, right after creation: the layer, the clear button and the
    // double-tap detection (which need the shared object).
    void setUp();

  private:
    void recordDoubledModifier(NSEventModifierFlags modifier);
    void take(const std::shared_ptr<KeyCombo>& combo);
    void redraw() { setNeedsDisplay(true); }
    void setRecording(bool recording);

    std::shared_ptr<NSColor> backgroundColor_;
    std::shared_ptr<NSColor> tintColor_;
    std::shared_ptr<NSColor> textColorDisabled_;
    std::shared_ptr<NSColor> borderColor_;
    double borderWidth_ = 0;
    double cornerRadius_ = 0;
    ClearButtonMode clearButtonMode_ = ClearButtonMode::always;
    std::weak_ptr<RecordViewDelegate> delegate_;
    DidChange didChange_;
    bool isRecording_ = false;
    std::shared_ptr<KeyCombo> keyCombo_;
    bool isEnabled_ = true;
    std::shared_ptr<ClearButton> clearButton_;
    std::shared_ptr<ModifierEventHandler> modifierEventHandler_;
    NSEventModifierFlags inputModifiers_ = 0;
    RecordViewDrawing drawing_;
};
