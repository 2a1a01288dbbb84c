#include "services/measurement/APMMeasurement.h"

#include "services/measurement/APMEManager.h"

APMMonitor& APMMeasurement::monitor() {
    static APMMonitor* monitor = new APMMonitor();  // lives as long as the process
    return *monitor;
}

APMMonitor& APMEManager::monitor() {
    static APMMonitor* monitor = new APMMonitor();
    return *monitor;
}

NSError apm_errorWithCode(long long code, const std::string& description,
                          const std::string& monitorContext) {
    Dictionary info;
    if (!description.empty()) info.set(NSError::NSLocalizedDescriptionKey, description);
    if (!monitorContext.empty()) info.set(kAPMMonitorContextKey, monitorContext);
    return NSError(kAPMErrorDomain, code, std::move(info));
}
