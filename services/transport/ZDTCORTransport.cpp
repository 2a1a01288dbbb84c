#include "services/transport/ZDTCORTransport.h"

#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCORTransformer.h"

std::shared_ptr<ZDTCORTransport> ZDTCORTransport::initWithMappingID(
    const std::optional<std::string>& mappingID,
    std::vector<std::shared_ptr<NSObject>> transformers, ZDTCORTarget target) {
    const bool validMapping =
        ZDTCORAssert(mappingID && !mappingID->empty(), "A mapping ID cannot be nil or empty");
    const bool validTarget = ZDTCORAssert(target > 0, "A target cannot be negative or 0");
    if (!validMapping || !validTarget) return nullptr;
    auto transport = std::make_shared<ZDTCORTransport>();
    transport->mappingID_ = *mappingID;
    transport->transformers_ = std::move(transformers);
    transport->target_ = target;
    transport->transformerInstance_ = ZDTCORTransformer::sharedInstance();
    ZDTCORLogDebug(
        "Transport object created. mappingID:%@ transformers:%@ target:%ld",
        {transport->mappingID_, static_cast<unsigned long>(transport->transformers_.size()),
         static_cast<long long>(target)});
    return transport;
}

std::shared_ptr<ZDTCOREvent> ZDTCORTransport::eventForTransport() const {
    return ZDTCOREvent::initWithMappingID(mappingID_, target_);
}

void ZDTCORTransport::sendDataEvent(const std::shared_ptr<ZDTCOREvent>& event,
                                    ZDTCORStoreCompletion onComplete) {
    if (event)
        ZDTCORAssert(event->qosTier() != ZDTCOREventQoSTelemetry,
                     "Use -sendTelemetryEvent, please.");
    sendEvent(event, std::move(onComplete));
}

void ZDTCORTransport::sendTelemetryEvent(const std::shared_ptr<ZDTCOREvent>& event,
                                         ZDTCORStoreCompletion onComplete) {
    if (event) event->setQosTier(ZDTCOREventQoSTelemetry);
    sendEvent(event, std::move(onComplete));
}

void ZDTCORTransport::sendEvent(const std::shared_ptr<ZDTCOREvent>& event,
                                ZDTCORStoreCompletion onComplete) {
    if (!ZDTCORAssert(event != nullptr, "You can't send a nil event")) return;
    auto copy = event->copy();
    if (!copy) return;
    copy->setClockSnapshot(ZDTCORClock::snapshot());
    transformerInstance_->transformEvent(copy, transformers_, std::move(onComplete));
}
