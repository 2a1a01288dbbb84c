#include "app/hotkeys/KeyboardLayout.h"

#include "app/hotkeys/Keymap.h"

std::int64_t ModifierTransformer::carbonFlags(NSEventModifierFlags from) const {
    std::int64_t bits = 0;
    if (from & NSEventModifierFlagCommand) bits |= cmdKey;
    if (from & NSEventModifierFlagOption) bits |= optionKey;
    if (from & NSEventModifierFlagControl) bits |= controlKey;
    if (from & NSEventModifierFlagShift) bits |= shiftKey;
    return bits;
}

std::shared_ptr<KeyboardLayout> KeyboardLayout::init(
    std::shared_ptr<NSDistributedNotificationCenter> distributedNotificationCenter,
    std::shared_ptr<NSNotificationCenter> notificationCenter,
    std::shared_ptr<ModifierTransformer> modifierTransformer) {
    auto layout = std::make_shared<KeyboardLayout>(std::move(distributedNotificationCenter),
                                                   std::move(notificationCenter),
                                                   std::move(modifierTransformer));
    layout->observeInputSourceChanges();
    return layout;
}

KeyboardLayout::KeyboardLayout(
    std::shared_ptr<NSDistributedNotificationCenter> distributedNotificationCenter,
    std::shared_ptr<NSNotificationCenter> notificationCenter,
    std::shared_ptr<ModifierTransformer> modifierTransformer)
    : distributedNotificationCenter_(std::move(distributedNotificationCenter)),
      notificationCenter_(std::move(notificationCenter)),
      modifierTransformer_(std::move(modifierTransformer)) {
    currentKeyboardLayoutInputSource_ =
        InputSource::init(TISCopyCurrentKeyboardLayoutInputSource());
    currentASCIICapableInputSource_ =
        InputSource::init(TISCopyCurrentASCIICapableKeyboardInputSource());
    reloadInputSources();
    if (currentKeyboardLayoutInputSource_) mapKeyCodes(currentKeyboardLayoutInputSource_);
}

KeyboardLayout::~KeyboardLayout() {
    for (const auto& observer : observers_)
        distributedNotificationCenter_->removeObserver(observer);
    notificationCenter_->removeObserver(static_cast<const void*>(this));
}

std::shared_ptr<InputSource> KeyboardLayout::currentKeyboardLayoutInputSource() const {
    std::lock_guard lock(mutex_);
    return currentKeyboardLayoutInputSource_;
}

std::shared_ptr<InputSource> KeyboardLayout::currentASCIICapableInputSource() const {
    std::lock_guard lock(mutex_);
    return currentASCIICapableInputSource_;
}

std::vector<std::shared_ptr<InputSource>> KeyboardLayout::inputSources() const {
    std::lock_guard lock(mutex_);
    return inputSources_;
}

std::optional<KeyCodeMap> KeyboardLayout::keyCodes(const InputSource& source) const {
    std::lock_guard lock(mutex_);
    for (const auto& [mapped, map] : mappedKeyCodes_)
        if (*mapped == source) return map;
    return std::nullopt;
}

void KeyboardLayout::reloadInputSources() {
    auto list = TISCreateInputSourceList({}, false);
    if (!list) return;
    std::vector<std::shared_ptr<InputSource>> sources;
    for (const auto& ref : *list)
        if (auto source = InputSource::init(ref)) sources.push_back(std::move(source));
    {
        std::lock_guard lock(mutex_);
        inputSources_ = sources;
    }
    for (const auto& source : sources) mapKeyCodes(source);
}

std::optional<KeyCodeMap> KeyboardLayout::buildMap(const InputSource& source) {
    auto data = TISGetInputSourceProperty(source.source(), kTISPropertyUnicodeKeyLayoutData);
    if (!data || !data->asData()) return std::nullopt;
    KeyCodeMap map;
    for (std::int64_t code = 0; code < 128; ++code) {
        auto typed = translate(code, 0, *data->asData());
        if (!typed) continue;
        auto key = keyFromCharacter(*typed, code);
        // The lowest key code that types a key wins.
        if (!key || map.count(*key)) continue;
        map[*key] = static_cast<std::uint16_t>(code);
    }
    return map;
}

