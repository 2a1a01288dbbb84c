#include "services/util/ZVUAppDelegateSwizzler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/bundle/NSBundle.h"
#include "platform/foundation/PropertyList.h"
#include "platform/log/Log.h"
#include "platform/runtime/RuntimeTesting.h"
#include "services/util/ZVULogger.h"
#include "services/util/ZVULoggerTesting.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> calls;

using RestorationHandler = std::function<void(const std::vector<id>&)>;

// The application object as the application framework provides it: found by
// name, holding its delegate weakly and calling it through the runtime.
class ToyApplication : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ToyApplication>("NSApplication")
                .classMethod("sharedApplication", [](RuntimeObject&) { return shared(); })
                .method("delegate", &ToyApplication::delegate)
                .method("setDelegate:", &ToyApplication::setDelegate)
                .registerClass();
        return cls;
    }
    static std::shared_ptr<ToyApplication> shared() {
        static const auto app = std::make_shared<ToyApplication>();
        return app;
    }
    ToyApplication() : RuntimeObject(runtimeClass()) {}

    id delegate() const { return delegate_.lock(); }
    void setDelegate(const id& delegate) {
        id old = delegate_.lock();
        delegate_ = delegate;
        didChangeValueForKey("delegate", old, delegate);
    }
    bool continueUserActivity(const std::string& activity) {
        auto target = std::dynamic_pointer_cast<RuntimeObject>(delegate());
        if (!target || !target->respondsToSelector(kContinue)) return false;
        return objc_msgSend<bool>(target, kContinue, shared(), activity,
                                  RestorationHandler([](const std::vector<id>&) {}));
    }
    void registerForRemoteNotifications(const Data& token) {
        auto target = std::dynamic_pointer_cast<RuntimeObject>(delegate());
        if (target && target->respondsToSelector(kDidRegister)) {
            objc_msgSend(target, kDidRegister, shared(), token);
        }
    }

    static constexpr const char* kContinue = "application:continueUserActivity:restorationHandler:";
    static constexpr const char* kDidRegister =
        "application:didRegisterForRemoteNotificationsWithDeviceToken:";

  private:
    std::weak_ptr<NSObject> delegate_;
};

class ToyAppDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ToyAppDelegate>("ToyAppDelegate")
                .method(ToyApplication::kContinue, &ToyAppDelegate::continueUserActivity)
                .method(ToyApplication::kDidRegister, &ToyAppDelegate::didRegister)
                .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                .registerClass();
        return cls;
    }
    ToyAppDelegate() : RuntimeObject(runtimeClass()) {}
    explicit ToyAppDelegate(Class cls) : RuntimeObject(cls) {}

    bool continueUserActivity(const id&, const std::string& activity, const RestorationHandler&) {
        calls.push_back("delegate " + activity);
        return answer;
    }
    void didRegister(const id&, const Data& token) {
        calls.push_back("delegate token " + std::to_string(token.size()));
    }
    bool answer = false;
};

// Inherits every callback.
class InheritingAppDelegate : public ToyAppDelegate {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<InheritingAppDelegate>("InheritingAppDelegate",
                                                               ToyAppDelegate::runtimeClass())
                               .registerClass();
        return cls;
    }
    InheritingAppDelegate() : ToyAppDelegate(runtimeClass()) {}
};

// Implements no callback at all.
class BareAppDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls = ClassBuilder<BareAppDelegate>("BareAppDelegate")
                               .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                               .registerClass();
        return cls;
    }
    BareAppDelegate() : RuntimeObject(runtimeClass()) {}
};

class NotADelegate : public RuntimeObject {
  public:
    NotADelegate() : RuntimeObject(nullptr) {}
};

class ToyInterceptor : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<ToyInterceptor>("ToyInterceptor")
                .method(ToyApplication::kContinue,
                        [](ToyInterceptor& self, const id& app, const std::string& activity,
                           const RestorationHandler&) {
                            EXPECT_EQ(app, ToyApplication::shared());
                            calls.push_back(self.name + " " + activity);
                            return self.answer;
                        })
                .method(ToyApplication::kDidRegister,
                        [](ToyInterceptor& self, const id&, const Data& token) {
                            calls.push_back(self.name + " token " + std::to_string(token.size()));
                        })
                .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                .registerClass();
        return cls;
    }
    explicit ToyInterceptor(std::string name = "interceptor", bool answer = false)
        : RuntimeObject(runtimeClass()), name(std::move(name)), answer(answer) {}
    std::string name;
    bool answer;
};

