#include "platform/foundation/KeyedArchiver.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "platform/foundation/PropertyList.h"

using namespace foundation_errors;

namespace {

constexpr int kMaxDepth = 512;
constexpr const char* kNull = "$null";

const std::vector<std::string>& propertyListClasses() {
    // Storage threads may decode while the process exits: never destroyed.
    static const auto* names = new std::vector<std::string>{"NSString", "NSNumber", "NSData",
                                                            "NSDate",   "NSArray",  "NSDictionary"};
    return *names;
}

std::string canonicalClass(const std::string& name) {
    if (name == "NSMutableArray") return "NSArray";
    if (name == "NSMutableDictionary") return "NSDictionary";
    if (name == "NSMutableString") return "NSString";
    if (name == "NSMutableData") return "NSData";
    return name;
}

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
    return out;
}

// Allowed classes of one decode call; `any` for insecure decoding.
struct Allowed {
    bool any = false;
    std::vector<std::string> names;

    bool permits(const std::string& className, const std::vector<std::string>& chain) const {
        if (any) return true;
        for (const auto& n : names) {
            if (n == "NSObject") return true;
            if (canonicalClass(n) == canonicalClass(className)) return true;
            for (const auto& c : chain)
                if (c != "NSObject" && c == n) return true;
        }
        return false;
    }
    std::string describe() const { return "{(" + joinNames(names) + ")}"; }
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, NSCodingRegistry::Entry> entries;
    static Registry& shared() {
        static auto* r = new Registry();  // used from queue threads until exit
        return *r;
    }
};

NSError coderError(long long code, std::string text) {
    return NSError::withDescription(NSCocoaErrorDomain, code, std::move(text));
}

NSError corrupt(const std::string& detail) {
    return coderError(
        kCoderReadCorrupt,
        "The data couldn\u2019t be read because it isn\u2019t in the correct format. (" + detail +
            ")");
}

}  // namespace

// ---------------------------------------------------------------------------
// Id

Id::Id(Value value) {
    if (!value.isNull()) value_ = std::move(value);
}

std::string archiveClassName(const Value& value) {
    switch (value.type()) {
        case Value::Type::Null:
            return "";
        case Value::Type::Bool:
        case Value::Type::Int:
        case Value::Type::UInt:
        case Value::Type::Double:
            return "NSNumber";
        case Value::Type::String:
            return "NSString";
        case Value::Type::Data:
            return "NSData";
        case Value::Type::Date:
            return "NSDate";
        case Value::Type::Array:
            return "NSArray";
        case Value::Type::Dictionary:
            return "NSDictionary";
    }
    return "";
}

std::string Id::className() const {
    if (object_) return object_->className();
    if (value_) return archiveClassName(*value_);
    return "";
}

// ---------------------------------------------------------------------------
// Registry

void NSCodingRegistry::registerClass(std::string className, InitWithCoder initWithCoder,
                                     bool supportsSecureCoding) {
    auto& r = Registry::shared();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.entries[std::move(className)] = Entry{std::move(initWithCoder), supportsSecureCoding};
}

std::optional<NSCodingRegistry::Entry> NSCodingRegistry::lookup(const std::string& className) {
    auto& r = Registry::shared();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.entries.find(className);
    if (it == r.entries.end()) return std::nullopt;
    return it->second;
}

bool NSCodingRegistry::unregisterClass(const std::string& className) {
    auto& r = Registry::shared();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.entries.erase(className) > 0;
}

// ---------------------------------------------------------------------------
// Coder state

struct NSCoder::State {
    bool archiving = false;
    bool secure = false;
    std::optional<NSError> error;
    int depth = 0;

    // Archiving.
    Array objects{Value(kNull)};
    std::vector<Dictionary> records{Dictionary{}};  // records[0] is $top
    std::map<const NSObject*, std::uint64_t> objectUIDs;
    std::map<std::string, std::uint64_t> stringUIDs;
    std::map<std::string, std::uint64_t> classUIDs;

