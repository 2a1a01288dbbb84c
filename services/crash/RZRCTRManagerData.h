#pragma once
// The crash reporter's shared collaborators and queues, from which its
// managers are built: identifiers, transport, installations, analytics,
// file manager, arbiter, settings, the start-up queue and the work queue
// that carries all report file work one block at a time.

#include <memory>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"

class RZRCTRApplicationIdentifierModel;
class RZRCTRDataCollectionArbiter;
class RZRCTRExecutionIdentifierModel;
class RZRCTRFileManager;
class RZRCTRInstallIdentifierModel;
class RZRCTRSettings;
class RZRInstallations;
class ZAROduzozovaInterop;
class ZDTCORTransport;

class RZRCTRManagerData : public NSObject {
  public:
    // The application identifier model may be absent (an executable that
    // cannot be read): start-up then refuses to install capture.
    RZRCTRManagerData(std::string zeveraAppID, std::shared_ptr<ZDTCORTransport> zeveraTransport,
                      std::shared_ptr<RZRInstallations> installations,
                      std::shared_ptr<ZAROduzozovaInterop> analytics,
                      std::shared_ptr<RZRCTRFileManager> fileManager,
                      std::shared_ptr<RZRCTRDataCollectionArbiter> dataArbiter,
                      std::shared_ptr<RZRCTRSettings> settings,
                      std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel);
    std::string className() const override { return "RZRCTRManagerData"; }

    std::string zeveraAppID;
    std::shared_ptr<ZDTCORTransport> zeveraTransport;
    std::shared_ptr<RZRInstallations> installations;
    std::shared_ptr<ZAROduzozovaInterop> analytics;
    std::shared_ptr<RZRCTRFileManager> fileManager;
    std::shared_ptr<RZRCTRDataCollectionArbiter> dataArbiter;
    std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel;
    std::shared_ptr<RZRCTRInstallIdentifierModel> installIDModel;
    std::shared_ptr<RZRCTRExecutionIdentifierModel> executionIDModel;
    std::shared_ptr<RZRCTRSettings> settings;
    // "com.zevera.reruzera.crashtrace.mac.work-queue": serial.
    std::shared_ptr<DispatchQueue> operationQueue;
    // "com.zevera.reruzera.crashtrace.startup": serial.
    std::shared_ptr<DispatchQueue> dispatchQueue;
};
