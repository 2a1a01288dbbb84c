#pragma once
// Which key code types a Key under the keyboard layout selected now, and
// which character a key code types, each with a fixed fallback: the QWERTY
// key code or key, and the ASCII-capable layout for characters.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/hotkeys/KeyboardLayout.h"

class Keymap {
  public:
    // Posted on the process's default centre, with no object.
    static inline const NSNotificationName selectedKeyboardInputSourceChangedNotification =
        "KeymapSelectedKeyboardInputSourceChanged";
    static inline const NSNotificationName enabledKeyboardInputSourcesChangedNotification =
        "KeymapEnabledKeyboardInputSourcesChanged";
    static inline const NSNotificationName selectedKeyboardKeyCodesChangedNotification =
        "KeymapSelectedKeyboardKeyCodesChanged";

    // Over the platform's distributed centre and the default centre.
    static std::shared_ptr<Keymap> shared();
    explicit Keymap(std::shared_ptr<KeyboardLayout> layout);

    const std::shared_ptr<KeyboardLayout>& layout() const { return layout_; }

    std::vector<std::shared_ptr<InputSource>> enabledInputSources() const;

    // The current layout's key code, else the QWERTY one.
    std::uint16_t resolvedKeyCode(Key key) const;
    std::optional<std::uint16_t> layoutKeyCode(Key key) const;
    std::optional<KeyCodeMap> layoutKeyCodes() const;
    std::optional<std::uint16_t> keyCode(Key key, const InputSource& source) const;
    std::optional<KeyCodeMap> keyCodes(const InputSource& source) const;

    // The current layout's key, else the QWERTY one.
    std::optional<Key> resolvedKey(std::int64_t keyCode) const;
    std::optional<Key> layoutKey(std::int64_t keyCode) const;
    std::optional<Key> key(std::int64_t keyCode, const InputSource& source) const;

    // The current layout's character, else the ASCII-capable layout's.
    std::optional<std::string> character(std::int64_t keyCode, std::int64_t carbonModifiers) const;
    std::optional<std::string> layoutCharacter(std::int64_t keyCode,
                                               std::int64_t carbonModifiers) const;
    std::optional<std::string> asciiCharacter(std::int64_t keyCode,
                                              std::int64_t carbonModifiers) const;
    std::optional<std::string> character(std::int64_t keyCode, std::int64_t carbonModifiers,
                                         const InputSource& source) const;
    std::optional<std::string> characterForCocoaModifiers(std::int64_t keyCode,
                                                          NSEventModifierFlags flags) const;
    std::optional<std::string> layoutCharacterForCocoaModifiers(std::int64_t keyCode,
                                                                NSEventModifierFlags flags) const;
    std::optional<std::string> asciiCharacterForCocoaModifiers(std::int64_t keyCode,
                                                               NSEventModifierFlags flags) const;
    std::optional<std::string> characterForCocoaModifiers(std::int64_t keyCode,
                                                          NSEventModifierFlags flags,
                                                          const InputSource& source) const;

  private:
    std::shared_ptr<KeyboardLayout> layout_;
    std::shared_ptr<ModifierTransformer> modifierTransformer_;
};
