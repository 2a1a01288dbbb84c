#pragma once
// Audience filter evaluation: validation of an audience definition before it
// is saved, and the evaluation of one event or property filter down to its
// string and number comparisons. Pure computations over their arguments plus
// monitor lines; any thread.
//
// Results are three-valued: true, false, or nullopt when the filter could
// not be evaluated (the caller then leaves the filter's stored bits as they
// were). Every nullopt is preceded by a monitor line saying why.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/foundation/Error.h"
#include "services/measurement/APMDecimalNumber.h"
#include "services/measurement/APMEvent.h"
#include "services/measurement/APMEventAggregates.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/APMValue.h"

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

// String match types and number comparison types of the filter messages.
enum APMStringMatchType : std::int32_t {
    APMStringMatchTypeUnknown = 0,
    APMStringMatchTypeRegex = 1,
    APMStringMatchTypeBeginsWith = 2,
    APMStringMatchTypeEndsWith = 3,
    APMStringMatchTypeContains = 4,
    APMStringMatchTypeExact = 5,
    APMStringMatchTypeInList = 6,
};
enum APMNumberComparisonType : std::int32_t {
    APMNumberComparisonTypeUnknown = 0,
    APMNumberComparisonTypeLessThan = 1,
    APMNumberComparisonTypeGreaterThan = 2,
    APMNumberComparisonTypeEqual = 3,
    APMNumberComparisonTypeBetween = 4,
};

// One number filter's parsed comparison values.
class APMAudienceComparisonValues {
  public:
    bool valid() const { return valid_; }
    void setValid(bool valid) { valid_ = valid; }
    const std::optional<APMDecimalNumber>& comparisonValue() const { return comparisonValue_; }
    void setComparisonValue(std::optional<APMDecimalNumber> v) { comparisonValue_ = std::move(v); }
    const std::optional<APMDecimalNumber>& maxComparisonValue() const {
        return maxComparisonValue_;
    }
    void setMaxComparisonValue(std::optional<APMDecimalNumber> v) {
        maxComparisonValue_ = std::move(v);
    }
    const std::optional<APMDecimalNumber>& minComparisonValue() const {
        return minComparisonValue_;
    }
    void setMinComparisonValue(std::optional<APMDecimalNumber> v) {
        minComparisonValue_ = std::move(v);
    }

  private:
    bool valid_ = false;
    std::optional<APMDecimalNumber> comparisonValue_;
    std::optional<APMDecimalNumber> maxComparisonValue_;
    std::optional<APMDecimalNumber> minComparisonValue_;
};

// A compiled regular expression of a string filter.
using APMCompiledRegex = std::shared_ptr<const icu::RegexPattern>;

// The ICU matching budget of a server-supplied regular expression, in ICU's
// time units (counted match steps, not wall time). A search that exceeds it
// answers nullopt instead of holding the worker queue.
inline constexpr std::int32_t kAPMRegexTimeLimit = 300;

// The matching work all server-supplied regular expressions may take within
// a scope: one event's evaluation, one bundling pass. Same units as above;
// a search costs what ICU counted plus one, so a flood of cheap searches is
// bounded too. Scopes nest on a thread: a search may use what every open
// scope has left and is charged to all. Once a scope is spent, its searches
// answer no match, logged once per scope.
inline constexpr std::int32_t kAPMRegexBudgetPerEvent = 2000;
inline constexpr std::int32_t kAPMRegexBudgetPerBundlingPass = 20000;

class APMRegexBudgetScope {
  public:
    explicit APMRegexBudgetScope(std::int32_t units);
    ~APMRegexBudgetScope();
    APMRegexBudgetScope(const APMRegexBudgetScope&) = delete;
    APMRegexBudgetScope& operator=(const APMRegexBudgetScope&) = delete;

    std::int32_t remaining() const { return remaining_; }
    // The units every open scope on this thread still allows; nullopt when
    // no scope is open.
    static std::optional<std::int32_t> available();
    // Charges every open scope; logs for each scope this spends first.
    static void charge(std::int32_t units);

  private:
    const std::int32_t units_;
    std::int32_t remaining_;
    bool logged_ = false;
    APMRegexBudgetScope* outer_;
};

// Whether the audience may be saved; fills the error (codes 9, 10, 11) when
// not. `acceptedAudienceIDs` is not changed: the caller adds the ID after a
// successful validation.
bool APMValidateAudience(const APMPBAudience& audience,
                         const std::set<std::int32_t>& acceptedAudienceIDs, NSError* error);

std::optional<bool> APMEvaluateEventFilter(const APMPBEventFilter* filter,
                                           const std::string& eventName,
                                           const APMEventParameters& parameters,
                                           const std::optional<APMEventAggregates>& aggregates);
std::optional<bool> APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                              const std::optional<APMUserAttribute>& property);
std::optional<bool> APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value);

bool APMIsValidNumberFilter(const APMPBNumberFilter& filter);
std::optional<bool> APMEvaluateNumberFilterWithDouble(const APMPBNumberFilter& filter,
                                                      double value);
std::optional<bool> APMEvaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter,
                                                       const APMDecimalNumber& value);
std::optional<bool> APMEvaluateNumberFilterWithInt64(const APMPBNumberFilter& filter,
                                                     std::int64_t value);

// `compiled`, when given, receives the compiled expression of a regular
// expression filter.
bool APMIsValidStringFilter(const APMPBStringFilter& filter, APMCompiledRegex* compiled = nullptr);
std::optional<bool> APMEvaluateStringFilter(const APMPBStringFilter& filter,
                                            const std::optional<std::string>& string);

// Public name of a reserved event parameter to its internal short name;
// built once.
const std::map<std::string, std::string>& APMParameterNameAliases();
