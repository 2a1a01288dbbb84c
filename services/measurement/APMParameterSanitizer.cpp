#include "services/measurement/APMParameterSanitizer.h"

#include <set>
#include <vector>

#include "services/measurement/APMDataTypeValidator.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMMeasurement.h"

namespace {

// Items are stored as plain dictionaries inside the array value.
Dictionary toDictionary(const APMEventParameters& parameters) {
    Dictionary out;
    for (const auto& [name, value] : parameters) out.set(name, value.object());
    return out;
}

APMRawParameters toRaw(const Dictionary& dictionary) {
    APMRawParameters out;
    for (const auto& [name, value] : dictionary) out.emplace(name, value);
    return out;
}

bool isCustom(const std::string& name, bool isItem) {
    if (name.empty() || name[0] == '_') return false;
    return !(isItem && APMIsItemParameterName(name));
}

}  // namespace

bool APMValidateParameterName(const std::string& name, bool isPublic,
                              APMEventParameters& errorParameters) {
    const Value object(name);
    int64_t failure = 0;
    bool valid =
        (!isPublic || APMDataTypeValidator::isValidPublicEventParameterName(&object, &failure)) &&
        APMDataTypeValidator::isValidInternalEventParameterName(&object, &failure);
    if (valid) return true;
    if (!errorParameters.count("_err")) {
        const int64_t errorCode = failure == APMValidatorFailureReserved ? 14 : 3;
        const bool withLength = apm_UTF32Length(name) >= 41;
        APMAnnotateParameterError(errorParameters, errorCode, &object, 40,
                                  withLength ? &object : nullptr);
    }
    return false;
}

void APMAnnotateArrayParameterError(APMEventParameters& errorParameters, int64_t failureCode,
                                    const std::string& name, const std::string* eventName) {
    int64_t errorCode;
    Value text(name);
    switch (failureCode) {
        case APMValidatorFailureArrayOnNonEcommerceEvent:
            errorCode = 21;
            text = eventName ? Value(*eventName) : Value();
            break;
        case APMValidatorFailureArrayNotItems:
            errorCode = 20;
            break;
        case APMValidatorFailureArrayTooLarge:
            errorCode = 17;
            break;
        case APMValidatorFailureNestedArray:
            errorCode = 22;
            break;
        default:
            return;
    }
    APMAnnotateParameterError(errorParameters, errorCode, &text, 40, nullptr);
}

std::optional<APMValue> APMSanitizeArrayParameter(const Array& items, const std::string& name,
                                                  const std::string* eventName,
                                                  APMEventParameters& errorParameters, bool nested,
                                                  bool isPublic, int64_t* failureCode) {
    int64_t failure = 0;
    const bool valid = APMDataTypeValidator::isValidArrayParamForEvent(
        eventName ? *eventName : "", name, static_cast<int64_t>(items.size()), nested, &failure);
    if (failureCode) *failureCode = failure;
    if (!valid && failure != APMValidatorFailureArrayTooLarge) return std::nullopt;
    const size_t count = std::min<size_t>(items.size(), 200);
    Array cleaned;
    for (size_t i = 0; i < count; ++i) {
        const Value& item = items[i];
        if (const Dictionary* dictionary = item.asDictionary()) {
            auto result = APMSanitizeEventParameters(toRaw(*dictionary), eventName, isPublic, true);
            if (result) cleaned.push_back(Value(toDictionary(*result)));
        } else {
            const Value text(name + "[" + std::to_string(i) + "]");
            APMAnnotateParameterError(errorParameters, 4, &text, 40, nullptr);
        }
    }
    return APMValue(APMValueTypeArray, Value(std::move(cleaned)));
}

