#pragma once
// Typed settings keys over the user-defaults database.
//
// A key names a setting, the suite that stores it and its default value.
// Values of the natively supported types (bool, text, Int, Double, Float,
// Date, Data and their optionals) are stored as property-list objects; any
// other JSON-codable type as the JSON text of the value; secure-coding
// objects as keyed archives. Constructing a key registers its default in the
// suite's registration domain. Nothing is cached: every read goes to the
// suite, which is thread-safe.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"
#include "platform/log/Log.h"

namespace Defaults {

// ---- type classification ------------------------------------------------

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// The platform's optional test (`_DefaultsOptionalType.isNil`).
template <class T>
bool isNil(const T& value) {
    if constexpr (IsOptional<T>::value) {
        return !value.has_value();
    } else if constexpr (requires { value == nullptr; }) {
        return value == nullptr;
    } else {
        return false;
    }
}

template <class T>
struct Native {
    static constexpr bool value = false;
};

#define LUMBREL_NATIVE(Type, toExpr, fromExpr)                                    \
    template <>                                                                   \
    struct Native<Type> {                                                         \
        static constexpr bool value = true;                                       \
        static Value toValue(const Type& v) { return toExpr; }                    \
        static std::optional<Type> fromValue(const Value& o) { return fromExpr; } \
    };
LUMBREL_NATIVE(bool, Value(v), o.asBool())
LUMBREL_NATIVE(std::string, Value(v), o.asString())
LUMBREL_NATIVE(Data, Value(v), o.isData() ? std::optional<Data>(*o.asData()) : std::nullopt)
LUMBREL_NATIVE(Date, Value(v), o.asDate())
#undef LUMBREL_NATIVE

// Int accepts integral numbers only, Double and Float any number, as the
// platform's number bridging does; a boolean is no number here.
template <>
struct Native<std::int64_t> {
    static constexpr bool value = true;
    static Value toValue(std::int64_t v) { return Value(v); }
    static std::optional<std::int64_t> fromValue(const Value& o) {
        if (o.isInteger()) return o.asInt();
        if (o.type() == Value::Type::Double) {
            double d = *o.asDouble();
            if (d == static_cast<double>(static_cast<std::int64_t>(d)))
                return static_cast<std::int64_t>(d);
        }
        return std::nullopt;
    }
};
template <>
struct Native<double> {
    static constexpr bool value = true;
    static Value toValue(double v) { return Value(v); }
    static std::optional<double> fromValue(const Value& o) {
        return o.isNumber() ? o.asDouble() : std::nullopt;
    }
};
template <>
struct Native<float> {
    static constexpr bool value = true;
    static Value toValue(float v) { return Value(v); }
    static std::optional<float> fromValue(const Value& o) {
        if (!o.isNumber()) return std::nullopt;
        return static_cast<float>(*o.asDouble());
    }
};
template <class T>
requires Native<T>::value struct Native<std::optional<T>> {
    static constexpr bool value = true;
    static Value toValue(const std::optional<T>& v) { return Native<T>::toValue(*v); }
    static std::optional<std::optional<T>> fromValue(const Value& o) {
        auto inner = Native<T>::fromValue(o);
        if (!inner) return std::nullopt;
        return std::optional<T>(*inner);
    }
};

// A secure-coding object type: a shared pointer to an archivable class.
template <class T>
struct SecureObject : std::false_type {};
template <class C>
struct SecureObject<std::shared_ptr<C>> : std::true_type {
    using Class = C;
};

// ---- JSON text of codable values -----------------------------------------

// The stored text of a value: the JSON of a one-element array without its
// brackets. No text when encoding fails (the error is printed).
template <class T>
std::optional<std::string> encodeToText(const T& value) {
    try {
        nlohmann::json array = nlohmann::json::array();
        array.push_back(value);
        auto text = array.dump();
        return text.substr(1, text.size() - 2);
    } catch (const std::exception& e) {
        printLine(e.what());
        return std::nullopt;
    }
}

// The value of stored text; no value when it does not decode (printed when
// `report`).
template <class T>
std::optional<T> decodeFromText(const std::string& text, bool report = true) {
    try {
        auto array = nlohmann::json::parse("[" + text + "]");
        auto values = array.get<std::vector<T>>();
        if (values.empty()) return std::nullopt;
        return std::move(values.front());
    } catch (const std::exception& e) {
        if (report) printLine(e.what());
        return std::nullopt;
    }
}

// ---- keys ------------------------------------------------------------------

template <class T>
class Key;

// Base of every key: the user-defaults name and the suite that stores it.
class Keys {
  public:
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
    virtual ~Keys() = default;

