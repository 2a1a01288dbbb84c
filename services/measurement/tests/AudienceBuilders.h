#pragma once
// Builders for audience definitions and filter messages in the audience
// tests, and a look at the monitor's lines.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMPBMessage.h"

namespace audience_test {

inline std::shared_ptr<APMPBNumberFilter> numberFilter(std::optional<int> type,
                                                       std::optional<std::string> value,
                                                       std::optional<std::string> min = {},
                                                       std::optional<std::string> max = {},
                                                       bool matchAsFloat = false) {
    auto filter = APMPBNumberFilter::make();
    if (type) APMPBSetInt32(filter.get(), 0, *type);
    if (matchAsFloat) APMPBSetBool(filter.get(), 1, true);
    if (value) APMPBSetString(filter.get(), 2, Value(*value));
    if (min) APMPBSetString(filter.get(), 3, Value(*min));
    if (max) APMPBSetString(filter.get(), 4, Value(*max));
    return filter;
}

inline std::shared_ptr<APMPBStringFilter> stringFilter(std::optional<int> type,
                                                       std::optional<std::string> expression,
                                                       bool caseSensitive = false,
                                                       const std::vector<std::string>& list = {}) {
    auto filter = APMPBStringFilter::make();
    if (type) APMPBSetInt32(filter.get(), 0, *type);
    if (expression) APMPBSetString(filter.get(), 1, Value(*expression));
    if (caseSensitive) APMPBSetBool(filter.get(), 2, true);
    std::vector<APMPBObject> entries;
    for (const auto& entry : list) entries.emplace_back(Value(entry));
    APMPBSetArray(filter.get(), 3, entries);
    return filter;
}

// A filter over a number or a string comparison (or neither).
inline std::shared_ptr<APMPBFilter> filter(std::shared_ptr<APMPBNumberFilter> number,
                                           std::shared_ptr<APMPBStringFilter> string = nullptr,
                                           std::optional<std::string> parameterName = {},
                                           bool complement = false) {
    auto f = APMPBFilter::make();
    if (string) APMPBSetMessage(f.get(), 0, string.get());
    if (number) APMPBSetMessage(f.get(), 1, number.get());
    if (complement) APMPBSetBool(f.get(), 2, true);
    if (parameterName) APMPBSetString(f.get(), 3, Value(*parameterName));
    return f;
}

struct Switches {
    bool dynamic = false;
    bool sequence = false;
    bool sessionScoped = false;
};

inline std::shared_ptr<APMPBEventFilter> eventFilter(
    std::optional<int> id, std::optional<std::string> name,
    const std::vector<std::shared_ptr<APMPBFilter>>& parameters = {},
    std::shared_ptr<APMPBNumberFilter> count = nullptr, Switches switches = {}) {
    auto f = APMPBEventFilter::make();
    if (id) APMPBSetInt32(f.get(), 0, *id);
    if (name) APMPBSetString(f.get(), 1, Value(*name));
    std::vector<APMPBObject> list(parameters.begin(), parameters.end());
    APMPBSetArray(f.get(), 2, list);
    if (count) APMPBSetMessage(f.get(), 4, count.get());
    if (switches.dynamic) APMPBSetBool(f.get(), 5, true);
    if (switches.sequence) APMPBSetBool(f.get(), 6, true);
    if (switches.sessionScoped) APMPBSetBool(f.get(), 7, true);
    return f;
}

inline std::shared_ptr<APMPBPropertyFilter> propertyFilter(std::optional<int> id,
                                                           std::optional<std::string> name,
                                                           std::shared_ptr<APMPBFilter> inner,
                                                           Switches switches = {}) {
    auto f = APMPBPropertyFilter::make();
    if (id) APMPBSetInt32(f.get(), 0, *id);
    if (name) APMPBSetString(f.get(), 1, Value(*name));
    if (inner) APMPBSetMessage(f.get(), 2, inner.get());
    if (switches.dynamic) APMPBSetBool(f.get(), 3, true);
    if (switches.sequence) APMPBSetBool(f.get(), 4, true);
    if (switches.sessionScoped) APMPBSetBool(f.get(), 5, true);
    return f;
}

inline std::shared_ptr<APMPBAudience> audience(
    std::optional<int> id, const std::vector<std::shared_ptr<APMPBEventFilter>>& events,
    const std::vector<std::shared_ptr<APMPBPropertyFilter>>& properties = {}) {
    auto a = APMPBAudience::make();
    if (id) APMPBSetInt32(a.get(), 0, *id);
    std::vector<APMPBObject> p(properties.begin(), properties.end());
    APMPBSetArray(a.get(), 1, p);
    std::vector<APMPBObject> e(events.begin(), events.end());
    APMPBSetArray(a.get(), 2, e);
    return a;
}

inline bool logged(long long code) {
    for (const auto& line : APMMeasurement::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}

}  // namespace audience_test
