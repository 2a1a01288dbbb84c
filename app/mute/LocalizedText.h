#pragma once
// Localised texts of the main bundle and a formatter that fills in "%@"
// placeholders without ever interpreting the text as a printf format, so a
// translation, device name or remote text with a "%" in it is shown as it
// is.

#include <string>
#include <vector>

// The main bundle's Localizable text for the key, else the default.
std::string localizedText(const std::string& key, const std::string& defaultText);

// Replaces "%@" with the next argument and "%n$@" with argument n (from 1),
// and "%%" with "%". Any other "%" sequence, and a placeholder without an
// argument, stays as written.
std::string fillPlaceholders(const std::string& format, const std::vector<std::string>& arguments);
