#include "services/measurement/APMFilterEvaluation.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "services/measurement/APMErrors.h"
#include "services/measurement/APMFilterNumberText.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"
#include "services/measurement/APMNumericUtil.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

// Field IDs of the filter messages.
namespace audience_field {
constexpr std::int32_t kID = 0, kPropertyFilters = 1, kEventFilters = 2;
}
namespace event_filter_field {
constexpr std::int32_t kFilterID = 0, kEventName = 1, kParameterFilters = 2, kCountFilter = 4,
                       kSessionScoped = 7;
}
namespace property_filter_field {
constexpr std::int32_t kFilterID = 0, kPropertyName = 1, kFilter = 2;
}
namespace filter_field {
constexpr std::int32_t kStringFilter = 0, kNumberFilter = 1, kComplement = 2, kParameterName = 3;
}
namespace string_filter_field {
constexpr std::int32_t kMatchType = 0, kExpression = 1, kCaseSensitive = 2, kExpressionList = 3;
}
namespace number_filter_field {
constexpr std::int32_t kComparisonType = 0, kMatchAsFloat = 1, kComparisonValue = 2, kMin = 3,
                       kMax = 4;
}

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

APMMonitorContext describe(const APMPBMessage& message) {
    return APMMonitorContext(Value(message.description()));
}

std::optional<std::string> nonEmptyString(const APMPBMessage& message, std::int32_t fieldID) {
    if (!APMPBHasField(&message, fieldID)) return std::nullopt;
    auto text = APMPBGetString(&message, fieldID);
    if (!text || text->empty()) return std::nullopt;
    return text;
}

template <class T>
std::vector<std::shared_ptr<T>> messages(const APMPBMessage& message, std::int32_t fieldID) {
    std::vector<std::shared_ptr<T>> out;
    auto array = APMPBGetArray(&message, fieldID, T::classObject());
    if (!array) return out;
    for (const auto& element : *array) {
        if (element.message()) out.push_back(std::static_pointer_cast<T>(element.message()));
    }
    return out;
}

bool presentAndSet(const APMPBMessage& message, std::int32_t fieldID) {
    return APMPBHasField(&message, fieldID) && APMPBGetBool(&message, fieldID);
}

bool fail(NSError* error, long long code, const std::string& description,
          const APMPBMessage& context) {
    if (error) *error = apm_errorWithCode(code, description, context.description());
    return false;
}

// The comparison strings a number filter's type needs, read as exact
// decimals; invalid (logged) when one does not convert.
APMAudienceComparisonValues comparisonValues(const APMPBNumberFilter& filter) {
    APMAudienceComparisonValues values;
    values.setValid(true);
    auto read = [&](std::int32_t fieldID, long long code, const char* text) {
        std::optional<APMDecimalNumber> number;
        if (auto string = APMPBGetString(&filter, fieldID))
            number = APMDecimalNumberFromString(*string);
        if (!number) {
            monitor().logWithLevel(1, code, text, describe(filter));
            values.setValid(false);
        }
        return number;
    };
    if (APMPBGetInt32(&filter, number_filter_field::kComparisonType) ==
        APMNumberComparisonTypeBetween) {
        values.setMinComparisonValue(read(number_filter_field::kMin, 8004,
                                          "Number filter min comparison value is not a number"));
        values.setMaxComparisonValue(read(number_filter_field::kMax, 8005,
                                          "Number filter max comparison value is not a number"));
    } else {
        values.setComparisonValue(read(number_filter_field::kComparisonValue, 8002,
                                       "Number filter comparison value is not a number"));
    }
    return values;
}

// A comparison string as a double.
std::optional<double> parseDouble(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return APMFilterDoubleFromText(*text);
}

double stepDown(double value, int steps) {
    for (int i = 0; i < steps; ++i)
        value = std::nextafter(value, -std::numeric_limits<double>::infinity());
    return value;
}

double stepUp(double value, int steps) {
    for (int i = 0; i < steps; ++i)
        value = std::nextafter(value, std::numeric_limits<double>::infinity());
    return value;
}

