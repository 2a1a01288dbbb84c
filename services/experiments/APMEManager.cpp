#include "services/experiments/APMEManager.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "platform/dispatch/Clock.h"
#include "services/experiments/APMEExperimentRequestBuilder.h"
#include "services/measurement/APMIdentity.h"
#include "services/measurement/APMMeasurement.h"

APMMonitor& APMEManager::monitor() {
    return APMMeasurement::monitor();
}

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

}  // namespace

// Client.

std::shared_ptr<APMEClient> APMEClient::initWithSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property,
    const std::optional<std::vector<APMPBFlagRef>>& defaultFlags,
    const std::weak_ptr<APMEManager>& manager) {
    if (!property) {
        APMEManager::monitor().logWithLevel(0, 830000,
                                            "Cannot initialize the client with nil property");
        return nullptr;
    }
    if (!defaultFlags) {
        APMEManager::monitor().logWithLevel(0, 830001,
                                            "Cannot initialize the client with nil default flags");
        return nullptr;
    }
    std::shared_ptr<APMEClient> client(new APMEClient());
    client->property_ = property;
    client->defaultFlags_ = *defaultFlags;
    client->manager_ = manager;
    return client;
}

Value APMEClient::valueForFlag(const std::string& flagName) {
    if (flagName.empty()) {
        APMEManager::monitor().logWithLevel(0, 830002, "Cannot get value for empty flag name");
        return Value();
    }
    auto manager = manager_.lock();
    if (!manager) return Value();
    return manager->flagValueForFlagName(Value(flagName), Value(SDKName()));
}

Value APMEClient::objectForKeyedSubscript(const Value& key) {
    if (!key.isString()) {
        APMEManager::monitor().logWithLevel(0, 830003,
                                            "Cannot get flag value of an invalid flag name", key);
        return Value();
    }
    return valueForFlag(*key.asString());
}

bool APMEClient::activateLatestSnapshot(NSError* error) {
    auto manager = manager_.lock();
    return manager && manager->activateSnapshotOfSDK(SDKName(), error);
}

bool APMEClient::hasStaleSnapshot() {
    auto manager = manager_.lock();
    return manager &&
           manager->activatedSnapshotStatusOfSDKName(SDKName()) == APMEManager::kStatusStale;
}

void APMEClient::resetToDefaults() {
    if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}

// Manager.

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
    static auto* shared = new std::shared_ptr<APMEManager>([] {
        // Diversion keys fall back on the engine's app instance ID.
        APMESDKProperty::setAppInstanceIDProvider(
            [] { return APMIdentifiers::sharedInstance().appInstanceID(); });
        auto manager = init();
        manager->taskManager()->startTaskManager();
        return manager;
    }());
    return *shared;
}

std::int64_t APMEManager::versionFromString(const std::string& version) {
    if (version.size() < 4) return 0;
    const std::string head = version.substr(0, version.size() - 3);
    try {
        return std::stoll(head);
    } catch (const std::exception&) {
        return 0;
    }
}

std::int64_t APMEManager::version() {
    return versionFromString(kVersionString);
}

std::shared_ptr<APMEManager> APMEManager::init() {
    return initWithTaskManager(APMETaskManager::init());
}

std::shared_ptr<APMEManager> APMEManager::initWithTaskManager(
    const std::shared_ptr<APMETaskManager>& taskManager) {
    std::shared_ptr<APMEManager> manager(new APMEManager());
    manager->taskManager_ = taskManager;
    manager->queue_ = DispatchQueue::create(
        "APMEExperimentSerialQueue", DispatchQueue::Attributes::Serial, DispatchQoS::Background);
    if (taskManager) taskManager->setDelegate(manager);
    return manager;
}

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    queue_->async([block = std::move(block)] {
        try {
            block();
        } catch (const std::exception& e) {
            monitor().logWithLevel(1, 800017, "Exception on async Experimentation serial queue",
                                   Value(e.what()));
        }
    });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
    queue_->sync([&] {
        try {
            block();
        } catch (const std::exception& e) {
            monitor().logWithLevel(1, 800018, "Exception on sync Experimentation serial queue",
                                   Value(e.what()));
        }
    });
}

