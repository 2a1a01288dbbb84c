#pragma once
// The platform's operation model, as much of it as the crash reporter's
// network work needs: operations with start/main/cancel, their state flags
// with change notifications, completion blocks, and queues that run them.
//
// Guarantees:
//  * An operation's completion block runs once, on a global queue, after the
//    first change notification that finds the operation finished.
//  * An operation queue starts each operation it is given on a global queue
//    (never inline) and forgets it once it reports finished.

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Object.h"

class NSOperation : public NSObject {
  public:
    using Block = std::function<void()>;
    using Observer = std::function<void(NSOperation& operation, const std::string& key)>;

    std::string className() const override { return "NSOperation"; }

    // Runs main on the calling thread unless cancelled; then finished.
    virtual void start();
    virtual void main() {}
    virtual void cancel();
    bool isCancelled() const;
    virtual bool isExecuting() const;
    virtual bool isFinished() const;
    virtual bool isConcurrent() const { return isAsynchronous(); }
    virtual bool isAsynchronous() const { return false; }

    void setCompletionBlock(Block block);
    Block completionBlock() const;
    void setName(std::string name);
    std::string name() const;

    // Key-value change notifications for "isExecuting" and "isFinished".
    void willChangeValueForKey(const std::string& key);
    void didChangeValueForKey(const std::string& key);
    // Called after every did-change notification, on the notifying thread.
    void addObserver(Observer observer);

  private:
    mutable std::mutex mutex_;
    bool cancelled_ = false;
    bool executing_ = false;
    bool finished_ = false;
    bool completionFired_ = false;
    Block completion_;
    std::string name_;
    std::vector<Observer> observers_;
};

class NSOperationQueue : public NSObject {
  public:
    std::string className() const override { return "NSOperationQueue"; }

    void addOperation(const std::shared_ptr<NSOperation>& operation);
    // Never waits here: the crash reporter has no use for waiting.
    void addOperations(const std::vector<std::shared_ptr<NSOperation>>& operations);
    std::vector<std::shared_ptr<NSOperation>> operations() const;
    std::size_t operationCount() const;
    void cancelAllOperations();

  private:
    void operationFinished(const NSOperation* operation);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<NSOperation>> operations_;
};
