#pragma once
// JSON coding of Values (NSJSONSerialization), over nlohmann-json. Failures
// come back as std::nullopt plus an NSError in NSCocoaErrorDomain; no
// exception leaves the public functions.

#include <optional>

#include <nlohmann/json.hpp>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

struct NSJSONSerialization {
    // Top level must be an array or a dictionary unless allowFragments.
    // Integers: negative -> Int; non-negative -> Int when it fits int64, else
    // UInt; too large for uint64 or with fraction/exponent -> Double.
    static std::optional<Value> JSONObjectWithData(const Data& data, NSError* error = nullptr,
                                                   bool allowFragments = false);
    // The top level must be an array or a dictionary (as the platform
    // requires). Data, Date, NaN, infinities and invalid UTF-8 are errors
    // (code 3852). sortedKeys sorts dictionary keys at every level;
    // prettyPrinted indents by two spaces.
    static std::optional<Data> dataWithJSONObject(const Value& value, NSError* error = nullptr,
                                                  bool sortedKeys = false,
                                                  bool prettyPrinted = false);
    // True when dataWithJSONObject would succeed.
    static bool isValidJSONObject(const Value& value);
};

// Conversion of any Value (fragments allowed); std::nullopt when the value
// (or a nested one) is not representable in JSON. Never throws.
std::optional<nlohmann::ordered_json> toJSON(const Value& value, bool sortedKeys = false);
// Never throws; binary and discarded JSON values become null.
Value fromJSON(const nlohmann::ordered_json& json);
