#pragma once
// The process-wide tables of uploaders and storages per target. Both are
// changed and read only on the registrar's serial queue; readers get copies.

#include <map>
#include <memory>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Object.h"
#include "services/transport/ZDTCORStorageProtocol.h"

class ZDTCORRegistrar : public NSObject, public ZDTCORLifecycleProtocol {
  public:
    using UploaderTable = std::map<ZDTCORTarget, std::shared_ptr<ZDTCORUploader>>;
    using StorageTable = std::map<ZDTCORTarget, std::shared_ptr<ZDTCORStorageProtocol>>;

    static std::shared_ptr<ZDTCORRegistrar> sharedInstance();
    ZDTCORRegistrar();

    // Queued; a lookup sees the registration once the queued block has run.
    // A later registration for the same target replaces the earlier one.
    void registerUploader(std::shared_ptr<ZDTCORUploader> uploader, ZDTCORTarget target);
    void registerStorage(std::shared_ptr<ZDTCORStorageProtocol> storage, ZDTCORTarget target);

    // Snapshots taken on the registrar queue.
    UploaderTable targetToUploader() const;
    StorageTable targetToStorage() const;
    const std::shared_ptr<DispatchQueue>& registrarQueue() const { return queue_; }

    // Passed on to every uploader, then every storage.
    void appWillTerminate(ZDTCORApplicationProtocol& app) override;
    void appWillBackground(ZDTCORApplicationProtocol& app) override;
    void appWillForeground(ZDTCORApplicationProtocol& app) override;

  private:
    void forEachParticipant(const std::function<void(ZDTCORLifecycleProtocol&)>& call);
    std::shared_ptr<DispatchQueue> queue_;
    UploaderTable uploaders_;
    StorageTable storages_;
};

// The storage registered for the target, or null.
std::shared_ptr<ZDTCORStorageProtocol> ZDTCORStorageForTarget(ZDTCORTarget target);
// The same storage when it offers the promise forms, else null.
std::shared_ptr<ZDTCORStoragePromiseProtocol> ZDTCORPromiseStorageForTarget(ZDTCORTarget target);
