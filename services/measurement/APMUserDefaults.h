#pragma once
// Measurement preferences of one suite (empty: the application's own
// domain), written through the Core Foundation preferences functions or,
// when those are switched off, through a preferences object of the suite.
// Reads and writes take no lock; synchronize's backup step runs under the
// object's own lock. Refusals are logged through the shared logger.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "services/measurement/APMConfigStore.h"

class NSUserDefaults;

class APMUserDefaults : public APMConfigStore {
  public:
    // "UseCFPreferencesLibrary" of the main bundle's information list, read
    // once: its boolean when a number, else YES.
    static bool userPreferenceEnabled();
    // The shared instance of the application's domain; it never marks a
    // file excluded from backup.
    static std::shared_ptr<APMUserDefaults> standardUserDefaults();

    explicit APMUserDefaults(std::string suiteName = "");

    const std::string& suiteName() const { return suiteName_; }
    bool useCFPreferencesLibrary() const { return useCFPreferencesLibrary_; }
    void setUseCFPreferencesLibrary(bool use);
    bool isPreferenceFileExcluded() const { return isPreferenceFileExcluded_; }
    void setIsPreferenceFileExcluded(bool excluded) { isPreferenceFileExcluded_ = excluded; }

    std::optional<Value> objectForKey(const std::string& key) override;
    void setObject(const std::optional<Value>& value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;
    void clearAllData() override;
    bool synchronize() override;

  private:
    std::string suiteName_;
    std::string appNameRef_;
    std::shared_ptr<NSUserDefaults> userDefaults_;
    bool useCFPreferencesLibrary_;
    std::atomic<bool> isPreferenceFileExcluded_{false};
    std::mutex lock_;
};
