#pragma once
// Fatal signals recorded as crashes: handlers for SIGABRT, SIGBUS, SIGFPE,
// SIGILL, SIGSEGV, SIGSYS and SIGTRAP on alternate stacks, the signal and the
// whole process written to signal.ctrrecord, then the earlier handlers put
// back so that the process ends as it would have without us: a signal under
// the default action is sent again, whatever its origin, and ends it.
//
// The handler is crash-time code: no allocation, no locks, no stdio.

#include <signal.h>

#include "services/crash/RZRCTRContext.h"

inline constexpr int kRZRCTRHandledSignals[kRZRCTRSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL,
                                                                  SIGSEGV, SIGSYS, SIGTRAP};

// Resets the record file, gives the calling thread the context's alternate
// stack and installs the handlers, saving what was there before. Set-up
// touches no other thread: every thread the program starts has its own
// alternate stack from its first instruction (pthread_create is wrapped
// here, and the main thread gets one before main).
void RZRCTRSignalInitialize(RZRCTRSignalReadOnlyContext* context);
// An alternate stack for the calling thread when it has none, given back
// when the thread ends.
bool RZRCTRSignalInstallAltStackForCurrentThread();

// Claims the crash for the calling thread: true when nobody had, and the
// caller records it. The thread stays marked, so a signal it raises later
// (the abort after a recorded exception, a fault while recording) ends the
// process under the default action instead of being recorded again.
bool RZRCTRSignalClaimCrashForCurrentThread();
bool RZRCTRSignalIsRecordingThread();

void RZRCTRSignalHandler(int signal, siginfo_t* info, void* userContext);
void RZRCTRSignalSafeRemoveHandlers(bool includeAbort);
// Restores the earlier alternate stack and actions; for signal (when not
// negative) also calls the earlier handler when it is a function.
bool RZRCTRSignalSafeInstallPreexistingHandlers(RZRCTRSignalReadOnlyContext* context, int signal,
                                                siginfo_t* info, void* userContext);
void RZRCTRSignalCheckHandlers();
void RZRCTRSignalNameLookup(int signal, const char** name, const char** codeName);
