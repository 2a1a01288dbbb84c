#include "services/measurement/APMDataTypeValidator.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <mutex>
#include <set>

#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMInfoPlistFileUtil.h"
#include "services/measurement/APMMeasurement.h"

namespace {

constexpr int kErrorLevel = 0;
constexpr int kValueLevel = 3;

void log(int level, long long code, const std::string& message) {
    APMMeasurement::monitor().logWithLevel(level, code, message);
}

void log(int level, long long code, const std::string& message, const Value& context) {
    APMMeasurement::monitor().logWithLevel(level, code, message, context);
}

bool failWith(int64_t* failureCode, int64_t code) {
    if (failureCode) *failureCode = code;
    return false;
}

bool pass(int64_t* failureCode) {
    if (failureCode) *failureCode = APMValidatorFailureNone;
    return true;
}

std::string label(int64_t type) {
    static const char* labels[] = {"Event name",
                                   "Event parameter name",
                                   "Event parameter value",
                                   "User property name",
                                   "User property value",
                                   "Screen parameter value",
                                   "Conditional user property origin",
                                   "Conditional user property name",
                                   "Conditional user property value"};
    if (type == 0) return "Event name";
    if (type == 1) return "Event origin";
    if (type >= 2 && type <= 9) return labels[type - 1];
    return "Object";
}

bool isValueType(int64_t type) {
    return type == 3 || type == 5;
}

// Letters are the letter categories (combining marks excluded).
bool isLetter(UChar32 c) {
    return (U_GET_GC_MASK(c) & U_GC_L_MASK) != 0;
}

bool isNameCharacter(UChar32 c) {
    return isLetter(c) || u_charType(c) == U_DECIMAL_DIGIT_NUMBER || c == '_';
}

// Code points; malformed bytes decode as negative values.
std::vector<UChar32> decode(const std::string& text) {
    std::vector<UChar32> out;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    int32_t length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        out.push_back(c);
    }
    return out;
}

size_t utf16Length(const std::string& text) {
    size_t units = 0;
    for (UChar32 c : decode(text)) units += c > 0xFFFF ? 2 : 1;
    return units;
}

bool isValidValueText(const std::string& text, int64_t minLength, int64_t maxLength, int64_t type,
                      int64_t* failureCode) {
    Value object(text);
    return APMDataTypeValidator::isValidString(&object, minLength, maxLength, type, failureCode);
}

const std::set<std::string>& ecommerceEvents() {
    static const std::set<std::string> names{"add_payment_info",
                                             "add_shipping_info",
                                             "add_to_cart",
                                             "add_to_wishlist",
                                             "begin_checkout",
                                             "purchase",
                                             "refund",
                                             "remove_from_cart",
                                             "select_item",
                                             "select_promotion",
                                             "view_cart",
                                             "view_item",
                                             "view_item_list",
                                             "view_promotion",
                                             "ecommerce_purchase",
                                             "checkout_progress",
                                             "purchase_refund",
                                             "select_content",
                                             "set_checkout_option",
                                             "view_search_results"};
    return names;
}

}  // namespace

