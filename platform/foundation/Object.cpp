#include "platform/foundation/Object.h"

#include <cstdio>
#include <utility>

NSObject::~NSObject() {
    // Release the associations outside the lock: an association's destructor
    // may touch this owner's associations (now empty) without deadlock. Loop in
    // case such a destructor attaches a new association while we release.
    for (;;) {
        std::map<const void*, std::shared_ptr<void>> released;
        {
            std::lock_guard<std::mutex> lock(associationsMutex_);
            if (associations_.empty()) break;
            released.swap(associations_);
        }
        released.clear();
    }
}

std::string NSObject::description() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", static_cast<const void*>(this));
    std::string address = buf;
    if (address.rfind("0x", 0) != 0) address = "0x" + address;
    return "<" + className() + ": " + address + ">";
}

void NSObject::setAssociatedObject(const void* key, std::shared_ptr<void> value) {
    std::shared_ptr<void> previous;  // released after the lock is dropped
    std::lock_guard<std::mutex> lock(associationsMutex_);
    auto it = associations_.find(key);
    if (!value) {
        if (it != associations_.end()) {
            previous = std::move(it->second);
            associations_.erase(it);
        }
    } else if (it != associations_.end()) {
        previous = std::exchange(it->second, std::move(value));
    } else {
        associations_.emplace(key, std::move(value));
    }
}

std::shared_ptr<void> NSObject::associatedObject(const void* key) const {
    std::lock_guard<std::mutex> lock(associationsMutex_);
    auto it = associations_.find(key);
    return it == associations_.end() ? nullptr : it->second;
}
