#include "services/crash/RZRCTRSignal.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHandler.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRProcess.h"
#include "services/crash/RZRCTRSDKLog.h"

namespace {

pid_t gRecordingThread;

bool isFunction(const struct sigaction& action) {
    return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN &&
           action.sa_handler != nullptr;
}

// The alternate stack a thread mapped for itself, given back as it leaves.
struct OwnedAltStack {
    void* memory = nullptr;
    ~OwnedAltStack() {
        if (memory == nullptr) return;
        stack_t disable{};
        disable.ss_flags = SS_DISABLE;
        if (::sigaltstack(&disable, nullptr) == 0) ::munmap(memory, kRZRCTRSignalStackSize);
        memory = nullptr;
    }
};
thread_local OwnedAltStack tOwnedAltStack;

using ThreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* startWithAltStack(void* raw) {
    const ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    RZRCTRSignalInstallAltStackForCurrentThread();
    return start.routine(start.argument);
}

ThreadCreate nextThreadCreate() {
    static ThreadCreate next = reinterpret_cast<ThreadCreate>(::dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

// The main thread has its stack before anything runs; set-up may happen on
// another thread.
const bool gMainThreadStack = RZRCTRSignalInstallAltStackForCurrentThread();

void recordSignal(int signal, const siginfo_t* info, int savedErrno, const ucontext_t* context) {
    RZRCTRFile file;
    if (!RZRCTRFileInitWithPathMode(&file, _rzrctrContext.readonly->signal.path, true, false)) {
        RZRCTRSDKLogError("Unable to open signal file");
        return;
    }
    RZRCTRFileOpenSection(&file, "signal");
    RZRCTRFileOpenHash(&file);
    if (info != nullptr) {
        const char* name = nullptr;
        const char* codeName = nullptr;
        RZRCTRSignalNameLookup(info->si_signo, &name, &codeName);
        RZRCTRFileWriteUInt64Entry(
            &file, "number", static_cast<std::uint64_t>(static_cast<std::int64_t>(info->si_signo)));
        RZRCTRFileWriteUInt64Entry(
            &file, "code", static_cast<std::uint64_t>(static_cast<std::int64_t>(info->si_code)));
        RZRCTRFileWriteUInt64Entry(&file, "address",
                                   reinterpret_cast<std::uint64_t>(info->si_addr));
        RZRCTRFileWriteStringEntry(&file, "name", name);
        RZRCTRFileWriteStringEntry(&file, "code_name", codeName);
    }
    RZRCTRFileWriteUInt64Entry(&file, "errno",
                               static_cast<std::uint64_t>(static_cast<std::int64_t>(savedErrno)));
    RZRCTRFileWriteUInt64Entry(&file, "time", static_cast<std::uint64_t>(::time(nullptr)));
    RZRCTRFileCloseHash(&file);
    RZRCTRFileCloseSection(&file);
    RZRCTRHandler(&file, RZRCTRProcessCurrentThread(), context);
    RZRCTRFileClose(&file);
    (void)signal;
}

// The earlier actions come back and the process goes on as it would have
// without us: an earlier handler function decides for itself and an ignored
// signal stays ignored. Under the default action the signal is sent once
// more, whatever raised it: a trap or a seccomp SIGSYS has no instruction to
// run again, and a signal from raise or kill none at all.
void endAsWithoutUs(const RZRCTRReadOnlyContext* readonly, int signal, siginfo_t* info,
                    void* userContext) {
    bool byDefault = true;
    for (int i = 0; i < kRZRCTRSignalCount; ++i)
        if (kRZRCTRHandledSignals[i] == signal)
            byDefault = readonly->signal.originalActions[i].sa_handler == SIG_DFL;
    RZRCTRSignalSafeInstallPreexistingHandlers(
        const_cast<RZRCTRSignalReadOnlyContext*>(&readonly->signal), signal, info, userContext);
    if (!byDefault) return;
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::syscall(SYS_tgkill, ::getpid(), RZRCTRProcessCurrentThread(), signal);
}

}  // namespace

bool RZRCTRSignalClaimCrashForCurrentThread() {
    if (RZRCTRContextMarkAndCheckIfCrashed()) return false;
    __atomic_store_n(&gRecordingThread, RZRCTRProcessCurrentThread(), __ATOMIC_SEQ_CST);
    return true;
}

bool RZRCTRSignalIsRecordingThread() {
    return __atomic_load_n(&gRecordingThread, __ATOMIC_SEQ_CST) == RZRCTRProcessCurrentThread();
}

bool RZRCTRSignalInstallAltStackForCurrentThread() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return true;
    void* memory = ::mmap(nullptr, kRZRCTRSignalStackSize, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return false;
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kRZRCTRSignalStackSize;
    if (::sigaltstack(&stack, nullptr) != 0) {
        ::munmap(memory, kRZRCTRSignalStackSize);
        return false;
    }
    tOwnedAltStack.memory = memory;
    return true;
}

// Every thread the program starts, by the platform or by std::thread, gets
// its alternate stack before it runs anything: a stack overflow can only be
// recorded on one, and no thread can be given one from outside.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) noexcept {
    const ThreadCreate next = nextThreadCreate();
    if (next == nullptr) return EAGAIN;
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (start == nullptr) return EAGAIN;
    const int result = next(thread, attributes, startWithAltStack, start);
    if (result != 0) delete start;
    return result;
}

void RZRCTRSignalNameLookup(int signal, const char** name, const char** codeName) {
    *codeName = nullptr;
    switch (signal) {
        case SIGILL:
            *name = "SIGILL";
            break;
        case SIGTRAP:
            *name = "SIGTRAP";
            break;
        case SIGABRT:
            *name = "SIGABRT";
            *codeName = "ABORT";
            break;
        case SIGFPE:
            *name = "SIGFPE";
            break;
        case SIGBUS:
            *name = "SIGBUS";
            break;
        case SIGSEGV:
            *name = "SIGSEGV";
            break;
        case SIGSYS:
            *name = "SIGSYS";
            break;
        default:
            *name = "UNKNOWN";
            break;
    }
}

void RZRCTRSignalInitialize(RZRCTRSignalReadOnlyContext* context) {
    if (!RZRCTRUnlinkIfExists(context->path)) {
        RZRCTRSDKLogError("Unable to reset the signal log file (errno %d)", errno);
    }
    stack_t stack{};
    stack.ss_sp = _rzrctrContext.readonly->signalStack;
    stack.ss_size = kRZRCTRSignalStackSize;
    context->originalStack = stack_t{};
    if (::sigaltstack(&stack, &context->originalStack) != 0) {
        RZRCTRSDKLogError("Unable to setup stack (errno %d)", errno);
    }
    (void)gMainThreadStack;
    for (int i = 0; i < kRZRCTRSignalCount; ++i) {
        struct sigaction action {};
        action.sa_sigaction = RZRCTRSignalHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        struct sigaction previous {};
        std::memset(static_cast<void*>(&context->originalActions[i]), 0,
                    sizeof context->originalActions[i]);
        if (::sigaction(kRZRCTRHandledSignals[i], &action, &previous) != 0) {
            RZRCTRSDKLogError("Unable to install handler for %d (errno %d)",
                              kRZRCTRHandledSignals[i], errno);
            continue;
        }
        if (previous.sa_handler != nullptr) context->originalActions[i] = previous;
    }
}

void RZRCTRSignalSafeRemoveHandlers(bool includeAbort) {
    for (const int signal : kRZRCTRHandledSignals) {
        if (!includeAbort && signal == SIGABRT) continue;
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        if (::sigaction(signal, &action, nullptr) != 0) {
            RZRCTRSDKLogError("Unable to set default handler for %d (errno %d)", signal, errno);
        }
    }
}

bool RZRCTRSignalSafeInstallPreexistingHandlers(RZRCTRSignalReadOnlyContext* context, int signal,
                                                siginfo_t* info, void* userContext) {
    bool success = true;
    RZRCTRSignalSafeRemoveHandlers(true);
    if (context->originalStack.ss_sp != nullptr) {
        // A handler running on our stack cannot swap it out (EPERM); the
        // earlier actions below matter more than the stack, so go on.
        stack_t current{};
        const bool onOurStack =
            ::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK) != 0;
        if (!onOurStack && ::sigaltstack(&context->originalStack, nullptr) != 0) {
            RZRCTRSDKLogError("Unable to setup stack (errno %d)", errno);
            success = false;
        }
    }
    for (int i = 0; i < kRZRCTRSignalCount; ++i) {
        const struct sigaction& saved = context->originalActions[i];
        if (saved.sa_handler == nullptr) continue;
        if (::sigaction(kRZRCTRHandledSignals[i], &saved, nullptr) != 0) {
            RZRCTRSDKLogError("Unable to install handler for %d (errno %d)",
                              kRZRCTRHandledSignals[i], errno);
            success = false;
        }
        // SIG_IGN and SIG_DFL are actions, not functions to call.
        if (signal < 0 || signal != kRZRCTRHandledSignals[i] || !isFunction(saved)) continue;
        if ((saved.sa_flags & SA_SIGINFO) != 0) {
            saved.sa_sigaction(signal, info, userContext);
        } else {
            saved.sa_handler(signal);
        }
    }
    return success;
}

