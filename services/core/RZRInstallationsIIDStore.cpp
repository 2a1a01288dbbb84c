#include "services/core/RZRInstallationsIIDStore.h"

#include <openssl/evp.h>

#include <filesystem>
#include <mutex>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "services/core/RZRInstallationsErrorUtil.h"
#include "services/util/ZVUBase64.h"
#include "services/util/ZVUKeychainUtils.h"

namespace {

std::shared_ptr<DispatchQueue> utilityQueue() {
    return DispatchQueue::global(DispatchQoS::Utility);
}

NSError validationFailure() {
    return NSError(PRMPromiseErrorDomain,
                   static_cast<long long>(PRMPromiseErrorCode::ValidationFailure));
}

}  // namespace

// ---- RZRInstallationsIIDStore ----------------------------------------------

std::shared_ptr<PRMPromise> RZRInstallationsIIDStore::existingIID() {
    auto self = std::static_pointer_cast<RZRInstallationsIIDStore>(shared_from_this());
    return PRMPromise::doOn(utilityQueue(), [self]() -> PRMValue {
        if (!hasPlistIIDFlag()) return validationFailure();
        auto keyData = self->IIDPublicKeyData();
        // Without the key there is no identifier to carry over: the digest of
        // empty input would give every such device the same one.
        if (!keyData || keyData->empty()) return validationFailure();
        std::string iid = IIDWithPublicKeyData(*keyData);
        if (iid.empty()) return validationFailure();
        return iid;
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsIIDStore::deleteExistingIID() {
    auto self = std::static_pointer_cast<RZRInstallationsIIDStore>(shared_from_this());
    return PRMPromise::doOn(utilityQueue(), [self]() -> PRMValue {
        NSError error;
        if (!self->deleteIID(&error)) return error;
        return PRMValue::null();
    });
}

std::optional<Data> RZRInstallationsIIDStore::IIDPublicKeyData() const {
    Dictionary query = keyPairQueryWithTag(keychainKeyTagWithPrefix(kPublicKeyTagPrefix), true);
    Value result;
    if (SecItemCopyMatching(query, &result) != errSecSuccess) return std::nullopt;
    if (const Data* d = result.asData()) return *d;
    return std::nullopt;
}

Data RZRInstallationsIIDStore::sha1WithData(const Data& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    static const unsigned char kEmpty = 0;
    EVP_Digest(data.empty() ? &kEmpty : data.data(), data.size(), digest, &size, EVP_sha1(),
               nullptr);
    return Data(digest, digest + size);
}

std::string RZRInstallationsIIDStore::base64URLEncodedStringWithData(const Data& data) {
    return ZVUBase64URLEncode(data, false);
}

std::string RZRInstallationsIIDStore::IIDWithPublicKeyData(const Data& publicKeyData) {
    Data digest = sha1WithData(publicKeyData);
    if (digest.size() < 8) return "";
    digest[0] = static_cast<std::uint8_t>((digest[0] & 0x0F) | 0x70);
    return base64URLEncodedStringWithData(Data(digest.begin(), digest.begin() + 8));
}

bool RZRInstallationsIIDStore::deleteIID(NSError* error) const {
    if (!deleteIIDFlagFromPlist(error)) return false;
    if (!deleteKeychainKeyWithTagPrefix(kPublicKeyTagPrefix, error)) return false;
    return deleteKeychainKeyWithTagPrefix(kPrivateKeyTagPrefix, error);
}

bool RZRInstallationsIIDStore::deleteKeychainKeyWithTagPrefix(const std::string& prefix,
                                                              NSError* error) const {
    OSStatus status = SecItemDelete(keyPairQueryWithTag(keychainKeyTagWithPrefix(prefix), false));
    if (status == errSecSuccess || status == errSecItemNotFound) return true;
    RZRInstallationsErrorUtilSetError(
        error, RZRInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", status));
    return false;
}

Dictionary RZRInstallationsIIDStore::keyPairQueryWithTag(const std::optional<Data>& tag,
                                                         bool returnData) const {
    Dictionary query;
    query.set(kSecClass, Value(kSecClassKey));
    query.set(kSecAttrKeyType, Value(kSecAttrKeyTypeRSA));
    if (tag) query.set(kSecAttrApplicationTag, Value(*tag));
    if (keychainRef) query.set(kSecMatchSearchList, Value(Array{Value(*keychainRef)}));
    if (returnData) query.set(kSecReturnData, Value(true));
    return query;
}

std::optional<Data> RZRInstallationsIIDStore::keychainKeyTagWithPrefix(const std::string& prefix) {
    auto bundleID = mainbundleIdentifier();
    if (!bundleID) return std::nullopt;
    std::string tag = prefix + *bundleID;
    return Data(tag.begin(), tag.end());
}

std::optional<std::string> RZRInstallationsIIDStore::mainbundleIdentifier() {
    std::string identifier = NSBundle::mainBundle()->bundleIdentifier();
    if (identifier.empty()) return std::nullopt;
    return identifier;
}

std::string RZRInstallationsIIDStore::plistPath() {
    return (std::filesystem::path(sim::applicationSupportPath()) / "Zevera" / "ReruzeraInstanceID" /
            "com.zevera.iid-keypair.plist")
        .string();
}

bool RZRInstallationsIIDStore::hasPlistIIDFlag() {
    auto data = sim::FileSystem::readFile(plistPath());
    if (!data) return false;
    auto plist = PropertyListSerialization::propertyListWithData(*data);
    return plist && plist->isDictionary() && plist->asDictionary()->contains(kPlistFlagKey);
}

bool RZRInstallationsIIDStore::deleteIIDFlagFromPlist(NSError* error) {
    const std::string path = plistPath();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return true;
    int code = 0;
    auto data = sim::FileSystem::readFile(path, &code);
    Dictionary dict;
    if (data) {
        auto plist = PropertyListSerialization::propertyListWithData(*data);
        if (plist && plist->isDictionary()) dict = *plist->asDictionary();
    }
    dict.remove(kPlistFlagKey);
    auto out =
        PropertyListSerialization::dataWithPropertyList(Value(dict), PropertyListFormat::XML);
    if (!out || !sim::FileSystem::writeFileAtomically(path, *out, &code)) {
        RZRInstallationsErrorUtilSetError(
            error, NSError::withDescription("NSCocoaErrorDomain", 512,
                                            "The file could not be saved: " + path));
        return false;
    }
    return true;
}

// ---- RZRInstallationsIIDTokenInfo ------------------------------------------

std::shared_ptr<RZRInstallationsIIDTokenInfo> RZRInstallationsIIDTokenInfo::initWithCoder(
    NSCoder& coder) {
    auto info = std::make_shared<RZRInstallationsIIDTokenInfo>();
    Id token = coder.decodeObjectOfClass("NSString", "token");
    if (token.value()) info->token = token.value()->asString();
    return info;
}

// ---- RZRInstallationsIIDTokenStore -----------------------------------------

RZRInstallationsIIDTokenStore::RZRInstallationsIIDTokenStore(std::optional<std::string> senderID)
    : senderID_(std::move(senderID)) {
    static std::once_flag once;
    std::call_once(once, [] {
        // The archives name the older client's class; it decodes as ours.
        NSCodingRegistry::registerClass(
            RZRInstallationsIIDTokenInfo::kArchivedClassName,
            [](NSCoder& coder) -> std::shared_ptr<NSObject> {
                return RZRInstallationsIIDTokenInfo::initWithCoder(coder);
            },
            true);
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsIIDTokenStore::existingIIDDefaultToken() {
    return IIDDefaultTokenData()->then([](PRMValue value) -> PRMValue {
        const Value* v = value.value();
        const Data* data = v ? v->asData() : nullptr;
        if (!data) return RZRInstallationsErrorUtil::corruptedIIDTokenData();
        NSError error;
        auto token = IIDCheckinWithData(*data, &error);
        if (!token) return error;
        return *token;
    });
}

std::shared_ptr<PRMPromise> RZRInstallationsIIDTokenStore::IIDDefaultTokenData() {
    Dictionary query = IIDDefaultTokenDataKeychainQuery();
    return PRMPromise::doOn(utilityQueue(), [query]() -> PRMValue {
        std::optional<NSError> error;
        auto data = ZVUKeychainUtils::getItemWithQuery(query, &error);
        if (!data) {
            if (error) return *error;
            return RZRInstallationsErrorUtil::corruptedIIDTokenData();
        }
        return *data;
    });
}

std::optional<std::string> RZRInstallationsIIDTokenStore::IIDCheckinWithData(const Data& data,
                                                                             NSError* error) {
    NSError unarchiveError;
    Id root = NSKeyedUnarchiver::unarchivedObjectOfClass(
        RZRInstallationsIIDTokenInfo::kArchivedClassName, data, &unarchiveError);
    auto info = root.as<RZRInstallationsIIDTokenInfo>();
    if (!info) {
        RZRInstallationsErrorUtilSetError(error,
                                          root.isNil() && !unarchiveError.domain.empty()
                                              ? unarchiveError
                                              : RZRInstallationsErrorUtil::corruptedIIDTokenData());
        return std::nullopt;
    }
    if (!info->token || info->token->empty()) {
        RZRInstallationsErrorUtilSetError(error,
                                          RZRInstallationsErrorUtil::corruptedIIDTokenData());
        return std::nullopt;
    }
    return info->token;
}

Dictionary RZRInstallationsIIDTokenStore::IIDDefaultTokenDataKeychainQuery() const {
    Dictionary query;
    query.set(kSecClass, Value(kSecClassGenericPassword));
    query.set(kSecAttrGeneric, Value(kGenericAttribute));
    std::string account = IIDAppIdentifier();
    if (!account.empty()) query.set(kSecAttrAccount, Value(account));
    query.set(kSecAttrService,
              Value(serviceKeyForAuthorizedEntity(senderID_.value_or("(null)"), "*")));
    return query;
}

std::string RZRInstallationsIIDTokenStore::IIDAppIdentifier() {
    return NSBundle::mainBundle()->bundleIdentifier();
}

std::string RZRInstallationsIIDTokenStore::serviceKeyForAuthorizedEntity(const std::string& entity,
                                                                         const std::string& scope) {
    return entity + ":" + scope;
}
