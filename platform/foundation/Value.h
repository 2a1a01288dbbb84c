#pragma once
// One object model for everything the code treats as a property-list or JSON
// object: null, boolean, signed and unsigned integer, double, string, data,
// date, array and insertion-ordered dictionary. A number remembers its kind.
// Values are plain copyable data; equality is deep.

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

class Value;

using Data = std::vector<std::uint8_t>;
using Array = std::vector<Value>;

// Seconds since 2001-01-01 00:00:00 UTC, the platform's reference date.
struct Date {
    double secondsSinceReferenceDate = 0;
    static constexpr double kUnixToReference = 978307200.0;
    static Date fromUnix(double unixSeconds) { return {unixSeconds - kUnixToReference}; }
    double unixSeconds() const { return secondsSinceReferenceDate + kUnixToReference; }
    bool operator==(const Date&) const = default;
};

// Insertion-ordered string-keyed dictionary. Setting an existing key keeps its
// position; lookups are linear, which suits the small dictionaries we keep.
class Dictionary {
  public:
    using Entry = std::pair<std::string, Value>;

    Dictionary() = default;
    Dictionary(std::initializer_list<Entry> entries);

    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // The value for the key, or null when missing.
    const Value& operator[](std::string_view key) const;
    void set(std::string key, Value value);
    bool remove(std::string_view key);
    std::vector<std::string> keys() const;

    // Defined below Value: clang instantiates the entries here otherwise,
    // while Value is still incomplete.
    std::size_t size() const;
    bool empty() const;
    std::vector<Entry>::const_iterator begin() const;
    std::vector<Entry>::const_iterator end() const;

    bool operator==(const Dictionary& other) const;  // order-insensitive

  private:
    std::vector<Entry> entries_;
};

class Value {
  public:
    enum class Type { Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary };

    Value() = default;  // null
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(long long i) : v_(static_cast<std::int64_t>(i)) {}
    Value(unsigned u) : v_(static_cast<std::uint64_t>(u)) {}
    Value(unsigned long u) : v_(static_cast<std::uint64_t>(u)) {}
    Value(unsigned long long u) : v_(static_cast<std::uint64_t>(u)) {}
    Value(double d) : v_(d) {}
    Value(float f) : v_(static_cast<double>(f)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(::Data d) : v_(std::move(d)) {}
    Value(::Date d) : v_(d) {}
    Value(::Array a) : v_(std::make_shared<::Array>(std::move(a))) {}
    Value(::Dictionary d) : v_(std::make_shared<::Dictionary>(std::move(d))) {}

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isNumber() const;  // Int, UInt or Double (not Bool)
    bool isInteger() const { return type() == Type::Int || type() == Type::UInt; }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }

    // Exact accessors: absent when the value is of another type.
    std::optional<bool> asBool() const;
    std::optional<std::string> asString() const;
    const ::Data* asData() const;
    std::optional<::Date> asDate() const;
    const ::Array* asArray() const;
    const ::Dictionary* asDictionary() const;

    // Numeric views: any number (and a boolean as 0 or 1) converts; absent for
    // other types or when the number does not fit.
    std::optional<std::int64_t> asInt() const;
    std::optional<std::uint64_t> asUInt() const;
    std::optional<double> asDouble() const;

    // Mutable access for building values; copies on write when shared.
    ::Array& array();
    ::Dictionary& dictionary();

    // Dictionary lookup: null Value when missing or not a dictionary.
    const Value& operator[](std::string_view key) const;

    // Deep equality. Numbers compare by value across kinds (1 == 1u == 1.0),
    // as the platform's number objects do; a boolean equals no number.
    bool operator==(const Value& other) const;

    // Readable description in the platform's old-style form.
    std::string description() const;

    static const Value& null();

  private:
    using Storage =
        std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, ::Data,
                     ::Date, std::shared_ptr<::Array>, std::shared_ptr<::Dictionary>>;
    Storage v_;
};

inline std::size_t Dictionary::size() const {
    return entries_.size();
}
inline bool Dictionary::empty() const {
    return entries_.empty();
}
inline std::vector<Dictionary::Entry>::const_iterator Dictionary::begin() const {
    return entries_.begin();
}
inline std::vector<Dictionary::Entry>::const_iterator Dictionary::end() const {
    return entries_.end();
}

std::string typeName(Value::Type type);

inline const Value& Dictionary::operator[](std::string_view key) const {
    const Value* v = find(key);
    return v ? *v : Value::null();
}

// Writes description(); lets test frameworks print values.
std::ostream& operator<<(std::ostream& out, const Value& value);
