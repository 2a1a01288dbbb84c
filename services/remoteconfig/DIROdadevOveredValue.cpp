#include "services/remoteconfig/DIROdadevOveredValue.h"

#include <unicode/utf8.h>

#include <cstdio>
#include <sstream>

#include "platform/foundation/JSON.h"
#include "services/remoteconfig/RCNLog.h"

namespace {

bool isValidUTF8(const Data& data) {
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(data.size());
    while (i < length) {
        UChar32 c;
        U8_NEXT(data.data(), i, length, c);
        if (c < 0) return false;
    }
    return true;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<std::string> DIROdadevOveredValue::stringValue() const {
    if (!data_ || !isValidUTF8(*data_)) return std::nullopt;
    return std::string(data_->begin(), data_->end());
}

double DIROdadevOveredValue::numberValue() const {
    auto text = stringValue();
    if (!text) return 0;
    // The longest leading decimal number, with the point as separator
    // whatever the locale: scan it by hand, then convert only that prefix.
    const std::string& s = *text;
    std::size_t i = 0;
    while (i < s.size() && isSpace(s[i])) ++i;
    std::size_t start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) ++j;
            i = j;
        }
    }
    std::istringstream in(s.substr(start, i - start));
    in.imbue(std::locale::classic());
    double value = 0;
    in >> value;
    return in.fail() ? 0 : value;
}

bool DIROdadevOveredValue::boolValue() const {
    auto text = stringValue();
    if (!text) return false;
    const std::string& s = *text;
    std::size_t i = 0;
    while (i < s.size() && isSpace(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] == '0') ++i;
    if (i >= s.size()) return false;
    char c = s[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<Value> DIROdadevOveredValue::JSONValue() const {
    if (!data_) return std::nullopt;
    auto parsed = NSJSONSerialization::JSONObjectWithData(*data_);
    if (!parsed || !(parsed->isArray() || parsed->isDictionary())) {
        RCNLog(ZVULoggerLevel::Debug, "I-RCN000065", "Error parsing data as JSON.");
        return std::nullopt;
    }
    return parsed;
}

std::string DIROdadevOveredValue::debugDescription() const {
    auto json = JSONValue();
    std::ostringstream out;
    out << "<" << className() << ": " << static_cast<const void*>(this)
        << ", Boolean: " << (boolValue() ? 1 : 0)
        << ", String: " << stringValue().value_or("(null)") << ", Number: " << numberValue()
        << ", JSON:" << (json ? json->description() : "(null)")
        << ", Data: " << (data_ ? Value(*data_).description() : "(null)")
        << ", Source: " << static_cast<long>(source_) << ">";
    return out.str();
}