void KeyboardLayout::mapKeyCodes(const std::shared_ptr<InputSource>& source) {
    if (!source) return;
    auto map = buildMap(*source);
    if (!map) return;
    std::lock_guard lock(mutex_);
    mappedKeyCodes_.erase(source);
    mappedKeyCodes_.emplace(source, std::move(*map));
}

void KeyboardLayout::observeInputSourceChanges() {
    std::weak_ptr<KeyboardLayout> weak = weak_from_this();
    observers_.push_back(distributedNotificationCenter_->addObserverForName(
        kTISNotifySelectedKeyboardInputSourceChanged, std::nullopt, nullptr,
        [weak](const NSDistributedNotification&) {
            if (auto self = weak.lock()) self->selectedKeyboardInputSourceChanged();
        }));
    observers_.push_back(distributedNotificationCenter_->addObserverForName(
        kTISNotifyEnabledKeyboardInputSourcesChanged, std::nullopt, nullptr,
        [weak](const NSDistributedNotification&) {
            if (auto self = weak.lock()) self->enabledKeyboardInputSourcesChanged();
        }));
}

void KeyboardLayout::selectedKeyboardInputSourceChanged() {
    auto selected = InputSource::init(TISCopyCurrentKeyboardLayoutInputSource());
    auto ascii = InputSource::init(TISCopyCurrentASCIICapableKeyboardInputSource());
    std::shared_ptr<InputSource> previous;
    bool needsMap = false;
    {
        std::lock_guard lock(mutex_);
        if (ascii) currentASCIICapableInputSource_ = ascii;
        // Without a reported source the layout keeps what it has.
        if (!selected) return;
        previous = currentKeyboardLayoutInputSource_;
        if (previous && *previous == *selected) return;
        currentKeyboardLayoutInputSource_ = selected;
        needsMap = mappedKeyCodes_.find(selected) == mappedKeyCodes_.end();
    }
    if (needsMap) mapKeyCodes(selected);
    post(Keymap::selectedKeyboardInputSourceChangedNotification);
    if (!previous) return;
    auto before = keyCodes(*previous);
    auto after = keyCodes(*selected);
    if (before && after && *before != *after)
        post(Keymap::selectedKeyboardKeyCodesChangedNotification);
}

void KeyboardLayout::enabledKeyboardInputSourcesChanged() {
    {
        std::lock_guard lock(mutex_);
        mappedKeyCodes_.clear();
    }
    reloadInputSources();
    mapKeyCodes(currentKeyboardLayoutInputSource());
    post(Keymap::enabledKeyboardInputSourcesChangedNotification);
}

std::optional<Key> KeyboardLayout::key(std::int64_t keyCode, const InputSource& source) const {
    auto map = keyCodes(source);
    if (!map) return std::nullopt;
    for (const auto& [key, code] : *map)
        if (code == keyCode) return key;
    return std::nullopt;
}

std::optional<std::string> KeyboardLayout::character(std::int64_t keyCode,
                                                     std::int64_t carbonModifiers,
                                                     const InputSource& source) const {
    auto data = TISGetInputSourceProperty(source.source(), kTISPropertyUnicodeKeyLayoutData);
    if (!data || !data->asData()) return std::nullopt;
    return translate(keyCode, carbonModifiers, *data->asData());
}

std::optional<std::string> KeyboardLayout::translate(std::int64_t keyCode,
                                                     std::int64_t carbonModifiers,
                                                     const Data& layoutData) {
    if (keyCode < 0 || keyCode > 0xFFFF || carbonModifiers < 0 || carbonModifiers > 0xFFFFFFFF)
        return std::nullopt;
    if (auto symbol = symbolKeyCodeFromKeyCode(keyCode)) return label(*symbol);
    // Shift and option change what a key types; command and control do not.
    const UInt32 modifierState = static_cast<UInt32>((carbonModifiers >> 8) & 0x0A);
    UInt32 deadKeyState = 0;
    UniChar buffer[256] = {};
    UniCharCount length = 0;
    const OSStatus status = UCKeyTranslate(
        reinterpret_cast<const UCKeyboardLayout*>(layoutData.data()), static_cast<UInt16>(keyCode),
        kUCKeyActionDisplay, modifierState, LMGetKbdType(), 0, &deadKeyState, 256, &length, buffer);
    if (status != noErr) return std::nullopt;
    return CFStringCreateWithCharacters(nullptr, buffer, length);
}

void KeyboardLayout::post(const std::string& name) {
    notificationCenter_->postNotificationName(name);
}
