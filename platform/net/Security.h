#pragma once
// Server trust as URL loading presents it: the trust object of a TLS peer,
// its evaluation, credentials and authentication challenges. Evaluation on
// this platform answers what the control surface injects (trusted by
// default); libcurl still verifies real TLS peers itself.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/MacTypes.h"  // OSStatus, errSecSuccess
#include "platform/foundation/Object.h"

enum SecTrustResultType : std::uint32_t {
    kSecTrustResultInvalid = 0,
    kSecTrustResultProceed = 1,
    kSecTrustResultDeny = 3,
    kSecTrustResultUnspecified = 4,
    kSecTrustResultRecoverableTrustFailure = 5,
    kSecTrustResultFatalTrustFailure = 6,
    kSecTrustResultOtherError = 7,
};

struct __SecTrust {
    std::string host;
};
using SecTrustRef = std::shared_ptr<__SecTrust>;

OSStatus SecTrustEvaluate(const SecTrustRef& trust, SecTrustResultType* result);

class NSURLCredential : public NSObject {
  public:
    // Null for a null trust.
    static std::shared_ptr<NSURLCredential> credentialForTrust(const SecTrustRef& trust);
    std::string className() const override { return "NSURLCredential"; }
    const SecTrustRef& trust() const { return trust_; }
    explicit NSURLCredential(SecTrustRef trust) : trust_(std::move(trust)) {}

  private:
    SecTrustRef trust_;
};

inline constexpr const char* NSURLAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";
inline constexpr const char* NSURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* NSURLAuthenticationMethodHTTPBasic =
    "NSURLAuthenticationMethodHTTPBasic";

struct NSURLProtectionSpace {
    std::string host;
    int port = 0;
    std::string protocol;
    std::string authenticationMethod = NSURLAuthenticationMethodServerTrust;
    SecTrustRef serverTrust;  // only for server-trust challenges
};

struct NSURLAuthenticationChallenge {
    NSURLProtectionSpace protectionSpace;
    long previousFailureCount = 0;
};

enum class NSURLSessionAuthChallengeDisposition : long {
    UseCredential = 0,
    PerformDefaultHandling = 1,
    CancelAuthenticationChallenge = 2,
    RejectProtectionSpace = 3,
};

namespace sim {
// What SecTrustEvaluate answers from now on (status first; the result is
// written only when the status is errSecSuccess).
void setServerTrustResult(SecTrustResultType result, OSStatus evaluateStatus = errSecSuccess);
// Back to trusted (kSecTrustResultUnspecified, errSecSuccess).
void resetServerTrust();
}  // namespace sim
