#pragma once
// The measurement experiments client; for now only its monitor, which the
// experiment messages log through.

#include "services/measurement/APMMonitor.h"

class APMEManager {
  public:
    // Created once, on first use.
    static APMMonitor& monitor();
};
