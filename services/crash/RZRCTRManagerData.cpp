#include "services/crash/RZRCTRManagerData.h"

#include <utility>

#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRExecutionIdentifierModel.h"
#include "services/crash/RZRCTRInstallIdentifierModel.h"

RZRCTRManagerData::RZRCTRManagerData(std::string zeveraAppID,
                                     std::shared_ptr<ZDTCORTransport> zeveraTransport,
                                     std::shared_ptr<RZRInstallations> installations,
                                     std::shared_ptr<ZAROduzozovaInterop> analytics,
                                     std::shared_ptr<RZRCTRFileManager> fileManager,
                                     std::shared_ptr<RZRCTRDataCollectionArbiter> dataArbiter,
                                     std::shared_ptr<RZRCTRSettings> settings,
                                     std::shared_ptr<RZRCTRApplicationIdentifierModel> appIDModel)
    : zeveraAppID(std::move(zeveraAppID)),
      zeveraTransport(std::move(zeveraTransport)),
      installations(std::move(installations)),
      analytics(std::move(analytics)),
      fileManager(std::move(fileManager)),
      dataArbiter(std::move(dataArbiter)),
      appIDModel(std::move(appIDModel)),
      installIDModel(std::make_shared<RZRCTRInstallIdentifierModel>(this->installations)),
      executionIDModel(std::make_shared<RZRCTRExecutionIdentifierModel>()),
      settings(std::move(settings)),
      operationQueue(DispatchQueue::create(RZRCTRApplicationGetSDKBundleID() + ".work-queue")),
      dispatchQueue(DispatchQueue::create("com.zevera.reruzera.crashtrace.startup")) {}