std::optional<APMEventParameters> APMSanitizeEventParameters(const APMRawParameters& parameters,
                                                             const std::string* eventName,
                                                             bool isPublic, bool isItem,
                                                             int64_t maxPublicEventParams) {
    if (parameters.empty()) return std::nullopt;
    std::set<std::string> removed;
    APMEventParameters replacements;
    for (const auto& [name, raw] : parameters) {
        int64_t failure = 0;
        if (!APMValidateParameterName(name, isPublic, replacements)) {
            removed.insert(name);
            continue;
        }
        const APMValue* typed = std::get_if<APMValue>(&raw);
        std::optional<APMValue> converted;
        if (typed) {
            converted = *typed;
        } else {
            const Value& object = std::get<Value>(raw);
            converted = APMValue::valueFromObject(&object, true);
            if (!converted) {
                APMMeasurement::monitor().logWithLevel(
                    3, 18015,
                    "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
                    Value(typeName(object.type())));
                removed.insert(name);
                continue;
            }
        }
        bool keep = true;
        bool replaced = !typed;
        if (isPublic &&
            !APMDataTypeValidator::isValidPublicEventParameterValue(&*converted, &failure)) {
            keep = false;
        } else if (name == "_ev") {
            const auto text = converted->stringValue();
            if (text && apm_UTF32Length(*text) > 256 &&
                !(apm_UTF32Length(*text) == 259 && text->size() >= 3 &&
                  text->compare(text->size() - 3, 3, "...") == 0)) {
                APMEventParameters trimmed;
                const Value object(*text);
                APMAddErrorValueParameters(trimmed, &object, 256, &object);
                converted = trimmed.at("_ev");
                replaced = true;
                replacements.insert_or_assign("_el", trimmed.at("_el"));
            }
        } else if (!APMDataTypeValidator::isValidInternalEventParameterValue(&*converted,
                                                                             &failure)) {
            keep = false;
        }
        if (keep && converted->isArray() && !typed) {
            auto cleaned = APMSanitizeArrayParameter(*converted->arrayValue(), name, eventName,
                                                     replacements, isItem, isPublic, &failure);
            if (cleaned) {
                converted = std::move(cleaned);
            } else {
                keep = false;
            }
        }
        if (!keep && failure == APMValidatorFailureTooLong && !replacements.count("_err")) {
            const Value nameObject(name);
            const Value text = converted->isString() ? Value(*converted->stringValue()) : Value();
            APMAnnotateParameterError(replacements, 4, &nameObject, 40,
                                      converted->isString() ? &text : nullptr);
        }
        if (converted->isArray() && failure != 0) {
            APMAnnotateArrayParameterError(replacements, failure, name, eventName);
        }
        if (!keep) {
            removed.insert(name);
        } else if (replaced) {
            replacements.insert_or_assign(name, *converted);
        }
    }

    APMEventParameters result;
    if (removed.size() == parameters.size()) return replacements;
    for (const auto& [name, raw] : parameters) {
        if (removed.count(name)) continue;
        if (const APMValue* typed = std::get_if<APMValue>(&raw))
            result.insert_or_assign(name, *typed);
    }
    for (const auto& [name, value] : replacements) result.insert_or_assign(name, value);

    if (isItem) {
        if (APMCountCustomParameters(result, true) > 0) {
            APMTrimCustomParametersToLimit(result, 0, true);
            APMSetErrorCodeParameter(result, 23);
            APMMeasurement::monitor().logWithLevel(0, 18016,
                                                   "Item cannot contain custom parameters");
        }
    } else if (APMCountCustomParameters(result, false) > maxPublicEventParams) {
        APMTrimCustomParametersToLimit(result, maxPublicEventParams, false);
        APMSetErrorCodeParameter(result, 5);
        APMMeasurement::monitor().logWithLevel(1, 18017,
                                               "Event cannot contain more than " +
                                                   std::to_string(maxPublicEventParams) +
                                                   " parameters");
    }
    return result;
}

std::optional<APMEventParameters> APMSanitizeParameters(const APMRawParameters& parameters,
                                                        bool isPublic) {
    return APMSanitizeEventParameters(parameters, nullptr, isPublic, false);
}

int64_t APMCountCustomParameters(const APMEventParameters& parameters, bool isItem) {
    int64_t count = 0;
    for (const auto& [name, value] : parameters) count += isCustom(name, isItem) ? 1 : 0;
    return count;
}

void APMTrimCustomParametersToLimit(APMEventParameters& parameters, int64_t limit, bool isItem) {
    int64_t count = APMCountCustomParameters(parameters, isItem);
    if (count <= limit) return;
    std::vector<std::string> names;
    for (const auto& [name, value] : parameters) names.push_back(name);  // already sorted
    for (auto it = names.rbegin(); it != names.rend() && count > limit; ++it) {
        if (!isCustom(*it, isItem)) continue;
        parameters.erase(*it);
        --count;
    }
}

void APMTrimCustomParameters(APMEventParameters& parameters, int64_t limit) {
    APMTrimCustomParametersToLimit(parameters, limit, false);
}

bool APMValidateValueAndCurrency(APMEventParameters& parameters) {
    auto value = parameters.find("value");
    if (value == parameters.end()) return true;
    if (!APMDataTypeValidator::isValidNumericValue(&value->second)) {
        parameters.erase(value);
        const Value text("value");
        APMAnnotateParameterError(parameters, 18, &text, 256, nullptr);
        return false;
    }
    auto currency = parameters.find("currency");
    if (currency == parameters.end() ||
        !APMDataTypeValidator::isValidCurrencyCode(&currency->second)) {
        APMMeasurement::monitor().logWithLevel(
            3, 18014,
            "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code "
            "in the currency parameter.");
        parameters.erase("value");
        const Value text("currency");
        APMAnnotateParameterError(parameters, 19, &text, 256, nullptr);
        return false;
    }
    return true;
}

int64_t APMCountArrayItems(const APMEventParameters* parameters) {
    if (!parameters) return 0;
    int64_t count = 0;
    for (const auto& [name, value] : *parameters) {
        if (value.isArray()) count += static_cast<int64_t>(value.arrayValue()->size());
    }
    return count;
}

bool APMEventHasScreenParameters(const APMEventParameters& parameters) {
    return parameters.count("_si") || parameters.count("_sc") || parameters.count("_sn");
}

APMEventParameters APMScreenParameters(const APMEventParameters& parameters) {
    APMEventParameters out;
    for (const char* key : {"_sn", "_sc", "_si"}) {
        auto it = parameters.find(key);
        if (it != parameters.end()) out.insert_or_assign(key, it->second);
    }
    return out;
}
