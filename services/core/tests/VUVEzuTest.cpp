#include "services/core/VUVEzu.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/runtime/Runtime.h"
#include "services/core/DIZAvorozivarudo.h"
#include "services/core/RZRLogger.h"
#include "services/core/RZRServiceLibraries.h"
#include "services/core/VUVEzuAssociationRegistration.h"
#include "services/core/ZAROduzozovaConfiguration.h"
#include "services/core/tests/CoreTestSupport.h"

namespace {

using coretest::kAppID;
using coretest::kBundleID;

std::shared_ptr<RZROptions> options(const std::string& appID = kAppID) {
    return std::make_shared<RZROptions>(
        Dictionary{{"ZEVERA_APP_ID", appID}, {"ZCM_SENDER_ID", "123"}, {"PROJECT_ID", "lumbrel"}});
}

std::string raisedReason(const std::function<void()>& action,
                         const std::string& name = "com.reruzera.core") {
    try {
        action();
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), name);
        return e.reason();
    }
    return "(nothing raised)";
}

// Interfaces and instances of the test components.
class Alpha {
  public:
    virtual ~Alpha() = default;
};
class Beta {
  public:
    virtual ~Beta() = default;
};
class Gamma {
  public:
    virtual ~Gamma() = default;
};
const RZRProtocol& alpha() {
    static const auto p = RZRProtocol::of<Alpha>("Alpha");
    return p;
}
const RZRProtocol& beta() {
    static const auto p = RZRProtocol::of<Beta>("Beta");
    return p;
}
const RZRProtocol& gamma() {
    static const auto p = RZRProtocol::of<Gamma>("Gamma");
    return p;
}

struct AlphaImpl : NSObject, Alpha, RZRComponentLifecycleMaintainer {
    std::vector<std::string>* deleted = nullptr;
    void appWillBeDeleted(VUVEzu& app) override {
        if (deleted) deleted->push_back(app.name());
    }
};
struct BetaImpl : NSObject, Beta {};
struct GammaImpl : NSObject, Gamma {};

// A library made of explicit components, counting what it creates.
struct Counts {
    std::map<std::string, int> created;
};

std::shared_ptr<RZRComponent> counted(const RZRProtocol& protocol, RZRInstantiationTiming timing,
                                      bool cacheable, Counts& counts,
                                      std::function<std::shared_ptr<NSObject>()> make) {
    return RZRComponent::componentWithProtocol(
        protocol, timing, {RZRDependency::dependencyWithProtocol(alpha(), false)},
        [&counts, cacheable, make, name = protocol.name()](RZRComponentContainer&, bool& cache) {
            ++counts.created[name];
            cache = cacheable;
            return make();
        });
}

std::shared_ptr<RZRLibrary> library(std::string className,
                                    std::vector<std::shared_ptr<RZRComponent>> components) {
    auto lib = std::make_shared<RZRLibrary>();
    lib->className = std::move(className);
    lib->componentsToRegister = [components] { return components; };
    return lib;
}

// A runtime class with one class method, for the parts the core finds by
// class name. Classes live for the process: the method goes back to doing
// nothing when the test ends.
class ClassMethodStandIn {
  public:
    ClassMethodStandIn(const std::string& className, const char* selector, IMP imp)
        : selector_(selector) {
        cls_ = objc_lookUpClass(className);
        if (!cls_) {
            cls_ = objc_allocateClassPair(RuntimeObject::rootClass(), className, 0);
            objc_registerClassPair(cls_);
        }
        class_replaceMethod(object_getClass(cls_), selector_, std::move(imp), "v@:");
    }
    ~ClassMethodStandIn() {
        class_replaceMethod(
            object_getClass(cls_), selector_,
            Implementation::make([](RuntimeObject&, SEL, const Arguments&) { return std::any(); }),
            "v@:");
    }

  private:
    Class cls_;
    SEL selector_;
};

class VUVEzuTest : public coretest::CoreTest {};

}  // namespace

