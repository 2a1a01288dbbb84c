#include "services/measurement/APMMeasurement.h"

void APMMeasurement::logEventOnWorkerQueue(const APMEvent& event, bool) {
    handleEventOnWorkerQueue(event);
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
    setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute&) {
    return false;
}

void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue() {}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
    return false;
}

void APMMeasurement::updateSchedule() {}
