#include "platform/runtime/Runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/runtime/RuntimeTesting.h"

namespace {

// A toy application delegate bound to a C++ type, and a toy application that
// calls it only through the runtime, as the application framework does.
class ToyDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<ToyDelegate>("RuntimeTestToyDelegate")
                               .method("applicationDidFinishLaunching:",
                                       &ToyDelegate::applicationDidFinishLaunching)
                               .method("application:openURLs:", &ToyDelegate::openURLs)
                               .method("applicationShouldTerminate:",
                                       [](ToyDelegate& self, const id&) { return self.reply; })
                               .ivar("_window", &ToyDelegate::window_)
                               .ivar("_launches", &ToyDelegate::launches)
                               .ivar("_owner", &ToyDelegate::owner_)
                               .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                               .registerClass();
        return cls;
    }
    ToyDelegate() : RuntimeObject(runtimeClass()) {}

    void applicationDidFinishLaunching(const id& notification) {
        ++launches;
        lastSender = notification;
        calls.push_back("launch");
    }
    void openURLs(const id&, const std::vector<std::string>& urls) {
        calls.push_back("open " + urls.at(0));
    }

    int launches = 0;
    unsigned long reply = 1;
    id lastSender;
    std::vector<std::string> calls;
    id window_;
    std::weak_ptr<NSObject> owner_;
};

class ToyApplication : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<ToyApplication>("RuntimeTestToyApplication")
                               .method("delegate", &ToyApplication::delegate)
                               .method("setDelegate:", &ToyApplication::setDelegate)
                               .registerClass();
        return cls;
    }
    ToyApplication() : RuntimeObject(runtimeClass()) {}

    id delegate() const { return delegate_.lock(); }
    void setDelegate(const id& delegate) {
        id old = delegate_.lock();
        delegate_ = delegate;
        didChangeValueForKey("delegate", old, delegate);
    }
    void finishLaunching() {
        id d = delegate();
        auto* target = dynamic_cast<RuntimeObject*>(d.get());
        if (target && target->respondsToSelector("applicationDidFinishLaunching:")) {
            objc_msgSend(target, "applicationDidFinishLaunching:", shared_from_this());
        }
    }

  private:
    std::weak_ptr<NSObject> delegate_;
};

// Makes a fresh runtime subclass name per use.
std::string uniqueName(const std::string& stem) {
    static std::atomic<int> counter{0};
    return stem + std::to_string(++counter);
}

}  // namespace

TEST(RuntimeTest, SubclassSwappedOntoALiveDelegateInterceptsCallsFromTheApplication) {
    auto app = std::make_shared<ToyApplication>();
    auto delegate = std::make_shared<ToyDelegate>();
    app->setDelegate(delegate);
    Class real = object_getClass(delegate);

    Class proxy = objc_allocateClassPair(real, uniqueName("Proxy_"), 0);
    ASSERT_NE(proxy, nullptr);
    SEL launch = "applicationDidFinishLaunching:";
    IMP original = class_getMethodImplementation(real, launch);
    std::vector<std::string> seen;
    ASSERT_TRUE(class_addMethod(
        proxy, launch, Implementation::make([&](RuntimeObject& self, SEL cmd, const Arguments& a) {
            seen.push_back(self.className());
            return (*original)(self, cmd, a);
        }),
        method_getTypeEncoding(class_getInstanceMethod(real, launch))));
    objc_registerClassPair(proxy);
    EXPECT_EQ(class_getInstanceSize(proxy), class_getInstanceSize(real));
    EXPECT_EQ(object_setClass(delegate, proxy), real);

    app->finishLaunching();
    EXPECT_EQ(seen, std::vector<std::string>{NSStringFromClass(proxy)});
    EXPECT_EQ(delegate->launches, 1);
    EXPECT_EQ(delegate->lastSender, app);
    EXPECT_EQ(class_getSuperclass(object_getClass(delegate)), real);
    EXPECT_TRUE(delegate->isKindOfClass(real));
    EXPECT_TRUE(delegate->conformsToProtocol(objc_getProtocol("NSApplicationDelegate")));
    EXPECT_EQ(objc_getClass(NSStringFromClass(proxy)), proxy);
    // Other instances of the real class are not intercepted.
    auto other = std::make_shared<ToyDelegate>();
    objc_msgSend(other, launch, app);
    EXPECT_EQ(seen.size(), 1u);
    // Associated objects ride on the live object.
    static const char key = 0;
    objc_setAssociatedObject(*delegate, &key, std::make_shared<int>(7));
    EXPECT_EQ(*std::static_pointer_cast<int>(objc_getAssociatedObject(*delegate, &key)), 7);
}

