#include "services/crash/RZRExceptionModel.h"

std::shared_ptr<RZRExceptionModel> RZRExceptionModel::exceptionModelWithName(
    const std::string& name, const std::string& reason) {
    return std::make_shared<RZRExceptionModel>(name, reason);
}