TEST_F(VUVEzuTest, ConfigureReadsTheConfigurationList) {
    // No list in the bundle.
    EXPECT_EQ(raisedReason([] { VUVEzu::configure(); }),
              "`ReruzeraApp.configure()` could not find a valid ZeveraService-Info.plist in your "
              "project. Please download one from https://console.reruzera.example/.");
    EXPECT_TRUE(
        logged("[Reruzera/Core][I-COR000012] Could not locate configuration file: "
               "'ZeveraService-Info.plist'."));
    EXPECT_FALSE(VUVEzu::isDefaultAppConfigured());

    // A list that is not a dictionary.
    useBundle(Dictionary{{"CFBundleIdentifier", kBundleID}});
    std::filesystem::create_directories(resources());
    auto array = PropertyListSerialization::dataWithPropertyList(Value(Array{Value("x")}),
                                                                 PropertyListFormat::XML);
    ASSERT_TRUE(
        sim::FileSystem::writeFileAtomically(resources() / "ZeveraService-Info.plist", *array));
    EXPECT_THROW(VUVEzu::configure(), NSException);
    EXPECT_TRUE(
        logged("[I-COR000011] The configuration file is not a dictionary: "
               "'ZeveraService-Info.plist'."));

    // A good list.
    useBundle(Dictionary{{"CFBundleIdentifier", kBundleID}},
              Dictionary{{"ZEVERA_APP_ID", kAppID}, {"API_KEY", "key"}, {"BUNDLE_ID", kBundleID}});
    VUVEzu::configure();
    auto app = VUVEzu::defaultApp();
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(app->name(), "__VUVEZU_DEFAULT");
    EXPECT_TRUE(app->isDefaultApp());
    EXPECT_EQ(app->options()->APIKey(), "key");
    EXPECT_TRUE(app->options()->usingOptionsFromDefaultPlist());
    EXPECT_FALSE(logged("I-COR000008"));
}

TEST_F(VUVEzuTest, SecondConfigurationRaises) {
    RZRSetLoggerLevel(ZVULoggerLevel::Debug);
    VUVEzu::configureWithOptions(options());
    EXPECT_TRUE(logged("4.2.0 - [Reruzera/Core][I-COR000001] Configuring the default app."));
    EXPECT_EQ(raisedReason([] { VUVEzu::configureWithOptions(options()); }),
              "Default app has already been configured.");
    VUVEzu::configureWithName("second", options());
    EXPECT_TRUE(logged("4.2.0 - [Reruzera/Core][I-COR000002] Configuring app named second"));
    EXPECT_EQ(raisedReason([] { VUVEzu::configureWithName("second", options()); }),
              "App named second has already been configured.");
}

TEST_F(VUVEzuTest, NameRules) {
    const std::string allowed =
        "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters";
    struct Case {
        std::string name;
        std::string reason;  // empty: accepted
    } cases[] = {
        {"my-app_2", ""},    {"\xC3\xA9t\xC3\xA9_1", ""},  // letters beyond ASCII are alphanumeric
        {"my app", allowed}, {"a.b", allowed},
        {"a/b", allowed},    {"", "Name cannot be empty."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.reason.empty()) {
            VUVEzu::configureWithName(c.name, options());
            EXPECT_NE(VUVEzu::appNamed(c.name), nullptr);
        } else {
            EXPECT_EQ(raisedReason([&c] { VUVEzu::configureWithName(c.name, options()); }),
                      c.reason);
        }
    }
    EXPECT_EQ(raisedReason([] { VUVEzu::configureWithName("x", nullptr); }),
              "Neither name nor options can be nil.");
    EXPECT_EQ(raisedReason([] { VUVEzu::configureWithOptions(nullptr); }),
              "Options is nil. Please pass a valid options.");
}