TEST(RuntimeTest, ReplacingImplementationsChangesEveryLaterSend) {
    auto delegate = std::make_shared<ToyDelegate>();
    SEL terminate = "applicationShouldTerminate:";
    EXPECT_EQ(objc_msgSend<unsigned long>(delegate, terminate, nullptr), 1u);

    Method method = class_getInstanceMethod(ToyDelegate::runtimeClass(), terminate);
    IMP before = method_getImplementation(method);
    EXPECT_EQ(class_getMethodImplementation(ToyDelegate::runtimeClass(), terminate), before);
    IMP now = imp_implementationWithBlock([](RuntimeObject&, const id&) { return 0ul; });
    EXPECT_EQ(method_setImplementation(method, now), before);
    EXPECT_EQ(objc_msgSend<unsigned long>(delegate, terminate, nullptr), 0u);
    EXPECT_EQ(class_replaceMethod(ToyDelegate::runtimeClass(), terminate, before, "Q@:@"), now);
    EXPECT_EQ(objc_msgSend<unsigned long>(delegate, terminate, nullptr), 1u);
    EXPECT_FALSE(class_addMethod(ToyDelegate::runtimeClass(), terminate, now, "Q@:@"));

    // Replacing an inherited method adds an override to the subclass only.
    Class sub = objc_allocateClassPair(ToyDelegate::runtimeClass(), uniqueName("Sub_"), 0);
    objc_registerClassPair(sub);
    EXPECT_EQ(class_replaceMethod(sub, terminate, now, "Q@:@"), nullptr);
    auto subInstance = std::dynamic_pointer_cast<ToyDelegate>(class_createInstance(sub));
    ASSERT_NE(subInstance, nullptr);
    EXPECT_EQ(object_getClass(subInstance), sub);
    EXPECT_EQ(objc_msgSend<unsigned long>(subInstance, terminate, nullptr), 0u);
    EXPECT_EQ(objc_msgSend<unsigned long>(delegate, terminate, nullptr), 1u);
    EXPECT_EQ(objc_msgSendSuper<unsigned long>(subInstance.get(), ToyDelegate::runtimeClass(),
                                               terminate, nullptr),
              1u);
    EXPECT_EQ(class_copyMethodList(sub).size(), 1u);

    Method a = class_getInstanceMethod(sub, terminate);
    Method b = class_getInstanceMethod(sub, "description");
    ASSERT_TRUE(class_addMethod(
        sub, "alias:", imp_implementationWithBlock([](RuntimeObject&, const id&) { return 5ul; }),
        "Q@:@"));
    Method alias = class_getInstanceMethod(sub, "alias:");
    method_exchangeImplementations(a, alias);
    EXPECT_EQ(objc_msgSend<unsigned long>(subInstance, terminate, nullptr), 5u);
    EXPECT_EQ(objc_msgSend<unsigned long>(subInstance, "alias:", nullptr), 0u);
    EXPECT_NE(b, nullptr);
}

