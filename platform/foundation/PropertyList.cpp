#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"

using namespace foundation_errors;

namespace {

constexpr int kMaxDepth = 512;

struct PlistDeleter {
    void operator()(void* p) const {
        if (p) plist_free(static_cast<plist_t>(p));
    }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct WriteFailure {
    std::string reason;
};

void setError(NSError* error, long long code, std::string text) {
    if (error) *error = NSError::withDescription(NSCocoaErrorDomain, code, std::move(text));
}

bool validUTF8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c == 0) return false;  // libplist keeps C strings
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else
            return false;
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

void putBigEndian(std::string& out, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// libplist 2.2 creates dates from int32 seconds only; to keep the full
// range and microseconds we let it read a one-object binary plist instead.
plist_t newDate(double secondsSinceReference) {
    std::string bin = "bplist00";
    bin += static_cast<char>(0x33);
    std::uint64_t bits;
    std::memcpy(&bits, &secondsSinceReference, sizeof bits);
    putBigEndian(bin, bits, 8);
    bin += static_cast<char>(0x08);  // offset table: object 0 at offset 8
    bin += std::string(6, '\0');
    bin += static_cast<char>(1);  // offset int size
    bin += static_cast<char>(1);  // object ref size
    putBigEndian(bin, 1, 8);      // number of objects
    putBigEndian(bin, 0, 8);      // top object
    putBigEndian(bin, 17, 8);     // offset table offset
    plist_t node = nullptr;
    plist_from_bin(bin.data(), static_cast<std::uint32_t>(bin.size()), &node);
    return node;
}

// libplist 2.2 creates every integer as a signed 8-byte one; an unsigned value
// above INT64_MAX is marked as such only when read from XML digits.
plist_t newBigUnsigned(std::uint64_t u) {
    std::string xml = "<plist version=\"1.0\"><integer>" + std::to_string(u) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    return node;
}

// Serializes a single node to binary, so that we can read what libplist's
// getters truncate (dates) or hide (whether an integer is unsigned).
std::string nodeToBinary(plist_t node) {
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::string out;
    if (bin) {
        out.assign(bin, length);
        plist_to_bin_free(bin);
    }
    return out;
}

plist_t build(const Value& value, bool uids, int depth) {
    if (depth > kMaxDepth) throw WriteFailure{"Property list nested too deeply"};
    plist_t node = nullptr;
    switch (value.type()) {
        case Value::Type::Null:
            throw WriteFailure{
                "Property list invalid for format: null is not a property-list value"};
        case Value::Type::Bool:
            node = plist_new_bool(*value.asBool() ? 1 : 0);
            break;
        case Value::Type::Int:
            node = plist_new_uint(static_cast<std::uint64_t>(*value.asInt()));
            break;
        case Value::Type::UInt: {
            std::uint64_t u = *value.asUInt();
            node = u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                       ? newBigUnsigned(u)
                       : plist_new_uint(u);
            break;
        }
        case Value::Type::Double:
            node = plist_new_real(*value.asDouble());
            break;
        case Value::Type::String: {
            auto s = *value.asString();
            if (!validUTF8(s))
                throw WriteFailure{
                    "Property list invalid for format: string is not valid UTF-8 or holds NUL"};
            node = plist_new_string(s.c_str());
            break;
        }
        case Value::Type::Data: {
            const Data& d = *value.asData();
            node = plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
            break;
        }
        case Value::Type::Date: {
            double s = value.asDate()->secondsSinceReferenceDate;
            if (!std::isfinite(s))
                throw WriteFailure{"Property list invalid for format: date is not finite"};
            node = newDate(s);
            break;
        }
        case Value::Type::Array: {
            PlistPtr array(plist_new_array());
            for (const auto& item : *value.asArray())
                plist_array_append_item(array.get(), build(item, uids, depth + 1));
            node = array.release();
            break;
        }
        case Value::Type::Dictionary: {
            if (uids)
                if (auto uid = plist_uid::get(value)) {
                    node = plist_new_uid(*uid);
                    break;
                }
            PlistPtr dict(plist_new_dict());
            for (const auto& [key, item] : *value.asDictionary()) {
                if (!validUTF8(key))
                    throw WriteFailure{
                        "Property list invalid for format: key is not valid UTF-8 or holds NUL"};
                plist_dict_set_item(dict.get(), key.c_str(), build(item, uids, depth + 1));
            }
            node = dict.release();
            break;
        }
    }
    if (!node) throw WriteFailure{"Property list invalid for format"};
    return node;
}

// libplist 2.2 aborts (assert) when asked for a string or key holding a NUL
// character, so such input is refused before libplist sees it. XML may not
// hold NUL at all; in binary we check every string object of the object
// table (and refuse a table we cannot walk).
bool binaryStringsAreSafe(const std::uint8_t* p, std::size_t n) {
    if (n < 8 + 32) return false;
    const std::uint8_t* trailer = p + n - 32;
    auto be = [](const std::uint8_t* q, unsigned bytes) {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < bytes; ++i) v = (v << 8) | q[i];
        return v;
    };
    unsigned offsetSize = trailer[6];
    if (offsetSize < 1 || offsetSize > 8) return false;
    std::uint64_t count = be(trailer + 8, 8);
    std::uint64_t table = be(trailer + 24, 8);
    std::uint64_t end = n - 32;
    if (table > end || count > (end - table) / offsetSize) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t off = be(p + table + i * offsetSize, offsetSize);
        if (off < 8 || off >= table) return false;
        std::uint8_t marker = p[off];
        unsigned kind = marker >> 4;
        if (kind != 0x5 && kind != 0x6) continue;
        std::uint64_t length = marker & 0x0F;
        std::uint64_t start = off + 1;
        if (length == 0x0F) {
            if (start >= table) return false;
            std::uint8_t intMarker = p[start];
            if ((intMarker & 0xF0) != 0x10) return false;
            unsigned bytes = 1u << (intMarker & 0x0F);
            if (bytes > 8 || start + 1 + bytes > table) return false;
            length = be(p + start + 1, bytes);
            start += 1 + bytes;
        }
        std::uint64_t size = kind == 0x5 ? length : length * 2;
        if (kind == 0x6 && length > (table - start) / 2) return false;
        if (size > table - start) return false;
        if (kind == 0x5) {
            if (std::memchr(p + start, 0, size)) return false;
        } else {
            for (std::uint64_t k = 0; k < size; k += 2)
                if (p[start + k] == 0 && p[start + k + 1] == 0) return false;
        }
    }
    return true;
}

