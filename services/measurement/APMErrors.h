#pragma once
// The library's errors for out-parameters: domain
// "com.zevera.ruv.measurement.ErrorDomain", an optional description and an
// optional monitor context (the anonymised form kept by the monitor).

#include <string>
#include <vector>

#include "platform/foundation/Error.h"

class APMMonitorContext;

NSError apm_errorWithCode(long long code, const std::string& description);

// Stores a new error when `error` is given.
void APMSetError(NSError* error, long long code, const std::string& description);
void APMSetErrorWithMonitorContext(NSError* error, long long code, const std::string& description,
                                   const std::string& monitorContext);

// Each answers whether its test holds, filling the error when it does not.
bool APMEnsureTrue(bool condition, NSError* error, long long code, const std::string& description);
template <class T>
bool APMEnsureNotNil(const T& value, NSError* error, long long code,
                     const std::string& description) {
    return APMEnsureTrue(static_cast<bool>(value), error, code, description);
}
template <class T>
bool APMEnsureNotNull(const T& value, NSError* error, long long code,
                      const std::string& description) {
    return APMEnsureTrue(value != nullptr, error, code, description);
}
template <class T>
bool APMEnsureNonZero(const T& value, NSError* error, long long code,
                      const std::string& description) {
    return APMEnsureTrue(value != 0, error, code, description);
}

// The non-empty monitor contexts of the library's errors among the contexts,
// joined with ","; "" when there are none.
std::string APMMonitorContextsFromErrors(const std::vector<APMMonitorContext>& contexts);
