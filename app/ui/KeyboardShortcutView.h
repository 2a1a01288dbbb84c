#pragma once
// Recording the global shortcut: the recorder control in the declarative
// views, its delegate that stores each recorded combination in the six
// shortcut settings (and puts the previous shortcut back when a recording
// ends without one), and the keyboard-shortcut section of the preferences.
// The global hot key follows the settings elsewhere. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/hotkeys/RecordView.h"
#include "platform/runtime/Runtime.h"
#include "platform/swiftui/View.h"

// A recorder whose focus ring shows only while it is focused and idle,
// with its own corner radius.
class ShortcutRecordView : public RecordView {
  public:
    static Class runtimeClass();
    static std::shared_ptr<ShortcutRecordView> make();
    explicit ShortcutRecordView(NSRect frame = {});
    std::optional<FocusRingMask> focusRingMask() const override;
};

// "Lumbrel.KeyboardShortcutViewDelegate": stateless, serves any recorder.
class KeyboardShortcutViewDelegate : public RuntimeObject, public RecordViewDelegate {
  public:
    static Class runtimeClass();
    KeyboardShortcutViewDelegate();

    bool recordViewShouldBeginRecording(RecordView& view) override;
    bool recordViewCanRecordKeyCombo(RecordView& view,
                                     const std::shared_ptr<KeyCombo>& keyCombo) override;
    void recordViewDidChangeKeyCombo(RecordView& view,
                                     const std::shared_ptr<KeyCombo>& keyCombo) override;
    void recordViewDidEndRecording(RecordView& view) override;
};

// The recorder as a declarative view; it keeps its delegate alive (the
// recorder refers to it weakly).
struct KeyboardShortcutView : NSViewRepresentable {
    std::shared_ptr<KeyboardShortcutViewDelegate> delegate;
    explicit KeyboardShortcutView(std::shared_ptr<KeyboardShortcutViewDelegate> delegate)
        : delegate(std::move(delegate)) {}
    std::shared_ptr<NSView> makeNSView() const override;
    // Follows no setting: a recorder on screen keeps what it shows. It only
    // takes this value's delegate, so that the recorder keeps a live one
    // when the view is built anew.
    void updateNSView(NSView& view) const override;
};

// The recorder framed to the control column.
struct HotKeyRecorderView {
    View body() const;
};

// The keyboard-shortcut section of the preferences.
struct HotKeyView {
    View body() const;
};

// The six shortcut settings as they were when the last recording began.
struct ShortcutSnapshot {
    std::int64_t keyCode = 0;
    std::string keyCodeString;
    bool keyDoubleModifiers = false;
    bool keyEnabled = false;
    std::int64_t keyModifiers = 0;
    std::string keyModifiersString;
};
ShortcutSnapshot& shortcutSnapshot();
// Set between saving a recorded combination and the end of that recording.
bool& didSaveNewShortcut();
// The recorder's own border width and corner radius, put back after a
// recording.
double& defaultRecorderBorderWidth();
double& defaultRecorderCornerRadius();

void snapshotShortcutSettings();
// Stores the combination (none: only disables the shortcut) and reports it.
void saveRecordedShortcut(const std::shared_ptr<KeyCombo>& keyCombo);
// At the end of a recording: keeps a saved combination, else puts the
// snapshot back and shows it in the recorder.
void restoreShortcutSettings(RecordView& recorder);