TEST(RuntimeTest, MessagesThatNobodyAnswersRaiseAndNilAnswersNothing) {
    auto delegate = std::make_shared<ToyDelegate>();
    try {
        objc_msgSend(delegate, "noSuchMessage:", 1);
        FAIL() << "expected a raise";
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), NSException::NSInvalidArgumentException);
        EXPECT_EQ(e.reason().rfind("-[RuntimeTestToyDelegate noSuchMessage:]: unrecognized "
                                   "selector sent to instance 0x",
                                   0),
                  0u)
            << e.reason();
    }
    EXPECT_FALSE(delegate->respondsToSelector("noSuchMessage:"));
    EXPECT_EQ(objc_msgSend<int>(static_cast<RuntimeObject*>(nullptr), "anything"), 0);
    EXPECT_EQ(objc_msgSend<id>(std::shared_ptr<ToyDelegate>(), "delegate"), nullptr);
    // A plain NSObject is not a runtime object and answers nothing.
    EXPECT_THROW(objc_msgSend(std::make_shared<NSObject>(), "description"), NSException);
    EXPECT_EQ(object_getClass(std::make_shared<NSObject>()), nullptr);
}

TEST(RuntimeTest, ArgumentsAndResultsConvertAsDocumented) {
    auto delegate = std::make_shared<ToyDelegate>();
    auto app = std::make_shared<ToyApplication>();
    // A subclass pointer travels as id and comes back as the parameter type.
    objc_msgSend(delegate, "applicationDidFinishLaunching:", app);
    EXPECT_EQ(delegate->lastSender, app);
    objc_msgSend(delegate, "applicationDidFinishLaunching:", nullptr);
    EXPECT_EQ(delegate->lastSender, nullptr);
    objc_msgSend(delegate, "application:openURLs:", app, std::vector<std::string>{"lumbrel://x"});
    EXPECT_EQ(delegate->calls.back(), "open lumbrel://x");

    struct Case {
        std::any value;
        bool ok;
        long expected;
    };
    const std::vector<Case> numbers = {
        {std::any(3), true, 3},    {std::any(4u), true, 4}, {std::any(5.0), true, 5},
        {std::any(true), true, 1}, {std::any(), true, 0},   {std::any(std::string("6")), false, 0},
    };
    for (const auto& c : numbers) {
        if (c.ok) {
            EXPECT_EQ(runtime_cast<long>(c.value), c.expected);
        } else {
            EXPECT_THROW(runtime_cast<long>(c.value), NSException);
        }
    }
    EXPECT_EQ(runtime_cast<std::string>(runtime_box("text")), "text");
    EXPECT_EQ(runtime_cast<std::shared_ptr<ToyApplication>>(runtime_box(app)), app);
    // An object of another class is refused rather than reinterpreted.
    EXPECT_THROW(runtime_cast<std::shared_ptr<ToyApplication>>(runtime_box(delegate)), NSException);
    // A method refuses a wrong number of arguments or a wrong argument type.
    EXPECT_THROW(objc_msgSend(delegate, "applicationDidFinishLaunching:"), NSException);
    EXPECT_THROW(objc_msgSend(delegate, "application:openURLs:", app, 3), NSException);
    // A method bound to a C++ type refuses a receiver of another type.
    EXPECT_THROW(objc_msgSendSuper(app.get(), ToyDelegate::runtimeClass(),
                                   "applicationDidFinishLaunching:", nullptr),
                 NSException);
    EXPECT_EQ(imp_typesOfBlock([](RuntimeObject&, const id&, bool) { return 1.0; }), "d@:@B");
}

