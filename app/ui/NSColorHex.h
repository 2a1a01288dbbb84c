#pragma once
// Colours from hexadecimal text: "#RGB", "#RGBA", "#RRGGBB" or "#RRGGBBAA"
// (the "#" is optional). Only hexadecimal digits are accepted: a sign, a
// blank or any other character gives no colour.

#include <memory>
#include <optional>
#include <string>

#include "platform/appkit/NSColor.h"

// A given alpha replaces any alpha of the text. Null when the text is not
// accepted.
std::shared_ptr<NSColor> colorFromHex(const std::string& hex,
                                      std::optional<float> alpha = std::nullopt);
