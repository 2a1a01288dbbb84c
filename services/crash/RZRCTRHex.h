#pragma once
// Lowercase hex encoding used inside crash handlers.
//
// Crash-time code: nothing here allocates, takes a lock, uses stdio or logs.

#include <cstddef>
#include <cstdint>

// Writes the two lowercase hex digits of `byte` into output[0..1]; nothing
// without an output.
void RZRCTRHexFromByte(std::uint8_t byte, char* output);

// Zeroes 2 * length + 1 bytes of output, then writes two lowercase hex
// digits per byte, high nibble first. The output stays NUL-terminated.
void RZRCTRSafeHexToString(const std::uint8_t* bytes, std::size_t length, char* output);
