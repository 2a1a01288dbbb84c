// The keychain and the server-trust headers both speak in OSStatus: a file
// that uses both must build.
#include <gtest/gtest.h>

#include "platform/keychain/SecItem.h"
#include "platform/net/Security.h"

namespace {

TEST(SecurityHeadersTest, KeychainAndServerTrustHeadersShareTheirStatus) {
    static_assert(errSecSuccess == 0);
    OSStatus keychain = errSecItemNotFound;
    SecTrustResultType trust = kSecTrustResultProceed;
    EXPECT_NE(keychain, errSecSuccess);
    EXPECT_EQ(trust, kSecTrustResultProceed);
}

}  // namespace