    // Unarchiving.
    Value archive;
    const Array* archived = nullptr;
    std::vector<const Dictionary*> current;  // current[0] is $top
    std::map<std::uint64_t, Id> decoded;
    std::set<std::uint64_t> inProgress;
    Allowed topAllowed;

    void fail(NSError e) {
        if (!error) error = std::move(e);
    }

    // --- archiving ---

    std::uint64_t push(Value v) {
        objects.push_back(std::move(v));
        return objects.size() - 1;
    }

    std::uint64_t classUID(const std::string& name) {
        auto it = classUIDs.find(name);
        if (it != classUIDs.end()) return it->second;
        Array chain{Value(name)};
        if (name != "NSObject") chain.push_back(Value("NSObject"));
        Dictionary record;
        record.set("$classes", Value(std::move(chain)));
        record.set("$classname", Value(name));
        auto uid = push(Value(std::move(record)));
        classUIDs[name] = uid;
        return uid;
    }

    std::uint64_t encodeValue(const Value& v, int level) {
        if (level > kMaxDepth) {
            fail(coderError(kCoderInvalidValue, "Object graph nested too deeply to archive."));
            return 0;
        }
        switch (v.type()) {
            case Value::Type::Null:
                return 0;
            case Value::Type::String: {
                const std::string s = *v.asString();
                auto it = stringUIDs.find(s);
                if (it != stringUIDs.end()) return it->second;
                auto uid = push(v);
                stringUIDs[s] = uid;
                return uid;
            }
            case Value::Type::Bool:
            case Value::Type::Int:
            case Value::Type::UInt:
            case Value::Type::Double:
            case Value::Type::Data:
                return push(v);
            case Value::Type::Date: {
                auto uid = push(Value());
                Dictionary record;
                record.set("NS.time", Value(v.asDate()->secondsSinceReferenceDate));
                record.set("$class", plist_uid::make(classUID("NSDate")));
                objects[uid] = Value(std::move(record));
                return uid;
            }
            case Value::Type::Array: {
                auto uid = push(Value());
                Array refs;
                for (const auto& item : *v.asArray())
                    refs.push_back(plist_uid::make(encodeValue(item, level + 1)));
                Dictionary record;
                record.set("NS.objects", Value(std::move(refs)));
                record.set("$class", plist_uid::make(classUID("NSArray")));
                objects[uid] = Value(std::move(record));
                return uid;
            }
            case Value::Type::Dictionary: {
                auto uid = push(Value());
                Array keys, refs;
                for (const auto& [key, item] : *v.asDictionary()) {
                    keys.push_back(plist_uid::make(encodeValue(Value(key), level + 1)));
                    refs.push_back(plist_uid::make(encodeValue(item, level + 1)));
                }
                Dictionary record;
                record.set("NS.keys", Value(std::move(keys)));
                record.set("NS.objects", Value(std::move(refs)));
                record.set("$class", plist_uid::make(classUID("NSDictionary")));
                objects[uid] = Value(std::move(record));
                return uid;
            }
        }
        return 0;
    }

    std::uint64_t encodeId(NSCoder& coder, const Id& id) {
        if (error) return 0;
        if (const Value* v = id.value()) return encodeValue(*v, depth);
        auto object = id.object();
        if (!object) return 0;
        auto known = objectUIDs.find(object.get());
        if (known != objectUIDs.end()) return known->second;
        const std::string name = object->className();
        auto* coding = dynamic_cast<const NSCoding*>(object.get());
        if (!coding) {
            fail(coderError(
                kCoderInvalidValue,
                "Class '" + name + "' does not conform to NSCoding and cannot be archived."));
            return 0;
        }
        if (secure && !coding->supportsSecureCoding()) {
            fail(coderError(kCoderInvalidValue,
                            "This coder requires that classes adopt NSSecureCoding. Class '" +
                                name + "' does not adopt it."));
            return 0;
        }
        if (depth >= kMaxDepth) {
            fail(coderError(kCoderInvalidValue, "Object graph nested too deeply to archive."));
            return 0;
        }
        auto uid = push(Value());
        objectUIDs[object.get()] = uid;
        records.emplace_back();
        ++depth;
        try {
            coding->encodeWithCoder(coder);
        } catch (const std::exception& e) {
            fail(coderError(kCoderInvalidValue,
                            "Encoding an object of class '" + name + "' failed: " + e.what()));
        } catch (...) {
            fail(coderError(kCoderInvalidValue,
                            "Encoding an object of class '" + name + "' failed."));
        }
        --depth;
        Dictionary record = std::move(records.back());
        records.pop_back();
        record.set("$class", plist_uid::make(classUID(name)));
        objects[uid] = Value(std::move(record));
        return uid;
    }

