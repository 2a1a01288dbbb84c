#include "app/settings/Defaults.h"

#include <gtest/gtest.h>

#include "app/settings/tests/SettingsTestSupport.h"
#include "platform/log/Log.h"

namespace {

enum class Level : int { low = 1, high = 2 };

struct Point {
    int x = 0;
    int y = 0;
    bool operator==(const Point&) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Point, x, y)

using DefaultsStorage = SettingsTest;

}  // namespace

TEST_F(DefaultsStorage, EachKindOfValueHasItsStoredForm) {
    Defaults::Key<bool> flag("flag", false, suite_);
    Defaults::Key<Fruit> fruit("fruit", Fruit::apple, suite_);
    Defaults::Key<Level> level("level", Level::low, suite_);
    Defaults::Key<std::vector<std::string>> list("list", {}, suite_);
    Defaults::Key<Point> point("point", Point{}, suite_);

    Defaults::set(flag, true);
    Defaults::set(fruit, Fruit::pear);
    Defaults::set(level, Level::high);
    Defaults::set(list, {"a", "b"});
    Defaults::set(point, Point{3, 4});

    EXPECT_EQ(suite_->objectForKey("flag"), Value(true));
    EXPECT_EQ(suite_->objectForKey("fruit"), Value("\"pear\""));
    EXPECT_EQ(suite_->objectForKey("level"), Value("2"));
    EXPECT_EQ(suite_->objectForKey("list"), Value("[\"a\",\"b\"]"));
    EXPECT_EQ(suite_->objectForKey("point"), Value("{\"x\":3,\"y\":4}"));

    EXPECT_TRUE(Defaults::get(flag));
    EXPECT_EQ(Defaults::get(fruit), Fruit::pear);
    EXPECT_EQ(Defaults::get(level), Level::high);
    EXPECT_EQ(Defaults::get(list), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Defaults::get(point), (Point{3, 4}));
}

TEST_F(DefaultsStorage, ConstructingAKeyRegistersItsDefault) {
    Defaults::Key<std::int64_t> number("number", 46, suite_);
    Defaults::Key<Fruit> fruit("fruit", Fruit::pear, suite_);
    Defaults::Key<std::optional<bool>> optional("optional", suite_);
    EXPECT_EQ(suite_->objectForKey("number"), Value(46));
    EXPECT_EQ(suite_->objectForKey("fruit"), Value("\"pear\""));
    EXPECT_FALSE(suite_->objectForKey("optional"));
    EXPECT_TRUE(suite_->persistentDomain().empty());
}

TEST_F(DefaultsStorage, UndecodableOrMistypedValuesReadAsTheDefault) {
    Defaults::Key<Fruit> fruit("fruit", Fruit::apple, suite_);
    Defaults::Key<std::string> text("text", "fallback", suite_);

    sim::LogCapture capture;
    suite_->setObject(Value("\"banana\""), "fruit");
    EXPECT_EQ(Defaults::get(fruit), Fruit::apple);
    ASSERT_EQ(capture.records().size(), 1u);
    EXPECT_EQ(capture.records()[0].source, sim::LogSource::StandardOutput);

    suite_->setInteger(5, "text");
    EXPECT_EQ(Defaults::get(text), "fallback");
    EXPECT_EQ(suite_->objectForKey("text"), Value(5));  // not removed
}

TEST_F(DefaultsStorage, OptionalKeysStartAbsentAndNilRemoves) {
    Defaults::Key<std::optional<bool>> key("override", suite_);
    EXPECT_FALSE(Defaults::get(key).has_value());
    Defaults::set(key, std::optional<bool>(false));
    EXPECT_EQ(Defaults::get(key), std::optional<bool>(false));
    Defaults::set(key, std::optional<bool>());
    EXPECT_FALSE(suite_->objectForKey("override"));
}

TEST_F(DefaultsStorage, AValueThatCannotBeEncodedKeepsTheStoredOne) {
    Defaults::Key<std::vector<std::string>> list("list", {}, suite_);
    Defaults::set(list, {"kept"});
    sim::LogCapture capture;
    Defaults::set(list, {std::string("\xff\xfe broken")});  // not UTF-8: JSON refuses it
    EXPECT_EQ(Defaults::get(list), (std::vector<std::string>{"kept"}));
    EXPECT_EQ(capture.records().size(), 1u);
}

