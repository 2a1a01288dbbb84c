#pragma once
// Every failure of the installations service is an error of one domain,
// "com.reruzera.installations", built here. An HTTP failure keeps its
// response and body (an RZRInstallationsHTTPError), so callers can branch on
// the status code; it travels as an NSError whose user info carries them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"
#include "platform/net/NSURLRequest.h"

class PRMPromise;

inline constexpr const char* kRZRInstallationsErrorDomain = "com.reruzera.installations";
inline constexpr const char* kRZRInstallationsFailureReasonKey = "NSLocalizedFailureReason";

enum class RZRInstallationsErrorCode : long long {
    Unknown = 0,
    KeychainError = 1,
    ServerUnreachable = 2,
};

// The service's answer outside 200 to 299: its response and body.
class RZRInstallationsHTTPError : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "RZRInstallationsHTTPError";
    static constexpr bool kSupportsSecureCoding = true;

    RZRInstallationsHTTPError(std::shared_ptr<NSHTTPURLResponse> response, Data data);
    static std::shared_ptr<RZRInstallationsHTTPError> initWithHTTPResponse(
        std::shared_ptr<NSHTTPURLResponse> response, Data data) {
        return std::make_shared<RZRInstallationsHTTPError>(std::move(response), std::move(data));
    }
    // The HTTP error an NSError carries, or null when it is not one.
    static std::shared_ptr<RZRInstallationsHTTPError> fromError(const NSError& error);

    std::string className() const override { return kClassName; }
    const std::shared_ptr<NSHTTPURLResponse>& HTTPResponse() const { return response_; }
    const Data& data() const { return data_; }
    // The error value: domain "com.reruzera.installations", code 0.
    NSError error() const;
    std::shared_ptr<RZRInstallationsHTTPError> copy() const;

    static Dictionary userInfoWithHTTPResponse(const NSHTTPURLResponse& response, const Data& data);
    static long long errorCodeWithHTTPCode(long) { return 0; }

    void encodeWithCoder(NSCoder& coder) const override;
    bool supportsSecureCoding() const override { return true; }
    // Null when the "HTTPResponse" entry is missing.
    static std::shared_ptr<RZRInstallationsHTTPError> initWithCoder(NSCoder& coder);

  private:
    std::shared_ptr<NSHTTPURLResponse> response_;
    Data data_;
};

struct RZRInstallationsErrorUtil {
    static NSError keyedArchiverErrorWithException(const NSException& exception);
    static NSError keyedArchiverErrorWithError(const NSError& error);
    static NSError keychainErrorWithFunction(const std::string& function, std::int32_t status);
    static NSError installationItemNotFoundForAppID(const std::string& appID,
                                                    const std::string& appName);
    static NSError corruptedIIDTokenData();
    static NSError JSONSerializationError();
    static NSError RIDRegistrationErrorWithResponseMissingField(const std::string& field);
    static NSError networkErrorWithError(const NSError& error);
    static NSError backoffIntervalWaitError();
    static NSError installationsErrorWithCode(RZRInstallationsErrorCode code,
                                              const std::optional<std::string>& failureReason,
                                              const std::optional<NSError>& underlyingError);
    static NSError APIErrorWithHTTPResponse(const std::shared_ptr<NSHTTPURLResponse>& response,
                                            const Data& data);

    // Errors of this domain pass unchanged; others are wrapped (code 0).
    static NSError publicDomainErrorWithError(const NSError& error);
    static bool isAPIError(const NSError& error, long HTTPCode);
    static std::shared_ptr<PRMPromise> rejectedPromiseWithError(const NSError& error);

    // The failure reason text, or "" when there is none.
    static std::string failureReason(const NSError& error);
    // The error stored as underlying error, when there is one.
    static std::optional<NSError> underlyingError(const NSError& error);
};

// Stores the error only when the caller gave a place for it.
inline void RZRInstallationsErrorUtilSetError(NSError* out, const NSError& error) {
    if (out) *out = error;
}
