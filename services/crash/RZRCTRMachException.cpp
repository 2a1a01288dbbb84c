#include "services/crash/RZRCTRMachException.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHandler.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRSignal.h"

namespace {

constexpr const char* kServerThreadName = "com.zevera.reruzera.crashtrace.MachExceptionServer";
// Thread names hold 15 characters here.
constexpr const char* kServerThreadShortName = "MachExcServer";

}  // namespace

void RZRCTRMachExceptionNameLookup(exception_type_t exception, mach_exception_data_type_t code,
                                   const char** name, const char** codeName) {
    *name = nullptr;
    *codeName = nullptr;
    switch (exception) {
        case EXC_BAD_ACCESS:
            *name = "EXC_BAD_ACCESS";
            if (code == KERN_INVALID_ADDRESS) *codeName = "KERN_INVALID_ADDRESS";
            if (code == KERN_PROTECTION_FAILURE) *codeName = "KERN_PROTECTION_FAILURE";
            break;
        case EXC_BAD_INSTRUCTION:
            *name = "EXC_BAD_INSTRUCTION";
            break;
        case EXC_ARITHMETIC:
            *name = "EXC_ARITHMETIC";
            break;
        case EXC_BREAKPOINT:
            *name = "EXC_BREAKPOINT";
            break;
        case EXC_GUARD:
            *name = "EXC_GUARD";
            break;
        default:
            break;
    }
}

exception_mask_t RZRCTRMachExceptionMaskForSignal(int signal) {
    switch (signal) {
        case SIGILL:
            return EXC_MASK_BAD_INSTRUCTION;
        case SIGTRAP:
            return EXC_MASK_BREAKPOINT;
        case SIGABRT:
        case SIGSYS:
            return EXC_MASK_CRASH;
        case SIGFPE:
            return EXC_MASK_ARITHMETIC;
        case SIGBUS:
        case SIGSEGV:
            return EXC_MASK_BAD_ACCESS;
        default:
            return 0;
    }
}

void RZRCTRMachExceptionInit(RZRCTRMachExceptionReadOnlyContext* context) {
    if (!RZRCTRUnlinkIfExists(context->path)) {
        RZRCTRSDKLogError("Unable to reset the mach exception file %s", std::strerror(errno));
    }
    if (!RZRCTRMachExceptionRegister(context)) {
        RZRCTRSDKLogError("Unable to register mach exception handler");
        return;
    }
    if (!RZRCTRMachExceptionThreadStart(context)) {
        RZRCTRSDKLogError("Unable to start thread");
        RZRCTRMachExceptionUnregister(&context->originalPorts, context->mask);
    }
}

bool RZRCTRMachExceptionRegister(RZRCTRMachExceptionReadOnlyContext* context) {
    const task_t task = mach_task_self();
    mach_port_t port = MACH_PORT_NULL;
    kern_return_t result = mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &port);
    if (result != KERN_SUCCESS) {
        RZRCTRSDKLogError("Error: mach_port_allocate failed %d", result);
        return false;
    }
    result = mach_port_insert_right(task, port, port, MACH_MSG_TYPE_MAKE_SEND);
    if (result != KERN_SUCCESS) {
        RZRCTRSDKLogError("Error: mach_port_insert_right failed %d", result);
        mach_port_deallocate(task, port);
        return false;
    }
    context->port = port;
    context->mask = kRZRCTRMachExceptionMask;
    RZRCTRMachExceptionOriginalPorts& original = context->originalPorts;
    original = RZRCTRMachExceptionOriginalPorts{};
    mach_msg_type_number_t count = kRZRCTRMachExceptionTypesCount;
    result = task_swap_exception_ports(
        task, context->mask, port, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, THREAD_STATE_NONE,
        original.masks, &count, original.ports, original.behaviors, original.flavors);
    if (result != KERN_SUCCESS) {
        RZRCTRSDKLogError("Error: task_swap_exception_ports %d", result);
        return false;
    }
    original.count = count;
    for (std::uint32_t i = 0; i < original.count; ++i) {
        RZRCTRSDKLogInfo("original 0x%x 0x%x 0x%x 0x%x", original.ports[i], original.masks[i],
                         original.behaviors[i], original.flavors[i]);
    }
    return true;
}