const std::string kCodePrefix = "[ZeveraUtilities/AppDelegateSwizzler][I-SWZ00";

class AppDelegateSwizzlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::resetZVULoggerForTesting();
        ToyApplication::runtimeClass();
        ToyApplication::shared()->setDelegate(nullptr);
        ZVUAppDelegateSwizzler::clearInterceptors();
        ZVUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
        calls.clear();
        bundle_ = fs::temp_directory_path() /
                  ("util-swizzler-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".app");
        writeInfo({});
    }
    void TearDown() override {
        ToyApplication::shared()->setDelegate(nullptr);
        sim::clearMainBundlePath();
        fs::remove_all(bundle_);
        sim::resetZVULoggerForTesting();
    }
    // A new bundle folder per call, since the main bundle is read once per path.
    void writeInfo(const Dictionary& info) {
        fs::path path = bundle_ / std::to_string(++bundles_);
        fs::create_directories(path / "Contents");
        auto data =
            PropertyListSerialization::dataWithPropertyList(Value(info), PropertyListFormat::XML);
        std::ofstream(path / "Contents" / "Info.plist", std::ios::binary)
            .write(reinterpret_cast<const char*>(data->data()),
                   static_cast<std::streamsize>(data->size()));
        sim::setMainBundlePath(path.string());
    }
    bool logged(const std::string& fragment) {
        sim::flushZVULogger();
        return capture_.containsSubstring(fragment);
    }
    std::shared_ptr<ToyAppDelegate> installDelegate() {
        auto delegate = std::make_shared<ToyAppDelegate>();
        ToyApplication::shared()->setDelegate(delegate);
        return delegate;
    }

    sim::LogCapture capture_;
    fs::path bundle_;
    int bundles_ = 0;
};

}  // namespace

TEST_F(AppDelegateSwizzlerTest, InterceptorsSeeTheCallBeforeTheDelegateAndAnswersAreOred) {
    struct Case {
        bool first, second, delegate, expected;
    };
    const std::vector<Case> cases = {
        {false, false, false, false},
        {true, false, false, true},
        {false, false, true, true},
    };
    auto delegate = installDelegate();
    ZVUSetLoggerLevel(ZVULoggerLevel::Debug);
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_TRUE(logged(kCodePrefix +
                       "1008] Successfully created App Delegate Proxy automatically. To disable "
                       "the proxy, set the flag ZeveraUtilitiesAppDelegateProxyEnabled to NO "
                       "(Boolean) in the Info.plist"));
    EXPECT_EQ(NSStringFromClass(object_getClass(delegate)).rfind("ZVU_ToyAppDelegate-", 0), 0u);
    EXPECT_EQ(class_getSuperclass(object_getClass(delegate)), ToyAppDelegate::runtimeClass());
    EXPECT_EQ(delegate->description().rfind("<ToyAppDelegate: 0x", 0), 0u)
        << delegate->description();
    EXPECT_EQ(ZVUAppDelegateSwizzler::originalDelegate(), delegate);
    EXPECT_TRUE(ZVUAppDelegateObserver::sharedInstance()->isObserving());

    for (const auto& c : cases) {
        ZVUAppDelegateSwizzler::clearInterceptors();
        auto first = std::make_shared<ToyInterceptor>("first", c.first);
        auto second = std::make_shared<ToyInterceptor>("second", c.second);
        ASSERT_TRUE(ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(first));
        ASSERT_TRUE(ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(second));
        delegate->answer = c.delegate;
        calls.clear();
        EXPECT_EQ(ToyApplication::shared()->continueUserActivity("a"), c.expected);
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls.back(), "delegate a");  // the delegate runs last
    }
    // Installed once per process.
    Class proxy = object_getClass(delegate);
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(object_getClass(delegate), proxy);
}

