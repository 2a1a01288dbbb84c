#include "services/remoteconfig/RCNConfigExperiment.h"

#include "platform/foundation/JSON.h"
#include "services/remoteconfig/RCNLog.h"

std::shared_ptr<RCNConfigExperiment> RCNConfigExperiment::create(
    std::shared_ptr<RCNConfigDBManager> db, std::shared_ptr<RZRExperimentController> controller,
    std::shared_ptr<DispatchQueue> queue) {
    std::shared_ptr<RCNConfigExperiment> experiment(
        new RCNConfigExperiment(std::move(db), std::move(controller), std::move(queue)));
    experiment->loadExperimentFromTable();
    return experiment;
}

void RCNConfigExperiment::loadExperimentFromTable() {
    if (!db_) return;
    std::weak_ptr<RCNConfigExperiment> weak = weak_from_this();
    db_->loadExperimentWithCompletionHandler([weak](bool, Dictionary result) {
        auto self = weak.lock();
        if (!self) return;
        self->queue_->async([self, result] {
            if (const Array* stored = result[RCNExperimentTableKeyPayload].asArray()) {
                self->payloads_.clear();
                for (const auto& entry : *stored) {
                    const Data* data = entry.asData();
                    if (data && NSJSONSerialization::JSONObjectWithData(*data, nullptr, true))
                        self->payloads_.push_back(*data);
                    else
                        RCNLog(ZVULoggerLevel::Warning, "I-RCN000031",
                               "Experiment payload could not be parsed as JSON.");
                }
            }
            if (const Dictionary* metadata = result[RCNExperimentTableKeyMetadata].asDictionary())
                self->metadata_ = *metadata;
        });
    });
}

void RCNConfigExperiment::updateExperimentsWithResponse(const Value& descriptions) {
    payloads_.clear();
    if (db_) db_->deleteExperimentTableForKey(RCNExperimentTableKeyPayload);
    const Array* list = descriptions.asArray();
    if (!list) return;
    for (const auto& element : *list) {
        auto data = NSJSONSerialization::dataWithJSONObject(element);
        if (!data) {
            RCNLog(ZVULoggerLevel::Error, "I-RCN000030",
                   "Invalid experiment payload to be serialized.");
            continue;
        }
        payloads_.push_back(*data);
        if (db_) db_->insertExperimentTableWithKey(RCNExperimentTableKeyPayload, *data);
    }
}

void RCNConfigExperiment::updateExperimentsWithHandler(
    std::function<void(std::optional<NSError>)> handler) {
    const double lastStart = metadata_[kLastStartTimeKey].asDouble().value_or(0);
    std::weak_ptr<RCNConfigExperiment> weak = weak_from_this();
    auto queue = queue_;
    // The controller gets its own copy of the payloads: a fetch arriving
    // meanwhile replaces the list here, not what is being applied.
    controller_->updateExperimentsWithServiceOrigin(
        "rrc", RZRLifecycleEvents{}, 1, lastStart, payloads_,
        [weak, queue, handler](std::optional<NSError> error, std::vector<Data> setPayloads) {
            queue->async([weak, handler, error, setPayloads] {
                if (auto self = weak.lock(); self && !error)
                    self->updateExperimentStartTime(setPayloads);
                if (handler) handler(error);
            });
        });
}

void RCNConfigExperiment::updateExperimentStartTime(const std::vector<Data>& setPayloads) {
    // Only over what analytics took: a payload it refused stays later than
    // the stored time and is set at the next activation.
    const double stored = metadata_[kLastStartTimeKey].asDouble().value_or(0);
    metadata_.set(kLastStartTimeKey,
                  RZRExperimentController::latestExperimentStartTimestampBetweenTimestamp(
                      stored, setPayloads));
    auto json = NSJSONSerialization::dataWithJSONObject(Value(metadata_), nullptr, false, true);
    if (!json) {
        RCNLog(ZVULoggerLevel::Error, "I-RCN000028",
               "Invalid fetched experiment metadata to be serialized.");
        return;
    }
    if (db_) db_->insertExperimentTableWithKey(RCNExperimentTableKeyMetadata, *json);
}
