#include "platform/updater/SUUpdater.h"

#include "platform/bundle/NSBundle.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"

namespace {

constexpr const char* kAutomaticChecksKey = "SUEnableAutomaticChecks";
constexpr const char* kCheckIntervalKey = "SUScheduledCheckInterval";
constexpr double kDefaultCheckInterval = 24 * 60 * 60;

Protocol* registerDelegateProtocol() {
    if (Protocol* existing = objc_getProtocol("SUUpdaterDelegate")) return existing;
    Protocol* protocol = objc_allocateProtocol("SUUpdaterDelegate");
    if (!protocol) return objc_getProtocol("SUUpdaterDelegate");
    protocol_addProtocol(protocol, objc_getProtocol("NSObject"));
    protocol_addMethodDescription(protocol, "updater:didFindValidUpdate:", "v@:@@", false, true);
    protocol_addMethodDescription(protocol, "updaterDidNotFindUpdate:", "v@:@", false, true);
    objc_registerProtocol(protocol);
    return protocol;
}

[[maybe_unused]] Protocol* const delegateProtocol = registerDelegateProtocol();

struct Feed {
    std::mutex mutex;
    std::optional<std::string> offered;
    std::vector<sim::UpdateCheck> checks;
};

Feed& feed() {
    static auto* f = new Feed();
    return *f;
}

}  // namespace

Class SUUpdater::runtimeClass() {
    static Class cls =
        ClassBuilder<SUUpdater>("SUUpdater")
            .classMethod("sharedUpdater", [](RuntimeObject&) { return SUUpdater::sharedUpdater(); })
            .method("delegate", &SUUpdater::delegate)
            .method("setDelegate:", &SUUpdater::setDelegate)
            .method("checkForUpdates:", &SUUpdater::checkForUpdates)
            .method("checkForUpdatesInBackground", &SUUpdater::checkForUpdatesInBackground)
            .method("automaticallyChecksForUpdates", &SUUpdater::automaticallyChecksForUpdates)
            .method("setAutomaticallyChecksForUpdates:",
                    &SUUpdater::setAutomaticallyChecksForUpdates)
            .registerClass();
    return cls;
}

std::shared_ptr<SUUpdater> SUUpdater::sharedUpdater() {
    static const auto* updater = new std::shared_ptr<SUUpdater>(std::make_shared<SUUpdater>());
    return *updater;
}

SUUpdater::SUUpdater() : RuntimeObject(runtimeClass()) {
    // The timer ends with the updater (destructor), so it may call back here.
    schedule_ = Timer::scheduledTimer(sim::seconds(updateCheckInterval()), true, [this] {
        if (automaticallyChecksForUpdates()) checkForUpdatesInBackground();
    });
}

SUUpdater::~SUUpdater() {
    schedule_->invalidate();
}

id SUUpdater::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void SUUpdater::setDelegate(const id& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

void SUUpdater::checkForUpdates(const id& sender) {
    check(true, sender ? sender->className() : "");
}

void SUUpdater::checkForUpdatesInBackground() {
    check(false, "");
}

void SUUpdater::check(bool userInitiated, const std::string& senderClass) {
    std::optional<std::string> found;
    {
        std::lock_guard lock(feed().mutex);
        found = feed().offered;
        feed().checks.push_back({this, userInitiated, senderClass, found});
    }
    // The feed is fetched over the network: the answer comes later, on the
    // main queue.
    std::weak_ptr<NSObject> weakSelf = weak_from_this();
    DispatchQueue::main()->async([weakSelf, found] {
        auto self = std::static_pointer_cast<SUUpdater>(weakSelf.lock());
        if (!self) return;
        auto target = std::dynamic_pointer_cast<RuntimeObject>(self->delegate());
        if (!target) return;
        if (found) {
            if (target->respondsToSelector("updater:didFindValidUpdate:"))
                objc_msgSend(target, "updater:didFindValidUpdate:", self,
                             std::make_shared<SUAppcastItem>(*found));
        } else if (target->respondsToSelector("updaterDidNotFindUpdate:")) {
            objc_msgSend(target, "updaterDidNotFindUpdate:", self);
        }
    });
}

bool SUUpdater::automaticallyChecksForUpdates() const {
    if (auto stored = NSUserDefaults::standardUserDefaults()->objectForKey(kAutomaticChecksKey)) {
        if (auto flag = stored->asBool()) return *flag;
        if (auto number = stored->asInt()) return *number != 0;
    }
    if (const Value* listed =
            NSBundle::mainBundle()->objectForInfoDictionaryKey(kAutomaticChecksKey))
        if (auto flag = listed->asBool()) return *flag;
    return false;
}

void SUUpdater::setAutomaticallyChecksForUpdates(bool automatically) {
    NSUserDefaults::standardUserDefaults()->setBool(automatically, kAutomaticChecksKey);
}

double SUUpdater::updateCheckInterval() const {
    if (const Value* listed = NSBundle::mainBundle()->objectForInfoDictionaryKey(kCheckIntervalKey))
        if (auto seconds = listed->asDouble(); seconds && *seconds > 0) return *seconds;
    return kDefaultCheckInterval;
}

namespace {
// The class exists, as the framework's does, before anybody makes an updater.
[[maybe_unused]] const Class registeredClass = SUUpdater::runtimeClass();
}  // namespace

namespace sim {

std::vector<UpdateCheck> Updater::checks() {
    std::lock_guard lock(feed().mutex);
    return feed().checks;
}

std::vector<UpdateCheck> Updater::checks(const SUUpdater* updater) {
    std::vector<UpdateCheck> matching;
    for (const auto& check : checks())
        if (check.updater == updater) matching.push_back(check);
    return matching;
}

void Updater::offerUpdate(const std::string& version) {
    std::lock_guard lock(feed().mutex);
    feed().offered = version;
}

void Updater::offerNoUpdate() {
    std::lock_guard lock(feed().mutex);
    feed().offered.reset();
}

void Updater::reset() {
    std::lock_guard lock(feed().mutex);
    feed().offered.reset();
    feed().checks.clear();
}

}  // namespace sim
