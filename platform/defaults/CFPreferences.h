#pragma once
// Core Foundation preferences of an application domain, over the same
// stores as NSUserDefaults: a value set here for a domain is seen at once by
// NSUserDefaults of that domain in this process, and the other way round.
// kCFPreferencesCurrentApplication names the standard domain.
//
// Values are written to disk as they are set (as NSUserDefaults does);
// CFPreferencesAppSynchronize makes sure the file holds what the process
// holds, rewriting it when an earlier write failed, and reports whether it
// does.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

inline constexpr const char* kCFPreferencesCurrentApplication = "kCFPreferencesCurrentApplication";

// A copy of the value, or nullopt when the key is not set.
std::optional<Value> CFPreferencesCopyAppValue(const std::string& key,
                                               const std::string& applicationID);
// nullopt removes the key.
void CFPreferencesSetAppValue(const std::string& key, const std::optional<Value>& value,
                              const std::string& applicationID);
bool CFPreferencesAppSynchronize(const std::string& applicationID);
// The value as a boolean (numbers and "YES"/"NO"/"true"/"false" strings).
bool CFPreferencesGetAppBooleanValue(const std::string& key, const std::string& applicationID,
                                     bool* keyExistsAndHasValidFormat = nullptr);
std::int64_t CFPreferencesGetAppIntegerValue(const std::string& key,
                                             const std::string& applicationID,
                                             bool* keyExistsAndHasValidFormat = nullptr);
std::vector<std::string> CFPreferencesCopyKeyList(const std::string& applicationID);