TEST(RuntimeTest, ClassPairsFollowThePlatformsRules) {
    Class root = RuntimeObject::rootClass();
    EXPECT_EQ(objc_getClass("NSObject"), root);
    EXPECT_EQ(class_getSuperclass(root), nullptr);
    EXPECT_EQ(NSClassFromString("RuntimeTestToyDelegate"), ToyDelegate::runtimeClass());

    std::string name = uniqueName("Pair_");
    Class pair = objc_allocateClassPair(root, name, 0);
    ASSERT_NE(pair, nullptr);
    EXPECT_EQ(objc_getClass(name), nullptr);  // not visible before registration
    EXPECT_EQ(objc_allocateClassPair(root, name, 0), nullptr);
    EXPECT_EQ(objc_allocateClassPair(pair, uniqueName("Child_"), 0), nullptr);
    objc_disposeClassPair(pair);
    Class again = objc_allocateClassPair(root, name, 0);
    ASSERT_NE(again, nullptr);
    objc_registerClassPair(again);
    EXPECT_EQ(objc_getClass(name), again);
    EXPECT_EQ(objc_allocateClassPair(root, name, 0), nullptr);
    EXPECT_EQ(objc_allocateClassPair(root, "RuntimeTestToyDelegate", 0), nullptr);

    sim::failNextAllocateClassPair();
    EXPECT_EQ(objc_allocateClassPair(root, uniqueName("Failed_"), 0), nullptr);
    EXPECT_NE(objc_allocateClassPair(root, uniqueName("Fine_"), 0), nullptr);

    // A class bound to one C++ type cannot be set on an object of another.
    auto delegate = std::make_shared<ToyDelegate>();
    EXPECT_EQ(object_setClass(delegate, ToyApplication::runtimeClass()), nullptr);
    EXPECT_EQ(object_getClass(delegate), ToyDelegate::runtimeClass());
    EXPECT_EQ(object_setClass(delegate, object_getClass(again)), nullptr);  // a metaclass
    // A plain runtime class fits any runtime object.
    EXPECT_EQ(object_setClass(delegate, again), ToyDelegate::runtimeClass());
    EXPECT_EQ(object_getClassName(delegate.get()), name);
    EXPECT_THROW(ClassBuilder<ToyDelegate>("RuntimeTestToyDelegate").registerClass(), NSException);
}

TEST(RuntimeTest, ClassMethodsLiveOnTheMetaclass) {
    struct Factory : RuntimeObject {
        static Class runtimeClass() {
            static Class cls =
                ClassBuilder<Factory>("RuntimeTestFactory")
                    .classMethod("sharedName", [](RuntimeObject&) { return std::string("one"); })
                    .method("instanceOnly", [](Factory&) { return 2; })
                    .registerClass();
            return cls;
        }
        Factory() : RuntimeObject(runtimeClass()) {}
    };
    Class cls = Factory::runtimeClass();
    EXPECT_TRUE(class_isMetaClass(object_getClass(cls)));
    EXPECT_EQ(objc_getMetaClass("RuntimeTestFactory"), object_getClass(cls));
    EXPECT_EQ(objc_msgSend<std::string>(cls, "sharedName"), "one");
    EXPECT_NE(class_getClassMethod(cls, "sharedName"), nullptr);
    EXPECT_EQ(class_getInstanceMethod(cls, "sharedName"), nullptr);
    EXPECT_EQ(class_getClassMethod(cls, "instanceOnly"), nullptr);
    // The root's instance methods answer for classes too.
    EXPECT_NE(class_getClassMethod(cls, "description"), nullptr);
    EXPECT_EQ(cls->description(), "RuntimeTestFactory");
    EXPECT_EQ(objc_msgSend<Class>(cls, "class"), cls);
    EXPECT_EQ(objc_msgSend<Class>(std::make_shared<Factory>(), "class"), cls);
    EXPECT_THROW(objc_msgSend(cls, "instanceOnly"), NSException);
    EXPECT_EQ(class_createInstance(object_getClass(cls)), nullptr);
}

