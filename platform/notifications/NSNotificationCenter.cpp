#include "platform/notifications/NSNotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <map>

struct NSNotificationObserver::Registration {
    const void* owner = nullptr;  // the token itself, or a selector-style owner
    std::optional<std::string> name;
    bool anySender = true;
    const void* senderIdentity = nullptr;
    std::weak_ptr<void> sender;
    std::shared_ptr<DispatchQueue> queue;
    NSNotificationCenter::Block block;
    std::atomic<bool> removed{false};

    bool matches(const NSNotification& note) const {
        if (removed.load()) return false;
        if (name && *name != note.name) return false;
        if (anySender) return true;
        // Identity, and the observed sender must still be alive (a new object
        // at a dead sender's address is another sender).
        return note.object.get() == senderIdentity && !sender.expired();
    }
};

NSNotificationCenter::NSNotificationCenter() = default;
NSNotificationCenter::~NSNotificationCenter() = default;

std::shared_ptr<NSNotificationCenter> NSNotificationCenter::defaultCenter() {
    static auto* center =
        new std::shared_ptr<NSNotificationCenter>(std::make_shared<NSNotificationCenter>());
    return *center;
}

std::shared_ptr<NSNotificationObserver::Registration> NSNotificationCenter::makeRegistration(
    const void* owner, std::optional<std::string> name, const std::shared_ptr<void>& object,
    std::shared_ptr<DispatchQueue> queue, Block block) {
    auto r = std::make_shared<Registration>();
    r->owner = owner;
    r->name = std::move(name);
    r->anySender = object == nullptr;
    r->senderIdentity = object.get();
    r->sender = object;
    r->queue = std::move(queue);
    r->block = std::move(block);
    return r;
}

void NSNotificationCenter::add(std::shared_ptr<Registration> registration) {
    std::lock_guard lock(mutex_);
    registrations_.push_back(std::move(registration));
}

std::shared_ptr<NSNotificationObserver> NSNotificationCenter::addObserverForName(
    std::optional<std::string> name, std::shared_ptr<void> object,
    std::shared_ptr<DispatchQueue> queue, Block block) {
    auto registration =
        makeRegistration(nullptr, std::move(name), object, std::move(queue), std::move(block));
    auto token = std::make_shared<NSNotificationObserver>(registration);
    registration->owner = token.get();
    add(registration);
    return token;
}

void NSNotificationCenter::removeObserver(const std::shared_ptr<NSNotificationObserver>& token) {
    if (!token) return;
    std::shared_ptr<Registration> doomed;  // released outside the lock
    std::lock_guard lock(mutex_);
    auto it = std::find(registrations_.begin(), registrations_.end(), token->registration());
    if (it == registrations_.end()) return;
    (*it)->removed.store(true);
    doomed = std::move(*it);
    registrations_.erase(it);
}

void NSNotificationCenter::removeObserver(const std::shared_ptr<NSObject>& token) {
    if (auto observer = std::dynamic_pointer_cast<NSNotificationObserver>(token)) {
        removeObserver(observer);
    } else if (token) {
        removeObserver(static_cast<const void*>(token.get()));
    }
}

void NSNotificationCenter::addObserver(const void* owner, Block block,
                                       std::optional<std::string> name,
                                       std::shared_ptr<void> object) {
    add(makeRegistration(owner, std::move(name), object, nullptr, std::move(block)));
}

void NSNotificationCenter::removeObserver(const void* owner) {
    removeObserver(owner, std::nullopt, nullptr);
}

void NSNotificationCenter::removeObserver(const void* owner, std::optional<std::string> name,
                                          const std::shared_ptr<void>& object) {
    std::vector<std::shared_ptr<Registration>> doomed;
    std::lock_guard lock(mutex_);
    auto keep = std::stable_partition(
        registrations_.begin(), registrations_.end(), [&](const std::shared_ptr<Registration>& r) {
            if (r->owner != owner) return true;
            if (name && r->name != name) return true;
            if (object && (r->anySender || r->senderIdentity != object.get())) return true;
            return false;
        });
    for (auto it = keep; it != registrations_.end(); ++it) {
        (*it)->removed.store(true);
        doomed.push_back(std::move(*it));
    }
    registrations_.erase(keep, registrations_.end());
}

