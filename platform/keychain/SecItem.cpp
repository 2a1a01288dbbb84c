#include "platform/keychain/SecItem.h"

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/bundle/Home.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

namespace {

using Op = sim::Keychain::Operation;
constexpr const char* kItemsKey = "items";

std::mutex& keychainMutex() {
    static std::mutex m;
    return m;
}
std::map<Op, OSStatus>& injected() {
    static std::map<Op, OSStatus> f;
    return f;
}

// A call held by sim::Keychain::holdNext, kept apart from the keychain's
// own lock so that other calls go on while one waits.
struct Hold {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<Op> armed;
    bool waiting = false;
    bool released = false;
};
Hold& hold() {
    static auto* h = new Hold;
    return *h;
}

void waitIfHeld(Op op) {
    auto& h = hold();
    std::unique_lock lock(h.mutex);
    if (h.armed != op) return;
    h.armed.reset();
    h.waiting = true;
    h.released = false;
    h.changed.notify_all();
    h.changed.wait(lock, [&] { return h.released; });
    h.waiting = false;
}

std::optional<OSStatus> takeInjected(Op op) {
    auto& f = injected();
    auto it = f.find(op);
    if (it == f.end()) return std::nullopt;
    OSStatus s = it->second;
    f.erase(it);
    return s;
}

const char* const kIdentityKeys[] = {kSecClass,           kSecAttrService,        kSecAttrAccount,
                                     kSecAttrAccessGroup, kSecAttrApplicationTag, kSecAttrKeyType,
                                     kSecAttrKeyClass};
const char* const kAttributeKeys[] = {kSecClass,           kSecAttrService,        kSecAttrAccount,
                                      kSecAttrAccessGroup, kSecAttrLabel,          kSecAttrGeneric,
                                      kSecAttrAccessible,  kSecAttrApplicationTag, kSecAttrKeyType,
                                      kSecAttrKeyClass};

// The keychain a query aims at.
std::optional<std::string> keychainName(const Dictionary& query) {
    if (const Value* use = query.find(kSecUseKeychain)) return use->asString();
    if (const Value* list = query.find(kSecMatchSearchList)) {
        if (const Array* a = list->asArray(); a && !a->empty()) return (*a)[0].asString();
        return std::nullopt;
    }
    return std::string("login");
}

std::filesystem::path pathFor(const std::string& name) {
    return std::filesystem::path(sim::libraryPath()) / "Keychains" / (name + ".plist");
}

struct Store {
    std::filesystem::path path;
    Array items;
};

OSStatus load(const Dictionary& query, Store& store) {
    auto name = keychainName(query);
    if (!name || name->empty() || name->find('/') != std::string::npos) return errSecNoSuchKeychain;
    store.path = pathFor(*name);
    std::error_code ec;
    if (!std::filesystem::exists(store.path, ec)) return errSecSuccess;
    int error = 0;
    auto data = sim::FileSystem::readFile(store.path, &error);
    if (!data) return errSecIO;
    auto plist = PropertyListSerialization::propertyListWithData(*data);
    if (!plist || !plist->isDictionary()) return errSecDecode;
    const Value& items = (*plist)[kItemsKey];
    if (!items.isArray()) return errSecDecode;
    store.items = *items.asArray();
    return errSecSuccess;
}

OSStatus save(const Store& store) {
    Dictionary root;
    root.set(kItemsKey, Value(store.items));
    auto data =
        PropertyListSerialization::dataWithPropertyList(Value(root), PropertyListFormat::Binary);
    if (!data) return errSecAllocate;
    int error = 0;
    if (!sim::FileSystem::writeFileAtomically(store.path, *data, &error, 0600)) return errSecIO;
    // writeFileAtomically keeps the mode of a new file; make sure of it for old ones too.
    std::error_code ec;
    std::filesystem::permissions(
        store.path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    return errSecSuccess;
}

bool validClass(const Dictionary& query) {
    const Value& c = query[kSecClass];
    return c.asString() == std::string(kSecClassGenericPassword) ||
           c.asString() == std::string(kSecClassKey);
}

bool matches(const Dictionary& item, const Dictionary& query) {
    for (const char* key : kIdentityKeys) {
        if (const Value* wanted = query.find(key)) {
            if (item[key] != *wanted) return false;
        }
    }
    for (const char* key : {kSecAttrLabel, kSecAttrGeneric}) {
        if (const Value* wanted = query.find(key)) {
            if (item[key] != *wanted) return false;
        }
    }
    return true;
}

bool sameIdentity(const Dictionary& a, const Dictionary& b) {
    for (const char* key : kIdentityKeys) {
        if (a[key] != b[key]) return false;
    }
    return true;
}

bool flag(const Dictionary& query, const char* key) {
    return query[key].asBool().value_or(false) || query[key].asInt().value_or(0) != 0;
}

Value resultFor(const Dictionary& item, bool returnData, bool returnAttributes) {
    if (!returnAttributes) return item[kSecValueData];
    Dictionary out;
    for (const char* key : kAttributeKeys) {
        if (const Value* v = item.find(key)) out.set(key, *v);
    }
    for (const char* key : {kSecAttrCreationDate, kSecAttrModificationDate}) {
        if (const Value* v = item.find(key)) out.set(key, *v);
    }
    if (returnData) out.set(kSecValueData, item[kSecValueData]);
    return Value(out);
}

Value now() {
    return Value(Date::fromUnix(sim::wallClockSeconds()));
}

}  // namespace

OSStatus SecItemAdd(const Dictionary& attributes, Value* result) {
    waitIfHeld(Op::Add);
    std::lock_guard lock(keychainMutex());
    if (auto s = takeInjected(Op::Add)) return *s;
    if (!validClass(attributes)) return errSecParam;
    const Value& data = attributes[kSecValueData];
    if (!data.isNull() && !data.isData()) return errSecParam;
    Store store;
    if (OSStatus s = load(attributes, store); s != errSecSuccess) return s;
    Dictionary item;
    for (const char* key : kAttributeKeys) {
        if (const Value* v = attributes.find(key)) item.set(key, *v);
    }
    if (!item.contains(kSecAttrAccessible)) {
        item.set(kSecAttrAccessible, kSecAttrAccessibleWhenUnlocked);
    }
    item.set(kSecValueData, data.isData() ? data : Value(Data{}));
    item.set(kSecAttrCreationDate, now());
    item.set(kSecAttrModificationDate, now());
    for (const Value& existing : store.items) {
        if (const Dictionary* d = existing.asDictionary(); d && sameIdentity(*d, item)) {
            return errSecDuplicateItem;
        }
    }
    store.items.push_back(Value(item));
    if (OSStatus s = save(store); s != errSecSuccess) return s;
    if (result && flag(attributes, kSecReturnData)) *result = item[kSecValueData];
    return errSecSuccess;
}

OSStatus SecItemCopyMatching(const Dictionary& query, Value* result) {
    waitIfHeld(Op::CopyMatching);
    std::lock_guard lock(keychainMutex());
    if (auto s = takeInjected(Op::CopyMatching)) return *s;
    if (!validClass(query)) return errSecParam;
    Store store;
    if (OSStatus s = load(query, store); s != errSecSuccess) return s;
    const bool returnData = flag(query, kSecReturnData);
    const bool returnAttributes = flag(query, kSecReturnAttributes);
    const bool all = query[kSecMatchLimit].asString() == std::string(kSecMatchLimitAll);
    Array found;
    for (const Value& v : store.items) {
        const Dictionary* item = v.asDictionary();
        if (!item || !matches(*item, query)) continue;
        found.push_back(resultFor(*item, returnData, returnAttributes));
        if (!all) break;
    }
    if (found.empty()) return errSecItemNotFound;
    if (result && (returnData || returnAttributes)) {
        *result = all ? Value(found) : found.front();
    }
    return errSecSuccess;
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    waitIfHeld(Op::Update);
    std::lock_guard lock(keychainMutex());
    if (auto s = takeInjected(Op::Update)) return *s;
    if (!validClass(query) || attributesToUpdate.contains(kSecClass)) return errSecParam;
    const Value& data = attributesToUpdate[kSecValueData];
    if (!data.isNull() && !data.isData()) return errSecParam;
    Store store;
    if (OSStatus s = load(query, store); s != errSecSuccess) return s;
    bool any = false;
    for (std::size_t i = 0; i < store.items.size(); ++i) {
        Dictionary* item = store.items[i].isDictionary() ? &store.items[i].dictionary() : nullptr;
        if (!item || !matches(*item, query)) continue;
        any = true;
        Dictionary updated = *item;
        for (const auto& [key, value] : attributesToUpdate) updated.set(key, value);
        updated.set(kSecAttrModificationDate, now());
        for (std::size_t j = 0; j < store.items.size(); ++j) {
            const Dictionary* other = store.items[j].asDictionary();
            if (j != i && other && sameIdentity(*other, updated)) return errSecDuplicateItem;
        }
        *item = std::move(updated);
    }
    if (!any) return errSecItemNotFound;
    return save(store);
}

OSStatus SecItemDelete(const Dictionary& query) {
    waitIfHeld(Op::Delete);
    std::lock_guard lock(keychainMutex());
    if (auto s = takeInjected(Op::Delete)) return *s;
    if (!validClass(query)) return errSecParam;
    Store store;
    if (OSStatus s = load(query, store); s != errSecSuccess) return s;
    Array kept;
    for (const Value& v : store.items) {
        const Dictionary* item = v.asDictionary();
        if (!item || !matches(*item, query)) kept.push_back(v);
    }
    if (kept.size() == store.items.size()) return errSecItemNotFound;
    store.items = std::move(kept);
    return save(store);
}

namespace sim {

void Keychain::failNext(Operation operation, OSStatus status) {
    std::lock_guard lock(keychainMutex());
    injected()[operation] = status;
}

void Keychain::holdNext(Operation operation) {
    auto& h = hold();
    std::lock_guard lock(h.mutex);
    h.armed = operation;
}

bool Keychain::waitUntilHeld(std::chrono::milliseconds timeout) {
    auto& h = hold();
    std::unique_lock lock(h.mutex);
    return h.changed.wait_for(lock, timeout, [&] { return h.waiting; });
}

void Keychain::release() {
    auto& h = hold();
    std::lock_guard lock(h.mutex);
    h.armed.reset();
    h.released = true;
    h.changed.notify_all();
}

void Keychain::clearFailures() {
    release();
    std::lock_guard lock(keychainMutex());
    injected().clear();
}

std::string Keychain::filePath(const SecKeychainRef& keychain) {
    return pathFor(keychain).string();
}

long Keychain::itemCount(const SecKeychainRef& keychain) {
    std::lock_guard lock(keychainMutex());
    Dictionary query;
    query.set(kSecUseKeychain, keychain);
    Store store;
    if (load(query, store) != errSecSuccess) return -1;
    return static_cast<long>(store.items.size());
}

}  // namespace sim
