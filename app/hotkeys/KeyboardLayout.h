#pragma once
// The keyboard layouts of the enabled input sources: for each, which key
// code types which Key, built by translating every key code through the
// source's Unicode layout data. Follows the platform's notifications when
// the user selects, enables or disables a source, and announces the changes
// on the process's notification centre (names in Keymap.h). Reached through
// the Keymap facade.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/hotkeys/InputSource.h"
#include "app/hotkeys/Key.h"
#include "app/hotkeys/ModifierFlags.h"
#include "platform/notifications/NSNotificationCenter.h"

using KeyCodeMap = std::map<Key, std::uint16_t>;

class ModifierTransformer {
  public:
    // Command, option, control and shift to their Carbon bits; nothing else.
    std::int64_t carbonFlags(NSEventModifierFlags from) const;
};

class KeyboardLayout : public std::enable_shared_from_this<KeyboardLayout> {
  public:
    static std::shared_ptr<KeyboardLayout> init(
        std::shared_ptr<NSDistributedNotificationCenter> distributedNotificationCenter,
        std::shared_ptr<NSNotificationCenter> notificationCenter,
        std::shared_ptr<ModifierTransformer> modifierTransformer);
    ~KeyboardLayout();
    KeyboardLayout(const KeyboardLayout&) = delete;
    KeyboardLayout& operator=(const KeyboardLayout&) = delete;

    // Null only when the platform reports no such source.
    std::shared_ptr<InputSource> currentKeyboardLayoutInputSource() const;
    std::shared_ptr<InputSource> currentASCIICapableInputSource() const;
    std::vector<std::shared_ptr<InputSource>> inputSources() const;
    std::optional<KeyCodeMap> keyCodes(const InputSource& source) const;

    void reloadInputSources();
    void mapKeyCodes(const std::shared_ptr<InputSource>& source);
    void observeInputSourceChanges();
    void selectedKeyboardInputSourceChanged();
    void enabledKeyboardInputSourcesChanged();

    std::optional<Key> key(std::int64_t keyCode, const InputSource& source) const;
    std::optional<std::string> character(std::int64_t keyCode, std::int64_t carbonModifiers,
                                         const InputSource& source) const;
    // What the key code types with the shift and option state of the
    // modifiers; the fixed label for keys that have one.
    static std::optional<std::string> translate(std::int64_t keyCode, std::int64_t carbonModifiers,
                                                const Data& layoutData);

    const std::shared_ptr<ModifierTransformer>& modifierTransformer() const {
        return modifierTransformer_;
    }

    KeyboardLayout(std::shared_ptr<NSDistributedNotificationCenter> distributedNotificationCenter,
                   std::shared_ptr<NSNotificationCenter> notificationCenter,
                   std::shared_ptr<ModifierTransformer> modifierTransformer);

  private:
    using SourceMaps = std::unordered_map<std::shared_ptr<InputSource>, KeyCodeMap,
                                          InputSource::Hash, InputSource::Equal>;
    static std::optional<KeyCodeMap> buildMap(const InputSource& source);
    void post(const std::string& name);

    // Callers mostly stay on the main thread; the lock covers the others.
    mutable std::mutex mutex_;
    std::shared_ptr<InputSource> currentKeyboardLayoutInputSource_;
    std::shared_ptr<InputSource> currentASCIICapableInputSource_;
    SourceMaps mappedKeyCodes_;
    std::vector<std::shared_ptr<InputSource>> inputSources_;
    std::shared_ptr<NSDistributedNotificationCenter> distributedNotificationCenter_;
    std::shared_ptr<NSNotificationCenter> notificationCenter_;
    std::shared_ptr<ModifierTransformer> modifierTransformer_;
    std::vector<std::shared_ptr<NSNotificationObserver>> observers_;
};