void NSNotificationCenter::postNotificationName(const std::string& name,
                                                std::shared_ptr<void> object, Dictionary userInfo) {
    postNotification(NSNotification{name, std::move(object), std::move(userInfo)});
}

void NSNotificationCenter::postNotification(const NSNotification& notification) {
    std::vector<std::shared_ptr<Registration>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& r : registrations_) {
            if (r->matches(notification)) targets.push_back(r);
        }
    }
    std::shared_ptr<const NSNotification> queued;
    for (const auto& r : targets) {
        if (r->removed.load()) continue;  // removed by an earlier observer
        if (!r->queue) {
            r->block(notification);
            continue;
        }
        if (!queued) queued = std::make_shared<const NSNotification>(notification);
        r->queue->async([r, queued] {
            if (!r->removed.load()) r->block(*queued);
        });
    }
}

std::size_t NSNotificationCenter::observerCount(const std::optional<std::string>& name) const {
    std::lock_guard lock(mutex_);
    if (!name) return registrations_.size();
    return static_cast<std::size_t>(
        std::count_if(registrations_.begin(), registrations_.end(),
                      [&](const std::shared_ptr<Registration>& r) { return r->name == name; }));
}

// ------------------------------------------------------------ distributed

namespace {
// String senders become shared objects, one per distinct string, kept for
// the life of the process so that identity equals string equality.
std::shared_ptr<void> internSender(const std::optional<std::string>& object) {
    if (!object) return nullptr;
    static std::mutex* mutex = new std::mutex;
    static auto* table = new std::map<std::string, std::shared_ptr<std::string>>;
    std::lock_guard lock(*mutex);
    auto& slot = (*table)[*object];
    if (!slot) slot = std::make_shared<std::string>(*object);
    return slot;
}
}  // namespace

NSDistributedNotificationCenter::NSDistributedNotificationCenter()
    : center_(std::make_shared<NSNotificationCenter>()) {}

std::shared_ptr<NSDistributedNotificationCenter> NSDistributedNotificationCenter::defaultCenter() {
    static auto* center = new std::shared_ptr<NSDistributedNotificationCenter>(
        std::make_shared<NSDistributedNotificationCenter>());
    return *center;
}

std::shared_ptr<NSNotificationObserver> NSDistributedNotificationCenter::addObserverForName(
    std::optional<std::string> name, std::optional<std::string> object,
    std::shared_ptr<DispatchQueue> queue, Block block) {
    return center_->addObserverForName(
        std::move(name), internSender(object), std::move(queue),
        [block = std::move(block)](const NSNotification& note) {
            NSDistributedNotification converted{note.name, std::nullopt, note.userInfo};
            if (note.object) converted.object = *std::static_pointer_cast<std::string>(note.object);
            block(converted);
        });
}

void NSDistributedNotificationCenter::removeObserver(
    const std::shared_ptr<NSNotificationObserver>& token) {
    center_->removeObserver(token);
}

void NSDistributedNotificationCenter::removeObserver(const std::shared_ptr<NSObject>& token) {
    center_->removeObserver(token);
}

void NSDistributedNotificationCenter::postNotificationName(const std::string& name,
                                                           std::optional<std::string> object,
                                                           Dictionary userInfo) {
    center_->postNotificationName(name, internSender(object), std::move(userInfo));
}

void NSDistributedNotificationCenter::postNotificationName(const std::string& name,
                                                           std::optional<std::string> object,
                                                           Dictionary userInfo, bool) {
    postNotificationName(name, std::move(object), std::move(userInfo));
}

void NSDistributedNotificationCenter::postNotification(
    const NSDistributedNotification& notification) {
    postNotificationName(notification.name, notification.object, notification.userInfo);
}

std::size_t NSDistributedNotificationCenter::observerCount(
    const std::optional<std::string>& name) const {
    return center_->observerCount(name);
}

namespace sim {
std::size_t observerCount(const NSNotificationCenter& center, const std::string& name) {
    return center.observerCount(name);
}
std::size_t observerCount(const NSDistributedNotificationCenter& center, const std::string& name) {
    return center.observerCount(name);
}
}  // namespace sim
