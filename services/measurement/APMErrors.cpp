#include "services/measurement/APMErrors.h"

#include "services/measurement/APMMeasurement.h"
#include "services/measurement/APMMonitor.h"

NSError apm_errorWithCode(long long code, const std::string& description) {
    return apm_errorWithCode(code, description, "");
}

void APMSetError(NSError* error, long long code, const std::string& description) {
    if (error) *error = apm_errorWithCode(code, description, "");
}

void APMSetErrorWithMonitorContext(NSError* error, long long code, const std::string& description,
                                   const std::string& monitorContext) {
    if (error) *error = apm_errorWithCode(code, description, monitorContext);
}

bool APMEnsureTrue(bool condition, NSError* error, long long code, const std::string& description) {
    if (condition) return true;
    APMSetError(error, code, description);
    return false;
}

std::string APMMonitorContextsFromErrors(const std::vector<APMMonitorContext>& contexts) {
    std::string joined;
    for (const auto& context : contexts) {
        const NSError* error = context.error();
        if (!error || error->domain != kAPMErrorDomain) continue;
        auto text = error->userInfo[kAPMMonitorContextKey].asString();
        if (!text || text->empty()) continue;
        if (!joined.empty()) joined += ",";
        joined += *text;
    }
    return joined;
}
