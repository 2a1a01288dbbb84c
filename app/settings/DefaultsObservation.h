#pragma once
// Observation of settings: a typed key's changes arrive as records with old
// and new values converted to the key's type. Callbacks run synchronously on
// the thread that wrote the setting. The caller keeps the returned handle;
// releasing it ends the observation, unless it is tied to an owner's
// lifetime.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/settings/Defaults.h"
#include "app/settings/LifetimeAssociation.h"

namespace Defaults {

enum class ObservationOption { initial = 0, prior = 1 };
using ObservationOptions = std::set<ObservationOption>;

// initial wins over prior; new and old are always asked for.
NSKeyValueObservingOptions mapOptions(const ObservationOptions& options);

using IndexSet = std::set<std::uint64_t>;

struct BaseChange {
    NSKeyValueChange kind = NSKeyValueChange::Setting;
    std::optional<IndexSet> indexes;
    bool isPrior = false;
    std::optional<Value> newValue;
    std::optional<Value> oldValue;

    static BaseChange from(const Dictionary& change);
};

template <class T>
struct KeyChange {
    NSKeyValueChange kind;
    std::optional<IndexSet> indexes;
    bool isPrior;
    T newValue;
    T oldValue;
    bool operator==(const KeyChange&) const = default;
};

template <class T>
using NSSecureCodingKeyChange = KeyChange<T>;

template <class T>
struct NSSecureCodingOptionalKeyChange {
    NSKeyValueChange kind;
    std::optional<IndexSet> indexes;
    bool isPrior;
    std::optional<T> newValue;
    std::optional<T> oldValue;
    bool operator==(const NSSecureCodingOptionalKeyChange&) const = default;
};

class DefaultsObservation {
  public:
    virtual ~DefaultsObservation() = default;
    virtual void invalidate() = 0;
    // Ties the observation to the owner's lifetime; answers the handle itself.
    virtual std::shared_ptr<DefaultsObservation> tieToLifetime(
        const std::shared_ptr<NSObject>& owner) = 0;
    virtual void removeLifetimeTie() = 0;
};

// Shared by both observer kinds: the tie to an owner.
class LifetimeTiedObservation : public NSObject,
                                public NSKeyValueObserver,
                                public DefaultsObservation {
  public:
    std::shared_ptr<DefaultsObservation> tieToLifetime(
        const std::shared_ptr<NSObject>& owner) override;
    void removeLifetimeTie() override;

  protected:
    void cancelLifetimeAssociation();

  private:
    std::mutex tieMutex_;
    std::shared_ptr<LifetimeAssociation> lifetimeAssociation_;
};

class UserDefaultsKeyObservation : public LifetimeTiedObservation {
  public:
    using Callback = std::function<void(const BaseChange&)>;

    UserDefaultsKeyObservation(const std::shared_ptr<NSUserDefaults>& object, std::string key,
                               Callback callback);
    ~UserDefaultsKeyObservation() override;

    void start(const ObservationOptions& options);
    void invalidate() override;
    void observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                                const Dictionary* change, void* context) override;
    std::string className() const override { return "UserDefaultsKeyObservation"; }

  private:
    std::mutex mutex_;
    std::weak_ptr<NSUserDefaults> object_;
    std::string key_;
    Callback callback_;
};

struct SuiteKeyPair {
    std::weak_ptr<NSUserDefaults> suite;
    std::string key;
};

class CompositeUserDefaultsKeyObservation : public LifetimeTiedObservation {
  public:
    using Callback = std::function<void(const BaseChange&)>;

    CompositeUserDefaultsKeyObservation(std::vector<SuiteKeyPair> observables, Callback callback);
    ~CompositeUserDefaultsKeyObservation() override;

    void start(const ObservationOptions& options);
    void invalidate() override;
    void observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                                const Dictionary* change, void* context) override;
    std::string className() const override { return "CompositeUserDefaultsKeyObservation"; }

  private:
    std::mutex mutex_;
    std::vector<SuiteKeyPair> observables_;
    Callback callback_;
};

