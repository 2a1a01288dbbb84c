#pragma once
// The text level of record files, shared by the reader and kept free of the
// object model: line splitting, UTF-8 checks and hex decoding.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Whether the bytes are well-formed UTF-8.
bool RZRCTRIsValidUTF8(std::string_view bytes);

// Calls the block with each line (without its line feed) that is not empty
// and is valid UTF-8, in order. A line torn by a crash may end inside a
// character; it is dropped alone rather than taking the other lines with it.
void RZRCTRRecordForEachLine(std::string_view bytes,
                             const std::function<void(std::string_view line)>& block);

// Pairs of hex digits back into bytes, up to the first pair that is not hex;
// nullopt for null or when the bytes are not UTF-8.
std::optional<std::string> RZRCTRRecordHexDecode(const char* text);