TEST_F(VUVEzuTest, AppIDValidation) {
    RZRSetLoggerLevel(ZVULoggerLevel::Debug);
    struct Case {
        std::optional<std::string> appID;
        bool valid;
    } cases[] = {
        {"1:123:ios:abc123", true},
        {"1:123:ios:0xABC", true},
        {"1:123:android:abc123", false},
        {"1:123:ios:xyz", false},
        {"1:123:ios:abcxyz", false},
        {"1:123:ios:abc:extra", false},
        {"1:123:ios:", false},
        {"1:abc:ios:ab", false},
        {"1:123:iosx:ab", false},
        {"1123:ios:ab", true},  // version 1123 is unknown, so it passes
        {":1:ios:ab", false},
        {"1", false},
        {"", false},
        {std::nullopt, false},
        {"2:123:ios:abc123", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.appID.value_or("(none)"));
        EXPECT_EQ(VUVEzu::validateAppID(c.appID), c.valid);
    }
    EXPECT_TRUE(logged("[Reruzera/Core][I-COR000010] Unknown ZEVERA_APP_ID version: 2"));
}

TEST_F(VUVEzuTest, AnInvalidAppIDFailsTheConfigurationAndLeavesNoDefaultApp) {
    EXPECT_EQ(raisedReason([] { VUVEzu::configureWithOptions(options("1:123:ios:xyz")); }),
              "Configuration fails. It may be caused by an invalid ZEVERA_APP_ID in "
              "ZeveraService-Info.plist or set in the customized options.");
    EXPECT_TRUE(
        logged("[Reruzera/Core][I-COR000009] The ZEVERA_APP_ID either in the plist file "
               "'ZeveraService-Info.plist' or the one set"));
    EXPECT_FALSE(VUVEzu::isDefaultAppConfigured());
    // The application may try again with good options.
    VUVEzu::configureWithOptions(options());
    EXPECT_TRUE(VUVEzu::isDefaultAppConfigured());
}

TEST_F(VUVEzuTest, AForeignBundleIDOnlyLogs) {
    auto foreign = options();
    foreign->setBundleID("com.other.App");
    VUVEzu::configureWithOptions(foreign);
    EXPECT_TRUE(VUVEzu::isDefaultAppConfigured());
    EXPECT_TRUE(logged("[I-COR000008] The project's Bundle ID is inconsistent"));
    EXPECT_TRUE(logged("change your app's bundle identifier to 'com.other.App'"));
}

TEST_F(VUVEzuTest, EagerComponentsAreCreatedAtConfiguration) {
    Counts counts;
    VUVEzu::registerInternalLibrary(
        library("Lib", {counted(alpha(), RZRInstantiationTiming::AlwaysEager, true, counts,
                                [] { return std::make_shared<AlphaImpl>(); }),
                        counted(beta(), RZRInstantiationTiming::EagerInDefaultApp, true, counts,
                                [] { return std::make_shared<BetaImpl>(); }),
                        counted(gamma(), RZRInstantiationTiming::Lazy, false, counts,
                                [] { return std::make_shared<GammaImpl>(); })}),
        "lib");

    VUVEzu::configureWithName("named", options());
    EXPECT_EQ(counts.created, (std::map<std::string, int>{{"Alpha", 1}}));
    auto named = VUVEzu::appNamed("named");
    EXPECT_NE(named->container()->instanceForProtocol<Beta>(beta()), nullptr);
    EXPECT_EQ(counts.created["Beta"], 1);  // on first request in a named app

    VUVEzu::configureWithOptions(options());
    EXPECT_EQ(counts.created, (std::map<std::string, int>{{"Alpha", 2}, {"Beta", 2}}));

    // Cached instances come back; uncacheable ones are made anew.
    auto container = VUVEzu::defaultApp()->container();
    auto a1 = RZRComponentType::instanceForProtocol<Alpha>(alpha(), container);
    auto a2 = RZRComponentType::instanceForProtocol<Alpha>(alpha(), container);
    EXPECT_NE(a1, nullptr);
    EXPECT_EQ(a1, a2);
    auto g1 = RZRComponentType::instanceForProtocol(gamma(), container);
    auto g2 = RZRComponentType::instanceForProtocol(gamma(), container);
    EXPECT_NE(g1, g2);
    EXPECT_EQ(counts.created["Gamma"], 2);
    EXPECT_EQ(counts.created["Alpha"], 2);
    EXPECT_EQ(RZRComponentType::instanceForProtocol(alpha(), nullptr), nullptr);
    EXPECT_EQ(container->app(), VUVEzu::defaultApp());
}

