#include "services/measurement/APMNumericUtil.h"

#include <sys/random.h>
#include <unicode/regex.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "services/measurement/APMMeasurement.h"

namespace {

constexpr const char* kDecimalPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

bool systemRandomBytes(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t n = getrandom(bytes, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Built once; a failed build is retried by the next call.
std::shared_ptr<const icu::RegexPattern> decimalPattern() {
    static std::mutex mutex;
    static std::shared_ptr<const icu::RegexPattern> pattern;
    std::lock_guard lock(mutex);
    if (pattern) return pattern;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    std::unique_ptr<icu::RegexPattern> built(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(kDecimalPattern),
                                   UREGEX_CASE_INSENSITIVE, parseError, status));
    if (U_FAILURE(status) || !built) {
        APMMeasurement::monitor().logWithLevel(2, 26000,
                                               "Unable to initialize decimal number regexp. Regex, "
                                               "error",
                                               Value(kDecimalPattern), Value(u_errorName(status)));
        return nullptr;
    }
    pattern = std::move(built);
    return pattern;
}

}  // namespace

std::int64_t APMNumericUtil::randomInt64() {
    return randomInt64(systemRandomBytes);
}

std::int64_t APMNumericUtil::randomInt64(const RandomBytes& source) {
    std::int64_t value = 0;
    if (!source(&value, sizeof value)) {
        APMMeasurement::monitor().logWithLevel(5, 26004, "Unable to generate random integer",
                                               Value(std::strerror(errno)));
        return 0;
    }
    return value;
}

bool APMIsDecimalNumberString(const std::string& text) {
    auto pattern = decimalPattern();
    if (!pattern || text.empty()) return false;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString input = icu::UnicodeString::fromUTF8(text);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher) return false;
    const bool matched = matcher->matches(status);
    return U_SUCCESS(status) && matched;
}

std::optional<APMDecimalNumber> APMDecimalNumberFromString(const std::string& text) {
    APMMonitor& monitor = APMMeasurement::monitor();
    if (!APMIsDecimalNumberString(text)) {
        monitor.logWithLevel(2, 26001, "String value does not represent a numeric value. Value",
                             Value(text));
        return std::nullopt;
    }
    const APMDecimalNumber number = APMDecimalNumber::fromString(text);
    if (number.isNaN()) {
        monitor.logWithLevel(
            2, 26002, "Unable to create a NSDecimalNumber from string value. Value", Value(text));
        return std::nullopt;
    }
    std::string normalised = text;
    for (const char* prefix : {"+.", "-.", "."}) {
        if (normalised.rfind(prefix, 0) == 0) {
            normalised.replace(normalised.find('.'), 1, "0.");
            break;
        }
    }
    const std::string magnitude = (number.isNegative() ? number.negated() : number).stringValue();
    if (normalised.find(magnitude) == std::string::npos) {
        monitor.logWithLevel(
            2, 26003,
            "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
            Value(normalised));
        return std::nullopt;
    }
    return number;
}
