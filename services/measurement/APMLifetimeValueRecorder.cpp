#include "services/measurement/APMLifetimeValueRecorder.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "platform/dispatch/Clock.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMDecimalNumber.h"
#include "services/measurement/APMEvent.h"
#include "services/measurement/APMExtensions.h"
#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

// 2^63: the first double above every signed 64-bit integer.
constexpr double kTwoTo63 = 9223372036854775808.0;

APMMonitor& monitor() {
    return APMMeasurement::monitor();
}

bool fitsInt64(double value) {
    return std::isfinite(value) && value >= -kTwoTo63 && value < kTwoTo63;
}

// Magnitude digits and sign to a signed 64-bit integer, rounding half away
// from zero on `roundingDigit`; nullopt when it does not fit.
std::optional<int64_t> fromDigits(bool negative, const std::string& digits, char roundingDigit) {
    unsigned __int128 magnitude = 0;
    for (char c : digits) {
        magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
        if (magnitude > (static_cast<unsigned __int128>(1) << 64)) return std::nullopt;
    }
    if (roundingDigit >= '5') ++magnitude;
    const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 63;
    if (negative ? magnitude > limit : magnitude >= limit) return std::nullopt;
    return negative ? static_cast<int64_t>(-static_cast<__int128>(magnitude))
                    : static_cast<int64_t>(magnitude);
}

// Currency units to millionths, exactly on the decimal value of the
// amount (not on its binary product with a million).
std::optional<int64_t> microsFromUnits(double units) {
    if (!std::isfinite(units)) return std::nullopt;
    std::string text = APMDecimalNumber::fromDouble(units).stringValue();
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.erase(0, 1);
    const auto point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    fraction.resize(std::max<std::size_t>(fraction.size(), 7), '0');
    return fromDigits(negative, whole + fraction.substr(0, 6), fraction[6]);
}

std::optional<int64_t> microsFromUnits(int64_t units) {
    int64_t micros = 0;
    if (__builtin_mul_overflow(units, int64_t{1000000}, &micros)) return std::nullopt;
    return micros;
}

void logOutOfBounds(const APMValue& amount) {
    monitor().logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds",
                           APMMonitorContext(amount.object()));
}

// The change in millionths; nullopt (logged) when out of range.
std::optional<int64_t> deltaInMicros(const APMEvent& event, const APMValue& amount) {
    const bool isDouble = amount.isDouble();
    if (event.name() == "_iap") {
        // Already in millionths.
        if (!isDouble) return amount.int64Value();
        const double value = std::trunc(amount.doubleValue());
        if (!fitsInt64(value)) {
            logOutOfBounds(amount);
            return std::nullopt;
        }
        return static_cast<int64_t>(value);
    }
    const auto micros =
        isDouble ? microsFromUnits(amount.doubleValue()) : microsFromUnits(amount.int64Value());
    if (!micros) {
        logOutOfBounds(amount);
        return std::nullopt;
    }
    const int64_t delta = *micros;
    if (event.name() != "refund") return delta;
    // The one value whose negation does not fit.
    if (delta == std::numeric_limits<int64_t>::min()) {
        logOutOfBounds(amount);
        return std::nullopt;
    }
    return -delta;
}

std::string upperCased(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool APMLifetimeValueRecorder::isEcommercePurchaseEvent(const APMEvent& event) {
    const std::string& name = event.name();
    return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool APMLifetimeValueRecorder::isPurchaseEvent(const APMEvent& event) {
    return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool APMLifetimeValueRecorder::recordLifetimeValueToDatabase(APMDatabase& database,
                                                             const APMEvent& event) {
    if (!isPurchaseEvent(event)) return true;
    const auto& parameters = event.parameters();

    auto currencyParameter = parameters.find("currency");
    std::optional<std::string> currency;
    if (currencyParameter != parameters.end()) currency = currencyParameter->second.stringValue();
    if (!currency || apm_UTF32Length(*currency) != 3) {
        monitor().logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                               APMMonitorContext(currencyParameter != parameters.end()
                                                     ? currencyParameter->second.object()
                                                     : Value()));
        return true;
    }

    auto amount = parameters.find("value");
    if (amount == parameters.end() || !(amount->second.isDouble() || amount->second.isInt64())) {
        monitor().logWithLevel(
            1, 22001, "Cannot record transaction with invalid transaction value",
            APMMonitorContext(amount != parameters.end() ? amount->second.object() : Value()));
        return true;
    }
    const auto delta = deltaInMicros(event, amount->second);
    if (!delta) return false;

    const std::string name = kPropertyPrefix + upperCased(*currency);
    NSError error;
    auto existing = database.allLifetimeValueUserAttributes(&error);
    if (!existing) {
        monitor().logWithLevel(1, 22003,
                               "Failed to query all Lifetime Value User properties. Error",
                               APMMonitorContext(error));
        return false;
    }

    int64_t total = *delta;
    bool found = false;
    for (const APMUserAttribute& attribute : *existing) {
        if (attribute.name() != name) continue;
        found = true;
        // A total that is not a count of millionths starts again.
        if (!attribute.value().isInt64()) break;
        // A total past the 64-bit range stays at its limit: wrapping would
        // turn a large spend negative, and refusing would lose the purchase.
        if (__builtin_add_overflow(attribute.value().int64Value(), *delta, &total))
            total = *delta > 0 ? std::numeric_limits<int64_t>::max()
                               : std::numeric_limits<int64_t>::min();
        break;
    }

    auto property = APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(total),
                                                     sim::wallClockSeconds());
    if (!property) {
        monitor().logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                               APMMonitorContext(currencyParameter->second.object()));
        return true;
    }

    const int maxCurrencies = APMMeasurement::remoteConfig()->maxTrackedCurrencies();
    if (!found && !existing->empty() && static_cast<int64_t>(existing->size()) >= maxCurrencies) {
        const std::string& oldest = existing->back().name();
        if (!database.deleteUserAttributeWithName(oldest, &error)) {
            monitor().logWithLevel(1, 22004,
                                   "Unable to delete Lifetime Value User property. Name, error",
                                   APMMonitorContext(Value(oldest)), APMMonitorContext(error));
            return false;
        }
    }

    if (!database.updateUserAttribute(*property, &error)) {
        monitor().logWithLevel(
            1, 22005, "Unable to upsert Lifetime Value User Attribute in database. Name, error",
            APMMonitorContext(Value(name)), APMMonitorContext(error));
        return false;
    }
    monitor().logWithLevel(7, 22006, "Lifetime value has been updated in database",
                           APMMonitorContext(Value(name)),
                           APMMonitorContext(Value(static_cast<long long>(total))));
    return true;
}
