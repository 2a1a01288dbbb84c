#include "services/transport/ZDTCORFlatFileNames.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

}  // namespace

std::string ZDTCORPercentEncodeMappingID(const std::string& mappingID) {
    std::string out;
    for (unsigned char c : mappingID) {
        if (std::isalnum(c) || c == '-') {
            out.push_back(static_cast<char>(c));
        } else {
            char buffer[4];
            std::snprintf(buffer, sizeof buffer, "%%%02X", c);
            out += buffer;
        }
    }
    return out;
}

std::string ZDTCORPercentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::optional<ZDTCOREventFileComponents> ZDTCORParseEventFileName(const std::string& name) {
    const auto parts = split(name, '-');
    if (parts.size() < 4) return std::nullopt;
    ZDTCOREventFileComponents c;
    c.eventID = parts[0];
    c.qosTier = parseInteger(parts[1]).value_or(0);
    auto expiration = parseInteger(parts[2]);
    std::string mapping = parts[3];
    for (std::size_t i = 4; i < parts.size(); ++i) mapping += "-" + parts[i];
    if (c.eventID.empty() || !expiration || mapping.empty()) return std::nullopt;
    c.expiration = *expiration;
    c.mappingID = mapping;
    return c;
}

std::optional<ZDTCORBatchDirComponents> ZDTCORParseBatchDirName(const std::string& name) {
    const auto parts = split(name, '-');
    if (parts.size() != 3) return std::nullopt;
    auto target = parseInteger(parts[0]);
    auto batchID = parseInteger(parts[1]);
    auto expiration = parseInteger(parts[2]);
    if (!target || !batchID || !expiration) return std::nullopt;
    return ZDTCORBatchDirComponents{*target, *batchID, static_cast<double>(*expiration)};
}
