// Decimal numbers read from configuration text: reading never fails hard,
// and the canonical text of a number reads back as the same number and is
// itself canonical.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/measurement/APMDecimalNumber.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const APMDecimalNumber number = APMDecimalNumber::fromString(text);
    if (number.isNaN()) return 0;
    const std::string canonical = number.stringValue();
    const APMDecimalNumber again = APMDecimalNumber::fromString(canonical);
    if (again.compare(number) != 0 || again.stringValue() != canonical) std::abort();
    if (number.isNegative() != (canonical[0] == '-')) std::abort();
    (void)number.int64Value();
    (void)number.doubleValue();
    return 0;
}
