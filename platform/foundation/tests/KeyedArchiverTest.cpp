#include "platform/foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/foundation/PropertyList.h"

namespace {

// A test-only NSCoding class: a named point with an optional link to another.
class TestPoint : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "TestPoint";
    static constexpr bool kSupportsSecureCoding = true;

    std::int64_t x = 0;
    double y = 0;
    bool visible = false;
    std::string name;
    Value tags;  // any property-list value
    std::shared_ptr<TestPoint> next;

    std::string className() const override { return kClassName; }
    bool supportsSecureCoding() const override { return kSupportsSecureCoding; }

    void encodeWithCoder(NSCoder& coder) const override {
        coder.encodeInteger(x, "x");
        coder.encodeDouble(y, "y");
        coder.encodeBool(visible, "visible");
        coder.encodeObject(Value(name), "name");
        coder.encodeObject(tags, "tags");
        coder.encodeObject(next, "next");
    }

    static std::shared_ptr<TestPoint> initWithCoder(NSCoder& coder) {
        auto p = std::make_shared<TestPoint>();
        p->x = coder.decodeIntegerForKey("x");
        p->y = coder.decodeDoubleForKey("y");
        p->visible = coder.decodeBoolForKey("visible");
        Id name = coder.decodeObjectOfClass("NSString", "name");
        if (!name.value()) return nullptr;
        p->name = *name.value()->asString();
        Id tags = coder.decodeObjectOfClasses({"NSArray", "NSDictionary"}, "tags");
        if (tags.value()) p->tags = *tags.value();
        p->next = coder.decodeObjectOfClass(kClassName, "next").as<TestPoint>();
        if (coder.error()) return nullptr;
        return p;
    }
};

// Codes fine but does not support secure coding.
class Insecure : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "Insecure";
    static constexpr bool kSupportsSecureCoding = false;
    std::string className() const override { return kClassName; }
    void encodeWithCoder(NSCoder& coder) const override { coder.encodeInteger(1, "one"); }
    static std::shared_ptr<Insecure> initWithCoder(NSCoder&) {
        return std::make_shared<Insecure>();
    }
};

class NotCoding : public NSObject {
  public:
    std::string className() const override { return "NotCoding"; }
};

class Registered : public ::testing::Test {
  protected:
    void SetUp() override {
        registerCodingClass<TestPoint>();
        registerCodingClass<Insecure>();
    }
};

std::shared_ptr<TestPoint> makePoint(std::int64_t x, const std::string& name) {
    auto p = std::make_shared<TestPoint>();
    p->x = x;
    p->y = x * 0.5;
    p->visible = x % 2 == 1;
    p->name = name;
    p->tags = Value(Array{"a", Dictionary{{"n", x}}});
    return p;
}

Value archiveAsPlist(const Data& data) {
    auto v = PropertyListSerialization::propertyListWithData(data);
    EXPECT_TRUE(v);
    return v ? *v : Value();
}

Data archiveOf(const Value& plist) {
    auto data = plist_uid::dataWithUIDs(plist, PropertyListFormat::Binary);
    EXPECT_TRUE(data);
    return data ? *data : Data{};
}

}  // namespace

TEST_F(Registered, LayoutMatchesThePlatform) {
    auto data = NSKeyedArchiver::archivedDataWithRootObject(makePoint(3, "p"), true);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->begin() + 8), "bplist00");
    Value archive = archiveAsPlist(*data);
    EXPECT_EQ(archive["$version"], Value(100000));
    EXPECT_EQ(archive["$archiver"], Value("NSKeyedArchiver"));
    EXPECT_EQ(plist_uid::get(archive["$top"]["root"]), 1u);
    const Array& objects = *archive["$objects"].asArray();
    EXPECT_EQ(objects[0], Value("$null"));
    const Value& record = objects[1];
    EXPECT_EQ(record["x"], Value(3));
    EXPECT_EQ(record["y"], Value(1.5));
    EXPECT_EQ(record["visible"], Value(true));
    EXPECT_EQ(plist_uid::get(record["next"]), 0u);  // nil
    auto nameUID = plist_uid::get(record["name"]);
    ASSERT_TRUE(nameUID);
    EXPECT_EQ(objects[*nameUID], Value("p"));
    auto classUID = plist_uid::get(record["$class"]);
    ASSERT_TRUE(classUID);
    EXPECT_EQ(objects[*classUID]["$classname"], Value("TestPoint"));
    EXPECT_EQ(objects[*classUID]["$classes"], Value(Array{"TestPoint", "NSObject"}));
    auto tagsUID = plist_uid::get(record["tags"]);
    ASSERT_TRUE(tagsUID);
    EXPECT_TRUE(objects[*tagsUID]["NS.objects"].isArray());
}