icu::UnicodeString folded(const std::string& text, bool caseSensitive) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(text);
    if (!caseSensitive) s.foldCase(U_FOLD_CASE_DEFAULT);
    return s;
}

// Exact and in-list comparisons: equal after folding and of equal length.
bool sameText(const std::string& value, const std::string& expression, bool caseSensitive) {
    if (caseSensitive) return value == expression;
    if (icu::UnicodeString::fromUTF8(value).length() !=
        icu::UnicodeString::fromUTF8(expression).length()) {
        return false;
    }
    return folded(value, false) == folded(expression, false);
}

// ICU reports each whole time unit a match has used.
UBool countUnits(const void* context, int32_t steps) {
    *static_cast<std::int32_t*>(const_cast<void*>(context)) = steps;
    return true;
}

// A search anywhere in the string, within the time limit and what the open
// budget scopes allow; a spent budget answers no match.
std::optional<bool> regexSearch(const icu::RegexPattern& pattern, const std::string& string,
                                const APMPBStringFilter& filter) {
    std::int32_t limit = kAPMRegexTimeLimit;
    if (auto available = APMRegexBudgetScope::available()) {
        if (*available <= 0) {
            APMRegexBudgetScope::charge(0);
            return false;
        }
        limit = std::min(limit, *available);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(string);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern.matcher(input, status));
    if (U_FAILURE(status) || !matcher) {
        monitor().logWithLevel(1, 9008,
                               "Parsed regex is nil. Audience filter will not be evaluated",
                               describe(filter));
        return std::nullopt;
    }
    matcher->setTimeLimit(limit, status);
    std::int32_t used = 0;
    matcher->setMatchCallback(countUnits, &used, status);
    const bool found = matcher->find(status);
    APMRegexBudgetScope::charge(used + 1);
    if (status == U_REGEX_TIME_OUT && limit < kAPMRegexTimeLimit) return false;
    if (U_FAILURE(status)) {
        monitor().logWithLevel(1, 9009,
                               "Regular expression evaluation did not finish. Audience filter will "
                               "not be evaluated. Filter, error",
                               describe(filter), Value(u_errorName(status)));
        return std::nullopt;
    }
    return found;
}

}  // namespace

namespace {
thread_local APMRegexBudgetScope* innermostRegexBudget = nullptr;
}  // namespace

APMRegexBudgetScope::APMRegexBudgetScope(std::int32_t units)
    : units_(units), remaining_(units), outer_(innermostRegexBudget) {
    innermostRegexBudget = this;
}

APMRegexBudgetScope::~APMRegexBudgetScope() {
    innermostRegexBudget = outer_;
}

std::optional<std::int32_t> APMRegexBudgetScope::available() {
    std::optional<std::int32_t> least;
    for (auto* scope = innermostRegexBudget; scope; scope = scope->outer_)
        least = std::min(least.value_or(scope->remaining_), scope->remaining_);
    return least;
}

void APMRegexBudgetScope::charge(std::int32_t units) {
    for (auto* scope = innermostRegexBudget; scope; scope = scope->outer_) {
        scope->remaining_ = std::max(0, scope->remaining_ - units);
        if (scope->remaining_ > 0 || scope->logged_) continue;
        scope->logged_ = true;
        monitor().logWithLevel(1, 9012,
                               "Regular expression budget spent. Further regular expression "
                               "filters count as no match. Budget",
                               Value(static_cast<long long>(scope->units_)));
    }
}

