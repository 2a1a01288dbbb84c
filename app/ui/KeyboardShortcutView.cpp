#include "app/ui/KeyboardShortcutView.h"

#include "app/mute/StoredShortcut.h"
#include "app/settings/AppSettings.h"
#include "app/ui/ProductLinks.h"
#include "app/ui/Theme.h"
#include "services/analytics/ZAROduzozova.h"

namespace {
using K = Defaults::Keys;
}

// ---------------------------------------------------------------------------

Class ShortcutRecordView::runtimeClass() {
    static Class cls =
        ClassBuilder<ShortcutRecordView>("Lumbrel.ShortcutRecordView", RecordView::runtimeClass())
            .registerClass();
    return cls;
}

ShortcutRecordView::ShortcutRecordView(NSRect frame) : RecordView(frame, runtimeClass()) {}

std::shared_ptr<ShortcutRecordView> ShortcutRecordView::make() {
    auto view = std::make_shared<ShortcutRecordView>();
    view->setUp();
    return view;
}

std::optional<FocusRingMask> ShortcutRecordView::focusRingMask() const {
    if (isEnabled() && isFirstResponderInWindow() && !isRecording())
        return FocusRingMask{bounds(), cornerRadius()};
    return std::nullopt;
}

// ---------------------------------------------------------------------------

ShortcutSnapshot& shortcutSnapshot() {
    static auto* snapshot = new ShortcutSnapshot{Defaults::get(K::keyCode()),
                                                 Defaults::get(K::keyCodeString()),
                                                 Defaults::get(K::keyDoubleModifiers()),
                                                 Defaults::get(K::keyEnabled()),
                                                 Defaults::get(K::keyModifiers()),
                                                 Defaults::get(K::keyModifiersString())};
    return *snapshot;
}

bool& didSaveNewShortcut() {
    static bool saved = false;
    return saved;
}

double& defaultRecorderBorderWidth() {
    static double width = 0;
    return width;
}

double& defaultRecorderCornerRadius() {
    static double radius = 0;
    return radius;
}

void snapshotShortcutSettings() {
    auto& s = shortcutSnapshot();
    s.keyCode = Defaults::get(K::keyCode());
    s.keyCodeString = Defaults::get(K::keyCodeString());
    s.keyDoubleModifiers = Defaults::get(K::keyDoubleModifiers());
    s.keyEnabled = Defaults::get(K::keyEnabled());
    s.keyModifiers = Defaults::get(K::keyModifiers());
    s.keyModifiersString = Defaults::get(K::keyModifiersString());
}

void saveRecordedShortcut(const std::shared_ptr<KeyCombo>& keyCombo) {
    if (!keyCombo) {
        Defaults::set(K::keyEnabled(), false);
        return;
    }
    didSaveNewShortcut() = true;
    const bool doubled = keyCombo->doubledModifiers();
    Defaults::set(K::keyEnabled(), true);
    Defaults::set(K::keyCode(), keyCombo->keyCode());
    Defaults::set(K::keyCodeString(), keyCombo->characters());
    Defaults::set(K::keyDoubleModifiers(), doubled);
    Defaults::set(K::keyModifiers(), keyCombo->modifiers());
    Defaults::set(K::keyModifiersString(),
                  keyModifiersDisplayString(keyCombo->modifiers(), doubled));

    const std::string modifiers = Defaults::get(K::keyModifiersString());
    const std::string shortcut =
        doubled ? modifiers : modifiers + Defaults::get(K::keyCodeString());
    ZAROduzozova::logEventWithName(
        "changed_keyboard_shortcut",
        Dictionary{{"double_tap", Value(doubled ? "On" : "Off")}, {"shortcut", Value(shortcut)}});
}

