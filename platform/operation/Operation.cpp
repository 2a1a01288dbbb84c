#include "platform/operation/Operation.h"

#include <algorithm>
#include <utility>

#include "platform/dispatch/DispatchQueue.h"

void NSOperation::start() {
    if (isCancelled()) {
        willChangeValueForKey("isFinished");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        didChangeValueForKey("isFinished");
        return;
    }
    willChangeValueForKey("isExecuting");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        executing_ = true;
    }
    didChangeValueForKey("isExecuting");
    main();
    willChangeValueForKey("isExecuting");
    willChangeValueForKey("isFinished");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        executing_ = false;
        finished_ = true;
    }
    didChangeValueForKey("isExecuting");
    didChangeValueForKey("isFinished");
}

void NSOperation::cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
}

bool NSOperation::isCancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

bool NSOperation::isExecuting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return executing_;
}

bool NSOperation::isFinished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

void NSOperation::setCompletionBlock(Block block) {
    std::lock_guard<std::mutex> lock(mutex_);
    completion_ = std::move(block);
}

NSOperation::Block NSOperation::completionBlock() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completion_;
}

void NSOperation::setName(std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
}

std::string NSOperation::name() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

void NSOperation::willChangeValueForKey(const std::string&) {}

void NSOperation::didChangeValueForKey(const std::string& key) {
    std::vector<Observer> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observers = observers_;
    }
    if (key == "isFinished" && isFinished()) {
        Block completion;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!completionFired_) {
                completionFired_ = true;
                completion = completion_;
            }
        }
        if (completion) DispatchQueue::global()->async(std::move(completion));
    }
    for (const auto& observer : observers) observer(*this, key);
}

void NSOperation::addObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(std::move(observer));
}

void NSOperationQueue::addOperation(const std::shared_ptr<NSOperation>& operation) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        operations_.push_back(operation);
    }
    std::weak_ptr<NSObject> weakQueue = shared_from_this();
    operation->addObserver([weakQueue](NSOperation& op, const std::string& key) {
        if (key != "isFinished" || !op.isFinished()) return;
        if (auto queue = std::static_pointer_cast<NSOperationQueue>(weakQueue.lock()))
            queue->operationFinished(&op);
    });
    DispatchQueue::global()->async([operation] { operation->start(); });
}

void NSOperationQueue::addOperations(const std::vector<std::shared_ptr<NSOperation>>& operations) {
    for (const auto& operation : operations) addOperation(operation);
}

std::vector<std::shared_ptr<NSOperation>> NSOperationQueue::operations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return operations_;
}

std::size_t NSOperationQueue::operationCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return operations_.size();
}

void NSOperationQueue::cancelAllOperations() {
    for (const auto& operation : operations()) operation->cancel();
}

void NSOperationQueue::operationFinished(const NSOperation* operation) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(operations_, [&](const auto& op) { return op.get() == operation; });
}