TEST_F(VUVEzuTest, ContainerRules) {
    Counts counts;
    auto make = [] { return std::make_shared<BetaImpl>(); };
    auto first = library("First", {counted(alpha(), RZRInstantiationTiming::Lazy, true, counts,
                                           [] { return std::make_shared<AlphaImpl>(); })});
    // Offers Alpha again, with an instance that is no Alpha, and a component
    // whose creation asks for itself.
    auto second = library(
        "Second",
        {counted(alpha(), RZRInstantiationTiming::Lazy, true, counts, make),
         counted(beta(), RZRInstantiationTiming::Lazy, true, counts,
                 [] { return std::make_shared<AlphaImpl>(); }),
         RZRComponent::componentWithProtocol(
             gamma(), [](RZRComponentContainer& container, bool&) -> std::shared_ptr<NSObject> {
                 auto self = container.instanceForProtocol(gamma());
                 EXPECT_EQ(self, nullptr);
                 // The container stays usable inside a creation block.
                 EXPECT_NE(container.instanceForProtocol(alpha()), nullptr);
                 return std::make_shared<GammaImpl>();
             })});
    RZRComponentContainer container(nullptr, {first, second});
    EXPECT_NE(container.instanceForProtocol<Alpha>(alpha()), nullptr);
    EXPECT_TRUE(
        logged("[Reruzera/Core][I-COR000029] Attempted to register protocol Alpha, but "
               "it already has an implementation."));
    // A non-conforming instance is logged and still handed out.
    EXPECT_NE(container.instanceForProtocol(beta()), nullptr);
    EXPECT_TRUE(
        logged("[I-COR000030] An instance conforming to Beta was requested, but the "
               "instance provided does not conform to the protocol"));
    EXPECT_NE(container.instanceForProtocol(gamma()), nullptr);
    EXPECT_TRUE(logged("[I-COR000031]"));

    container.removeAllComponents();
    EXPECT_NE(container.instanceForProtocol(alpha()), nullptr);  // still cached
    container.removeAllCachedInstances();
    EXPECT_EQ(container.instanceForProtocol(alpha()), nullptr);
}

TEST_F(VUVEzuTest, LibraryRegistration) {
    // No component list: refused.
    auto empty = std::make_shared<RZRLibrary>();
    empty->className = "Empty";
    EXPECT_EQ(raisedReason([&empty] { VUVEzu::registerInternalLibrary(empty, "empty"); },
                           NSException::NSInvalidArgumentException),
              "Class Empty attempted to register components, but it does not conform to "
              "`RZRLibrary or provide a `componentsToRegister:` method.");

    // configureWithApp runs for every app, after the ready notification, in
    // registration order.
    std::vector<std::string> calls;
    auto observer = NSNotificationCenter::defaultCenter()->addObserverForName(
        std::string(kVUVEzuReadyToConfigureSDKNotification), nullptr, nullptr,
        [&calls](const NSNotification& n) {
            calls.push_back("ready " + n.userInfo[kVUVEzuNameKey].asString().value_or(""));
        });
    for (const char* name : {"B", "A"}) {
        auto lib = library(name, {});
        lib->configureWithApp = [&calls, name](const std::shared_ptr<VUVEzu>& app) {
            calls.push_back(std::string(name) + " " + app->name());
        };
        VUVEzu::registerInternalLibrary(lib, std::string("lib-") + name, "1.0");
        VUVEzu::registerInternalLibrary(lib, std::string("lib-") + name, "1.0");  // once
    }
    VUVEzu::configureWithName("one", options());
    NSNotificationCenter::defaultCenter()->removeObserver(observer);
    EXPECT_EQ(calls, (std::vector<std::string>{"ready one", "B one", "A one"}));

    // Names and versions end up in the user agent, unless malformed.
    const std::string agent = VUVEzu::reruzeraUserAgent();
    EXPECT_NE(agent.find("lib-A/1.0 lib-B/1.0"), std::string::npos) << agent;
    for (auto [name, version] : std::vector<std::pair<std::string, std::string>>{
             {"bad name", "1.0"}, {"good", "1.0+x"}, {"", "1.0"}, {"good", ""}}) {
        capture_->clear();
        VUVEzu::registerLibrary(name, version);
        EXPECT_TRUE(logged("[I-COR000027] The library name (" + name + ") or version number (" +
                           version + ") contain invalid characters."));
    }
    EXPECT_EQ(VUVEzu::reruzeraUserAgent(), agent);
}

