#include "services/crash/RZRCTRContextInitialize.h"

#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRByteUtilities.h"
#include "services/crash/RZRCTRContext.h"
#include "services/crash/RZRCTRHost.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRProcess.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/RZRCTRUtilities.h"

namespace {

constexpr const char* kSDKLogFile = "sdk.log";
constexpr const char* kPreviouslyCrashedFile = "previously-crashed";
constexpr const char* kBinaryImagesFile = "binary_images.ctrrecord";
constexpr const char* kSignalFile = "signal.ctrrecord";
constexpr const char* kMachExceptionFile = "mach_exception.ctrrecord";
constexpr const char* kExceptionFile = "exception.ctrrecord";
constexpr const char* kMetadataFile = "metadata.ctrrecord";
constexpr double kInitializationTimeoutSeconds = 5.0;

// Every report-directory file whose path the context keeps.
const std::vector<const char*>& reportFileNames() {
    static const std::vector<const char*> names = [] {
        std::vector<const char*> all{kSDKLogFile, kBinaryImagesFile, kSignalFile,
                                     kMachExceptionFile, kExceptionFile};
        for (const char* name : RZRCTRUserLoggingFileNames()) all.push_back(name);
        return all;
    }();
    return names;
}

std::size_t stringBytes(std::size_t length) {
    return (length + 1 + kRZRCTRAllocatorAlignment - 1) & ~(kRZRCTRAllocatorAlignment - 1);
}

std::size_t allocationBytes(std::size_t size) {
    return stringBytes(size - 1);
}

std::string joined(const std::string& directory, const char* name) {
    return (std::filesystem::path(directory) / name).string();
}

struct Queues {
    std::mutex mutex;
    std::shared_ptr<DispatchQueue> logging;
    std::shared_ptr<DispatchQueue> binaryImages;
    std::shared_ptr<DispatchQueue> exception;
    std::shared_ptr<DispatchGroup> completion;
    RZRCTRContextInstallers installers;
};

Queues& queues() {
    static auto* state = new Queues();
    return *state;
}

// What the initialisation blocks read; kept alive by the blocks themselves.
struct InitState {
    std::string reportPath;
    std::string rootPath;
    std::string sessionId;
    std::string documentsPath;
    RZRCTRContextInitData data;
    RZRCTRContextInstallers installers;
};

void initializeLogging(const InitState& state) {
    RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    RZRCTRReadWriteContext* writable = _rzrctrContext.writable;
    RZRCTRUserLoggingConfigure(&readonly->logging, &writable->logging,
                               &writable->exception.customExceptionCount, state.reportPath.c_str(),
                               state.data.errorsEnabled, state.data.maxCustomExceptions,
                               state.data.logBufferSize, state.data.maxCustomKeys);
    RZRCTRUserLoggingInit(&readonly->logging, &writable->logging);
}

}  // namespace

RZRCTRContextRegionSizes RZRCTRContextComputeRegionSizes(const std::string& reportPath,
                                                         const std::string& rootPath,
                                                         const std::string& documentsPath) {
    RZRCTRContextRegionSizes sizes;
    sizes.writable = allocationBytes(sizeof(RZRCTRReadWriteContext)) +
                     allocationBytes(kRZRCTRSignalStackSize) +
                     allocationBytes(kRZRCTRMachExceptionStackSize);
    sizes.readOnly = allocationBytes(sizeof(RZRCTRReadOnlyContext));
    for (const char* name : reportFileNames()) {
        sizes.readOnly += stringBytes(joined(reportPath, name).size());
    }
    sizes.readOnly += stringBytes(joined(rootPath, kPreviouslyCrashedFile).size());
    sizes.readOnly += stringBytes(documentsPath.size());
    return sizes;
}

void RZRCTRContextSetInstallers(const RZRCTRContextInstallers& installers) {
    std::lock_guard lock(queues().mutex);
    queues().installers = installers;
}

std::shared_ptr<DispatchQueue> RZRCTRContextLoggingQueue() {
    std::lock_guard lock(queues().mutex);
    return queues().logging;
}

std::shared_ptr<DispatchQueue> RZRCTRContextBinaryImagesQueue() {
    std::lock_guard lock(queues().mutex);
    return queues().binaryImages;
}

std::shared_ptr<DispatchQueue> RZRCTRContextExceptionQueue() {
    std::lock_guard lock(queues().mutex);
    return queues().exception;
}

bool RZRCTRContextWaitUntilInitialized(sim::Duration timeout) {
    std::shared_ptr<DispatchGroup> completion;
    {
        std::lock_guard lock(queues().mutex);
        completion = queues().completion;
    }
    if (!completion) return false;
    return completion->wait(timeout) == DispatchTimeoutResult::success;
}

