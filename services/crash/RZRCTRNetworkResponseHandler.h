#pragma once
// Classification of finished URL tasks for the crash reporter's requests:
// whether an attempt failed, whether it may be retried, and the error the
// caller finally sees. Stateless; every member is static.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/net/NSURLRequest.h"

inline constexpr const char* kRZRCTRNetworkErrorDomain = "RZRCTRNetworkError";

// Error codes of kRZRCTRNetworkErrorDomain.
enum RZRCTRNetworkErrorCode : long long {
    RZRCTRNetworkErrorRetryable = -1,
    RZRCTRNetworkErrorTaskNotCreated = -3,
    RZRCTRNetworkErrorUnexpectedResponse = -4,
    RZRCTRNetworkErrorClientError = -5,
    RZRCTRNetworkErrorRetryLimitReached = -6,
};

enum class RZRCTRNetworkClientResponseType : long {
    Success = 0,
    Unexpected = 1,
    ClientError = 2,
    ServerError = 3,
    Throttled = 4,
};

// The platform's user-info key for why a background task was cancelled.
inline constexpr const char* NSURLErrorBackgroundTaskCancelledReasonKey =
    "NSURLErrorBackgroundTaskCancelledReasonKey";

class RZRCTRNetworkResponseHandler {
  public:
    using ResponsePtr = std::shared_ptr<NSURLResponse>;

    // The header of an HTTP response; nullopt for any other response.
    static std::optional<std::string> headerForResponse(const ResponsePtr& response,
                                                        const std::string& key);
    // Retry-After in seconds; 2.0 when absent, negative or not a number.
    static double retryValueForResponse(const ResponsePtr& response);
    static std::optional<std::string> requestIdForResponse(const ResponsePtr& response);
    // Whether the response's media type (and charset, when both sides name
    // one) is what the request's Accept and Accept-Charset ask for. Parameters
    // may be spelled with or without blanks, in any order and quoted.
    static bool contentTypeForResponse(const ResponsePtr& response, const NSURLRequest& request);
    static long cancelReasonFromURLError(const NSError& error);
    static bool retryableURLError(const NSError& error);
    static NSError errorForCode(long long code, Dictionary userInfo);
    // nullopt for a success.
    static std::optional<NSError> errorForResponse(const ResponsePtr& response,
                                                   RZRCTRNetworkClientResponseType type,
                                                   long status);
    static void clientResponseType(
        const ResponsePtr& response,
        const std::function<void(RZRCTRNetworkClientResponseType type, long status)>& handler);
    // Calls block(retry, error) at once, on the calling thread.
    static void handleCompletedResponse(
        const ResponsePtr& response, const NSURLRequest& originalRequest,
        const std::optional<NSError>& error,
        const std::function<void(bool retry, std::optional<NSError> error)>& block);
};