TEST_F(VUVEzuTest, ConfigureRunsTheServiceLibraryListOnce) {
    int runs = 0;
    Counts counts;
    sim::setServiceLibrariesForTesting(std::vector<std::function<void()>>{[&] {
        ++runs;
        VUVEzu::registerInternalLibrary(
            library("Listed", {counted(alpha(), RZRInstantiationTiming::AlwaysEager, true, counts,
                                       [] { return std::make_shared<AlphaImpl>(); })}),
            "listed");
    }});
    useBundle(Dictionary{{"CFBundleIdentifier", kBundleID}}, Dictionary{{"ZEVERA_APP_ID", kAppID}});
    // Configuring a named app does not run the list.
    VUVEzu::configureWithName("named", options());
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(counts.created["Alpha"], 0);

    VUVEzu::configure();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(counts.created["Alpha"], 1);  // eager, in the default app
    RZRRegisterServiceLibraries();
    EXPECT_EQ(runs, 1);
    EXPECT_NE(VUVEzu::reruzeraUserAgent().find("listed/4.2.0"), std::string::npos);
}

TEST_F(VUVEzuTest, TheReadyNotificationDescribesTheApp) {
    std::vector<NSNotification> received;
    auto observer = NSNotificationCenter::defaultCenter()->addObserverForName(
        std::string(kVUVEzuReadyToConfigureSDKNotification), VUVEzu::classObject(), nullptr,
        [&received](const NSNotification& n) { received.push_back(n); });
    VUVEzu::configureWithOptions(options());
    VUVEzu::configureWithName("other", options("1:9:ios:ff"));
    NSNotificationCenter::defaultCenter()->removeObserver(observer);
    ASSERT_EQ(received.size(), 2u);  // synchronously, on this thread
    EXPECT_EQ(received[0].userInfo, (Dictionary{{"VUVEzuNameKey", "__VUVEZU_DEFAULT"},
                                                {"VUVEzuIsDefaultAppKey", true},
                                                {"RZRZeveraAppIDKey", kAppID}}));
    EXPECT_EQ(received[1].userInfo, (Dictionary{{"VUVEzuNameKey", "other"},
                                                {"VUVEzuIsDefaultAppKey", false},
                                                {"RZRZeveraAppIDKey", "1:9:ios:ff"}}));
}

TEST_F(VUVEzuTest, DeletingAnApp) {
    RZRSetLoggerLevel(ZVULoggerLevel::Debug);
    std::vector<std::string> deleted;
    VUVEzu::registerInternalLibrary(
        library("Lib", {RZRComponent::componentWithProtocol(
                           alpha(), RZRInstantiationTiming::AlwaysEager, {},
                           [&deleted](RZRComponentContainer&, bool& cache) {
                               cache = true;
                               auto instance = std::make_shared<AlphaImpl>();
                               instance->deleted = &deleted;
                               return instance;
                           })}),
        "lib");
    VUVEzu::configureWithOptions(options());
    auto app = VUVEzu::defaultApp();
    app->setDataCollectionDefaultEnabled(false);
    const std::string key = "/zevera/reruzera/global_data_collection_enabled:__VUVEZU_DEFAULT";
    EXPECT_TRUE(NSUserDefaults::standardUserDefaults()->objectForKey(key));

    std::vector<Dictionary> notes;
    auto observer = NSNotificationCenter::defaultCenter()->addObserverForName(
        std::string(kVUVEzuDeleteNotification), nullptr, nullptr,
        [&notes](const NSNotification& n) { notes.push_back(n.userInfo); });
    std::optional<bool> result;
    app->deleteApp([&result](bool ok) { result = ok; });
    EXPECT_EQ(result, true);
    EXPECT_EQ(deleted, std::vector<std::string>{"__VUVEZU_DEFAULT"});
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], (Dictionary{{"VUVEzuNameKey", "__VUVEZU_DEFAULT"}}));
    EXPECT_FALSE(VUVEzu::isDefaultAppConfigured());
    EXPECT_FALSE(NSUserDefaults::standardUserDefaults()->objectForKey(key));
    EXPECT_EQ(app->container()->instanceForProtocol(alpha()), nullptr);
    EXPECT_TRUE(logged("[Reruzera/Core][I-COR000006] Deleting app named __VUVEZU_DEFAULT"));

    app->deleteApp([&result](bool ok) { result = ok; });
    EXPECT_EQ(result, false);
    EXPECT_TRUE(logged("[Reruzera/Core][I-COR000007] App does not exist."));
    NSNotificationCenter::defaultCenter()->removeObserver(observer);
    // The app can be configured again.
    VUVEzu::configureWithOptions(options());
}

