#include "platform/foundation/JSON.h"

#include <algorithm>
#include <cmath>
#include <limits>

using namespace foundation_errors;

namespace {

struct InvalidValue {
    std::string reason;
};

nlohmann::ordered_json convert(const Value& value, bool sortedKeys, int depth) {
    if (depth > 512) throw InvalidValue{"nesting too deep"};
    switch (value.type()) {
        case Value::Type::Null:
            return nullptr;
        case Value::Type::Bool:
            return *value.asBool();
        case Value::Type::Int:
            return *value.asInt();
        case Value::Type::UInt:
            return *value.asUInt();
        case Value::Type::Double: {
            double d = *value.asDouble();
            if (!std::isfinite(d))
                throw InvalidValue{"Invalid number value (NaN or infinity) in JSON write"};
            return d;
        }
        case Value::Type::String:
            return *value.asString();
        case Value::Type::Data:
            throw InvalidValue{"Invalid type in JSON write (data)"};
        case Value::Type::Date:
            throw InvalidValue{"Invalid type in JSON write (date)"};
        case Value::Type::Array: {
            auto out = nlohmann::ordered_json::array();
            for (const auto& item : *value.asArray())
                out.push_back(convert(item, sortedKeys, depth + 1));
            return out;
        }
        case Value::Type::Dictionary: {
            auto out = nlohmann::ordered_json::object();
            const Dictionary& dict = *value.asDictionary();
            if (sortedKeys) {
                auto keys = dict.keys();
                std::sort(keys.begin(), keys.end());
                for (const auto& k : keys) out[k] = convert(*dict.find(k), sortedKeys, depth + 1);
            } else {
                for (const auto& [k, v] : dict) out[k] = convert(v, sortedKeys, depth + 1);
            }
            return out;
        }
    }
    throw InvalidValue{"unknown value type"};
}

void setError(NSError* error, long long code, std::string text) {
    if (error) *error = NSError::withDescription(NSCocoaErrorDomain, code, std::move(text));
}

}  // namespace

std::optional<nlohmann::ordered_json> toJSON(const Value& value, bool sortedKeys) {
    try {
        return convert(value, sortedKeys, 0);
    } catch (...) {
        return std::nullopt;
    }
}

Value fromJSON(const nlohmann::ordered_json& json) {
    using T = nlohmann::ordered_json::value_t;
    switch (json.type()) {
        case T::null:
            return Value();
        case T::boolean:
            return Value(json.get<bool>());
        case T::number_integer:
            return Value(json.get<std::int64_t>());
        case T::number_unsigned: {
            auto u = json.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return Value(static_cast<std::int64_t>(u));
            return Value(u);
        }
        case T::number_float:
            return Value(json.get<double>());
        case T::string:
            return Value(json.get_ref<const std::string&>());
        case T::array: {
            Array out;
            out.reserve(json.size());
            for (const auto& item : json) out.push_back(fromJSON(item));
            return Value(std::move(out));
        }
        case T::object: {
            Dictionary out;
            for (auto it = json.begin(); it != json.end(); ++it)
                out.set(it.key(), fromJSON(it.value()));
            return Value(std::move(out));
        }
        default:
            return Value();
    }
}

namespace {

// Rejects non-finite numbers (e.g. 1e999 overflows to infinity).
bool allFinite(const nlohmann::ordered_json& json) {
    if (json.is_number_float()) return std::isfinite(json.get<double>());
    if (json.is_structured())
        for (const auto& item : json)
            if (!allFinite(item)) return false;
    return true;
}

}  // namespace

std::optional<Value> NSJSONSerialization::JSONObjectWithData(const Data& data, NSError* error,
                                                             bool allowFragments) {
    try {
        if (data.empty()) {
            setError(error, kReadCorrupt,
                     "The data couldn\u2019t be read because it isn\u2019t in the correct format. "
                     "(Unexpected end of file.)");
            return std::nullopt;
        }
        // Guard the recursive conversion below against absurd nesting.
        int depth = 0, maxDepth = 0;
        bool inString = false, escaped = false;
        for (auto c : data) {
            if (inString) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    inString = false;
            } else if (c == '"')
                inString = true;
            else if (c == '[' || c == '{')
                maxDepth = std::max(maxDepth, ++depth);
            else if (c == ']' || c == '}')
                --depth;
        }
        if (maxDepth > 512) {
            setError(error, kReadCorrupt,
                     "The data couldn\u2019t be read because it isn\u2019t in the correct format. "
                     "(Too many nested arrays or dictionaries.)");
            return std::nullopt;
        }
        auto json = nlohmann::ordered_json::parse(data.begin(), data.end());
        if (!allowFragments && !json.is_array() && !json.is_object()) {
            setError(
                error, kReadCorrupt,
                "The data couldn\u2019t be read because it isn\u2019t in the correct format. (JSON "
                "text did not start with array or object and option to allow fragments not set.)");
            return std::nullopt;
        }
        if (!allFinite(json)) {
            setError(error, kReadCorrupt,
                     "The data couldn\u2019t be read because it isn\u2019t in the correct format. "
                     "(Number out of range.)");
            return std::nullopt;
        }
        return fromJSON(json);
    } catch (const std::exception& e) {
        setError(
            error, kReadCorrupt,
            std::string(
                "The data couldn\u2019t be read because it isn\u2019t in the correct format. (") +
                e.what() + ")");
        return std::nullopt;
    } catch (...) {
        setError(error, kReadCorrupt,
                 "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
        return std::nullopt;
    }
}

std::optional<Data> NSJSONSerialization::dataWithJSONObject(const Value& value, NSError* error,
                                                            bool sortedKeys, bool prettyPrinted) {
    try {
        if (!value.isArray() && !value.isDictionary()) {
            setError(error, kWriteInvalid,
                     "Invalid top-level type in JSON write (" + typeName(value.type()) + ")");
            return std::nullopt;
        }
        auto json = convert(value, sortedKeys, 0);
        std::string text = prettyPrinted ? json.dump(2) : json.dump();
        return Data(text.begin(), text.end());
    } catch (const InvalidValue& e) {
        setError(error, kWriteInvalid, e.reason);
        return std::nullopt;
    } catch (const std::exception& e) {
        // e.g. invalid UTF-8 in a string
        setError(error, kWriteInvalid,
                 std::string("Invalid value in JSON write (") + e.what() + ")");
        return std::nullopt;
    } catch (...) {
        setError(error, kWriteInvalid, "Invalid value in JSON write");
        return std::nullopt;
    }
}

bool NSJSONSerialization::isValidJSONObject(const Value& value) {
    return dataWithJSONObject(value).has_value();
}
