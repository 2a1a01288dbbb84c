#pragma once
// What a service library hands to the core when it registers: the list of
// its components (required) and, optionally, a call for every configured app.
// RZRLibrary::of<T>() takes them from T's static members
//     static std::vector<std::shared_ptr<RZRComponent>> componentsToRegister();
//     static void configureWithApp(const std::shared_ptr<VUVEzu>& app);  // optional

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "services/core/RZRComponent.h"

class VUVEzu;

struct RZRLibrary {
    // The library's identity: registering one name twice registers it once.
    std::string className;
    std::function<std::vector<std::shared_ptr<RZRComponent>>()> componentsToRegister;
    std::function<void(const std::shared_ptr<VUVEzu>&)> configureWithApp;

    template <class T>
    static std::shared_ptr<const RZRLibrary> of(std::string className) {
        auto library = std::make_shared<RZRLibrary>();
        library->className = std::move(className);
        if constexpr (requires { T::componentsToRegister(); }) {
            library->componentsToRegister = [] { return T::componentsToRegister(); };
        }
        if constexpr (requires(const std::shared_ptr<VUVEzu>& app) { T::configureWithApp(app); }) {
            library->configureWithApp = [](const std::shared_ptr<VUVEzu>& app) {
                T::configureWithApp(app);
            };
        }
        return library;
    }
};

// A component instance that wants to hear that its app goes away.
class RZRComponentLifecycleMaintainer {
  public:
    virtual ~RZRComponentLifecycleMaintainer() = default;
    virtual void appWillBeDeleted(VUVEzu& app) = 0;
};