TEST_F(AppDelegateSwizzlerTest, TheInformationListSwitchesDecide) {
    struct Case {
        Dictionary info;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {{}, true},
        {{{"ZeveraUtilitiesAppDelegateProxyEnabled", false}}, false},
        {{{"ZeveraUtilitiesAppDelegateProxyEnabled", "NO"}}, true},
        {{{"ZeveraUtilitiesAppDelegateProxyEnabled", 0}}, false},
        {{{"ZeveraUtilitiesAppDelegateProxyEnabled", 1}}, true},
        {{{"ReruzeraAppDelegateProxyEnabled", false}}, false},
        {{{"ReruzeraAppDelegateProxyEnabled", true},
          {"ZeveraUtilitiesAppDelegateProxyEnabled", true}},
         true},
    };
    for (const auto& c : cases) {
        writeInfo(c.info);
        EXPECT_EQ(ZVUAppDelegateSwizzler::isAppDelegateProxyEnabled(), c.enabled)
            << Value(c.info).description();
        EXPECT_EQ(ZVUSceneDelegateSwizzler::isSceneDelegateProxyEnabled(), c.enabled);
    }

    writeInfo({{"ZeveraUtilitiesAppDelegateProxyEnabled", false}});
    auto delegate = installDelegate();
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(object_getClass(delegate), ToyAppDelegate::runtimeClass());
    EXPECT_EQ(ZVUAppDelegateSwizzler::originalDelegate(), nullptr);
    EXPECT_TRUE(logged(kCodePrefix + "1011] App Delegate Proxy is disabled. "));
    EXPECT_EQ(ZVUAppDelegateSwizzler::correctAppDelegateProxyKey(),
              "ZeveraUtilitiesAppDelegateProxyEnabled");
    EXPECT_EQ(ZVUAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated(), "");
}

TEST_F(AppDelegateSwizzlerTest, RegistrationRefusesBadInterceptorsAndForgetsDeadOnes) {
    EXPECT_FALSE(ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr));
    EXPECT_TRUE(logged(kCodePrefix + "1000] AppDelegateProxy cannot add nil interceptor."));
    EXPECT_FALSE(
        ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(std::make_shared<NotADelegate>()));
    EXPECT_TRUE(logged(kCodePrefix + "1001] AppDelegateProxy interceptor does not conform to "
                                     "UIApplicationDelegate"));
    EXPECT_TRUE(ZVUAppDelegateSwizzler::interceptors().empty());

    auto delegate = installDelegate();
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    auto kept = std::make_shared<ToyInterceptor>("kept");
    auto first = ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(kept);
    auto again = ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(kept);
    ASSERT_TRUE(first);
    EXPECT_EQ(first, again);
    EXPECT_EQ(first->rfind("ZVU_0x", 0), 0u);
    std::optional<std::string> goneID;
    {
        auto gone = std::make_shared<ToyInterceptor>("gone");
        goneID = ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(gone);
    }
    EXPECT_EQ(ZVUAppDelegateSwizzler::interceptors().size(), 2u);
    ToyApplication::shared()->continueUserActivity("b");
    EXPECT_EQ(calls, (std::vector<std::string>{"kept b", "delegate b"}));
    EXPECT_TRUE(logged(kCodePrefix + "1010] AppDelegateProxy cannot find interceptor with ID " +
                       *goneID + ". Removing the interceptor."));
    EXPECT_EQ(ZVUAppDelegateSwizzler::interceptors().size(), 1u);

    ZVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(std::nullopt);
    EXPECT_TRUE(
        logged(kCodePrefix + "1003] AppDelegateProxy cannot unregister empty interceptor ID."));
    ZVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(goneID);
    EXPECT_TRUE(logged(kCodePrefix +
                       "1004] AppDelegateProxy cannot unregister interceptor that was not "
                       "registered. Interceptor ID " +
                       *goneID));
    ZVUAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(first);
    EXPECT_TRUE(ZVUAppDelegateSwizzler::interceptors().empty());
    calls.clear();
    ToyApplication::shared()->continueUserActivity("c");
    EXPECT_EQ(calls, std::vector<std::string>{"delegate c"});
}

TEST_F(AppDelegateSwizzlerTest, MissingImplementationsReachOnlyInterceptorsInheritedOnesRunAfter) {
    auto interceptor = std::make_shared<ToyInterceptor>("interceptor", false);
    ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);

    auto bare = std::make_shared<BareAppDelegate>();
    ToyApplication::shared()->setDelegate(bare);
    EXPECT_FALSE(bare->respondsToSelector(ToyApplication::kContinue));
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_TRUE(ToyApplication::shared()->continueUserActivity("d") == false);
    EXPECT_EQ(calls, std::vector<std::string>{"interceptor d"});

    ZVUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    auto inheriting = std::make_shared<InheritingAppDelegate>();
    inheriting->answer = true;
    ToyApplication::shared()->setDelegate(inheriting);
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    calls.clear();
    EXPECT_TRUE(ToyApplication::shared()->continueUserActivity("e"));
    EXPECT_EQ(calls, (std::vector<std::string>{"interceptor e", "delegate e"}));
}

