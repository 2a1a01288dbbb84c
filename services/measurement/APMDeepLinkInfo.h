#pragma once
// The answer of the ad service's deferred-deep-link endpoint: a JSON object
// with "deeplink" (an absolute URL) and optionally "zclid", "zbraid" and
// "timestamp". Outside data: every input gives a defined result. Pure;
// any thread.

#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

enum class APMDeepLinkInfoFailure {
    None,
    EmptyData,    // no bytes at all
    NotJSON,      // the bytes do not parse as JSON (the error says why)
    NoUsableLink  // not a non-empty object whose "deeplink" is an absolute URL
};

// The answer's object, or nullopt with the reason in `failure` (and, for
// text that is not JSON, the parser's error in `error`).
std::optional<Dictionary> APMDeepLinkInfoFromData(const Data& data,
                                                  APMDeepLinkInfoFailure* failure = nullptr,
                                                  NSError* error = nullptr);
