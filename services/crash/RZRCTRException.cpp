#include "services/crash/RZRCTRException.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>

#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "services/crash/RZRCTRApplication.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHandler.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRProcess.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRSignal.h"
#include "services/crash/RZRCTRUserLogging.h"
#include "services/crash/RZRCTRUtilities.h"
#include "services/crash/RZRExceptionModel.h"
#include "services/crash/RZRStackFrame.h"

namespace {

void recordFatal(RZRCTRExceptionType type, const char* name, const char* reason,
                 const RZRCTRExceptionFrames* frames) {
    // One record per crash: a signal or another exception that got here
    // first is being recorded, and ends the process.
    if (!RZRCTRSignalClaimCrashForCurrentThread()) {
        RZRCTRSDKLogError(
            "Error: not recording the exception because a crash has already occurred");
        return;
    }
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPathMode(&file, _rzrctrContext.readonly->exception.path, true, false)) {
        RZRCTRSDKLogError("Unable to open exception file");
        return;
    }
    RZRCTRExceptionWrite(&file, type, name, reason, frames);
    RZRCTRHandler(&file, RZRCTRProcessCurrentThread(), nullptr);
    RZRCTRFileClose(&file);
}

constexpr const char* kCrashOnExceptionsKey = "NSApplicationCrashOnExceptions";
constexpr const char* kReportException = "reportException:";

bool crashOnExceptions() {
    return NSUserDefaults::standardUserDefaults()->boolForKey(kCrashOnExceptionsKey);
}

bool applicationExists() {
    return RZRCTRApplicationSharedInstance() != nullptr;
}

Class applicationClass() {
    return NSClassFromString("NSApplication");
}

// One implementation for the life of the process, so that the start-up check
// can tell it from someone else's.
const IMP& ourReportException() {
    static const IMP* imp = new IMP(
        Implementation::make([](RuntimeObject& self, SEL cmd, const Arguments& args) -> std::any {
            RZRCTRExceptionReportException(
                self, cmd,
                args.empty() ? nullptr : runtime_cast<std::shared_ptr<NSException>>(args[0]));
            return {};
        }));
    return *imp;
}

// The implementation ours replaced; owned here as the context holds only its
// address. Never destroyed: the run loop may report while the process exits.
IMP& earlierReportException() {
    static IMP* imp = new IMP();
    return *imp;
}

}  // namespace

const char* RZRCTRExceptionNameForType(RZRCTRExceptionType type) {
    switch (type) {
        case RZRCTRExceptionType::objectiveC:
            return "objective-c";
        case RZRCTRExceptionType::cpp:
            return "c++";
        case RZRCTRExceptionType::custom:
            return "custom";
        default:
            return "unknown";
    }
}

void RZRCTRExceptionInitialize(RZRCTRExceptionReadOnlyContext* context,
                               RZRCTRExceptionReadWriteContext* state) {
    if (!RZRCTRUnlinkIfExists(context->path)) {
        RZRCTRSDKLogError("Unable to reset the exception file %s", std::strerror(errno));
    }
    context->originalTerminateHandler = std::set_terminate(RZRCTRTerminateHandler);
    context->originalReportException = nullptr;
    if (crashOnExceptions() && applicationExists()) {
        if (Class cls = applicationClass()) {
            const IMP earlier =
                class_replaceMethod(cls, kReportException, ourReportException(), "v@:@");
            // Set up again in the same process: keep the one replaced first,
            // or ours would call itself.
            if (earlier != ourReportException()) earlierReportException() = earlier;
            context->originalReportException =
                const_cast<Implementation*>(earlierReportException().get());
        }
    }
    state->customExceptionCount = 0;
}

