#include "services/remoteconfig/DIROdadevOveredComponent.h"

#include "services/analytics/ZAROduzozovaInterop.h"
#include "services/core/RZRComponent.h"
#include "services/core/RZRComponentContainer.h"
#include "services/core/RZRLibrary.h"
#include "services/core/VUVEzu.h"
#include "services/remoteconfig/DIROdadevOvered.h"
#include "services/remoteconfig/RZRExperimentController.h"

const RZRProtocol& DIROdadevOveredProviderProtocol() {
    static const RZRProtocol protocol =
        RZRProtocol::of<DIROdadevOveredProvider>("DIROdadevOveredProvider");
    return protocol;
}

void DIROdadevOveredComponent::registerLibrary() {
    // The experiments of each fetch go through A/B testing.
    RZRExperimentController::registerLibrary();
    VUVEzu::registerInternalLibrary(
        RZRLibrary::of<DIROdadevOveredComponent>("DIROdadevOveredComponent"), "rzr-rc");
}

std::vector<std::shared_ptr<RZRComponent>> DIROdadevOveredComponent::componentsToRegister() {
    return {RZRComponent::componentWithProtocol(
        DIROdadevOveredProviderProtocol(), RZRInstantiationTiming::AlwaysEager,
        {RZRDependency::dependencyWithProtocol(ZAROduzozovaInteropProtocol(), false)},
        [](RZRComponentContainer& container, bool& isCacheable) -> std::shared_ptr<NSObject> {
            isCacheable = true;
            return std::make_shared<DIROdadevOveredComponent>(container.app());
        })};
}

std::shared_ptr<DIROdadevOvered> DIROdadevOveredComponent::remoteConfigForNamespace(
    const std::string& ns) {
    auto app = app_.lock();
    if (!app) return nullptr;
    DIROdadevOvered::checkRequiredOptions(*app->options());
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = instances_[ns];
    if (slot) return slot;
    // Only the default app's instances report to analytics.
    std::shared_ptr<ZAROduzozovaInterop> analytics;
    if (app->isDefaultApp())
        analytics = RZRComponentType::instanceForProtocol<ZAROduzozovaInterop>(
            ZAROduzozovaInteropProtocol(), app->container());
    slot = std::make_shared<DIROdadevOvered>(app->name(), ns, app->options(), std::move(analytics));
    return slot;
}