struct ReadFailure {
    std::string reason;
};

std::uint64_t readBigEndian(const std::string& s, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

Value convert(plist_t node, int depth) {
    if (!node) throw ReadFailure{"missing object"};
    if (depth > kMaxDepth) throw ReadFailure{"nested too deeply"};
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return Value(static_cast<std::int64_t>(u));
            // Above INT64_MAX: unsigned only when stored as a 16-byte integer.
            std::string bin = nodeToBinary(node);
            if (bin.size() > 8 && static_cast<unsigned char>(bin[8]) == 0x14) return Value(u);
            return Value(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            return Value(s ? std::string(s, length) : std::string());
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            Data d;
            if (bytes)
                d.assign(reinterpret_cast<std::uint8_t*>(bytes),
                         reinterpret_cast<std::uint8_t*>(bytes) + length);
            std::free(bytes);
            return Value(std::move(d));
        }
        case PLIST_DATE: {
            std::string bin = nodeToBinary(node);
            if (bin.size() >= 17 && static_cast<unsigned char>(bin[8]) == 0x33) {
                std::uint64_t bits = readBigEndian(bin, 9, 8);
                double s;
                std::memcpy(&s, &bits, sizeof s);
                return Value(Date{s});
            }
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{sec + usec / 1e6});
        }
        case PLIST_UID: {
            std::uint64_t u = 0;
            plist_get_uid_val(node, &u);
            return plist_uid::make(u);
        }
        case PLIST_ARRAY: {
            Array out;
            std::uint32_t n = plist_array_get_size(node);
            out.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i)
                out.push_back(convert(plist_array_get_item(node, i), depth + 1));
            return Value(std::move(out));
        }
        case PLIST_DICT: {
            Dictionary out;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) throw ReadFailure{"unreadable dictionary"};
            struct IterFree {
                plist_dict_iter it;
                ~IterFree() { std::free(it); }
            } guard{it};
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) {
                    std::free(key);
                    break;
                }
                std::string k = key ? key : "";
                std::free(key);
                out.set(std::move(k), convert(item, depth + 1));
            }
            return Value(std::move(out));
        }
        default:
            throw ReadFailure{"unknown object type"};
    }
}

