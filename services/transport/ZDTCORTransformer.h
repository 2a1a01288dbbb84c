#pragma once
// Runs clients' event transformers on a serial queue and hands each event
// to the storage of its target, in the order the events were sent.

#include <memory>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "services/transport/ZDTCOREvent.h"
#include "services/transport/ZDTCORStorageProtocol.h"

// A client's extension point: the same event (changed or not), another one,
// or null to discard it.
class ZDTCOREventTransformer {
  public:
    virtual ~ZDTCOREventTransformer() = default;
    virtual std::shared_ptr<ZDTCOREvent> transformZDTEvent(std::shared_ptr<ZDTCOREvent> event) = 0;
};

class ZDTCORTransformer : public NSObject, public ZDTCORLifecycleProtocol {
  public:
    static std::shared_ptr<ZDTCORTransformer> sharedInstance();
    explicit ZDTCORTransformer(std::shared_ptr<ZDTCORApplicationProtocol> application);

    // Returns at once. Transformers are objects that should be
    // ZDTCOREventTransformers; another object discards the event.
    void transformEvent(std::shared_ptr<ZDTCOREvent> event,
                        const std::vector<std::shared_ptr<NSObject>>& transformers,
                        ZDTCORStoreCompletion completion);
    // Returns once everything queued before it has been handed to storage.
    void appWillTerminate(ZDTCORApplicationProtocol& app) override;

    const std::shared_ptr<DispatchQueue>& eventWritingQueue() const { return queue_; }

  private:
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<ZDTCORApplicationProtocol> application_;
};