// Runs `body` with this thread's propagation flag set, so observers are not
// woken by the writes it makes on this thread. The flag returns to its
// earlier value afterwards, also when `body` throws.
void withoutPropagation(const std::function<void()>& body);
bool isPropagationSuspended();

// ---- conversion of stored objects to a key's type ------------------------

template <class T>
std::optional<T> convertStored(const std::optional<Value>& object) {
    if (!object || object->isNull()) return std::nullopt;
    if constexpr (Native<T>::value) {
        if (auto native = Native<T>::fromValue(*object)) return native;
    }
    if constexpr (requires { nlohmann::json(std::declval<T>()).template get<T>(); }) {
        auto text = object->asString().value_or(object->description());
        return decodeFromText<T>(text, false);
    } else {
        return std::nullopt;
    }
}

template <class T>
std::optional<T> convertStoredObject(const std::optional<Value>& object) {
    if (!object || object->isNull()) return std::nullopt;
    if constexpr (Native<T>::value) {
        return Native<T>::fromValue(*object);
    } else {
        if (!object->isData()) return std::nullopt;
        using C = typename SecureObject<T>::Class;
        auto decoded =
            NSKeyedUnarchiver::unarchivedObjectOfClass(C::kClassName, *object->asData(), nullptr);
        auto typed = decoded.template as<C>();
        if (!typed) return std::nullopt;
        return T(typed);
    }
}

// ---- observe -------------------------------------------------------------

template <class T>
std::shared_ptr<DefaultsObservation> observe(const Key<T>& key,
                                             std::function<void(const KeyChange<T>&)> handler,
                                             const ObservationOptions& options = {
                                                 ObservationOption::initial}) {
    T fallback = key.defaultValue();
    auto observation = std::make_shared<UserDefaultsKeyObservation>(
        key.suite(), key.name(), [handler, fallback](const BaseChange& change) {
            handler(KeyChange<T>{change.kind, change.indexes, change.isPrior,
                                 convertStored<T>(change.newValue).value_or(fallback),
                                 convertStored<T>(change.oldValue).value_or(fallback)});
        });
    observation->start(options);
    return observation;
}

template <class T>
std::shared_ptr<DefaultsObservation> observe(
    const NSSecureCodingKey<T>& key, std::function<void(const NSSecureCodingKeyChange<T>&)> handler,
    const ObservationOptions& options = {ObservationOption::initial}) {
    T fallback = key.defaultValue();
    auto observation = std::make_shared<UserDefaultsKeyObservation>(
        key.suite(), key.name(), [handler, fallback](const BaseChange& change) {
            handler(NSSecureCodingKeyChange<T>{
                change.kind, change.indexes, change.isPrior,
                convertStoredObject<T>(change.newValue).value_or(fallback),
                convertStoredObject<T>(change.oldValue).value_or(fallback)});
        });
    observation->start(options);
    return observation;
}

template <class T>
std::shared_ptr<DefaultsObservation> observe(
    const NSSecureCodingOptionalKey<T>& key,
    std::function<void(const NSSecureCodingOptionalKeyChange<T>&)> handler,
    const ObservationOptions& options = {ObservationOption::initial}) {
    auto observation = std::make_shared<UserDefaultsKeyObservation>(
        key.suite(), key.name(), [handler](const BaseChange& change) {
            handler(NSSecureCodingOptionalKeyChange<T>{change.kind, change.indexes, change.isPrior,
                                                       convertStoredObject<T>(change.newValue),
                                                       convertStoredObject<T>(change.oldValue)});
        });
    observation->start(options);
    return observation;
}

// One handler, without arguments, for a change of any of the keys.
std::shared_ptr<DefaultsObservation> observe(const std::vector<const Keys*>& keys,
                                             std::function<void()> handler,
                                             const ObservationOptions& options = {
                                                 ObservationOption::initial});

}  // namespace Defaults
