#pragma once
// A key-value settings store of the measurement library, backed either by
// preferences (APMUserDefaults) or by a property-list file
// (APMPersistedConfig). Keys must be non-empty. Typed getters answer 0 / NO
// for a missing or non-number value, nullopt for a missing value of another
// kind. Storable values: strings, numbers, arrays, dictionaries, dates and
// data; a missing value removes the key.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

class APMConfigStore {
  public:
    virtual ~APMConfigStore() = default;

    virtual std::optional<Value> objectForKey(const std::string& key) = 0;
    std::optional<Array> arrayForKey(const std::string& key);
    std::optional<Dictionary> dictionaryForKey(const std::string& key);
    std::optional<std::string> stringForKey(const std::string& key);
    int64_t integerForKey(const std::string& key);
    float floatForKey(const std::string& key);
    double doubleForKey(const std::string& key);
    bool boolForKey(const std::string& key);

    virtual void setObject(const std::optional<Value>& value, const std::string& key) = 0;
    void setFloat(float value, const std::string& key) { setObject(Value(value), key); }
    void setDouble(double value, const std::string& key) { setObject(Value(value), key); }
    void setInteger(int64_t value, const std::string& key) {
        setObject(Value(static_cast<long long>(value)), key);
    }
    void setBool(bool value, const std::string& key) { setObject(Value(value), key); }
    virtual void removeObjectForKey(const std::string& key) = 0;
    virtual void clearAllData() = 0;
    virtual bool synchronize() = 0;

    // Whether a value is of a kind the stores keep.
    static bool isStorable(const Value& value);
    // Whether a null sits anywhere inside (property lists hold none).
    static bool containsNull(const Value& value);
};
