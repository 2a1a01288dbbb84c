#pragma once
// The names of event files and batch directories: building blocks and
// parsers, with no side effects, so they can be fuzzed on their own.

#include <cstdint>
#include <optional>
#include <string>

#include "services/transport/ZDTCORTargets.h"

struct ZDTCOREventFileComponents {
    std::string eventID;
    ZDTCOREventQoS qosTier = 0;
    std::int64_t expiration = 0;  // seconds since 1970
    std::string mappingID;        // still percent-encoded
};
struct ZDTCORBatchDirComponents {
    std::int64_t target = 0;
    std::int64_t batchID = 0;
    double expiration = 0;
};

// EVENTID-TIER-EXPIRATION-MAPPINGID; the mapping ID may hold "-".
std::optional<ZDTCOREventFileComponents> ZDTCORParseEventFileName(const std::string& name);
// TARGET-BATCHID-EXPIRATION, exactly three parts.
std::optional<ZDTCORBatchDirComponents> ZDTCORParseBatchDirName(const std::string& name);
// Letters, digits and "-" stay; every other byte becomes %XX.
std::string ZDTCORPercentEncodeMappingID(const std::string& mappingID);
std::string ZDTCORPercentDecode(const std::string& text);
