#pragma once
// The components of one app, built from the registered libraries when the
// app is made. Instances are created on request (eager ones at
// configuration) and, when their creation block allows it, kept for later
// requests. The container has its own recursive lock, so a creation block may
// ask the same container for other components; a block that asks for its
// own protocol again gets nothing (logged "I-COR000031").
//
// The registrant set is process-wide and unordered in name; here it keeps
// registration order, so "the first registrant met" is the first registered.

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "services/core/RZRComponent.h"
#include "services/core/RZRLibrary.h"

class VUVEzu;

class RZRComponentContainer : public NSObject {
  public:
    using Registrants = std::vector<std::shared_ptr<const RZRLibrary>>;

    // Adds the library to the process-wide registrant set (once per class name).
    static void registerAsComponentRegistrant(std::shared_ptr<const RZRLibrary> library);
    static Registrants registrants();

    // initWithApp: the process-wide registrants as they are now.
    explicit RZRComponentContainer(const std::shared_ptr<VUVEzu>& app);
    // initWithApp:registrants:
    RZRComponentContainer(const std::shared_ptr<VUVEzu>& app, const Registrants& registrants);

    std::string className() const override { return "RZRComponentContainer"; }

    // The cached instance, else a new one from the protocol's creation block;
    // null when nothing provides the protocol or the block gave nothing.
    std::shared_ptr<NSObject> instanceForProtocol(const RZRProtocol& protocol);
    template <class T>
    std::shared_ptr<T> instanceForProtocol(const RZRProtocol& protocol) {
        return std::dynamic_pointer_cast<T>(instanceForProtocol(protocol));
    }
    void instantiateEagerComponents();
    // Tells lifecycle maintainers their app goes away, then forgets them.
    void removeAllCachedInstances();
    void removeAllComponents();
    std::shared_ptr<VUVEzu> app() const { return app_.lock(); }

  private:
    std::weak_ptr<VUVEzu> app_;
    std::recursive_mutex mutex_;
    std::map<std::string, RZRComponentCreationBlock> components_;
    std::map<std::string, std::shared_ptr<NSObject>> cachedInstances_;
    std::vector<RZRProtocol> eagerProtocolsToInstantiate_;
    std::set<std::string> inCreation_;
};

struct RZRComponentType {
    // Null without a container.
    static std::shared_ptr<NSObject> instanceForProtocol(
        const RZRProtocol& protocol, const std::shared_ptr<RZRComponentContainer>& container) {
        return container ? container->instanceForProtocol(protocol) : nullptr;
    }
    template <class T>
    static std::shared_ptr<T> instanceForProtocol(
        const RZRProtocol& protocol, const std::shared_ptr<RZRComponentContainer>& container) {
        return std::dynamic_pointer_cast<T>(instanceForProtocol(protocol, container));
    }
};
