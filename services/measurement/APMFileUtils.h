#pragma once
// Where the measurement library keeps its files (a directory of its own
// under Application Support) and moving a settings suite between user
// defaults and that directory. No function throws: failures are the results,
// and missing standard directories are logged to the measurement monitor.

#include <string>

#include "platform/foundation/Error.h"

// <Application Support>/Zevera/Measurement/<name>; "" for an empty name.
std::string APMMeasurementDirectoryPath(const std::string& fileName);
// As above with ".plist" added unless the name already ends in it.
std::string APMMeasurementPlistPath(const std::string& suiteName);
// <Library>/Preferences/<name>.plist; "" for an empty name.
std::string APMPreferencesPlistPath(const std::string& suiteName);

// Removes the file or directory; false with an error on failure.
bool APMRemoveFileAtPath(const std::string& path, NSError* error = nullptr);
// Marks the file as one a backup should skip (an extended attribute).
bool APMSetExcludedFromBackup(const std::string& path, NSError* error = nullptr);
// Whether the file carries the mark above.
bool APMIsExcludedFromBackup(const std::string& path);
// Moves a file; true when done or when the source does not exist. An
// existing destination file is replaced only with `replace`; without it the
// source is dropped and the destination kept.
bool APMMoveFile(const std::string& source, const std::string& destination, bool replace);

// Moves the suite's preferences file into the measurement directory (never
// replacing) and then drops the suite's persistent domain.
bool APMRemoveUserDefaultsSuite(const std::string& suiteName);
// Moves the suite back into user defaults, replacing its preferences file.
bool APMRestoreUserDefaultsSuite(const std::string& suiteName);
