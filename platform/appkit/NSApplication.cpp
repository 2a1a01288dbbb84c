#include "platform/appkit/NSApplication.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/appkit/Internal.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/log/Log.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/process/NSTask.h"

namespace {

// Registered when the program loads, as the platform's class always exists:
// services look the class up by name before the application is first used.
[[maybe_unused]] const Class registeredClass = NSApplication::runtimeClass();

unsigned long terminateReplyValue(const std::any& reply) {
    if (!reply.has_value())
        return static_cast<unsigned long>(NSApplicationTerminateReply::terminateNow);
    if (const auto* typed = std::any_cast<NSApplicationTerminateReply>(&reply))
        return static_cast<unsigned long>(*typed);
    return runtime_cast<unsigned long>(reply);
}

Arguments actionArguments(SEL action, const id& sender) {
    std::string name = sel_getName(action);
    auto count = static_cast<std::size_t>(std::count(name.begin(), name.end(), ':'));
    Arguments args;
    for (std::size_t i = 0; i < count; ++i) args.push_back(runtime_box(i == 0 ? sender : id()));
    return args;
}

}  // namespace

struct NSApplicationAccess {
    static void reset(NSApplication& app) {
        std::lock_guard lock(app.mutex_);
        app.launched_ = false;
        app.running_ = false;
        app.stopRequested_ = false;
        app.terminationPending_ = false;
        app.terminated_ = false;
        app.currentEvent_ = nullptr;
        app.appearance_ = nullptr;
        app.systemAppearance_ = NSAppearance::appearanceNamed(NSAppearanceNameAqua);
        app.appearanceObservations_.clear();
        app.terminationCount_ = 0;
    }
    static bool launched(const NSApplication& app) {
        std::lock_guard lock(app.mutex_);
        return app.launched_;
    }
    static bool terminated(const NSApplication& app) {
        std::lock_guard lock(app.mutex_);
        return app.terminated_;
    }
    static std::size_t terminations(const NSApplication& app) {
        std::lock_guard lock(app.mutex_);
        return app.terminationCount_;
    }
    static std::shared_ptr<NSEvent> exchangeEvent(NSApplication& app,
                                                  std::shared_ptr<NSEvent> event) {
        std::lock_guard lock(app.mutex_);
        return std::exchange(app.currentEvent_, std::move(event));
    }
    static void setSystemAppearance(NSApplication& app, const NSAppearanceName& name) {
        auto system = NSAppearance::appearanceNamed(name);
        if (!system) return;
        app.applyAppearances(app.appearance(), system);
    }
    static NSAppearanceName systemAppearance(const NSApplication& app) {
        std::lock_guard lock(app.mutex_);
        return app.systemAppearance_->name();
    }
};

Class NSApplication::runtimeClass() {
    static Class cls =
        ClassBuilder<NSApplication>("NSApplication")
            .classMethod("sharedApplication",
                         [](RuntimeObject&) { return NSApplication::sharedApplication(); })
            .method("delegate", &NSApplication::delegate)
            .method("setDelegate:", &NSApplication::setDelegate)
            .method("terminate:", &NSApplication::terminate)
            .method("stop:", &NSApplication::stop)
            .method("currentEvent", &NSApplication::currentEvent)
            .method("effectiveAppearance", &NSApplication::effectiveAppearance)
            .method("reportException:", &NSApplication::reportException)
            .registerClass();
    return cls;
}

std::shared_ptr<NSApplication> NSApplication::sharedApplication() {
    // Never destroyed: the delegate may still be called while the process
    // exits.
    static const auto* application =
        new std::shared_ptr<NSApplication>(std::make_shared<NSApplication>());
    return *application;
}

NSApplication::NSApplication()
    : RuntimeObject(runtimeClass()),
      systemAppearance_(NSAppearance::appearanceNamed(NSAppearanceNameAqua)) {}

id NSApplication::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void NSApplication::setDelegate(const id& delegate) {
    id old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(delegate_, delegate);
    }
    didChangeValueForKey("delegate", old, delegate);
}

std::optional<std::any> NSApplication::messageDelegate(SEL selector) {
    auto target = std::dynamic_pointer_cast<RuntimeObject>(delegate());
    if (!target || !target->respondsToSelector(selector)) return std::nullopt;
    return objc_msgSendv(target.get(), selector,
                         Arguments{runtime_box(id(weak_from_this().lock()))});
}

