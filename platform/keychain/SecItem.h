#pragma once
// Keychain services stand-in: generic-password and key items, kept in the property
// list <home>/Library/Keychains/login.plist (mode 0600, rewritten atomically
// on every change). A query or attribute dictionary is a Dictionary keyed by
// the kSec... constants below; a keychain other than the login one is named
// by a SecKeychainRef and lives in <home>/Library/Keychains/<name>.plist.
//
// Matching: class, service, account and access group (and, for key items,
// application tag, key type and key class) match when the query names them;
// a query without a group matches items of every group. An item's identity
// (for errSecDuplicateItem) is made of those same attributes. Every call reads the file afresh, so another process's
// writes are seen; calls are serialised within the process. A file that
// cannot be read or decoded fails the call with errSecIO / errSecDecode and
// is never overwritten.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/MacTypes.h"  // OSStatus, errSecSuccess
#include "platform/foundation/Value.h"

// A specific keychain, by name ("login" is the default one).
using SecKeychainRef = std::string;

inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecNoSuchKeychain = -25294;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecMissingEntitlement = -34018;

inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecClassKey = "keys";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrAccessGroup = "agrp";
inline constexpr const char* kSecAttrLabel = "labl";
inline constexpr const char* kSecAttrGeneric = "gena";
// Key items: matched by application tag, key type and key class.
inline constexpr const char* kSecAttrApplicationTag = "atag";
inline constexpr const char* kSecAttrKeyType = "type";
inline constexpr const char* kSecAttrKeyTypeRSA = "42";
inline constexpr const char* kSecAttrKeyClass = "kcls";
inline constexpr const char* kSecAttrKeyClassPublic = "0";
inline constexpr const char* kSecAttrKeyClassPrivate = "1";
inline constexpr const char* kSecAttrCreationDate = "cdat";
inline constexpr const char* kSecAttrModificationDate = "mdat";
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "ak";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";
inline constexpr const char* kSecUseKeychain = "u_Keychain";
inline constexpr const char* kSecMatchSearchList = "m_SearchList";

// Adds an item (the attributes plus kSecValueData). Accessibility defaults to
// kSecAttrAccessibleWhenUnlocked. result, when given and kSecReturnData is
// set, receives the data.
OSStatus SecItemAdd(const Dictionary& attributes, Value* result = nullptr);
// With kSecReturnData: the data (match limit one) or an array of data (all);
// with kSecReturnAttributes: the attribute dictionary (data included when
// both are asked) or an array of them. errSecItemNotFound when none matches.
OSStatus SecItemCopyMatching(const Dictionary& query, Value* result);
// Updates every matching item with the attributes (data and other
// attributes; an identity change that collides gives errSecDuplicateItem).
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
// Deletes every matching item; errSecItemNotFound when none matches.
OSStatus SecItemDelete(const Dictionary& query);

namespace sim {

struct Keychain {
    enum class Operation { Add, CopyMatching, Update, Delete };
    // The next call of that operation returns the status without touching
    // the store.
    static void failNext(Operation operation, OSStatus status);
    // The next call of that operation waits, before anything else (an
    // injected failure included), until release(); waitUntilHeld() returns
    // true once such a call is waiting (false after the time-out). Lets a
    // test act while a keychain call is under way.
    static void holdNext(Operation operation);
    static bool waitUntilHeld(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    static void release();
    // Also releases a held call.
    static void clearFailures();
    // The path of a keychain's file under the current home.
    static std::string filePath(const SecKeychainRef& keychain = "login");
    // Number of items in a keychain (-1 when its file cannot be read).
    static long itemCount(const SecKeychainRef& keychain = "login");
};

}  // namespace sim
