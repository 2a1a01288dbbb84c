#include "platform/defaults/NSUserDefaults.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/bundle/NSProcessInfo.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/NSStringValue.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"

namespace {

const OSLog& defaultsLog() {
    static const auto* log =
        new auto(os_log_create("com.vantorel.Lumbrel.platform", "defaults"));  // outlives exit
    return **log;
}

// Never destroyed: stores are still written from exit handlers, which may
// run after the static objects made later than their registration are gone.
std::mutex& registryMutex() {
    static auto* m = new std::mutex;
    return *m;
}
std::map<std::string, std::weak_ptr<NSUserDefaults>>& registry() {
    static auto* r = new std::map<std::string, std::weak_ptr<NSUserDefaults>>;
    return *r;
}
std::shared_ptr<NSUserDefaults> lookup(const std::string& domain) {
    std::lock_guard lock(registryMutex());
    auto& entry = registry()[domain];
    if (auto live = entry.lock()) return live;
    auto created = std::make_shared<NSUserDefaults>(domain);
    entry = created;
    return created;
}

Value nullIfMissing(const std::optional<Value>& v) {
    return v ? *v : Value();
}

}  // namespace

NSUserDefaults::NSUserDefaults(std::string domain) : domain_(std::move(domain)) {
    load();
}

std::string NSUserDefaults::standardDomainName() {
    auto identifier = NSBundle::mainBundle()->bundleIdentifier();
    if (!identifier.empty()) return identifier;
    return NSProcessInfo::processInfo()->processName();
}

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
    // The standard store lives for the process, as the platform's does, and
    // past the static objects, for writes from exit handlers.
    static const auto* store = new std::shared_ptr<NSUserDefaults>(lookup(standardDomainName()));
    return *store;
}

std::shared_ptr<NSUserDefaults> NSUserDefaults::initWithSuiteName(const std::string& suiteName) {
    if (suiteName.empty() || suiteName == "NSGlobalDomain") return nullptr;
    return lookup(suiteName);
}

void NSUserDefaults::resetForTesting() {
    std::vector<std::shared_ptr<NSUserDefaults>> live;
    {
        std::lock_guard lock(registryMutex());
        for (auto& [name, weak] : registry())
            if (auto store = weak.lock()) live.push_back(store);
    }
    for (auto& store : live) {
        std::lock_guard lock(store->mutex_);
        store->persistent_ = Dictionary();
        store->load();
    }
}

std::string NSUserDefaults::filePath() const {
    return (std::filesystem::path(sim::preferencesPath()) / (domain_ + ".plist")).string();
}

void NSUserDefaults::load() {
    std::filesystem::path path = filePath();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return;
    int err = 0;
    auto data = sim::FileSystem::readFile(path, &err);
    if (!data) {
        os_log_error(defaultsLog(), "Could not read preferences file " + path.string() + ": " +
                                        std::strerror(err) + "; using defaults.");
        return;
    }
    NSError error;
    auto plist = PropertyListSerialization::propertyListWithData(*data, &error);
    if (!plist || !plist->isDictionary()) {
        os_log_error(defaultsLog(), "Preferences file " + path.string() +
                                        " is not a valid property list; using defaults.");
        auto aside = path;
        aside += ".corrupt";
        std::filesystem::rename(path, aside, ec);
        return;
    }
    persistent_ = *plist->asDictionary();
}

void NSUserDefaults::persistLocked() {
    NSError error;
    auto data = PropertyListSerialization::dataWithPropertyList(Value(persistent_),
                                                                PropertyListFormat::Binary, &error);
    int err = 0;
    if (!data) {
        os_log_error(defaultsLog(), "Could not encode preferences for " + domain_ + ": " +
                                        error.localizedDescription());
        return;
    }
    if (!sim::FileSystem::writeFileAtomically(filePath(), *data, &err)) {
        os_log_error(defaultsLog(),
                     "Could not write preferences file " + filePath() + ": " + std::strerror(err));
    }
}

std::optional<Value> NSUserDefaults::effectiveLocked(const std::string& key) const {
    if (const Value* v = persistent_.find(key)) return *v;
    if (const Value* v = registration_.find(key)) return *v;
    return std::nullopt;
}

std::optional<Value> NSUserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return effectiveLocked(key);
}

std::vector<NSUserDefaults::Registration> NSUserDefaults::observersFor(
    const std::string& key) const {
    std::lock_guard lock(mutex_);
    std::vector<Registration> out;
    for (const auto& r : observers_)
        if (r.keyPath == key) out.push_back(r);
    return out;
}

void NSUserDefaults::deliver(const Registration& r, const std::string& key,
                             const Dictionary& change) {
    // An observer removed by an earlier observer of this same change is not
    // called any more.
    {
        std::lock_guard lock(mutex_);
        bool registered = false;
        for (const auto& live : observers_)
            registered |=
                live.identity == r.identity && live.keyPath == key && live.context == r.context;
        if (!registered) return;
    }
    if (auto observer = r.observer.lock())
        observer->observeValueForKeyPath(key, this, &change, r.context);
}