const std::map<std::string, std::string>& APMParameterNameAliases() {
    static const std::map<std::string, std::string> table{
        {"ad_event_id", "_aeid"},
        {"ad_unit_id", "_ai"},
        {"app_in_background", "_aib"},
        {"deferred_analytics_collection", "_dac"},
        {"engagement_time_msec", "_et"},
        {"exposure_time", "_xt"},
        {"reruzera_conversion", "_c"},
        {"reruzera_debug", "_dbg"},
        {"reruzera_error", "_err"},
        {"reruzera_error_length", "_el"},
        {"reruzera_error_value", "_ev"},
        {"reruzera_event_origin", "_o"},
        {"reruzera_feature_rollouts", "_ffr"},
        {"reruzera_previous_class", "_pc"},
        {"reruzera_previous_id", "_pi"},
        {"reruzera_previous_screen", "_pn"},
        {"reruzera_realtime", "_r"},
        {"reruzera_screen", "_sn"},
        {"reruzera_screen_class", "_sc"},
        {"reruzera_screen_id", "_si"},
        {"za_conversion", "_c"},
        {"za_debug", "_dbg"},
        {"za_dedupe_id", "_did"},
        {"za_error", "_err"},
        {"za_error_length", "_el"},
        {"za_error_value", "_ev"},
        {"za_event_id", "_eid"},
        {"za_event_name", "_en"},
        {"za_event_origin", "_o"},
        {"za_extra_params_ct", "_epc"},
        {"za_group_name", "_gn"},
        {"za_index", "_i"},
        {"za_list_length", "_ll"},
        {"za_previous_class", "_pc"},
        {"za_previous_id", "_pi"},
        {"za_previous_screen", "_pn"},
        {"za_realtime", "_r"},
        {"za_screen", "_sn"},
        {"za_screen_class", "_sc"},
        {"za_screen_id", "_si"},
        {"message_id", "_nmid"},
        {"message_name", "_nmn"},
        {"message_time", "_nmt"},
        {"message_tracking_id", "_nmtid"},
        {"message_type", "_nmc"},
        {"message_device_time", "_ndt"},
        {"previous_app_version", "_pv"},
        {"previous_first_open_count", "_pfo"},
        {"previous_ruv_app_id", "_pruv"},
        {"previous_os_version", "_po"},
        {"session_id", "_sid"},
        {"session_number", "_sno"},
        {"topic", "_nt"},
        {"update_with_analytics", "_uwa"},
    };
    return table;
}

// ---- validation ----

bool APMIsValidNumberFilter(const APMPBNumberFilter& filter) {
    using namespace number_filter_field;
    if (!APMPBHasField(&filter, kComparisonType)) {
        monitor().logWithLevel(1, 8006, "Number filter has no comparison type", describe(filter));
        return false;
    }
    auto decimalAt = [&](std::int32_t fieldID) {
        auto text = APMPBGetString(&filter, fieldID);
        return APMPBHasField(&filter, fieldID) && text && APMIsDecimalNumberString(*text);
    };
    switch (APMPBGetInt32(&filter, kComparisonType)) {
        case APMNumberComparisonTypeLessThan:
        case APMNumberComparisonTypeGreaterThan:
        case APMNumberComparisonTypeEqual:
            if (!decimalAt(kComparisonValue)) {
                monitor().logWithLevel(
                    1, 8008, "Numeric filter does not have a valid comparison value. Filter",
                    describe(filter));
                return false;
            }
            return true;
        case APMNumberComparisonTypeBetween: {
            bool valid = true;
            if (!decimalAt(kMin)) {
                monitor().logWithLevel(
                    1, 8009, "Numeric filter does not have a valid min comparison value. Filter",
                    describe(filter));
                valid = false;
            }
            if (!decimalAt(kMax)) {
                monitor().logWithLevel(
                    1, 8010, "Numeric filter does not have a valid max comparison value. Filter",
                    describe(filter));
                valid = false;
            }
            return valid;
        }
        case APMNumberComparisonTypeUnknown:
            monitor().logWithLevel(1, 8007, "Number filter has unknown comparison type",
                                   describe(filter));
            return false;
        default:
            monitor().logWithLevel(1, 8011, "Number filter has a real unknown comparison type",
                                   describe(filter));
            return false;
    }
}

