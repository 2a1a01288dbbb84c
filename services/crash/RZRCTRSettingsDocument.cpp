#include "services/crash/RZRCTRSettingsDocument.h"

#include <cmath>
#include <limits>

namespace {

constexpr const char* kSessionIntegerKeys[] = {"log_buffer_size", "max_custom_exception_events",
                                               "max_custom_key_value_pairs"};
constexpr const char* kFeatureFlagKeys[] = {"collect_logged_exceptions", "collect_reports",
                                            "collect_metric_kit"};
constexpr const char* kSectionKeys[] = {"app", "session", "features", "tracekit"};

}  // namespace

std::optional<std::uint32_t> RZRCTRSettingsUInt32(const Value& value) {
    if (!value.isNumber()) return std::nullopt;
    auto number = value.asDouble();
    if (!number || !std::isfinite(*number) || *number < 0 ||
        *number > std::numeric_limits<std::uint32_t>::max() ||
        *number != static_cast<double>(static_cast<std::uint64_t>(*number)))
        return std::nullopt;
    return static_cast<std::uint32_t>(*number);
}

bool RZRCTRSettingsIsFlag(const Value& value) {
    return value.isBool() || (value.isNumber() && value.asDouble().has_value());
}

bool RZRCTRIsValidSettingsDocument(const Value& document) {
    const Dictionary* top = document.asDictionary();
    if (!top) return false;
    if (const Value* duration = top->find("cache_duration");
        duration && !RZRCTRSettingsUInt32(*duration))
        return false;
    for (const char* name : kSectionKeys) {
        const Value* section = top->find(name);
        if (section && !section->isDictionary()) return false;
    }
    if (const Dictionary* session = (*top)["session"].asDictionary()) {
        for (const char* key : kSessionIntegerKeys) {
            const Value* value = session->find(key);
            if (value && !RZRCTRSettingsUInt32(*value)) return false;
        }
    }
    if (const Dictionary* features = (*top)["features"].asDictionary()) {
        for (const char* key : kFeatureFlagKeys) {
            const Value* value = features->find(key);
            if (value && !RZRCTRSettingsIsFlag(*value)) return false;
        }
    }
    return true;
}
