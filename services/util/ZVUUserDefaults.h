#pragma once
// A key-value store over the preferences of one domain (a suite, or the
// application's own domain). Reads go to the preferences every time; each
// change schedules one flush one second later on the main run loop (a burst
// of writes ends in one flush), and flushes still pending when the process
// exits run at exit.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Timer.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class ZVUUserDefaults : public NSObject {
  public:
    // The application's domain, created once.
    static std::shared_ptr<ZVUUserDefaults> standardUserDefaults();
    static std::shared_ptr<ZVUUserDefaults> init();
    // An absent or empty name means the application's own domain.
    static std::shared_ptr<ZVUUserDefaults> initWithSuiteName(
        const std::optional<std::string>& suiteName);

    std::string className() const override { return "ZVUUserDefaults"; }

    // Keys must be non-empty strings; anything else is logged and refused.
    std::optional<Value> objectForKey(const Value& key) const;
    // nullopt removes the key. Values must be strings, numbers, arrays,
    // dictionaries, dates or data.
    void setObject(const std::optional<Value>& value, const Value& key);
    void removeObjectForKey(const Value& key) { setObject(std::nullopt, key); }

    std::int64_t integerForKey(const Value& key) const;
    float floatForKey(const Value& key) const;
    double doubleForKey(const Value& key) const;
    bool boolForKey(const Value& key) const;
    // Returned as stored, whatever its kind.
    std::optional<Value> stringForKey(const Value& key) const { return objectForKey(key); }
    std::optional<Value> arrayForKey(const Value& key) const { return objectForKey(key); }
    std::optional<Value> dictionaryForKey(const Value& key) const { return objectForKey(key); }
    void setInteger(std::int64_t value, const Value& key) { setObject(Value(value), key); }
    void setFloat(float value, const Value& key) { setObject(Value(value), key); }
    void setDouble(double value, const Value& key) { setObject(Value(value), key); }
    void setBool(bool value, const Value& key) { setObject(Value(value), key); }

    // Flushes the domain now.
    void synchronize();
    // A flush one second from now, replacing one already scheduled.
    void scheduleSynchronize();

    const std::string& appNameRef() const { return appNameRef_; }
    bool isPreferenceFileExcluded() const;
    void setIsPreferenceFileExcluded(bool excluded);

    explicit ZVUUserDefaults(std::string appNameRef);
    ~ZVUUserDefaults() override;

  private:
    std::string appNameRef_;
    mutable std::mutex mutex_;
    bool isPreferenceFileExcluded_ = false;
    std::shared_ptr<Timer> pendingFlush_;
};
