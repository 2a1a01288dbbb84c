#include "services/util/ZVUSwizzler.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/log/Log.h"

namespace {

class Greeter : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<Greeter>("SwizzlerTestGreeter")
                .method("greet:", [](Greeter&, const std::string& name) { return "hi " + name; })
                .classMethod("kind", [](RuntimeObject&) { return std::string("greeter"); })
                .ivar("_friend", &Greeter::friend_)
                .ivar("_count", &Greeter::count_)
                .ivar("_onDone", &Greeter::onDone_)
                .ivar("_nobody", &Greeter::nobody_)
                .ivar("_name", &Greeter::name_)
                .registerClass();
        return cls;
    }
    Greeter() : RuntimeObject(runtimeClass()) {}
    explicit Greeter(Class cls) : RuntimeObject(cls) {}

    id friend_;
    int count_ = 2;
    std::function<void()> onDone_ = [] {};
    id nobody_;
    std::string name_ = "ann";
};

class LoudGreeter : public Greeter {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<LoudGreeter>("SwizzlerTestLoudGreeter", Greeter::runtimeClass())
                .ivar("_volume", &LoudGreeter::volume_)
                .registerClass();
        return cls;
    }
    LoudGreeter() : Greeter(runtimeClass()) {}
    id volume_;
};

std::string greet(const std::shared_ptr<RuntimeObject>& who, const std::string& name) {
    return objc_msgSend<std::string>(who, "greet:", name);
}

}  // namespace

TEST(ZVUSwizzlerTest, SwizzlingAnInheritedMethodOverridesItInTheSubclassOnly) {
    auto plain = std::make_shared<Greeter>();
    auto loud = std::make_shared<LoudGreeter>();
    IMP before =
        ZVUSwizzler::currentImplementationForClass(Greeter::runtimeClass(), "greet:", false);
    ASSERT_NE(before, nullptr);

    RuntimeObject* receiver = nullptr;
    ZVUSwizzler::swizzleClass(LoudGreeter::runtimeClass(), "greet:", false,
                              [&](RuntimeObject& self, const Arguments& args) -> std::any {
                                  receiver = &self;
                                  return "HI " + runtime_cast<std::string>(args.at(0));
                              });
    EXPECT_EQ(greet(loud, "bob"), "HI bob");
    EXPECT_EQ(receiver, loud.get());
    EXPECT_EQ(greet(plain, "bob"), "hi bob");
    EXPECT_EQ(ZVUSwizzler::currentImplementationForClass(Greeter::runtimeClass(), "greet:", false),
              before);
    IMP now =
        ZVUSwizzler::currentImplementationForClass(LoudGreeter::runtimeClass(), "greet:", false);
    EXPECT_NE(now, before);
    EXPECT_EQ(
        method_getTypeEncoding(class_getInstanceMethod(LoudGreeter::runtimeClass(), "greet:")),
        method_getTypeEncoding(class_getInstanceMethod(Greeter::runtimeClass(), "greet:")));

    // Class methods are swizzled on the metaclass.
    ZVUSwizzler::swizzleClass(
        LoudGreeter::runtimeClass(), "kind", true,
        [](RuntimeObject&, const Arguments&) -> std::any { return std::string("loud"); });
    EXPECT_EQ(objc_msgSend<std::string>(LoudGreeter::runtimeClass(), "kind"), "loud");
    EXPECT_EQ(objc_msgSend<std::string>(Greeter::runtimeClass(), "kind"), "greeter");
    EXPECT_NE(ZVUSwizzler::currentImplementationForClass(LoudGreeter::runtimeClass(), "kind", true),
              nullptr);
}

