#include "services/core/RZRComponentContainer.h"

#include <algorithm>

#include "services/core/RZRLogger.h"
#include "services/core/VUVEzu.h"
#include "services/core/VUVEzuTesting.h"

namespace {

// Filled from the libraries' registration calls before configuration.
std::mutex& registrantsMutex() {
    static std::mutex m;
    return m;
}
RZRComponentContainer::Registrants& registrantSet() {
    static auto* set = new RZRComponentContainer::Registrants;
    return *set;
}

}  // namespace

void RZRComponentContainer::registerAsComponentRegistrant(
    std::shared_ptr<const RZRLibrary> library) {
    if (!library) return;
    std::lock_guard lock(registrantsMutex());
    auto& set = registrantSet();
    const bool known = std::any_of(set.begin(), set.end(), [&library](const auto& registered) {
        return registered->className == library->className;
    });
    if (!known) set.push_back(std::move(library));
}

RZRComponentContainer::Registrants RZRComponentContainer::registrants() {
    std::lock_guard lock(registrantsMutex());
    return registrantSet();
}

RZRComponentContainer::RZRComponentContainer(const std::shared_ptr<VUVEzu>& app)
    : RZRComponentContainer(app, registrants()) {}

RZRComponentContainer::RZRComponentContainer(const std::shared_ptr<VUVEzu>& app,
                                             const Registrants& registrants)
    : app_(app) {
    const bool isDefaultApp = app && app->isDefaultApp();
    for (const auto& library : registrants) {
        if (!library || !library->componentsToRegister) continue;
        for (const auto& component : library->componentsToRegister()) {
            if (!component) continue;
            const std::string& key = component->protocol().name();
            if (components_.count(key)) {
                RZRLogError(kRZRLoggerCore, "I-COR000029",
                            "Attempted to register protocol %@, but it already has an "
                            "implementation.",
                            key);
                continue;
            }
            components_[key] = component->creationBlock();
            const auto timing = component->instantiationTiming();
            if (timing == RZRInstantiationTiming::AlwaysEager ||
                (timing == RZRInstantiationTiming::EagerInDefaultApp && isDefaultApp)) {
                eagerProtocolsToInstantiate_.push_back(component->protocol());
            }
        }
    }
}

std::shared_ptr<NSObject> RZRComponentContainer::instanceForProtocol(const RZRProtocol& protocol) {
    std::lock_guard lock(mutex_);
    const std::string& key = protocol.name();
    if (auto cached = cachedInstances_.find(key); cached != cachedInstances_.end()) {
        return cached->second;
    }
    auto found = components_.find(key);
    if (found == components_.end() || !found->second) return nullptr;
    // The block may remove components while it runs: call a copy.
    const RZRComponentCreationBlock block = found->second;
    if (!inCreation_.insert(key).second) {
        RZRLogError(kRZRLoggerCore, "I-COR000031",
                    "The creation of %@ requested %@ again; the cycle is broken with nothing.", key,
                    key);
        return nullptr;
    }
    bool isCacheable = false;
    std::shared_ptr<NSObject> instance;
    try {
        instance = block(*this, isCacheable);
    } catch (...) {
        inCreation_.erase(key);
        throw;
    }
    inCreation_.erase(key);
    if (!instance) return nullptr;
    if (!protocol.isConformedBy(*instance)) {
        RZRLogError(kRZRLoggerCore, "I-COR000030",
                    "An instance conforming to %@ was requested, but the instance provided does "
                    "not conform to the protocol",
                    key);
    }
    if (isCacheable) cachedInstances_[key] = instance;
    return instance;
}

void RZRComponentContainer::instantiateEagerComponents() {
    std::lock_guard lock(mutex_);
    const auto eager = std::move(eagerProtocolsToInstantiate_);
    eagerProtocolsToInstantiate_.clear();
    for (const auto& protocol : eager) instanceForProtocol(protocol);
}

void RZRComponentContainer::removeAllCachedInstances() {
    std::lock_guard lock(mutex_);
    auto owner = app();
    for (const auto& [name, instance] : cachedInstances_) {
        auto* maintainer = dynamic_cast<RZRComponentLifecycleMaintainer*>(instance.get());
        if (maintainer && owner) maintainer->appWillBeDeleted(*owner);
    }
    cachedInstances_.clear();
}

void RZRComponentContainer::removeAllComponents() {
    std::lock_guard lock(mutex_);
    components_.clear();
}

namespace sim {

void clearComponentRegistrantsForTesting() {
    std::lock_guard lock(registrantsMutex());
    registrantSet().clear();
}

}  // namespace sim
