#pragma once
// What the older instance-ID client left behind, read once to carry its
// identifier and token over to the installation: the identifier derived from
// its public key (kept in the keychain, with a marker in a property list
// under Application Support) and its default token (a keychain item).
// Missing legacy data is the common case and rejects the promises. Work runs
// on the utility-priority global queue; the stores keep no mutable state.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"
#include "platform/keychain/SecItem.h"
#include "platform/net/NSURLRequest.h"
#include "services/util/PRMPromise.h"

class RZRInstallationsIIDStore : public NSObject {
  public:
    static std::shared_ptr<RZRInstallationsIIDStore> init() {
        return std::make_shared<RZRInstallationsIIDStore>();
    }
    std::string className() const override { return "RZRInstallationsIIDStore"; }

    // Fulfilled with the legacy identifier; rejected when there is none.
    std::shared_ptr<PRMPromise> existingIID();
    // Fulfilled with the null placeholder once the marker and the key pair
    // are gone; rejected with the error of the step that failed.
    std::shared_ptr<PRMPromise> deleteExistingIID();

    // Limits the keychain queries to one keychain.
    std::optional<SecKeychainRef> keychainRef;

    // ---- Steps -----------------------------------------------------------
    // The public key's data, or nothing when there is no such item.
    std::optional<Data> IIDPublicKeyData() const;
    static std::string IIDWithPublicKeyData(const Data& publicKeyData);
    static Data sha1WithData(const Data& data);
    // Base64 with "/" as "_", "+" as "-" and no padding.
    static std::string base64URLEncodedStringWithData(const Data& data);
    bool deleteIID(NSError* error) const;
    bool deleteKeychainKeyWithTagPrefix(const std::string& prefix, NSError* error) const;
    Dictionary keyPairQueryWithTag(const std::optional<Data>& tag, bool returnData) const;
    static std::optional<Data> keychainKeyTagWithPrefix(const std::string& prefix);
    static std::optional<std::string> mainbundleIdentifier();
    static bool hasPlistIIDFlag();
    static bool deleteIIDFlagFromPlist(NSError* error);
    static std::string plistPath();

    static constexpr const char* kPublicKeyTagPrefix = "com.zevera.iid.keypair.public-";
    static constexpr const char* kPrivateKeyTagPrefix = "com.zevera.iid.keypair.private-";
    static constexpr const char* kPlistFlagKey = "|S|cre";
};

// The archived legacy token record; decoded from archives whose class is
// named "RZRInstanceIDTokenInfo".
class RZRInstallationsIIDTokenInfo : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "RZRInstallationsIIDTokenInfo";
    static constexpr const char* kArchivedClassName = "RZRInstanceIDTokenInfo";
    static constexpr bool kSupportsSecureCoding = true;

    std::string className() const override { return kClassName; }
    std::optional<std::string> token;

    void encodeWithCoder(NSCoder&) const override {}
    bool supportsSecureCoding() const override { return true; }
    static std::shared_ptr<RZRInstallationsIIDTokenInfo> initWithCoder(NSCoder& coder);
};

class RZRInstallationsIIDTokenStore : public NSObject {
  public:
    explicit RZRInstallationsIIDTokenStore(std::optional<std::string> ZCMSenderID);
    static std::shared_ptr<RZRInstallationsIIDTokenStore> initWithZCMSenderID(
        std::optional<std::string> senderID) {
        return std::make_shared<RZRInstallationsIIDTokenStore>(std::move(senderID));
    }
    std::string className() const override { return "RZRInstallationsIIDTokenStore"; }

    // Fulfilled with the legacy default token.
    std::shared_ptr<PRMPromise> existingIIDDefaultToken();

    const std::optional<std::string>& ZCMSenderID() const { return senderID_; }
    std::shared_ptr<PRMPromise> IIDDefaultTokenData();
    // The token of an archive's data, or *error.
    static std::optional<std::string> IIDCheckinWithData(const Data& data, NSError* error);
    Dictionary IIDDefaultTokenDataKeychainQuery() const;
    static std::string IIDAppIdentifier();
    static std::string serviceKeyForAuthorizedEntity(const std::string& entity,
                                                     const std::string& scope);

    static constexpr const char* kGenericAttribute = "com.zevera.iid-tokens";

  private:
    std::optional<std::string> senderID_;
};

// A service answer: the HTTP response and its body (empty when none came).
class RZRInstallationsURLSessionResponse : public NSObject {
  public:
    RZRInstallationsURLSessionResponse(std::shared_ptr<NSHTTPURLResponse> response,
                                       std::optional<Data> data)
        : response_(std::move(response)), data_(data ? std::move(*data) : Data{}) {}
    static std::shared_ptr<RZRInstallationsURLSessionResponse> initWithResponse(
        std::shared_ptr<NSHTTPURLResponse> response, std::optional<Data> data) {
        return std::make_shared<RZRInstallationsURLSessionResponse>(std::move(response),
                                                                    std::move(data));
    }
    std::string className() const override { return "RZRInstallationsURLSessionResponse"; }
    const std::shared_ptr<NSHTTPURLResponse>& HTTPResponse() const { return response_; }
    const Data& data() const { return data_; }

  private:
    std::shared_ptr<NSHTTPURLResponse> response_;
    Data data_;
};