void restoreShortcutSettings(RecordView& recorder) {
    if (didSaveNewShortcut()) {
        didSaveNewShortcut() = false;
        return;
    }
    const auto& s = shortcutSnapshot();
    if (!s.keyEnabled) {
        Defaults::set(K::keyEnabled(), false);
        return;
    }
    Defaults::set(K::keyEnabled(), true);
    Defaults::set(K::keyCode(), s.keyCode);
    Defaults::set(K::keyCodeString(), s.keyCodeString);
    Defaults::set(K::keyDoubleModifiers(), s.keyDoubleModifiers);
    Defaults::set(K::keyModifiers(), s.keyModifiers);
    Defaults::set(K::keyModifiersString(), s.keyModifiersString);
    recorder.setClearButtonMode(ClearButtonMode::whenRecorded);
    recorder.setKeyCombo(storedKeyCombo());
}

// ---------------------------------------------------------------------------

Class KeyboardShortcutViewDelegate::runtimeClass() {
    static Class cls =
        ClassBuilder<KeyboardShortcutViewDelegate>("Lumbrel.KeyboardShortcutViewDelegate")
            .registerClass();
    return cls;
}

KeyboardShortcutViewDelegate::KeyboardShortcutViewDelegate() : RuntimeObject(runtimeClass()) {}

bool KeyboardShortcutViewDelegate::recordViewShouldBeginRecording(RecordView& view) {
    view.setBorderColor(Theme::red());
    view.setCornerRadius(2);
    view.setBorderWidth(2);
    view.setTintColor(Theme::red());
    snapshotShortcutSettings();
    view.clearKeyCombo();
    return true;
}

bool KeyboardShortcutViewDelegate::recordViewCanRecordKeyCombo(RecordView&,
                                                               const std::shared_ptr<KeyCombo>&) {
    return true;
}

void KeyboardShortcutViewDelegate::recordViewDidChangeKeyCombo(
    RecordView&, const std::shared_ptr<KeyCombo>& keyCombo) {
    saveRecordedShortcut(keyCombo);
}

void KeyboardShortcutViewDelegate::recordViewDidEndRecording(RecordView& view) {
    view.setBorderColor(NSColor::controlShadowColor());
    view.setBorderWidth(defaultRecorderBorderWidth());
    view.setCornerRadius(defaultRecorderCornerRadius());
    view.setTintColor(NSColor::controlAccentColor());
    restoreShortcutSettings(view);
}

// ---------------------------------------------------------------------------

std::shared_ptr<NSView> KeyboardShortcutView::makeNSView() const {
    auto recorder = ShortcutRecordView::make();
    recorder->setClearButtonMode(ClearButtonMode::whenRecorded);
    recorder->setTintColor(NSColor::controlAccentColor());
    recorder->setBackgroundColor(NSColor::controlBackgroundColor());
    recorder->setBorderColor(NSColor::controlShadowColor());
    recorder->setTextColorDisabled(
        NSColor::disabledControlTextColor()->colorWithAlphaComponent(0.12));
    defaultRecorderBorderWidth() = recorder->borderWidth();
    defaultRecorderCornerRadius() = recorder->cornerRadius();
    recorder->setDelegate(delegate);
    recorder->setKeyCombo(storedKeyCombo());
    return recorder;
}

void KeyboardShortcutView::updateNSView(NSView& view) const {
    if (auto* recorder = dynamic_cast<RecordView*>(&view)) recorder->setDelegate(delegate);
}

View HotKeyRecorderView::body() const {
    return View(KeyboardShortcutView(std::make_shared<KeyboardShortcutViewDelegate>()))
        .frame(Theme::controlWidth, 32)
        .padding(2.0);
}

View HotKeyView::body() const {
    return HStack(
               VerticalAlignment::top, std::nullopt,
               {Text("Keyboard shortcut:")
                    .frame(Theme::labelWidth, std::nullopt, Alignment::trailing())
                    .padding(Edge::trailing, Theme::labelTrailingPadding)
                    .padding(Edge::top, 10),
                VStack(
                    HorizontalAlignment::leading, std::nullopt,
                    {View(HotKeyRecorderView()),
                     helpTextStyle(
                         Text("Select this field to record a key combination to toggle your mic."))
                         .padding(Edge::top, -2)
                         .padding(Edge::bottom, -8),
                     smallTextStyle(
                         Button("Learn more.",
                                [] { openLink(productPageURL("/help/keyboard-shortcut")); }))
                         .buttonStyle(LinkButtonStyle())})})
        .padding(Edge::bottom, 8);
}