bool RZRCTRMachExceptionThreadStart(RZRCTRMachExceptionReadOnlyContext* context) {
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0) {
        RZRCTRSDKLogError("pthread_attr_init %s", std::strerror(error));
        return false;
    }
    bool started = false;
    pthread_t thread{};
    if ((error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED)) != 0) {
        RZRCTRSDKLogError("pthread_attr_setdetachstate %s", std::strerror(error));
    } else if ((error = ::pthread_attr_setstack(&attributes, _rzrctrContext.readonly->machStack,
                                                kRZRCTRMachExceptionStackSize)) != 0) {
        RZRCTRSDKLogError("pthread_attr_setstack %s", std::strerror(error));
    } else if ((error = ::pthread_create(&thread, &attributes, RZRCTRMachExceptionServer,
                                         context)) != 0) {
        RZRCTRSDKLogError("pthread_create %s", std::strerror(error));
    } else {
        context->thread = static_cast<std::uintptr_t>(thread);
        started = true;
    }
    ::pthread_attr_destroy(&attributes);
    return started;
}

bool RZRCTRMachExceptionUnregister(const RZRCTRMachExceptionOriginalPorts* originalPorts,
                                   exception_mask_t mask) {
    const task_t task = mach_task_self();
    for (std::uint32_t i = 0; i < originalPorts->count && i < kRZRCTRMachExceptionTypesCount; ++i) {
        if (task_set_exception_ports(task, originalPorts->masks[i], originalPorts->ports[i],
                                     originalPorts->behaviors[i],
                                     originalPorts->flavors[i]) != KERN_SUCCESS) {
            RZRCTRSDKLogError("unable to restore original port: %d", originalPorts->ports[i]);
        }
        mask &= ~originalPorts->masks[i];
    }
    if (mask != 0 && task_set_exception_ports(task, mask, MACH_PORT_NULL,
                                              EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES,
                                              THREAD_STATE_NONE) != KERN_SUCCESS) {
        RZRCTRSDKLogError("unable to unset unregistered mask: 0x%x", mask);
        return false;
    }
    return true;
}

void* RZRCTRMachExceptionServer(void* raw) {
    const auto* context = static_cast<const RZRCTRMachExceptionReadOnlyContext*>(raw);
    if (::pthread_setname_np(::pthread_self(), kServerThreadName) != 0)
        ::pthread_setname_np(::pthread_self(), kServerThreadShortName);
    for (;;) {
        mach_exception_raise_request_t message;
        if (!RZRCTRMachExceptionReadMessage(context, &message)) break;
        if (!RZRCTRMachExceptionDispatchMessage(context, &message)) break;
    }
    RZRCTRSDKLogError("Mach exception server thread exiting");
    return nullptr;
}

bool RZRCTRMachExceptionReadMessage(const RZRCTRMachExceptionReadOnlyContext* context,
                                    mach_exception_raise_request_t* message) {
    std::memset(static_cast<void*>(message), 0, sizeof *message);
    const mach_msg_return_t result =
        mach_msg(&message->Head, MACH_RCV_MSG | MACH_RCV_LARGE, 0, sizeof *message, context->port,
                 MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (result != MACH_MSG_SUCCESS) {
        RZRCTRSDKLogError("Error receving mach_msg (%d)", result);
        return false;
    }
    return true;
}

bool RZRCTRMachExceptionDispatchMessage(const RZRCTRMachExceptionReadOnlyContext* context,
                                        mach_exception_raise_request_t* message) {
    RZRCTRSDKLogInfo("Accepted mach exception message");
    const std::uint32_t codes = message->codeCnt < 2 ? message->codeCnt : 2;
    message->codeCnt = codes;
    // The SDK log prints 64-bit values only as pointers.
    const auto code = [&](std::uint32_t index) {
        const mach_exception_data_type_t value = codes > index ? message->code[index] : -1;
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(value));
    };
    RZRCTRSDKLogInfo("Mach exception: 0x%x, count: %d, code: %p %p", message->exception, codes,
                     code(0), code(1));
    kern_return_t result = KERN_FAILURE;
    if (message->task.name != mach_task_self()) {
        RZRCTRSDKLogError("Mach exception task mis-match, returning failure");
    } else if (RZRCTRContextMarkAndCheckIfCrashed()) {
        // A signal handler is recording now and ends the process: leave
        // ports and signal actions as they are, so that the fault reaches it
        // and waits there.
        RZRCTRSDKLogError(
            "Error: aborting mach exception handler because crash has already occurred");
    } else {
        RZRCTRSDKLogInfo("Unregistering handler");
        if (!RZRCTRMachExceptionUnregister(&context->originalPorts, context->mask))
            RZRCTRSDKLogError("Failed to unregister");
        RZRCTRSDKLogInfo("Recording mach exception");
        result = RZRCTRMachExceptionRecord(context, message);
        if (result != KERN_SUCCESS) RZRCTRSDKLogError("Failed to record mach exception");
        // Only now: our signal handlers hold any other thread that crashes
        // while the record is being written.
        RZRCTRSDKLogInfo("Restoring original signal handlers");
        RZRCTRReadOnlyContext* readonly = _rzrctrContext.readonly;
        if (readonly == nullptr ||
            !RZRCTRSignalSafeInstallPreexistingHandlers(&readonly->signal, -1, nullptr, nullptr))
            RZRCTRSDKLogError("Failed to restore signal handlers");
    }
    return RZRCTRMachExceptionReply(message, result);
}

