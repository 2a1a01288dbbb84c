#pragma once
// The number text of a filter's comparison values read as a double, for
// comparisons against double values: an optional sign ("+" or "-"), digits
// with an optional decimal point, at least one digit ("+5", "-.5", "7.").
// Nothing else is a number here: no exponent, no spaces, no grouping, no
// words such as "inf". Pure; any thread.

#include <optional>
#include <string_view>

// Nullopt for text that is not such a number or whose magnitude is beyond
// the double range.
std::optional<double> APMFilterDoubleFromText(std::string_view text);