TEST_F(Registered, ObjectRoundTripWithSharedReferences) {
    auto shared = makePoint(2, "shared");
    auto root = makePoint(1, "root");
    auto middle = makePoint(5, "middle");
    root->next = middle;
    middle->next = shared;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(root, true);
    ASSERT_TRUE(data);
    NSError error;
    auto back =
        NSKeyedUnarchiver::unarchivedObjectOfClass("TestPoint", *data, &error).as<TestPoint>();
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(back->x, 1);
    EXPECT_EQ(back->y, 0.5);
    EXPECT_TRUE(back->visible);
    EXPECT_EQ(back->name, "root");
    EXPECT_EQ(back->tags, root->tags);
    ASSERT_TRUE(back->next);
    EXPECT_EQ(back->next->name, "middle");
    ASSERT_TRUE(back->next->next);
    EXPECT_EQ(back->next->next->x, 2);
    EXPECT_EQ(back->next->next->next, nullptr);
}

namespace {
class Pair : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "Pair";
    static constexpr bool kSupportsSecureCoding = true;
    std::shared_ptr<NSObject> a, b;
    std::string className() const override { return kClassName; }
    bool supportsSecureCoding() const override { return true; }
    void encodeWithCoder(NSCoder& coder) const override {
        coder.encodeObject(a, "a");
        coder.encodeObject(b, "b");
    }
    static std::shared_ptr<Pair> initWithCoder(NSCoder& coder) {
        auto p = std::make_shared<Pair>();
        p->a = coder.decodeObjectOfClass("TestPoint", "a").object();
        p->b = coder.decodeObjectOfClass("TestPoint", "b").object();
        return p;
    }
};
}  // namespace

TEST_F(Registered, SameObjectTwiceDecodesToTheSamePointer) {
    registerCodingClass<Pair>();
    auto pair = std::make_shared<Pair>();
    auto p = makePoint(4, "twice");
    pair->a = p;
    pair->b = p;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(pair, true);
    ASSERT_TRUE(data);
    NSError error;
    auto back = NSKeyedUnarchiver::unarchivedObjectOfClass("Pair", *data, &error).as<Pair>();
    ASSERT_TRUE(back) << error.description();
    ASSERT_TRUE(back->a);
    EXPECT_EQ(back->a, back->b);
}

TEST_F(Registered, PropertyListValuesRoundTrip) {
    const Value values[] = {
        Value("string"),
        Value(-7),
        Value(std::numeric_limits<std::uint64_t>::max()),
        Value(2.25),
        Value(true),
        Value(Data{1, 2, 3}),
        Value(Date{12345.5}),
        Value(Array{1, "two", Array{3.0, Dictionary{{"deep", Array{}}}}, Date{1}}),
        Value(Dictionary{{"z", 1}, {"a", Dictionary{{"b", Array{"x", "x"}}}}, {"d", Data{}}}),
    };
    for (const auto& v : values) {
        NSError error;
        auto data = NSKeyedArchiver::archivedDataWithRootObject(Id(v), true, &error);
        ASSERT_TRUE(data) << error.description();
        Id back = NSKeyedUnarchiver::unarchivedObjectOfClass(archiveClassName(v), *data, &error);
        ASSERT_TRUE(back.value()) << v << ": " << error.description();
        EXPECT_EQ(*back.value(), v);
        Id insecure = NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(*data, &error);
        ASSERT_TRUE(insecure.value());
        EXPECT_EQ(*insecure.value(), v);
    }
    // Dictionary key order survives.
    Value d(Dictionary{{"z", 1}, {"a", 2}, {"m", 3}});
    auto data = NSKeyedArchiver::archivedDataWithRootObject(Id(d), false);
    auto back = NSKeyedUnarchiver::unarchivedObjectOfClass("NSDictionary", *data);
    EXPECT_EQ(back.value()->asDictionary()->keys(), (std::vector<std::string>{"z", "a", "m"}));
    // nil root.
    auto nilData = NSKeyedArchiver::archivedDataWithRootObject(Id(), true);
    ASSERT_TRUE(nilData);
    NSError error;
    EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObjectOfClass("NSString", *nilData, &error).isNil());
}

TEST_F(Registered, SecureArchivingRefusesInsecureClasses) {
    NSError error;
    EXPECT_FALSE(
        NSKeyedArchiver::archivedDataWithRootObject(std::make_shared<Insecure>(), true, &error));
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 4866);
    // Nested too.
    auto pair = std::make_shared<Pair>();
    pair->a = std::make_shared<Insecure>();
    error = {};
    EXPECT_FALSE(NSKeyedArchiver::archivedDataWithRootObject(pair, true, &error));
    EXPECT_EQ(error.code, 4866);
    // Not NSCoding at all.
    error = {};
    EXPECT_FALSE(
        NSKeyedArchiver::archivedDataWithRootObject(std::make_shared<NotCoding>(), false, &error));
    EXPECT_EQ(error.code, 4866);
    // Insecure archiving accepts it, and only insecure unarchiving reads it.
    auto data = NSKeyedArchiver::archivedDataWithRootObject(std::make_shared<Insecure>(), false);
    ASSERT_TRUE(data);
    EXPECT_TRUE(NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(*data).as<Insecure>());
    error = {};
    EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObjectOfClass("Insecure", *data, &error).isNil());
    EXPECT_EQ(error.code, 4864);
}

