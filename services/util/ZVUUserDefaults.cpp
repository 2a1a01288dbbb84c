#include "services/util/ZVUUserDefaults.h"

#include <cstdlib>
#include <set>

#include "platform/defaults/CFPreferences.h"
#include "platform/foundation/NSStringValue.h"
#include "services/util/ZVULogger.h"

namespace {

constexpr const char* kCodeFamily = "I-ZVU%06ld";
constexpr const char* kService = "[ZeveraUtilities/UserDefaults]";

// Stores with a flush still to run, flushed at exit if it never came.
std::mutex& pendingMutex() {
    static std::mutex m;
    return m;
}
std::set<std::shared_ptr<ZVUUserDefaults>>& pendingStores() {
    static auto* s = new std::set<std::shared_ptr<ZVUUserDefaults>>;
    return *s;
}

void flushPendingAtExit() {
    std::set<std::shared_ptr<ZVUUserDefaults>> stores;
    {
        std::lock_guard lock(pendingMutex());
        stores.swap(pendingStores());
    }
    for (const auto& store : stores) store->synchronize();
}

void notePending(const std::shared_ptr<ZVUUserDefaults>& store) {
    // The program ends through quick_exit (no static is torn down under
    // running threads), tests and tools through exit: flush on both.
    static const bool registered = [] {
        return std::atexit(flushPendingAtExit) == 0 && std::at_quick_exit(flushPendingAtExit) == 0;
    }();
    (void)registered;
    std::lock_guard lock(pendingMutex());
    pendingStores().insert(store);
}

void clearPending(const ZVUUserDefaults* store) {
    std::lock_guard lock(pendingMutex());
    auto& stores = pendingStores();
    for (auto it = stores.begin(); it != stores.end(); ++it) {
        if (it->get() == store) {
            stores.erase(it);
            return;
        }
    }
}

std::optional<std::string> validKey(const Value& key) {
    auto text = key.asString();
    if (!text || text->empty()) return std::nullopt;
    return text;
}

bool storable(const Value& value) {
    return value.isString() || value.isNumber() || value.isBool() || value.isArray() ||
           value.isDictionary() || value.isDate() || value.isData();
}

}  // namespace

ZVUUserDefaults::ZVUUserDefaults(std::string appNameRef) : appNameRef_(std::move(appNameRef)) {}

ZVUUserDefaults::~ZVUUserDefaults() {
    if (pendingFlush_) pendingFlush_->invalidate();
}

std::shared_ptr<ZVUUserDefaults> ZVUUserDefaults::standardUserDefaults() {
    static const auto shared = init();
    return shared;
}

std::shared_ptr<ZVUUserDefaults> ZVUUserDefaults::init() {
    return initWithSuiteName(std::nullopt);
}

std::shared_ptr<ZVUUserDefaults> ZVUUserDefaults::initWithSuiteName(
    const std::optional<std::string>& suiteName) {
    const bool named = suiteName && !suiteName->empty();
    return std::make_shared<ZVUUserDefaults>(named ? *suiteName
                                                   : std::string(kCFPreferencesCurrentApplication));
}

std::optional<Value> ZVUUserDefaults::objectForKey(const Value& key) const {
    auto name = validKey(key);
    if (!name) {
        ZVULogWarning("<ZeveraUtilities>", false, ZVUMessageCode(kCodeFamily, 1),
                      "Cannot get object for invalid user default key.");
        return std::nullopt;
    }
    return CFPreferencesCopyAppValue(*name, appNameRef_);
}

void ZVUUserDefaults::setObject(const std::optional<Value>& value, const Value& key) {
    auto name = validKey(key);
    if (!name) {
        ZVULogWarning(kService, false, ZVUMessageCode(kCodeFamily, 2),
                      "Cannot set object for invalid user default key.");
        return;
    }
    if (value && !storable(*value)) {
        ZVULogWarning(kService, false, ZVUMessageCode(kCodeFamily, 3),
                      "Cannot set invalid object to user defaults. Must be a string, number, "
                      "array, dictionary, date, or data. Value: %@",
                      *value);
        return;
    }
    CFPreferencesSetAppValue(*name, value, appNameRef_);
    scheduleSynchronize();
}

// Numbers read as the platform's number readers do; text is read as
// NSString reads a number ("42", " -3", "YES").
std::int64_t ZVUUserDefaults::integerForKey(const Value& key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (auto text = v->asString()) return NSStringValue::integerValue(*text);
    return v->asInt().value_or(0);
}

float ZVUUserDefaults::floatForKey(const Value& key) const {
    return static_cast<float>(doubleForKey(key));
}

double ZVUUserDefaults::doubleForKey(const Value& key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (auto text = v->asString()) return NSStringValue::doubleValue(*text);
    return v->asDouble().value_or(0);
}

bool ZVUUserDefaults::boolForKey(const Value& key) const {
    auto v = objectForKey(key);
    if (!v) return false;
    if (auto text = v->asString()) return NSStringValue::boolValue(*text);
    return v->asDouble().value_or(0) != 0;
}

void ZVUUserDefaults::synchronize() {
    {
        std::lock_guard lock(mutex_);
        if (pendingFlush_) {
            pendingFlush_->invalidate();
            pendingFlush_.reset();
        }
    }
    clearPending(this);
    if (!CFPreferencesAppSynchronize(appNameRef_)) {
        ZVULogError(kService, false, ZVUMessageCode(kCodeFamily, 4),
                    "Cannot synchronize user defaults to disk");
    }
}

void ZVUUserDefaults::scheduleSynchronize() {
    auto self = std::static_pointer_cast<ZVUUserDefaults>(shared_from_this());
    std::lock_guard lock(mutex_);
    if (pendingFlush_) pendingFlush_->invalidate();
    pendingFlush_ = Timer::scheduledTimer(1.0, false, [self] { self->synchronize(); });
    notePending(self);
}

bool ZVUUserDefaults::isPreferenceFileExcluded() const {
    std::lock_guard lock(mutex_);
    return isPreferenceFileExcluded_;
}

void ZVUUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
    std::lock_guard lock(mutex_);
    isPreferenceFileExcluded_ = excluded;
}
