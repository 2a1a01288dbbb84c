#pragma once
// The measurement engine's process-wide services that the messages and
// their users rely on: the monitor and the library's error values.

#include <string>

#include "platform/foundation/Error.h"
#include "services/measurement/APMMonitor.h"

inline constexpr const char* kAPMErrorDomain = "com.zevera.ruv.measurement.ErrorDomain";
inline constexpr const char* kAPMMonitorContextKey = "APMMonitorContext";

class APMMeasurement {
  public:
    // The process-wide monitor, created once.
    static APMMonitor& monitor();
};

// An error of the library's domain: a non-empty description under the
// localized-description key, a non-empty context under "APMMonitorContext".
NSError apm_errorWithCode(long long code, const std::string& description,
                          const std::string& monitorContext);