    // --- unarchiving ---

    const Value* recordValue(const std::string& key) const {
        if (current.empty()) return nullptr;
        return current.back()->find(key);
    }

    struct ClassInfo {
        std::string name;
        std::vector<std::string> chain;
    };

    std::optional<ClassInfo> classInfo(const Dictionary& record) {
        const Value* ref = record.find("$class");
        auto uid = ref ? plist_uid::get(*ref) : std::nullopt;
        if (!uid || *uid == 0 || *uid >= archived->size()) {
            fail(corrupt("object record without a valid $class"));
            return std::nullopt;
        }
        const Dictionary* cls = (*archived)[*uid].asDictionary();
        const Value* nameValue = cls ? cls->find("$classname") : nullptr;
        if (!nameValue || !nameValue->isString()) {
            fail(corrupt("invalid class record"));
            return std::nullopt;
        }
        ClassInfo info{*nameValue->asString(), {}};
        if (const Value* classes = cls->find("$classes"); classes && classes->isArray())
            for (const auto& c : *classes->asArray())
                if (auto s = c.asString()) info.chain.push_back(*s);
        return info;
    }

    // The class name of the object at uid without decoding it.
    std::optional<ClassInfo> peekClass(const Value& raw) {
        if (raw.isDictionary()) {
            if (plist_uid::get(raw)) {
                fail(corrupt("object table entry is a reference"));
                return std::nullopt;
            }
            return classInfo(*raw.asDictionary());
        }
        std::string name = archiveClassName(raw);
        if (name.empty() || raw.isArray()) {
            fail(corrupt("invalid object table entry"));
            return std::nullopt;
        }
        return ClassInfo{name, {}};
    }

    // Decodes a property-list value referenced from inside NSArray /
    // NSDictionary records.
    std::optional<Value> decodeContainedValue(NSCoder& coder, const Value& ref) {
        auto uid = plist_uid::get(ref);
        if (!uid) {
            fail(corrupt("collection element is not a reference"));
            return std::nullopt;
        }
        Allowed plist{false, propertyListClasses()};
        Id id = decodeUID(coder, *uid, plist, "NS.objects");
        if (error) return std::nullopt;
        if (id.object()) {
            fail(corrupt("collection holds an object that is not a property-list value"));
            return std::nullopt;
        }
        return id.value() ? *id.value() : Value();
    }

