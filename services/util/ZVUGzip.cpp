#include "services/util/ZVUGzip.h"

#include <zlib.h>

#include <cassert>
#include <cstdint>
#include <limits>

namespace {

constexpr std::size_t kChunk = 1024;

NSError zlibError(int result, const char* message) {
    Dictionary info{{ZVUNSDataZlibErrorKey, Value(result)}};
    if (message) info.set(NSError::NSLocalizedDescriptionKey, Value(message));
    return NSError(ZVUNSDataZlibErrorDomain,
                   static_cast<long long>(ZVUNSDataZlibError::InternalError), std::move(info));
}

bool fitsZlibCount(std::size_t size) {
    return size <= std::numeric_limits<std::uint32_t>::max();
}

}  // namespace

std::optional<Data> zvu_dataByGzippingData(const Data& data, NSError* error) {
    if (data.empty()) return std::nullopt;
    if (!fitsZlibCount(data.size())) {
        if (error) {
            *error =
                NSError(ZVUNSDataZlibErrorDomain,
                        static_cast<long long>(ZVUNSDataZlibError::GreaterThan32BitsToCompress));
        }
        return std::nullopt;
    }
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    int result =
        deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    if (result != Z_OK) {
        if (error) *error = zlibError(result, nullptr);
        return std::nullopt;
    }
    Data out;
    out.reserve(data.size() / 4);
    Bytef buffer[kChunk];
    do {
        stream.next_out = buffer;
        stream.avail_out = kChunk;
        result = deflate(&stream, Z_FINISH);
        if (result != Z_OK && result != Z_STREAM_END) {
            if (error) *error = zlibError(result, stream.msg);
            deflateEnd(&stream);
            return std::nullopt;
        }
        out.insert(out.end(), buffer, buffer + (kChunk - stream.avail_out));
    } while (result == Z_OK);
    assert(stream.avail_in == 0 && "deflate finished with input left");
    deflateEnd(&stream);
    return out;
}

std::optional<Data> zvu_dataByInflatingGzippedData(const Data& data, NSError* error,
                                                   std::size_t outputLimit) {
    if (data.empty() || !fitsZlibCount(data.size())) return std::nullopt;
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    int result = inflateInit2(&stream, 15 + 32);
    if (result != Z_OK) {
        if (error) *error = zlibError(result, nullptr);
        return std::nullopt;
    }
    Data out;
    std::size_t capacity = data.size() <= outputLimit / 4 ? data.size() * 4 : outputLimit;
    out.reserve(capacity);
    Bytef buffer[kChunk];
    for (;;) {
        stream.next_out = buffer;
        stream.avail_out = kChunk;
        result = inflate(&stream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) {
            if (error) *error = zlibError(result, stream.msg);
            inflateEnd(&stream);
            return std::nullopt;
        }
        std::size_t produced = kChunk - stream.avail_out;
        if (out.size() + produced > outputLimit) {
            if (error) {
                *error = NSError(ZVUNSDataZlibErrorDomain,
                                 static_cast<long long>(ZVUNSDataZlibError::OutputLimitExceeded),
                                 {{ZVUNSDataZlibOutputLimitKey,
                                   Value(static_cast<unsigned long long>(outputLimit))}});
            }
            inflateEnd(&stream);
            return std::nullopt;
        }
        out.insert(out.end(), buffer, buffer + produced);
        if (result == Z_STREAM_END) break;
    }
    if (stream.avail_in > 0) {
        if (error) {
            *error = NSError(ZVUNSDataZlibErrorDomain,
                             static_cast<long long>(ZVUNSDataZlibError::DataRemaining),
                             {{ZVUNSDataZlibRemainingBytesKey,
                               Value(static_cast<unsigned long long>(stream.avail_in))}});
        }
        inflateEnd(&stream);
        return std::nullopt;
    }
    inflateEnd(&stream);
    return out;
}