std::map<std::string, std::shared_ptr<APMEClient>> APMEManager::registeredClients() const {
    std::lock_guard lock(mutex_);
    return registeredClientsBySDKName_;
}

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property, const Dictionary& defaultFlags) {
    if (!property) {
        monitor().logWithLevel(0, 800000, "Cannot register client with a nil SDK property");
        return nullptr;
    }
    const std::string name = property->name();
    if (name.empty()) {
        monitor().logWithLevel(0, 800001, "Cannot register experiment client with no SDK name");
        return nullptr;
    }
    std::vector<APMPBFlagRef> flags;
    std::map<std::string, APMPBFlagRef> flagMap;
    for (const auto& [flagName, value] : defaultFlags) {
        auto flag = APMPBFlagCreate(Value(flagName), value);
        if (!flag) {
            monitor().logWithLevel(
                0, 800002, "Cannot register experiment client invalid flags. Flag name, value",
                Value(flagName), value);
            return nullptr;
        }
        flags.push_back(flag);
        flagMap[flagName] = flag;
    }
    auto client = APMEClient::initWithSDKProperty(property, flags, weak_from_this());
    if (!client) {
        monitor().logWithLevel(1, 800004, "Cannot register client. SDK name", Value(name));
        return nullptr;
    }
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak, client, flagMap, property, name] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex_);
            if (self->registeredClientsBySDKName_.count(name)) {
                monitor().logWithLevel(
                    3, 800003,
                    "Registered an SDK that has already registered. Default flags will be "
                    "overwritten. SDK name",
                    Value(name));
            }
            self->registeredClientsBySDKName_[name] = client;
            self->defaultFlagsBySDKName_[name] = flagMap;
        }
        APMEExperimentRequestBuilder::sharedInstance().addSDKProperty(property);
        monitor().logWithLevel(8, 800005, "Registered client");
    });
    return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(const std::string& SDKName) {
    std::shared_ptr<APMEClient> client;
    dispatchSyncOnSerialQueue([&] {
        std::lock_guard lock(mutex_);
        auto it = registeredClientsBySDKName_.find(SDKName);
        if (it != registeredClientsBySDKName_.end()) client = it->second;
    });
    return client;
}

Value APMEManager::flagValueForFlagName(const Value& flagName, const Value& SDKName) {
    if (!SDKName.isString()) {
        monitor().logWithLevel(0, 800008, "Cannot get flag value for an invalid SDK name");
        return Value();
    }
    if (!flagName.isString()) {
        monitor().logWithLevel(0, 800009,
                               "Cannot get flag value for invalid flag name. SDK name, flag name",
                               SDKName, flagName);
        return Value();
    }
    const std::string sdk = *SDKName.asString();
    const std::string name = *flagName.asString();
    if (sdk.empty()) {
        monitor().logWithLevel(0, 800010, "Cannot retrieve flag value for empty SDK name");
        return Value();
    }
    if (name.empty()) {
        monitor().logWithLevel(0, 800011, "Cannot retrieve flag value for empty flag name");
        return Value();
    }
    Value answer;
    dispatchSyncOnSerialQueue([&] {
        std::lock_guard lock(mutex_);
        if (!registeredClientsBySDKName_.count(sdk)) {
            monitor().logWithLevel(3, 800012, "SDK is not registered yet", SDKName);
            return;
        }
        auto defaults = defaultFlagsBySDKName_.find(sdk);
        if (defaults == defaultFlagsBySDKName_.end()) {
            monitor().logWithLevel(3, 800013,
                                   "Cannot get flag for unregistered SDK. SDK name, flag name",
                                   SDKName, flagName);
            return;
        }
        auto fallback = defaults->second.find(name);
        if (fallback == defaults->second.end()) {
            monitor().logWithLevel(3, 800014,
                                   "Cannot get flag for unregistered flag. SDK name, flag name",
                                   SDKName, flagName);
            return;
        }
        auto activated = activatedSnapshotsBySDKName_.find(sdk);
        monitor().logWithLevel(
            8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot",
            SDKName, flagName, Value(activated != activatedSnapshotsBySDKName_.end()));
        if (activated != activatedSnapshotsBySDKName_.end()) {
            auto flag = activated->second->flagByName(name);
            Value value = APMPBFlagGetValue(flag.get());
            if (!value.isNull()) {
                answer = value;
                return;
            }
        }
        auto launched = launchedSnapshotsBySDKName_.find(sdk);
        monitor().logWithLevel(
            8, 800016,
            "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched "
            "flag",
            SDKName, flagName, Value(launched != launchedSnapshotsBySDKName_.end()));
        if (launched != launchedSnapshotsBySDKName_.end()) {
            auto flag = launched->second->flagByName(name);
            Value value = APMPBFlagGetValue(flag.get());
            if (!value.isNull()) {
                answer = value;
                return;
            }
        }
        answer = APMPBFlagGetValue(fallback->second.get());
        monitor().logWithLevel(
            8, 800019,
            "Cannot find launched flag. Returned the default flag value. SDK name, flag name, "
            "default flag",
            SDKName, flagName, answer);
    });
    return answer;
}

