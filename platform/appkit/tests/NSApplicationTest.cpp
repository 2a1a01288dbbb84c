#include "platform/appkit/NSApplication.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/log/Log.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/process/NSTask.h"

namespace {

std::vector<std::string> calls;

// A delegate that records every callback it gets and the actions sent to it.
class RecordingDelegate : public RuntimeObject {
  public:
    static Class runtimeClass() {
        static Class cls =
            ClassBuilder<RecordingDelegate>("AppKitTest.RecordingDelegate")
                .method("applicationWillFinishLaunching:",
                        [](RecordingDelegate&, const id&) { calls.push_back("willFinish"); })
                .method("applicationDidFinishLaunching:",
                        [](RecordingDelegate& self, const id& app) {
                            calls.push_back("didFinish");
                            self.launchedWith = app;
                            if (self.terminateAtLaunch)
                                NSApplication::sharedApplication()->terminate(nullptr);
                        })
                .method("applicationShouldTerminate:",
                        [](RecordingDelegate& self, const id&) {
                            calls.push_back("shouldTerminate");
                            return self.reply;
                        })
                .method("applicationWillTerminate:",
                        [](RecordingDelegate&, const id&) { calls.push_back("willTerminate"); })
                .method("showThing:",
                        [](RecordingDelegate& self, const id& sender) {
                            calls.push_back("showThing:");
                            self.lastSender = sender;
                        })
                .method("refresh", [](RecordingDelegate&) { calls.push_back("refresh"); })
                .conformsTo(objc_getProtocol("NSApplicationDelegate"))
                .registerClass();
        return cls;
    }
    RecordingDelegate() : RuntimeObject(runtimeClass()) {}

    bool terminateAtLaunch = false;
    NSApplicationTerminateReply reply = NSApplicationTerminateReply::terminateNow;
    id launchedWith;
    id lastSender;
};

class NSApplicationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        sim::Application::reset();
        sim::Process::intercept(true);
        sim::Process::clear();
    }
    void TearDown() override {
        sim::Application::reset();
        sim::Process::intercept(false);
        sim::Process::clear();
    }
    std::shared_ptr<NSApplication> app = NSApplication::sharedApplication();
};

}  // namespace

TEST_F(NSApplicationTest, IsFoundAndDrivenThroughTheRuntime) {
    Class cls = NSClassFromString("NSApplication");
    ASSERT_NE(cls, nullptr);
    EXPECT_EQ(objc_msgSend<id>(cls, "sharedApplication"), app);

    std::vector<std::pair<id, id>> changes;
    auto token = app->addObserverForKeyPath(
        "delegate", [&](const std::string&, const id& oldValue, const id& newValue) {
            changes.emplace_back(oldValue, newValue);
        });
    auto first = std::make_shared<RecordingDelegate>();
    auto second = std::make_shared<RecordingDelegate>();
    objc_msgSend(app, "setDelegate:", first);
    app->setDelegate(second);
    EXPECT_EQ(objc_msgSend<id>(app, "delegate"), second);
    EXPECT_EQ(std::dynamic_pointer_cast<RecordingDelegate>(app->delegate()), second);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0], std::make_pair(id(), id(first)));
    EXPECT_EQ(changes[1], std::make_pair(id(first), id(second)));
    app->removeObserverForKeyPath(token);
}

TEST_F(NSApplicationTest, LaunchAndTerminationCallTheDelegateInOrderAndEndTheProcess) {
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->terminateAtLaunch = true;
    app->setDelegate(delegate);
    auto center = NSNotificationCenter::defaultCenter();
    auto token = center->addObserverForName(
        std::string(NSApplicationWillTerminateNotification), nullptr, nullptr,
        [](const NSNotification&) { calls.push_back("notification"); });

    app->run();  // returns: the exit is intercepted

    EXPECT_EQ(calls, (std::vector<std::string>{"willFinish", "didFinish", "shouldTerminate",
                                               "notification", "willTerminate"}));
    EXPECT_EQ(delegate->launchedWith, app);
    EXPECT_EQ(sim::Process::exitStatuses(), std::vector<int>{0});
    EXPECT_TRUE(sim::Application::isTerminated());
    EXPECT_FALSE(app->isRunning());

    // Ended once: a second request and a second run do nothing.
    app->terminate(nullptr);
    app->run();
    EXPECT_EQ(sim::Application::terminationCount(), 1u);
    EXPECT_EQ(sim::Process::exitStatuses().size(), 1u);
    center->removeObserver(token);
}

