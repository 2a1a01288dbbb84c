#pragma once
// Validation of every name and value that reaches the measurement library:
// event names, parameters, user properties, origins, screen parameters,
// conditional user properties and ecommerce arrays. Each check answers
// YES/NO, writes a failure code (0 valid .. 14, see APMValidatorFailure)
// when asked and logs one line to the measurement monitor; nothing throws.
// Lengths are counted in code points unless a rule says UTF-16 units.
// Reentrant; the tables are built once.

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/foundation/Value.h"
#include "services/measurement/APMValue.h"

enum APMValidatorFailure : int64_t {
    APMValidatorFailureNone = 0,
    APMValidatorFailureMissing = 1,
    APMValidatorFailureTooLong = 2,
    APMValidatorFailureIllegalCharacters = 3,
    APMValidatorFailureReserved = 4,
    APMValidatorFailureWrongType = 5,
    APMValidatorFailureNoForwardTag = 6,
    APMValidatorFailureTooShort = 7,
    APMValidatorFailureNotNumeric = 8,
    APMValidatorFailureCurrency = 9,
    APMValidatorFailureArrayOnNonEcommerceEvent = 10,
    APMValidatorFailureArrayNotItems = 11,
    APMValidatorFailureArrayTooLarge = 12,
    APMValidatorFailureNestedArray = 13,
    APMValidatorFailureArrayItemNotDictionary = 14,
};

struct APMDataTypeValidator {
    static bool hasReservedPrefixes(const std::string& name);

    // `object` may be null (nil) or any plain object.
    static bool isValidString(const Value* object, int64_t minLength, int64_t maxLength,
                              int64_t type, int64_t* failureCode = nullptr);
    static bool isValidInternalName(const Value* object, int64_t maxLength, int64_t type,
                                    int64_t* failureCode = nullptr);
    static bool isValidPublicName(const Value* object, int64_t maxLength, int64_t type,
                                  int64_t* failureCode = nullptr);
    // An APMValue (string values follow the string rule); a plain object is
    // the wrong type; null is missing.
    static bool isValidValue(const APMValue* value, int64_t minLength, int64_t maxLength,
                             int64_t type, int64_t* failureCode = nullptr);
    static bool isValidValue(const Value* plainObject, int64_t minLength, int64_t maxLength,
                             int64_t type, int64_t* failureCode = nullptr);

    static bool isValidPublicEventName(const Value* name, int64_t* failureCode = nullptr);
    static bool isValidPublicEventParameterName(const Value* name, int64_t* failureCode = nullptr);
    static bool isValidPublicEventParameterValue(const APMValue* value,
                                                 int64_t* failureCode = nullptr);
    static bool isValidInternalEventName(const Value* name, int64_t* failureCode = nullptr);
    static bool isValidInternalEventParameterName(const Value* name,
                                                  int64_t* failureCode = nullptr);
    static bool isValidInternalEventParameterValue(const APMValue* value,
                                                   int64_t* failureCode = nullptr);
    static bool isValidInternalEventOrigin(const Value* origin, int64_t* failureCode = nullptr);
    static bool isValidForwardedEventOrigin(const Value* origin, int64_t* failureCode = nullptr);
    static bool isValidPublicUserAttributeName(const Value* name, int64_t* failureCode = nullptr);
    static bool isValidPublicUserAttributeValue(const APMValue* value,
                                                int64_t* failureCode = nullptr);
    static bool isValidInternalUserAttributeName(const Value* name, int64_t* failureCode = nullptr);
    static bool isValidInternalUserAttributeValue(const APMValue* value, const std::string& name,
                                                  int64_t* failureCode = nullptr);
    static bool isValidScreenParameterValue(const Value* value, int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyOrigin(const Value* origin,
                                                     int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyName(const Value* name,
                                                   int64_t* failureCode = nullptr);
    static bool isValidConditionalUserPropertyValue(const APMValue* value,
                                                    int64_t* failureCode = nullptr);
    static bool isValidNumericValue(const APMValue* value, int64_t* failureCode = nullptr);
    static bool isValidCurrencyCode(const APMValue* value, int64_t* failureCode = nullptr);
    static bool isValidArrayParamForEvent(const std::string& eventName,
                                          const std::string& paramName, int64_t arrayCount,
                                          bool isNestedArrayParam, int64_t* failureCode = nullptr);
    static bool isValidArrayParamItem(const Value& item, int64_t* failureCode = nullptr);
};

const std::map<std::string, std::string>& APMReservedEventNames();
const std::map<std::string, std::string>& APMReservedEventNamesByInternalName();
const std::map<std::string, std::string>& APMAllowedReservedEventNames();
const std::map<int64_t, std::string>& APMErrorCodeNames();

// Adds "_ev" (the text, trimmed to `limit` code points plus "...") and,
// with a length source, "_el"; nothing when either is already present.
// A null text is "(nil)", a non-string its type name.
void APMAddErrorValueParameters(APMEventParameters& parameters, const Value* text, int64_t limit,
                                const Value* lengthSource);
// Sets "_err" unless it is already present.
void APMSetErrorCodeParameter(APMEventParameters& parameters, int64_t errorCode);
// The first error wins: nothing when any of "_ev", "_el", "_err" is present.
void APMAnnotateParameterError(APMEventParameters& parameters, int64_t errorCode, const Value* text,
                               int64_t limit, const Value* lengthSource);

// Where internal events go: the analytics service installs its
// logInternalEventWithOrigin:name:parameters: here; nothing is logged while
// none is installed.
using APMInternalEventLogger = std::function<void(
    const std::string& origin, const std::string& name, const APMEventParameters& parameters)>;
void APMSetInternalEventLogger(APMInternalEventLogger logger);
// Logs "_err" (origin "auto") with "_err" = the code; nothing for 0.
void APMLogInternalErrorEvent(int64_t errorCode);
// Logs "_err" with "_err", "_ev" (the name trimmed to the limit) and, for
// codes 4 and 7 or a string value over the limit, "_el"; nothing for 0.
void APMLogValidationErrorEvent(int64_t errorCode, const Value* name, int64_t limit,
                                const Value* value);

bool APMIsValidNameFormat(const Value* name);
bool APMEventNameIsErrorEvent(const std::string& name);
bool APMIsNotErrorEventName(const std::string* name);
// "_assc", "_assr", or "_iap" whose "subscription" parameter is int64 1.
bool APMIsSubscriptionEvent(const std::string& name, const APMEventParameters& parameters);
bool APMIsEcommerceEventName(const std::string& name);
bool APMIsItemParameterName(const std::string& name);
bool APMIsConversionEventName(const std::string& name);
