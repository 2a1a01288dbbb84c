#include "services/crash/RZRCTRURLBuilder.h"

#include <cctype>
#include <string_view>

#include "services/crash/RZRCTRUtilities.h"

namespace {

std::string percentEscape(const std::string& text, std::string_view allowedPunctuation) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (std::isalnum(c) ||
            allowedPunctuation.find(static_cast<char>(c)) != std::string_view::npos) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

}  // namespace

std::shared_ptr<RZRCTRURLBuilder> RZRCTRURLBuilder::URLWithBase(const std::string& base) {
    auto builder = std::make_shared<RZRCTRURLBuilder>();
    builder->appendComponent(base);
    return builder;
}

std::string RZRCTRURLBuilder::escapeString(const std::string& text) {
    // The query-allowed set without the characters that delimit or rewrite
    // query fields.
    return percentEscape(text, "-._~!$'()*,;:@/?");
}

std::string RZRCTRURLBuilder::escapePathSegment(const std::string& text) {
    return percentEscape(text, "-._~!$'()*,;:@");
}

void RZRCTRURLBuilder::appendComponent(const std::string& text) {
    if (text.empty()) {
        RZRCTRErrorLog("URLBuilder parameter component must not be empty");
        return;
    }
    URLString_ += text;
}

void RZRCTRURLBuilder::escapeAndAppendComponent(const std::string& text) {
    appendComponent(escapePathSegment(text));
}

void RZRCTRURLBuilder::appendValue(const Value& value, const std::string& queryParam) {
    if (value.isNull()) return;
    appendComponent(queryParams_ == 0 ? "?" : "&");
    ++queryParams_;
    appendComponent(queryParam);
    appendComponent("=");
    appendComponent(escapeString(value.isString() ? *value.asString() : value.description()));
}

std::optional<NSURL> RZRCTRURLBuilder::URL() const {
    return NSURL::URLWithString(URLString_);
}