std::optional<Data> write(const Value& value, PropertyListFormat format, NSError* error,
                          bool uids) {
    try {
        PlistPtr root(build(value, uids, 0));
        char* out = nullptr;
        std::uint32_t length = 0;
        if (format == PropertyListFormat::XML) {
            plist_to_xml(root.get(), &out, &length);
        } else {
            plist_to_bin(root.get(), &out, &length);
        }
        if (!out) {
            setError(error, kWriteInvalid, "Property list could not be written");
            return std::nullopt;
        }
        Data data(reinterpret_cast<std::uint8_t*>(out),
                  reinterpret_cast<std::uint8_t*>(out) + length);
        if (format == PropertyListFormat::XML)
            plist_to_xml_free(out);
        else
            plist_to_bin_free(out);
        return data;
    } catch (const WriteFailure& f) {
        setError(error, kWriteInvalid, f.reason);
        return std::nullopt;
    } catch (const std::exception& e) {
        setError(error, kWriteInvalid,
                 std::string("Property list could not be written (") + e.what() + ")");
        return std::nullopt;
    }
}

const char* kCorrupt =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";

}  // namespace

std::optional<Data> PropertyListSerialization::dataWithPropertyList(const Value& value,
                                                                    PropertyListFormat format,
                                                                    NSError* error) {
    return write(value, format, error, false);
}

std::optional<Value> PropertyListSerialization::propertyListWithData(const Data& data,
                                                                     NSError* error,
                                                                     PropertyListFormat* format) {
    try {
        if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) {
            setError(error, kReadCorrupt, kCorrupt);
            return std::nullopt;
        }
        const char* bytes = reinterpret_cast<const char*>(data.data());
        auto length = static_cast<std::uint32_t>(data.size());
        bool binary = data.size() >= 8 && std::memcmp(bytes, "bplist00", 8) == 0;
        plist_t raw = nullptr;
        if (binary) {
            if (!binaryStringsAreSafe(data.data(), data.size())) {
                setError(error, kReadCorrupt, kCorrupt);
                return std::nullopt;
            }
            plist_from_bin(bytes, length, &raw);
        } else {
            // Only try XML on text that looks like it (libplist's XML reader
            // wants the <plist> element).
            std::string_view text(bytes, length);
            if (text.find("<plist") == std::string_view::npos ||
                text.find('\0') != std::string_view::npos) {
                setError(error, kReadCorrupt, kCorrupt);
                return std::nullopt;
            }
            plist_from_xml(bytes, length, &raw);
        }
        PlistPtr root(raw);
        if (!root) {
            setError(error, kReadCorrupt, kCorrupt);
            return std::nullopt;
        }
        Value value = convert(root.get(), 0);
        if (format) *format = binary ? PropertyListFormat::Binary : PropertyListFormat::XML;
        return value;
    } catch (const ReadFailure& f) {
        setError(error, kReadCorrupt, std::string(kCorrupt) + " (" + f.reason + ")");
        return std::nullopt;
    } catch (const std::exception& e) {
        setError(error, kReadCorrupt, std::string(kCorrupt) + " (" + e.what() + ")");
        return std::nullopt;
    }
}

namespace plist_uid {

Value make(std::uint64_t uid) {
    Dictionary d;
    d.set(kKey, Value(uid));
    return Value(std::move(d));
}

std::optional<std::uint64_t> get(const Value& value) {
    const Dictionary* d = value.asDictionary();
    if (!d || d->size() != 1) return std::nullopt;
    const Value* v = d->find(kKey);
    if (!v || !v->isInteger()) return std::nullopt;
    return v->asUInt();
}

std::optional<Data> dataWithUIDs(const Value& value, PropertyListFormat format, NSError* error) {
    return write(value, format, error, format == PropertyListFormat::Binary);
}

}  // namespace plist_uid
