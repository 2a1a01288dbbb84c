#pragma once
// The transport's platform layer: the application object, reachability, the
// state directory and the archive functions the flat-file storage uses.
// This platform has no background tasks and no background state.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Object.h"
#include "platform/net/NSURL.h"

inline constexpr const char* kZDTCORApplicationDidEnterBackgroundNotification =
    "ZDTCORApplicationDidEnterBackgroundNotification";
inline constexpr const char* kZDTCORApplicationWillEnterForegroundNotification =
    "ZDTCORApplicationWillEnterForegroundNotification";
inline constexpr const char* kZDTCORApplicationWillTerminateNotification =
    "ZDTCORApplicationWillTerminateNotification";

using ZDTCORBackgroundIdentifier = std::int64_t;
inline constexpr ZDTCORBackgroundIdentifier ZDTCORBackgroundIdentifierInvalid = 0;

class ZDTCORApplicationProtocol {
  public:
    virtual ~ZDTCORApplicationProtocol() = default;
    virtual ZDTCORBackgroundIdentifier beginBackgroundTaskWithName(
        const std::string& name, std::function<void()> handler) = 0;
    virtual void endBackgroundTask(ZDTCORBackgroundIdentifier identifier) = 0;
    virtual bool isRunningInBackground() const = 0;
};

// Objects that take the three lifecycle notices; each does nothing unless
// overridden.
class ZDTCORLifecycleProtocol {
  public:
    virtual ~ZDTCORLifecycleProtocol() = default;
    virtual void appWillTerminate(ZDTCORApplicationProtocol&) {}
    virtual void appWillBackground(ZDTCORApplicationProtocol&) {}
    virtual void appWillForeground(ZDTCORApplicationProtocol&) {}
};

class ZDTCORApplication : public NSObject, public ZDTCORApplicationProtocol {
  public:
    // Created once; observes the platform's will-terminate notification and
    // posts the transport's own terminate notice for it.
    static std::shared_ptr<ZDTCORApplication> sharedApplication();
    static bool isAppExtension();

    ZDTCORBackgroundIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                           std::function<void()> handler) override;
    void endBackgroundTask(ZDTCORBackgroundIdentifier identifier) override;
    bool isRunningInBackground() const override { return false; }
    std::string className() const override { return "ZDTCORApplication"; }

    ZDTCORApplication();
    ~ZDTCORApplication() override;
};

// Reachability of any IPv4 address. The flags are read and written on the
// monitor's serial queue.
class ZDTCORReachability : public NSObject {
  public:
    static std::shared_ptr<ZDTCORReachability> sharedInstance();
    // The last change callback's flags, or the start-up flags when none (or 0)
    // arrived. Must not be called on the monitor's queue.
    static std::uint32_t currentFlags();
    void setCallbackFlags(std::uint32_t flags);

    ZDTCORReachability();
    ~ZDTCORReachability() override;

  private:
    struct Handle;
    std::shared_ptr<DispatchQueue> queue_;
    std::unique_ptr<Handle> handle_;
    std::uint32_t callbackFlags_ = 0;
    std::uint32_t flags_ = 0;
};

// Reachable and no connection to establish first.
bool ZDTCORFlagsMeanReachable(std::uint32_t flags);
bool ZDTCORFlagsMeanMobile(std::uint32_t flags);  // never on this platform
// 1 (Wi-Fi) when the reachable bit is set, else 0.
std::int64_t ZDTCORCurrentNetworkType();
std::int64_t ZDTCORCurrentMobileSubtype();

// <caches>/zevera-sdks-events, created on every call.
NSURL ZDTCORStateDirectory();

// Archives the object (secure coding); with a path, also writes it there
// atomically. Nothing when archiving fails; the data also when only the
// write failed (the error then tells).
std::optional<Data> ZDTCORArchiveObject(const Id& object, const std::string& path,
                                        NSError* error = nullptr);
// Decodes data (or the file at path when data is absent) accepting only the
// expected class; nil on failure.
Id ZDTCORUnarchiveObject(const std::string& className, const std::string& path,
                         const std::optional<Data>& data, NSError* error = nullptr);
// Writes atomically, creating the parent directory; false for an empty path.
bool ZDTCORWriteArchiveData(const Data& data, const std::string& path, NSError* error = nullptr);