void RZRCTRSignalHandler(int signal, siginfo_t* info, void* userContext) {
    const int savedErrno = errno;
    errno = 0;
    RZRCTRSDKLogInfo("Signal: %d", signal);
    sigset_t all;
    sigfillset(&all);
    if (::sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0) {
        RZRCTRSDKLogError("Unable to unmask signals - we risk infinite recursion here");
    }
    if (reinterpret_cast<std::uintptr_t>(info) < kRZRCTRMinimumValidAddress) info = nullptr;
    if (reinterpret_cast<std::uintptr_t>(userContext) < kRZRCTRMinimumValidAddress)
        userContext = nullptr;
    RZRCTRReadOnlyContext* readonly = __atomic_load_n(&_rzrctrContext.readonly, __ATOMIC_SEQ_CST);
    if (readonly == nullptr) {
        RZRCTRSignalSafeRemoveHandlers(true);
        errno = savedErrno;
        return;
    }
    // The handlers stay in place while recording, so that other threads
    // crashing at the same moment wait here instead of ending the process
    // under the default action before the record is complete.
    if (!RZRCTRSignalClaimCrashForCurrentThread()) {
        if (RZRCTRSignalIsRecordingThread()) {
            // The abort after a recorded exception, or a fault while
            // recording: no second record; the earlier actions end the
            // process.
            endAsWithoutUs(readonly, signal, info, userContext);
            errno = savedErrno;
            return;
        }
        RZRCTRSDKLogError("Error: aborting signal handler because crash has already occurred");
        // The recording thread ends the process. Should that never happen,
        // leave without exit(3), which runs atexit handlers and flushes stdio.
        for (int i = 0; i < 100; ++i) {
            const timespec pause{0, 100'000'000};
            ::nanosleep(&pause, nullptr);
        }
        ::_exit(1);
    }
    recordSignal(signal, info, savedErrno, static_cast<const ucontext_t*>(userContext));
    endAsWithoutUs(readonly, signal, info, userContext);
    errno = savedErrno;
}

void RZRCTRSignalCheckHandlers() {
    const RZRCTRReadOnlyContext* readonly =
        __atomic_load_n(&_rzrctrContext.readonly, __ATOMIC_SEQ_CST);
    if (readonly != nullptr ? readonly->debuggerAttached : RZRCTRProcessDebuggerAttached()) return;
    for (const int signal : kRZRCTRHandledSignals) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) != 0) {
            std::fprintf(stderr, "Unable to read signal handler\n");
            continue;
        }
        if (action.sa_sigaction == RZRCTRSignalHandler) continue;
        const char* name = nullptr;
        const char* codeName = nullptr;
        RZRCTRSignalNameLookup(signal, &name, &codeName);
        Dl_info symbol{};
        const char* symbolName = nullptr;
        if (::dladdr(reinterpret_cast<void*>(action.sa_handler), &symbol) != 0)
            symbolName = symbol.dli_sname;
        std::fprintf(stderr,
                     "[Crashtrace] The signal %s has a non-Crashtrace handler (%s).  This will "
                     "interfere with reporting.\n",
                     name, symbolName != nullptr ? symbolName : "(null)");
    }
}