bool APMIsValidStringFilter(const APMPBStringFilter& filter, APMCompiledRegex* compiled) {
    using namespace string_filter_field;
    if (!APMPBHasField(&filter, kMatchType)) {
        monitor().logWithLevel(1, 9000, "String filter has no match type", describe(filter));
        return false;
    }
    const std::int32_t type = APMPBGetInt32(&filter, kMatchType);
    if (type == APMStringMatchTypeInList) {
        auto list = APMPBGetArray(&filter, kExpressionList, kAPMPBStringClass);
        if (!list || list->empty()) {
            monitor().logWithLevel(1, 9003, "String filter has no expression list",
                                   describe(filter));
            return false;
        }
        return true;
    }
    if (type == APMStringMatchTypeUnknown) {
        monitor().logWithLevel(1, 9001, "String filter has unknown match type", describe(filter));
        return false;
    }
    auto expression =
        APMPBHasField(&filter, kExpression) ? APMPBGetString(&filter, kExpression) : std::nullopt;
    if (!expression) {
        monitor().logWithLevel(1, 9002, "String filter has no expression", describe(filter));
        return false;
    }
    if (type != APMStringMatchTypeRegex) return true;
    const bool caseSensitive = presentAndSet(filter, kCaseSensitive);
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::shared_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(*expression), caseSensitive ? 0 : UREGEX_CASE_INSENSITIVE,
        parseError, status));
    if (U_FAILURE(status) || !pattern) {
        monitor().logWithLevel(1, 9004, "Unable to parse regular expression", describe(filter),
                               Value(u_errorName(status)));
        return false;
    }
    if (compiled) *compiled = std::move(pattern);
    return true;
}