TEST_F(AppDelegateSwizzlerTest, ANewApplicationDelegateReleasesTheProxiedOne) {
    auto delegate = installDelegate();
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    Class proxy = object_getClass(delegate);
    ASSERT_EQ(ZVUAppDelegateSwizzler::originalDelegate(), delegate);

    auto replacement = std::make_shared<ToyAppDelegate>();
    ToyApplication::shared()->setDelegate(replacement);
    EXPECT_EQ(ZVUAppDelegateSwizzler::originalDelegate(), nullptr);
    EXPECT_FALSE(ZVUAppDelegateObserver::sharedInstance()->isObserving());
    EXPECT_EQ(object_getClass(delegate), proxy);  // the old object keeps its subclass
    EXPECT_EQ(object_getClass(replacement), ToyAppDelegate::runtimeClass());
}

TEST_F(AppDelegateSwizzlerTest, RemoteNotificationCallbacksAreInterceptedOnceExtended) {
    auto delegate = installDelegate();
    auto interceptor = std::make_shared<ToyInterceptor>("interceptor");
    ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    ToyApplication::shared()->registerForRemoteNotifications(Data{1, 2, 3});
    EXPECT_EQ(calls, std::vector<std::string>{"delegate token 3"});

    calls.clear();
    ZVUAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
    EXPECT_EQ(ZVUAppDelegateSwizzler::originalDelegate(), delegate);
    EXPECT_TRUE(ZVUAppDelegateObserver::sharedInstance()->isObserving());
    ToyApplication::shared()->registerForRemoteNotifications(Data{1, 2, 3});
    EXPECT_EQ(calls, (std::vector<std::string>{"interceptor token 3", "delegate token 3"}));
    // The user-activity interception still holds.
    calls.clear();
    ToyApplication::shared()->continueUserActivity("f");
    EXPECT_EQ(calls, (std::vector<std::string>{"interceptor f", "delegate f"}));
}

TEST_F(AppDelegateSwizzlerTest, DelegatesThatCannotBeProxiedStayAsTheyAre) {
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();  // no delegate at all
    EXPECT_TRUE(logged(kCodePrefix +
                       "1014] App Delegate does not conform to UIApplicationDelegate protocol. "));

    ZVUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    auto stranger = std::make_shared<NotADelegate>();
    ToyApplication::shared()->setDelegate(stranger);
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(object_getClass(stranger), RuntimeObject::rootClass());

    // When the subclass cannot be made, the delegate is still kept, unproxied.
    ZVUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    auto delegate = installDelegate();
    sim::failNextAllocateClassPair();
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(object_getClass(delegate), ToyAppDelegate::runtimeClass());
    EXPECT_EQ(ZVUAppDelegateSwizzler::originalDelegate(), delegate);
    EXPECT_TRUE(logged(kCodePrefix +
                       "1006] Cannot create a proxy for App Delegate. Subclass already exists. "
                       "Original Class: ToyAppDelegate, subclass: Nil"));
}

TEST_F(AppDelegateSwizzlerTest, ProxyingAnAlreadyProxiedDelegateAgainKeepsOneCallEach) {
    auto delegate = installDelegate();
    auto interceptor = std::make_shared<ToyInterceptor>("interceptor");
    ZVUAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    Class proxy = object_getClass(delegate);
    ZVUAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
    ZVUAppDelegateSwizzler::proxyOriginalDelegate();
    EXPECT_EQ(object_getClass(delegate), proxy);
    EXPECT_EQ(ZVUAppDelegateSwizzler::originalDelegate(), delegate);
    ToyApplication::shared()->continueUserActivity("g");
    EXPECT_EQ(calls, (std::vector<std::string>{"interceptor g", "delegate g"}));
}

TEST_F(AppDelegateSwizzlerTest, TheApplicationIsFoundByName) {
    EXPECT_EQ(ZVUAppDelegateSwizzler::sharedApplication(), ToyApplication::shared());
    auto container = std::make_shared<ZVUZeroingWeakContainer>();
    {
        auto object = std::make_shared<ToyInterceptor>();
        container->setObject(object);
        EXPECT_EQ(container->object(), object);
    }
    EXPECT_EQ(container->object(), nullptr);
}
