#include "services/transport/ZDTCORPlatform.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/bundle/Home.h"
#include "platform/bundle/NSBundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/notifications/NSNotificationCenter.h"
#include "platform/reachability/SCNetworkReachability.h"
#include "services/transport/ZDTCORConsoleLogger.h"

namespace fs = std::filesystem;

namespace {
// The platform's own notice, posted by the application object on quitting.
constexpr const char* kPlatformWillTerminateNotification = "NSApplicationWillTerminateNotification";

NSError posixError(int code, const std::string& path) {
    return NSError::withDescription("NSPOSIXErrorDomain", code, path + ": " + std::strerror(code));
}

bool createParentDirectory(const std::string& path, NSError* error) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (!ec) return true;
    ZDTCORLogDebug("Attempt to create directory failed: path:%@ error:%@", {path, ec.message()});
    if (error) *error = posixError(ec.value(), path);
    return false;
}

bool writeAtomically(const Data& data, const std::string& path, NSError* error) {
    int code = 0;
    if (sim::FileSystem::writeFileAtomically(path, data, &code)) {
        ZDTCORLogDebug("Writing archive succeeded: %@", {path});
        return true;
    }
    ZDTCORLogDebug("Attempt to write archive failed: path:%@ error:%@",
                   {path, std::string(std::strerror(code))});
    if (error) *error = posixError(code, path);
    return false;
}
}  // namespace

ZDTCORApplication::ZDTCORApplication() {
    NSNotificationCenter::defaultCenter()->addObserver(
        this,
        [](const NSNotification&) {
            ZDTCORLogDebug("ZDTCORPlatform is sending a notif that the app is terminating.");
            NSNotificationCenter::defaultCenter()->postNotificationName(
                kZDTCORApplicationWillTerminateNotification);
        },
        std::string(kPlatformWillTerminateNotification), nullptr);
}

ZDTCORApplication::~ZDTCORApplication() {
    NSNotificationCenter::defaultCenter()->removeObserver(this);
}

std::shared_ptr<ZDTCORApplication> ZDTCORApplication::sharedApplication() {
    static const auto* shared = new auto([] {
        ZDTCORLogDebug(
            "ZDT is initializing. Please note that if you quit the app via the debugger and not "
            "through a lifecycle event, event data will remain on disk but storage won't have a "
            "reference to them since the singleton wasn't saved to disk.");
        return std::make_shared<ZDTCORApplication>();
    }());
    return *shared;
}

