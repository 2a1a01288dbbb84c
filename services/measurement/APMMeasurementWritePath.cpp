#include "services/measurement/APMMeasurement.h"

#include "services/measurement/APMDatabase.h"

void APMMeasurement::handleInternalEventOnWorkerQueue(const APMEvent& event) {
    writeEventOnWorkerQueue(event);
}

void APMMeasurement::handleEventOnWorkerQueue(const APMEvent& event) {
    writeEventOnWorkerQueue(event);
}

void APMMeasurement::writeEventOnWorkerQueue(const APMEvent& event) {
    auto triggered =
        APMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(&event);
    if (!triggered)
        monitor().logWithLevel(4, 23050, "Failed to process conditional user properties. Event",
                               APMMonitorContext(Value(event.name())));
    std::vector<APMEvent> toWrite{event};
    if (triggered) toWrite.insert(toWrite.end(), triggered->begin(), triggered->end());
    auto notifier = eventListenerNotifier();
    for (const APMEvent& one : toWrite) {
        if (database_) database_->insertRawEvent(one, 0, false);
        kept_.push_back(one);
        if (notifier) notifier(one);
    }
}