TEST(RuntimeTest, InstanceVariablesListTheirValuesInDeclarationOrder) {
    auto delegate = std::make_shared<ToyDelegate>();
    auto window = std::make_shared<ToyApplication>();
    delegate->window_ = window;
    delegate->launches = 3;
    Class cls = ToyDelegate::runtimeClass();

    std::vector<std::pair<std::string, std::string>> listed;
    for (Ivar ivar : class_copyIvarList(cls)) {
        listed.emplace_back(ivar_getName(ivar), ivar_getTypeEncoding(ivar));
    }
    EXPECT_EQ(listed, (std::vector<std::pair<std::string, std::string>>{
                          {"_window", "@"}, {"_launches", "i"}, {"_owner", "@"}}));
    Ivar windowIvar = class_getInstanceVariable(cls, "_window");
    Ivar owner = class_getInstanceVariable(cls, "_owner");
    EXPECT_EQ(runtime_cast<id>(object_getIvar(delegate.get(), windowIvar)), window);
    EXPECT_EQ(runtime_cast<int>(
                  object_getIvar(delegate.get(), class_getInstanceVariable(cls, "_launches"))),
              3);
    // A weak variable reads as nil once its object is gone.
    {
        auto ownerObject = std::make_shared<ToyApplication>();
        object_setIvar(delegate.get(), owner, id(ownerObject));
        EXPECT_EQ(runtime_cast<id>(object_getIvar(delegate.get(), owner)), ownerObject);
    }
    EXPECT_EQ(runtime_cast<id>(object_getIvar(delegate.get(), owner)), nullptr);
    // Another class's variable is not read from an object that lacks it.
    auto app = std::make_shared<ToyApplication>();
    EXPECT_FALSE(object_getIvar(app.get(), windowIvar).has_value());

    // Variables added at run time live in the object.
    Class made = objc_allocateClassPair(RuntimeObject::rootClass(), uniqueName("Ivars_"), 0);
    ASSERT_TRUE(class_addIvar(made, "_extra", sizeof(void*), 8, "@"));
    EXPECT_FALSE(class_addIvar(made, "_extra", sizeof(void*), 8, "@"));
    objc_registerClassPair(made);
    EXPECT_FALSE(class_addIvar(made, "_late", 4, 4, "i"));
    EXPECT_GT(class_getInstanceSize(made), class_getInstanceSize(RuntimeObject::rootClass()));
    auto instance = class_createInstance(made);
    Ivar extra = class_getInstanceVariable(made, "_extra");
    EXPECT_FALSE(object_getIvar(instance.get(), extra).has_value());
    object_setIvar(instance.get(), extra, id(window));
    EXPECT_EQ(runtime_cast<id>(object_getIvar(instance.get(), extra)), window);
    EXPECT_TRUE(class_copyIvarList(RuntimeObject::rootClass()).empty());
}

TEST(RuntimeTest, ProtocolsAreFoundThroughClassesAndAdoptedProtocols) {
    Protocol* delegateProtocol = objc_getProtocol("NSApplicationDelegate");
    Protocol* objectProtocol = NSProtocolFromString("NSObject");
    ASSERT_NE(delegateProtocol, nullptr);
    EXPECT_EQ(NSStringFromProtocol(delegateProtocol), "NSApplicationDelegate");
    EXPECT_TRUE(protocol_conformsToProtocol(delegateProtocol, objectProtocol));
    EXPECT_FALSE(protocol_conformsToProtocol(objectProtocol, delegateProtocol));

    auto description = protocol_getMethodDescription(
        delegateProtocol, "application:didReceiveRemoteNotification:", false, true);
    EXPECT_EQ(NSStringFromSelector(description.name), "application:didReceiveRemoteNotification:");
    EXPECT_EQ(description.types, "v@:@@");
    EXPECT_FALSE(protocol_getMethodDescription(
                     delegateProtocol, "application:didReceiveRemoteNotification:", true, true)
                     .name);
    // Found through the adopted NSObject protocol.
    EXPECT_TRUE(protocol_getMethodDescription(delegateProtocol, "description", true, true).name);

    auto app = std::make_shared<ToyApplication>();
    auto delegate = std::make_shared<ToyDelegate>();
    EXPECT_TRUE(app->conformsToProtocol(objectProtocol));  // through the root class
    EXPECT_FALSE(app->conformsToProtocol(delegateProtocol));
    EXPECT_TRUE(objc_msgSend<bool>(delegate, "conformsToProtocol:", delegateProtocol));
    EXPECT_FALSE(class_conformsToProtocol(ToyApplication::runtimeClass(), objectProtocol));

    std::string name = uniqueName("RuntimeTestProtocol");
    Protocol* made = objc_allocateProtocol(name);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(objc_getProtocol(name), nullptr);
    protocol_addProtocol(made, delegateProtocol);
    protocol_addMethodDescription(made, "ping", "v@:", true, true);
    objc_registerProtocol(made);
    protocol_addMethodDescription(made, "late", "v@:", true, true);  // ignored once registered
    EXPECT_EQ(objc_getProtocol(name), made);
    EXPECT_EQ(objc_allocateProtocol(name), nullptr);
    EXPECT_FALSE(protocol_getMethodDescription(made, "late", true, true).name);
    Class adopter = objc_allocateClassPair(RuntimeObject::rootClass(), uniqueName("Adopter_"), 0);
    EXPECT_TRUE(class_addProtocol(adopter, made));
    EXPECT_FALSE(class_addProtocol(adopter, made));
    objc_registerClassPair(adopter);
    EXPECT_TRUE(class_createInstance(adopter)->conformsToProtocol(delegateProtocol));
}