bool APMValidateAudience(const APMPBAudience& audience,
                         const std::set<std::int32_t>& acceptedAudienceIDs, NSError* error) {
    auto config = APMMeasurement::remoteConfig();
    const int maxFilters = config->maxFiltersPerAudience();
    const int maxParameters = config->maxParametersPerFilter();

    if (!APMPBHasField(&audience, audience_field::kID)) {
        return fail(error, 9, "Missing audience ID", audience);
    }
    const std::int32_t audienceID = APMPBGetInt32(&audience, audience_field::kID);
    if (audienceID < 0) return fail(error, 9, "Audience ID is negative", audience);
    if (acceptedAudienceIDs.count(audienceID)) {
        return fail(error, 9, "Duplicate audience ID", audience);
    }
    if (!APMPBHasField(&audience, audience_field::kEventFilters) &&
        !APMPBHasField(&audience, audience_field::kPropertyFilters)) {
        return fail(error, 9, "Audience missing filters arrays", audience);
    }
    const auto eventFilters = messages<APMPBEventFilter>(audience, audience_field::kEventFilters);
    const auto propertyFilters =
        messages<APMPBPropertyFilter>(audience, audience_field::kPropertyFilters);
    const std::size_t filterCount = eventFilters.size() + propertyFilters.size();
    if (filterCount < 1 || filterCount > static_cast<std::size_t>(maxFilters)) {
        return fail(error, 9, "Audience filter count out of range", audience);
    }

    std::set<std::int32_t> filterIDs;
    for (const auto& filter : eventFilters) {
        using namespace event_filter_field;
        if (!nonEmptyString(*filter, kEventName)) {
            return fail(error, 10, "Event filter missing event name", *filter);
        }
        if (!APMPBHasField(filter.get(), kFilterID)) {
            return fail(error, 10, "Missing event filter ID", *filter);
        }
        const std::int32_t filterID = APMPBGetInt32(filter.get(), kFilterID);
        if (filterID < 0 || filterID >= maxFilters) {
            return fail(error, 10, "Event filter ID is out of range", *filter);
        }
        if (!filterIDs.insert(filterID).second) {
            return fail(error, 10, "Duplicate event filter ID", *filter);
        }
        if (APMPBHasField(filter.get(), kCountFilter)) {
            auto count = APMPBGetMessage<APMPBNumberFilter>(filter.get(), kCountFilter);
            if (count && presentAndSet(*count, number_filter_field::kMatchAsFloat)) {
                return fail(error, 10, "Event filter has float event count filter", *filter);
            }
            if (!count || !APMIsValidNumberFilter(*count)) {
                return fail(error, 10, "Event filter has invalid event count filter", *filter);
            }
        }
        const auto parameterFilters = messages<APMPBFilter>(*filter, kParameterFilters);
        if (parameterFilters.size() > static_cast<std::size_t>(maxParameters)) {
            return fail(error, 10, "Event filter parameters filters count out of range", *filter);
        }
        for (const auto& parameter : parameterFilters) {
            if (!nonEmptyString(*parameter, filter_field::kParameterName)) {
                return fail(error, 10, "Event filter missing parameter name", *filter);
            }
            const bool hasNumber = APMPBHasField(parameter.get(), filter_field::kNumberFilter);
            const bool hasString = APMPBHasField(parameter.get(), filter_field::kStringFilter);
            if (hasNumber == hasString) {
                return fail(error, 10,
                            "Event filter must have exactly one of number or string filter",
                            *filter);
            }
            if (hasNumber) {
                auto number = APMPBGetMessage<APMPBNumberFilter>(parameter.get(),
                                                                 filter_field::kNumberFilter);
                if (!number || !APMIsValidNumberFilter(*number)) {
                    return fail(error, 10, "Event filter has invalid number filter", *filter);
                }
            } else {
                auto string = APMPBGetMessage<APMPBStringFilter>(parameter.get(),
                                                                 filter_field::kStringFilter);
                if (!string || !APMIsValidStringFilter(*string)) {
                    return fail(error, 10, "Event filter has invalid string filter", *filter);
                }
            }
        }
    }

    for (const auto& filter : propertyFilters) {
        using namespace property_filter_field;
        if (!nonEmptyString(*filter, kPropertyName)) {
            return fail(error, 11, "Property filter missing property name", *filter);
        }
        if (!APMPBHasField(filter.get(), kFilterID)) {
            return fail(error, 11, "Missing property filter ID", *filter);
        }
        const std::int32_t filterID = APMPBGetInt32(filter.get(), kFilterID);
        if (filterID < 0 || filterID >= maxFilters) {
            return fail(error, 11, "Property filter ID is out of range", *filter);
        }
        if (!filterIDs.insert(filterID).second) {
            return fail(error, 11, "Duplicate property filter ID", *filter);
        }
        auto inner = APMPBHasField(filter.get(), kFilter)
                         ? APMPBGetMessage<APMPBFilter>(filter.get(), kFilter)
                         : nullptr;
        if (!inner) return fail(error, 11, "Property filter has no filter", *filter);
        const bool hasNumber = APMPBHasField(inner.get(), filter_field::kNumberFilter);
        const bool hasString = APMPBHasField(inner.get(), filter_field::kStringFilter);
        if (hasNumber == hasString) {
            return fail(error, 11,
                        "Property filter must have exactly one of number or string filter",
                        *filter);
        }
        if (hasNumber) {
            auto number =
                APMPBGetMessage<APMPBNumberFilter>(inner.get(), filter_field::kNumberFilter);
            if (!number || !APMIsValidNumberFilter(*number)) {
                return fail(error, 11, "Property filter has invalid number filter", *filter);
            }
        } else {
            auto string =
                APMPBGetMessage<APMPBStringFilter>(inner.get(), filter_field::kStringFilter);
            if (!string || !APMIsValidStringFilter(*string)) {
                return fail(error, 11, "Property filter has invalid string filter", *filter);
            }
        }
    }
    return true;
}

// ---- comparisons ----

