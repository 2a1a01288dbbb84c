#include "services/measurement/APMMeasurement.h"

void APMMeasurement::reportFirstOpenOnWorkerQueue() {}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {}

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {}

void APMMeasurement::backfillSessionNumber() {}

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double, bool) {}
