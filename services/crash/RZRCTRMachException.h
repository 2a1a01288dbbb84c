#pragma once
// Mach exceptions recorded as crashes. The task's exception ports for bad
// accesses, bad instructions, arithmetic faults, breakpoints and guards are
// taken over; a server thread of its own records each exception and the
// whole process into mach_exception.ctrrecord from outside the crashed
// thread, puts the earlier ports and signal actions back and replies, so
// that the faulting thread goes on into whatever handled the fault before.
//
// What the server thread does between receiving and replying is crash-time
// code: no allocation, no locks, no stdio; only the SDK log.

#include <signal.h>

#include "platform/mach/Mach.h"
#include "services/crash/RZRCTRContext.h"

inline constexpr exception_mask_t kRZRCTRMachExceptionMask =
    EXC_MASK_BAD_ACCESS | EXC_MASK_BAD_INSTRUCTION | EXC_MASK_ARITHMETIC | EXC_MASK_BREAKPOINT |
    EXC_MASK_GUARD;

// Resets the record file, takes over the exception ports and starts the
// server thread on the context's preallocated stack. Runs during set-up.
void RZRCTRMachExceptionInit(RZRCTRMachExceptionReadOnlyContext* context);
bool RZRCTRMachExceptionRegister(RZRCTRMachExceptionReadOnlyContext* context);
bool RZRCTRMachExceptionThreadStart(RZRCTRMachExceptionReadOnlyContext* context);
// Puts the earlier ports back and clears the rest of mask.
bool RZRCTRMachExceptionUnregister(const RZRCTRMachExceptionOriginalPorts* originalPorts,
                                   exception_mask_t mask);

// The server thread's body and its steps.
void* RZRCTRMachExceptionServer(void* context);
bool RZRCTRMachExceptionReadMessage(const RZRCTRMachExceptionReadOnlyContext* context,
                                    mach_exception_raise_request_t* message);
// Handles one message and replies; false when the reply could not be sent.
bool RZRCTRMachExceptionDispatchMessage(const RZRCTRMachExceptionReadOnlyContext* context,
                                        mach_exception_raise_request_t* message);
kern_return_t RZRCTRMachExceptionRecord(const RZRCTRMachExceptionReadOnlyContext* context,
                                        const mach_exception_raise_request_t* message);
bool RZRCTRMachExceptionReply(const mach_exception_raise_request_t* message, kern_return_t result);

// Start-up check: reads the debugger flag and nothing else.
void RZRCTRMachExceptionCheckHandlers();
exception_mask_t RZRCTRMachExceptionMaskForSignal(int signal);
void RZRCTRMachExceptionNameLookup(exception_type_t exception, mach_exception_data_type_t code,
                                   const char** name, const char** codeName);