    std::optional<Value> decodeBuiltin(NSCoder& coder, const std::string& name,
                                       const Dictionary& record) {
        const std::string canonical = canonicalClass(name);
        if (canonical == "NSArray") {
            const Value* refs = record.find("NS.objects");
            if (!refs || !refs->isArray()) {
                fail(corrupt("NSArray without NS.objects"));
                return std::nullopt;
            }
            Array out;
            for (const auto& ref : *refs->asArray()) {
                auto v = decodeContainedValue(coder, ref);
                if (!v) return std::nullopt;
                out.push_back(std::move(*v));
            }
            return Value(std::move(out));
        }
        if (canonical == "NSDictionary") {
            const Value* keys = record.find("NS.keys");
            const Value* refs = record.find("NS.objects");
            if (!keys || !refs || !keys->isArray() || !refs->isArray() ||
                keys->asArray()->size() != refs->asArray()->size()) {
                fail(corrupt("NSDictionary without matching NS.keys and NS.objects"));
                return std::nullopt;
            }
            Dictionary out;
            for (std::size_t i = 0; i < keys->asArray()->size(); ++i) {
                auto key = decodeContainedValue(coder, (*keys->asArray())[i]);
                if (!key) return std::nullopt;
                if (!key->isString()) {
                    fail(corrupt("NSDictionary key is not a string"));
                    return std::nullopt;
                }
                auto value = decodeContainedValue(coder, (*refs->asArray())[i]);
                if (!value) return std::nullopt;
                out.set(*key->asString(), std::move(*value));
            }
            return Value(std::move(out));
        }
        if (canonical == "NSDate") {
            const Value* t = record.find("NS.time");
            auto seconds = t && t->isNumber() ? t->asDouble() : std::nullopt;
            if (!seconds) {
                fail(corrupt("NSDate without NS.time"));
                return std::nullopt;
            }
            return Value(Date{*seconds});
        }
        if (canonical == "NSString") {
            const Value* s = record.find("NS.string");
            if (!s || !s->isString()) {
                fail(corrupt("NSString without NS.string"));
                return std::nullopt;
            }
            return *s;
        }
        if (canonical == "NSData") {
            const Value* d = record.find("NS.data");
            if (!d || !d->isData()) {
                fail(corrupt("NSData without NS.data"));
                return std::nullopt;
            }
            return *d;
        }
        return std::nullopt;
    }

    Id decodeUID(NSCoder& coder, std::uint64_t uid, const Allowed& allowed,
                 const std::string& key) {
        if (error) return {};
        if (uid == 0) return {};
        if (uid >= archived->size()) {
            fail(corrupt("reference out of range"));
            return {};
        }
        const Value& raw = (*archived)[uid];
        auto info = peekClass(raw);
        if (!info) return {};
        if (!allowed.permits(info->name, info->chain)) {
            fail(corrupt("value for key '" + key + "' was of unexpected class '" + info->name +
                         "'. Allowed classes are '" + allowed.describe() + "'."));
            return {};
        }
        auto done = decoded.find(uid);
        if (done != decoded.end()) return done->second;
        if (inProgress.count(uid)) {
            fail(corrupt("reference cycle in archive"));
            return {};
        }
        if (depth >= kMaxDepth) {
            fail(corrupt("archive nested too deeply"));
            return {};
        }
        if (!raw.isDictionary()) {
            // Inline string, number or data.
            if (raw.isString() && *raw.asString() == kNull) {
                fail(corrupt("$null referenced outside slot 0"));
                return {};
            }
            decoded[uid] = Id(raw);
            return decoded[uid];
        }
        const Dictionary& record = *raw.asDictionary();
        inProgress.insert(uid);
        ++depth;
        Id result;
        if (auto builtin = decodeBuiltin(coder, info->name, record)) {
            result = Id(std::move(*builtin));
        } else if (!error) {
            result = decodeObject(coder, *info, record);
        }
        --depth;
        inProgress.erase(uid);
        if (error) return {};
        decoded[uid] = result;
        return result;
    }

    Id decodeObject(NSCoder& coder, const ClassInfo& info, const Dictionary& record) {
        const std::string canonical = canonicalClass(info.name);
        for (const auto& plist : propertyListClasses())
            if (canonical == plist) return {};  // decodeBuiltin already failed
        auto entry = NSCodingRegistry::lookup(info.name);
        if (!entry || !entry->initWithCoder) {
            fail(corrupt("cannot decode object of class (" + info.name +
                         ") for key; the class may be defined in source code or a library that "
                         "is not linked"));
            return {};
        }
        if (secure && !entry->supportsSecureCoding) {
            fail(
                corrupt("This decoder will only decode classes that adopt NSSecureCoding. Class '" +
                        info.name + "' does not adopt it."));
            return {};
        }
        current.push_back(&record);
        std::shared_ptr<NSObject> object;
        try {
            object = entry->initWithCoder(coder);
        } catch (const std::exception& e) {
            fail(corrupt("decoding an object of class '" + info.name + "' failed: " + e.what()));
        } catch (...) {
            fail(corrupt("decoding an object of class '" + info.name + "' failed"));
        }
        current.pop_back();
        if (error) return {};
        if (!object) {
            fail(corrupt("initWithCoder of class '" + info.name + "' returned nil"));
            return {};
        }
        return Id(std::move(object));
    }