bool ZDTCORApplication::isAppExtension() {
    const std::string path = NSBundle::mainBundle()->bundlePath();
    const std::string suffix = ".appex";
    return path.size() >= suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

ZDTCORBackgroundIdentifier ZDTCORApplication::beginBackgroundTaskWithName(const std::string&,
                                                                          std::function<void()>) {
    // No background tasks here: the handler is never called.
    return ZDTCORBackgroundIdentifierInvalid;
}

void ZDTCORApplication::endBackgroundTask(ZDTCORBackgroundIdentifier identifier) {
    if (identifier == ZDTCORBackgroundIdentifierInvalid) return;
    ZDTCORLogDebug("Ending background task with ID:%ld was successful",
                   {static_cast<long long>(identifier)});
}

struct ZDTCORReachability::Handle {
    SCNetworkReachabilityRef ref = nullptr;
    ~Handle() {
        if (ref) CFRelease(ref);
    }
};

namespace {
void reachabilityChanged(SCNetworkReachabilityRef, SCNetworkReachabilityFlags flags, void*) {
    ZDTCORLogDebug("Reachability changed, new flags: %d", {static_cast<unsigned>(flags)});
    ZDTCORReachability::sharedInstance()->setCallbackFlags(flags);
}
}  // namespace

ZDTCORReachability::ZDTCORReachability()
    : queue_(DispatchQueue::create("com.zevera.ZDTCORReachability")),
      handle_(std::make_unique<Handle>()) {
    handle_->ref = SCNetworkReachabilityCreateWithName(kCFAllocatorDefault, "0.0.0.0");
    // Callbacks arrive on the main run loop, the only one the platform offers.
    if (!handle_->ref || !SCNetworkReachabilityScheduleWithRunLoop(handle_->ref, CFRunLoopGetMain(),
                                                                   kCFRunLoopCommonModes)) {
        ZDTCORLog(ZDTCORMCWReachabilityFailed, ZDTCORLoggingLevelWarnings,
                  "The reachability queue wasn't set.");
    }
    SCNetworkReachabilityContext context;
    if (!handle_->ref ||
        !SCNetworkReachabilitySetCallback(handle_->ref, reachabilityChanged, &context)) {
        ZDTCORLog(ZDTCORMCWReachabilityFailed, ZDTCORLoggingLevelWarnings,
                  "The reachability callback wasn't set.");
    }
    SCNetworkReachabilityRef ref = handle_->ref;
    queue_->async([this, ref] {
        SCNetworkReachabilityFlags flags = 0;
        if (!ref || !SCNetworkReachabilityGetFlags(ref, &flags)) {
            ZDTCORLogDebug("Determining reachability failed.");
            flags = 0;
        }
        flags_ = flags;
    });
}

ZDTCORReachability::~ZDTCORReachability() = default;

std::shared_ptr<ZDTCORReachability> ZDTCORReachability::sharedInstance() {
    static const auto* shared = new auto(std::make_shared<ZDTCORReachability>());
    return *shared;
}

std::uint32_t ZDTCORReachability::currentFlags() {
    auto self = sharedInstance();
    std::uint32_t flags = 0;
    self->queue_->sync(
        [&] { flags = self->callbackFlags_ != 0 ? self->callbackFlags_ : self->flags_; });
    ZDTCORLogDebug("Initial reachability flags determined: %d", {static_cast<unsigned>(flags)});
    return flags;
}

void ZDTCORReachability::setCallbackFlags(std::uint32_t flags) {
    queue_->async([this, flags] {
        if (callbackFlags_ != flags) callbackFlags_ = flags;
    });
}

bool ZDTCORFlagsMeanReachable(std::uint32_t flags) {
    return (flags & (kSCNetworkReachabilityFlagsReachable |
                     kSCNetworkReachabilityFlagsConnectionRequired)) ==
           kSCNetworkReachabilityFlagsReachable;
}

bool ZDTCORFlagsMeanMobile(std::uint32_t) {
    return false;
}

std::int64_t ZDTCORCurrentNetworkType() {
    return (ZDTCORReachability::currentFlags() & kSCNetworkReachabilityFlagsReachable) ? 1 : 0;
}

std::int64_t ZDTCORCurrentMobileSubtype() {
    return 0;
}

NSURL ZDTCORStateDirectory() {
    // Follows the home, which tests change; the folder is made on every call.
    const std::string path = sim::cachesPath() + "/zevera-sdks-events";
    std::error_code ec;
    fs::create_directories(path, ec);
    ZDTCORAssert(!ec, "There was an error creating ZDT's path");
    return NSURL::fileURLWithPath(path);
}

std::optional<Data> ZDTCORArchiveObject(const Id& object, const std::string& path, NSError* error) {
    if (!path.empty() && !createParentDirectory(path, error)) return std::nullopt;
    NSError archiveError;
    auto data = NSKeyedArchiver::archivedDataWithRootObject(object, true, &archiveError);
    if (!data) {
        ZDTCORLogDebug("Encoding an object failed: %@", {archiveError.localizedDescription()});
        if (error) *error = archiveError;
        return std::nullopt;
    }
    if (!path.empty()) writeAtomically(*data, path, error);
    return data;
}

Id ZDTCORUnarchiveObject(const std::string& className, const std::string& path,
                         const std::optional<Data>& data, NSError* error) {
    std::optional<Data> bytes = data;
    if (!bytes) {
        int code = 0;
        bytes = sim::FileSystem::readFile(path, &code);
        if (!bytes) {
            if (error) *error = posixError(code, path);
            return nullptr;
        }
    }
    return NSKeyedUnarchiver::unarchivedObjectOfClass(className, *bytes, error);
}

bool ZDTCORWriteArchiveData(const Data& data, const std::string& path, NSError* error) {
    if (path.empty()) return false;
    if (!createParentDirectory(path, error)) return false;
    return writeAtomically(data, path, error);
}