void NSApplication::finishLaunching() {
    {
        std::lock_guard lock(mutex_);
        if (launched_) return;
        launched_ = true;
    }
    auto center = NSNotificationCenter::defaultCenter();
    std::shared_ptr<void> self = weak_from_this().lock();
    center->postNotificationName(NSApplicationWillFinishLaunchingNotification, self);
    messageDelegate("applicationWillFinishLaunching:");
    center->postNotificationName(NSApplicationDidFinishLaunchingNotification, self);
    messageDelegate("applicationDidFinishLaunching:");
}

void NSApplication::run() {
    finishLaunching();
    {
        std::lock_guard lock(mutex_);
        if (terminated_ || std::exchange(stopRequested_, false)) return;
        running_ = true;
    }
    for (;;) {
        try {
            sim::MainLoop::run();
            break;
        } catch (const NSException& exception) {
            objc_msgSend(this, "reportException:", std::make_shared<NSException>(exception));
        }
    }
    std::lock_guard lock(mutex_);
    running_ = false;
}

bool NSApplication::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void NSApplication::stop(const id&) {
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            stopRequested_ = true;
            return;
        }
    }
    sim::MainLoop::stop();
}

void NSApplication::reportException(const std::shared_ptr<NSException>& exception) {
    if (!exception) return;
    if (NSUserDefaults::standardUserDefaults()->boolForKey("NSApplicationCrashOnExceptions")) {
        NSLog("*** Terminating app due to uncaught exception '" + exception->name() +
              "', reason: '" + exception->reason() + "'");
        std::abort();
    }
    NSLog(exception->reason());
}

void NSApplication::terminate(const id&) {
    {
        std::lock_guard lock(mutex_);
        if (terminationPending_ || terminated_) return;
        terminationPending_ = true;
    }
    if (auto reply = messageDelegate("applicationShouldTerminate:")) {
        unsigned long value = terminateReplyValue(*reply);
        if (value == static_cast<unsigned long>(NSApplicationTerminateReply::terminateCancel)) {
            std::lock_guard lock(mutex_);
            terminationPending_ = false;
            return;
        }
        if (value == static_cast<unsigned long>(NSApplicationTerminateReply::terminateLater))
            return;
    }
    finishTermination();
}

void NSApplication::replyToApplicationShouldTerminate(bool shouldTerminate) {
    {
        std::lock_guard lock(mutex_);
        if (!terminationPending_ || terminated_) return;
        if (!shouldTerminate) {
            terminationPending_ = false;
            return;
        }
    }
    finishTermination();
}

void NSApplication::finishTermination() {
    NSNotificationCenter::defaultCenter()->postNotificationName(
        NSApplicationWillTerminateNotification, weak_from_this().lock());
    messageDelegate("applicationWillTerminate:");
    bool running;
    {
        std::lock_guard lock(mutex_);
        terminationPending_ = false;
        terminated_ = true;
        ++terminationCount_;
        running = running_;
    }
    ProcessExit(0);
    // Only reached when tests intercept the exit.
    if (running) sim::MainLoop::stop();
}

std::shared_ptr<NSEvent> NSApplication::currentEvent() const {
    std::lock_guard lock(mutex_);
    return currentEvent_;
}

std::shared_ptr<NSAppearance> NSApplication::appearance() const {
    std::lock_guard lock(mutex_);
    return appearance_;
}

void NSApplication::setAppearance(const std::shared_ptr<NSAppearance>& appearance) {
    std::shared_ptr<NSAppearance> system;
    {
        std::lock_guard lock(mutex_);
        system = systemAppearance_;
    }
    applyAppearances(appearance, system);
}

std::shared_ptr<NSAppearance> NSApplication::effectiveAppearance() const {
    std::lock_guard lock(mutex_);
    return appearance_ ? appearance_ : systemAppearance_;
}

bool NSApplication::isObserving(std::uint64_t token) const {
    std::lock_guard lock(mutex_);
    return std::any_of(appearanceObservations_.begin(), appearanceObservations_.end(),
                       [&](const AppearanceObservation& o) { return o.token == token; });
}

