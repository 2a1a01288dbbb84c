#include "services/core/RZRReruzeraVersion.h"

std::string RZRReruzeraVersion() {
    return kRZRReruzeraVersion;
}
