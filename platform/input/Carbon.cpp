#include "platform/input/Carbon.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/input/Internal.h"
#include "platform/input/Keyboard.h"

struct OpaqueEventRef {
    std::atomic<int> retainCount{1};
    OSType eventClass = 0;
    UInt32 kind = 0;
    EventTime when = 0;
    struct Parameter {
        EventParamType type;
        std::vector<unsigned char> bytes;
    };
    std::map<EventParamName, Parameter> parameters;
};

struct OpaqueEventTargetRef {
    int unused = 0;
};

struct OpaqueEventHandlerRef {
    EventTargetRef target = nullptr;
    EventHandlerUPP proc = nullptr;
    std::vector<EventTypeSpec> types;
    void* userData = nullptr;
};

struct OpaqueEventHotKeyRef {
    UInt32 keyCode = 0;
    UInt32 modifiers = 0;
    EventHotKeyID id;
    EventTargetRef target = nullptr;
};

namespace {

struct HandlerCall {
    EventHandlerRef handler;
    EventHandlerUPP proc;
    void* userData;
};

struct CallChain {
    std::vector<HandlerCall> calls;
    std::size_t next = 0;
};

struct State {
    std::mutex mutex;
    OpaqueEventTargetRef dispatcher;
    std::vector<std::unique_ptr<OpaqueEventHandlerRef>> handlers;  // install order
    std::vector<std::unique_ptr<OpaqueEventHotKeyRef>> hotKeys;
    std::vector<std::pair<UInt32, UInt32>> heldElsewhere;  // key code, matching bits
};

State& state() {
    static auto* s = new State;  // outlives every static destructor that may unregister
    return *s;
}

bool handles(const OpaqueEventHandlerRef& handler, OSType eventClass, UInt32 kind) {
    return std::any_of(handler.types.begin(), handler.types.end(), [&](const EventTypeSpec& t) {
        return t.eventClass == eventClass && t.eventKind == kind;
    });
}

bool stillInstalled(EventHandlerRef handler) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return std::any_of(s.handlers.begin(), s.handlers.end(),
                       [&](const auto& h) { return h.get() == handler; });
}

OSStatus runChain(CallChain& chain, EventRef event) {
    while (chain.next < chain.calls.size()) {
        const HandlerCall call = chain.calls[chain.next++];
        // A handler removed by an earlier one in this dispatch is skipped.
        if (!stillInstalled(call.handler)) continue;
        const OSStatus status =
            call.proc(reinterpret_cast<EventHandlerCallRef>(&chain), event, call.userData);
        if (status != eventNotHandledErr) return status;
    }
    return eventNotHandledErr;
}

}  // namespace

EventTargetRef GetEventDispatcherTarget() {
    return &state().dispatcher;
}

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef) {
    if (!target || !handler || (numTypes > 0 && !list)) return paramErr;
    auto entry = std::make_unique<OpaqueEventHandlerRef>();
    entry->target = target;
    entry->proc = handler;
    entry->types.assign(list, list + numTypes);
    entry->userData = userData;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (outRef) *outRef = entry.get();
    s.handlers.push_back(std::move(entry));
    return noErr;
}

OSStatus RemoveEventHandler(EventHandlerRef handler) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = std::find_if(s.handlers.begin(), s.handlers.end(),
                           [&](const auto& h) { return h.get() == handler; });
    if (it == s.handlers.end()) return paramErr;
    s.handlers.erase(it);
    return noErr;
}

OSStatus CallNextEventHandler(EventHandlerCallRef nextHandler, EventRef event) {
    if (!nextHandler || !event) return paramErr;
    return runChain(*reinterpret_cast<CallChain*>(nextHandler), event);
}

OSStatus SendEventToEventTarget(EventRef event, EventTargetRef target) {
    if (!event || !target) return paramErr;
    CallChain chain;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        for (auto it = s.handlers.rbegin(); it != s.handlers.rend(); ++it)
            if ((*it)->target == target && handles(**it, event->eventClass, event->kind))
                chain.calls.push_back({it->get(), (*it)->proc, (*it)->userData});
    }
    return runChain(chain, event);
}

OSStatus RegisterEventHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID,
                             EventTargetRef target, OptionBits /*options*/,
                             EventHotKeyRef* outRef) {
    if (!target || !outRef || keyCode > 0x7F) return paramErr;
    const UInt32 match = modifiers & sim::detail::kHotKeyMatchMask;
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (const auto& h : s.hotKeys)
        if (h->keyCode == keyCode && (h->modifiers & sim::detail::kHotKeyMatchMask) == match)
            return eventHotKeyExistsErr;
    for (const auto& [code, bits] : s.heldElsewhere)
        if (code == keyCode && bits == match) return eventHotKeyExistsErr;
    auto entry = std::make_unique<OpaqueEventHotKeyRef>();
    entry->keyCode = keyCode;
    entry->modifiers = modifiers;
    entry->id = hotKeyID;
    entry->target = target;
    *outRef = entry.get();
    s.hotKeys.push_back(std::move(entry));
    return noErr;
}

