#pragma once
// The measurement configuration's experiments client. The engine's
// configuration registers through it with the experiments manager as the
// SDK "app_measurement" (with the five experiment-decided switches as
// default flags) and reads those switches from it; the configuration is
// the client's delegate. The switches themselves are read only by the
// configuration (APMRemoteConfig), so there is one reading of the flags.
//
// install() makes every engine configuration created from then on register
// with the shared manager, which is created, and starts fetching, with the
// first such configuration.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "services/experiments/APMEManager.h"
#include "services/measurement/APMRemoteConfig.h"

class APMEMeasurementExperiments : public APMRemoteConfigExperiments {
  public:
    // Registers with `manager`; null (nothing registered) without one or
    // when the manager refuses.
    static std::shared_ptr<APMEMeasurementExperiments> registerWithManager(
        const std::shared_ptr<APMEManager>& manager, std::int64_t libraryVersion,
        const Dictionary& defaultFlags, std::weak_ptr<APMRemoteConfig> configuration);
    // Registration with `manager`; with none, with the shared manager.
    static APMRemoteConfigExperimentsFactory factory(
        std::shared_ptr<APMEManager> manager = nullptr);
    // Installs factory() as the configuration's shared experiments factory.
    static void install();
    // The shared manager once a configuration has registered with it
    // through install(); null before (it is not created to answer).
    static std::shared_ptr<APMEManager> sharedManagerIfCreated();
    // For people (the console): whether the client has started, the
    // engine's pending, active and launched experiments, and each
    // experiment-decided switch of `configuration`. One line each.
    static std::vector<std::string> describe(const std::shared_ptr<APMEManager>& manager,
                                             APMRemoteConfig& configuration);

    std::optional<Value> flagValue(const std::string& flag) override;
    bool activateLatestSnapshot(NSError* error) override;
    std::vector<std::int64_t> experimentIDs() override;
    void reset() override;

    const std::shared_ptr<APMEClient>& client() const { return client_; }
    const std::shared_ptr<APMEManager>& manager() const { return manager_; }

  private:
    APMEMeasurementExperiments() = default;

    std::shared_ptr<APMEManager> manager_;
    std::shared_ptr<APMEClient> client_;
    // The client holds its delegate weakly.
    std::shared_ptr<APMEClientDelegate> delegate_;
};