void NSApplication::applyAppearances(const std::shared_ptr<NSAppearance>& own,
                                     const std::shared_ptr<NSAppearance>& system) {
    std::shared_ptr<NSAppearance> before = effectiveAppearance();
    std::shared_ptr<NSAppearance> after = own ? own : system;
    std::vector<AppearanceObservation> observers;
    {
        std::lock_guard lock(mutex_);
        observers = appearanceObservations_;
    }
    bool changes = before->name() != after->name();
    if (changes) {
        for (const auto& o : observers) {
            if (!(o.options & NSKeyValueObservingOptionPrior) || !isObserving(o.token)) continue;
            NSKeyValueObservedChange change;
            change.isPrior = true;
            if (o.options & NSKeyValueObservingOptionOld) change.oldValue = before;
            (*o.handler)(*this, change);
        }
    }
    {
        std::lock_guard lock(mutex_);
        appearance_ = own;
        systemAppearance_ = system;
    }
    if (!changes) return;
    for (const auto& o : observers) {
        if (!isObserving(o.token)) continue;
        NSKeyValueObservedChange change;
        if (o.options & NSKeyValueObservingOptionOld) change.oldValue = before;
        if (o.options & NSKeyValueObservingOptionNew) change.newValue = after;
        (*o.handler)(*this, change);
    }
    didChangeValueForKey("effectiveAppearance", before, after);
}

std::shared_ptr<NSKeyValueObservation> NSApplication::observeEffectiveAppearance(
    NSKeyValueObservingOptions options,
    std::function<void(NSApplication&, const NSKeyValueObservedChange&)> handler) {
    auto shared =
        std::make_shared<std::function<void(NSApplication&, const NSKeyValueObservedChange&)>>(
            std::move(handler));
    std::uint64_t token;
    {
        std::lock_guard lock(mutex_);
        token = nextObservationToken_++;
        appearanceObservations_.push_back({token, options, shared});
    }
    std::weak_ptr<NSObject> weakSelf = weak_from_this();
    auto observation = std::make_shared<NSKeyValueObservation>([weakSelf, token] {
        auto self = std::static_pointer_cast<NSApplication>(weakSelf.lock());
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        std::erase_if(self->appearanceObservations_,
                      [token](const AppearanceObservation& o) { return o.token == token; });
    });
    if (options & NSKeyValueObservingOptionInitial) {
        NSKeyValueObservedChange change;
        if (options & NSKeyValueObservingOptionNew) change.newValue = effectiveAppearance();
        (*shared)(*this, change);
    }
    return observation;
}

id NSApplication::targetForAction(SEL action) const {
    if (!action) return nullptr;
    if (respondsToSelector(action)) return std::const_pointer_cast<NSObject>(shared_from_this());
    auto target = std::dynamic_pointer_cast<RuntimeObject>(delegate());
    if (target && target->respondsToSelector(action)) return target;
    return nullptr;
}

bool NSApplication::sendAction(SEL action, const id& target, const id& sender) {
    if (!action) return false;
    id receiver = target ? target : targetForAction(action);
    auto runtimeReceiver = std::dynamic_pointer_cast<RuntimeObject>(receiver);
    if (!runtimeReceiver || !runtimeReceiver->respondsToSelector(action)) return false;
    objc_msgSendv(runtimeReceiver.get(), action, actionArguments(action, sender));
    return true;
}

int NSApplicationMain(int, char*[]) {
    appkit_detail::programStarted();
    NSApplication::sharedApplication()->run();
    return 0;
}

namespace sim {

void Application::reset() {
    auto app = NSApplication::sharedApplication();
    app->setDelegate(nullptr);
    NSApplicationAccess::reset(*app);
}

bool Application::hasFinishedLaunching() {
    return NSApplicationAccess::launched(*NSApplication::sharedApplication());
}

bool Application::isTerminated() {
    return NSApplicationAccess::terminated(*NSApplication::sharedApplication());
}

std::size_t Application::terminationCount() {
    return NSApplicationAccess::terminations(*NSApplication::sharedApplication());
}

void Application::withCurrentEvent(const std::shared_ptr<NSEvent>& event,
                                   const std::function<void()>& handler) {
    auto app = NSApplication::sharedApplication();
    struct Restore {
        NSApplication& app;
        std::shared_ptr<NSEvent> previous;
        ~Restore() { NSApplicationAccess::exchangeEvent(app, std::move(previous)); }
    } restore{*app, NSApplicationAccess::exchangeEvent(*app, event)};
    handler();
}

void Appearance::setSystemAppearance(const NSAppearanceName& name) {
    NSApplicationAccess::setSystemAppearance(*NSApplication::sharedApplication(), name);
}

void Appearance::setDark(bool dark) {
    setSystemAppearance(dark ? NSAppearanceNameDarkAqua : NSAppearanceNameAqua);
}

NSAppearanceName Appearance::systemAppearance() {
    return NSApplicationAccess::systemAppearance(*NSApplication::sharedApplication());
}

}  // namespace sim
