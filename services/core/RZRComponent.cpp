#include "services/core/RZRComponent.h"

std::shared_ptr<RZRDependency> RZRDependency::dependencyWithProtocol(RZRProtocol protocol,
                                                                     bool isRequired) {
    return std::make_shared<RZRDependency>(std::move(protocol), isRequired);
}

std::shared_ptr<RZRComponent> RZRComponent::componentWithProtocol(RZRProtocol protocol,
                                                                  RZRComponentCreationBlock block) {
    return componentWithProtocol(std::move(protocol), RZRInstantiationTiming::Lazy, {},
                                 std::move(block));
}

std::shared_ptr<RZRComponent> RZRComponent::componentWithProtocol(
    RZRProtocol protocol, RZRInstantiationTiming timing,
    std::vector<std::shared_ptr<RZRDependency>> dependencies, RZRComponentCreationBlock block) {
    return std::make_shared<RZRComponent>(std::move(protocol), timing, std::move(dependencies),
                                          std::move(block));
}
