#include "services/transport/ZDTCORUploadCoordinator.h"

#include <chrono>
#include <set>

#include "services/transport/ZDTCORConsoleLogger.h"
#include "services/transport/ZDTCORPlatform.h"

std::shared_ptr<ZDTCORUploadCoordinator> ZDTCORUploadCoordinator::sharedInstance() {
    static const auto* shared = new auto([] {
        auto coordinator = std::make_shared<ZDTCORUploadCoordinator>(
            ZDTCORRegistrar::sharedInstance(), [] { return ZDTCORReachability::currentFlags(); });
        coordinator->startTimer();
        return coordinator;
    }());
    return *shared;
}

ZDTCORUploadCoordinator::ZDTCORUploadCoordinator(std::shared_ptr<ZDTCORRegistrar> registrar,
                                                 std::function<std::uint32_t()> flags)
    : queue_(DispatchQueue::create("com.zevera.ZDTCORUploadCoordinator")),
      registrar_(std::move(registrar)),
      flags_(std::move(flags)) {}

ZDTCORUploadCoordinator::~ZDTCORUploadCoordinator() {
    if (timer_) timer_->cancel();
}

void ZDTCORUploadCoordinator::forceUploadForTarget(ZDTCORTarget target) {
    queue_->async([this, target] {
        ZDTCORLogDebug("Forcing an upload of target %ld", {static_cast<long long>(target)});
        uploadTargets({target}, uploadConditions() | ZDTCORUploadConditionHighPriority);
    });
}

void ZDTCORUploadCoordinator::startTimer() {
    std::weak_ptr<NSObject> weak = weak_from_this();
    queue_->async([this, weak] {
        auto self = weak.lock();
        if (!self || timer_) return;
        timer_ = DispatchTimer::make(queue_);
        timer_->schedule(std::chrono::milliseconds(500),
                         std::chrono::nanoseconds(kTimerIntervalNanoseconds));
        timer_->setEventHandler([this, weak] {
            if (auto self = weak.lock()) timerFired();
        });
        ZDTCORLogDebug("Upload timer started");
        timer_->resume();
    });
}

void ZDTCORUploadCoordinator::stopTimer() {
    if (!timer_) return;
    timer_->cancel();
    timer_.reset();
}

bool ZDTCORUploadCoordinator::hasTimer() const {
    bool running = false;
    queue_->sync([&] { running = timer_ != nullptr; });
    return running;
}

void ZDTCORUploadCoordinator::timerFired() {
    if (ZDTCORApplication::sharedApplication()->isRunningInBackground()) return;
    const auto conditions = uploadConditions();
    ZDTCORLogDebug("Upload timer fired");
    std::vector<ZDTCORTarget> targets;
    for (const auto& [target, uploader] : registrar_->targetToUploader()) targets.push_back(target);
    uploadTargets(targets, conditions);
    // No lifecycle notice here ever asks for a sweep, so the timer does.
    signalToStoragesToCheckExpirations();
}

void ZDTCORUploadCoordinator::uploadTargets(std::vector<ZDTCORTarget> targets,
                                            ZDTCORUploadConditions conditions) {
    queue_->async([this, targets = std::move(targets), conditions] {
        if (conditions & ZDTCORUploadConditionNoNetwork) return;
        const auto uploaders = registrar_->targetToUploader();
        for (auto target : targets) {
            auto it = uploaders.find(target);
            if (it != uploaders.end() && it->second) {
                it->second->uploadTarget(static_cast<std::int32_t>(target), conditions);
            }
        }
    });
}

ZDTCORUploadConditions ZDTCORUploadCoordinator::uploadConditions() const {
    const std::uint32_t flags = flags_ ? flags_() : 0;
    if (!ZDTCORFlagsMeanReachable(flags)) return ZDTCORUploadConditionNoNetwork;
    if (ZDTCORFlagsMeanMobile(flags)) return ZDTCORUploadConditionMobileData;
    return ZDTCORUploadConditionWifiData;
}

void ZDTCORUploadCoordinator::signalToStoragesToCheckExpirations() {
    std::set<std::shared_ptr<ZDTCORStorageProtocol>> storages;
    for (const auto& [target, storage] : registrar_->targetToStorage()) {
        if (storage) storages.insert(storage);
    }
    for (const auto& storage : storages) storage->checkForExpirations();
}

std::shared_ptr<ZDTCORStorageProtocol> ZDTCORUploadCoordinator::storageForTarget(
    ZDTCORTarget target) const {
    const auto storages = registrar_->targetToStorage();
    auto it = storages.find(target);
    if (it == storages.end() || !it->second) {
        ZDTCORAssert(false, "A storage must be registered for target %@",
                     {static_cast<long long>(target)});
        return nullptr;
    }
    return it->second;
}

void ZDTCORUploadCoordinator::appWillForeground(ZDTCORApplicationProtocol&) {
    startTimer();
    signalToStoragesToCheckExpirations();
}

void ZDTCORUploadCoordinator::appWillBackground(ZDTCORApplicationProtocol&) {
    queue_->async([this] { stopTimer(); });
}

void ZDTCORUploadCoordinator::appWillTerminate(ZDTCORApplicationProtocol&) {
    queue_->sync([this] { stopTimer(); });
}
