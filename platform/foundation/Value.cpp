#include "platform/foundation/Value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <ostream>

// ---------------------------------------------------------------------------
// Dictionary

Dictionary::Dictionary(std::initializer_list<Entry> entries) {
    for (const auto& e : entries) set(e.first, e.second);
}

const Value* Dictionary::find(std::string_view key) const {
    for (const auto& e : entries_)
        if (e.first == key) return &e.second;
    return nullptr;
}

Value* Dictionary::find(std::string_view key) {
    for (auto& e : entries_)
        if (e.first == key) return &e.second;
    return nullptr;
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = find(key)) {
        *existing = std::move(value);
        return;
    }
    entries_.emplace_back(std::move(key), std::move(value));
}

bool Dictionary::remove(std::string_view key) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return e.first == key; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> result;
    result.reserve(entries_.size());
    for (const auto& e : entries_) result.push_back(e.first);
    return result;
}

bool Dictionary::operator==(const Dictionary& other) const {
    if (entries_.size() != other.entries_.size()) return false;
    for (const auto& e : entries_) {
        const Value* v = other.find(e.first);
        if (!v || !(*v == e.second)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Value accessors

bool Value::isNumber() const {
    auto t = type();
    return t == Type::Int || t == Type::UInt || t == Type::Double;
}

std::optional<bool> Value::asBool() const {
    if (auto p = std::get_if<bool>(&v_)) return *p;
    return std::nullopt;
}

std::optional<std::string> Value::asString() const {
    if (auto p = std::get_if<std::string>(&v_)) return *p;
    return std::nullopt;
}

const ::Data* Value::asData() const {
    return std::get_if<::Data>(&v_);
}

std::optional<::Date> Value::asDate() const {
    if (auto p = std::get_if<::Date>(&v_)) return *p;
    return std::nullopt;
}

const ::Array* Value::asArray() const {
    if (auto p = std::get_if<std::shared_ptr<::Array>>(&v_)) return p->get();
    return nullptr;
}

const ::Dictionary* Value::asDictionary() const {
    if (auto p = std::get_if<std::shared_ptr<::Dictionary>>(&v_)) return p->get();
    return nullptr;
}

namespace {
constexpr double kTwo63 = 9223372036854775808.0;   // 2^63
constexpr double kTwo64 = 18446744073709551616.0;  // 2^64
}  // namespace

std::optional<std::int64_t> Value::asInt() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1 : 0;
        case Type::Int:
            return std::get<std::int64_t>(v_);
        case Type::UInt: {
            auto u = std::get<std::uint64_t>(v_);
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return std::nullopt;
            return static_cast<std::int64_t>(u);
        }
        case Type::Double: {
            double d = std::trunc(std::get<double>(v_));
            if (!std::isfinite(d) || d < -kTwo63 || d >= kTwo63) return std::nullopt;
            return static_cast<std::int64_t>(d);
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::uint64_t> Value::asUInt() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1u : 0u;
        case Type::Int: {
            auto i = std::get<std::int64_t>(v_);
            if (i < 0) return std::nullopt;
            return static_cast<std::uint64_t>(i);
        }
        case Type::UInt:
            return std::get<std::uint64_t>(v_);
        case Type::Double: {
            double d = std::trunc(std::get<double>(v_));
            if (!std::isfinite(d) || d < 0 || d >= kTwo64) return std::nullopt;
            return static_cast<std::uint64_t>(d);
        }
        default:
            return std::nullopt;
    }
}

std::optional<double> Value::asDouble() const {
    switch (type()) {
        case Type::Bool:
            return std::get<bool>(v_) ? 1.0 : 0.0;
        case Type::Int:
            return static_cast<double>(std::get<std::int64_t>(v_));
        case Type::UInt:
            return static_cast<double>(std::get<std::uint64_t>(v_));
        case Type::Double:
            return std::get<double>(v_);
        default:
            return std::nullopt;
    }
}

::Array& Value::array() {
    auto* p = std::get_if<std::shared_ptr<::Array>>(&v_);
    if (!p || !*p) {
        v_ = std::make_shared<::Array>();
        return *std::get<std::shared_ptr<::Array>>(v_);
    }
    if (p->use_count() > 1) *p = std::make_shared<::Array>(**p);
    return **p;
}

::Dictionary& Value::dictionary() {
    auto* p = std::get_if<std::shared_ptr<::Dictionary>>(&v_);
    if (!p || !*p) {
        v_ = std::make_shared<::Dictionary>();
        return *std::get<std::shared_ptr<::Dictionary>>(v_);
    }
    if (p->use_count() > 1) *p = std::make_shared<::Dictionary>(**p);
    return **p;
}

const Value& Value::operator[](std::string_view key) const {
    if (const ::Dictionary* d = asDictionary())
        if (const Value* v = d->find(key)) return *v;
    return null();
}

const Value& Value::null() {
    static const Value kNull;
    return kNull;
}

// ---------------------------------------------------------------------------
// Equality

namespace {

bool intEqualsDouble(std::int64_t i, double d) {
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (d < -kTwo63 || d >= kTwo63) return false;
    return static_cast<std::int64_t>(d) == i;
}

bool uintEqualsDouble(std::uint64_t u, double d) {
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (d < 0 || d >= kTwo64) return false;
    return static_cast<std::uint64_t>(d) == u;
}

}  // namespace

bool Value::operator==(const Value& other) const {
    if (isNumber() && other.isNumber()) {
        const auto& a = v_;
        const auto& b = other.v_;
        if (auto ai = std::get_if<std::int64_t>(&a)) {
            if (auto bi = std::get_if<std::int64_t>(&b)) return *ai == *bi;
            if (auto bu = std::get_if<std::uint64_t>(&b))
                return *ai >= 0 && static_cast<std::uint64_t>(*ai) == *bu;
            return intEqualsDouble(*ai, std::get<double>(b));
        }
        if (auto au = std::get_if<std::uint64_t>(&a)) {
            if (auto bi = std::get_if<std::int64_t>(&b))
                return *bi >= 0 && static_cast<std::uint64_t>(*bi) == *au;
            if (auto bu = std::get_if<std::uint64_t>(&b)) return *au == *bu;
            return uintEqualsDouble(*au, std::get<double>(b));
        }
        double ad = std::get<double>(a);
        if (auto bi = std::get_if<std::int64_t>(&b)) return intEqualsDouble(*bi, ad);
        if (auto bu = std::get_if<std::uint64_t>(&b)) return uintEqualsDouble(*bu, ad);
        return ad == std::get<double>(b);
    }
    if (type() != other.type()) return false;
    switch (type()) {
        case Type::Null:
            return true;
        case Type::Bool:
            return std::get<bool>(v_) == std::get<bool>(other.v_);
        case Type::String:
            return std::get<std::string>(v_) == std::get<std::string>(other.v_);
        case Type::Data:
            return std::get<::Data>(v_) == std::get<::Data>(other.v_);
        case Type::Date:
            return std::get<::Date>(v_) == std::get<::Date>(other.v_);
        case Type::Array: {
            const auto* a = asArray();
            const auto* b = other.asArray();
            return a == b || *a == *b;
        }
        case Type::Dictionary: {
            const auto* a = asDictionary();
            const auto* b = other.asDictionary();
            return a == b || *a == *b;
        }
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------
// Description

namespace {

std::string indentString(int level) {
    return std::string(static_cast<std::size_t>(level) * 4, ' ');
}

bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    for (unsigned char c : s) {
        bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return true;
    }
    return false;
}

std::string describeString(const std::string& s) {
    if (!needsQuotes(s)) return s;
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    out += '"';
    return out;
}

std::string describeDouble(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
}

std::string hexBytes(const std::uint8_t* p, std::size_t n) {
    static const char* kHex = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

std::string describeData(const Data& d) {
    std::string out = "{length = " + std::to_string(d.size()) + ", bytes = 0x";
    if (d.size() <= 24) {
        out += hexBytes(d.data(), d.size());
    } else {
        out += hexBytes(d.data(), 8) + " ... " + hexBytes(d.data() + d.size() - 8, 8);
    }
    out += "}";
    return out;
}

std::string describeDate(const Date& date) {
    double unix = std::floor(date.unixSeconds());
    if (!std::isfinite(unix) || unix < -6e13 || unix > 6e13)
        return describeDouble(date.secondsSinceReferenceDate);
    std::time_t t = static_cast<std::time_t>(unix);
    std::tm tm{};
    if (!gmtime_r(&t, &tm)) return describeDouble(date.secondsSinceReferenceDate);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

// Mirrors descriptionWithLocale:indent: — containers start with the
// indentation of their level, as the platform prints them.
void describe(const Value& v, int level, std::string& out) {
    switch (v.type()) {
        case Value::Type::Null:
            out += "<null>";
            break;
        case Value::Type::Bool:
            out += *v.asBool() ? "1" : "0";
            break;
        case Value::Type::Int:
            out += std::to_string(*v.asInt());
            break;
        case Value::Type::UInt:
            out += std::to_string(*v.asUInt());
            break;
        case Value::Type::Double:
            out += describeDouble(*v.asDouble());
            break;
        case Value::Type::String:
            out += describeString(*v.asString());
            break;
        case Value::Type::Data:
            out += describeData(*v.asData());
            break;
        case Value::Type::Date:
            out += describeDate(*v.asDate());
            break;
        case Value::Type::Array: {
            const Array& a = *v.asArray();
            out += indentString(level) + "(";
            if (a.empty()) {
                out += "\n" + indentString(level) + ")";
                break;
            }
            for (std::size_t i = 0; i < a.size(); ++i) {
                out += "\n" + indentString(level + 1);
                describe(a[i], level + 1, out);
                if (i + 1 < a.size()) out += ",";
            }
            out += "\n" + indentString(level) + ")";
            break;
        }
        case Value::Type::Dictionary: {
            const Dictionary& d = *v.asDictionary();
            out += indentString(level) + "{";
            for (const auto& [key, value] : d) {
                out += "\n" + indentString(level + 1) + describeString(key) + " = ";
                describe(value, level + 1, out);
                out += ";";
            }
            out += "\n" + indentString(level) + "}";
            break;
        }
    }
}

}  // namespace

std::string Value::description() const {
    std::string out;
    describe(*this, 0, out);
    return out;
}

std::string typeName(Value::Type type) {
    switch (type) {
        case Value::Type::Null:
            return "null";
        case Value::Type::Bool:
            return "bool";
        case Value::Type::Int:
            return "int";
        case Value::Type::UInt:
            return "uint";
        case Value::Type::Double:
            return "double";
        case Value::Type::String:
            return "string";
        case Value::Type::Data:
            return "data";
        case Value::Type::Date:
            return "date";
        case Value::Type::Array:
            return "array";
        case Value::Type::Dictionary:
            return "dictionary";
    }
    return "unknown";
}

std::ostream& operator<<(std::ostream& out, const Value& value) {
    return out << value.description();
}