bool RZRCTRContextInitialize(const RZRCTRInternalReport* report,
                             const RZRCTRContextSettings& settings, const std::string& rootPath) {
    auto state = std::make_shared<InitState>();
    state->reportPath = report ? report->path() : std::string();
    state->rootPath = rootPath;
    state->sessionId = report ? report->identifier() : std::string();
    state->documentsPath = RZRCTRHostDocumentDirectory();
    state->data.customBundleId = nullptr;
    state->data.reportPath = state->reportPath.empty() ? nullptr : state->reportPath.c_str();
    state->data.previouslyCrashedFileRootPath = state->rootPath.c_str();
    state->data.sessionId = state->sessionId.c_str();
    state->data.betaToken = "";
    state->data.errorsEnabled = settings.errorReportingEnabled;
    state->data.customExceptionsEnabled = settings.customExceptionsEnabled;
    state->data.maxCustomExceptions = settings.maxCustomExceptions;
    state->data.logBufferSize = settings.logBufferSize;
    state->data.maxCustomKeys = settings.maxCustomKeys;

    // Base set-up.
    const std::string prefix = RZRCTRApplicationGetSDKBundleID();
    auto completion = std::make_shared<DispatchGroup>();
    {
        std::lock_guard lock(queues().mutex);
        queues().logging = DispatchQueue::create(prefix + ".logging");
        queues().binaryImages = DispatchQueue::create(prefix + ".binary-images");
        queues().exception = DispatchQueue::create(prefix + ".exception");
        queues().completion = completion;
        state->installers = queues().installers;
    }
    const auto sizes =
        RZRCTRContextComputeRegionSizes(state->reportPath, state->rootPath, state->documentsPath);
    RZRCTRAllocator* allocator = RZRCTRAllocatorCreate(sizes.writable, sizes.readOnly);
    auto* readonly = static_cast<RZRCTRReadOnlyContext*>(RZRCTRAllocatorSafeAllocate(
        allocator, sizeof(RZRCTRReadOnlyContext), RZRCTRAllocationTypeReadOnly));
    void* machStack = RZRCTRAllocatorSafeAllocate(allocator, kRZRCTRMachExceptionStackSize,
                                                  RZRCTRAllocationTypeWriteable);
    void* signalStack = RZRCTRAllocatorSafeAllocate(allocator, kRZRCTRSignalStackSize,
                                                    RZRCTRAllocationTypeWriteable);
    auto* writable = static_cast<RZRCTRReadWriteContext*>(RZRCTRAllocatorSafeAllocate(
        allocator, sizeof(RZRCTRReadWriteContext), RZRCTRAllocationTypeWriteable));
    if (!readonly || !machStack || !signalStack || !writable) {
        RZRCTRErrorLog("Unable to allocate the crash context");
        return false;
    }
    std::memset(static_cast<void*>(readonly), 0, sizeof(RZRCTRReadOnlyContext));
    std::memset(machStack, 0, kRZRCTRMachExceptionStackSize);
    std::memset(signalStack, 0, kRZRCTRSignalStackSize);
    std::memset(static_cast<void*>(writable), 0, sizeof(RZRCTRReadWriteContext));
    readonly->machStack = machStack;
    readonly->signalStack = signalStack;
    writable->sdkLogFD = -1;
    writable->sdkLogLevel = RZRCTRSDKLogLevelDebug;
    writable->crashOccurred = false;
    readonly->initialized = false;
    _rzrctrContext.allocator = allocator;
    _rzrctrContext.writable = writable;
    __atomic_store_n(&_rzrctrContext.readonly, readonly, __ATOMIC_SEQ_CST);

    if (!state->data.reportPath) {
        completion->enter();
        completion->leave();
        return false;
    }

    readonly->sdkLogPath = RZRCTRDupString(joined(state->reportPath, kSDKLogFile).c_str());
    if (!RZRCTRUnlinkIfExists(readonly->sdkLogPath)) {
        RZRCTRErrorLog("Unable to write initialize SDK write paths %@", std::strerror(errno));
    }
    readonly->debuggerAttached = RZRCTRProcessDebuggerAttached();

    DispatchGroup group;
    auto global = DispatchQueue::global();
    group.async(global, [state] { RZRCTRHostInitialize(&_rzrctrContext.readonly->host); });
    group.async(global, [state] { initializeLogging(*state); });
    group.async(global, [state] {
        _rzrctrContext.readonly->binaryimage.path =
            RZRCTRDupString(joined(state->reportPath, kBinaryImagesFile).c_str());
        if (state->installers.binaryImages) state->installers.binaryImages();
    });
    group.async(global, [state] {
        _rzrctrContext.readonly->previouslyCrashedFileFullPath =
            RZRCTRDupString(joined(state->rootPath, kPreviouslyCrashedFile).c_str());
    });
    if (!readonly->debuggerAttached) {
        group.async(global, [state] {
            _rzrctrContext.readonly->signal.path =
                RZRCTRDupString(joined(state->reportPath, kSignalFile).c_str());
            if (state->installers.signal) state->installers.signal();
        });
        group.async(global, [state] {
            _rzrctrContext.readonly->machException.path =
                RZRCTRDupString(joined(state->reportPath, kMachExceptionFile).c_str());
            if (state->installers.machException) state->installers.machException();
        });
        group.async(global, [state] {
            auto& exception = _rzrctrContext.readonly->exception;
            exception.path = RZRCTRDupString(joined(state->reportPath, kExceptionFile).c_str());
            exception.maxCustomExceptions =
                state->data.customExceptionsEnabled ? state->data.maxCustomExceptions : 0;
            if (state->installers.exception) state->installers.exception();
        });
    } else {
        RZRCTRSDKLogWarn("Debugger present - not installing handlers");
    }
    group.async(global, [state] {
        if (!RZRCTRContextRecordMetadata(state->reportPath.c_str(), &state->data)) {
            RZRCTRSDKLogError("Unable to record context metadata");
        }
    });

    completion->enter();
    group.notify(global, [completion] {
        __atomic_store_n(&_rzrctrContext.readonly->initialized, true, __ATOMIC_SEQ_CST);
        if (!RZRCTRAllocatorProtect(_rzrctrContext.allocator)) {
            RZRCTRSDKLogError("Error: Memory protection failed");
        }
        completion->leave();
    });
    if (group.wait(sim::seconds(kInitializationTimeoutSeconds)) != DispatchTimeoutResult::success) {
        RZRCTRSDKLogError("Error: Delayed initialization");
    }
    return true;
}

