#include "services/measurement/APMFilterNumberText.h"

#include <charconv>
#include <system_error>

std::optional<double> APMFilterDoubleFromText(std::string_view text) {
    std::string_view body = text;
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    bool digit = false, point = false;
    for (char c : body) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (!digit) return std::nullopt;
    double value = 0;
    const auto [end, ec] =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::fixed);
    if (ec != std::errc() || end != body.data() + body.size()) return std::nullopt;
    return negative ? -value : value;
}
