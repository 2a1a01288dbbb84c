#pragma once
// Text, digest and query-string helpers of the measurement library: MD5
// fingerprints, lengths counted in Unicode code points (as the event limits
// count them), and dictionaries to URL query strings and back. Stateless;
// safe on any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The 16-byte MD5 digest of the bytes.
Data apm_MD5Data(const Data& data);
// The last eight bytes (all of them when fewer; 0 when empty) read as an
// unsigned big-endian number, returned with the same 64 bits.
int64_t apm_64LeastSignificantBits(const Data& data);
// apm_64LeastSignificantBits of the MD5 digest.
int64_t apm_64LSBMD5(const Data& data);

// The MD5 digest of the UTF-8 text as 32 lower-case hex digits; nullopt when
// the text is not valid UTF-8.
std::optional<std::string> apm_MD5String(const std::string& text);
// The number of code points; an invalid UTF-8 sequence counts as one.
std::size_t apm_UTF32Length(const std::string& text);
// Writes the UTF-32LE encoding from the start, whole code points only, at
// most maxBytes bytes.
void apm_getUTF32Bytes(const std::string& text, uint8_t* buffer, std::size_t maxBytes);
// "+" becomes a blank, then percent escapes are decoded; nullopt when an
// escape is malformed or the result is not valid UTF-8.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(const std::string& text);

// "key=value" pieces in the dictionary's order, each side its description
// percent-encoded with the URL-query character set, joined by "&".
std::string apm_queryString(const Dictionary& dictionary);
// The reverse of apm_queryString; the first occurrence of a key wins.
Dictionary apm_dictionaryWithHttpArgumentsString(const std::string& query);

// Whether the bytes are well-formed UTF-8.
bool apm_isValidUTF8(const std::string& text);
