#include "platform/net/Security.h"

#include <atomic>

namespace {
std::atomic<SecTrustResultType> injectedResult{kSecTrustResultUnspecified};
std::atomic<OSStatus> injectedStatus{errSecSuccess};
}  // namespace

OSStatus SecTrustEvaluate(const SecTrustRef& trust, SecTrustResultType* result) {
    if (!trust) return -50;  // errSecParam
    OSStatus status = injectedStatus.load();
    if (status == errSecSuccess && result) *result = injectedResult.load();
    return status;
}

std::shared_ptr<NSURLCredential> NSURLCredential::credentialForTrust(const SecTrustRef& trust) {
    if (!trust) return nullptr;
    return std::make_shared<NSURLCredential>(trust);
}

namespace sim {
void setServerTrustResult(SecTrustResultType result, OSStatus evaluateStatus) {
    injectedResult = result;
    injectedStatus = evaluateStatus;
}
void resetServerTrust() {
    setServerTrustResult(kSecTrustResultUnspecified, errSecSuccess);
}
}  // namespace sim
