#include "services/crash/RZRCrashtraceReport.h"

#include <cstdlib>
#include <cstring>

#include "platform/dispatch/DispatchQueue.h"

#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/RZRCTRUtilities.h"

RZRCrashtraceReport::RZRCrashtraceReport(std::shared_ptr<RZRCTRInternalReport> internalReport)
    : internalReport_(std::move(internalReport)) {
    const RZRCTRReadOnlyContext* running = _rzrctrContext.readonly;
    const RZRCTRInternalReport* report = internalReport_.get();
    logStorage_.aPath = filesystemPathForContentFile("log_a.ctrrecord", report);
    logStorage_.bPath = filesystemPathForContentFile("log_b.ctrrecord", report);
    internalKVStorage_.incrementalPath =
        filesystemPathForContentFile("internal_incremental_kv.ctrrecord", report);
    internalKVStorage_.compactedPath =
        filesystemPathForContentFile("internal_compacted_kv.ctrrecord", report);
    userKVStorage_.incrementalPath =
        filesystemPathForContentFile("user_incremental_kv.ctrrecord", report);
    userKVStorage_.compactedPath =
        filesystemPathForContentFile("user_compacted_kv.ctrrecord", report);
    if (running) {
        const auto& limits = running->logging;
        logStorage_.maxSize = limits.logStorage.maxSize;
        logStorage_.maxEntries = limits.logStorage.maxEntries;
        logStorage_.restrictBySize = limits.logStorage.restrictBySize;
        logStorage_.entryCount = limits.logStorage.entryCount;
        internalKVStorage_.maxIncrementalCount = limits.internalKVStorage.maxIncrementalCount;
        internalKVStorage_.maxCount = limits.internalKVStorage.maxCount;
        userKVStorage_.maxIncrementalCount = limits.userKVStorage.maxIncrementalCount;
        userKVStorage_.maxCount = limits.userKVStorage.maxCount;
    }
    activeLogPath_ = logStorage_.aPath;
}

RZRCrashtraceReport::~RZRCrashtraceReport() {
    // Queued work holds pointers into this object.
    if (auto queue = RZRCTRContextLoggingQueue()) queue->sync([] {});
    for (const char* path : {logStorage_.aPath, logStorage_.bPath,
                             internalKVStorage_.incrementalPath, internalKVStorage_.compactedPath,
                             userKVStorage_.incrementalPath, userKVStorage_.compactedPath}) {
        std::free(const_cast<char*>(path));
    }
}

const char* RZRCrashtraceReport::filesystemPathForContentFile(const std::string& name,
                                                              const RZRCTRInternalReport* report) {
    if (!report) return nullptr;
    return strdup(report->pathForContentFile(name).c_str());
}

std::string RZRCrashtraceReport::reportID() const {
    return internalReport_ ? internalReport_->identifier() : std::string();
}

Date RZRCrashtraceReport::dateCreated() const {
    return internalReport_ ? internalReport_->dateCreated() : Date{};
}

bool RZRCrashtraceReport::hasCrash() const {
    return internalReport_ && internalReport_->isCrash();
}

bool RZRCrashtraceReport::checkContextForMethod(const std::string& method) const {
    if (RZRCTRContextIsInitialized()) return true;
    RZRCTRErrorLog(
        "%@ failed for RZRCrashtraceReport because Crashtrace context isn't initialized.", method);
    return false;
}

void RZRCrashtraceReport::log(const std::string& message) {
    if (!checkContextForMethod("log:")) return;
    RZRCTRLogToStorage(&logStorage_, &activeLogPath_, message);
}

void RZRCrashtraceReport::logWithFormat(const std::string& format,
                                        const std::vector<ZVUFormatArg>& arguments) {
    if (!checkContextForMethod("logWithFormat:arguments:")) return;
    log(arguments.empty() ? format : ZVUFormat(format, arguments));
}

void RZRCrashtraceReport::setUserID(const std::optional<std::string>& userID) {
    if (!checkContextForMethod("setUserID:")) return;
    RZRCTRUserLoggingRecordKeyValue("com.crashtrace.user-id",
                                    userID ? std::optional<Value>(Value(*userID)) : std::nullopt,
                                    &internalKVStorage_, &internalKVCounter_);
}

void RZRCrashtraceReport::setCustomValue(const std::optional<Value>& value,
                                         const std::optional<std::string>& key) {
    if (!checkContextForMethod("setCustomValue:forKey:")) return;
    RZRCTRUserLoggingRecordKeyValue(key, value, &userKVStorage_, &userKVCounter_);
}

void RZRCrashtraceReport::setCustomKeysAndValues(const Dictionary& keysAndValues) {
    if (!checkContextForMethod("setCustomKeysAndValues:")) return;
    RZRCTRUserLoggingRecordKeysAndValues(&keysAndValues, &userKVStorage_, &userKVCounter_);
}
