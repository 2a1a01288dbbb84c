#include "services/util/ZVUBase64.h"

#include <openssl/evp.h>

#include <cctype>

std::string ZVUBase64Encode(const Data& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

std::optional<Data> ZVUBase64Decode(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    const auto padding = text.find('=');
    if (padding != std::string::npos &&
        (text.size() - padding > 2 || text.find_first_not_of('=', padding) != std::string::npos))
        return std::nullopt;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=') {
            return std::nullopt;
        }
    }
    Data out(3 * (text.size() / 4) + 1);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    // The block decoder counts padding as zero bytes.
    std::size_t size = static_cast<std::size_t>(n);
    if (padding != std::string::npos) size -= text.size() - padding;
    out.resize(size);
    return out;
}

std::string ZVUBase64URLEncode(const Data& data, bool padded) {
    std::string out;
    for (char c : ZVUBase64Encode(data)) {
        if (c == '=' && !padded) continue;
        out += c == '/' ? '_' : c == '+' ? '-' : c;
    }
    return out;
}