bool APMDataTypeValidator::hasReservedPrefixes(const std::string& name) {
    for (const char* prefix : {"reruzera_", "zevera_", "za_"}) {
        if (name.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

bool APMDataTypeValidator::isValidString(const Value* object, int64_t minLength, int64_t maxLength,
                                         int64_t type, int64_t* failureCode) {
    const int level = isValueType(type) ? kValueLevel : kErrorLevel;
    if (!object || object->isNull()) {
        log(level, 13001, label(type) + " is required and can't be nil");
        return failWith(failureCode, APMValidatorFailureMissing);
    }
    if (!object->isString()) {
        log(level, 13000, label(type) + " must be of type NSString", *object);
        return failWith(failureCode, APMValidatorFailureWrongType);
    }
    const std::string text = *object->asString();
    if (minLength >= 1 && utf16Length(text) == 0) {
        if (!isValueType(type)) log(level, 13001, label(type) + " is required and can't be empty");
        return failWith(failureCode, APMValidatorFailureMissing);
    }
    const auto length = static_cast<int64_t>(apm_UTF32Length(text));
    if (length > maxLength) {
        log(level, 13000,
            label(type) + " is too long. The maximum supported length is " +
                std::to_string(maxLength),
            *object);
        return failWith(failureCode, APMValidatorFailureTooLong);
    }
    if (length < minLength) {
        log(level, 13000,
            label(type) + " is too short. The minimum supported length is " +
                std::to_string(minLength),
            *object);
        return failWith(failureCode, APMValidatorFailureTooShort);
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidInternalName(const Value* object, int64_t maxLength, int64_t type,
                                               int64_t* failureCode) {
    if (!isValidString(object, 1, maxLength, type, failureCode)) return false;
    for (UChar32 c : decode(*object->asString())) {
        if (c < 0 || !isNameCharacter(c)) {
            log(kErrorLevel, 13002,
                label(type) + " must contain only letters, numbers, or underscores", *object);
            return failWith(failureCode, APMValidatorFailureIllegalCharacters);
        }
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidPublicName(const Value* object, int64_t maxLength, int64_t type,
                                             int64_t* failureCode) {
    if (!isValidInternalName(object, maxLength, type, failureCode)) return false;
    auto points = decode(*object->asString());
    if (points.empty() || !isLetter(points.front())) {
        log(kErrorLevel, 13003, label(type) + " must start with a letter", *object);
        return failWith(failureCode, APMValidatorFailureIllegalCharacters);
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidValue(const APMValue* value, int64_t minLength, int64_t maxLength,
                                        int64_t type, int64_t* failureCode) {
    if (!value) {
        log(kValueLevel, 13004, label(type) + " cannot be nil");
        return failWith(failureCode, APMValidatorFailureMissing);
    }
    if (value->isString()) {
        return isValidValueText(*value->stringValue(), minLength, maxLength, type, failureCode);
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidValue(const Value* plainObject, int64_t, int64_t, int64_t type,
                                        int64_t* failureCode) {
    if (!plainObject || plainObject->isNull()) {
        log(kValueLevel, 13004, label(type) + " cannot be nil");
        return failWith(failureCode, APMValidatorFailureMissing);
    }
    log(kValueLevel, 13005, label(type) + " must be a APMValue instance. value",
        Value(typeName(plainObject->type())));
    return failWith(failureCode, APMValidatorFailureWrongType);
}

bool APMDataTypeValidator::isValidPublicEventName(const Value* name, int64_t* failureCode) {
    if (!isValidPublicName(name, 40, 0, failureCode)) return false;
    const std::string text = *name->asString();
    if (text == "screen_view") return pass(failureCode);
    if (APMReservedEventNames().count(text) && !APMAllowedReservedEventNames().count(text)) {
        log(kErrorLevel, 13006, "Event name is reserved. Ignoring event", *name);
        return failWith(failureCode, APMValidatorFailureReserved);
    }
    if (hasReservedPrefixes(text)) {
        log(kErrorLevel, 13007, "Event name uses reserved prefix. Ignoring event", *name);
        return failWith(failureCode, APMValidatorFailureReserved);
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterName(const Value* name,
                                                           int64_t* failureCode) {
    if (!isValidPublicName(name, 40, 2, failureCode)) return false;
    if (hasReservedPrefixes(*name->asString())) {
        log(kErrorLevel, 13008, "Parameter name uses reserved prefix. Ignoring parameter", *name);
        return failWith(failureCode, APMValidatorFailureReserved);
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(const APMValue* value,
                                                            int64_t* failureCode) {
    return isValidValue(value, 0, 100, 3, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventName(const Value* name, int64_t* failureCode) {
    return isValidInternalName(name, 40, 0, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterName(const Value* name,
                                                             int64_t* failureCode) {
    return isValidInternalName(name, 40, 2, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(const APMValue* value,
                                                              int64_t* failureCode) {
    return isValidValue(value, 0, 256, 3, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventOrigin(const Value* origin, int64_t* failureCode) {
    return isValidInternalName(origin, 32, 1, failureCode);
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(const Value* origin, int64_t* failureCode) {
    const std::string suffix = "+tag";
    if (!origin || !origin->isString() || origin->asString()->empty()) {
        return failWith(failureCode, APMValidatorFailureMissing);
    }
    const std::string text = *origin->asString();
    if (text.size() < suffix.size() ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return failWith(failureCode, APMValidatorFailureNoForwardTag);
    }
    Value remainder(text.substr(0, text.size() - suffix.size()));
    return isValidInternalName(&remainder, 32, 1, failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(const Value* name, int64_t* failureCode) {
    if (!isValidPublicName(name, 24, 4, failureCode)) return false;
    const std::string text = *name->asString();
    if (APMReservedUserAttributeNameMap().count(text)) {
        log(kErrorLevel, 13009, "User property name is reserved. Ignoring user property", *name);
        return failWith(failureCode, APMValidatorFailureReserved);
    }
    if (hasReservedPrefixes(text)) {
        log(kErrorLevel, 13010, "User property name uses reserved prefix. Ignoring user property",
            *name);
        return failWith(failureCode, APMValidatorFailureReserved);
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(const APMValue* value,
                                                           int64_t* failureCode) {
    return isValidValue(value, 1, 36, 5, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(const Value* name,
                                                            int64_t* failureCode) {
    return isValidInternalName(name, 24, 4, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const APMValue* value,
                                                             const std::string& name,
                                                             int64_t* failureCode) {
    const int64_t max = (name == "_id" || name == "_zbraid") ? 256 : 36;
    return isValidValue(value, 1, max, 5, failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterValue(const Value* value, int64_t* failureCode) {
    return isValidString(value, 1, 100, 6, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const Value* origin,
                                                                int64_t* failureCode) {
    return isValidInternalName(origin, 32, 7, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const Value* name,
                                                              int64_t* failureCode) {
    return isValidInternalName(name, 24, 8, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const APMValue* value,
                                                               int64_t* failureCode) {
    return isValidValue(value, 1, 36, 9, failureCode);
}

bool APMDataTypeValidator::isValidNumericValue(const APMValue* value, int64_t* failureCode) {
    if (!value) {
        log(kValueLevel, 13004, label(3) + " cannot be nil");
        return failWith(failureCode, APMValidatorFailureMissing);
    }
    if (value->isInt64() || value->isDouble()) return pass(failureCode);
    log(kValueLevel, 13011, label(3) + " must be specified with a numeric type. value",
        Value(value->description()));
    return failWith(failureCode, APMValidatorFailureNotNumeric);
}

bool APMDataTypeValidator::isValidCurrencyCode(const APMValue* value, int64_t* failureCode) {
    if (!value) {
        log(kValueLevel, 13004, label(3) + " cannot be nil");
        return failWith(failureCode, APMValidatorFailureMissing);
    }
    if (value->isString()) {
        const std::string text = *value->stringValue();
        bool valid = utf16Length(text) == 3;
        for (UChar32 c : decode(text)) valid = valid && c >= 0 && isLetter(c);
        if (valid) return pass(failureCode);
    }
    log(kValueLevel, 13012, label(3) + " must contain a 3-letter ISO_4217 currency code. value",
        value->object());
    return failWith(failureCode, APMValidatorFailureCurrency);
}

bool APMDataTypeValidator::isValidArrayParamForEvent(const std::string& eventName,
                                                     const std::string& paramName,
                                                     int64_t arrayCount, bool isNestedArrayParam,
                                                     int64_t* failureCode) {
    if (isNestedArrayParam) {
        log(kErrorLevel, 13013, "Nested array parameters are not allowed. Name", Value(paramName));
        return failWith(failureCode, APMValidatorFailureNestedArray);
    }
    if (!APMIsEcommerceEventName(eventName)) {
        log(kErrorLevel, 13013,
            "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
            Value(eventName));
        return failWith(failureCode, APMValidatorFailureArrayOnNonEcommerceEvent);
    }
    if (paramName != "items") {
        log(kErrorLevel, 13013,
            label(2) +
                " is an invalid ecommerce items. The name of array parameters for ecommerce "
                "should be \"items\". Invalid parameter name",
            Value(paramName));
        return failWith(failureCode, APMValidatorFailureArrayNotItems);
    }
    if (arrayCount > 200) {
        log(kErrorLevel, 13013,
            "Array parameter has too many items. The maximum number of supported items is 200. "
            "Invalid array size",
            Value(static_cast<long long>(arrayCount)));
        return failWith(failureCode, APMValidatorFailureArrayTooLarge);
    }
    return pass(failureCode);
}

bool APMDataTypeValidator::isValidArrayParamItem(const Value& item, int64_t* failureCode) {
    if (item.isDictionary()) return pass(failureCode);
    log(kErrorLevel, 13014, "Array param must be a dictionary. Parameters", item);
    return failWith(failureCode, APMValidatorFailureArrayItemNotDictionary);
}

const std::map<std::string, std::string>& APMReservedEventNames() {
    static const std::map<std::string, std::string> names{
        {"adunit_exposure", "_xu"},
        {"ad_activeview", "_aa"},
        {"ad_click", "_ac"},
        {"ad_exposure", "_xa"},
        {"ad_impression", "_ai"},
        {"ad_query", "_aq"},
        {"ad_reward", "_ar"},
        {"app_background", "_ab"},
        {"app_clear_data", "_cd"},
        {"app_exception", "_ae"},
        {"app_remove", "_ui"},
        {"app_store_refund", "_asr"},
        {"app_store_subscription_cancel", "_asse"},
        {"app_store_subscription_convert", "_assc"},
        {"app_store_subscription_renew", "_assr"},
        {"app_update", "_au"},
        {"app_upgrade", "_ug"},
        {"error", "_err"},
        {"reruzera_campaign", "_cmp"},
        {"first_open", "_f"},
        {"first_visit", "_v"},
        {"za_campaign", "_cmp"},
        {"za_extra_parameter", "_ep"},
        {"in_app_purchase", "_iap"},
        {"notification_dismiss", "_nd"},
        {"notification_foreground", "_nf"},
        {"notification_open", "_no"},
        {"notification_receive", "_nr"},
        {"os_update", "_ou"},
        {"screen_view", "_vs"},
        {"session_start", "_s"},
        {"session_start_with_rollout", "_ssr"},
        {"user_engagement", "_e"},
    };
    return names;
}

const std::map<std::string, std::string>& APMReservedEventNamesByInternalName() {
    static const std::map<std::string, std::string> inverse = [] {
        std::map<std::string, std::string> out;
        // The map is sorted, so "_cmp" keeps the first public name,
        // "reruzera_campaign".
        for (const auto& [publicName, internalName] : APMReservedEventNames()) {
            out.emplace(internalName, publicName);
        }
        return out;
    }();
    return inverse;
}

const std::map<std::string, std::string>& APMAllowedReservedEventNames() {
    static const std::map<std::string, std::string> names{{"ad_impression", "_ai"}};
    return names;
}

const std::map<int64_t, std::string>& APMErrorCodeNames() {
    static const std::map<int64_t, std::string> names{
        {0, "NoError"},
        {1, "InvalidRUVAppID"},
        {2, "InvalidEventName"},
        {3, "InvalidParameterName"},
        {4, "InvalidParameterValue"},
        {5, "ParameterLimitReached"},
        {6, "InvalidUserPropertyName"},
        {7, "UserPropertyValueTooLong"},
        {8, "EventLimitReached"},
        {9, "UserPropertyLimitReached"},
        {10, "ConversionEventLimitReached"},
        {11, "EventIsBlocked"},
        {12, "UserPropertyIsBlocked"},
        {13, "EventNameIsReserved"},
        {14, "ParameterNameIsReserved"},
        {15, "UserPropertyNameIsReserved"},
        {16, "PublicEventLimitReached"},
        {17, "TooManyExtraParamEvents"},
        {18, "ValueIsNotNumeric"},
        {19, "CurrencyCodeIsMissingOrInvalid"},
        {20, "InvalidArrayParamName"},
        {21, "InvalidArrayParamEventName"},
        {22, "InvalidArrayParamNesting"},
        {23, "CustomParamsInArrayElement"},
    };
    return names;
}

void APMAddErrorValueParameters(APMEventParameters& parameters, const Value* text, int64_t limit,
                                const Value* lengthSource) {
    if (parameters.count("_ev") || parameters.count("_el")) return;
    std::string stored;
    if (!text || text->isNull()) {
        stored = "(nil)";
    } else if (!text->isString()) {
        stored = typeName(text->type());
    } else {
        stored = *text->asString();
    }
    if (limit >= 0 && static_cast<int64_t>(apm_UTF32Length(stored)) > limit) {
        // Cut after `limit` whole code points, never inside a sequence.
        const auto* s = reinterpret_cast<const uint8_t*>(stored.data());
        int32_t length = static_cast<int32_t>(stored.size());
        int32_t offset = 0;
        for (int64_t n = 0; n < limit && offset < length; ++n) U8_FWD_1(s, offset, length);
        stored = stored.substr(0, static_cast<size_t>(offset)) + "...";
    }
    const Value storedValue(stored);
    parameters.insert_or_assign("_ev", *APMValue::initWithString(&storedValue));
    if (lengthSource) {
        int64_t length = 0;
        if (lengthSource->isString()) {
            length = static_cast<int64_t>(apm_UTF32Length(*lengthSource->asString()));
        } else if (const Array* array = lengthSource->asArray()) {
            length = static_cast<int64_t>(array->size());
        }
        parameters.insert_or_assign("_el", APMValue::initWithInt64(length));
    }
}

void APMSetErrorCodeParameter(APMEventParameters& parameters, int64_t errorCode) {
    if (!parameters.count("_err")) {
        parameters.insert_or_assign("_err", APMValue::initWithInt64(errorCode));
    }
}

void APMAnnotateParameterError(APMEventParameters& parameters, int64_t errorCode, const Value* text,
                               int64_t limit, const Value* lengthSource) {
    if (parameters.count("_ev") || parameters.count("_el") || parameters.count("_err")) return;
    parameters.insert_or_assign("_err", APMValue::initWithInt64(errorCode));
    APMAddErrorValueParameters(parameters, text, limit, lengthSource);
}

namespace {

std::mutex& loggerMutex() {
    static std::mutex mutex;
    return mutex;
}

APMInternalEventLogger& internalLogger() {
    static APMInternalEventLogger logger;
    return logger;
}

void logInternalEvent(const APMEventParameters& parameters) {
    APMInternalEventLogger logger;
    {
        std::lock_guard guard(loggerMutex());
        logger = internalLogger();
    }
    if (logger) logger("auto", "_err", parameters);
}

}  // namespace

void APMSetInternalEventLogger(APMInternalEventLogger logger) {
    std::lock_guard guard(loggerMutex());
    internalLogger() = std::move(logger);
}

void APMLogInternalErrorEvent(int64_t errorCode) {
    if (errorCode == 0) return;
    logInternalEvent({{"_err", APMValue::initWithInt64(errorCode)}});
}

void APMLogValidationErrorEvent(int64_t errorCode, const Value* name, int64_t limit,
                                const Value* value) {
    if (errorCode == 0) return;
    APMEventParameters parameters{{"_err", APMValue::initWithInt64(errorCode)}};
    bool withLength =
        value && !value->isNull() &&
        (errorCode == 4 || errorCode == 7 ||
         (value->isString() && static_cast<int64_t>(apm_UTF32Length(*value->asString())) > limit));
    APMAddErrorValueParameters(parameters, name, limit, withLength ? value : nullptr);
    logInternalEvent(parameters);
}

bool APMIsValidNameFormat(const Value* name) {
    if (!name || !name->isString()) {
        APMMeasurement::monitor().logWithLevel(2, 18002,
                                               "Cannot check the name. Name is not a string");
        return false;
    }
    const std::string text = *name->asString();
    if (text.empty()) {
        APMMeasurement::monitor().logWithLevel(2, 18003, "Cannot check the name. Name is empty");
        return false;
    }
    return text[0] != '_';
}

bool APMEventNameIsErrorEvent(const std::string& name) {
    if (name.empty()) {
        APMMeasurement::monitor().logWithLevel(2, 18004,
                                               "Cannot check the event name. Name is empty");
        return false;
    }
    return name == "_err";
}

bool APMIsNotErrorEventName(const std::string* name) {
    return !name || *name != "_err";
}

bool APMIsSubscriptionEvent(const std::string& name, const APMEventParameters& parameters) {
    if (name == "_assc" || name == "_assr") return true;
    if (name != "_iap") return false;
    auto it = parameters.find("subscription");
    return it != parameters.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

bool APMIsEcommerceEventName(const std::string& name) {
    return ecommerceEvents().count(name) > 0;
}

bool APMIsItemParameterName(const std::string& name) {
    static const std::set<std::string> names{
        "affiliation",     "coupon",         "creative_name",
        "creative_slot",   "currency",       "discount",
        "index",           "item_id",        "item_brand",
        "item_category",   "item_category2", "item_category3",
        "item_category4",  "item_category5", "item_list_name",
        "item_list_id",    "item_name",      "item_variant",
        "location_id",     "payment_type",   "price",
        "promotion_id",    "promotion_name", "quantity",
        "shipping",        "shipping_tier",  "tax",
        "transaction_id",  "value",          "checkout_step",
        "checkout_option", "item_list",      "item_location_id"};
    return names.count(name) > 0;
}

bool APMIsConversionEventName(const std::string& name) {
    static const std::set<std::string> names{"ecommerce_purchase", "_f", "_iap", "purchase",
                                             "refund"};
    return names.count(name) > 0;
}