std::optional<bool> APMEvaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter,
                                                       const APMDecimalNumber& value) {
    if (!APMIsValidNumberFilter(filter)) return std::nullopt;
    const APMAudienceComparisonValues values = comparisonValues(filter);
    if (!values.valid()) {
        monitor().logWithLevel(1, 8015,
                               "Parsed decimal number comparison values are not valid. Audience "
                               "filter will not be evaluated. Filter",
                               describe(filter));
        return std::nullopt;
    }
    auto compare = [&](const std::optional<APMDecimalNumber>& other) {
        return other ? value.compare(*other) : std::nullopt;
    };
    std::optional<int> order, low, high;
    switch (APMPBGetInt32(&filter, number_filter_field::kComparisonType)) {
        case APMNumberComparisonTypeLessThan:
            order = compare(values.comparisonValue());
            if (order) return *order < 0;
            break;
        case APMNumberComparisonTypeGreaterThan:
            order = compare(values.comparisonValue());
            if (order) return *order > 0;
            break;
        case APMNumberComparisonTypeEqual:
            order = compare(values.comparisonValue());
            if (order) return *order == 0;
            break;
        case APMNumberComparisonTypeBetween:
            low = compare(values.minComparisonValue());
            high = compare(values.maxComparisonValue());
            if (low && high) return *low >= 0 && *high <= 0;
            break;
        default:
            monitor().logWithLevel(1, 8016,
                                   "Validated decimal number for number filter has unknown "
                                   "comparison type. Audience filter will not be evaluated",
                                   describe(filter));
            return std::nullopt;
    }
    // Only a value that is not a number gets here.
    monitor().logWithLevel(
        1, 8014, "Number filter is invalid. Audience filter will not be evaluated. Filter",
        describe(filter));
    return std::nullopt;
}

std::optional<bool> APMEvaluateNumberFilterWithInt64(const APMPBNumberFilter& filter,
                                                     std::int64_t value) {
    return APMEvaluateNumberFilterWithDecimal(filter, APMDecimalNumber::fromInt64(value));
}

std::optional<bool> APMEvaluateNumberFilterWithDouble(const APMPBNumberFilter& filter,
                                                      double value) {
    using namespace number_filter_field;
    if (!APMIsValidNumberFilter(filter)) return std::nullopt;
    auto invalid = [&]() -> std::optional<bool> {
        monitor().logWithLevel(1, 8012,
                               "Number filter is invalid, the comparison filter is not valid. "
                               "Audience filter will not be evaluated",
                               describe(filter));
        return std::nullopt;
    };
    const std::int32_t type = APMPBGetInt32(&filter, kComparisonType);
    if (type == APMNumberComparisonTypeBetween) {
        auto low = parseDouble(APMPBGetString(&filter, kMin));
        auto high = parseDouble(APMPBGetString(&filter, kMax));
        if (!low || !high) return invalid();
        return *low <= value && value <= *high;
    }
    auto comparison = parseDouble(APMPBGetString(&filter, kComparisonValue));
    if (!comparison) return invalid();
    switch (type) {
        case APMNumberComparisonTypeLessThan:
            return value < *comparison;
        case APMNumberComparisonTypeGreaterThan:
            return value > *comparison;
        case APMNumberComparisonTypeEqual:
            return stepDown(*comparison, 2) < value && value < stepUp(*comparison, 2);
        default:
            monitor().logWithLevel(1, 8013,
                                   "Validated double number filter has unknown comparison type. "
                                   "Audience filter will not be evaluated",
                                   describe(filter));
            return std::nullopt;
    }
}