TEST_F(Registered, SecureDecodingChecksClasses) {
    auto data = NSKeyedArchiver::archivedDataWithRootObject(makePoint(1, "p"), true);
    ASSERT_TRUE(data);
    NSError error;
    EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObjectOfClass("NSString", *data, &error).isNil());
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, 4864);
    EXPECT_NE(error.localizedDescription().find("TestPoint"), std::string::npos);
    error = {};
    EXPECT_TRUE(
        NSKeyedUnarchiver::unarchivedObjectOfClasses({"NSArray", "TestPoint"}, *data, &error)
            .as<TestPoint>());
    EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObjectOfClass("NSObject", *data).as<TestPoint>());

    auto stringData = NSKeyedArchiver::archivedDataWithRootObject(Id("text"), true);
    error = {};
    EXPECT_TRUE(
        NSKeyedUnarchiver::unarchivedObjectOfClass("NSNumber", *stringData, &error).isNil());
    EXPECT_EQ(error.code, 4864);

    // Unknown class.
    ASSERT_TRUE(NSCodingRegistry::unregisterClass("TestPoint"));
    error = {};
    EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObjectOfClass("TestPoint", *data, &error).isNil());
    EXPECT_EQ(error.code, 4864);
    error = {};
    EXPECT_TRUE(NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(*data, &error).isNil());
    EXPECT_EQ(error.code, 4864);
}

TEST_F(Registered, NestedClassMismatchFails) {
    // "name" holds a number where TestPoint expects NSString.
    auto data = NSKeyedArchiver::archivedDataWithRootObject(makePoint(1, "p"), true);
    Value archive = archiveAsPlist(*data);
    Array objects = *archive["$objects"].asArray();
    auto nameUID = *plist_uid::get(objects[1]["name"]);
    objects[nameUID] = Value(42);
    archive.dictionary().set("$objects", Value(objects));
    NSError error;
    EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObjectOfClass("TestPoint", archiveOf(archive), &error)
                    .isNil());
    EXPECT_EQ(error.code, 4864);
}

TEST_F(Registered, MalformedArchives) {
    auto good = NSKeyedArchiver::archivedDataWithRootObject(makePoint(1, "p"), true);
    ASSERT_TRUE(good);
    const Value archive = archiveAsPlist(*good);

    auto expectMalformed = [](const Data& data, const std::string& what) {
        NSError error;
        Id id = NSKeyedUnarchiver::unarchivedObjectOfClass("TestPoint", data, &error);
        EXPECT_TRUE(id.isNil()) << what;
        EXPECT_EQ(error.domain, "NSCocoaErrorDomain") << what;
        EXPECT_EQ(error.code, 4864) << what;
        NSError insecureError;
        EXPECT_TRUE(
            NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(data, &insecureError).isNil())
            << what;
    };
    auto edit = [&](auto change) {
        Value copy = archive;
        change(copy);
        return archiveOf(copy);
    };
    auto editObjects = [&](auto change) {
        return edit([&](Value& a) {
            Array objects = *a["$objects"].asArray();
            change(objects);
            a.dictionary().set("$objects", Value(objects));
        });
    };

    expectMalformed(Data{}, "empty");
    expectMalformed(Data{'x', 'y'}, "garbage");
    expectMalformed(archiveOf(Value(Array{1})), "not a dictionary");
    expectMalformed(edit([](Value& a) { a.dictionary().set("$archiver", Value("Other")); }),
                    "archiver");
    expectMalformed(edit([](Value& a) { a.dictionary().remove("$top"); }), "no top");
    expectMalformed(edit([](Value& a) { a.dictionary().set("$top", Value(Dictionary{})); }),
                    "no root");
    expectMalformed(edit([](Value& a) { a.dictionary().set("$objects", Value(Array{})); }),
                    "no objects");
    expectMalformed(
        edit([](Value& a) {
            a.dictionary().set("$top", Value(Dictionary{{"root", plist_uid::make(999)}}));
        }),
        "root out of range");
    expectMalformed(edit([](Value& a) {
                        a.dictionary().set("$top", Value(Dictionary{{"root", 1}}));
                    }),
                    "root not a UID");
    expectMalformed(
        editObjects([](Array& o) { o[1].dictionary().set("name", plist_uid::make(5000)); }),
        "nested UID out of range");
    expectMalformed(editObjects([](Array& o) { o[1].dictionary().remove("$class"); }), "no $class");
    expectMalformed(
        editObjects([](Array& o) { o[1].dictionary().set("$class", plist_uid::make(0)); }),
        "class is $null");
    expectMalformed(
        editObjects([](Array& o) { o[1].dictionary().set("$class", plist_uid::make(1)); }),
        "class record is the object");
    expectMalformed(editObjects([](Array& o) { o[1].dictionary().set("x", "not a number"); }),
                    "integer key holds a string");
    expectMalformed(editObjects([](Array& o) {
                        auto tags = *plist_uid::get(o[1]["tags"]);
                        o[tags].dictionary().set("NS.objects", Value(Array{plist_uid::make(tags)}));
                    }),
                    "array containing itself");
    expectMalformed(editObjects([](Array& o) {
                        auto tags = *plist_uid::get(o[1]["tags"]);
                        o[tags].dictionary().set("NS.objects", Value(Array{plist_uid::make(1)}));
                    }),
                    "array containing an object");
    expectMalformed(
        editObjects([](Array& o) { o[1].dictionary().set("next", plist_uid::make(1)); }),
        "object referencing itself");
    expectMalformed(editObjects([](Array& o) {
                        o.push_back(Value("$null"));
                        o[1].dictionary().set("name", plist_uid::make(o.size() - 1));
                    }),
                    "$null referenced");

    // Truncations and random corruption: never a crash, never an exception.
    for (std::size_t n = 0; n < good->size(); ++n) {
        Data cut(good->begin(), good->begin() + static_cast<long>(n));
        EXPECT_TRUE(NSKeyedUnarchiver::unarchivedObjectOfClass("TestPoint", cut).isNil());
    }
    std::mt19937 rng(3);
    for (int round = 0; round < 3000; ++round) {
        Data bad = *good;
        for (int i = 0; i < 3; ++i)
            bad[8 + rng() % (bad.size() - 8)] = static_cast<std::uint8_t>(rng());
        NSError error;
        Id id = NSKeyedUnarchiver::unarchivedObjectOfClass("TestPoint", bad, &error);
        if (id.isNil() && !error.domain.empty()) {
            EXPECT_EQ(error.code, 4864);
        }
    }
}