TEST_F(DefaultsStorage, InPlaceChangeAlwaysWritesBack) {
    Defaults::Key<std::vector<std::string>> list("list", {}, suite_);
    Defaults::modify(list, [](auto& v) { v.push_back("one"); });
    Defaults::modify(list, [](auto&) {});
    EXPECT_EQ(suite_->objectForKey("list"), Value("[\"one\"]"));
}

TEST_F(DefaultsStorage, ResetAndRemoveAll) {
    auto other = NSUserDefaults::initWithSuiteName(suiteName_ + ".other");
    Defaults::Key<bool> a("a", false, suite_);
    Defaults::Key<bool> b("b", false, other);
    Defaults::set(a, true);
    Defaults::set(b, true);
    suite_->setBool(true, "loose");
    Defaults::reset(a, b);
    EXPECT_FALSE(suite_->persistentDomain().contains("a"));
    EXPECT_FALSE(other->persistentDomain().contains("b"));

    Defaults::reset(std::vector<std::string>{"loose"}, *suite_);
    EXPECT_FALSE(suite_->objectForKey("loose"));

    auto empty = NSUserDefaults::initWithSuiteName(suiteName_ + ".empty");
    Defaults::removeAll(*empty);
    suite_->setInteger(1, "x");
    Defaults::removeAll(*suite_);
    EXPECT_TRUE(suite_->persistentDomain().empty());
}

namespace {

// A small archivable class standing in for the application's own.
class Badge : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "Badge";
    static constexpr bool kSupportsSecureCoding = true;
    explicit Badge(std::string label) : label(std::move(label)) {}
    std::string className() const override { return kClassName; }
    bool supportsSecureCoding() const override { return true; }
    void encodeWithCoder(NSCoder& coder) const override { coder.encodeObject(Id(label), "label"); }
    static std::shared_ptr<Badge> initWithCoder(NSCoder& coder) {
        auto text = coder.decodeObjectOfClass("NSString", "label");
        if (!text.value()) return nullptr;
        return std::make_shared<Badge>(*text.value()->asString());
    }
    std::string label;
};

// Archivable, but not under secure coding.
class Loose : public NSObject, public NSCoding {
  public:
    static constexpr const char* kClassName = "Loose";
    std::string className() const override { return kClassName; }
    void encodeWithCoder(NSCoder&) const override {}
};

struct RegisterBadge {
    RegisterBadge() { registerCodingClass<Badge>(); }
} registerBadge;

}  // namespace

TEST_F(DefaultsStorage, SecureCodingKeysStoreKeyedArchives) {
    Defaults::NSSecureCodingKey<std::shared_ptr<Badge>> badge(
        "badge", std::make_shared<Badge>("default"), suite_);
    EXPECT_TRUE(suite_->objectForKey("badge")->isData());  // registered as an archive
    EXPECT_EQ(Defaults::get(badge)->label, "default");

    Defaults::set(badge, std::make_shared<Badge>("stored"));
    EXPECT_EQ(Defaults::get(badge)->label, "stored");

    sim::LogCapture capture;
    suite_->setObject(Value(Data{1, 2, 3}), "badge");
    EXPECT_EQ(Defaults::get(badge)->label, "default");
    EXPECT_EQ(capture.records().size(), 1u);  // the unarchiving error, printed

    Defaults::NSSecureCodingKey<std::int64_t> native("native", 5, suite_);
    Defaults::set(native, std::int64_t{6});
    EXPECT_EQ(suite_->objectForKey("native"), Value(6));
}

TEST_F(DefaultsStorage, SecureCodingOptionalKeysHaveNoDefaultAndNilRemoves) {
    Defaults::NSSecureCodingOptionalKey<std::shared_ptr<Badge>> badge("badge", suite_);
    EXPECT_FALSE(Defaults::get(badge).has_value());
    Defaults::set(badge, std::optional<std::shared_ptr<Badge>>(std::make_shared<Badge>("x")));
    EXPECT_EQ((*Defaults::get(badge))->label, "x");
    Defaults::set(badge, std::optional<std::shared_ptr<Badge>>());
    EXPECT_FALSE(suite_->objectForKey("badge"));
    EXPECT_FALSE(Defaults::get(badge).has_value());
}

TEST_F(DefaultsStorage, AnObjectThatCannotBeArchivedKeepsTheStoredOne) {
    Defaults::NSSecureCodingOptionalKey<std::shared_ptr<Loose>> key("loose", suite_);
    suite_->setObject(Value(Data{9}), "loose");
    Defaults::set(key, std::optional<std::shared_ptr<Loose>>(std::make_shared<Loose>()));
    EXPECT_EQ(suite_->objectForKey("loose"), Value(Data{9}));
}
