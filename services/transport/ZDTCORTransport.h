#pragma once
// A client's sender of events for one mapping ID and target. Usable from any
// thread: sending copies and stamps the event on the caller's thread and
// does the rest on the transformer's queue.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"
#include "services/transport/ZDTCOREvent.h"
#include "services/transport/ZDTCORStorageProtocol.h"

class ZDTCORTransformer;

class ZDTCORTransport : public NSObject {
  public:
    // Null (after an assertion report) for an empty mapping ID or a target
    // below 1.
    static std::shared_ptr<ZDTCORTransport> initWithMappingID(
        const std::optional<std::string>& mappingID,
        std::vector<std::shared_ptr<NSObject>> transformers, ZDTCORTarget target);

    std::shared_ptr<ZDTCOREvent> eventForTransport() const;
    // The completion hears whether the event was written to storage; it is
    // not called when no storage serves the target.
    void sendDataEvent(const std::shared_ptr<ZDTCOREvent>& event,
                       ZDTCORStoreCompletion onComplete = nullptr);
    void sendTelemetryEvent(const std::shared_ptr<ZDTCOREvent>& event,
                            ZDTCORStoreCompletion onComplete = nullptr);

    const std::string& mappingID() const { return mappingID_; }
    void setMappingID(std::string mappingID) { mappingID_ = std::move(mappingID); }
    ZDTCORTarget target() const { return target_; }
    void setTarget(ZDTCORTarget target) { target_ = target; }
    const std::vector<std::shared_ptr<NSObject>>& transformers() const { return transformers_; }
    void setTransformers(std::vector<std::shared_ptr<NSObject>> t) { transformers_ = std::move(t); }
    const std::shared_ptr<ZDTCORTransformer>& transformerInstance() const {
        return transformerInstance_;
    }
    void setTransformerInstance(std::shared_ptr<ZDTCORTransformer> t) {
        transformerInstance_ = std::move(t);
    }

  private:
    void sendEvent(const std::shared_ptr<ZDTCOREvent>& event, ZDTCORStoreCompletion onComplete);
    std::string mappingID_;
    std::vector<std::shared_ptr<NSObject>> transformers_;
    ZDTCORTarget target_ = 0;
    std::shared_ptr<ZDTCORTransformer> transformerInstance_;
};
