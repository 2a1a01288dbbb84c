#pragma once
// Ties an object (an observation) to the lifetime of an owner: a tracker
// attached to the owner as an associated object holds the target, and runs a
// handler when the owner releases it at deallocation.
//
// Ties and cancellations for one owner are expected on one thread.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/Object.h"

// An association key (its own address) for values of type T on any owner.
template <class T>
class ObjectAssociation {
  public:
    std::optional<T> get(const NSObject& owner) const {
        auto stored = objc_getAssociatedObject(owner, this);
        if (!stored) return std::nullopt;
        return *std::static_pointer_cast<T>(stored);
    }
    void set(NSObject& owner, std::optional<T> value) const {
        objc_setAssociatedObject(owner, this,
                                 value ? std::make_shared<T>(std::move(*value)) : nullptr,
                                 OBJC_ASSOCIATION_RETAIN_NONATOMIC);
    }
};

class ObjectLifetimeTracker {
  public:
    ObjectLifetimeTracker(std::shared_ptr<void> object, std::function<void()> deinitHandler)
        : object_(std::move(object)), deinitHandler_(std::move(deinitHandler)) {}
    ~ObjectLifetimeTracker();
    void setDeinitHandler(std::function<void()> handler) { deinitHandler_ = std::move(handler); }

  private:
    std::shared_ptr<void> object_;
    std::function<void()> deinitHandler_;
};

using TrackerList = std::vector<std::shared_ptr<ObjectLifetimeTracker>>;

class LifetimeAssociation {
  public:
    LifetimeAssociation(std::shared_ptr<void> target, const std::shared_ptr<NSObject>& owner,
                        std::function<void()> deinitHandler);
    // Removes the tracker from its owner; its handler runs.
    ~LifetimeAssociation();
    LifetimeAssociation(const LifetimeAssociation&) = delete;
    LifetimeAssociation& operator=(const LifetimeAssociation&) = delete;

    // Makes the handler inert, then removes the tracker from its owner.
    void cancel();

    // The trackers an owner carries (for tests).
    static TrackerList trackers(const NSObject& owner);

  private:
    void removeFromOwner();

    std::weak_ptr<ObjectLifetimeTracker> wrappedObject_;
    std::weak_ptr<NSObject> owner_;
};