TEST_F(NSApplicationTest, BecomingActiveAndResigningArePostedOnceEach) {
    sim::Application::deactivate();
    auto center = NSNotificationCenter::defaultCenter();
    std::vector<std::shared_ptr<NSNotificationObserver>> tokens;
    for (const char* name :
         {NSApplicationDidBecomeActiveNotification, NSApplicationWillResignActiveNotification,
          NSApplicationDidResignActiveNotification})
        tokens.push_back(center->addObserverForName(
            std::string(name), nullptr, nullptr, [this](const NSNotification& notification) {
                calls.push_back(notification.name + (app->isActive() ? " active" : " inactive"));
            }));

    app->activateIgnoringOtherApps(true);
    app->activateIgnoringOtherApps(true);  // already active: nothing new
    sim::Application::deactivate();
    sim::Application::deactivate();  // already inactive: nothing new

    EXPECT_EQ(calls,
              (std::vector<std::string>{"NSApplicationDidBecomeActiveNotification active",
                                        "NSApplicationWillResignActiveNotification active",
                                        "NSApplicationDidResignActiveNotification inactive"}));
    for (const auto& token : tokens) center->removeObserver(token);
}

TEST_F(NSApplicationTest, AReplacedClassOfTheLiveDelegateSeesTheCallbacks) {
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    Class proxy = objc_getClass("AppKitTest.ProxyDelegate");
    if (!proxy) {
        proxy = objc_allocateClassPair(RecordingDelegate::runtimeClass(),
                                       "AppKitTest.ProxyDelegate", 0);
        ASSERT_NE(proxy, nullptr);
        IMP original = class_getMethodImplementation(RecordingDelegate::runtimeClass(),
                                                     "applicationWillTerminate:");
        class_addMethod(
            proxy, "applicationWillTerminate:",
            Implementation::make([original](RuntimeObject& self, SEL cmd, const Arguments& args) {
                calls.push_back("intercepted");
                return (*original)(self, cmd, args);
            }),
            "v@:@");
        objc_registerClassPair(proxy);
    }
    object_setClass(delegate, proxy);

    app->terminate(nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"shouldTerminate", "intercepted", "willTerminate"}));
}

TEST_F(NSApplicationTest, TheDelegateMayCancelOrDeferTermination) {
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);

    delegate->reply = NSApplicationTerminateReply::terminateCancel;
    app->terminate(nullptr);
    EXPECT_FALSE(sim::Application::isTerminated());

    delegate->reply = NSApplicationTerminateReply::terminateLater;
    app->terminate(nullptr);
    app->terminate(nullptr);  // already pending: not asked again
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "shouldTerminate"), 2);
    app->replyToApplicationShouldTerminate(false);
    EXPECT_FALSE(sim::Application::isTerminated());

    app->terminate(nullptr);
    app->replyToApplicationShouldTerminate(true);
    EXPECT_TRUE(sim::Application::isTerminated());
    EXPECT_EQ(sim::Process::exitStatuses(), std::vector<int>{0});
}

TEST_F(NSApplicationTest, TerminatingOrStoppingFromTheRunLoopEndsRun) {
    // Neither a delegate nor an answer to applicationShouldTerminate: needed.
    app->setDelegate(std::make_shared<RuntimeObject>());
    DispatchQueue::main()->async([this] {
        EXPECT_TRUE(app->isRunning());
        objc_msgSend(app, "stop:", id());
    });
    app->run();
    EXPECT_FALSE(sim::Application::isTerminated());

    DispatchQueue::main()->async([this] { objc_msgSend(app, "terminate:", id()); });
    app->run();
    EXPECT_TRUE(sim::Application::isTerminated());
    EXPECT_FALSE(app->isRunning());
}

TEST_F(NSApplicationTest, ExceptionsInTheRunLoopAreReportedAndTheLoopGoesOn) {
    ASSERT_FALSE(
        NSUserDefaults::standardUserDefaults()->boolForKey("NSApplicationCrashOnExceptions"));
    const auto raiseThenStop = [this] {
        DispatchQueue::main()->async([] { throw NSException("WidgetException", "bad widget"); });
        DispatchQueue::main()->async([this] {
            calls.push_back("after");
            app->stop(nullptr);
        });
        app->run();
    };
    // By default the exception is logged.
    {
        sim::LogCapture capture;
        raiseThenStop();
        EXPECT_TRUE(capture.contains("bad widget")) << ::testing::PrintToString(capture.lines());
        EXPECT_EQ(calls, std::vector<std::string>{"after"});
    }
    // The message goes through the class: a replaced implementation gets it.
    calls.clear();
    Class cls = NSApplication::runtimeClass();
    std::shared_ptr<NSException> reported;
    IMP original = class_replaceMethod(
        cls, "reportException:",
        imp_implementationWithBlock(
            [&](NSApplication&, const std::shared_ptr<NSException>& e) { reported = e; }),
        "v@:@");
    ASSERT_NE(original, nullptr);
    raiseThenStop();
    class_replaceMethod(cls, "reportException:", original, "v@:@");
    ASSERT_NE(reported, nullptr);
    EXPECT_EQ(reported->name(), "WidgetException");
    EXPECT_EQ(reported->reason(), "bad widget");
    EXPECT_FALSE(reported->callStackReturnAddresses().empty());
    EXPECT_EQ(calls, std::vector<std::string>{"after"});
}

