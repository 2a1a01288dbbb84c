#include "services/transport/ZDTCOREndpoints.h"

namespace {
constexpr const char* kLoggingLegacyHost = "https://logging-legacy.zevera.example";
constexpr const char* kLoggingAPIHost = "https://logging.zevera.example";
constexpr const char* kCrashReportsAPIHost = "https://crashreports.zevera.example";
constexpr const char* kPlaceholderHost = "https://placeholder.zevera.example";
constexpr const char* kLegacyPath = "/v0/log/batch";
constexpr const char* kBatchLogPath = "/v1/rzrlog/legacy/batchlog";
constexpr const char* kPlaceholderPath = "/dummy/api/very/long";

NSURL url(const std::string& host, const char* path) {
    return *NSURL::URLWithString(host + path);
}
}  // namespace

const std::map<ZDTCORTarget, NSURL>& ZDTCOREndpoints::uploadURLs() {
    // Upload threads read these until the process ends: never destroyed.
    static const auto* urls = new std::map<ZDTCORTarget, NSURL>{
        {ZDTCORTargetLGS, url(kLoggingLegacyHost, kLegacyPath)},
        {ZDTCORTargetRLG, url(kLoggingAPIHost, kBatchLogPath)},
        {ZDTCORTargetCRS, url(kCrashReportsAPIHost, kBatchLogPath)},
        {ZDTCORTargetINT, url(kPlaceholderHost, kPlaceholderPath)},
    };
    return *urls;
}

std::optional<NSURL> ZDTCOREndpoints::uploadURLForTarget(ZDTCORTarget target) {
    const auto& urls = uploadURLs();
    auto it = urls.find(target);
    if (it == urls.end()) return std::nullopt;
    return it->second;
}
