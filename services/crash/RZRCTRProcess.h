#pragma once
// Facts about the own process for the crash context.

// Whether a debugger (any tracer) is attached to the process now.
bool RZRCTRProcessDebuggerAttached();
