#pragma once
// Gzip coding of byte buffers over zlib (the NSData category of the
// utilities). Both functions are pure and may run on any thread at once.
// Failures come back through the optional error out-parameter.

#include <cstddef>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

inline constexpr const char* ZVUNSDataZlibErrorDomain = "com.zevera.ZVUNSDataZlibErrorDomain";
inline constexpr const char* ZVUNSDataZlibErrorKey = "ZVUNSDataZlibErrorKey";
inline constexpr const char* ZVUNSDataZlibRemainingBytesKey = "ZVUNSDataZlibRemainingBytesKey";
inline constexpr const char* ZVUNSDataZlibOutputLimitKey = "ZVUNSDataZlibOutputLimitKey";

enum class ZVUNSDataZlibError : long long {
    GreaterThan32BitsToCompress = 1024,
    InternalError = 1025,
    DataRemaining = 1026,
    // Inflating would produce more than the output limit.
    OutputLimitExceeded = 1027,
};

// Inflated output beyond this many bytes is an error, so a small hostile
// input cannot take unbounded memory.
inline constexpr std::size_t ZVUGzipDefaultInflateLimit = 64u * 1024u * 1024u;

// A gzip member holding data; nullopt (error untouched) for empty input.
std::optional<Data> zvu_dataByGzippingData(const Data& data, NSError* error = nullptr);

// The bytes of a gzip- or zlib-wrapped stream; nullopt (error untouched)
// for empty input.
std::optional<Data> zvu_dataByInflatingGzippedData(
    const Data& data, NSError* error = nullptr,
    std::size_t outputLimit = ZVUGzipDefaultInflateLimit);
