#pragma once
// Building the crash context at launch for the report that has just been
// created: queues, guarded memory, record paths, limits, crash handlers and
// the launch metadata. Ordinary threads only.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dispatch/Clock.h"

class DispatchQueue;
class RZRCTRInternalReport;
struct RZRCTRFile;

// The crash reporter's limits that the context needs.
struct RZRCTRContextSettings {
    bool errorReportingEnabled = true;
    bool customExceptionsEnabled = true;
    std::uint32_t maxCustomExceptions = 8;
    std::uint32_t logBufferSize = 64 * 1000;
    std::uint32_t maxCustomKeys = 64;
};

struct RZRCTRContextInitData {
    const char* customBundleId = nullptr;
    const char* previouslyCrashedFileRootPath = nullptr;
    const char* sessionId = nullptr;
    const char* betaToken = "";
    const char* reportPath = nullptr;
    bool errorsEnabled = false;
    bool customExceptionsEnabled = false;
    std::uint32_t maxCustomExceptions = 0;
    std::uint32_t logBufferSize = 0;
    std::uint32_t maxCustomKeys = 0;
};

// The set-up steps that belong to the crash handlers and the image list.
// Each runs during initialisation, after its record path is in the context;
// a missing one is skipped.
struct RZRCTRContextInstallers {
    void (*binaryImages)() = nullptr;
    void (*signal)() = nullptr;
    void (*machException)() = nullptr;
    void (*exception)() = nullptr;
    // Writes the executable section of the metadata record.
    bool (*recordMainExecutable)(RZRCTRFile* file) = nullptr;
};
void RZRCTRContextSetInstallers(const RZRCTRContextInstallers& installers);

// The whole set-up. False only when the report has no path. The context may
// become initialized a moment after this returns.
bool RZRCTRContextInitialize(const RZRCTRInternalReport* report,
                             const RZRCTRContextSettings& settings, const std::string& rootPath);
// Waits until the set-up started by the last RZRCTRContextInitialize has
// finished (flag set, read-only half sealed); false on timeout.
bool RZRCTRContextWaitUntilInitialized(sim::Duration timeout);

bool RZRCTRContextRecordMetadata(const char* reportPath, const RZRCTRContextInitData* initData);

// The serial queues of the context, replaced at each initialisation; null
// before the first.
std::shared_ptr<DispatchQueue> RZRCTRContextLoggingQueue();
std::shared_ptr<DispatchQueue> RZRCTRContextBinaryImagesQueue();
std::shared_ptr<DispatchQueue> RZRCTRContextExceptionQueue();

// Bytes asked of the guarded allocator for a report directory, root folder
// and documents folder: computed from the context's structures and the
// strings it copies.
struct RZRCTRContextRegionSizes {
    std::size_t writable = 0;
    std::size_t readOnly = 0;
};
RZRCTRContextRegionSizes RZRCTRContextComputeRegionSizes(const std::string& reportPath,
                                                         const std::string& rootPath,
                                                         const std::string& documentsPath);