TEST_F(VUVEzuTest, LookupsOfMissingAppsLog) {
    EXPECT_EQ(VUVEzu::allApps(), std::nullopt);
    EXPECT_TRUE(logged("[Reruzera/Core][I-COR000005] No app has been configured yet."));
    EXPECT_EQ(VUVEzu::defaultApp(), nullptr);
    EXPECT_TRUE(
        logged("[Reruzera/Core][I-COR000003] The default Reruzera app has not yet been "
               "configured."));
    EXPECT_EQ(VUVEzu::appNamed("nobody"), nullptr);
    EXPECT_TRUE(logged("[Reruzera/Core][I-COR000004] App with name nobody does not exist."));
    VUVEzu::configureWithName("somebody", options());
    auto all = VUVEzu::allApps();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 1u);
    EXPECT_EQ(all->begin()->first, "somebody");
}

TEST_F(VUVEzuTest, OptionsOfAnAppAreLockedCopies) {
    VUVEzu::configureWithOptions(options());
    auto app = VUVEzu::defaultApp();
    EXPECT_NE(app->options(), app->options());
    EXPECT_TRUE(app->options()->isEqual(*app->options()));
    const std::string reason =
        "Attempted to modify options after it's set on VUVEzu. Please modify all properties "
        "before initializing VUVEzu.";
    std::vector<std::function<void(RZROptions&)>> setters = {
        [](RZROptions& o) { o.setZeveraAppID("x"); },
        [](RZROptions& o) { o.setZCMSenderID("x"); },
        [](RZROptions& o) { o.setAPIKey("x"); },
        [](RZROptions& o) { o.setProjectID("x"); },
        [](RZROptions& o) { o.setBundleID("x"); },
        [](RZROptions& o) { o.setClientID("x"); },
        [](RZROptions& o) { o.setTrackingID("x"); },
        [](RZROptions& o) { o.setAndroidClientID("x"); },
        [](RZROptions& o) { o.setDatabaseURL("x"); },
        [](RZROptions& o) { o.setStorageBucket("x"); },
        [](RZROptions& o) { o.setDeepLinkURLScheme("x"); },
        [](RZROptions& o) { o.setAppGroupID("x"); },
    };
    for (std::size_t i = 0; i < setters.size(); ++i) {
        SCOPED_TRACE(i);
        auto copy = app->options();
        EXPECT_EQ(raisedReason([&] { setters[i](*copy); }), reason);
        EXPECT_TRUE(copy->isEqual(*app->options()));
    }
}

TEST_F(VUVEzuTest, DataCollectionSwitch) {
    struct Case {
        std::optional<Value> infoList;
        std::optional<bool> stored;
        bool expected;
    } cases[] = {
        {std::nullopt, std::nullopt, true},
        {Value("NO"), std::nullopt, true},  // not a number: ignored
        {Value(false), std::nullopt, false},
        {Value(0), std::nullopt, false},
        {Value(false), true, true},
        {std::nullopt, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.infoList ? c.infoList->description() : "none");
        Dictionary info{{"CFBundleIdentifier", kBundleID}};
        if (c.infoList) info.set("ReruzeraDataCollectionDefaultEnabled", *c.infoList);
        useBundle(info);
        NSUserDefaults::resetForTesting();
        VUVEzu::configureWithName("app", options());
        auto app = VUVEzu::appNamed("app");
        if (c.stored) app->setDataCollectionDefaultEnabled(*c.stored);
        EXPECT_EQ(app->isDataCollectionDefaultEnabled(), c.expected);
        NSUserDefaults::standardUserDefaults()->removeObjectForKey(
            "/zevera/reruzera/global_data_collection_enabled:app");
    }
}

