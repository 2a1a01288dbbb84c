#pragma once
// Cleaning of event parameters before an event is stored: invalid names
// and values are removed, ecommerce arrays are cleaned item by item, and the
// number of custom (application-chosen) parameters is cut to the limit. The
// first problem is recorded in the parameters as "_err", "_ev" and "_el".
// Pure functions; any thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "platform/foundation/Value.h"
#include "services/measurement/APMValue.h"

// A parameter as handed in: a plain object or an already typed value.
using APMParameterObject = std::variant<Value, APMValue>;
using APMRawParameters = std::map<std::string, APMParameterObject>;

inline constexpr int64_t kAPMDefaultMaxPublicEventParams = 25;

// nullopt for empty input. `maxPublicEventParams` is the remote setting
// (25 unless configured, 25 to 100).
std::optional<APMEventParameters> APMSanitizeEventParameters(
    const APMRawParameters& parameters, const std::string* eventName, bool isPublic, bool isItem,
    int64_t maxPublicEventParams = kAPMDefaultMaxPublicEventParams);
std::optional<APMEventParameters> APMSanitizeParameters(const APMRawParameters& parameters,
                                                        bool isPublic);
bool APMValidateParameterName(const std::string& name, bool isPublic,
                              APMEventParameters& errorParameters);
// The cleaned items as one array value; nullopt when the array is refused.
std::optional<APMValue> APMSanitizeArrayParameter(const Array& items, const std::string& name,
                                                  const std::string* eventName,
                                                  APMEventParameters& errorParameters, bool nested,
                                                  bool isPublic, int64_t* failureCode);
void APMAnnotateArrayParameterError(APMEventParameters& errorParameters, int64_t failureCode,
                                    const std::string& name, const std::string* eventName);
int64_t APMCountCustomParameters(const APMEventParameters& parameters, bool isItem);
void APMTrimCustomParametersToLimit(APMEventParameters& parameters, int64_t limit, bool isItem);
void APMTrimCustomParameters(APMEventParameters& parameters, int64_t limit);
// YES without "value", or with a numeric "value" and a valid "currency";
// otherwise "value" is removed and the problem recorded.
bool APMValidateValueAndCurrency(APMEventParameters& parameters);
int64_t APMCountArrayItems(const APMEventParameters* parameters);
bool APMEventHasScreenParameters(const APMEventParameters& parameters);
APMEventParameters APMScreenParameters(const APMEventParameters& parameters);
