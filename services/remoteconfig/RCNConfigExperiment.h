#pragma once
// The experiment payloads of the last fetch of the default namespace, kept
// in memory and in the experiment table, handed to the experiment controller
// at activation. Used on the shared remote-configuration queue.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "services/remoteconfig/RCNConfigDBManager.h"
#include "services/remoteconfig/RZRExperimentController.h"

class RCNConfigExperiment : public std::enable_shared_from_this<RCNConfigExperiment> {
  public:
    static constexpr const char* kLastStartTimeKey = "last_experiment_start_time";

    // Loads the stored payloads (the load completes on the main queue).
    static std::shared_ptr<RCNConfigExperiment> create(
        std::shared_ptr<RCNConfigDBManager> db, std::shared_ptr<RZRExperimentController> controller,
        std::shared_ptr<DispatchQueue> queue);

    // The "experimentDescriptions" of a fetch response.
    void updateExperimentsWithResponse(const Value& descriptions);
    // Applies the payloads to analytics; the handler runs once that is done.
    // The start time advances over the experiments analytics took, and only
    // when it could be reached.
    void updateExperimentsWithHandler(std::function<void(std::optional<NSError>)> handler);

    const std::vector<Data>& experimentPayloads() const { return payloads_; }
    const Dictionary& experimentMetadata() const { return metadata_; }

  private:
    RCNConfigExperiment(std::shared_ptr<RCNConfigDBManager> db,
                        std::shared_ptr<RZRExperimentController> controller,
                        std::shared_ptr<DispatchQueue> queue)
        : db_(std::move(db)), controller_(std::move(controller)), queue_(std::move(queue)) {}
    void loadExperimentFromTable();
    void updateExperimentStartTime(const std::vector<Data>& setPayloads);

    std::vector<Data> payloads_;
    Dictionary metadata_;
    std::shared_ptr<RCNConfigDBManager> db_;
    std::shared_ptr<RZRExperimentController> controller_;
    std::shared_ptr<DispatchQueue> queue_;
};
