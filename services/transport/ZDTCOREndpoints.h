#pragma once
// Upload addresses per target; built once, immutable afterwards.

#include <map>
#include <optional>

#include "platform/net/NSURL.h"
#include "services/transport/ZDTCORTargets.h"

struct ZDTCOREndpoints {
    static const std::map<ZDTCORTarget, NSURL>& uploadURLs();
    // Nothing for targets without an address (999 and unknown ones).
    static std::optional<NSURL> uploadURLForTarget(ZDTCORTarget target);
};
