#include "services/core/DIZAvorozivarudo.h"

#include "platform/foundation/Error.h"
#include "services/core/RZRLogger.h"

std::shared_ptr<DIZAvorozivarudo> DIZAvorozivarudo::sharedInstance() {
    static const auto instance = std::make_shared<DIZAvorozivarudo>();
    return instance;
}

void DIZAvorozivarudo::setLoggerLevel(ZVULoggerLevel level) {
    const auto raw = static_cast<long long>(level);
    if (raw < static_cast<long long>(ZVULoggerLevelMin) ||
        raw > static_cast<long long>(ZVULoggerLevelMax)) {
        throw NSException(NSException::NSInternalInconsistencyException,
                          ZVUFormat("Invalid logger level, %ld", {raw}));
    }
    RZRSetLoggerLevel(level);
}
