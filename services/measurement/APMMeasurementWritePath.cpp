#include "services/measurement/APMMeasurement.h"

void APMMeasurement::handleInternalEventOnWorkerQueue(const APMEvent& event) {
    writeEventOnWorkerQueue(event);
}

void APMMeasurement::handleEventOnWorkerQueue(const APMEvent& event) {
    writeEventOnWorkerQueue(event);
}
