#include "services/crash/RZRCTRInstallIdentifierModel.h"

#include <atomic>

#include "platform/dispatch/DispatchQueue.h"
#include "services/core/RZRInstallations.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRUserDefaults.h"
#include "services/crash/RZRCTRUtilities.h"

namespace {

constexpr auto kInstallationIDTimeout = std::chrono::seconds(10);

}  // namespace

RZRCTRInstallIdentifierModel::RZRCTRInstallIdentifierModel(
    const std::shared_ptr<RZRInstallations>& installations)
    : RZRCTRInstallIdentifierModel(InstallationIDSource([installations](IDCompletion completion) {
          if (!installations) {
              completion(std::nullopt, std::nullopt);
              return;
          }
          installations->installationIDWithCompletion(std::move(completion));
      })) {}

RZRCTRInstallIdentifierModel::RZRCTRInstallIdentifierModel(InstallationIDSource source)
    : source_(std::move(source)) {
    if (auto stored = readInstallationUUID()) {
        installID_ = *stored;
    } else {
        RZRCTRDebugLog("Generating Install ID");
        installID_ = generateInstallationUUID();
        RZRCTRUserDefaults::standardUserDefaults()->synchronize();
    }
}

std::string RZRCTRInstallIdentifierModel::installID() const {
    std::lock_guard lock(mutex_);
    return installID_;
}

void RZRCTRInstallIdentifierModel::setInstallID(std::string installID) {
    std::lock_guard lock(mutex_);
    installID_ = std::move(installID);
}

std::optional<std::string> RZRCTRInstallIdentifierModel::readInstallationUUID() const {
    return RZRCTRUserDefaults::standardUserDefaults()->stringForKey(kRZRCTRInstallUUIDKey);
}

std::string RZRCTRInstallIdentifierModel::generateInstallationUUID() {
    auto uuid = RZRCTRGenerateUUID();
    RZRCTRUserDefaults::standardUserDefaults()->setString(uuid, kRZRCTRInstallUUIDKey);
    return uuid;
}

bool RZRCTRInstallIdentifierModel::regenerateInstallIDIfNeeded() {
    // Without installations there is no identifier to compare with.
    if (!source_) return false;
    struct Shared {
        DispatchSemaphore semaphore{0};
        std::atomic<bool> result{false};
    };
    auto shared = std::make_shared<Shared>();
    // The deadline is fixed before asking, so an answer that never comes
    // cannot stretch the wait.
    const auto deadline = sim::Clock::now() + kInstallationIDTimeout;
    // A late answer may arrive after the model is gone: it then changes
    // nothing. Models are owned by shared pointers.
    std::weak_ptr<NSObject> weakSelf = weak_from_this();
    source_([shared, weakSelf](std::optional<std::string> identifier,
                               std::optional<NSError> error) {
        auto alive = std::static_pointer_cast<RZRCTRInstallIdentifierModel>(weakSelf.lock());
        if (!alive) {
            shared->semaphore.signal();
            return;
        }
        const bool rotated = alive->rotateCrashtraceInstallUUIDWithIID(identifier, error);
        shared->result = rotated;
        if (rotated) {
            RZRCTRInfoLog("Rotated Crashtrace Install UUID because Reruzera Install ID changed");
        }
        shared->semaphore.signal();
    });
    if (shared->semaphore.wait(deadline) == DispatchTimeoutResult::timedOut) {
        RZRCTRErrorLog("Crashtrace timed out while checking for Reruzera Installation ID");
    }
    return shared->result.load();
}

bool RZRCTRInstallIdentifierModel::rotateCrashtraceInstallUUIDWithIID(
    const std::optional<std::string>& installationID, const std::optional<NSError>& error) {
    auto defaults = RZRCTRUserDefaults::standardUserDefaults();
    if (auto adid = defaults->stringForKey(kRZRCTRInstallADIDKey); adid && !adid->empty()) {
        defaults->removeObjectForKey(kRZRCTRInstallADIDKey);
        defaults->synchronize();
    }
    if (error) {
        RZRCTRErrorLog("Failed to get Reruzera Instance ID: %@", *error);
        return false;
    }
    if (!installationID || installationID->empty()) {
        RZRCTRErrorLog("Reruzera Instance ID was empty when checked for changes");
        return false;
    }
    const auto hash =
        RZRCTRGenerateSHA256HexString(installationID->data(),
                                      static_cast<std::uint32_t>(installationID->size()))
            .value_or("");
    const auto previous = defaults->stringForKey(kRZRCTRInstallIIDHashKey);
    if (previous && *previous == hash) return false;
    const bool hadPrevious = previous && !previous->empty();
    if (hadPrevious) {
        RZRCTRDebugLog("Regenerating Install ID");
        setInstallID(generateInstallationUUID());
    }
    defaults->setString(hash, kRZRCTRInstallIIDHashKey);
    defaults->synchronize();
    return hadPrevious;
}
