#pragma once
// The platform's error value (domain, code, user information) and the one
// exception type for the few places where a caller raises.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// Error domain and codes used by the coders in this folder.
namespace foundation_errors {
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
// NSPropertyListReadCorruptError: unreadable JSON or property list.
inline constexpr long long kReadCorrupt = 3840;
// NSPropertyListWriteInvalidError: a value that the format cannot hold.
inline constexpr long long kWriteInvalid = 3852;
// NSCoderReadCorruptError: a keyed archive that cannot be decoded (malformed,
// unknown class, class not allowed).
inline constexpr long long kCoderReadCorrupt = 4864;
// NSCoderValueNotFoundError.
inline constexpr long long kCoderValueNotFound = 4865;
// NSCoderInvalidValueError: a value that cannot be archived (e.g. a class
// without secure coding while secure coding is required).
inline constexpr long long kCoderInvalidValue = 4866;
}  // namespace foundation_errors

struct NSError {
    std::string domain;
    long long code = 0;
    Dictionary userInfo;

    static constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
    static constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";

    NSError() = default;
    NSError(std::string domain, long long code, Dictionary userInfo = {})
        : domain(std::move(domain)), code(code), userInfo(std::move(userInfo)) {}
    static NSError withDescription(std::string domain, long long code, std::string text);

    // userInfo's NSLocalizedDescription when present, else the platform's
    // generic wording naming domain and code.
    std::string localizedDescription() const;
    std::string description() const;
    bool operator==(const NSError& other) const = default;
};

// A throw expression builds the exception where it is raised, so the
// constructor takes the call stack: callStackReturnAddresses starts at the
// return address in the code that built it, innermost first (copies keep it).
class NSException : public std::runtime_error {
  public:
    NSException(std::string name, std::string reason, Dictionary userInfo = {})
        : std::runtime_error(name + ": " + reason),
          name_(std::move(name)),
          reason_(std::move(reason)),
          userInfo_(std::move(userInfo)),
          callStackReturnAddresses_(captureCallStack()) {}
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    const Dictionary& userInfo() const { return userInfo_; }
    const std::vector<std::uintptr_t>& callStackReturnAddresses() const {
        return callStackReturnAddresses_;
    }

    static constexpr const char* NSInvalidArgumentException = "NSInvalidArgumentException";
    static constexpr const char* NSInternalInconsistencyException =
        "NSInternalInconsistencyException";
    static constexpr const char* NSInvalidUnarchiveOperationException =
        "NSInvalidUnarchiveOperationException";

  private:
    static std::vector<std::uintptr_t> captureCallStack();

    std::string name_;
    std::string reason_;
    Dictionary userInfo_;
    std::vector<std::uintptr_t> callStackReturnAddresses_;
};