TEST(ZVUSwizzlerTest, RefusedCallsAreReportedAndChangeNothing) {
    sim::LogCapture capture;
    Class cls = Greeter::runtimeClass();
    auto block = [](RuntimeObject&, const Arguments&) -> std::any { return std::string("x"); };
    struct Case {
        Class cls;
        SEL selector;
        std::string swizzleText;
        std::string readText;
    };
    const std::vector<Case> cases = {
        {cls, SEL(), "The selector cannot be NULL", "The selector cannot be NULL"},
        {nullptr, "greet:", "The class cannot be Nil", "The class cannot be Nil"},
        {cls, "wave:",
         "You're attempting to swizzle a method that doesn't exist. (SwizzlerTestGreeter, wave:)",
         "The Method for this class/selector combo doesn't exist (SwizzlerTestGreeter, wave:)."},
    };
    for (const auto& c : cases) {
        capture.clear();
        ZVUSwizzler::swizzleClass(c.cls, c.selector, false, block);
        EXPECT_TRUE(capture.contains(c.swizzleText)) << c.swizzleText;
        EXPECT_EQ(ZVUSwizzler::currentImplementationForClass(c.cls, c.selector, false), nullptr);
        EXPECT_TRUE(capture.contains(c.readText)) << c.readText;
    }
    // An instance method is not a class method.
    ZVUSwizzler::swizzleClass(cls, "greet:", true, block);
    EXPECT_EQ(greet(std::make_shared<Greeter>(), "al"), "hi al");
    EXPECT_FALSE(class_respondsToSelector(object_getClass(cls), "wave:"));
}

TEST(ZVUSwizzlerTest, ExistenceFollowsInheritanceAndTheKindOfSelector) {
    struct Case {
        const char* selector;
        Class cls;
        bool isClassSelector;
        bool exists;
    };
    const std::vector<Case> cases = {
        {"greet:", Greeter::runtimeClass(), false, true},
        {"greet:", LoudGreeter::runtimeClass(), false, true},  // inherited
        {"greet:", Greeter::runtimeClass(), true, false},      // instance asked as class
        {"kind", Greeter::runtimeClass(), true, true},
        {"kind", LoudGreeter::runtimeClass(), true, true},
        {"kind", Greeter::runtimeClass(), false, false},
        {"wave:", Greeter::runtimeClass(), false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ZVUSwizzler::selectorExistsInClass(c.selector, c.cls, c.isClassSelector),
                  c.exists)
            << c.selector << " in " << class_getName(c.cls) << " class=" << c.isClassSelector;
    }
}

TEST(ZVUSwizzlerTest, IvarObjectsAreTheObjectValuedFieldsOfTheObjectsOwnClass) {
    auto greeter = std::make_shared<Greeter>();
    auto pal = std::make_shared<Greeter>();
    greeter->friend_ = pal;
    auto values = ZVUSwizzler::ivarObjectsForObject(greeter.get());
    // _friend, the block and the name; _count is no object, _nobody is nil.
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(runtime_cast<id>(values[0]), pal);
    EXPECT_NE(std::any_cast<std::function<void()>>(&values[1]), nullptr);
    EXPECT_EQ(runtime_cast<std::string>(values[2]), "ann");

    auto loud = std::make_shared<LoudGreeter>();
    loud->friend_ = pal;
    EXPECT_TRUE(ZVUSwizzler::ivarObjectsForObject(loud.get()).empty());
    loud->volume_ = pal;
    EXPECT_EQ(ZVUSwizzler::ivarObjectsForObject(loud.get()).size(), 1u);
    EXPECT_TRUE(ZVUSwizzler::ivarObjectsForObject(nullptr).empty());
}

TEST(ZVUSwizzlerTest, ConcurrentSwizzlesLeaveOneWholeBlockInPlace) {
    Class cls = objc_allocateClassPair(Greeter::runtimeClass(), "SwizzlerTestRaced", 0);
    ASSERT_NE(cls, nullptr);
    objc_registerClassPair(cls);
    auto raced = std::dynamic_pointer_cast<Greeter>(class_createInstance(cls));
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t, cls] {
            for (int i = 0; i < 200; ++i) {
                ZVUSwizzler::swizzleClass(cls, "greet:", false,
                                          [t](RuntimeObject&, const Arguments&) -> std::any {
                                              return "thread " + std::to_string(t);
                                          });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::string answer = greet(raced, "x");
    EXPECT_TRUE(answer == "thread 0" || answer == "thread 1") << answer;
    EXPECT_EQ(class_copyMethodList(cls).size(), 1u);
}