    const std::string& name() const { return name_; }
    const std::shared_ptr<NSUserDefaults>& suite() const { return suite_; }
    // Removes the stored value; the registered default shows again.
    void reset() const { suite_->removeObjectForKey(name_); }

    // The application's settings; each key is created on first use.
    static const Key<bool>& devicesMuted();
    static const Key<bool>& originalMuteValue();
    static const Key<std::int64_t>& keyCode();
    static const Key<std::string>& keyCodeString();
    static const Key<bool>& keyEnabled();
    static const Key<bool>& keyDoubleModifiers();
    static const Key<std::int64_t>& keyModifiers();
    static const Key<std::string>& keyModifiersString();
    static const Key<bool>& hasOpenedMicStatusWindow();
    static const Key<bool>& showStatusWindow();
    static const Key<bool>& hasShownStatusWindowOnboardingText();
    static const Key<bool>& statusWindowHelpTextAnimation();
    static const Key<bool>& rightClickShowsMenu();
    static const Key<bool>& collectData();
    static const Key<bool>& hasCompletedOnboarding();
    static const Key<std::int64_t>& menubarIcon();
    static const Key<bool>& muteNotifications();
    static const Key<std::int64_t>& pushToTalk();
    static const Key<bool>& startOnLogin();
    static const Key<std::int64_t>& leftClickAction();
    static const Key<std::int64_t>& rightClickAction();
    static const Key<std::vector<std::string>>& aggregateDeviceWarnings();
    static const Key<bool>& bluetoothWarningSeen();
    static const Key<bool>& bluetoothWorkaroundNoticeSeen();
    static const Key<std::vector<std::string>>& deviceWarnings();
    static const Key<std::optional<bool>>& useBluetoothHogMode();
    static const Key<std::optional<bool>>& useBluetoothWorkaround();
    static const Key<std::vector<std::string>>& displaysSentToAnalytics();
    static const Key<std::vector<std::string>>& devicesSentToAnalytics();
    static const Key<bool>& SUEnableAutomaticChecks();

  protected:
    Keys(std::string name, std::shared_ptr<NSUserDefaults> suite)
        : name_(std::move(name)), suite_(std::move(suite)) {}

  private:
    std::string name_;
    std::shared_ptr<NSUserDefaults> suite_;
};

inline std::shared_ptr<NSUserDefaults> standardSuite() {
    return NSUserDefaults::standardUserDefaults();
}

// A key of a codable value type with a default.
template <class T>
class Key : public Keys {
  public:
    using ValueType = T;

    Key(std::string name, T defaultValue, std::shared_ptr<NSUserDefaults> suite = standardSuite())
        : Keys(std::move(name), std::move(suite)), defaultValue_(std::move(defaultValue)) {
        registerDefault();
    }
    // An optional key: no default, nothing registered.
    explicit Key(std::string name, std::shared_ptr<NSUserDefaults> suite = standardSuite()) requires
        IsOptional<T>::value : Keys(std::move(name), std::move(suite)),
                               defaultValue_(std::nullopt) {}

    const T& defaultValue() const { return defaultValue_; }

  private:
    void registerDefault() {
        if (isNil(defaultValue_)) return;
        if constexpr (Native<T>::value) {
            suite()->registerDefaults({{name(), Native<T>::toValue(defaultValue_)}});
        } else if (auto text = encodeToText(defaultValue_)) {
            suite()->registerDefaults({{name(), Value(*text)}});
        }
    }

    T defaultValue_;
};

namespace detail {

template <class T>
std::optional<Data> archive(const T& object) {
    auto data = NSKeyedArchiver::archivedDataWithRootObject(Id(object), true, nullptr);
    return data;
}

template <class T>
std::optional<T> unarchive(const Data& data) {
    using C = typename SecureObject<T>::Class;
    NSError error;
    auto decoded = NSKeyedUnarchiver::unarchivedObjectOfClass(C::kClassName, data, &error);
    if (decoded.isNil()) {
        printLine(error.description());
        return std::nullopt;
    }
    auto object = decoded.template as<C>();
    if (!object) return std::nullopt;
    return object;
}

}  // namespace detail

// A key of a secure-coding object (or a natively supported value) with a
// default object.
template <class T>
class NSSecureCodingKey : public Keys {
  public:
    using ValueType = T;

    NSSecureCodingKey(std::string name, T defaultValue,
                      std::shared_ptr<NSUserDefaults> suite = standardSuite())
        : Keys(std::move(name), std::move(suite)), defaultValue_(std::move(defaultValue)) {
        if (isNil(defaultValue_)) return;
        if constexpr (Native<T>::value) {
            this->suite()->registerDefaults({{this->name(), Native<T>::toValue(defaultValue_)}});
        } else if (auto data = detail::archive(defaultValue_)) {
            this->suite()->registerDefaults({{this->name(), Value(*data)}});
        }
    }
    // The null default: nothing is registered.
    explicit NSSecureCodingKey(std::string name,
                               std::shared_ptr<NSUserDefaults> suite = standardSuite()) requires
        SecureObject<T>::value : Keys(std::move(name), std::move(suite)),
                                 defaultValue_(nullptr) {}

