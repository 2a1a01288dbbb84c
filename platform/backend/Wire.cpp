#include "platform/backend/Wire.h"

#include <zlib.h>

#include <cstring>

namespace sim::wire {

bool Reader::varint(std::uint64_t& out) {
    out = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p_ == end_) return false;
        const auto byte = static_cast<std::uint8_t>(*p_++);
        out |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

bool Reader::key(std::uint32_t& field, std::uint32_t& type) {
    std::uint64_t k = 0;
    if (!varint(k) || (k >> 3) == 0 || (k >> 3) > 0x1FFFFFFF) return false;
    field = static_cast<std::uint32_t>(k >> 3);
    type = static_cast<std::uint32_t>(k & 7);
    return true;
}

bool Reader::bytes(std::string& out) {
    std::uint64_t n = 0;
    if (!varint(n) || n > static_cast<std::uint64_t>(end_ - p_)) return false;
    out.assign(p_, static_cast<std::size_t>(n));
    p_ += n;
    return true;
}

bool Reader::skip(std::uint32_t type) {
    std::uint64_t ignored = 0;
    std::string ignoredBytes;
    switch (type) {
        case 0:
            return varint(ignored);
        case 1:
            return advance(8);
        case 2:
            return bytes(ignoredBytes);
        case 5:
            return advance(4);
        default:
            return false;
    }
}

bool Reader::advance(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) return false;
    p_ += n;
    return true;
}

void Writer::varint(std::uint32_t field, std::uint64_t value) {
    key(field, 0);
    raw(value);
}

void Writer::bytes(std::uint32_t field, const std::string& value) {
    key(field, 2);
    raw(value.size());
    out_ += value;
}

void Writer::fixed64(std::uint32_t field, double value) {
    key(field, 1);
    char buffer[8];
    std::memcpy(buffer, &value, 8);
    out_.append(buffer, 8);
}

void Writer::key(std::uint32_t field, std::uint32_t type) {
    raw((field << 3) | type);
}

void Writer::raw(std::uint64_t value) {
    out_ += encodeVarint(value);
}

std::string encodeVarint(std::uint64_t v) {
    std::string out;
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
    return out;
}

bool hasGzipMagic(const std::string& data) {
    return data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0x1f &&
           static_cast<unsigned char>(data[1]) == 0x8b;
}

std::optional<std::string> gunzip(const std::string& data, std::size_t limit) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char chunk[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = ::inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, sizeof chunk - stream.avail_out);
        if (out.size() > limit) result = Z_MEM_ERROR;
    }
    inflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    return out;
}

std::string gzip(const std::string& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::string out(deflateBound(&stream, data.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

}  // namespace sim::wire
