#pragma once
// Synchronous generic-password calls with the storage's error rules.

#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/keychain/SecItem.h"

inline constexpr const char* ZVUKeychainErrorDomain = "com.zvu.keychain.ErrorDomain";

struct ZVUKeychainUtils {
    // The item's data; nullopt with the error cleared when there is no item,
    // nullopt with the error set on any other failure.
    static std::optional<Data> getItemWithQuery(const Dictionary& query,
                                                std::optional<NSError>* error = nullptr);
    // Updates the item's data when it exists (its accessibility stays),
    // else adds it accessible after first unlock on this device only.
    static bool setItem(const Data& item, const Dictionary& query,
                        std::optional<NSError>* error = nullptr);
    // A missing item counts as removed.
    static bool removeItemWithQuery(const Dictionary& query,
                                    std::optional<NSError>* error = nullptr);
    // Code 0, failure reason "<function> (<status>)".
    static NSError keychainErrorWithFunction(const std::string& function, OSStatus status);
};
