#pragma once
// Base64 (RFC 4648) over OpenSSL's block coder: the standard alphabet, and
// the URL-safe one ("-" and "_") that identifiers use.

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

std::string ZVUBase64Encode(const Data& data);
// Nothing unless the text is whole base64: a multiple of four characters of
// the standard alphabet, "=" only as padding.
std::optional<Data> ZVUBase64Decode(const std::string& text);
// The URL-safe alphabet, with or without the "=" padding.
std::string ZVUBase64URLEncode(const Data& data, bool padded = true);
