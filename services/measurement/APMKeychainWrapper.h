#pragma once
// Short strings kept as generic-password keychain items, one per
// (identifier, application identifier) pair, readable on this device only.
// Stateless apart from a one-time migration hook; safe on any thread.

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The accessibility class of the items: always readable, never migrated to
// another device.
inline constexpr const char* kAPMKeychainAccessibleAlwaysThisDeviceOnly = "dku";

struct APMKeychainWrapper {
    // The item query; nullopt when either argument is empty.
    static std::optional<Dictionary> searchDirectoryForIdentifier(const std::string& identifier,
                                                                  const std::string& appID);
    static std::optional<Data> keychainDataWithIdentifier(const std::string& identifier,
                                                          const std::string& appID);
    // The stored text; nullopt when missing or empty.
    static std::optional<std::string> keychainValueWithIdentifier(const std::string& identifier,
                                                                  const std::string& appID);
    // Updates the item when it holds a value, else adds it; NO for an empty
    // value.
    static bool upsertKeychainValue(const std::string& value, const std::string& identifier,
                                    const std::string& appID);
    static void deleteKeychainValueWithIdentifier(const std::string& identifier,
                                                  const std::string& appID);
    // YES when the item exists with an account or generic attribute that is
    // not text.
    static bool isMigrationNeededForIdentifier(const std::string& identifier,
                                               const std::string& appID);
    // Kept as a hook for older item shapes; nothing to do on this platform.
    static void migrateKeychainDataToStringWithIdentifier(const std::string& identifier,
                                                          const std::string& appID);
};
