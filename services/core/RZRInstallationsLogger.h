#pragma once
// The installations service's log tag, and the redaction of secrets from
// what its debug lines show: API keys, refresh and auth tokens never reach
// the log.

#include <string>

#include "platform/foundation/Value.h"
#include "platform/net/NSURLRequest.h"

inline constexpr const char* kRZRLoggerInstallations = "[Reruzera/Installations]";

// The header fields with the values of secret-bearing fields replaced.
std::string RZRInstallationsRedactedHeaders(const NSHTTPHeaders& headers);
// A JSON body with the values of secret-bearing keys replaced (at any
// depth); a body that is not JSON is shown by its size only.
std::string RZRInstallationsRedactedBody(const Data& body);
