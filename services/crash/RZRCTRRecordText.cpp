#include "services/crash/RZRCTRRecordText.h"

#include <cstdint>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool RZRCTRIsValidUTF8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned lead = p[i];
        std::size_t length;
        std::uint32_t codePoint;
        std::uint32_t minimum;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, codePoint = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, codePoint = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, codePoint = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (n - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (p[i + k] & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF) return false;
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
        i += length;
    }
    return true;
}

void RZRCTRRecordForEachLine(std::string_view bytes,
                             const std::function<void(std::string_view line)>& block) {
    if (!block) return;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        const auto line = bytes.substr(start, end - start);
        if (!line.empty() && RZRCTRIsValidUTF8(line)) block(line);
        start = end + 1;
    }
}

std::optional<std::string> RZRCTRRecordHexDecode(const char* text) {
    if (!text) return std::nullopt;
    std::string bytes;
    for (const char* p = text; p[0] && p[1]; p += 2) {
        const int high = hexValue(p[0]);
        const int low = hexValue(p[1]);
        if (high < 0 || low < 0) break;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    if (!RZRCTRIsValidUTF8(bytes)) return std::nullopt;
    return bytes;
}