OSStatus UnregisterEventHotKey(EventHotKeyRef hotKey) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = std::find_if(s.hotKeys.begin(), s.hotKeys.end(),
                           [&](const auto& h) { return h.get() == hotKey; });
    if (it == s.hotKeys.end()) return eventHotKeyInvalidErr;
    s.hotKeys.erase(it);
    return noErr;
}

OSStatus CreateEvent(void* /*allocator*/, OSType eventClass, UInt32 kind, EventTime when,
                     OptionBits /*flags*/, EventRef* outEvent) {
    if (!outEvent) return paramErr;
    auto* event = new OpaqueEventRef;
    event->eventClass = eventClass;
    event->kind = kind;
    event->when = when;
    *outEvent = event;
    return noErr;
}

EventRef RetainEvent(EventRef event) {
    if (event) event->retainCount.fetch_add(1);
    return event;
}

void ReleaseEvent(EventRef event) {
    if (event && event->retainCount.fetch_sub(1) == 1) delete event;
}

OSType GetEventClass(EventRef event) {
    return event ? event->eventClass : 0;
}

UInt32 GetEventKind(EventRef event) {
    return event ? event->kind : 0;
}

OSStatus SetEventParameter(EventRef event, EventParamName name, EventParamType type, ByteCount size,
                           const void* data) {
    if (!event || (size > 0 && !data)) return paramErr;
    auto* bytes = static_cast<const unsigned char*>(data);
    event->parameters[name] = {type, std::vector<unsigned char>(bytes, bytes + size)};
    return noErr;
}

OSStatus GetEventParameter(EventRef event, EventParamName name, EventParamType desiredType,
                           EventParamType* outActualType, ByteCount bufferSize,
                           ByteCount* outActualSize, void* outData) {
    if (!event) return paramErr;
    auto it = event->parameters.find(name);
    if (it == event->parameters.end()) return eventParameterNotFoundErr;
    const auto& parameter = it->second;
    if (parameter.type != desiredType) return errAECoercionFail;
    if (outData && bufferSize < parameter.bytes.size()) return paramErr;
    if (outActualType) *outActualType = parameter.type;
    if (outActualSize) *outActualSize = parameter.bytes.size();
    if (outData && !parameter.bytes.empty())
        std::memcpy(outData, parameter.bytes.data(), parameter.bytes.size());
    return noErr;
}

OSType UTGetOSTypeFromString(const std::string& string) {
    if (string.empty() || string.size() > 4) return 0;
    char code[5] = {' ', ' ', ' ', ' ', '\0'};
    for (std::size_t i = 0; i < string.size(); ++i) {
        if (static_cast<unsigned char>(string[i]) > 0x7F) return 0;
        code[i] = string[i];
    }
    return fourCharCode(code);
}

namespace sim::detail {

EventHotKeyRef findHotKey(UInt16 keyCode, UInt32 carbonModifiers) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    for (const auto& h : s.hotKeys)
        if (h->keyCode == keyCode &&
            (h->modifiers & kHotKeyMatchMask) == (carbonModifiers & kHotKeyMatchMask))
            return h.get();
    return nullptr;
}

bool isRegistered(EventHotKeyRef hotKey) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return std::any_of(s.hotKeys.begin(), s.hotKeys.end(),
                       [&](const auto& h) { return h.get() == hotKey; });
}

void postHotKeyEvent(EventHotKeyRef hotKey, UInt32 kind) {
    EventHotKeyID id;
    EventTargetRef target = nullptr;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        if (std::none_of(s.hotKeys.begin(), s.hotKeys.end(),
                         [&](const auto& h) { return h.get() == hotKey; }))
            return;
        id = hotKey->id;
        target = hotKey->target;
    }
    DispatchQueue::main()->async([id, target, kind] {
        EventRef event = nullptr;
        CreateEvent(nullptr, kEventClassKeyboard, kind, 0, 0, &event);
        SetEventParameter(event, kEventParamDirectObject, typeEventHotKeyID, sizeof id, &id);
        SendEventToEventTarget(event, target);
        ReleaseEvent(event);
    });
}

}  // namespace sim::detail

namespace sim {

std::vector<RegisteredHotKey> Keyboard::registeredHotKeys() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<RegisteredHotKey> out;
    for (const auto& h : s.hotKeys) out.push_back({h->keyCode, h->modifiers, h->id, h.get()});
    return out;
}

void Keyboard::holdHotKeyInOtherProgram(UInt16 keyCode, UInt32 carbonModifiers) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.heldElsewhere.emplace_back(keyCode, carbonModifiers & detail::kHotKeyMatchMask);
}

void Keyboard::releaseOtherProgramHotKeys() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.heldElsewhere.clear();
}

}  // namespace sim