TEST_F(Registered, CoderBasics) {
    class Probe : public NSObject, public NSCoding {
      public:
        std::string className() const override { return "Probe"; }
        void encodeWithCoder(NSCoder& coder) const override {
            EXPECT_TRUE(coder.isArchiving());
            EXPECT_FALSE(coder.requiresSecureCoding());
            EXPECT_FALSE(coder.containsValueForKey("k"));
            coder.encodeInteger(1, "k");
            EXPECT_TRUE(coder.containsValueForKey("k"));
        }
    };
    NSCodingRegistry::registerClass(
        "Probe",
        [](NSCoder& coder) -> std::shared_ptr<NSObject> {
            EXPECT_FALSE(coder.isArchiving());
            EXPECT_TRUE(coder.containsValueForKey("k"));
            EXPECT_FALSE(coder.containsValueForKey("missing"));
            EXPECT_EQ(coder.decodeIntegerForKey("missing"), 0);
            EXPECT_FALSE(coder.decodeBoolForKey("missing"));
            EXPECT_EQ(coder.decodeDoubleForKey("missing"), 0.0);
            EXPECT_TRUE(coder.decodeObjectForKey("missing").isNil());
            EXPECT_EQ(coder.decodeIntegerForKey("k"), 1);
            coder.failWithError(NSError("Custom", 9));
            return nullptr;
        },
        false);
    auto data = NSKeyedArchiver::archivedDataWithRootObject(std::make_shared<Probe>(), false);
    ASSERT_TRUE(data);
    NSError error;
    EXPECT_TRUE(NSKeyedUnarchiver::unarchiveTopLevelObjectWithData(*data, &error).isNil());
    EXPECT_EQ(error, NSError("Custom", 9));
}

TEST(Id, Basics) {
    EXPECT_TRUE(Id().isNil());
    EXPECT_TRUE(Id(Value()).isNil());
    EXPECT_TRUE(Id(nullptr).isNil());
    EXPECT_TRUE(Id(std::shared_ptr<NSObject>()).isNil());
    Id s("text");
    ASSERT_TRUE(s.value());
    EXPECT_EQ(s.className(), "NSString");
    EXPECT_EQ(Id(Value(3)).className(), "NSNumber");
    EXPECT_EQ(Id(Value(true)).className(), "NSNumber");
    auto point = std::make_shared<TestPoint>();
    Id o(point);
    EXPECT_EQ(o.className(), "TestPoint");
    EXPECT_EQ(o.as<TestPoint>(), point);
    EXPECT_EQ(o.as<Insecure>(), nullptr);
    EXPECT_EQ(o.value(), nullptr);
}