kern_return_t RZRCTRMachExceptionRecord(const RZRCTRMachExceptionReadOnlyContext* context,
                                        const mach_exception_raise_request_t* message) {
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPathMode(&file, context->path, true, false)) {
        RZRCTRSDKLogError("Unable to open mach exception file");
        return KERN_FAILURE;
    }
    const char* name = nullptr;
    const char* codeName = nullptr;
    RZRCTRMachExceptionNameLookup(message->exception, message->codeCnt > 0 ? message->code[0] : 0,
                                  &name, &codeName);
    RZRCTRFileOpenSection(&file, "mach_exception");
    RZRCTRFileOpenHash(&file);
    RZRCTRFileWriteUInt64Entry(
        &file, "exception",
        static_cast<std::uint64_t>(static_cast<std::int64_t>(message->exception)));
    RZRCTRFileWriteKey(&file, "codes");
    RZRCTRFileOpenArray(&file);
    for (std::uint32_t i = 0; i < message->codeCnt; ++i)
        RZRCTRFileAppendUInt64(&file, static_cast<std::uint64_t>(message->code[i]));
    RZRCTRFileCloseArray(&file);
    RZRCTRFileWriteStringEntry(&file, "name", name);
    RZRCTRFileWriteStringEntry(&file, "code_name", codeName);
    RZRCTRFileWriteUInt64Entry(&file, "original_ports", context->originalPorts.count);
    RZRCTRFileWriteUInt64Entry(&file, "time", static_cast<std::uint64_t>(::time(nullptr)));
    RZRCTRFileCloseHash(&file);
    RZRCTRFileCloseSection(&file);
    RZRCTRHandler(&file, static_cast<pid_t>(message->thread.name), nullptr);
    RZRCTRFileClose(&file);
    return KERN_SUCCESS;
}

bool RZRCTRMachExceptionReply(const mach_exception_raise_request_t* message, kern_return_t result) {
    mach_exception_raise_reply_t reply;
    std::memset(static_cast<void*>(&reply), 0, sizeof reply);
    reply.Head.msgh_bits = message->Head.msgh_bits & MACH_MSGH_BITS_REMOTE_MASK;
    reply.Head.msgh_size = sizeof reply;
    reply.Head.msgh_remote_port = message->Head.msgh_local_port;
    reply.Head.msgh_local_port = MACH_PORT_NULL;
    reply.Head.msgh_id = message->Head.msgh_id + 100;
    reply.NDR = message->NDR;
    reply.RetCode = result;
    RZRCTRSDKLogInfo("Sending exception reply");
    const mach_msg_return_t sent = mach_msg(&reply.Head, MACH_SEND_MSG, sizeof reply, 0,
                                            MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (sent != MACH_MSG_SUCCESS) {
        RZRCTRSDKLogError("mach_msg reply failed (%d)", sent);
        return false;
    }
    RZRCTRSDKLogInfo("Exception reply delivered");
    return true;
}

void RZRCTRMachExceptionCheckHandlers() {
    const RZRCTRReadOnlyContext* readonly =
        __atomic_load_n(&_rzrctrContext.readonly, __ATOMIC_SEQ_CST);
    if (readonly != nullptr && readonly->debuggerAttached) return;
}
