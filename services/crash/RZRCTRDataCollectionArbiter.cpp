#include "services/crash/RZRCTRDataCollectionArbiter.h"

#include <cctype>

#include "services/core/VUVEzu.h"
#include "services/crash/RZRCTRUserDefaults.h"
#include "services/util/PRMPromise.h"

namespace {

// The platform's reading of a string as a boolean.
bool stringTruth(const std::string& text) {
    for (unsigned char c : text) {
        if (std::isspace(c)) continue;
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

}  // namespace

RZRCTRDataCollectionArbiter::RZRCTRDataCollectionArbiter(std::shared_ptr<VUVEzu> app,
                                                         Dictionary appInfo)
    : app_(std::move(app)), appInfo_(std::move(appInfo)) {
    if (isCrashtraceCollectionEnabledWithApp(app_, appInfo_)) {
        dataCollectionEnabled_ = PRMPromise::resolvedWith(PRMValue::null());
        promiseResolved_ = true;
    } else {
        dataCollectionEnabled_ = PRMPromise::pendingPromise();
    }
}

long RZRCTRDataCollectionArbiter::stickySetting() {
    return static_cast<long>(
        RZRCTRUserDefaults::standardUserDefaults()->integerForKey(kRZRCTRDataCollectionKey));
}

bool RZRCTRDataCollectionArbiter::isCrashtraceCollectionEnabledWithApp(
    const std::shared_ptr<VUVEzu>& app, const Dictionary& appInfo) {
    if (const long sticky = stickySetting(); sticky != 0) return sticky == 1;
    const Value& info = appInfo[kRZRCTRCollectionEnabledInfoKey];
    if (auto text = info.asString()) return stringTruth(*text);
    if (auto flag = info.asBool()) return *flag;
    if (info.isNumber()) return info.asDouble().value_or(0) != 0;
    return app && app->isDataCollectionDefaultEnabled();
}

bool RZRCTRDataCollectionArbiter::isCrashtraceCollectionEnabled() const {
    return isCrashtraceCollectionEnabledWithApp(app_, appInfo_);
}

void RZRCTRDataCollectionArbiter::setCrashtraceCollectionEnabled(bool enabled) {
    auto defaults = RZRCTRUserDefaults::standardUserDefaults();
    defaults->setInteger(enabled ? 1 : 2, kRZRCTRDataCollectionKey);
    defaults->synchronize();

    std::lock_guard lock(mutex_);
    if (enabled && !promiseResolved_) {
        dataCollectionEnabled_->fulfill(PRMValue::null());
        promiseResolved_ = true;
    } else if (!enabled && promiseResolved_) {
        dataCollectionEnabled_ = PRMPromise::pendingPromise();
        promiseResolved_ = false;
    }
}

std::shared_ptr<PRMPromise> RZRCTRDataCollectionArbiter::waitForCrashtraceCollectionEnabled()
    const {
    std::lock_guard lock(mutex_);
    return dataCollectionEnabled_;
}

bool RZRCTRDataCollectionArbiter::isLegacyDataCollectionKeyInPlist() const {
    return appInfo_.contains(kRZRCTRLegacyCollectionInfoKey);
}

std::shared_ptr<RZRCTRDataCollectionToken> RZRCTRDataCollectionToken::validToken() {
    return std::make_shared<RZRCTRDataCollectionToken>();
}
