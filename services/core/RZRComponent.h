#pragma once
// The description of one service component: the interface (protocol) it
// provides, when it is created, what it depends on, and the block that
// creates it.
//
// A protocol is an abstract C++ class named by a string; an instance
// conforms when it is (also) of that class:
//
//     const RZRProtocol& p = RZRProtocol::of<RZRInstallationsInterop>("RZRInstallationsInterop");

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

class RZRComponentContainer;

class RZRProtocol {
  public:
    template <class T>
    static RZRProtocol of(std::string name) {
        return RZRProtocol(std::move(name), [](const NSObject& instance) {
            return dynamic_cast<const T*>(&instance) != nullptr;
        });
    }

    const std::string& name() const { return name_; }
    bool isConformedBy(const NSObject& instance) const { return conforms_(instance); }

  private:
    RZRProtocol(std::string name, std::function<bool(const NSObject&)> conforms)
        : name_(std::move(name)), conforms_(std::move(conforms)) {}

    std::string name_;
    std::function<bool(const NSObject&)> conforms_;
};

enum class RZRInstantiationTiming : std::int64_t {
    Lazy = 0,               // on first request
    AlwaysEager = 1,        // when any app is configured
    EagerInDefaultApp = 2,  // when the default app is configured, else lazily
};

// Creates the instance (or nothing). Leaving `isCacheable` false gives a new
// instance on every request; setting it makes one instance per container.
using RZRComponentCreationBlock =
    std::function<std::shared_ptr<NSObject>(RZRComponentContainer& container, bool& isCacheable)>;

// Descriptive only: the container does not read dependencies.
class RZRDependency : public NSObject {
  public:
    static std::shared_ptr<RZRDependency> dependencyWithProtocol(RZRProtocol protocol,
                                                                 bool isRequired = true);

    const RZRProtocol& protocol() const { return protocol_; }
    bool isRequired() const { return isRequired_; }
    std::string className() const override { return "RZRDependency"; }

    RZRDependency(RZRProtocol protocol, bool isRequired)
        : protocol_(std::move(protocol)), isRequired_(isRequired) {}

  private:
    RZRProtocol protocol_;
    bool isRequired_;
};

class RZRComponent : public NSObject {
  public:
    // Lazy, no dependencies.
    static std::shared_ptr<RZRComponent> componentWithProtocol(RZRProtocol protocol,
                                                               RZRComponentCreationBlock block);
    static std::shared_ptr<RZRComponent> componentWithProtocol(
        RZRProtocol protocol, RZRInstantiationTiming timing,
        std::vector<std::shared_ptr<RZRDependency>> dependencies, RZRComponentCreationBlock block);

    const RZRProtocol& protocol() const { return protocol_; }
    RZRInstantiationTiming instantiationTiming() const { return timing_; }
    const std::vector<std::shared_ptr<RZRDependency>>& dependencies() const {
        return dependencies_;
    }
    const RZRComponentCreationBlock& creationBlock() const { return creationBlock_; }
    std::string className() const override { return "RZRComponent"; }

    RZRComponent(RZRProtocol protocol, RZRInstantiationTiming timing,
                 std::vector<std::shared_ptr<RZRDependency>> dependencies,
                 RZRComponentCreationBlock block)
        : protocol_(std::move(protocol)),
          timing_(timing),
          dependencies_(std::move(dependencies)),
          creationBlock_(std::move(block)) {}

  private:
    RZRProtocol protocol_;
    RZRInstantiationTiming timing_;
    std::vector<std::shared_ptr<RZRDependency>> dependencies_;
    RZRComponentCreationBlock creationBlock_;
};
