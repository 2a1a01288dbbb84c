#pragma once
// Digests, UUID strings and the generator name of the crash reporter's
// records. Ordinary threads only; nothing here keeps state.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// SHA-1 of the bytes as 40 lowercase hex characters; nullopt when the
// digest cannot be computed.
std::optional<std::string> RZRCTRGenerateSHA1HexString(const void* bytes, std::uint32_t length);
std::optional<std::string> RZRCTRHashNSData(const Data& data);
// SHA-256 as 64 lowercase hex characters.
std::optional<std::string> RZRCTRGenerateSHA256HexString(const void* bytes, std::uint32_t length);
std::optional<std::string> RZRCTR256HashNSData(const Data& data);

struct RZRCTRByteRange {
    std::size_t location = 0;
    std::size_t length = 0;
};
// Our data objects are contiguous: the block is called once with the whole
// bytes and the range (0, length).
void RZRCTREnumerateByteRangesOfNSDataUsingBlock(
    const Data& data,
    const std::function<void(const std::uint8_t* bytes, RZRCTRByteRange range, bool* stop)>& block);

// A new random UUID, canonical form: 36 uppercase characters with dashes.
std::string RZRCTRGenerateUUID();
// The 16 bytes as 32 lowercase hex characters, no dashes.
std::string RZRCTRUUIDToNSString(const std::uint8_t* uuid);

// "Crashtrace macOS SDK/<SDK version>".
std::string RZRCTRSDKGeneratorName();
std::string RZRCTRSDKVersion();