bool RZRCTRContextRecordMetadata(const char* reportPath, const RZRCTRContextInitData* initData) {
    if (!reportPath || !initData) return false;
    const auto path = joined(reportPath, kMetadataFile);
    if (!RZRCTRUnlinkIfExists(path.c_str())) {
        RZRCTRSDKLogError("Unable to unlink existing metadata file %s", std::strerror(errno));
    }
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPath(&file, path.c_str(), false)) {
        RZRCTRSDKLogError("Unable to open metadata file %s", std::strerror(errno));
        return false;
    }

    const auto generator = RZRCTRSDKGeneratorName();
    const auto version = RZRCTRSDKVersion();
    RZRCTRFileOpenSection(&file, "identity");
    RZRCTRFileOpenHash(&file);
    RZRCTRFileWriteStringEntry(&file, "generator", generator.c_str());
    RZRCTRFileWriteStringEntry(&file, "display_version", version.c_str());
    RZRCTRFileWriteStringEntry(&file, "build_version", version.c_str());
    RZRCTRFileWriteUInt64Entry(&file, "started_at", static_cast<std::uint64_t>(std::time(nullptr)));
    RZRCTRFileWriteStringEntry(&file, "session_id", initData->sessionId);
    RZRCTRFileWriteStringEntry(&file, "install_id", "");
    RZRCTRFileWriteStringEntry(&file, "beta_token", initData->betaToken ? initData->betaToken : "");
    RZRCTRFileWriteBoolEntry(&file, "absolute_log_timestamps", true);
    RZRCTRFileCloseHash(&file);
    RZRCTRFileCloseSection(&file);

    if (!RZRCTRHostRecord(&file)) RZRCTRSDKLogError("Unable to write out host metadata");

    const auto bundleId = RZRCTRApplicationGetBundleIdentifier();
    const auto buildVersion = RZRCTRApplicationGetBundleVersion();
    const auto displayVersion = RZRCTRApplicationGetShortBundleVersion();
    const auto extensionId = RZRCTRApplicationExtensionPointIdentifier();
    RZRCTRFileOpenSection(&file, "application");
    RZRCTRFileOpenHash(&file);
    RZRCTRFileWriteStringEntry(&file, "bundle_id", bundleId.c_str());
    RZRCTRFileWriteStringEntry(&file, "custom_bundle_id", initData->customBundleId);
    RZRCTRFileWriteStringEntry(&file, "build_version",
                               buildVersion ? buildVersion->c_str() : nullptr);
    RZRCTRFileWriteStringEntry(&file, "display_version",
                               displayVersion ? displayVersion->c_str() : nullptr);
    RZRCTRFileWriteStringEntry(&file, "extension_id", extensionId ? extensionId->c_str() : nullptr);
    RZRCTRFileCloseHash(&file);
    RZRCTRFileCloseSection(&file);

    RZRCTRContextInstallers installers;
    {
        std::lock_guard lock(queues().mutex);
        installers = queues().installers;
    }
    if (!installers.recordMainExecutable || !installers.recordMainExecutable(&file)) {
        RZRCTRSDKLogError("Unable to write out executable metadata");
    }
    RZRCTRFileClose(&file);
    return true;
}
