#include "platform/net/NSURL.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <string_view>

namespace {

struct UrlHandle {
    CURLU* h = curl_url();
    ~UrlHandle() { curl_url_cleanup(h); }
    std::string part(CURLUPart which, unsigned flags = 0) const {
        char* out = nullptr;
        if (curl_url_get(h, which, &out, flags) != CURLUE_OK || !out) return {};
        std::string s(out);
        curl_free(out);
        return s;
    }
};

std::string percentEncodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::string_view("/-._~!$&'()*+,;=:@").find(static_cast<char>(c)) !=
                                   std::string_view::npos) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string percentDecode(const std::string& text) {
    int length = 0;
    char* decoded =
        curl_easy_unescape(nullptr, text.c_str(), static_cast<int>(text.size()), &length);
    if (!decoded) return text;
    std::string out(decoded, static_cast<std::size_t>(length));
    curl_free(decoded);
    return out;
}

}  // namespace

std::optional<NSURL> NSURL::URLWithString(const std::string& text) {
    if (text.empty()) return std::nullopt;
    UrlHandle u;
    if (curl_url_set(u.h, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    NSURL url;
    url.absolute_ = u.part(CURLUPART_URL);
    if (url.absolute_.empty()) return std::nullopt;
    return url;
}

std::optional<NSURL> NSURL::URLWithString(const std::string& text, const NSURL& base) {
    UrlHandle u;
    if (curl_url_set(u.h, CURLUPART_URL, base.absolute_.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
            CURLUE_OK ||
        curl_url_set(u.h, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    NSURL url;
    url.absolute_ = u.part(CURLUPART_URL);
    if (url.absolute_.empty()) return std::nullopt;
    return url;
}

NSURL NSURL::fileURLWithPath(const std::string& path) {
    NSURL url;
    url.absolute_ = "file://" + percentEncodePath(path);
    return url;
}

std::string NSURL::scheme() const {
    auto colon = absolute_.find(':');
    return colon == std::string::npos ? std::string() : absolute_.substr(0, colon);
}

std::string NSURL::host() const {
    UrlHandle u;
    curl_url_set(u.h, CURLUPART_URL, absolute_.c_str(), CURLU_NON_SUPPORT_SCHEME);
    std::string h = u.part(CURLUPART_HOST);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    return h;
}

std::optional<int> NSURL::port() const {
    UrlHandle u;
    curl_url_set(u.h, CURLUPART_URL, absolute_.c_str(), CURLU_NON_SUPPORT_SCHEME);
    std::string p = u.part(CURLUPART_PORT);
    if (p.empty()) return std::nullopt;
    return std::stoi(p);
}

std::string NSURL::path() const {
    if (isFileURL()) return percentDecode(absolute_.substr(7));
    UrlHandle u;
    curl_url_set(u.h, CURLUPART_URL, absolute_.c_str(), CURLU_NON_SUPPORT_SCHEME);
    std::string p = u.part(CURLUPART_PATH, CURLU_URLDECODE);
    return p.empty() ? "/" : p;
}

std::string NSURL::query() const {
    UrlHandle u;
    curl_url_set(u.h, CURLUPART_URL, absolute_.c_str(), CURLU_NON_SUPPORT_SCHEME);
    return u.part(CURLUPART_QUERY);
}

NSURL NSURL::URLByAppendingPathComponent(const std::string& component) const {
    if (isFileURL()) {
        std::string p = path();
        if (p.empty() || p.back() != '/') p += '/';
        return fileURLWithPath(p + component);
    }
    std::string base = absolute_;
    auto cut = base.find_first_of("?#");
    std::string tail = cut == std::string::npos ? "" : base.substr(cut);
    if (cut != std::string::npos) base.resize(cut);
    if (base.empty() || base.back() != '/') base += '/';
    NSURL url;
    url.absolute_ = base + percentEncodePath(component) + tail;
    return url;
}

std::string NSURL::lastPathComponent() const {
    std::string p = path();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : (p.size() == 1 ? p : p.substr(slash + 1));
}
