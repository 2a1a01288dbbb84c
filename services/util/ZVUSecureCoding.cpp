#include "services/util/ZVUSecureCoding.h"

std::optional<Data> ZVUSecureCoding::archivedDataWithRootObject(const Id& object, NSError* error) {
    try {
        return NSKeyedArchiver::archivedDataWithRootObject(object, true, error);
    } catch (const NSException& exception) {
        if (error) *error = archivingErrorWithException(exception);
        return std::nullopt;
    }
}

Id ZVUSecureCoding::unarchivedObjectOfClasses(const std::vector<std::string>& classes,
                                              const Data& data, NSError* error) {
    try {
        return NSKeyedUnarchiver::unarchivedObjectOfClasses(classes, data, error);
    } catch (const NSException& exception) {
        if (error) *error = archivingErrorWithException(exception);
        return nullptr;
    }
}

Id ZVUSecureCoding::unarchivedObjectOfClass(const std::string& objectClass, const Data& data,
                                            NSError* error) {
    return unarchivedObjectOfClasses({objectClass}, data, error);
}

NSError ZVUSecureCoding::archivingErrorWithException(const NSException& exception) {
    const std::string reason = "NSKeyedArchiver exception with name: " + exception.name() +
                               ", reason: " + exception.reason() +
                               ", userInfo: " + Value(exception.userInfo()).description();
    return NSError(ZVUSecureCodingErrorDomain, -1, {{NSLocalizedFailureReasonErrorKey, reason}});
}
