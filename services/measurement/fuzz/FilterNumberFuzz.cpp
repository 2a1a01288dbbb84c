// The number text of filter comparisons: reading never fails hard, and text
// that reads as a double is plain decimal text that reads as the same
// number, to double precision, as an exact decimal.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/measurement/APMDecimalNumber.h"
#include "services/measurement/APMFilterNumberText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto value = APMFilterDoubleFromText(text);
    if (!value) return 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool sign = c == '+' || c == '-';
        if (!(sign && i == 0) && c != '.' && (c < '0' || c > '9')) std::abort();
    }
    if (!std::isfinite(*value)) std::abort();
    const APMDecimalNumber exact = APMDecimalNumber::fromString(text);
    if (exact.isNaN()) std::abort();
    const double other = exact.doubleValue();
    if (std::fabs(other - *value) > 1e-12 * std::fabs(*value) + 1e-300) std::abort();
    return 0;
}