bool APMEManager::activateSnapshotOfSDK(const std::optional<std::string>& SDKName, NSError* error) {
    if (!SDKName) {
        if (error) *error = apm_errorWithCode(1, "SDK name cannot be nil", "");
        monitor().logWithLevel(3, 800021, "Cannot activate a pending snapshot for a nil SDK name");
        return false;
    }
    if (SDKName->empty()) {
        if (error) *error = apm_errorWithCode(1, "SDK name cannot be empty", "");
        monitor().logWithLevel(3, 800022,
                               "Cannot activate a pending snapshot for an empty SDK name");
        return false;
    }
    const std::string sdk = *SDKName;
    bool activated = false;
    dispatchSyncOnSerialQueue([&] {
        std::shared_ptr<APMESnapshot> pending;
        {
            std::lock_guard lock(mutex_);
            auto it = pendingSnapshotsBySDKName_.find(sdk);
            if (it != pendingSnapshotsBySDKName_.end()) pending = it->second;
        }
        if (!pending) {
            monitor().logWithLevel(3, 800023, "No pending snapshot to activate. SDK name",
                                   Value(sdk));
            return;
        }
        const double now = sim::wallClockSeconds();
        // The same split the database makes, so memory and disk agree.
        auto activation = APMESnapshotActivation::fromPendingSnapshot(*pending, now);
        if (!activation.activated) return;
        {
            std::lock_guard lock(mutex_);
            if (activation.launched) launchedSnapshotsBySDKName_[sdk] = activation.launched;
            activatedSnapshotsBySDKName_[sdk] = activation.activated;
            pendingSnapshotsBySDKName_.erase(sdk);
        }
        if (taskManager_) taskManager_->activatePendingSnapshot(pending, now);
        activated = true;
        monitor().logWithLevel(8, 800028, "Successfully activated a snapshot of SDK", Value(sdk));
    });
    return activated;
}

int APMEManager::activatedSnapshotStatusOfSDKName(const std::string& SDKName) {
    if (SDKName.empty()) {
        monitor().logWithLevel(0, 800024, "Cannot check activated snapshot for empty SDK Name");
        return kStatusUnregistered;
    }
    int status = kStatusUnregistered;
    dispatchSyncOnSerialQueue([&] {
        std::lock_guard lock(mutex_);
        if (!registeredClientsBySDKName_.count(SDKName)) return;
        auto it = activatedSnapshotsBySDKName_.find(SDKName);
        if (it == activatedSnapshotsBySDKName_.end() || it->second->timestamp() <= kEpsilon) {
            status = kStatusNoSnapshot;
            return;
        }
        const double age = std::fabs(it->second->timestamp() - sim::wallClockSeconds());
        status = age > kStaleSnapshotAge ? kStatusStale : kStatusFresh;
    });
    return status;
}

void APMEManager::resetToDefaultsOfSDKName(const std::string& SDKName) {
    if (SDKName.empty()) {
        monitor().logWithLevel(0, 800025, "Cannot reset to defaults for empty SDK Name");
        return;
    }
    dispatchSyncOnSerialQueue([&] {
        bool removed = false;
        {
            std::lock_guard lock(mutex_);
            removed = activatedSnapshotsBySDKName_.erase(SDKName) > 0;
        }
        if (removed) {
            if (taskManager_) taskManager_->resetToDefaultsForSDKName(SDKName);
            monitor().logWithLevel(8, 800027, "Reset all experiments to default. SDK name",
                                   Value(SDKName));
        } else {
            monitor().logWithLevel(0, 800026, "Cannot reset to defaults for unregistered SDK name",
                                   Value(SDKName));
        }
    });
}

void APMEManager::reset() {
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak] {
        auto self = weak.lock();
        if (!self) return;
        if (self->taskManager_) self->taskManager_->reset();
        std::lock_guard lock(self->mutex_);
        self->activatedSnapshotsBySDKName_.clear();
        self->pendingSnapshotsBySDKName_.clear();
        self->launchedSnapshotsBySDKName_.clear();
    });
}

std::vector<std::int64_t> APMEManager::experimentIDs() {
    std::vector<std::int64_t> ids;
    dispatchSyncOnSerialQueue([&] {
        std::lock_guard lock(mutex_);
        for (const auto& [name, client] : registeredClientsBySDKName_) {
            if (client->SDKProperty()->diversionKey) continue;
            auto it = activatedSnapshotsBySDKName_.find(name);
            if (it == activatedSnapshotsBySDKName_.end()) continue;
            for (const auto& experiment : it->second->experiments()) {
                ids.push_back(experiment->experimentID());
            }
        }
    });
    std::sort(ids.begin(), ids.end());
    return ids;
}

