#include "services/experiments/APMESnapshot.h"

#include "platform/dispatch/Clock.h"
#include "services/experiments/APMEManager.h"

namespace {

APMMonitor& monitor() {
    return APMEManager::monitor();
}

std::optional<std::string> flagName(const APMPBFlag* flag) {
    if (!APMPBHasField(flag, kAPMPBFlagName)) return std::nullopt;
    return APMPBGetString(flag, kAPMPBFlagName);
}

}  // namespace

std::shared_ptr<APMEExperiment> APMEExperiment::initWithExperimentID(
    const Value& experimentID, const std::optional<std::vector<APMPBFlagRef>>& flags) {
    if (experimentID.isNull()) {
        monitor().logWithLevel(2, 870000, "Cannot create an experiment without ID");
        return nullptr;
    }
    if (!experimentID.isNumber() && !experimentID.isBool()) {
        monitor().logWithLevel(2, 870001, "Experiment ID must be a number. ID", experimentID);
        return nullptr;
    }
    if (!flags) {
        monitor().logWithLevel(2, 870002, "Cannot create an experiment with invalid flags");
        return nullptr;
    }
    std::shared_ptr<APMEExperiment> experiment(
        new APMEExperiment(experimentID.asInt().value_or(0)));
    for (const auto& flag : *flags) {
        if (!flag) {
            monitor().logWithLevel(2, 870003, "Cannot add non-flag into the experiment. Flag",
                                   Value());
            return nullptr;
        }
        experiment->flagsByName_[flagName(flag.get()).value_or("")] = flag;
    }
    return experiment;
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithProtobuf(const APMPBExperiment* message) {
    if (!message) return nullptr;
    const Value id(static_cast<long long>(APMPBGetInt32(message, kAPMPBExperimentID)));
    std::vector<APMPBFlagRef> flags;
    if (auto array = APMPBGetArray(message, kAPMPBExperimentFlags, APMPBFlag::classObject())) {
        for (const auto& element : *array) {
            flags.push_back(std::static_pointer_cast<APMPBFlag>(element.message()));
        }
    }
    return initWithExperimentID(id, flags);
}

std::vector<APMPBFlagRef> APMEExperiment::flags() const {
    std::lock_guard lock(mutex_);
    std::vector<APMPBFlagRef> out;
    for (const auto& [name, flag] : flagsByName_) out.push_back(flag);
    return out;
}

void APMEExperiment::addFlag(const APMPBFlagRef& flag) {
    const Value id(static_cast<long long>(experimentID_));
    if (!flag) {
        monitor().logWithLevel(2, 870004, "Cannot add empty flag into an experiment. ID", id);
        return;
    }
    auto name = flagName(flag.get());
    if (!name) {
        monitor().logWithLevel(2, 870006, "Cannot add a flag without name into an experiment. ID",
                               id);
        return;
    }
    std::lock_guard lock(mutex_);
    flagsByName_[*name] = flag;
}

APMPBFlagRef APMEExperiment::flagWithName(const std::string& name) const {
    if (name.empty()) {
        monitor().logWithLevel(2, 870007, "Cannot retrieve a flag without a flag name");
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    auto it = flagsByName_.find(name);
    return it == flagsByName_.end() ? nullptr : it->second;
}

std::shared_ptr<APMPBExperiment> APMEExperiment::proto() const {
    auto message = APMPBExperiment::make();
    APMPBSetInt32(message.get(), kAPMPBExperimentID, static_cast<std::int32_t>(experimentID_));
    std::vector<APMPBObject> flags;
    for (const auto& flag : this->flags()) flags.emplace_back(flag);
    APMPBSetArray(message.get(), kAPMPBExperimentFlags, flags);
    return message;
}

std::shared_ptr<APMEExperiment> APMEExperiment::copy() const {
    return initWithExperimentID(Value(static_cast<long long>(experimentID_)), flags());
}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithSDKName(
    const Value& SDKName,
    const std::optional<std::vector<std::shared_ptr<APMEExperiment>>>& experiments) {
    if (!SDKName.isString() || SDKName.asString()->empty()) {
        monitor().logWithLevel(2, 840000, "Cannot create snapshot with an invalid SDK name",
                               SDKName);
        return nullptr;
    }
    if (!experiments) {
        monitor().logWithLevel(2, 840001, "Cannot create snapshot with an experiment list of nil");
        return nullptr;
    }
    std::shared_ptr<APMESnapshot> snapshot(new APMESnapshot(*SDKName.asString()));
    snapshot->timestamp_ = sim::wallClockSeconds();
    for (const auto& experiment : *experiments) {
        if (!experiment) {
            monitor().logWithLevel(2, 840002, "Cannot create snapshot with an invalid experiment",
                                   Value());
            return nullptr;
        }
        snapshot->experimentsByExperimentID_[experiment->experimentID()] = experiment->copy();
    }
    return snapshot;
}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot* message) {
    if (!message) return nullptr;
    Value name;
    if (auto text = APMPBGetString(message, kAPMPBSnapshotSDKName)) name = Value(*text);
    std::vector<std::shared_ptr<APMEExperiment>> experiments;
    if (auto array =
            APMPBGetArray(message, kAPMPBSnapshotExperiments, APMPBExperiment::classObject())) {
        for (const auto& element : *array) {
            auto experiment = APMEExperiment::initWithProtobuf(
                static_cast<const APMPBExperiment*>(element.message().get()));
            if (experiment) experiments.push_back(std::move(experiment));
        }
    }
    return initWithSDKName(name, experiments);
}

APMPBFlagRef APMESnapshot::flagByName(const std::string& name) const {
    for (const auto& experiment : experiments()) {
        std::vector<APMPBFlagRef> flags = experiment->flags();
        for (const auto& flag : flags) {
            if (flagName(flag.get()) == name) return flag;
        }
    }
    return nullptr;
}

void APMESnapshot::addFlag(const APMPBFlagRef& flag, std::optional<std::int64_t> experimentID) {
    if (!experimentID) {
        monitor().logWithLevel(2, 840003, "Cannot add flag into empty experiment ID");
        return;
    }
    const Value id(static_cast<long long>(*experimentID));
    if (!flag) {
        monitor().logWithLevel(2, 840004, "Cannot add an invalid flag into a snapshot", id);
        return;
    }
    std::lock_guard lock(mutex_);
    auto it = experimentsByExperimentID_.find(*experimentID);
    if (it != experimentsByExperimentID_.end()) {
        it->second->addFlag(flag);
        return;
    }
    auto experiment = APMEExperiment::initWithExperimentID(id, std::vector<APMPBFlagRef>{flag});
    if (experiment) experimentsByExperimentID_[*experimentID] = std::move(experiment);
}

void APMESnapshot::addFlags(const std::vector<APMPBFlagRef>& flags,
                            std::optional<std::int64_t> experimentID) {
    for (const auto& flag : flags) addFlag(flag, experimentID);
}

std::vector<std::shared_ptr<APMEExperiment>> APMESnapshot::experiments() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<APMEExperiment>> out;
    for (const auto& [id, experiment] : experimentsByExperimentID_) out.push_back(experiment);
    return out;
}

std::shared_ptr<APMPBSnapshot> APMESnapshot::proto() const {
    auto message = APMPBSnapshot::make();
    APMPBSetString(message.get(), kAPMPBSnapshotSDKName, Value(SDKName_));
    std::vector<APMPBObject> experiments;
    for (const auto& experiment : this->experiments()) {
        if (auto p = experiment->proto()) experiments.emplace_back(p);
    }
    APMPBSetArray(message.get(), kAPMPBSnapshotExperiments, experiments);
    return message;
}

std::shared_ptr<APMESnapshot> APMESnapshot::copy() const {
    return initWithSDKName(Value(SDKName_), experiments());
}

double APMESnapshot::timestamp() const {
    std::lock_guard lock(mutex_);
    return timestamp_;
}

void APMESnapshot::setTimestamp(double timestamp) {
    std::lock_guard lock(mutex_);
    timestamp_ = timestamp;
}

bool APMESnapshot::manuallyActivated() const {
    std::lock_guard lock(mutex_);
    return manuallyActivated_;
}

void APMESnapshot::setManuallyActivated(bool manuallyActivated) {
    std::lock_guard lock(mutex_);
    manuallyActivated_ = manuallyActivated;
}