void RZRCTRTerminateHandler() {
    RZRCTRSDKLogInfo("C++ terminate handler invoked");
    const RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
    std::terminate_handler earlier =
        readonly != nullptr ? readonly->exception.originalTerminateHandler : nullptr;
    if (earlier == RZRCTRTerminateHandler) {
        RZRCTRSDKLogError("Error: original handler was set recursively");
        earlier = nullptr;
    }
    if (earlier != nullptr) {
        RZRCTRSDKLogInfo("restoring pre-existing handler");
        if (std::set_terminate(earlier) == earlier) {
            RZRCTRSDKLogError("handler has already been restored, aborting");
            std::abort();
        }
    }
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type == nullptr) {
        RZRCTRSDKLogInfo("no active exception");
    } else {
        RZRCTRCatchAndRecordActiveException(type);
    }
    // The signal handler knows this thread as the one that recorded: the
    // abort below is not recorded again.
    if (earlier != nullptr) {
        RZRCTRSDKLogInfo("invoking pre-existing handler");
        earlier();
    }
    RZRCTRSDKLogInfo("aborting");
    std::abort();
}

void RZRCTRCatchAndRecordActiveException(const std::type_info* typeInfo) {
    if (typeInfo == nullptr) {
        RZRCTRSDKLogError("Error: invalid parameter");
        return;
    }
    const char* mangled = typeInfo->name();
    RZRCTRSDKLogInfo("Recording exception of type '%s'", mangled);
    const auto record = [](const char* name, const char* reason) {
        RZRCTRExceptionRecord(RZRCTRExceptionType::cpp, name, reason, nullptr);
    };
    try {
        throw;
    } catch (const NSException&) {
        RZRCTRSDKLogInfo("Skipping ObjC exception at this point");
    } catch (const char* text) {
        record("const char *", text != nullptr ? text : "");
    } catch (const std::string& text) {
        record("std::string", text.c_str());
    } catch (const std::bad_alloc& error) {
        record("std::bad_alloc", error.what());
    } catch (const std::exception& error) {
        record(RZRCTRExceptionDemangle(mangled).c_str(), error.what());
    } catch (const std::exception* error) {
        record(RZRCTRExceptionDemangle(mangled).c_str(), error != nullptr ? error->what() : "");
    } catch (...) {
        record(RZRCTRExceptionDemangle(mangled).c_str(), "");
    }
}

void RZRCTRExceptionReportException(RuntimeObject& application, SEL selector,
                                    const std::shared_ptr<NSException>& exception) {
    if (exception) RZRCTRExceptionRecordNSException(*exception);
    const IMP earlier = earlierReportException();
    if (earlier) (*earlier)(application, selector, Arguments{runtime_box(exception)});
}

void RZRCTRExceptionRecordNSException(const NSException& exception) {
    RZRCTRSDKLogInfo("Recording an NSException");
    RZRCTRExceptionFrames frames;
    frames.reserve(exception.callStackReturnAddresses().size());
    for (const std::uintptr_t address : exception.callStackReturnAddresses())
        frames.push_back(RZRStackFrame::stackFrameWithAddress(address));
    RZRCTRExceptionRecord(RZRCTRExceptionType::objectiveC, exception.name().c_str(),
                          exception.reason().c_str(), &frames);
}

void RZRCTRExceptionRecordModel(const RZRExceptionModel& model) {
    const RZRCTRExceptionFrames frames = model.stackTrace;
    RZRCTRExceptionRecord(RZRCTRExceptionType::custom, model.name.c_str(), model.reason.c_str(),
                          &frames);
}

void RZRCTRExceptionRecord(RZRCTRExceptionType type, const char* name, const char* reason,
                           const RZRCTRExceptionFrames* frames) {
    if (!RZRCTRContextIsInitialized()) return;
    const bool fatal = type == RZRCTRExceptionType::objectiveC || type == RZRCTRExceptionType::cpp;
    RZRCTRSDKLogInfo("Recording an exception structure (%d)", fatal ? 1 : 0);
    if (fatal) {
        const auto queue = RZRCTRContextExceptionQueue();
        if (queue) {
            queue->sync([&] { recordFatal(type, name, reason, frames); });
        } else {
            recordFatal(type, name, reason, frames);
        }
    } else {
        RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
        RZRCTRReadWriteContext* writable = _rzrctrContext.writable;
        RZRCTRUserLoggingWriteAndCheckABFiles(
            &readonly->logging.customExceptionStorage, &writable->logging.activeCustomExceptionPath,
            [&](RZRCTRFile* file) { RZRCTRExceptionWrite(file, type, name, reason, frames); });
    }
    RZRCTRSDKLogInfo("Finished recording an exception structure");
}

