#pragma once
// Protocol-buffer bytes written by hand, for inputs the encoder would never
// make: shared by the codec tests and the decoding benchmark.

#include <cstdint>
#include <vector>

inline void appendVarint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    do {
        const auto low = static_cast<std::uint8_t>(value & 0x7f);
        value >>= 7;
        out.push_back(value ? (low | 0x80) : low);
    } while (value);
}