TEST_F(NSApplicationTest, CrashOnExceptionsEndsTheProcessWhenOneIsReported) {
    EXPECT_EXIT(
        {
            ::alarm(20);
            NSUserDefaults::standardUserDefaults()->registerDefaults(
                {{"NSApplicationCrashOnExceptions", Value(true)}});
            DispatchQueue::main()->async(
                [] { throw NSException("WidgetException", "bad widget"); });
            app->run();
            std::_Exit(0);
        },
        ::testing::KilledBySignal(SIGABRT), "");
}

TEST_F(NSApplicationTest, ActionsTravelTheResponderChain) {
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    auto sender = std::make_shared<NSObject>();

    EXPECT_TRUE(app->sendAction("showThing:", nullptr, sender));
    EXPECT_EQ(delegate->lastSender, sender);
    EXPECT_TRUE(app->sendAction("refresh", nullptr, sender));  // no argument expected
    EXPECT_EQ(app->targetForAction("terminate:"), app);        // the application answers it
    EXPECT_EQ(app->targetForAction("showThing:"), delegate);
    EXPECT_FALSE(app->sendAction("unknownAction:", nullptr, sender));
    // An explicit target that does not answer is not replaced by the chain.
    EXPECT_FALSE(app->sendAction("showThing:", std::make_shared<RuntimeObject>(), sender));
    EXPECT_EQ(calls, (std::vector<std::string>{"showThing:", "refresh"}));
}

TEST_F(NSApplicationTest, TheCurrentEventIsSetOnlyWhileItIsHandled) {
    auto click = NSEvent::mouseEvent(NSEventType::rightMouseUp, NSEventModifierFlagControl, 1);
    std::shared_ptr<NSEvent> seen;
    sim::Application::withCurrentEvent(
        click, [&] { seen = objc_msgSend<std::shared_ptr<NSEvent>>(app, "currentEvent"); });
    EXPECT_EQ(seen, click);
    EXPECT_EQ(app->currentEvent(), nullptr);
}

TEST_F(NSApplicationTest, AppearanceChangesReachTheirObservers) {
    std::vector<std::string> seen;
    auto describe = [](const id& value) {
        auto appearance = std::dynamic_pointer_cast<NSAppearance>(value);
        return appearance ? appearance->name() : std::string("-");
    };
    auto observation = app->observeEffectiveAppearance(
        NSKeyValueObservingOptionInitial | NSKeyValueObservingOptionPrior |
            NSKeyValueObservingOptionOld | NSKeyValueObservingOptionNew,
        [&](NSApplication&, const NSKeyValueObservedChange& change) {
            seen.push_back(std::string(change.isPrior ? "prior " : "") + describe(change.oldValue) +
                           " > " + describe(change.newValue));
        });
    int runtimeObserved = 0;
    auto token = app->addObserverForKeyPath(
        "effectiveAppearance",
        [&](const std::string&, const id&, const id&) { ++runtimeObserved; });

    sim::Appearance::setDark(true);
    sim::Appearance::setDark(true);  // no change, no call
    app->setAppearance(NSAppearance::appearanceNamed(NSAppearanceNameAqua));
    sim::Appearance::setDark(false);  // the application's own appearance still rules
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "- > NSAppearanceNameAqua",
                        "prior NSAppearanceNameAqua > -",
                        "NSAppearanceNameAqua > NSAppearanceNameDarkAqua",
                        "prior NSAppearanceNameDarkAqua > -",
                        "NSAppearanceNameDarkAqua > NSAppearanceNameAqua",
                    }));
    EXPECT_EQ(runtimeObserved, 2);

    observation.reset();
    seen.clear();
    app->setAppearance(nullptr);
    sim::Appearance::setDark(true);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(objc_msgSend<std::shared_ptr<NSAppearance>>(app, "effectiveAppearance")->name(),
              NSAppearanceNameDarkAqua);
    EXPECT_EQ(NSAppearance::currentDrawingAppearance()->name(), NSAppearanceNameDarkAqua);
    app->removeObserverForKeyPath(token);
}

TEST(NSAppearance, BestMatchPrefersTheNameThenTheSameLightness) {
    struct Case {
        const char* appearance;
        std::vector<NSAppearanceName> names;
        std::optional<NSAppearanceName> expected;
    };
    const std::vector<Case> cases = {
        {NSAppearanceNameDarkAqua,
         {NSAppearanceNameAqua, NSAppearanceNameDarkAqua},
         NSAppearanceNameDarkAqua},
        {NSAppearanceNameVibrantDark,
         {NSAppearanceNameAqua, NSAppearanceNameDarkAqua},
         NSAppearanceNameDarkAqua},
        {NSAppearanceNameAqua,
         {NSAppearanceNameDarkAqua, NSAppearanceNameVibrantLight},
         NSAppearanceNameVibrantLight},
        {NSAppearanceNameAqua, {NSAppearanceNameDarkAqua}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto appearance = NSAppearance::appearanceNamed(c.appearance);
        ASSERT_TRUE(appearance);
        EXPECT_EQ(appearance->bestMatchFromAppearancesWithNames(c.names), c.expected)
            << c.appearance;
    }
    EXPECT_EQ(NSAppearance::appearanceNamed("Sepia"), nullptr);
}
