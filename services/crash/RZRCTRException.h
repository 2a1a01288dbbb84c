#pragma once
// Language exceptions recorded by the crash reporter: an uncaught C++
// exception through the terminate handler, and a runtime exception that the
// application object reports from its run loop (through a replaced
// "reportException:"), each with the whole process, into
// exception.ctrrecord; custom exceptions that the application hands in into
// the rotating custom exception files, without thread state.
//
// The terminate handler runs on the throwing thread, not in a signal
// handler: it may take the exception queue, but it neither throws nor
// returns.

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/runtime/Runtime.h"
#include "services/crash/RZRCTRContext.h"

class NSException;
class RZRExceptionModel;
class RZRStackFrame;
struct RZRCTRFile;

enum class RZRCTRExceptionType : std::uint32_t {
    objectiveC = 1,
    cpp = 2,
    unknown = 3,
    custom = 4,
};
const char* RZRCTRExceptionNameForType(RZRCTRExceptionType type);

using RZRCTRExceptionFrames = std::vector<std::shared_ptr<RZRStackFrame>>;

// Resets the record file and installs the terminate handler, keeping the
// one it replaces. When the user default "NSApplicationCrashOnExceptions" is
// true and there is an application object, also takes over the
// application's "reportException:", keeping the earlier implementation.
// Runs during set-up.
void RZRCTRExceptionInitialize(RZRCTRExceptionReadOnlyContext* context,
                               RZRCTRExceptionReadWriteContext* state);
[[noreturn]] void RZRCTRTerminateHandler();
// Rethrows the current exception to learn its name and reason, and records
// it unless it is an object-runtime exception.
void RZRCTRCatchAndRecordActiveException(const std::type_info* typeInfo);
// The replacement of the application's "reportException:": records the
// exception (fatal), then hands it to the earlier implementation.
void RZRCTRExceptionReportException(RuntimeObject& application, SEL selector,
                                    const std::shared_ptr<NSException>& exception);
// Frames are the exception's return addresses, innermost first.
void RZRCTRExceptionRecordNSException(const NSException& exception);
// A custom exception from the application (non-fatal).
void RZRCTRExceptionRecordModel(const RZRExceptionModel& model);
// Fatal types are written with the whole process under the exception queue;
// others go to the custom exception storage. Ignored before the context is
// initialized.
void RZRCTRExceptionRecord(RZRCTRExceptionType type, const char* name, const char* reason,
                           const RZRCTRExceptionFrames* frames);
void RZRCTRExceptionWrite(RZRCTRFile* file, RZRCTRExceptionType type, const char* name,
                          const char* reason, const RZRCTRExceptionFrames* frames);
std::string RZRCTRExceptionDemangle(const char* mangledName);
// Start-up diagnostic: warns when the application does not crash on
// exceptions, when someone else's terminate handler is in place, and when
// someone else's "reportException:" replaced ours.
void RZRCTRExceptionCheckHandlers();
[[noreturn]] void RZRCTRExceptionRaiseTestCppException();
