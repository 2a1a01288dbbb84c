#pragma once
// The value objects of the experiments client: an experiment (an ID with the
// flags it sets) and a snapshot (everything the server assigned to one SDK
// name at one time). Experiment ID 0 carries launched flags, rolled out to
// everybody. Both convert to and from their wire messages. Refusals are
// logged through the experiments monitor and answered with null. A snapshot
// may be read and changed from several threads at once.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "services/measurement/APMPBFlag.h"
#include "services/measurement/APMPBMessage.h"

using APMPBFlagRef = std::shared_ptr<APMPBFlag>;

// Field IDs of the experiment messages.
enum APMPBSnapshotField : std::int32_t { kAPMPBSnapshotSDKName = 0, kAPMPBSnapshotExperiments = 1 };
enum APMPBExperimentField : std::int32_t {
    kAPMPBExperimentID = 0,
    kAPMPBExperimentFlags = 1,
};

class APMEExperiment {
  public:
    // Null when the ID is null or not a number, when the flags are absent,
    // or when one of them is null. A later flag of a name replaces an
    // earlier one.
    static std::shared_ptr<APMEExperiment> initWithExperimentID(
        const Value& experimentID, const std::optional<std::vector<APMPBFlagRef>>& flags);
    // The ID of field 1 (0 when absent) and the flags of field 2.
    static std::shared_ptr<APMEExperiment> initWithProtobuf(const APMPBExperiment* message);

    std::int64_t experimentID() const { return experimentID_; }
    // By name.
    std::vector<APMPBFlagRef> flags() const;
    // Refused (logged) when null or without a name.
    void addFlag(const APMPBFlagRef& flag);
    // Null for an empty name (logged) or an unknown one.
    APMPBFlagRef flagWithName(const std::string& name) const;
    std::shared_ptr<APMPBExperiment> proto() const;
    std::shared_ptr<APMEExperiment> copy() const;

  private:
    explicit APMEExperiment(std::int64_t id) : experimentID_(id) {}

    std::int64_t experimentID_;
    mutable std::mutex mutex_;
    std::map<std::string, APMPBFlagRef> flagsByName_;
};

class APMESnapshot {
  public:
    // Null for a name that is not a non-empty string, for absent
    // experiments, or for a null experiment. The time stamp is now; a later
    // experiment of an ID replaces an earlier one (each is copied).
    static std::shared_ptr<APMESnapshot> initWithSDKName(
        const Value& SDKName,
        const std::optional<std::vector<std::shared_ptr<APMEExperiment>>>& experiments);
    // The name of field 1 and the experiments of field 2 (those that do not
    // convert are left out).
    static std::shared_ptr<APMESnapshot> initWithProtobuf(const APMPBSnapshot* message);

    // The first flag of the name, searching experiments in ascending ID order.
    APMPBFlagRef flagByName(const std::string& name) const;
    // A null ID or flag is refused (logged).
    void addFlag(const APMPBFlagRef& flag, std::optional<std::int64_t> experimentID);
    void addFlags(const std::vector<APMPBFlagRef>& flags, std::optional<std::int64_t> experimentID);
    std::vector<std::shared_ptr<APMEExperiment>> experiments() const;
    std::shared_ptr<APMPBSnapshot> proto() const;
    // A new snapshot of the same experiments, time-stamped now and not
    // manually activated.
    std::shared_ptr<APMESnapshot> copy() const;

    const std::string& SDKName() const { return SDKName_; }
    double timestamp() const;
    void setTimestamp(double timestamp);
    bool manuallyActivated() const;
    void setManuallyActivated(bool manuallyActivated);

  private:
    explicit APMESnapshot(std::string name) : SDKName_(std::move(name)) {}

    mutable std::mutex mutex_;
    std::map<std::int64_t, std::shared_ptr<APMEExperiment>> experimentsByExperimentID_;
    bool manuallyActivated_ = false;
    std::string SDKName_;
    double timestamp_ = 0;
};
