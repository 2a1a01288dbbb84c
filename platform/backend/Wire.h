#pragma once
// Protocol-buffer and gzip framing for the simulated services. The services
// read what clients send with this reader of their own, so a request is
// checked by a decoder other than the one that wrote it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sim::wire {

class Reader {
  public:
    explicit Reader(const std::string& data) : p_(data.data()), end_(data.data() + data.size()) {}
    bool done() const { return p_ == end_; }
    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
    bool varint(std::uint64_t& out);
    // Field number and wire type; the value through the other calls.
    bool key(std::uint32_t& field, std::uint32_t& type);
    bool bytes(std::string& out);
    bool skip(std::uint32_t type);

  private:
    bool advance(std::size_t n);
    const char* p_;
    const char* end_;
};

class Writer {
  public:
    void varint(std::uint32_t field, std::uint64_t value);
    void bytes(std::uint32_t field, const std::string& value);
    void fixed64(std::uint32_t field, double value);
    const std::string& data() const { return out_; }

  private:
    void key(std::uint32_t field, std::uint32_t type);
    void raw(std::uint64_t value);
    std::string out_;
};

std::string encodeVarint(std::uint64_t value);

// Whether data begins with the gzip magic bytes.
bool hasGzipMagic(const std::string& data);
// A whole gzip stream inflated; nothing when it is not one or inflates past
// limit bytes.
std::optional<std::string> gunzip(const std::string& data, std::size_t limit = 64u * 1024 * 1024);
std::string gzip(const std::string& data);

}  // namespace sim::wire