    Id decodeForKey(NSCoder& coder, const std::string& key, const Allowed& allowed) {
        if (archiving) {
            fail(coderError(kCoderInvalidValue, "decode called on an archiving coder"));
            return {};
        }
        if (error) return {};
        const Value* ref = recordValue(key);
        if (!ref) return {};
        auto uid = plist_uid::get(*ref);
        if (!uid) {
            fail(corrupt("value for key '" + key + "' is not an object reference"));
            return {};
        }
        return decodeUID(coder, *uid, allowed, key);
    }

    const Value* primitive(const std::string& key) {
        if (archiving) {
            fail(coderError(kCoderInvalidValue, "decode called on an archiving coder"));
            return nullptr;
        }
        if (error) return nullptr;
        const Value* v = recordValue(key);
        if (!v) return nullptr;
        if (!v->isNumber() && !v->isBool()) {
            fail(corrupt("value for key '" + key + "' is not a number"));
            return nullptr;
        }
        return v;
    }

    void setPrimitive(const std::string& key, Value v) {
        if (!archiving) {
            fail(coderError(kCoderInvalidValue, "encode called on an unarchiving coder"));
            return;
        }
        if (error) return;
        records.back().set(key, std::move(v));
    }
};

// ---------------------------------------------------------------------------
// NSCoder

NSCoder::NSCoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
NSCoder::~NSCoder() = default;

bool NSCoder::isArchiving() const {
    return state_->archiving;
}

void NSCoder::encodeObject(const Id& object, const std::string& key) {
    if (!state_->archiving) {
        state_->fail(coderError(kCoderInvalidValue, "encode called on an unarchiving coder"));
        return;
    }
    if (state_->error) return;
    auto uid = state_->encodeId(*this, object);
    if (state_->error) return;
    state_->records.back().set(key, plist_uid::make(uid));
}

void NSCoder::encodeInteger(std::int64_t value, const std::string& key) {
    state_->setPrimitive(key, Value(value));
}
void NSCoder::encodeBool(bool value, const std::string& key) {
    state_->setPrimitive(key, Value(value));
}
void NSCoder::encodeDouble(double value, const std::string& key) {
    state_->setPrimitive(key, Value(value));
}

Id NSCoder::decodeObjectForKey(const std::string& key) {
    Allowed allowed;
    if (state_->secure) {
        allowed.names = propertyListClasses();
        for (const auto& n : state_->topAllowed.names) allowed.names.push_back(n);
    } else {
        allowed.any = true;
    }
    return state_->decodeForKey(*this, key, allowed);
}

Id NSCoder::decodeObjectOfClass(const std::string& className, const std::string& key) {
    return decodeObjectOfClasses({className}, key);
}

Id NSCoder::decodeObjectOfClasses(const std::vector<std::string>& classNames,
                                  const std::string& key) {
    return state_->decodeForKey(*this, key, Allowed{false, classNames});
}

std::int64_t NSCoder::decodeIntegerForKey(const std::string& key) {
    const Value* v = state_->primitive(key);
    if (!v) return 0;
    if (auto i = v->asInt()) return *i;
    state_->fail(corrupt("value for key '" + key + "' does not fit an integer"));
    return 0;
}

bool NSCoder::decodeBoolForKey(const std::string& key) {
    const Value* v = state_->primitive(key);
    if (!v) return false;
    if (auto b = v->asBool()) return *b;
    auto d = v->asDouble();
    return d && *d != 0;
}

