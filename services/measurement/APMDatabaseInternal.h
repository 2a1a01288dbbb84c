#pragma once
// Helpers the database's operation files share; not part of its interface.

#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "services/measurement/APMValue.h"

// Sets the error (when asked for) to one of the library's domain.
void APMDatabaseFail(NSError* error, long long code, const std::string& description);
// Strings as text, doubles as REAL, everything else as a 64-bit integer.
Value APMDatabaseStoredValue(const APMValue& value);
