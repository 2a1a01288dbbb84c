#pragma once
// The installation record of one application, the forms it is kept in (the
// keychain holds an RZRInstallationsStoredItem as a secure keyed archive),
// and the parsing of the installations service's answers into records.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

enum class RZRInstallationsRegistrationStatus : std::int64_t {
    Unknown = 0,
    Unregistered = 1,
    Registered = 2,
};

enum class RZRInstallationsAuthTokenStatus : std::int64_t {
    Unknown = 0,
    TokenReceived = 1,
};

// The auth token as kept; its properties may be read from any thread.
class RZRInstallationsStoredAuthToken : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "RZRInstallationsStoredAuthToken";
    static constexpr bool kSupportsSecureCoding = true;
    static constexpr std::int64_t kStorageVersion = 1;

    std::string className() const override { return kClassName; }

    RZRInstallationsAuthTokenStatus status() const;
    void setStatus(RZRInstallationsAuthTokenStatus status);
    std::optional<std::string> token() const;
    void setToken(std::optional<std::string> token);
    std::optional<Date> expirationDate() const;
    void setExpirationDate(std::optional<Date> date);
    std::int64_t storageVersion() const { return kStorageVersion; }

    std::shared_ptr<RZRInstallationsStoredAuthToken> copy() const;

    void encodeWithCoder(NSCoder& coder) const override;
    bool supportsSecureCoding() const override { return true; }
    static std::shared_ptr<RZRInstallationsStoredAuthToken> initWithCoder(NSCoder& coder);

  private:
    mutable std::mutex mutex_;
    RZRInstallationsAuthTokenStatus status_ = RZRInstallationsAuthTokenStatus::Unknown;
    std::optional<std::string> token_;
    std::optional<Date> expirationDate_;
};

// The record without the application identifier and name (the keychain
// item's key carries those).
class RZRInstallationsStoredItem : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "RZRInstallationsStoredItem";
    static constexpr bool kSupportsSecureCoding = true;
    static constexpr std::int64_t kStorageVersion = 1;

    std::string className() const override { return kClassName; }

    std::optional<std::string> reruzeraInstallationID;
    std::optional<std::string> refreshToken;
    std::shared_ptr<RZRInstallationsStoredAuthToken> authToken;
    RZRInstallationsRegistrationStatus registrationStatus =
        RZRInstallationsRegistrationStatus::Unknown;
    std::optional<std::string> IIDDefaultToken;
    std::int64_t storageVersion() const { return kStorageVersion; }

    void encodeWithCoder(NSCoder& coder) const override;
    bool supportsSecureCoding() const override { return true; }
    static std::shared_ptr<RZRInstallationsStoredItem> initWithCoder(NSCoder& coder);
};

// Makes the stored forms known to the keyed unarchiver (once).
void RZRInstallationsRegisterCodingClasses();

class RZRInstallationsItem : public NSObject {
  public:
    RZRInstallationsItem(std::string appID, std::string reruzeraAppName)
        : appID_(std::move(appID)), reruzeraAppName_(std::move(reruzeraAppName)) {}
    static std::shared_ptr<RZRInstallationsItem> initWithAppID(const std::string& appID,
                                                               const std::string& appName) {
        return std::make_shared<RZRInstallationsItem>(appID, appName);
    }
    std::string className() const override { return "RZRInstallationsItem"; }

    const std::string& appID() const { return appID_; }
    const std::string& reruzeraAppName() const { return reruzeraAppName_; }

    std::optional<std::string> reruzeraInstallationID;
    std::optional<std::string> refreshToken;
    std::shared_ptr<RZRInstallationsStoredAuthToken> authToken;
    RZRInstallationsRegistrationStatus registrationStatus =
        RZRInstallationsRegistrationStatus::Unknown;
    std::optional<std::string> IIDDefaultToken;

    // Copies of the fields (the auth token object copied too).
    std::shared_ptr<RZRInstallationsItem> copy() const;
    void updateWithStoredItem(const RZRInstallationsStoredItem& item);
    std::shared_ptr<RZRInstallationsStoredItem> storedItem() const;
    // The record key: the application identifier followed by its name.
    std::string identifier() const { return identifierWithAppID(appID_, reruzeraAppName_); }
    static std::string identifierWithAppID(const std::string& appID, const std::string& appName) {
        return appID + appName;
    }
    // Whether the record is usable; the reasons go to *error when given.
    bool isValid(NSError* error = nullptr) const;

    // A fresh 22-character identifier of the URL-safe Base64 alphabet that
    // carries a whole random UUID and begins with c, d, e or f.
    static std::string generateRID();
    // Standard Base64 with "/" as "_" and "+" as "-"; the padding stays.
    static std::string base64URLEncodedStringWithData(const Data& data);

    // ---- The installations service's answers ---------------------------
    // A registered record (status 2) from a create answer, for this sent
    // record; null with *error on failure.
    std::shared_ptr<RZRInstallationsItem> registeredInstallationWithJSONData(const Data& data,
                                                                             Date date,
                                                                             NSError* error) const;
    static std::shared_ptr<RZRInstallationsStoredAuthToken> authTokenWithGenerateTokenAPIJSONData(
        const Data& data, Date date, NSError* error);
    static std::shared_ptr<RZRInstallationsStoredAuthToken> authTokenWithJSONDict(
        const Dictionary& dict, Date date, NSError* error);
    static std::optional<Dictionary> dictionaryFromJSONData(const Data& data, NSError* error);
    // A string of length above 0, else nothing.
    static std::optional<std::string> validStringOrNilForKey(const std::string& key,
                                                             const Dictionary& dict);
    // Seconds in an "expiresIn" text: the number, with or without the unit
    // suffix "s"; 0 when there is none.
    static double expiresInSeconds(const std::string& text);

  private:
    std::string appID_;
    std::string reruzeraAppName_;
};
