#include "services/measurement/APMKeychainWrapper.h"

#include <mutex>

#include "platform/keychain/SecItem.h"

std::optional<Dictionary> APMKeychainWrapper::searchDirectoryForIdentifier(
    const std::string& identifier, const std::string& appID) {
    if (identifier.empty() || appID.empty()) return std::nullopt;
    return Dictionary{{kSecClass, kSecClassGenericPassword},
                      {kSecAttrService, appID},
                      {kSecAttrGeneric, identifier},
                      {kSecAttrAccount, identifier}};
}

std::optional<Data> APMKeychainWrapper::keychainDataWithIdentifier(const std::string& identifier,
                                                                   const std::string& appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return std::nullopt;
    query->set(kSecMatchLimit, kSecMatchLimitOne);
    query->set(kSecReturnData, true);
    Value result;
    if (SecItemCopyMatching(*query, &result) != errSecSuccess || !result.isData()) {
        return std::nullopt;
    }
    return *result.asData();
}

std::optional<std::string> APMKeychainWrapper::keychainValueWithIdentifier(
    const std::string& identifier, const std::string& appID) {
    static std::once_flag migrated;
    std::call_once(migrated, [&] { migrateKeychainDataToStringWithIdentifier(identifier, appID); });
    auto data = keychainDataWithIdentifier(identifier, appID);
    if (!data || data->empty()) return std::nullopt;
    return std::string(data->begin(), data->end());
}

bool APMKeychainWrapper::upsertKeychainValue(const std::string& value,
                                             const std::string& identifier,
                                             const std::string& appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (value.empty() || !query) return false;
    Data bytes(value.begin(), value.end());
    if (keychainValueWithIdentifier(identifier, appID)) {
        return SecItemUpdate(*query, Dictionary{{kSecValueData, Value(bytes)},
                                                {kSecAttrAccessible,
                                                 kAPMKeychainAccessibleAlwaysThisDeviceOnly}}) ==
               errSecSuccess;
    }
    query->set(kSecValueData, Value(bytes));
    query->set(kSecAttrAccessible, kAPMKeychainAccessibleAlwaysThisDeviceOnly);
    return SecItemAdd(*query) == errSecSuccess;
}

void APMKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                           const std::string& appID) {
    if (auto query = searchDirectoryForIdentifier(identifier, appID)) SecItemDelete(*query);
}

bool APMKeychainWrapper::isMigrationNeededForIdentifier(const std::string& identifier,
                                                        const std::string& appID) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return false;
    query->set(kSecMatchLimit, kSecMatchLimitOne);
    query->set(kSecReturnData, true);
    query->set(kSecReturnAttributes, true);
    Value result;
    if (SecItemCopyMatching(*query, &result) != errSecSuccess || !result.isDictionary()) {
        return false;
    }
    const Dictionary& attributes = *result.asDictionary();
    return !attributes[kSecAttrAccount].isString() || !attributes[kSecAttrGeneric].isString();
}

void APMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(const std::string&,
                                                                   const std::string&) {}
