#pragma once
// Snapshots and flags for the experiments tests.

#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"
#include "services/experiments/APMEManager.h"
#include "services/experiments/APMESnapshot.h"

inline APMPBFlagRef testFlag(const std::string& name, const Value& value) {
    return APMPBFlagCreate(Value(name), value);
}

// A snapshot of `sdk` with one flag per experiment: (ID, flag name, value).
struct TestExperiment {
    long long id;
    std::string flag;
    Value value;
};
inline std::shared_ptr<APMESnapshot> testSnapshot(const std::string& sdk,
                                                  const std::vector<TestExperiment>& experiments,
                                                  double timestamp = 0) {
    std::vector<std::shared_ptr<APMEExperiment>> list;
    for (const auto& e : experiments) {
        std::vector<APMPBFlagRef> flags;
        if (!e.flag.empty()) flags.push_back(testFlag(e.flag, e.value));
        list.push_back(APMEExperiment::initWithExperimentID(Value(e.id), flags));
    }
    auto snapshot = APMESnapshot::initWithSDKName(Value(sdk), list);
    if (timestamp != 0) snapshot->setTimestamp(timestamp);
    return snapshot;
}

// Experiment IDs of a snapshot, ascending.
inline std::vector<long long> experimentIDsOf(const std::shared_ptr<APMESnapshot>& snapshot) {
    std::vector<long long> ids;
    if (!snapshot) return ids;
    for (const auto& e : snapshot->experiments()) ids.push_back(e->experimentID());
    return ids;
}

inline bool monitorLogged(long long code) {
    for (const auto& line : APMEManager::monitor().lines()) {
        if (line.messageCode == code) return true;
    }
    return false;
}
