#pragma once
// Whether the crash reporter may send reports automatically: a sticky
// choice in its own defaults store wins over the bundle's information list,
// which wins over the service application's default. The promise of
// waitForCrashtraceCollectionEnabled resolves when collection is (or
// becomes) enabled. Thread-safe.

#include <memory>
#include <mutex>

#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class PRMPromise;
class VUVEzu;

inline constexpr const char* kRZRCTRDataCollectionKey = "com.crashtrace.data_collection";
inline constexpr const char* kRZRCTRCollectionEnabledInfoKey =
    "ReruzeraCrashtraceCollectionEnabled";
inline constexpr const char* kRZRCTRLegacyCollectionInfoKey =
    "reruzera_crashtrace_collection_enabled";

class RZRCTRDataCollectionArbiter : public NSObject {
  public:
    RZRCTRDataCollectionArbiter(std::shared_ptr<VUVEzu> app, Dictionary appInfo);

    std::string className() const override { return "RZRCTRDataCollectionArbiter"; }

    // Evaluated afresh on each call.
    static bool isCrashtraceCollectionEnabledWithApp(const std::shared_ptr<VUVEzu>& app,
                                                     const Dictionary& appInfo);
    bool isCrashtraceCollectionEnabled() const;
    // Stores the choice (1 enabled, 2 disabled) and writes it to disk at once.
    void setCrashtraceCollectionEnabled(bool enabled);
    // Resolved while collection is enabled; a pending one is resolved by the
    // next enabling.
    std::shared_ptr<PRMPromise> waitForCrashtraceCollectionEnabled() const;
    bool isLegacyDataCollectionKeyInPlist() const;
    // 0 when no choice was made, 1 enabled, 2 disabled.
    static long stickySetting();

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<PRMPromise> dataCollectionEnabled_;
    bool promiseResolved_ = false;
    std::shared_ptr<VUVEzu> app_;
    Dictionary appInfo_;
};

// Proof, passed down the upload path, that the caller was allowed to send.
// An absent token counts as not valid.
class RZRCTRDataCollectionToken : public NSObject {
  public:
    static std::shared_ptr<RZRCTRDataCollectionToken> validToken();
    static bool isValid(const std::shared_ptr<RZRCTRDataCollectionToken>& token) {
        return token != nullptr && token->isValid();
    }
    bool isValid() const { return true; }
    std::string className() const override { return "RZRCTRDataCollectionToken"; }
};
