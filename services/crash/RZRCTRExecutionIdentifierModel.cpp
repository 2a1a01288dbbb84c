#include "services/crash/RZRCTRExecutionIdentifierModel.h"

#include "services/crash/RZRCTRUtilities.h"

RZRCTRExecutionIdentifierModel::RZRCTRExecutionIdentifierModel()
    : executionID_(RZRCTRGenerateNormalizedUUID()) {}
