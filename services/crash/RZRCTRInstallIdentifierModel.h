#pragma once
// The crash reporter's own install identifier, kept in its defaults store
// and replaced when the service installation identifier changes.
// installID is safe to read from any thread.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"

class RZRInstallations;

inline constexpr const char* kRZRCTRInstallUUIDKey = "com.crashtrace.iuuid";
inline constexpr const char* kRZRCTRInstallIIDHashKey = "com.crashtrace.install.iid";
inline constexpr const char* kRZRCTRInstallADIDKey = "com.crashtrace.install.adid";

class RZRCTRInstallIdentifierModel : public NSObject {
  public:
    using IDCompletion =
        std::function<void(std::optional<std::string> identifier, std::optional<NSError> error)>;
    // Asks for the service installation identifier; the completion may run
    // on any thread, late or never.
    using InstallationIDSource = std::function<void(IDCompletion completion)>;

    explicit RZRCTRInstallIdentifierModel(const std::shared_ptr<RZRInstallations>& installations);
    explicit RZRCTRInstallIdentifierModel(InstallationIDSource source);

    std::string className() const override { return "RZRCTRInstallIdentifierModel"; }

    std::string installID() const;
    void setInstallID(std::string installID);

    std::optional<std::string> readInstallationUUID() const;
    // Stored, not synchronized.
    std::string generateInstallationUUID();
    // True when the install identifier was rotated. Blocks for at most 10
    // seconds waiting for the installation identifier; a late answer still
    // rotates.
    bool regenerateInstallIDIfNeeded();
    bool rotateCrashtraceInstallUUIDWithIID(const std::optional<std::string>& installationID,
                                            const std::optional<NSError>& error);

  private:
    mutable std::mutex mutex_;
    std::string installID_;
    InstallationIDSource source_;
};
