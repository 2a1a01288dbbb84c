#pragma once
// Control surface of the Mach stand-in, for tests and the console only.

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "platform/mach/Mach.h"

namespace sim {

struct MachExceptions {
    // What the kernel would do for a fault on `thread`: send an exception
    // request to the task's port for this exception type and wait for the
    // reply. Answers the reply's return code, or KERN_FAILURE when no port
    // handles the type (the fault then becomes a signal). `task` defaults
    // to the own task; another one stands for a message about a foreign
    // task.
    static kern_return_t raise(pid_t thread, exception_type_t exception,
                               const std::vector<mach_exception_data_type_t>& codes,
                               task_t task = MACH_PORT_NULL);
    // Forgets every port and exception port; receivers waiting on a port get
    // MACH_RCV_PORT_DIED.
    static void reset();
    // A port name for a task that is not this one.
    static task_t foreignTask();
};

}  // namespace sim