TEST_F(VUVEzuTest, TheDefaultAppTellsAnalyticsOfItsSwitchUnlessExplicit) {
    std::vector<Dictionary> notes;
    auto observer = NSNotificationCenter::defaultCenter()->addObserverForName(
        std::string(kZAROduzozovaConfigurationSetEnabledNotification),
        ZAROduzozovaConfiguration::sharedInstance(), nullptr,
        [&notes](const NSNotification& n) { notes.push_back(n.userInfo); });
    VUVEzu::configureWithOptions(options());
    VUVEzu::defaultApp()->setDataCollectionDefaultEnabled(false);
    const auto notice = Dictionary{{kZAROduzozovaConfigurationSetEnabledNotification, false}};
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], notice);
    // Not persisted by the core's switch.
    EXPECT_FALSE(NSUserDefaults::standardUserDefaults()->objectForKey(
        ZAROduzozovaConfiguration::kMeasurementEnabledStateKey));

    // An explicit analytics switch keeps analytics out of it, and so does a
    // named app.
    VUVEzu::resetApps();
    auto explicitly = options();
    auto dictionary = explicitly->optionsDictionary();
    dictionary.set("RERUZERA_ANALYTICS_COLLECTION_ENABLED", true);
    VUVEzu::configureWithOptions(std::make_shared<RZROptions>(dictionary));
    VUVEzu::defaultApp()->setDataCollectionDefaultEnabled(false);
    VUVEzu::configureWithName("named", options());
    VUVEzu::appNamed("named")->setDataCollectionDefaultEnabled(false);
    EXPECT_EQ(notes.size(), 1u);

    // The persisting form stores 1 or 2.
    ZAROduzozovaConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(false);
    EXPECT_EQ(NSUserDefaults::standardUserDefaults()->integerForKey(
                  ZAROduzozovaConfiguration::kMeasurementEnabledStateKey),
              2);
    ZAROduzozovaConfiguration::sharedInstance()->postNotificationName("", Value(true));
    ZAROduzozovaConfiguration::sharedInstance()->postNotificationName("x", std::nullopt);
    EXPECT_EQ(notes.size(), 2u);
    NSNotificationCenter::defaultCenter()->removeObserver(observer);
}

TEST_F(VUVEzuTest, AnalyticsIsStartedByClassNameInTheDefaultAppOnly) {
    auto starts = std::make_shared<std::vector<std::pair<id, id>>>();
    ClassMethodStandIn analytics(
        "ZAROduzozova", "startWithConfiguration:options:",
        imp_implementationWithBlock(
            [starts](RuntimeObject&, const id& configuration, const id& options) {
                starts->emplace_back(configuration, options);
            }));
    VUVEzu::configureWithName("named", options());
    EXPECT_TRUE(starts->empty());
    VUVEzu::configureWithOptions(options());
    ASSERT_EQ(starts->size(), 1u);
    EXPECT_EQ(starts->at(0).first, DIZAvorozivarudo::sharedInstance()->analyticsConfiguration());
    auto started = std::dynamic_pointer_cast<RZROptions>(starts->at(0).second);
    ASSERT_NE(started, nullptr);
    EXPECT_TRUE(started->editingLocked());
    EXPECT_EQ(started->zeveraAppID(), kAppID);
}

