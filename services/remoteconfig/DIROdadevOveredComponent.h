#pragma once
// Registers the remote-configuration client with the component container
// (library "rzr-rc"): one component per app, made eagerly, that creates and
// caches the app's instances per namespace.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

class DIROdadevOvered;
class RZRComponent;
class RZRProtocol;
class VUVEzu;

class DIROdadevOveredProvider {
  public:
    virtual ~DIROdadevOveredProvider() = default;
    // The app's instance for the namespace; NSException "com.reruzera.config"
    // when the app's options lack a required field.
    virtual std::shared_ptr<DIROdadevOvered> remoteConfigForNamespace(const std::string& ns) = 0;
};
const RZRProtocol& DIROdadevOveredProviderProtocol();

class DIROdadevOveredComponent : public NSObject, public DIROdadevOveredProvider {
  public:
    explicit DIROdadevOveredComponent(std::weak_ptr<VUVEzu> app) : app_(std::move(app)) {}
    // Call once before the default app is configured.
    static void registerLibrary();
    static std::vector<std::shared_ptr<RZRComponent>> componentsToRegister();

    std::shared_ptr<DIROdadevOvered> remoteConfigForNamespace(const std::string& ns) override;
    std::shared_ptr<VUVEzu> app() const { return app_.lock(); }
    std::string className() const override { return "DIROdadevOveredComponent"; }

  private:
    std::weak_ptr<VUVEzu> app_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<DIROdadevOvered>> instances_;
};
