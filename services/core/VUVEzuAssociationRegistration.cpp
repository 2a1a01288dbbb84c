#include "services/core/VUVEzuAssociationRegistration.h"

#include <map>
#include <mutex>

#include "platform/foundation/Error.h"

namespace {

std::recursive_mutex& registrationMutex() {
    static std::recursive_mutex m;
    return m;
}

// Stands for an object still being created.
const std::shared_ptr<NSObject>& inProgressMarker() {
    static const auto marker = std::make_shared<NSObject>();
    return marker;
}

const char kAssociationKey = 0;

using Registrations = std::map<std::string, std::shared_ptr<NSObject>>;

}  // namespace

std::shared_ptr<NSObject> VUVEzuAssociationRegistration::registeredObjectWithHost(
    NSObject& host, const std::string& key,
    const std::function<std::shared_ptr<NSObject>()>& creationBlock) {
    std::lock_guard lock(registrationMutex());
    auto registrations =
        std::static_pointer_cast<Registrations>(objc_getAssociatedObject(host, &kAssociationKey));
    if (!registrations) {
        registrations = std::make_shared<Registrations>();
        objc_setAssociatedObject(host, &kAssociationKey, registrations, OBJC_ASSOCIATION_RETAIN);
    }
    if (auto found = registrations->find(key); found != registrations->end()) {
        if (found->second == inProgressMarker()) {
            throw NSException("Reentering registeredObjectWithHost:key:creationBlock: not allowed",
                              "host: " + host.description() + " key: " + key);
        }
        return found->second;
    }
    (*registrations)[key] = inProgressMarker();
    std::shared_ptr<NSObject> object;
    try {
        object = creationBlock ? creationBlock() : nullptr;
    } catch (...) {
        registrations->erase(key);
        throw;
    }
    if (object) {
        (*registrations)[key] = object;
    } else {
        registrations->erase(key);
    }
    return object;
}
