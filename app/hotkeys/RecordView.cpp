#include "app/hotkeys/RecordView.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cmath>
#include <utility>

#include "app/hotkeys/Keymap.h"
#include "app/hotkeys/ModifierFlags.h"
#include "platform/appkit/NSWindow.h"
#include "platform/dispatch/DispatchQueue.h"

namespace {

constexpr NSEventModifierFlags validModifiers[] = {
    NSEventModifierFlagShift, NSEventModifierFlagControl, NSEventModifierFlagOption,
    NSEventModifierFlagCommand};
constexpr const char* validModifiersText[] = {"⇧", "⌃", "⌥", "⌘"};

// Full Unicode case mapping, so that the keys of every layout ("ö", "é",
// "ß") show in capitals, not only the ASCII letters.
std::string upperCased(const std::string& text) {
    std::string out;
    icu::UnicodeString::fromUTF8(text).toUpper(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------

Class ClearButton::runtimeClass() {
    static Class cls =
        ClassBuilder<ClearButton>("ClearButton", NSButton::runtimeClass()).registerClass();
    return cls;
}

ClearButton::ClearButton(NSRect frame) : NSButton(frame, runtimeClass()) {
    setBordered(false);
    setTitle("");
    setWantsLayer(true);
    layer()->masksToBounds = true;
}

void ClearButton::drawRect(NSRect dirtyRect) {
    NSButton::drawRect(dirtyRect);
    const NSRect bounds = this->bounds();
    layer()->cornerRadius = bounds.size.height * 0.5;
    layer()->sublayers.clear();
    // The grey disc; the X is cut out of it by a mask the headless layer
    // does not keep.
    auto circle = std::make_shared<CALayer>();
    circle->frame = bounds;
    const double grey = isHighlighted() ? 134.0 / 255.0 : 191.0 / 255.0;
    circle->backgroundColor = NSColor::colorWithWhite(grey, 1);
    circle->cornerRadius = bounds.size.height * 0.5;
    layer()->sublayers.push_back(circle);
}

// ---------------------------------------------------------------------------

Class RecordView::runtimeClass() {
    static Class cls = ClassBuilder<RecordView>("RecordView", NSView::runtimeClass())
                           .method("clearAndEndRecording", &RecordView::clearAndEndRecording)
                           .method("isRecording", &RecordView::isRecording)
                           .registerClass();
    return cls;
}

RecordView::RecordView(NSRect frame, Class cls)
    : NSView(frame, cls),
      backgroundColor_(NSColor::textBackgroundColor()),
      tintColor_(NSColor::controlAccentColor()),
      textColorDisabled_(NSColor::disabledControlTextColor()),
      borderColor_(NSColor::controlColor()),
      clearButton_(std::make_shared<ClearButton>()),
      modifierEventHandler_(
          ModifierEventHandler::init(std::chrono::milliseconds(300), DispatchQueue::main())) {}

std::shared_ptr<RecordView> RecordView::make(NSRect frame) {
    auto view = std::make_shared<RecordView>(frame);
    view->setUp();
    return view;
}

void RecordView::setUp() {
    setWantsLayer(true);
    layer()->backgroundColor = backgroundColor_;
    layer()->borderColor = borderColor_;
    layer()->borderWidth = borderWidth_;
    layer()->cornerRadius = cornerRadius_;
    auto self = std::static_pointer_cast<RecordView>(shared_from_this());
    clearButton_->setTarget(self);
    clearButton_->setAction("clearAndEndRecording");
    addSubview(clearButton_);
    std::weak_ptr<RecordView> weak = self;
    modifierEventHandler_->setDoubleTapped([weak](NSEventModifierFlags modifier) {
        if (auto view = weak.lock()) view->recordDoubledModifier(modifier);
    });
}

void RecordView::setBackgroundColor(std::shared_ptr<NSColor> color) {
    backgroundColor_ = std::move(color);
    if (layer()) layer()->backgroundColor = backgroundColor_;
}

void RecordView::setTintColor(std::shared_ptr<NSColor> color) {
    tintColor_ = std::move(color);
    redraw();
}

void RecordView::setTextColorDisabled(std::shared_ptr<NSColor> color) {
    textColorDisabled_ = std::move(color);
    redraw();
}

void RecordView::setBorderColor(std::shared_ptr<NSColor> color) {
    borderColor_ = std::move(color);
    if (layer()) layer()->borderColor = borderColor_;
}

void RecordView::setBorderWidth(double width) {
    borderWidth_ = width;
    if (layer()) layer()->borderWidth = width;
}

void RecordView::setCornerRadius(double radius) {
    cornerRadius_ = radius;
    if (layer()) layer()->cornerRadius = radius;
    noteFocusRingMaskChanged();
}

void RecordView::setClearButtonMode(ClearButtonMode mode) {
    clearButtonMode_ = mode;
    redraw();
}

void RecordView::setKeyCombo(std::shared_ptr<KeyCombo> keyCombo) {
    keyCombo_ = std::move(keyCombo);
    redraw();
}

void RecordView::setEnabled(bool enabled) {
    isEnabled_ = enabled;
    redraw();
    if (!enabled) {
        auto window = this->window();
        if (window && (window->firstResponder().get() == this || isRecording_))
            window->makeFirstResponder(nullptr);
    }
    noteFocusRingMaskChanged();
}

void RecordView::setRecording(bool recording) {
    if (isRecording_ == recording) return;
    isRecording_ = recording;
    didChangeValueForKey("isRecording", nullptr, nullptr);
}

bool RecordView::isFirstResponderInWindow() const {
    auto window = this->window();
    return window && window->firstResponder().get() == this;
}

bool RecordView::recording() const {
    return isEnabled_ && isFirstResponderInWindow() && isRecording_;
}

bool RecordView::beginRecording() {
    auto window = this->window();
    if (!window || !isEnabled_) return false;
    if (isFirstResponderInWindow() && isRecording_) return true;
    return window->makeFirstResponder(std::static_pointer_cast<NSResponder>(shared_from_this()));
}

bool RecordView::endRecording() {
    auto window = this->window();
    if (!window) return true;
    if (isFirstResponderInWindow() || isRecording_) return window->makeFirstResponder(nullptr);
    return true;
}

void RecordView::clear() {
    keyCombo_ = nullptr;
    inputModifiers_ = 0;
    redraw();
    if (didChange_) didChange_(nullptr);
    if (auto d = delegate()) d->recordViewDidChangeKeyCombo(*this, nullptr);
}

void RecordView::clearAndEndRecording() {
    clear();
    endRecording();
}

void RecordView::cancelOperation(const id&) {
    endRecording();
}

bool RecordView::becomeFirstResponder() {
    if (!isEnabled_) return false;
    if (auto d = delegate(); d && !d->recordViewShouldBeginRecording(*this)) {
        NSBeep();
        return false;
    }
    setRecording(true);
    redraw();
    return true;
}

bool RecordView::resignFirstResponder() {
    inputModifiers_ = 0;
    setRecording(false);
    redraw();
    if (auto d = delegate()) d->recordViewDidEndRecording(*this);
    return NSView::resignFirstResponder();
}

void RecordView::take(const std::shared_ptr<KeyCombo>& combo) {
    keyCombo_ = combo;
    redraw();
    if (didChange_) didChange_(combo);
    if (auto d = delegate()) d->recordViewDidChangeKeyCombo(*this, combo);
    endRecording();
}

bool RecordView::performKeyEquivalent(const std::shared_ptr<NSEvent>& event) {
    if (!event || !recording()) return false;
    auto key = Keymap::shared()->resolvedKey(event->keyCode());
    if (!key) return false;
    auto bits = carbonModifiers(event->modifierFlags() & ~NSEventModifierFlagFunction, false);
    std::shared_ptr<KeyCombo> combo;
    if (bits != 0) {
        combo = KeyCombo::initWithCarbonModifiers(*key, bits);
    } else {
        if (!isFunctionKey(*key)) return false;
        combo = KeyCombo::init(*key, 0);
    }
    if (!combo) return false;
    if (auto d = delegate(); d && !d->recordViewCanRecordKeyCombo(*this, combo)) return false;
    take(combo);
    return true;
}

void RecordView::keyDown(const std::shared_ptr<NSEvent>& event) {
    if (!performKeyEquivalent(event)) NSView::keyDown(event);
}

void RecordView::flagsChanged(const std::shared_ptr<NSEvent>& event) {
    if (event && recording()) {
        modifierEventHandler_->handleModifiersEvent(event->modifierFlags(), event->timestamp());
        inputModifiers_ = event->modifierFlags();
    } else {
        inputModifiers_ = 0;
    }
    redraw();
    NSView::flagsChanged(event);
}

void RecordView::recordDoubledModifier(NSEventModifierFlags modifier) {
    if (!recording()) return;
    auto combo = KeyCombo::initWithDoubledCocoaModifiers(modifier);
    if (!combo) return;
    if (auto d = delegate(); d && !d->recordViewCanRecordKeyCombo(*this, combo)) return;
    take(combo);
}

std::optional<std::string> RecordView::accessibilityValue() const {
    std::string text = "no shortcut";
    if (keyCombo_) {
        text = "shortcut ";
        for (const auto& symbol : modifierSymbols(cocoaModifierFlags(keyCombo_->modifiers())))
            text += symbol;
        text += " " + (keyCombo_->doubledModifiers() ? std::string("double tap")
                                                     : upperCased(keyCombo_->keyEquivalent()));
    }
    if (isRecording_) text += ", recording";
    if (!isEnabled_) text += ", disabled";
    return text;
}

void RecordView::drawRect(NSRect) {
    if (auto l = layer()) {
        l->backgroundColor = backgroundColor_;
        l->borderColor = borderColor_;
    }
    const NSRect bounds = this->bounds();
    const double h = bounds.size.height;
    const double W = bounds.size.width;
    const double s = h / 1.7;
    const double m = (h - s) / 2.6;
    drawing_ = {};
    drawing_.fontSize = std::floor(h / 1.7);
    const NSEventModifierFlags shown =
        keyCombo_ ? cocoaModifierFlags(keyCombo_->modifiers()) : inputModifiers_;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool lit = isEnabled_ && (shown & validModifiers[i]) != 0;
        drawing_.symbols.push_back({validModifiersText[i],
                                    {{s * static_cast<double>(i) + 1.5 * m, m}, {s, h}},
                                    lit ? tintColor_ : textColorDisabled_});
    }
    if (keyCombo_) {
        const double x = 4 * s + 3 * m;
        const double width = W - x - 3 * m - s / 1.2;
        if (width > 0) {
            drawing_.keyText = keyCombo_->doubledModifiers()
                                   ? std::string("double tap")
                                   : upperCased(keyCombo_->keyEquivalent());
            drawing_.keyRect = {{x, m}, {width, h}};
            drawing_.keyColor = isEnabled_ ? tintColor_ : NSColor::disabledControlTextColor();
        }
    }
    const double c = s / 1.2;
    clearButton_->setFrame({{W - c - 1.5 * m - 1, (h - c) / 2 - 1}, {c, c}});
    switch (clearButtonMode_) {
        case ClearButtonMode::never:
            clearButton_->setHidden(true);
            break;
        case ClearButtonMode::always:
            clearButton_->setHidden(false);
            break;
        case ClearButtonMode::whenRecorded:
            clearButton_->setHidden(keyCombo_ == nullptr);
            break;
    }
}

std::optional<FocusRingMask> RecordView::focusRingMask() const {
    if (!recording()) return std::nullopt;
    return FocusRingMask{bounds(), cornerRadius_};
}
