#pragma once
// The recording sequence every crash path ends in: all other threads
// stopped, each thread's registers and unwound stack, runtime hints, thread
// names, process statistics and free storage, then the threads resumed.
//
// Crash-time code: no allocation, no locks, no stdio; only system calls and
// the SDK log.

#include <sys/types.h>
#include <ucontext.h>

struct RZRCTRFile;

void RZRCTRHandler(RZRCTRFile* file, pid_t crashedThread, const ucontext_t* userContext);
