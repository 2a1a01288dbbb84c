#include "app/ui/NSColorHex.h"

#include <cstdint>

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::shared_ptr<NSColor> colorFromHex(const std::string& hex, std::optional<float> alpha) {
    std::string digits = !hex.empty() && hex.front() == '#' ? hex.substr(1) : hex;
    if (digits.empty()) return nullptr;
    std::uint32_t v = 0;
    for (char c : digits) {
        int d = digitValue(c);
        if (d < 0) return nullptr;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    auto nibble = [&](int shift) {
        double n = (v >> shift) & 0xF;
        return (n * 16 + n) / 255;
    };
    auto byte = [&](int shift) { return ((v >> shift) & 0xFF) / 255.0; };
    double r, g, b, a = 1;
    switch (digits.size()) {
        case 3:
            r = nibble(8), g = nibble(4), b = nibble(0);
            break;
        case 4:
            r = nibble(12), g = nibble(8), b = nibble(4), a = nibble(0);
            break;
        case 6:
            r = byte(16), g = byte(8), b = byte(0);
            break;
        case 8:
            r = byte(24), g = byte(16), b = byte(8), a = byte(0);
            break;
        default:
            return nullptr;
    }
    if (alpha) a = static_cast<double>(*alpha);
    return NSColor::colorWithRed(r, g, b, a);
}
