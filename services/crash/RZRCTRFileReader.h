#pragma once
// Reading crash record files back, and the hex text helpers of the record
// format. Ordinary threads only.

#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"
#include "services/crash/RZRCTRRecordText.h"

// Maps one parsed line; nullopt drops it.
using RZRCTRFileLineMap = std::function<std::optional<Value>(const Value& line)>;

// The objects of the file's lines, in file order. Lines that are not JSON
// (the empty last line included) or not UTF-8 are skipped. nullopt when the
// path is null or the file cannot be read; the file is then deleted when
// `removeOnFailure`.
std::optional<Array> RZRCTRFileReadSections(const char* path, bool removeOnFailure,
                                            const RZRCTRFileLineMap& map = nullptr);

// Two lowercase hex digits per byte.
std::optional<std::string> RZRCTRFileHexEncodeString(const char* text);
// Pairs of hex digits back into bytes, up to the first pair that is not hex;
// nullopt when the bytes are not UTF-8.
std::optional<std::string> RZRCTRFileHexDecodeString(const char* text);
std::optional<std::string> RZRCTRNSDataToNSString(const Data& data);
