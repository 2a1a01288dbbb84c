#pragma once
// The crash reporter's own key-value store: a property-list file under the
// user's application-support folder, read once, changed in memory and
// written back by synchronize only when it differs from what was last
// written. Callers block for the file read and write.
//
// Thread-safe: the dictionaries are guarded by a serial access queue and the
// file by a serial io queue (access, then io; never the reverse).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class DispatchQueue;

class RZRCTRUserDefaults : public NSObject {
  public:
    // The shared store of the current home folder: a new one is made when
    // the home folder or bundle identifier, and so the file, changed.
    static std::shared_ptr<RZRCTRUserDefaults> standardUserDefaults();

    // The store of <application support>/<bundle id>/com.crashtrace.
    RZRCTRUserDefaults();
    // The store kept in the given folder.
    explicit RZRCTRUserDefaults(std::string directoryPath);
    ~RZRCTRUserDefaults() override;

    std::string className() const override { return "RZRCTRUserDefaults"; }

    std::optional<Value> objectForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;

    // No value removes the key.
    void setObject(const std::optional<Value>& value, const std::string& key);
    void setString(const std::optional<std::string>& value, const std::string& key);
    void setBool(bool value, const std::string& key);
    void setInteger(std::int64_t value, const std::string& key);
    void removeObjectForKey(const std::string& key);
    void removeAllObjects();

    Dictionary dictionaryRepresentation() const;

    // Writes the working dictionary when it differs from what was last
    // written. A failed write leaves it marked unwritten, so the next call
    // tries again.
    void synchronize();
    // Whether the last synchronize found changes to write.
    bool synchronizeWroteToDisk() const;

    // The file's dictionary; nullopt when there is none or it cannot be read
    // (a directory in its place is removed).
    std::optional<Dictionary> loadDefaults();

    const std::string& directoryURL() const { return directoryURL_; }
    const std::string& fileURL() const { return fileURL_; }

    static std::string generateDirectoryURL();
    static std::string generateDirectoryURLForBaseURL(const std::string& base,
                                                      const std::string& hostAppBundleIdentifier);
    static std::string getEscapedAppBundleIdentifier();

    // Takes the listed keys over from the application's user defaults.
    void migrateFromNSUserDefaults(const std::vector<std::string>& keys);
    std::optional<Value> objectForKeyByMigratingFromNSUserDefaults(const std::string& key);

  private:
    std::string directoryURL_;
    std::string fileURL_;
    Dictionary persistedDataDictionary_;
    Dictionary dataDictionary_;
    bool synchronizeWroteToDisk_ = false;
    std::shared_ptr<DispatchQueue> serialDictionaryQueue_;
    std::shared_ptr<DispatchQueue> synchronizationQueue_;
};
