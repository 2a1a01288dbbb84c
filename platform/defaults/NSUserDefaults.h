#pragma once
// The user-defaults database: the standard store and named suites, each kept
// as a property-list file `<home>/Library/Preferences/<domain>.plist`.
//
// - Reads see the persistent domain first, then the registration domain.
// - Every write goes straight to disk (temporary file and rename), so the
//   next process reads it back. A failed write is logged and the value stays
//   in memory for this process.
// - A value (or key) the property-list file cannot hold, such as a string
//   that is not valid UTF-8 or holds a NUL, is refused with a logged error
//   and the old value stays, so the rest of the suite keeps being saved.
// - A corrupt or unreadable file is logged once, moved aside to
//   `<domain>.plist.corrupt` and the suite starts empty; it is never
//   overwritten before that error is logged.
// - Key-value observation: observers are called synchronously on the writing
//   thread, outside the store's lock. Every write notifies, also one that
//   stores the value already there (as the platform's key-value observing
//   does for a set), and so does a removal; registering defaults notifies
//   nobody.
// - All operations are thread-safe.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

// Options of key-value observing.
using NSKeyValueObservingOptions = unsigned;
constexpr NSKeyValueObservingOptions NSKeyValueObservingOptionNew = 0x01;
constexpr NSKeyValueObservingOptions NSKeyValueObservingOptionOld = 0x02;
constexpr NSKeyValueObservingOptions NSKeyValueObservingOptionInitial = 0x04;
constexpr NSKeyValueObservingOptions NSKeyValueObservingOptionPrior = 0x08;

enum class NSKeyValueChange : unsigned long {
    Setting = 1,
    Insertion = 2,
    Removal = 3,
    Replacement = 4,
};

// Keys of the change dictionary.
inline constexpr const char* NSKeyValueChangeKindKey = "kind";
inline constexpr const char* NSKeyValueChangeNewKey = "new";
inline constexpr const char* NSKeyValueChangeOldKey = "old";
inline constexpr const char* NSKeyValueChangeIndexesKey = "indexes";
inline constexpr const char* NSKeyValueChangeNotificationIsPriorKey = "notificationIsPrior";

// An object that can be registered as a key-value observer. A missing value
// appears as null under "new" or "old".
class NSKeyValueObserver {
  public:
    virtual ~NSKeyValueObserver() = default;
    virtual void observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                                        const Dictionary* change, void* context) = 0;
};

class NSUserDefaults : public NSObject {
  public:
    static std::shared_ptr<NSUserDefaults> standardUserDefaults();
    // One live object per suite name; nullptr for an empty name or for the
    // global domain's name, as the platform refuses those.
    static std::shared_ptr<NSUserDefaults> initWithSuiteName(const std::string& suiteName);
    // The domain of the standard store: the main bundle's identifier.
    static std::string standardDomainName();

    std::string className() const override { return "NSUserDefaults"; }
    const std::string& domainName() const { return domain_; }

    std::optional<Value> objectForKey(const std::string& key) const;
    // A missing object removes the key, as a write of nil does.
    void setObject(const std::optional<Value>& value, const std::string& key);
    void removeObjectForKey(const std::string& key);

    std::optional<std::string> stringForKey(const std::string& key) const;  // strings, numbers
    std::optional<Data> dataForKey(const std::string& key) const;
    std::optional<Array> arrayForKey(const std::string& key) const;
    std::optional<Dictionary> dictionaryForKey(const std::string& key) const;
    std::optional<std::vector<std::string>> stringArrayForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    void setBool(bool value, const std::string& key) { setObject(Value(value), key); }
    void setInteger(std::int64_t value, const std::string& key) { setObject(Value(value), key); }
    void setDouble(double value, const std::string& key) { setObject(Value(value), key); }
    // A missing URL removes the key.
    void setURL(const std::optional<std::string>& url, const std::string& key);

    void registerDefaults(const Dictionary& defaults);
    Dictionary volatileRegistrationDomain() const;
    // Registration domain overlaid by the persistent domain.
    Dictionary dictionaryRepresentation() const;
    Dictionary persistentDomain() const;
    // Writes are already on disk; kept for callers that ask.
    bool synchronize();

    void addObserver(const std::shared_ptr<NSKeyValueObserver>& observer,
                     const std::string& keyPath, NSKeyValueObservingOptions options, void* context);
    void removeObserver(NSKeyValueObserver* observer, const std::string& keyPath, void* context);

    // Control surface.
    std::size_t observerCount(const std::string& keyPath) const;
    std::string filePath() const;
    // Every live store drops its persistent domain and loads its file again
    // from the current home, as a new process would; objects, registered
    // defaults and observers stay.
    static void resetForTesting();

    explicit NSUserDefaults(std::string domain);

  private:
    struct Registration {
        std::weak_ptr<NSKeyValueObserver> observer;
        NSKeyValueObserver* identity;
        std::string keyPath;
        NSKeyValueObservingOptions options;
        void* context;
    };

    void load();
    void persistLocked();
    std::optional<Value> effectiveLocked(const std::string& key) const;
    void write(const std::string& key, const std::optional<Value>& value);
    std::vector<Registration> observersFor(const std::string& key) const;
    void deliver(const Registration& r, const std::string& key, const Dictionary& change);

    std::string domain_;
    mutable std::mutex mutex_;
    Dictionary persistent_;
    Dictionary registration_;
    std::vector<Registration> observers_;
};
