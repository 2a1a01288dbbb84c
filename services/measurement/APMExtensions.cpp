#include "services/measurement/APMExtensions.h"

#include <openssl/evp.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <vector>

Data apm_MD5Data(const Data& data) {
    Data digest(16);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
        length != 16) {
        return Data(16, 0);
    }
    return digest;
}

int64_t apm_64LeastSignificantBits(const Data& data) {
    uint64_t value = 0;
    size_t start = data.size() > 8 ? data.size() - 8 : 0;
    for (size_t i = start; i < data.size(); ++i) value = (value << 8) | data[i];
    return static_cast<int64_t>(value);
}

int64_t apm_64LSBMD5(const Data& data) {
    return apm_64LeastSignificantBits(apm_MD5Data(data));
}

bool apm_isValidUTF8(const std::string& text) {
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    int32_t length = static_cast<int32_t>(text.size());
    if (static_cast<size_t>(length) != text.size()) return false;
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

std::optional<std::string> apm_MD5String(const std::string& text) {
    if (!apm_isValidUTF8(text)) return std::nullopt;
    Data digest = apm_MD5Data(Data(text.begin(), text.end()));
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint8_t b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

namespace {

std::vector<UChar32> codePoints(const std::string& text) {
    std::vector<UChar32> points;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    int64_t length = static_cast<int64_t>(text.size());
    for (int64_t i = 0; i < length;) {
        UChar32 c;
        int32_t chunk = static_cast<int32_t>(std::min<int64_t>(length - i, INT32_MAX));
        int32_t j = 0;
        U8_NEXT(s + i, j, chunk, c);
        points.push_back(c < 0 ? 0xFFFD : c);
        i += j;
    }
    return points;
}

}  // namespace

std::size_t apm_UTF32Length(const std::string& text) {
    return codePoints(text).size();
}

void apm_getUTF32Bytes(const std::string& text, uint8_t* buffer, std::size_t maxBytes) {
    if (!buffer) return;
    size_t offset = 0;
    for (UChar32 c : codePoints(text)) {
        if (offset + 4 > maxBytes) break;
        auto u = static_cast<uint32_t>(c);
        for (int k = 0; k < 4; ++k) buffer[offset + k] = static_cast<uint8_t>(u >> (8 * k));
        offset += 4;
    }
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isQueryAllowed(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    static const std::string extra = "-._~!$&'()*+,;=:@/?";
    return c != 0 && extra.find(static_cast<char>(c)) != std::string::npos;
}

std::string percentEncodeQuery(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isQueryAllowed(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> apm_stringByUnescapingFromURLArgument(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    if (!apm_isValidUTF8(out)) return std::nullopt;
    return out;
}

std::string apm_queryString(const Dictionary& dictionary) {
    std::string out;
    bool first = true;
    for (const auto& [key, value] : dictionary) {
        if (!first) out += '&';
        first = false;
        std::string valueText = value.isString() ? *value.asString() : value.description();
        out += percentEncodeQuery(key) + "=" + percentEncodeQuery(valueText);
    }
    return out;
}

Dictionary apm_dictionaryWithHttpArgumentsString(const std::string& query) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t amp = query.find('&', start);
        pieces.push_back(
            query.substr(start, amp == std::string::npos ? std::string::npos : amp - start));
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    Dictionary result;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
        const std::string& piece = *it;
        if (piece.empty()) continue;
        size_t eq = piece.find('=');
        std::string key, value;
        if (eq == std::string::npos) {
            key = apm_stringByUnescapingFromURLArgument(piece).value_or("");
        } else {
            key = apm_stringByUnescapingFromURLArgument(piece.substr(0, eq)).value_or("");
            value = apm_stringByUnescapingFromURLArgument(piece.substr(eq + 1)).value_or("");
        }
        result.set(std::move(key), Value(std::move(value)));
    }
    return result;
}
