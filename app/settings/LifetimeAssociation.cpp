#include "app/settings/LifetimeAssociation.h"

namespace {

const ObjectAssociation<TrackerList>& trackerAssociation() {
    static const auto* association = new ObjectAssociation<TrackerList>();
    return *association;
}

}  // namespace

ObjectLifetimeTracker::~ObjectLifetimeTracker() {
    auto handler = std::move(deinitHandler_);
    if (handler) handler();
    object_.reset();
}

LifetimeAssociation::LifetimeAssociation(std::shared_ptr<void> target,
                                         const std::shared_ptr<NSObject>& owner,
                                         std::function<void()> deinitHandler) {
    auto tracker =
        std::make_shared<ObjectLifetimeTracker>(std::move(target), std::move(deinitHandler));
    auto list = trackerAssociation().get(*owner).value_or(TrackerList{});
    list.push_back(tracker);
    trackerAssociation().set(*owner, std::move(list));
    wrappedObject_ = tracker;
    owner_ = owner;
}

LifetimeAssociation::~LifetimeAssociation() {
    removeFromOwner();
}

void LifetimeAssociation::cancel() {
    if (auto tracker = wrappedObject_.lock()) tracker->setDeinitHandler([] {});
    removeFromOwner();
}

void LifetimeAssociation::removeFromOwner() {
    auto owner = owner_.lock();
    auto tracker = wrappedObject_.lock();
    if (!owner || !tracker) return;
    auto list = trackerAssociation().get(*owner);
    if (!list) return;
    for (auto it = list->begin(); it != list->end(); ++it) {
        if (*it == tracker) {
            list->erase(it);
            tracker.reset();
            owner_.reset();
            // Writing the shortened list back releases the tracker, whose
            // handler may release this association: touch no member after.
            trackerAssociation().set(*owner, std::move(*list));
            return;
        }
    }
}

TrackerList LifetimeAssociation::trackers(const NSObject& owner) {
    return trackerAssociation().get(owner).value_or(TrackerList{});
}
