#include "services/transport/ZDTCORRegistrar.h"

#include "services/transport/ZDTCORConsoleLogger.h"

std::shared_ptr<ZDTCORRegistrar> ZDTCORRegistrar::sharedInstance() {
    static const auto* shared = new auto(std::make_shared<ZDTCORRegistrar>());
    return *shared;
}

ZDTCORRegistrar::ZDTCORRegistrar() : queue_(DispatchQueue::create("com.zevera.ZDTCORRegistrar")) {}

void ZDTCORRegistrar::registerUploader(std::shared_ptr<ZDTCORUploader> uploader,
                                       ZDTCORTarget target) {
    std::weak_ptr<NSObject> weak = weak_from_this();
    queue_->async([this, weak, uploader = std::move(uploader), target] {
        auto self = weak.lock();
        if (!self) return;
        ZDTCORLogDebug(
            "Registered an uploader: %@ for target:%ld",
            {std::string(uploader ? "uploader" : "nil"), static_cast<long long>(target)});
        uploaders_[target] = uploader;
    });
}

void ZDTCORRegistrar::registerStorage(std::shared_ptr<ZDTCORStorageProtocol> storage,
                                      ZDTCORTarget target) {
    std::weak_ptr<NSObject> weak = weak_from_this();
    queue_->async([this, weak, storage = std::move(storage), target] {
        auto self = weak.lock();
        if (!self) return;
        ZDTCORLogDebug("Registered storage: %@ for target:%ld",
                       {std::string(storage ? "storage" : "nil"), static_cast<long long>(target)});
        storages_[target] = storage;
    });
}

ZDTCORRegistrar::UploaderTable ZDTCORRegistrar::targetToUploader() const {
    UploaderTable copy;
    queue_->sync([&] { copy = uploaders_; });
    return copy;
}

ZDTCORRegistrar::StorageTable ZDTCORRegistrar::targetToStorage() const {
    StorageTable copy;
    queue_->sync([&] { copy = storages_; });
    return copy;
}

void ZDTCORRegistrar::forEachParticipant(
    const std::function<void(ZDTCORLifecycleProtocol&)>& call) {
    // Called outside the registrar queue: a storage may wait for its own queue.
    for (const auto& [target, uploader] : targetToUploader()) {
        if (uploader) call(*uploader);
    }
    for (const auto& [target, storage] : targetToStorage()) {
        if (storage) call(*storage);
    }
}

void ZDTCORRegistrar::appWillTerminate(ZDTCORApplicationProtocol& app) {
    forEachParticipant([&](ZDTCORLifecycleProtocol& p) { p.appWillTerminate(app); });
}

void ZDTCORRegistrar::appWillBackground(ZDTCORApplicationProtocol& app) {
    forEachParticipant([&](ZDTCORLifecycleProtocol& p) { p.appWillBackground(app); });
}

void ZDTCORRegistrar::appWillForeground(ZDTCORApplicationProtocol& app) {
    forEachParticipant([&](ZDTCORLifecycleProtocol& p) { p.appWillForeground(app); });
}

std::shared_ptr<ZDTCORStorageProtocol> ZDTCORStorageForTarget(ZDTCORTarget target) {
    auto table = ZDTCORRegistrar::sharedInstance()->targetToStorage();
    auto it = table.find(target);
    return it == table.end() ? nullptr : it->second;
}

std::shared_ptr<ZDTCORStoragePromiseProtocol> ZDTCORPromiseStorageForTarget(ZDTCORTarget target) {
    return std::dynamic_pointer_cast<ZDTCORStoragePromiseProtocol>(ZDTCORStorageForTarget(target));
}
