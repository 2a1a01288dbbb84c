#pragma once
// The backend's reply to an upload, decoded with nanopb. Kept apart from the
// request side so the decoder can be fuzzed on its own.

#include <cstdint>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

struct ZDTLGSReply {
    std::optional<std::int64_t> waitBeforeNextMs;
    bool hasQosRules = false;
};
// All unset on failure, with an error in the URL error domain (code -1)
// whose user information holds "nanopb error:".
ZDTLGSReply ZDTLGSDecodeReply(const Data& body, NSError* error = nullptr);