    const T& defaultValue() const { return defaultValue_; }

  private:
    T defaultValue_;
};

// A key of a secure-coding object that may be absent; no default.
template <class T>
class NSSecureCodingOptionalKey : public Keys {
  public:
    using ValueType = T;
    explicit NSSecureCodingOptionalKey(std::string name,
                                       std::shared_ptr<NSUserDefaults> suite = standardSuite())
        : Keys(std::move(name), std::move(suite)) {}
};

// ---- typed access on a suite -------------------------------------------

template <class T>
std::optional<T> storedValue(const NSUserDefaults& suite, const Key<T>& key) {
    if constexpr (Native<T>::value) {
        auto object = suite.objectForKey(key.name());
        if (!object) return std::nullopt;
        return Native<T>::fromValue(*object);
    } else {
        auto text = suite.stringForKey(key.name());
        if (!text) return std::nullopt;
        return decodeFromText<T>(*text);
    }
}

template <class T>
T get(const NSUserDefaults& suite, const Key<T>& key) {
    if (auto value = storedValue(suite, key)) return std::move(*value);
    return key.defaultValue();
}

template <class T>
void set(NSUserDefaults& suite, const Key<T>& key, const T& value) {
    if (isNil(value)) {
        suite.removeObjectForKey(key.name());
        return;
    }
    if constexpr (Native<T>::value) {
        suite.setObject(Native<T>::toValue(value), key.name());
    } else {
        auto text = encodeToText(value);
        // A value that cannot be encoded must not wipe the one already stored.
        if (!text) return;
        suite.setObject(Value(*text), key.name());
    }
}

template <class T>
std::optional<T> storedObject(const NSUserDefaults& suite, const Keys& key) {
    if constexpr (Native<T>::value) {
        auto object = suite.objectForKey(key.name());
        if (!object) return std::nullopt;
        return Native<T>::fromValue(*object);
    } else {
        auto data = suite.dataForKey(key.name());
        if (!data) return std::nullopt;
        return detail::unarchive<T>(*data);
    }
}

template <class T>
T get(const NSUserDefaults& suite, const NSSecureCodingKey<T>& key) {
    if (auto value = storedObject<T>(suite, key)) return std::move(*value);
    return key.defaultValue();
}

template <class T>
void writeObject(NSUserDefaults& suite, const Keys& key, const T& value) {
    if constexpr (Native<T>::value) {
        suite.setObject(Native<T>::toValue(value), key.name());
    } else {
        auto data = detail::archive(value);
        // A value that cannot be archived must not wipe the one already stored.
        if (!data) return;
        suite.setObject(Value(*data), key.name());
    }
}

template <class T>
void set(NSUserDefaults& suite, const NSSecureCodingKey<T>& key, const T& value) {
    writeObject(suite, key, value);
}

template <class T>
std::optional<T> get(const NSUserDefaults& suite, const NSSecureCodingOptionalKey<T>& key) {
    return storedObject<T>(suite, key);
}

template <class T>
void set(NSUserDefaults& suite, const NSSecureCodingOptionalKey<T>& key,
         const std::optional<T>& value) {
    if (!value || isNil(*value)) {
        suite.setURL(std::nullopt, key.name());
        return;
    }
    writeObject(suite, key, *value);
}

// ---- static access through the key's own suite (`Defaults[key]`) ----------

template <class K>
auto get(const K& key) {
    return get(*key.suite(), key);
}
template <class T>
void set(const Key<T>& key, const T& value) {
    set(*key.suite(), key, value);
}
template <class T>
void set(const NSSecureCodingKey<T>& key, const T& value) {
    set(*key.suite(), key, value);
}
template <class T>
void set(const NSSecureCodingOptionalKey<T>& key, const std::optional<T>& value) {
    set(*key.suite(), key, value);
}

// In-place change: read, let `change` modify the temporary, write it back
// (also when it was left unchanged).
template <class K, class F>
void modify(const K& key, F&& change) {
    auto value = get(key);
    change(value);
    set(key, value);
}

// ---- removal ---------------------------------------------------------------

void reset(const std::vector<const Keys*>& keys);
template <class... K>
void reset(const K&... keys) {
    reset(std::vector<const Keys*>{&keys...});
}
void reset(const std::vector<std::string>& names, NSUserDefaults& suite);
void removeAll(NSUserDefaults& suite);

}  // namespace Defaults