std::optional<bool> APMEvaluateStringFilter(const APMPBStringFilter& filter,
                                            const std::optional<std::string>& string) {
    using namespace string_filter_field;
    if (!string) {
        monitor().logWithLevel(1, 9005,
                               "Evaluation string is nil. Audience filter will not be evaluated",
                               describe(filter));
        return std::nullopt;
    }
    APMCompiledRegex regex;
    if (!APMIsValidStringFilter(filter, &regex)) {
        monitor().logWithLevel(1, 9006,
                               "String filter is invalid. Audience filter will not be evaluated",
                               describe(filter));
        return std::nullopt;
    }
    const bool caseSensitive = presentAndSet(filter, kCaseSensitive);
    const std::string expression = APMPBGetString(&filter, kExpression).value_or("");
    switch (APMPBGetInt32(&filter, kMatchType)) {
        case APMStringMatchTypeRegex:
            if (!regex) {
                monitor().logWithLevel(1, 9008,
                                       "Parsed regex is nil. Audience filter will not be evaluated",
                                       describe(filter));
                return std::nullopt;
            }
            return regexSearch(*regex, *string, filter);
        case APMStringMatchTypeBeginsWith:
            return folded(*string, caseSensitive).startsWith(folded(expression, caseSensitive));
        case APMStringMatchTypeEndsWith:
            return folded(*string, caseSensitive).endsWith(folded(expression, caseSensitive));
        case APMStringMatchTypeContains:
            return folded(*string, caseSensitive).indexOf(folded(expression, caseSensitive)) >= 0;
        case APMStringMatchTypeExact:
            return sameText(*string, expression, caseSensitive);
        case APMStringMatchTypeInList: {
            auto list = APMPBGetArray(&filter, kExpressionList, kAPMPBStringClass);
            for (const auto& entry : list.value_or(std::vector<APMPBObject>{})) {
                auto text = entry.value().asString();
                if (text && sameText(*string, *text, caseSensitive)) return true;
            }
            return false;
        }
        case APMStringMatchTypeUnknown:
            monitor().logWithLevel(1, 9007,
                                   "Validated string filter has unknown comparison type. Audience "
                                   "filter will not be evaluated",
                                   describe(filter));
            return std::nullopt;
        default:
            return false;
    }
}

// ---- filters ----

std::optional<bool> APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value) {
    using namespace filter_field;
    const bool hasNumber = APMPBHasField(&filter, kNumberFilter);
    const bool hasString = APMPBHasField(&filter, kStringFilter);
    if (!hasNumber && !hasString) {
        monitor().logWithLevel(
            1, 7000,
            "Filter has neither a number nor string filter. Audience filter will not be evaluated",
            describe(filter));
        return std::nullopt;
    }
    std::optional<bool> outcome;
    if (hasNumber) {
        auto number = APMPBGetMessage<APMPBNumberFilter>(&filter, kNumberFilter);
        if (!number) return std::nullopt;
        if (value.isString()) {
            const std::string text = value.stringValue().value_or("");
            if (!APMIsDecimalNumberString(text)) {
                monitor().logWithLevel(3, 7001,
                                       "String value is not a numeric value. Audience filter will "
                                       "not be evaluated. Value, filter",
                                       Value(text), describe(filter));
                return std::nullopt;
            }
            auto decimal = APMDecimalNumberFromString(text);
            if (!decimal) return std::nullopt;
            outcome = APMEvaluateNumberFilterWithDecimal(*number, *decimal);
        } else if (value.isDouble()) {
            const double d = value.doubleValue();
            if (!std::isfinite(d)) {
                monitor().logWithLevel(
                    3, 7002,
                    "Value is not within double range. Audience filter will not be evaluated",
                    Value(d));
                return std::nullopt;
            }
            outcome = APMEvaluateNumberFilterWithDouble(*number, d);
        } else if (value.isInt64()) {
            outcome = APMEvaluateNumberFilterWithInt64(*number, value.int64Value());
        } else {
            return std::nullopt;
        }
    } else {
        if (!value.isString()) {
            monitor().logWithLevel(3, 7003,
                                   "Value is not a string. Audience filter will not be evaluated",
                                   Value(value.description()), describe(filter));
            return std::nullopt;
        }
        auto string = APMPBGetMessage<APMPBStringFilter>(&filter, kStringFilter);
        if (!string) return std::nullopt;
        outcome = APMEvaluateStringFilter(*string, value.stringValue());
    }
    if (outcome && presentAndSet(filter, kComplement)) return !*outcome;
    return outcome;
}

