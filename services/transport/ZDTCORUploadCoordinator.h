#pragma once
// Decides when uploads are attempted: a repeating timer (first fire after
// half a second, then every 30 seconds) that also sweeps expired events,
// forced uploads of one target, and the lifecycle notices. All timer and
// dispatch work runs on the coordination queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/Timer.h"
#include "platform/foundation/Object.h"
#include "services/transport/ZDTCORRegistrar.h"

class ZDTCORUploadCoordinator : public NSObject, public ZDTCORLifecycleProtocol {
  public:
    static constexpr std::uint64_t kTimerIntervalNanoseconds = 30000000000ULL;
    static constexpr std::uint64_t kTimerLeewayNanoseconds = 5000000000ULL;

    // Created once, with its timer started.
    static std::shared_ptr<ZDTCORUploadCoordinator> sharedInstance();
    // flags: the reachability flags to decide the conditions on.
    ZDTCORUploadCoordinator(std::shared_ptr<ZDTCORRegistrar> registrar,
                            std::function<std::uint32_t()> flags);
    ~ZDTCORUploadCoordinator() override;

    void forceUploadForTarget(ZDTCORTarget target);
    void startTimer();
    void uploadTargets(std::vector<ZDTCORTarget> targets, ZDTCORUploadConditions conditions);
    ZDTCORUploadConditions uploadConditions() const;
    // Each distinct storage sweeps once.
    void signalToStoragesToCheckExpirations();
    std::shared_ptr<ZDTCORStorageProtocol> storageForTarget(ZDTCORTarget target) const;
    bool hasTimer() const;

    void appWillForeground(ZDTCORApplicationProtocol& app) override;
    void appWillBackground(ZDTCORApplicationProtocol& app) override;
    // Returns with the timer cancelled. Not on the coordination queue.
    void appWillTerminate(ZDTCORApplicationProtocol& app) override;

    const std::shared_ptr<DispatchQueue>& coordinationQueue() const { return queue_; }

  private:
    void stopTimer();  // on the coordination queue
    void timerFired();
    std::shared_ptr<DispatchQueue> queue_;
    std::shared_ptr<ZDTCORRegistrar> registrar_;
    std::function<std::uint32_t()> flags_;
    std::shared_ptr<DispatchTimer> timer_;
};