TEST(RuntimeTest, DescriptionGoesThroughTheRuntime) {
    auto delegate = std::make_shared<ToyDelegate>();
    EXPECT_EQ(delegate->description().rfind("<RuntimeTestToyDelegate: 0x", 0), 0u);
    Class sub = objc_allocateClassPair(ToyDelegate::runtimeClass(), uniqueName("Described_"), 0);
    class_addMethod(sub, "description",
                    imp_implementationWithBlock([](RuntimeObject&) { return std::string("fake"); }),
                    "@@:");
    objc_registerClassPair(sub);
    object_setClass(delegate, sub);
    EXPECT_EQ(delegate->description(), "fake");
    EXPECT_EQ(delegate->className(), NSStringFromClass(sub));
}

TEST(RuntimeTest, ObjectPropertyObserversSeeOldAndNewValues) {
    auto app = std::make_shared<ToyApplication>();
    auto first = std::make_shared<ToyDelegate>();
    auto second = std::make_shared<ToyDelegate>();
    std::vector<std::pair<id, id>> changes;
    std::uint64_t token = 0;
    token = app->addObserverForKeyPath(
        "delegate", [&](const std::string& key, const id& oldValue, const id& newValue) {
            EXPECT_EQ(key, "delegate");
            changes.emplace_back(oldValue, newValue);
            if (newValue == second) app->removeObserverForKeyPath(token);
        });
    int laterObserverCalls = 0;
    std::uint64_t later = app->addObserverForKeyPath(
        "delegate", [&](const std::string&, const id&, const id&) { ++laterObserverCalls; });
    app->addObserverForKeyPath("other", [&](const std::string&, const id&, const id&) {
        ADD_FAILURE() << "observer of another key called";
    });
    objc_msgSend(app, "setDelegate:", first);
    objc_msgSend(app, "setDelegate:", second);
    app->removeObserverForKeyPath(later);
    objc_msgSend(app, "setDelegate:", nullptr);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0], (std::pair<id, id>{nullptr, first}));
    EXPECT_EQ(changes[1], (std::pair<id, id>{first, second}));
    EXPECT_EQ(laterObserverCalls, 2);
}

TEST(RuntimeTest, ImplementationsCanBeReplacedWhileOtherThreadsSend) {
    Class cls = objc_allocateClassPair(RuntimeObject::rootClass(), uniqueName("Busy_"), 0);
    class_addMethod(cls, "value", imp_implementationWithBlock([](RuntimeObject&) { return 0; }),
                    "i@:");
    objc_registerClassPair(cls);
    auto object = class_createInstance(cls);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
        senders.emplace_back([&] {
            while (!stop) {
                int v = objc_msgSend<int>(object.get(), "value");
                if (v < 0 || v > 100) ++bad;
            }
        });
    }
    for (int i = 1; i <= 100; ++i) {
        class_replaceMethod(cls, "value",
                            imp_implementationWithBlock([i](RuntimeObject&) { return i; }), "i@:");
    }
    stop = true;
    for (auto& t : senders) t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(objc_msgSend<int>(object.get(), "value"), 100);
}
