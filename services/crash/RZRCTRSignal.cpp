#include "services/crash/RZRCTRSignal.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/dispatch/WorkerThreads.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/RZRCTRHandler.h"
#include "services/crash/RZRCTRMemory.h"
#include "services/crash/RZRCTRProcess.h"
#include "services/crash/RZRCTRSDKLog.h"

namespace {

int gStackAnswers;  // futex word: threads that have answered the stack request

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

bool isFunction(const struct sigaction& action) {
    return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN &&
           action.sa_handler != nullptr;
}

void altStackRequest(int, siginfo_t*, void* raw) {
    const int saved = errno;
    RZRCTRSignalInstallAltStackForCurrentThread();
    // Returning from a handler puts back the alternate stack saved in its
    // frame: make that the new one.
    stack_t installed{};
    if (raw != nullptr && ::sigaltstack(nullptr, &installed) == 0)
        static_cast<ucontext_t*>(raw)->uc_stack = installed;
    __atomic_add_fetch(&gStackAnswers, 1, __ATOMIC_RELEASE);
    ::syscall(SYS_futex, &gStackAnswers, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    errno = saved;
}

// Asks every other thread to give itself an alternate stack, and waits a
// short while for the answers.
void installAltStacksOnOtherThreads() {
    const int request = SIGRTMIN + 5;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_sigaction = altStackRequest;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (::sigaction(request, &action, &previous) != 0) return;
    __atomic_store_n(&gStackAnswers, 0, __ATOMIC_RELEASE);
    const pid_t self = currentThread();
    int asked = 0;
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    alignas(8) char buffer[4096];
    for (long got; fd >= 0 && (got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0;) {
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            pid_t thread = 0;
            for (const char* c = entry->d_name; *c >= '0' && *c <= '9'; ++c)
                thread = thread * 10 + (*c - '0');
            if (thread == 0 || thread == self) continue;
            if (::syscall(SYS_tgkill, ::getpid(), thread, request) == 0) ++asked;
        }
    }
    if (fd >= 0) ::close(fd);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (int answered; (answered = __atomic_load_n(&gStackAnswers, __ATOMIC_ACQUIRE)) < asked;) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long spent =
            (now.tv_sec - start.tv_sec) * 1'000'000'000LL + (now.tv_nsec - start.tv_nsec);
        if (spent >= 500'000'000LL) break;
        const timespec timeout{0, static_cast<long>(500'000'000LL - spent)};
        ::syscall(SYS_futex, &gStackAnswers, FUTEX_WAIT, answered, &timeout, nullptr, 0);
    }
    ::sigaction(request, &previous, nullptr);
}

pid_t gRecordingThread;

thread_local void* tOwnedAltStack;
pthread_introspection_hook_t gEarlierThreadHook;

// Threads the platform starts after set-up get their alternate stack before
// they run anything, and give it back as they leave.
void threadHook(unsigned int event, pthread_t thread, void* addr, std::size_t size) {
    if (event == PTHREAD_INTROSPECTION_THREAD_START) {
        RZRCTRSignalInstallAltStackForCurrentThread();
    } else if (event == PTHREAD_INTROSPECTION_THREAD_TERMINATE && tOwnedAltStack != nullptr) {
        stack_t disable{};
        disable.ss_flags = SS_DISABLE;
        if (::sigaltstack(&disable, nullptr) == 0) {
            ::munmap(tOwnedAltStack, kRZRCTRSignalStackSize);
            tOwnedAltStack = nullptr;
        }
    }
    const pthread_introspection_hook_t earlier =
        __atomic_load_n(&gEarlierThreadHook, __ATOMIC_ACQUIRE);
    if (earlier != nullptr) earlier(event, thread, addr, size);
}

void installThreadHook() {
    static bool installed = false;
    if (__atomic_exchange_n(&installed, true, __ATOMIC_ACQ_REL)) return;
    __atomic_store_n(&gEarlierThreadHook, pthread_introspection_hook_install(threadHook),
                     __ATOMIC_RELEASE);
}

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
    RZRCTRHandler(&file, currentThread(), context);
    RZRCTRFileClose(&file);
    (void)signal;
}

}  // namespace

bool RZRCTRSignalClaimCrashForCurrentThread() {
    if (RZRCTRContextMarkAndCheckIfCrashed()) return false;
    __atomic_store_n(&gRecordingThread, currentThread(), __ATOMIC_SEQ_CST);
    return true;
}

bool RZRCTRSignalIsRecordingThread() {
    return __atomic_load_n(&gRecordingThread, __ATOMIC_SEQ_CST) == currentThread();
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
    tOwnedAltStack = memory;
    return true;
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
        RZRCTRSDKLogError("Unable to reset the signal log file %s", std::strerror(errno));
    }
    stack_t stack{};
    stack.ss_sp = _rzrctrContext.readonly->signalStack;
    stack.ss_size = kRZRCTRSignalStackSize;
    context->originalStack = stack_t{};
    if (::sigaltstack(&stack, &context->originalStack) != 0) {
        RZRCTRSDKLogError("Unable to setup stack %s", std::strerror(errno));
    }
    // Set-up runs on one thread; a crash may come on any other, also on one
    // started later.
    installThreadHook();
    installAltStacksOnOtherThreads();
    for (int i = 0; i < kRZRCTRSignalCount; ++i) {
        struct sigaction action {};
        action.sa_sigaction = RZRCTRSignalHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        struct sigaction previous {};
        std::memset(static_cast<void*>(&context->originalActions[i]), 0,
                    sizeof context->originalActions[i]);
        if (::sigaction(kRZRCTRHandledSignals[i], &action, &previous) != 0) {
            RZRCTRSDKLogError("Unable to install handler for %d (%s)", kRZRCTRHandledSignals[i],
                              std::strerror(errno));
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
            RZRCTRSDKLogError("Unable to set default handler for %d (%s)", signal,
                              std::strerror(errno));
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
            RZRCTRSDKLogError("Unable to setup stack %s", std::strerror(errno));
            success = false;
        }
    }
    for (int i = 0; i < kRZRCTRSignalCount; ++i) {
        const struct sigaction& saved = context->originalActions[i];
        if (saved.sa_handler == nullptr) continue;
        if (::sigaction(kRZRCTRHandledSignals[i], &saved, nullptr) != 0) {
            RZRCTRSDKLogError("Unable to install handler for %d (%s)", kRZRCTRHandledSignals[i],
                              std::strerror(errno));
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
            RZRCTRSignalSafeInstallPreexistingHandlers(&readonly->signal, signal, info,
                                                       userContext);
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
    bool handledByEarlierFunction = false;
    for (int i = 0; i < kRZRCTRSignalCount; ++i)
        if (kRZRCTRHandledSignals[i] == signal)
            handledByEarlierFunction = isFunction(readonly->signal.originalActions[i]);
    RZRCTRSignalSafeInstallPreexistingHandlers(&readonly->signal, signal, info, userContext);
    // A signal sent with kill or raise has no faulting instruction to run
    // again: send it once more, now under the default action put back
    // above (abort sends its own second one).
    if (info != nullptr && info->si_code <= 0 && signal != SIGABRT && !handledByEarlierFunction) {
        ::syscall(SYS_tgkill, ::getpid(), currentThread(), signal);
    }
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
