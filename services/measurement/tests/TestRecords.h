#pragma once
// Small helpers for the measurement message tests: owned records, the lines
// printed or logged while a test runs, and hex for byte comparisons.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/log/Log.h"
#include "services/measurement/APMPBCodecs.h"

namespace measurement_test {

struct RecordDeleter {
    const APMPBMessageType* type;
    void operator()(APMPBMessageInfo* info) const {
        if (info != nullptr) APMPBFreeMessageInfo(*type, info);
    }
};
using Record = std::unique_ptr<APMPBMessageInfo, RecordDeleter>;

inline Record freshRecord(const APMPBMessageType& type) {
    auto* info = static_cast<APMPBMessageInfo*>(std::calloc(1, sizeof(APMPBMessageInfo)));
    if (!APMPBInitMessageInfo(type, info)) {
        std::free(info);
        return Record(nullptr, RecordDeleter{&type});
    }
    return Record(info, RecordDeleter{&type});
}

inline std::vector<std::uint8_t> encode(const APMPBMessageType& type, const APMPBMessageInfo* info,
                                        long* result = nullptr) {
    std::uint8_t* bytes = nullptr;
    const long n = APMPBEncode(type, info, &bytes);
    if (result != nullptr) *result = n;
    std::vector<std::uint8_t> out;
    if (n > 0) out.assign(bytes, bytes + n);
    std::free(bytes);
    return out;
}

inline std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

inline std::vector<std::uint8_t> bytesOf(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

inline const APMPBArray* container(const APMPBMessageInfo* info, int fieldID) {
    return static_cast<const APMPBArray*>(info->fields[fieldID]);
}

inline std::string cellString(const void* cell) {
    const auto* c = static_cast<const APMPBArray*>(cell);
    return std::string(static_cast<const char*>(c->data), c->count);
}

inline std::uint64_t cellValue(const void* cell) {
    std::uint64_t v = 0;
    std::memcpy(&v, cell, sizeof v);
    return v;
}

// Quiet terminal, every line captured.
class Lines {
  public:
    Lines() { sim::setLogEcho(false); }
    ~Lines() { sim::setLogEcho(true); }
    bool has(const std::string& line) const { return capture_.contains(line); }
    std::vector<std::string> all() const { return capture_.lines(); }
    void clear() { capture_.clear(); }

  private:
    sim::LogCapture capture_;
};

}  // namespace measurement_test
