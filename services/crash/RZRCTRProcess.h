#pragma once
// The own process at crash time: its threads stopped and resumed, each
// thread's registers and unwound stack, runtime hints, thread names and
// statistics; and facts about it for the crash context.
//
// Other threads are stopped by a capture signal: each one's handler saves
// its interrupted registers into a fixed slot and waits until the recorder
// lets it go. Crash-time code (all but the debugger check): no allocation,
// no locks, no stdio; only system calls and the SDK log.

#include <sys/types.h>
#include <ucontext.h>

#include <cstddef>
#include <cstdint>

#include "services/crash/RZRCTRDwarf.h"

struct RZRCTRFile;

// The kernel id of the calling thread.
pid_t RZRCTRProcessCurrentThread();

inline constexpr int kRZRCTRProcessMaxThreads = 512;

struct RZRCTRProcess {
    pid_t task = 0;
    pid_t thisThread = 0;
    pid_t crashedThread = 0;
    pid_t threads[kRZRCTRProcessMaxThreads] = {};
    std::uint32_t threadCount = 0;
    const ucontext_t* userContext = nullptr;
};

// One thread's registers as recorded: valid is false when they could not be
// read (the thread had exited, or did not answer the capture signal).
struct RZRCTRThreadContext {
    bool valid = false;
    greg_t registers[NGREG] = {};
};

bool RZRCTRProcessInit(RZRCTRProcess* process, pid_t crashedThread, const ucontext_t* userContext);
bool RZRCTRProcessSuspendAllOtherThreads(RZRCTRProcess* process);
bool RZRCTRProcessResumeAllOtherThreads(RZRCTRProcess* process);
// The registers of a thread other than the recording one (the recording
// thread's own are captured where its stack is walked).
bool RZRCTRProcessGetThreadState(const RZRCTRProcess* process, pid_t thread,
                                 RZRCTRThreadContext* context);
bool RZRCTRProcessRecordAllThreads(RZRCTRProcess* process, RZRCTRFile* file);
void RZRCTRProcessRecordRuntimeInfo(RZRCTRProcess* process, RZRCTRFile* file);
// The selector being sent when the registers stopped within the first bytes
// of the object runtime's message dispatcher (a message to a freed receiver
// faults there reading its class): *name is validated in place, not copied.
inline constexpr std::uint64_t kRZRCTRDispatcherHintLength = 66;
bool RZRCTRProcessGetObjCSelectorName(const greg_t* registers, const char** name,
                                      std::size_t* length);
void RZRCTRProcessRecordDispatchQueueNames(RZRCTRProcess* process, RZRCTRFile* file);
void RZRCTRProcessRecordThreadNames(RZRCTRProcess* process, RZRCTRFile* file);
void RZRCTRProcessRecordStats(RZRCTRProcess* process, RZRCTRFile* file);

// The unwinder's view of a machine context.
void RZRCTRThreadContextToUnwindRegisters(const greg_t* registers, RZRCTRUnwindRegisters* out);

// Whether a debugger (any tracer) is attached to the process now.
bool RZRCTRProcessDebuggerAttached();
