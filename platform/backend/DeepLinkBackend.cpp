#include "platform/backend/DeepLinkBackend.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include <nlohmann/json.hpp>

namespace sim {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                   hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool isDecimal(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

std::map<std::string, std::string> DeepLinkBackend::queryArguments(const std::string& query) {
    std::map<std::string, std::string> arguments;
    std::stringstream pieces(query);
    std::string piece;
    while (std::getline(pieces, piece, '&')) {
        if (piece.empty()) continue;
        const auto equals = piece.find('=');
        const std::string key = decode(piece.substr(0, equals));
        const std::string value =
            equals == std::string::npos ? std::string() : decode(piece.substr(equals + 1));
        arguments.emplace(key, value);
    }
    return arguments;
}

std::optional<std::string> DeepLinkBackend::route(const RecordedRequest& request) const {
    if (request.method != "GET" || request.path != kPath) return std::nullopt;
    return std::string(kDeepLink);
}

ScriptedResponse DeepLinkBackend::handle(const std::string&, const RecordedRequest& request) {
    const auto arguments = queryArguments(request.query);
    for (const char* key : {"sdk_version", "rdid", "id_type", "bundleid", "retry"}) {
        auto found = arguments.find(key);
        if (found == arguments.end() || found->second.empty())
            return backendJSONError(400, std::string("Missing query argument ") + key + ".");
    }
    if (arguments.at("id_type") != "idfa")
        return backendJSONError(400, "Only the advertising identifier is supported.");
    if (!isDecimal(arguments.at("sdk_version")) || !isDecimal(arguments.at("retry")))
        return backendJSONError(400, "sdk_version and retry must be decimal numbers.");
    std::lock_guard lock(mutex_);
    auto link = links_.find(arguments.at("rdid"));
    if (link == links_.end()) return ScriptedResponse::text(204, "", "application/json");
    nlohmann::json body = {{"deeplink", link->second.deeplink}};
    if (link->second.zclid) body["zclid"] = *link->second.zclid;
    if (link->second.zbraid) body["zbraid"] = *link->second.zbraid;
    if (link->second.timestamp) body["timestamp"] = *link->second.timestamp;
    ++served_;
    return backendJSON(200, body.dump());
}

void DeepLinkBackend::reset() {
    std::lock_guard lock(mutex_);
    links_.clear();
    served_ = 0;
}

std::string DeepLinkBackend::describeState() const {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    out << "deferred deep links: " << links_.size() << " waiting, " << served_ << " served";
    for (const auto& [rdid, link] : links_) out << "\n  " << rdid << ": " << link.deeplink;
    return out.str();
}

void DeepLinkBackend::setLink(const std::string& rdid, Link link) {
    std::lock_guard lock(mutex_);
    links_[rdid] = std::move(link);
}

void DeepLinkBackend::removeLink(const std::string& rdid) {
    std::lock_guard lock(mutex_);
    links_.erase(rdid);
}

std::size_t DeepLinkBackend::servedCount() const {
    std::lock_guard lock(mutex_);
    return served_;
}

}  // namespace sim
