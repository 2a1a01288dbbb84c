#pragma once
// Notification centres: the in-process NSNotificationCenter and a stand-in for
// NSDistributedNotificationCenter (in-process only; it carries what other
// processes would send, e.g. keyboard layout changes).
//
// * Observers match by name (nullopt = any name) and sender (null = any
//   sender). A sender is any object held by shared_ptr; it is compared by
//   identity (.get()) and held weakly, so observing never keeps it alive and
//   an observer for a sender that has died matches nothing.
// * queue == nullptr: the block runs synchronously on the posting thread,
//   before post returns. queue != nullptr: the block is posted to the queue
//   (asynchronously; posts reach a serial queue in post order).
// * Removal is safe at any time, also during delivery: an observer removed
//   before its turn in a delivery (by an earlier observer of the same post, by
//   itself, or by another thread) is not called; a queued delivery checks that
//   the observer is still registered right before running. Observers added
//   during a delivery get the later posts, not the current one.
// * Post from any thread. The observer list has its own lock, never held
//   while an observer runs.
// * As on the platform, the centre keeps a block observer until
//   removeObserver: dropping the token does not remove it.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

using NSNotificationName = std::string;

struct NSNotification {
    std::string name;
    std::shared_ptr<void> object;  // the sender, or null
    Dictionary userInfo;

    // The sender as T (the caller knows the type it observes), or null.
    template <class T>
    std::shared_ptr<T> objectAs() const {
        return std::static_pointer_cast<T>(object);
    }
};

// The opaque token returned by addObserverForName.
class NSNotificationObserver : public NSObject {
  public:
    std::string className() const override { return "__NSObserver"; }
    struct Registration;
    explicit NSNotificationObserver(std::shared_ptr<Registration> registration)
        : registration_(std::move(registration)) {}
    const std::shared_ptr<Registration>& registration() const { return registration_; }

  private:
    std::shared_ptr<Registration> registration_;
};

class NSNotificationCenter : public std::enable_shared_from_this<NSNotificationCenter> {
  public:
    using Block = std::function<void(const NSNotification&)>;

    NSNotificationCenter();  // a private centre (tests); apps use defaultCenter()
    ~NSNotificationCenter();
    NSNotificationCenter(const NSNotificationCenter&) = delete;
    NSNotificationCenter& operator=(const NSNotificationCenter&) = delete;

    static std::shared_ptr<NSNotificationCenter> defaultCenter();

    std::shared_ptr<NSNotificationObserver> addObserverForName(std::optional<std::string> name,
                                                               std::shared_ptr<void> object,
                                                               std::shared_ptr<DispatchQueue> queue,
                                                               Block block);
    void removeObserver(const std::shared_ptr<NSNotificationObserver>& token);
    void removeObserver(const std::shared_ptr<NSObject>& token);  // a token held as NSObject

    // Selector-style observers (addObserver(self, selector:, name:, object:)):
    // owner is only an identity, removeObserver(owner) removes all of its
    // registrations, removeObserver(owner, name, object) those matching.
    void addObserver(const void* owner, Block block, std::optional<std::string> name,
                     std::shared_ptr<void> object);
    void removeObserver(const void* owner);
    void removeObserver(const void* owner, std::optional<std::string> name,
                        const std::shared_ptr<void>& object);

    void postNotificationName(const std::string& name, std::shared_ptr<void> object = nullptr,
                              Dictionary userInfo = {});
    void postNotification(const NSNotification& notification);

    // Registered observers for name (nullopt: all observers).
    std::size_t observerCount(const std::optional<std::string>& name = std::nullopt) const;

  private:
    using Registration = NSNotificationObserver::Registration;
    std::shared_ptr<Registration> makeRegistration(const void* owner,
                                                   std::optional<std::string> name,
                                                   const std::shared_ptr<void>& object,
                                                   std::shared_ptr<DispatchQueue> queue,
                                                   Block block);
    void add(std::shared_ptr<Registration> registration);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Registration>> registrations_;
};

struct NSDistributedNotification {
    std::string name;
    std::optional<std::string> object;
    Dictionary userInfo;
};

// Same API with a string object (compared by value). In-process only.
class NSDistributedNotificationCenter {
  public:
    using Block = std::function<void(const NSDistributedNotification&)>;

    NSDistributedNotificationCenter();
    static std::shared_ptr<NSDistributedNotificationCenter> defaultCenter();

    std::shared_ptr<NSNotificationObserver> addObserverForName(std::optional<std::string> name,
                                                               std::optional<std::string> object,
                                                               std::shared_ptr<DispatchQueue> queue,
                                                               Block block);
    void removeObserver(const std::shared_ptr<NSNotificationObserver>& token);
    void removeObserver(const std::shared_ptr<NSObject>& token);

    void postNotificationName(const std::string& name,
                              std::optional<std::string> object = std::nullopt,
                              Dictionary userInfo = {});
    // deliverImmediately is accepted for source compatibility; delivery is
    // the same either way.
    void postNotificationName(const std::string& name, std::optional<std::string> object,
                              Dictionary userInfo, bool deliverImmediately);
    void postNotification(const NSDistributedNotification& notification);

    std::size_t observerCount(const std::optional<std::string>& name = std::nullopt) const;

  private:
    std::shared_ptr<NSNotificationCenter> center_;
};

namespace sim {
// Observer counts, for leak tests ("observers of removed devices are removed").
std::size_t observerCount(const NSNotificationCenter& center, const std::string& name);
std::size_t observerCount(const NSDistributedNotificationCenter& center, const std::string& name);
}  // namespace sim
