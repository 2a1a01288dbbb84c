#include "services/util/ZVUKeychainUtils.h"

#include "services/util/ZVUSecureCoding.h"

std::optional<Data> ZVUKeychainUtils::getItemWithQuery(const Dictionary& query,
                                                       std::optional<NSError>* error) {
    Dictionary search = query;
    search.set(kSecReturnData, true);
    search.set(kSecMatchLimit, kSecMatchLimitOne);
    Value result;
    const OSStatus status = SecItemCopyMatching(search, &result);
    if (status == errSecSuccess && result.isData()) {
        if (error) error->reset();
        return *result.asData();
    }
    if (status == errSecItemNotFound) {
        if (error) error->reset();
        return std::nullopt;
    }
    if (error) *error = keychainErrorWithFunction("SecItemCopyMatching", status);
    return std::nullopt;
}

bool ZVUKeychainUtils::setItem(const Data& item, const Dictionary& query,
                               std::optional<NSError>* error) {
    auto existing = getItemWithQuery(query, error);
    if (error && error->has_value()) return false;
    OSStatus status;
    const char* function;
    if (existing) {
        function = "SecItemUpdate";
        status = SecItemUpdate(query, {{kSecValueData, Value(item)}});
    } else {
        function = "SecItemAdd";
        Dictionary attributes = query;
        attributes.set(kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly);
        attributes.set(kSecValueData, Value(item));
        status = SecItemAdd(attributes);
    }
    if (status == errSecSuccess) return true;
    if (error) *error = keychainErrorWithFunction(function, status);
    return false;
}

bool ZVUKeychainUtils::removeItemWithQuery(const Dictionary& query, std::optional<NSError>* error) {
    const OSStatus status = SecItemDelete(query);
    if (status == errSecSuccess || status == errSecItemNotFound) {
        if (error) error->reset();
        return true;
    }
    if (error) *error = keychainErrorWithFunction("SecItemDelete", status);
    return false;
}

NSError ZVUKeychainUtils::keychainErrorWithFunction(const std::string& function, OSStatus status) {
    return NSError(ZVUKeychainErrorDomain, 0,
                   {{NSLocalizedFailureReasonErrorKey,
                     function + " (" + std::to_string(static_cast<long>(status)) + ")"}});
}
