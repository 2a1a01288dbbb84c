#include "services/experiments/APMEMeasurementExperiments.h"

#include <atomic>

namespace {

std::atomic<bool>& sharedManagerCreated() {
    static std::atomic<bool> created{false};
    return created;
}

std::string experimentList(const std::shared_ptr<APMESnapshot>& snapshot) {
    std::string list;
    if (snapshot) {
        for (const auto& experiment : snapshot->experiments()) {
            if (experiment->experimentID() == 0) continue;
            list += (list.empty() ? "" : ", ") + std::to_string(experiment->experimentID());
        }
    }
    return list.empty() ? "none" : list;
}

}  // namespace

std::shared_ptr<APMEMeasurementExperiments> APMEMeasurementExperiments::registerWithManager(
    const std::shared_ptr<APMEManager>& manager, std::int64_t libraryVersion,
    const Dictionary& defaultFlags, std::weak_ptr<APMRemoteConfig> configuration) {
    if (!manager) return nullptr;
    auto property = APMESDKProperty::initWithName(Value(APMRemoteConfig::kSDKName));
    if (!property) return nullptr;
    property->version = libraryVersion;
    auto client = manager->registerSDKProperty(property, defaultFlags);
    if (!client) return nullptr;
    std::shared_ptr<APMEMeasurementExperiments> self(new APMEMeasurementExperiments());
    self->manager_ = manager;
    self->client_ = client;
    // New-snapshot notices keep the default delivery, the main queue.
    self->delegate_ = std::make_shared<APMEClientDelegate>();
    self->delegate_->clientDidReceiveNewSnapshot = [configuration](APMEClient&) {
        if (auto config = configuration.lock()) config->clientDidReceiveNewSnapshot();
    };
    self->delegate_->didReceiveFetchError = [configuration](APMEClient&, const NSError& error) {
        if (auto config = configuration.lock()) config->clientDidReceiveFetchError(error);
    };
    self->delegate_->shouldFetchExperimentsForClient = [configuration](APMEClient&) {
        auto config = configuration.lock();
        return config && config->shouldFetchExperimentsForClient();
    };
    client->setDelegate(self->delegate_);
    return self;
}

APMRemoteConfigExperimentsFactory APMEMeasurementExperiments::factory(
    std::shared_ptr<APMEManager> manager) {
    return [manager](std::int64_t libraryVersion, const Dictionary& defaultFlags,
                     std::weak_ptr<APMRemoteConfig> configuration)
               -> std::shared_ptr<APMRemoteConfigExperiments> {
        auto chosen = manager;
        if (!chosen) {
            chosen = APMEManager::sharedInstance();
            sharedManagerCreated() = true;
        }
        return registerWithManager(chosen, libraryVersion, defaultFlags, std::move(configuration));
    };
}

void APMEMeasurementExperiments::install() {
    APMRemoteConfig::setSharedExperimentsFactory(factory());
}

std::shared_ptr<APMEManager> APMEMeasurementExperiments::sharedManagerIfCreated() {
    return sharedManagerCreated() ? APMEManager::sharedInstance() : nullptr;
}

std::vector<std::string> APMEMeasurementExperiments::describe(
    const std::shared_ptr<APMEManager>& manager, APMRemoteConfig& configuration) {
    std::vector<std::string> lines;
    if (!manager) {
        lines.emplace_back("experiments client: not started");
    } else {
        const std::string sdk = APMRemoteConfig::kSDKName;
        auto pending = manager->pendingSnapshot(sdk);
        lines.push_back("pending experiments: " +
                        (pending ? experimentList(pending) : std::string("no snapshot")));
        lines.push_back("active experiments: " + experimentList(manager->activatedSnapshot(sdk)));
        std::string launched;
        if (auto snapshot = manager->launchedSnapshot(sdk)) {
            for (const auto& experiment : snapshot->experiments()) {
                for (const auto& flag : experiment->flags()) {
                    auto name = APMPBGetString(flag.get(), kAPMPBFlagName);
                    launched += (launched.empty() ? "" : ", ") + name.value_or("");
                }
            }
        }
        lines.push_back("launched flags: " + (launched.empty() ? std::string("none") : launched));
    }
    for (const auto& [flag, on] : configuration.experimentSwitchStates()) {
        lines.push_back("switch " + flag + ": " + (on ? "on" : "off"));
    }
    return lines;
}

std::optional<Value> APMEMeasurementExperiments::flagValue(const std::string& flag) {
    Value value = client_->objectForKeyedSubscript(Value(flag));
    if (value.isNull()) return std::nullopt;
    return value;
}

bool APMEMeasurementExperiments::activateLatestSnapshot(NSError* error) {
    return client_->activateLatestSnapshot(error);
}

std::vector<std::int64_t> APMEMeasurementExperiments::experimentIDs() {
    return manager_->experimentIDs();
}

void APMEMeasurementExperiments::reset() {
    manager_->reset();
}