void RZRCTRExceptionWrite(RZRCTRFile* file, RZRCTRExceptionType type, const char* name,
                          const char* reason, const RZRCTRExceptionFrames* frames) {
    RZRCTRFileOpenSection(file, "exception");
    RZRCTRFileOpenHash(file);
    RZRCTRFileWriteStringEntry(file, "type", RZRCTRExceptionNameForType(type));
    RZRCTRFileWriteHexStringEntry(file, "name", name);
    RZRCTRFileWriteHexStringEntry(file, "reason", reason);
    RZRCTRFileWriteUInt64Entry(file, "time", static_cast<std::uint64_t>(::time(nullptr)));
    if (frames != nullptr && !frames->empty()) {
        RZRCTRFileWriteKey(file, "frames");
        RZRCTRFileOpenArray(file);
        for (const auto& frame : *frames) {
            if (!frame) continue;
            RZRCTRFileOpenHash(file);
            RZRCTRFileWriteUInt64Entry(file, "pc", frame->address);
            if (frame->symbol)
                RZRCTRFileWriteHexStringEntry(file, "symbol", frame->symbol->c_str());
            RZRCTRFileWriteUInt64Entry(file, "offset", frame->offset);
            if (frame->library)
                RZRCTRFileWriteHexStringEntry(file, "library", frame->library->c_str());
            if (frame->fileName)
                RZRCTRFileWriteHexStringEntry(file, "file", frame->fileName->c_str());
            RZRCTRFileWriteUInt64Entry(file, "line", frame->lineNumber & 0xFFFFFFFFU);
            RZRCTRFileCloseHash(file);
        }
        RZRCTRFileCloseArray(file);
    }
    RZRCTRFileCloseHash(file);
    RZRCTRFileCloseSection(file);
}

std::string RZRCTRExceptionDemangle(const char* mangledName) {
    if (mangledName == nullptr) return "";
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangledName, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : mangledName;
    std::free(demangled);
    return name;
}

void RZRCTRExceptionCheckHandlers() {
    const bool application = applicationExists();
    const bool crashes = crashOnExceptions();
    if (application && !crashes) {
        RZRCTRWarningLog(
            "Warning: NSApplicationCrashOnExceptions is not set. This will result in poor "
            "top-level uncaught exception reporting.");
    }
    if (RZRCTRProcessDebuggerAttached()) return;
    const std::terminate_handler current = std::get_terminate();
    if (current != RZRCTRTerminateHandler) {
        Dl_info info{};
        const bool found = ::dladdr(reinterpret_cast<void*>(current), &info) != 0;
        const std::string symbol =
            !found ? "(null)" : (info.dli_sname != nullptr ? info.dli_sname : "unknown");
        const std::string image =
            !found ? "(null)" : (info.dli_fname != nullptr ? info.dli_fname : "unknown");
        RZRCTRWarningLog("Warning: std::get_terminate is '%@' in '%@'", symbol, image);
    }
    if (application && crashes) {
        const Class cls = applicationClass();
        if (!cls || class_getMethodImplementation(cls, kReportException) != ourReportException()) {
            RZRCTRWarningLog(
                "Warning: top-level NSApplication-reported exceptions cannot be intercepted");
        }
    }
}

void RZRCTRExceptionRaiseTestCppException() {
    throw "Crashtrace C++ Test Exception";
}