std::optional<bool> APMEvaluateEventFilter(const APMPBEventFilter* filter,
                                           const std::string& eventName,
                                           const APMEventParameters& parameters,
                                           const std::optional<APMEventAggregates>& aggregates) {
    using namespace event_filter_field;
    if (!filter) {
        monitor().logWithLevel(1, 7004,
                               "Event filter is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (eventName.empty()) {
        monitor().logWithLevel(1, 7005, "Event name is nil. Audience filter will not be evaluated",
                               describe(*filter));
        return std::nullopt;
    }
    auto filterName =
        APMPBHasField(filter, kEventName) ? APMPBGetString(filter, kEventName) : std::nullopt;
    if (!filterName || *filterName != eventName) {
        monitor().logWithLevel(
            1, 7006,
            "Event filter name does not match event name. Audience filter will not be evaluated",
            Value(eventName), describe(*filter));
        return std::nullopt;
    }
    const auto parameterFilters = messages<APMPBFilter>(*filter, kParameterFilters);
    const bool hasCountFilter = APMPBHasField(filter, kCountFilter);
    if (!hasCountFilter && parameterFilters.empty()) return true;

    if (hasCountFilter) {
        if (!aggregates || aggregates->name() != eventName) {
            monitor().logWithLevel(1, 7007,
                                   "Event aggregates name does not match event name. Audience "
                                   "filter will not be evaluated",
                                   Value(aggregates ? aggregates->name() : std::string("(null)")),
                                   Value(eventName), describe(*filter));
            return std::nullopt;
        }
        auto countFilter = APMPBGetMessage<APMPBNumberFilter>(filter, kCountFilter);
        if (!countFilter) return std::nullopt;
        const std::int32_t count = presentAndSet(*filter, kSessionScoped)
                                       ? aggregates->currentSessionCount()
                                       : aggregates->lifetimeCount();
        auto result = APMEvaluateNumberFilterWithInt64(*countFilter, count);
        if (result != true) return result;
    }

    for (const auto& parameterFilter : parameterFilters) {
        auto name = nonEmptyString(*parameterFilter, filter_field::kParameterName);
        if (!name) {
            monitor().logWithLevel(1, 7008,
                                   "Event filter does not have parameter name. Audience filter "
                                   "will not be evaluated",
                                   describe(*filter));
            return std::nullopt;
        }
        auto found = parameters.find(*name);
        if (found == parameters.end()) {
            monitor().logWithLevel(3, 7009,
                                   "Event does not have parameter required by filter. Audience "
                                   "filter will not be evaluated",
                                   Value(*name), describe(*filter));
            return std::nullopt;
        }
        if (found->second.isString() &&
            !APMPBHasField(parameterFilter.get(), filter_field::kStringFilter)) {
            monitor().logWithLevel(3, 7010,
                                   "Event param is a string and the filter does not have a string "
                                   "filter. Audience filter will not be evaluated. Event name, "
                                   "event params, filter",
                                   Value(eventName), Value(found->second.description()),
                                   describe(*filter));
            return std::nullopt;
        }
        auto result = APMEvaluateFilter(*parameterFilter, found->second);
        if (result != true) return result;
    }
    return true;
}

std::optional<bool> APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                              const std::optional<APMUserAttribute>& property) {
    using namespace property_filter_field;
    if (!filter) {
        monitor().logWithLevel(1, 7011,
                               "Property filter is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (!property) {
        monitor().logWithLevel(1, 7012,
                               "User property is nil. Audience filter will not be evaluated",
                               describe(*filter));
        return std::nullopt;
    }
    auto name =
        APMPBHasField(filter, kPropertyName) ? APMPBGetString(filter, kPropertyName) : std::nullopt;
    if (!name || *name != property->name()) {
        monitor().logWithLevel(
            1, 7013,
            "User property name does not match property filter name. Audience filter will not be "
            "evaluated",
            Value(property->name()), describe(*filter));
        return std::nullopt;
    }
    auto inner =
        APMPBHasField(filter, kFilter) ? APMPBGetMessage<APMPBFilter>(filter, kFilter) : nullptr;
    if (!inner) {
        monitor().logWithLevel(
            1, 7014, "Property filter does not have filter. Audience filter will not be evaluated",
            describe(*filter));
        return std::nullopt;
    }
    const APMValue& value = property->value();
    if (!value.isString() && !value.isInt64() && !value.isDouble()) {
        monitor().logWithLevel(
            1, 7015,
            "Unknown user property type. Audience filter will not be evaluated. Property Name",
            Value(property->name()));
        return std::nullopt;
    }
    return APMEvaluateFilter(*inner, value);
}
