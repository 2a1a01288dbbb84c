#pragma once
// Reads of the remote configuration, by key at the moment of use. A value
// of another form than the one asked for counts as missing.

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace remotevalues {

bool boolean(const std::string& key);
double number(const std::string& key);
// The text of the value, or absent.
std::optional<std::string> text(const std::string& key);
std::optional<Array> array(const std::string& key);
std::optional<Dictionary> dictionary(const std::string& key);

// Whether the array holds a string equal to text.
bool containsString(const std::optional<Array>& array, const std::string& text);

// A switch that the stored setting of the same name may replace when
// "allowedOverrides" lists the key.
bool withOverride(const std::string& key, const std::optional<bool>& storedOverride);

}  // namespace remotevalues