bool APMEManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
    for (const auto& [name, client] : registeredClients()) {
        auto delegate = client->delegate();
        if (!delegate || !delegate->shouldFetchExperimentsForClient) return true;
        if (delegate->shouldFetchExperimentsForClient(*client)) return true;
    }
    return false;
}

void APMEManager::taskManagerDidStart(APMETaskManager&, const APMEDatabase::Snapshots& activated,
                                      const APMEDatabase::Snapshots& pending,
                                      const APMEDatabase::Snapshots& launched) {
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak, activated, pending, launched] {
        auto self = weak.lock();
        if (!self) return;
        // Stored as they are: a copy would take a new time stamp and lose
        // the age that decides staleness and the manual-activation flag.
        std::lock_guard lock(self->mutex_);
        for (const auto& s : activated) self->activatedSnapshotsBySDKName_[s->SDKName()] = s;
        for (const auto& s : pending) self->pendingSnapshotsBySDKName_[s->SDKName()] = s;
        for (const auto& s : launched) self->launchedSnapshotsBySDKName_[s->SDKName()] = s;
    });
}

void APMEManager::taskManagerDidFinishFetching(APMETaskManager&,
                                               const APMEDatabase::Snapshots& snapshots,
                                               const std::map<std::string, NSError>& errors) {
    if (snapshots.empty() && errors.empty()) {
        monitor().logWithLevel(3, 800020, "No pending snapshots to notify the clients");
        return;
    }
    std::weak_ptr<APMEManager> weak = weak_from_this();
    dispatchAsyncOnSerialQueue([weak, snapshots, errors] {
        auto self = weak.lock();
        if (!self) return;
        const auto clients = self->registeredClients();
        APMEDatabase::Snapshots manual;
        for (const auto& snapshot : snapshots) {
            auto copy = snapshot->copy();
            if (!copy) continue;
            auto client = clients.find(copy->SDKName());
            if (client != clients.end()) {
                auto delegate = client->second->delegate();
                if (delegate && delegate->clientDidReceiveNewSnapshot) {
                    copy->setManuallyActivated(true);
                    manual.push_back(copy);
                }
            }
            std::lock_guard lock(self->mutex_);
            self->pendingSnapshotsBySDKName_[copy->SDKName()] = copy;
        }
        for (const auto& [name, error] : errors) {
            auto client = clients.find(name);
            if (client == clients.end()) continue;
            auto delegate = client->second->delegate();
            if (delegate && delegate->didReceiveFetchError) {
                delegate->didReceiveFetchError(*client->second, error);
            }
        }
        if (!manual.empty() && self->taskManager_)
            self->taskManager_->upsertPendingSnapshots(manual);
    });
}

void APMEManager::taskManagerDidUpsertPendingSnapshots(APMETaskManager&,
                                                       const APMEDatabase::Snapshots& snapshots) {
    const auto clients = registeredClients();
    for (const auto& snapshot : snapshots) {
        auto client = clients.find(snapshot->SDKName());
        std::shared_ptr<APMEClientDelegate> delegate =
            client != clients.end() ? client->second->delegate() : nullptr;
        if (delegate && delegate->clientDidReceiveNewSnapshot) {
            auto queue = delegate->queue ? delegate->queue : DispatchQueue::main();
            queue->async([delegate, target = client->second] {
                delegate->clientDidReceiveNewSnapshot(*target);
            });
        } else {
            monitor().logWithLevel(0, 800021,
                                   "Cannot notify new snapshot for SDK because the delegate does "
                                   "not implement -clientDidReceiveNewSnapshot:",
                                   Value(snapshot->SDKName()));
        }
    }
}

std::shared_ptr<APMESnapshot> APMEManager::snapshotIn(SnapshotMap& map,
                                                      const std::string& SDKName) {
    std::shared_ptr<APMESnapshot> found;
    dispatchSyncOnSerialQueue([&] {
        std::lock_guard lock(mutex_);
        auto it = map.find(SDKName);
        if (it != map.end()) found = it->second;
    });
    return found;
}

std::shared_ptr<APMESnapshot> APMEManager::activatedSnapshot(const std::string& SDKName) {
    return snapshotIn(activatedSnapshotsBySDKName_, SDKName);
}

std::shared_ptr<APMESnapshot> APMEManager::pendingSnapshot(const std::string& SDKName) {
    return snapshotIn(pendingSnapshotsBySDKName_, SDKName);
}

std::shared_ptr<APMESnapshot> APMEManager::launchedSnapshot(const std::string& SDKName) {
    return snapshotIn(launchedSnapshotsBySDKName_, SDKName);
}