void NSUserDefaults::write(const std::string& key, const std::optional<Value>& value) {
    // A value the file cannot hold would make every later save of the suite
    // fail; it is refused here and the old value stays.
    if (value) {
        NSError error;
        if (!PropertyListSerialization::dataWithPropertyList(Value(Dictionary{{key, *value}}),
                                                             PropertyListFormat::Binary, &error)) {
            os_log_error(defaultsLog(), "Refused to store a value for key " + key + " in " +
                                            domain_ + ": " + error.localizedDescription());
            return;
        }
    }
    auto observers = observersFor(key);
    std::optional<Value> old;
    if (!observers.empty()) old = objectForKey(key);

    for (const auto& r : observers) {
        if (!(r.options & NSKeyValueObservingOptionPrior)) continue;
        Dictionary change{{NSKeyValueChangeKindKey, Value(1u)},
                          {NSKeyValueChangeNotificationIsPriorKey, Value(true)}};
        if (r.options & NSKeyValueObservingOptionOld)
            change.set(NSKeyValueChangeOldKey, nullIfMissing(old));
        deliver(r, key, change);
    }

    std::optional<Value> now;
    {
        std::lock_guard lock(mutex_);
        if (value)
            persistent_.set(key, *value);
        else
            persistent_.remove(key);
        persistLocked();
        now = effectiveLocked(key);
    }

    for (const auto& r : observersFor(key)) {
        Dictionary change{{NSKeyValueChangeKindKey, Value(1u)}};
        if (r.options & NSKeyValueObservingOptionNew)
            change.set(NSKeyValueChangeNewKey, nullIfMissing(now));
        if (r.options & NSKeyValueObservingOptionOld)
            change.set(NSKeyValueChangeOldKey, nullIfMissing(old));
        deliver(r, key, change);
    }
}

void NSUserDefaults::setObject(const std::optional<Value>& value, const std::string& key) {
    if (value && value->isNull()) {
        write(key, std::nullopt);
        return;
    }
    write(key, value);
}

void NSUserDefaults::removeObjectForKey(const std::string& key) {
    write(key, std::nullopt);
}

void NSUserDefaults::setURL(const std::optional<std::string>& url, const std::string& key) {
    write(key, url ? std::optional<Value>(Value(*url)) : std::nullopt);
}

std::optional<std::string> NSUserDefaults::stringForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return std::nullopt;
    if (auto s = v->asString()) return s;
    if (v->isNumber()) {
        if (v->type() == Value::Type::Double) {
            auto text = std::to_string(*v->asDouble());
            text.erase(text.find_last_not_of('0') + 1);
            if (!text.empty() && text.back() == '.') text.pop_back();
            return text;
        }
        if (v->type() == Value::Type::UInt) return std::to_string(*v->asUInt());
        return std::to_string(*v->asInt());
    }
    return std::nullopt;
}

std::optional<Data> NSUserDefaults::dataForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v || !v->isData()) return std::nullopt;
    return *v->asData();
}

std::optional<Array> NSUserDefaults::arrayForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v || !v->isArray()) return std::nullopt;
    return *v->asArray();
}

std::optional<Dictionary> NSUserDefaults::dictionaryForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v || !v->isDictionary()) return std::nullopt;
    return *v->asDictionary();
}

std::optional<std::vector<std::string>> NSUserDefaults::stringArrayForKey(
    const std::string& key) const {
    auto array = arrayForKey(key);
    if (!array) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& item : *array) {
        auto s = item.asString();
        if (!s) return std::nullopt;
        out.push_back(*s);
    }
    return out;
}

bool NSUserDefaults::boolForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return false;
    if (auto b = v->asBool()) return *b;
    if (auto d = v->asDouble()) return *d != 0;
    if (auto s = v->asString()) return NSStringValue::boolValue(*s);
    return false;
}

std::int64_t NSUserDefaults::integerForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (auto b = v->asBool()) return *b ? 1 : 0;
    if (auto d = v->asDouble()) return static_cast<std::int64_t>(*d);
    if (auto s = v->asString()) return NSStringValue::integerValue(*s);
    return 0;
}

double NSUserDefaults::doubleForKey(const std::string& key) const {
    auto v = objectForKey(key);
    if (!v) return 0;
    if (auto b = v->asBool()) return *b ? 1 : 0;
    if (auto d = v->asDouble()) return *d;
    if (auto s = v->asString()) return NSStringValue::doubleValue(*s);
    return 0;
}

void NSUserDefaults::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults) registration_.set(key, value);
}

Dictionary NSUserDefaults::volatileRegistrationDomain() const {
    std::lock_guard lock(mutex_);
    return registration_;
}

Dictionary NSUserDefaults::persistentDomain() const {
    std::lock_guard lock(mutex_);
    return persistent_;
}

Dictionary NSUserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    Dictionary out = persistent_;
    for (const auto& [key, value] : registration_)
        if (!out.contains(key)) out.set(key, value);
    return out;
}

bool NSUserDefaults::synchronize() {
    return true;
}

void NSUserDefaults::addObserver(const std::shared_ptr<NSKeyValueObserver>& observer,
                                 const std::string& keyPath, NSKeyValueObservingOptions options,
                                 void* context) {
    if (!observer) return;
    {
        std::lock_guard lock(mutex_);
        observers_.push_back({observer, observer.get(), keyPath, options, context});
    }
    if (options & NSKeyValueObservingOptionInitial) {
        Dictionary change{{NSKeyValueChangeKindKey, Value(1u)}};
        if (options & NSKeyValueObservingOptionNew)
            change.set(NSKeyValueChangeNewKey, nullIfMissing(objectForKey(keyPath)));
        observer->observeValueForKeyPath(keyPath, this, &change, context);
    }
}

void NSUserDefaults::removeObserver(NSKeyValueObserver* observer, const std::string& keyPath,
                                    void* context) {
    std::lock_guard lock(mutex_);
    for (auto it = observers_.begin(); it != observers_.end(); ++it) {
        if (it->identity == observer && it->keyPath == keyPath && it->context == context) {
            observers_.erase(it);
            return;
        }
    }
}

std::size_t NSUserDefaults::observerCount(const std::string& keyPath) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& r : observers_)
        if (r.keyPath == keyPath) ++n;
    return n;
}
