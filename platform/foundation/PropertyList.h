#pragma once
// Property-list coding of Values (NSPropertyListSerialization), over libplist
// 2.2, in the XML and binary ("bplist00") formats.
//
// Types: Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary. Null
// is not a property-list value (error 3852). Strings must be valid UTF-8
// without NUL characters.
//
// Integers: the formats hold signed 64-bit integers plus, as the platform
// writes them, unsigned values above INT64_MAX (16-byte integers in binary,
// plain digits in XML). Reading gives Int for every value that fits int64
// (so UInt 5 reads back as Int 5, equal by value) and UInt only for values
// written as unsigned above INT64_MAX: -1, 0, INT64_MAX, INT64_MIN and
// UINT64_MAX all round-trip with their value in both formats.
//
// Dates keep microsecond precision (XML: whole seconds, as the format says).
// Dictionary key order is kept as written / as the file gives it.
//
// Any malformed input gives std::nullopt and NSError NSCocoaErrorDomain 3840.
//
// UIDs (the keyed archiver's object references) read as the dictionary
// {"CF$UID": n}, which is also how the XML format spells them; see
// plist_uid below for writing them.

#include <cstdint>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

enum class PropertyListFormat { XML, Binary };

struct PropertyListSerialization {
    static std::optional<Data> dataWithPropertyList(const Value& value, PropertyListFormat format,
                                                    NSError* error = nullptr);
    static std::optional<Value> propertyListWithData(const Data& data, NSError* error = nullptr,
                                                     PropertyListFormat* format = nullptr);
};

namespace plist_uid {
inline constexpr const char* kKey = "CF$UID";
// {"CF$UID": n}
Value make(std::uint64_t uid);
// n when value is exactly {"CF$UID": <non-negative integer>}.
std::optional<std::uint64_t> get(const Value& value);
// As dataWithPropertyList, but in the binary format every {"CF$UID": n}
// dictionary is written as a real UID object (as the keyed archiver needs);
// in XML they stay dictionaries, which is the XML spelling of a UID.
std::optional<Data> dataWithUIDs(const Value& value, PropertyListFormat format,
                                 NSError* error = nullptr);
}  // namespace plist_uid
