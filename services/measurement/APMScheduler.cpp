#include "services/measurement/APMScheduler.h"

#include <exception>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Value.h"
#include "services/measurement/APMMeasurement.h"

namespace {

std::string exceptionText(const std::exception_ptr& exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

bool APMScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
    if (!NSThread::isMainThread()) return true;
    if (methodName.empty())
        APMMeasurement::monitor().logWithLevel(
            1, 30001, "Method <empty method name> should execute on background thread");
    else
        APMMeasurement::monitor().logWithLevel(
            1, 30001, "Method " + methodName + " should execute on background thread");
    return false;
}

APMScheduler::APMScheduler(const std::string& workerQueueLabel)
    : workerQueue_(DispatchQueue::create(workerQueueLabel, DispatchQueue::Attributes::Serial,
                                         DispatchQoS::Background)) {}

bool APMScheduler::isOnWorkerQueue() const {
    return DispatchQueue::currentLabel() == workerQueue_->label();
}

void APMScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, Block block) {
    if (!block) {
        APMMeasurement::monitor().logWithLevel(
            1, 30005,
            "Nil block dispatched asynchronously on worker queue. Block ID=" + blockID + ".");
        return;
    }
    workerQueue_->async([blockID, block = std::move(block)] {
        try {
            block();
        } catch (...) {
            APMMeasurement::monitor().logWithLevel(
                1, 30000, "Exception on worker queue. Block ID=" + blockID + ". Exception",
                APMMonitorContext(Value(exceptionText(std::current_exception()))));
        }
    });
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(const std::string& blockID,
                                                    const Block& block) {
    if (!block) {
        APMMeasurement::monitor().logWithLevel(
            1, 30002,
            "Nil block dispatched synchronously on worker queue. Block ID=" + blockID + ".");
        return;
    }
    bool completed = false;
    // Waiting for the worker queue from the worker queue would never end.
    if (isOnWorkerQueue()) {
        APMMeasurement::monitor().logWithLevel(4, 30004,
                                               "Synchronous task failed. Block ID=" + blockID);
        return;
    }
    workerQueue_->sync([&] {
        try {
            block();
            completed = true;
        } catch (...) {
            APMMeasurement::monitor().logWithLevel(
                1, 30003,
                "Exception on worker queue when processing sync block. Block ID=" + blockID +
                    ". Exception",
                APMMonitorContext(Value(exceptionText(std::current_exception()))));
        }
    });
    if (!completed)
        APMMeasurement::monitor().logWithLevel(4, 30004,
                                               "Synchronous task failed. Block ID=" + blockID);
}
