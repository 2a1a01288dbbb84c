#pragma once
// Per-tag dates of the last heartbeats sent, in a file under Application
// Support ("Zevera/VUVEzu/<file name>") or under one key of a user-defaults
// domain. The setter keeps the platform spelling "setHearbeatDate".

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class ZVUHeartbeatDateStorable {
  public:
    virtual ~ZVUHeartbeatDateStorable() = default;
    virtual std::optional<Date> heartbeatDateForTag(const std::string& tag) = 0;
    // A missing date removes the tag.
    virtual bool setHearbeatDate(const std::optional<Date>& date, const std::string& tag) = 0;
};

class ZVUHeartbeatDateStorage : public ZVUHeartbeatDateStorable {
  public:
    // Null without a name.
    static std::shared_ptr<ZVUHeartbeatDateStorage> initWithFileName(
        const std::optional<std::string>& fileName);

    std::optional<Date> heartbeatDateForTag(const std::string& tag) override;
    // True when the file was written.
    bool setHearbeatDate(const std::optional<Date>& date, const std::string& tag) override;

    // The file, resolved (and its folder created) on first use.
    std::filesystem::path fileURL();
    static std::filesystem::path directoryPathURL();
    // A missing, empty or undecodable file reads as an empty dictionary.
    static Dictionary heartbeatDictionaryWithFileURL(const std::filesystem::path& file);
    static bool writeDictionary(const Dictionary& dictionary, const std::filesystem::path& file,
                                NSError* error = nullptr);

    explicit ZVUHeartbeatDateStorage(std::string fileName) : fileName_(std::move(fileName)) {}

  private:
    std::string fileName_;
    std::optional<std::filesystem::path> fileURL_;
};

class ZVUHeartbeatDateStorageUserDefaults : public ZVUHeartbeatDateStorable {
  public:
    ZVUHeartbeatDateStorageUserDefaults(std::shared_ptr<NSUserDefaults> defaults, std::string key)
        : defaults_(std::move(defaults)), key_(std::move(key)) {}

    std::optional<Date> heartbeatDateForTag(const std::string& tag) override;
    // Always true.
    bool setHearbeatDate(const std::optional<Date>& date, const std::string& tag) override;
    Dictionary heartbeatDictionaryFromDefaults() const;

  private:
    std::shared_ptr<NSUserDefaults> defaults_;
    std::string key_;
};