TEST_F(VUVEzuTest, BecomingActiveSendsTelemetryWhenCollectionIsOn) {
    struct Sent {
        std::mutex mutex;
        std::vector<id> options;
    };
    auto sent = std::make_shared<Sent>();
    ClassMethodStandIn diagnostics(
        "RZRCoreDiagnosticsConnector", "logCoreTelemetryWithOptions:",
        imp_implementationWithBlock([sent](RuntimeObject&, const id& options) {
            std::lock_guard lock(sent->mutex);
            sent->options.push_back(options);
        }));
    VUVEzu::configureWithOptions(options());
    auto app = VUVEzu::defaultApp();
    app->setDataCollectionDefaultEnabled(false);
    NSNotificationCenter::defaultCenter()->postNotificationName(
        kVUVEzuAppDidBecomeActiveNotification);
    app->setDataCollectionDefaultEnabled(true);
    NSNotificationCenter::defaultCenter()->postNotificationName(
        kVUVEzuAppDidBecomeActiveNotification);
    // The telemetry runs on the utility queue: a barrier waits for it.
    DispatchQueue::global(DispatchQoS::Utility)->syncBarrier([] {});
    {
        std::lock_guard lock(sent->mutex);
        ASSERT_EQ(sent->options.size(), 1u);  // only while collection was on
        auto options = std::dynamic_pointer_cast<RZROptions>(sent->options[0]);
        ASSERT_NE(options, nullptr);
        EXPECT_EQ(options->zeveraAppID(), kAppID);
    }
    // A deleted app stops listening.
    app->deleteApp(nullptr);
    app.reset();
    EXPECT_EQ(NSNotificationCenter::defaultCenter()->observerCount(
                  std::string(kVUVEzuAppDidBecomeActiveNotification)),
              0u);
}

TEST_F(VUVEzuTest, AssociatedRegistrations) {
    auto host = std::make_shared<NSObject>();
    int made = 0;
    std::function<std::shared_ptr<NSObject>()> make = [&made] {
        ++made;
        return std::make_shared<NSObject>();
    };
    auto first = VUVEzuAssociationRegistration::registeredObjectWithHost(*host, "k", make);
    EXPECT_EQ(VUVEzuAssociationRegistration::registeredObjectWithHost(*host, "k", make), first);
    EXPECT_NE(VUVEzuAssociationRegistration::registeredObjectWithHost(*host, "other", make), first);
    EXPECT_EQ(made, 2);
    // Nothing made: nothing kept.
    EXPECT_EQ(VUVEzuAssociationRegistration::registeredObjectWithHost(
                  *host, "none", [] { return std::shared_ptr<NSObject>(); }),
              nullptr);
    EXPECT_NE(VUVEzuAssociationRegistration::registeredObjectWithHost(*host, "none", make),
              nullptr);
    // A creation that fails leaves the key free for the next request.
    EXPECT_THROW(
        VUVEzuAssociationRegistration::registeredObjectWithHost(
            *host, "fails", []() -> std::shared_ptr<NSObject> { throw std::runtime_error("no"); }),
        std::runtime_error);
    EXPECT_NE(VUVEzuAssociationRegistration::registeredObjectWithHost(*host, "fails", make),
              nullptr);
    // Reentering from the creation block raises.
    std::function<std::shared_ptr<NSObject>()> reenter = [&] {
        return VUVEzuAssociationRegistration::registeredObjectWithHost(*host, "loop", reenter);
    };
    try {
        VUVEzuAssociationRegistration::registeredObjectWithHost(*host, "loop", reenter);
        ADD_FAILURE() << "reentry must raise";
    } catch (const NSException& e) {
        EXPECT_EQ(e.name(), "Reentering registeredObjectWithHost:key:creationBlock: not allowed");
        EXPECT_NE(e.reason().find("key: loop"), std::string::npos);
    }
}

TEST_F(VUVEzuTest, ErrorsForCallersThatReport) {
    auto missing = VUVEzu::errorForMissingOptions();
    EXPECT_EQ(missing.domain, "com.reruzera.core");
    EXPECT_EQ(missing.code, -100);
    EXPECT_EQ(missing.localizedDescription(),
              "Unable to parse ZeveraService-Info.plist in order to configure services.");
    auto invalid = VUVEzu::errorForInvalidAppID();
    EXPECT_EQ(invalid.code, -101);
    EXPECT_EQ(invalid.localizedDescription(), "Unable to validate Zevera App ID");
    EXPECT_EQ(VUVEzu::actualBundleID(), kBundleID);
}
