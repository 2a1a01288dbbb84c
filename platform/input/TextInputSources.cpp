#include "platform/input/TextInputSources.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/input/InputSources.h"
#include "platform/input/Internal.h"
#include "platform/input/XkbLayout.h"
#include "platform/notifications/NSNotificationCenter.h"

struct OpaqueTISInputSource {
    sim::InputSourceDescription description;
    std::shared_ptr<const Value> layoutData;
    bool enabled = false;
    bool selected = false;
};

namespace {

// The layout data: a tag, then the XKB layout and variant, each ending in NUL.
constexpr char kLayoutTag[4] = {'X', 'K', 'B', 'L'};

std::shared_ptr<const Value> makeLayoutData(const std::string& layout, const std::string& variant) {
    Data bytes(kLayoutTag, kLayoutTag + 4);
    bytes.insert(bytes.end(), layout.begin(), layout.end());
    bytes.push_back(0);
    bytes.insert(bytes.end(), variant.begin(), variant.end());
    bytes.push_back(0);
    return std::make_shared<const Value>(std::move(bytes));
}

struct State {
    std::mutex mutex;
    std::vector<TISInputSourceRef> installed;
    TISInputSourceRef lastASCIICapable;
    bool failNextList = false;
    UInt8 keyboardType = 40;
};

State& state() {
    static auto* s = new State;
    return *s;
}

bool isASCIILayout(const TISInputSourceRef& source) {
    return source->description.asciiCapable && source->layoutData;
}

TISInputSourceRef makeSource(const sim::InputSourceDescription& description) {
    auto source = std::make_shared<OpaqueTISInputSource>();
    source->description = description;
    source->enabled = description.enabled;
    if (description.xkbLayout)
        source->layoutData = makeLayoutData(*description.xkbLayout, description.xkbVariant);
    return source;
}

// Caller holds the lock.
void installDefaults(State& s) {
    using D = sim::InputSourceDescription;
    const std::string japanese = "com.apple.inputmethod.Japanese";
    s.installed = {
        makeSource(D{"com.apple.keylayout.US", std::nullopt, "U.S.", "us", "", true, true, true,
                     true, true}),
        makeSource(D{"com.apple.keylayout.German", std::nullopt, "German", "de", "", true, true,
                     true, true, false}),
        makeSource(D{"com.apple.keylayout.French", std::nullopt, "French", "fr", "", true, true,
                     true, true, false}),
        makeSource(D{"com.apple.keylayout.Dvorak", std::nullopt, "Dvorak", "us", "dvorak", true,
                     true, true, true, false}),
        makeSource(
            D{japanese, japanese, "Hiragana", std::nullopt, "", false, true, true, true, false}),
        makeSource(D{japanese, japanese + ".Katakana", "Katakana", std::nullopt, "", false, true,
                     true, true, false}),
    };
    s.installed.front()->selected = true;
    s.lastASCIICapable = s.installed.front();
}

State& ready() {
    auto& s = state();
    static std::once_flag once;
    std::call_once(once, [&] {
        std::lock_guard lock(s.mutex);
        installDefaults(s);
    });
    return s;
}

TISInputSourceRef find(State& s, const std::string& id, const std::optional<std::string>& mode) {
    for (const auto& source : s.installed)
        if (source->description.id == id && source->description.modeID == mode) return source;
    return nullptr;
}

TISInputSourceRef selectedSource(State& s) {
    for (const auto& source : s.installed)
        if (source->selected) return source;
    return s.installed.empty() ? nullptr : s.installed.front();
}

void post(const char* name) {
    NSDistributedNotificationCenter::defaultCenter()->postNotificationName(name, std::nullopt, {},
                                                                           true);
}

std::optional<Value> propertyValue(const OpaqueTISInputSource& source, std::string_view key) {
    const auto& d = source.description;
    if (key == kTISPropertyInputSourceID) return Value(d.id);
    if (key == kTISPropertyInputModeID)
        return d.modeID ? std::optional<Value>(*d.modeID) : std::nullopt;
    if (key == kTISPropertyLocalizedName)
        return d.localizedName ? std::optional<Value>(*d.localizedName) : std::nullopt;
    if (key == kTISPropertyInputSourceIsASCIICapable) return Value(d.asciiCapable);
    if (key == kTISPropertyInputSourceIsEnableCapable) return Value(d.enableCapable);
    if (key == kTISPropertyInputSourceIsSelectCapable) return Value(d.selectCapable);
    if (key == kTISPropertyInputSourceIsEnabled) return Value(source.enabled);
    if (key == kTISPropertyInputSourceIsSelected)
        return d.reportsSelectedState ? std::optional<Value>(source.selected) : std::nullopt;
    if (key == kTISPropertyInputSourceCategory) return Value(kTISCategoryKeyboardInputSource);
    if (key == kTISPropertyInputSourceType)
        return Value(d.modeID ? kTISTypeKeyboardInputMode : kTISTypeKeyboardLayout);
    return std::nullopt;
}

std::u16string toUTF16(const std::u32string& text) {
    std::u16string out;
    for (char32_t c : text) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

}  // namespace

TISInputSourceRef TISCopyCurrentKeyboardInputSource() {
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    return selectedSource(s);
}

TISInputSourceRef TISCopyCurrentKeyboardLayoutInputSource() {
    return TISCopyCurrentKeyboardInputSource();
}

TISInputSourceRef TISCopyCurrentASCIICapableKeyboardInputSource() {
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    auto selected = selectedSource(s);
    if (selected && isASCIILayout(selected)) return selected;
    if (s.lastASCIICapable && s.lastASCIICapable->enabled) return s.lastASCIICapable;
    for (const auto& source : s.installed)
        if (source->enabled && isASCIILayout(source)) return source;
    return s.lastASCIICapable;
}

std::optional<std::vector<TISInputSourceRef>> TISCreateInputSourceList(const Dictionary& properties,
                                                                       bool includeAllInstalled) {
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    if (s.failNextList) {
        s.failNextList = false;
        return std::nullopt;
    }
    std::vector<TISInputSourceRef> out;
    for (const auto& source : s.installed) {
        if (!includeAllInstalled && !source->enabled) continue;
        const bool matches =
            std::all_of(properties.begin(), properties.end(), [&](const Dictionary::Entry& e) {
                auto value = propertyValue(*source, e.first);
                return value && *value == e.second;
            });
        if (matches) out.push_back(source);
    }
    return out;
}

std::shared_ptr<const Value> TISGetInputSourceProperty(const TISInputSourceRef& source,
                                                       std::string_view propertyKey) {
    if (!source) return nullptr;
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    if (propertyKey == kTISPropertyUnicodeKeyLayoutData) return source->layoutData;
    auto value = propertyValue(*source, propertyKey);
    return value ? std::make_shared<const Value>(std::move(*value)) : nullptr;
}

OSStatus TISSelectInputSource(const TISInputSourceRef& source) {
    auto& s = ready();
    {
        std::lock_guard lock(s.mutex);
        if (!source ||
            std::find(s.installed.begin(), s.installed.end(), source) == s.installed.end())
            return paramErr;
        if (!source->enabled || !source->description.selectCapable) return paramErr;
        if (source->selected) return noErr;
        for (const auto& other : s.installed) other->selected = false;
        source->selected = true;
        if (isASCIILayout(source)) s.lastASCIICapable = source;
    }
    post(kTISNotifySelectedKeyboardInputSourceChanged);
    return noErr;
}

namespace {

OSStatus setEnabled(const TISInputSourceRef& source, bool enabled) {
    auto& s = ready();
    {
        std::lock_guard lock(s.mutex);
        if (!source ||
            std::find(s.installed.begin(), s.installed.end(), source) == s.installed.end())
            return paramErr;
        if (!source->description.enableCapable || (!enabled && source->selected)) return paramErr;
        if (source->enabled == enabled) return noErr;
        source->enabled = enabled;
    }
    post(kTISNotifyEnabledKeyboardInputSourcesChanged);
    return noErr;
}

}  // namespace

OSStatus TISEnableInputSource(const TISInputSourceRef& source) {
    return setEnabled(source, true);
}

OSStatus TISDisableInputSource(const TISInputSourceRef& source) {
    return setEnabled(source, false);
}

OSStatus UCKeyTranslate(const UCKeyboardLayout* keyLayoutPtr, UInt16 virtualKeyCode,
                        UInt16 keyAction, UInt32 modifierKeyState, UInt32 /*keyboardType*/,
                        OptionBits keyTranslateOptions, UInt32* deadKeyState,
                        UniCharCount maxStringLength, UniCharCount* actualStringLength,
                        UniChar unicodeString[]) {
    if (!keyLayoutPtr || !deadKeyState || !actualStringLength || keyAction > kUCKeyActionDisplay)
        return paramErr;
    *actualStringLength = 0;
    const auto* bytes = reinterpret_cast<const char*>(keyLayoutPtr);
    if (std::memcmp(bytes, kLayoutTag, sizeof kLayoutTag) != 0) return kUCKeyLayoutBadFormat;
    const std::string layoutName(bytes + 4);
    const std::string variant(bytes + 4 + layoutName.size() + 1);
    auto layout = sim::detail::XkbLayout::load(layoutName, variant);
    if (!layout) return kUCKeyLayoutBadFormat;
    if (virtualKeyCode > 0x7F) return paramErr;
    if (keyAction == kUCKeyActionUp) return noErr;

    const std::uint32_t keysym = layout->keysym(virtualKeyCode, modifierKeyState & 0x02,
                                                modifierKeyState & 0x04, modifierKeyState & 0x08);
    std::u32string text;
    const bool useDeadKeys =
        keyAction != kUCKeyActionDisplay && !(keyTranslateOptions & kUCKeyTranslateNoDeadKeysMask);
    if (useDeadKeys && *deadKeyState != 0) {
        const UInt32 pending = *deadKeyState;
        *deadKeyState = 0;
        if (auto composed = sim::detail::composeDeadKey(pending, keysym))
            text = *composed;
        else
            text = sim::detail::keysymText(pending) + sim::detail::keysymText(keysym);
    } else if (useDeadKeys && sim::detail::isDeadKeysym(keysym)) {
        *deadKeyState = keysym;
        return noErr;
    } else {
        text = sim::detail::keysymText(keysym);
    }
    const std::u16string units = toUTF16(text);
    *actualStringLength = units.size();
    if (units.size() > maxStringLength) return kUCOutputBufferTooSmall;
    if (!units.empty()) {
        if (!unicodeString) return paramErr;
        std::copy(units.begin(), units.end(), unicodeString);
    }
    return noErr;
}

std::string CFStringCreateWithCharacters(void* /*allocator*/, const UniChar* chars,
                                         UniCharCount numChars) {
    std::string out;
    auto append = [&](char32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (UniCharCount i = 0; i < numChars; ++i) {
        char32_t c = chars[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < numChars && chars[i + 1] >= 0xDC00 &&
            chars[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (chars[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        append(c);
    }
    return out;
}

UInt8 LMGetKbdType() {
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    return s.keyboardType;
}

namespace sim {

namespace {
TISInputSourceRef lookup(const std::string& id, const std::optional<std::string>& modeID) {
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    return find(s, id, modeID);
}
}  // namespace

bool InputSources::select(const std::string& id, const std::optional<std::string>& modeID) {
    auto source = lookup(id, modeID);
    return source && TISSelectInputSource(source) == noErr;
}

bool InputSources::enable(const std::string& id, const std::optional<std::string>& modeID) {
    auto source = lookup(id, modeID);
    return source && TISEnableInputSource(source) == noErr;
}

bool InputSources::disable(const std::string& id, const std::optional<std::string>& modeID) {
    auto source = lookup(id, modeID);
    return source && TISDisableInputSource(source) == noErr;
}

void InputSources::install(const InputSourceDescription& description) {
    auto& s = ready();
    {
        std::lock_guard lock(s.mutex);
        auto source = makeSource(description);
        auto it = std::find_if(s.installed.begin(), s.installed.end(), [&](const auto& other) {
            return other->description.id == description.id &&
                   other->description.modeID == description.modeID;
        });
        if (it == s.installed.end()) {
            s.installed.push_back(source);
        } else {
            source->selected = (*it)->selected;
            if (s.lastASCIICapable == *it) s.lastASCIICapable = source;
            *it = source;
        }
    }
    if (description.enabled) post(kTISNotifyEnabledKeyboardInputSourcesChanged);
}

void InputSources::postSelectionChanged() {
    ready();
    post(kTISNotifySelectedKeyboardInputSourceChanged);
}

void InputSources::postEnabledSourcesChanged() {
    ready();
    post(kTISNotifyEnabledKeyboardInputSourcesChanged);
}

void InputSources::failNextSourceList() {
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    s.failNextList = true;
}

void InputSources::setKeyboardType(UInt8 type) {
    auto& s = ready();
    std::lock_guard lock(s.mutex);
    s.keyboardType = type;
}

void InputSources::reset() {
    auto& s = ready();
    {
        std::lock_guard lock(s.mutex);
        installDefaults(s);
        s.failNextList = false;
        s.keyboardType = 40;
    }
    post(kTISNotifySelectedKeyboardInputSourceChanged);
    post(kTISNotifyEnabledKeyboardInputSourcesChanged);
}

}  // namespace sim

namespace sim::detail {

std::string typedCharacters(UInt16 keyCode, UInt32 carbonModifiers) {
    auto source = TISCopyCurrentKeyboardLayoutInputSource();
    auto data = TISGetInputSourceProperty(source, kTISPropertyUnicodeKeyLayoutData);
    if (!data)
        data = TISGetInputSourceProperty(TISCopyCurrentASCIICapableKeyboardInputSource(),
                                         kTISPropertyUnicodeKeyLayoutData);
    if (!data || !data->asData()) return {};
    UInt32 deadKeyState = 0;
    UniChar buffer[16];
    UniCharCount length = 0;
    const auto status =
        UCKeyTranslate(reinterpret_cast<const UCKeyboardLayout*>(data->asData()->data()), keyCode,
                       kUCKeyActionDisplay, (carbonModifiers >> 8) & 0xFF, LMGetKbdType(), 0,
                       &deadKeyState, 16, &length, buffer);
    if (status != noErr) return {};
    return CFStringCreateWithCharacters(nullptr, buffer, length);
}

}  // namespace sim::detail
