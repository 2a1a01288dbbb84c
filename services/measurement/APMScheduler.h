#pragma once
// The engine's serial worker queue. Every database, configuration, identity
// and upload step runs here, so those objects need no locks of their own.

#include <functional>
#include <memory>
#include <string>

class DispatchQueue;

class APMScheduler {
  public:
    using Block = std::function<void()>;
    static constexpr const char* kWorkerQueueLabel = "com.zevera.zire.worker";

    // Answers false on the main thread after logging the method's name; the
    // caller carries on either way.
    static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

    explicit APMScheduler(const std::string& workerQueueLabel);

    // Runs the block later on the worker queue; an exception it throws is
    // logged and the queue goes on.
    void scheduleOnWorkerQueueBlockID(const std::string& blockID, Block block);
    // Runs the block on the worker queue and waits for it. From the worker
    // queue itself it is refused (logged) instead of waiting for ever.
    void dispatchSyncOnWorkerQueueBlockID(const std::string& blockID, const Block& block);
    const std::shared_ptr<DispatchQueue>& workerQueue() const { return workerQueue_; }
    // True on the worker queue.
    bool isOnWorkerQueue() const;

  private:
    std::shared_ptr<DispatchQueue> workerQueue_;
};
