#include "services/measurement/APMLogNames.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/runtime/Runtime.h"
#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMFilterEvaluation.h"
#include "services/measurement/APMInfoPlistFileUtil.h"
#include "services/measurement/APMMeasurement.h"

namespace {

bool renderingEnabled() {
    return APMMeasurement::monitor().isDebugModeEnabled() &&
           NSClassFromString("ZAROduzozova") != nullptr;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::string APMRenderName(const Value& name, const std::map<std::string, std::string>& table) {
    if (!name.isString()) return name.description();
    const std::string text = *name.asString();
    if (text.empty() || table.empty() || text[0] != '_') return text;
    if (!renderingEnabled()) return text;
    std::string chosen, prefixed;
    for (const auto& [publicName, shortName] : table) {
        if (shortName != text) continue;
        if (publicName.rfind("reruzera_", 0) == 0) {
            prefixed = publicName;
            continue;
        }
        chosen = publicName;
        break;
    }
    if (chosen.empty()) chosen = prefixed;
    return chosen.empty() ? text : chosen + " (" + text + ")";
}

std::string APMRenderEventName(const Value& name) {
    return APMRenderName(name, APMReservedEventNames());
}

std::string APMRenderParameterName(const Value& name) {
    return APMRenderName(name, APMParameterNameAliases());
}

std::string APMRenderUserPropertyName(const Value& name) {
    if (name.isString() && name.asString()->rfind("_exp_", 0) == 0) {
        return "experiment_id (" + *name.asString() + ")";
    }
    return APMRenderName(name, APMReservedUserAttributeNameMap());
}

std::string APMRenderParameters(const APMEventParameters* parameters) {
    if (!parameters) return "(null)";
    if (!APMMeasurement::monitor().isDebugModeEnabled()) {
        Dictionary plain;
        for (const auto& [key, value] : *parameters) plain.set(key, value.object());
        return Value(plain).description();
    }
    std::vector<std::string> lines;
    for (const auto& [key, value] : *parameters) {
        std::string shown = value.description();
        if (key == "_err" && value.isInt64()) {
            auto found = APMErrorCodeNames().find(value.int64Value());
            shown = found == APMErrorCodeNames().end()
                        ? std::to_string(value.int64Value())
                        : found->second + " (" + std::to_string(value.int64Value()) + ")";
        }
        lines.push_back("    " + APMRenderParameterName(Value(key)) + " = " + shown + ";\n");
    }
    std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return lower(a) < lower(b);
    });
    std::string out = "{\n";
    for (const auto& line : lines) out += line;
    return out + "}";
}
