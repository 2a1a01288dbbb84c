#pragma once
// Keyed archives in the platform's NSKeyedArchiver layout, a binary property
// list:
//   {"$version": 100000, "$archiver": "NSKeyedArchiver",
//    "$top": {"root": UID(1)}, "$objects": ["$null", ...]}
// Object records are dictionaries with "$class" (a UID of a class record
// {"$classname": name, "$classes": [name, "NSObject"]}) plus the keys the
// object encoded. Strings, numbers and data sit inline in $objects; dates are
// NSDate records ("NS.time"); arrays and dictionaries are NSArray /
// NSDictionary records ("NS.objects", "NS.keys"). Integers, booleans and
// doubles encoded with encodeInteger/Bool/Double sit directly in the record.
//
// Nothing here throws: failures give a nil Id / std::nullopt plus an NSError
// in NSCocoaErrorDomain (4864 for archives that cannot be decoded — malformed,
// unknown class, class not allowed; 4866 for objects that cannot be
// archived).
//
// Secure decoding: the root (and every decodeObjectOfClass(es) call) names
// the allowed classes; a class not listed, or a registered class that does
// not support secure coding, fails. Property-list classes are "NSString",
// "NSNumber", "NSData", "NSDate", "NSArray", "NSDictionary" (the mutable
// names are accepted for the same values); "NSObject" allows any class.
// Inside NSArray/NSDictionary only property-list values can appear (they are
// Values), and those are always allowed there. decodeObjectForKey in secure
// mode allows the property-list classes plus the classes allowed at the top.
// A class check is made in insecure mode too: decodeObjectOfClass never
// returns an object of another class.
//
// Objects referenced twice decode to the same shared_ptr; reference cycles
// are refused when decoding.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class NSCoder;

// An archived object: nil, a property-list Value or an NSCoding object.
class Id {
  public:
    Id() = default;
    Id(std::nullptr_t) {}
    Id(Value value);  // a null Value is nil
    Id(const char* string) : Id(Value(string)) {}
    Id(std::string string) : Id(Value(std::move(string))) {}
    Id(std::shared_ptr<NSObject> object) : object_(std::move(object)) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<NSObject, T> &&
                                                !std::is_same_v<T, NSObject>>>
    Id(std::shared_ptr<T> object)
        : object_(std::static_pointer_cast<NSObject>(std::move(object))) {}

    bool isNil() const { return !value_ && !object_; }
    const Value* value() const { return value_ ? &*value_ : nullptr; }
    std::shared_ptr<NSObject> object() const { return object_; }
    template <class T>
    std::shared_ptr<T> as() const {
        return std::dynamic_pointer_cast<T>(object_);
    }
    // "NSString", "NSNumber", "NSData", "NSDate", "NSArray", "NSDictionary"
    // for values, the object's className(), "" for nil.
    std::string className() const;

  private:
    std::optional<Value> value_;
    std::shared_ptr<NSObject> object_;
};

// The class name the archive uses for a property-list value ("" for null).
std::string archiveClassName(const Value& value);

// Mix-in for NSObject subclasses that can be archived.
class NSCoding {
  public:
    virtual ~NSCoding() = default;
    virtual void encodeWithCoder(NSCoder& coder) const = 0;
    virtual bool supportsSecureCoding() const { return false; }
};

// Maps archived class names to their initWithCoder. Thread-safe.
struct NSCodingRegistry {
    using InitWithCoder = std::function<std::shared_ptr<NSObject>(NSCoder&)>;
    struct Entry {
        InitWithCoder initWithCoder;
        bool supportsSecureCoding = false;
    };
    // Registering a name again replaces the previous entry.
    static void registerClass(std::string className, InitWithCoder initWithCoder,
                              bool supportsSecureCoding);
    static std::optional<Entry> lookup(const std::string& className);
    static bool unregisterClass(const std::string& className);
};

// Registers T using T::kClassName, T::initWithCoder(NSCoder&) (a
// shared_ptr<T> or nullptr on failure) and T::kSupportsSecureCoding.
template <class T>
void registerCodingClass() {
    NSCodingRegistry::registerClass(
        T::kClassName,
        [](NSCoder& coder) -> std::shared_ptr<NSObject> { return T::initWithCoder(coder); },
        T::kSupportsSecureCoding);
}

// One coder per archiving or unarchiving run; the archiver and unarchiver
// create it. Encode calls are for archiving, decode calls for unarchiving;
// the other kind fails the coder.
class NSCoder {
  public:
    ~NSCoder();
    NSCoder(const NSCoder&) = delete;
    NSCoder& operator=(const NSCoder&) = delete;

    bool isArchiving() const;

    void encodeObject(const Id& object, const std::string& key);
    void encodeInteger(std::int64_t value, const std::string& key);
    void encodeBool(bool value, const std::string& key);
    void encodeDouble(double value, const std::string& key);

    Id decodeObjectForKey(const std::string& key);
    Id decodeObjectOfClass(const std::string& className, const std::string& key);
    Id decodeObjectOfClasses(const std::vector<std::string>& classNames, const std::string& key);
    std::int64_t decodeIntegerForKey(const std::string& key);  // 0 when absent
    bool decodeBoolForKey(const std::string& key);             // false when absent
    double decodeDoubleForKey(const std::string& key);         // 0 when absent
    bool containsValueForKey(const std::string& key) const;

    bool requiresSecureCoding() const;
    // Records the first error; later decodes return nil / 0 and the run fails.
    void failWithError(NSError error);
    std::optional<NSError> error() const;

    struct State;

  private:
    explicit NSCoder(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
    friend struct NSKeyedArchiver;
    friend struct NSKeyedUnarchiver;
};

struct NSKeyedArchiver {
    static std::optional<Data> archivedDataWithRootObject(const Id& root,
                                                          bool requiringSecureCoding,
                                                          NSError* error = nullptr);
};

struct NSKeyedUnarchiver {
    // Secure: the root must be of one of the given classes.
    static Id unarchivedObjectOfClass(const std::string& className, const Data& data,
                                      NSError* error = nullptr);
    static Id unarchivedObjectOfClasses(const std::vector<std::string>& classNames,
                                        const Data& data, NSError* error = nullptr);
    // Insecure: any registered class.
    static Id unarchiveTopLevelObjectWithData(const Data& data, NSError* error = nullptr);

  private:
    static Id unarchive(const Data& data, bool secure, const std::vector<std::string>& classNames,
                        NSError* error);
};
