#pragma once
// Keyed archives with secure coding required both ways; failures come back
// as errors, never as exceptions.

#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"

inline constexpr const char* ZVUSecureCodingErrorDomain = "ZVUSecureCodingError";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";

struct ZVUSecureCoding {
    static std::optional<Data> archivedDataWithRootObject(const Id& object,
                                                          NSError* error = nullptr);
    // Nil with the error set when the root is of no allowed class or the
    // data is not an archive.
    static Id unarchivedObjectOfClasses(const std::vector<std::string>& classes, const Data& data,
                                        NSError* error = nullptr);
    static Id unarchivedObjectOfClass(const std::string& objectClass, const Data& data,
                                      NSError* error = nullptr);
    static NSError archivingErrorWithException(const NSException& exception);
};