double NSCoder::decodeDoubleForKey(const std::string& key) {
    const Value* v = state_->primitive(key);
    if (!v) return 0;
    return v->asDouble().value_or(0);
}

bool NSCoder::containsValueForKey(const std::string& key) const {
    if (state_->archiving) return state_->records.back().contains(key);
    return state_->recordValue(key) != nullptr;
}

bool NSCoder::requiresSecureCoding() const {
    return state_->secure;
}

void NSCoder::failWithError(NSError error) {
    state_->fail(std::move(error));
}

std::optional<NSError> NSCoder::error() const {
    return state_->error;
}

// ---------------------------------------------------------------------------
// Archiver / unarchiver

std::optional<Data> NSKeyedArchiver::archivedDataWithRootObject(const Id& root,
                                                                bool requiringSecureCoding,
                                                                NSError* error) {
    auto state = std::make_unique<NSCoder::State>();
    state->archiving = true;
    state->secure = requiringSecureCoding;
    NSCoder coder(std::move(state));
    auto& s = *coder.state_;
    coder.encodeObject(root, "root");
    if (s.error) {
        if (error) *error = *s.error;
        return std::nullopt;
    }
    Dictionary archive;
    archive.set("$version", Value(100000));
    archive.set("$archiver", Value("NSKeyedArchiver"));
    archive.set("$top", Value(std::move(s.records.front())));
    archive.set("$objects", Value(std::move(s.objects)));
    NSError writeError;
    auto data =
        plist_uid::dataWithUIDs(Value(std::move(archive)), PropertyListFormat::Binary, &writeError);
    if (!data) {
        if (error)
            *error = NSError(NSCocoaErrorDomain, kCoderInvalidValue,
                             Dictionary{{NSError::NSLocalizedDescriptionKey,
                                         Value("The archive could not be written: " +
                                               writeError.localizedDescription())}});
        return std::nullopt;
    }
    return data;
}

Id NSKeyedUnarchiver::unarchive(const Data& data, bool secure,
                                const std::vector<std::string>& classNames, NSError* error) {
    auto state = std::make_unique<NSCoder::State>();
    state->archiving = false;
    state->secure = secure;
    state->topAllowed = Allowed{!secure, classNames};
    auto* s = state.get();

    auto report = [&](const NSError& e) {
        if (error) *error = e;
        return Id();
    };

    NSError plistError;
    auto parsed = PropertyListSerialization::propertyListWithData(data, &plistError);
    if (!parsed) {
        NSError e = corrupt("not a property list");
        e.userInfo.set(NSError::NSUnderlyingErrorKey, Value(plistError.description()));
        return report(e);
    }
    s->archive = std::move(*parsed);
    const Value& archive = s->archive;
    const Value& archiver = archive["$archiver"];
    const Value& version = archive["$version"];
    const Value* top = archive["$top"].isDictionary() ? &archive["$top"] : nullptr;
    const Array* objects = archive["$objects"].asArray();
    if (!archive.isDictionary() || archiver != Value("NSKeyedArchiver") || !version.isInteger() ||
        !top || !objects || objects->empty() || (*objects)[0] != Value(kNull))
        return report(corrupt("not a keyed archive"));
    s->archived = objects;
    s->current.push_back(top->asDictionary());
    if (!top->asDictionary()->contains("root"))
        return report(corrupt("archive without a root object"));

    NSCoder coder(std::move(state));
    Id root = s->decodeForKey(coder, "root", s->topAllowed);
    if (s->error) return report(*s->error);
    return root;
}

Id NSKeyedUnarchiver::unarchivedObjectOfClass(const std::string& className, const Data& data,
                                              NSError* error) {
    return unarchive(data, true, {className}, error);
}

Id NSKeyedUnarchiver::unarchivedObjectOfClasses(const std::vector<std::string>& classNames,
                                                const Data& data, NSError* error) {
    return unarchive(data, true, classNames, error);
}

Id NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(const Data& data, NSError* error) {
    return unarchive(data, false, {}, error);
}
