#include "services/crash/RZRCTRSignal.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/runtime/Runtime.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using nlohmann::json;

__attribute__((noinline)) void nullDereference() {
    *static_cast<volatile int*>(nullptr) = 1;
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void divideByZero() {
    volatile int numerator = 7;
    volatile int zero = 0;
    volatile int result = numerator / zero;
    (void)result;
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void illegalInstruction() {
    __builtin_trap();
}
__attribute__((noinline)) void callAbort() {
    std::abort();
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void raiseAbort() {
    ::raise(SIGABRT);
    asm volatile("" ::: "memory");
}
// A breakpoint trap: the kernel reports it with the PC already past the
// instruction, so returning from the handler would carry on.
__attribute__((noinline)) void breakpointTrap() {
    asm volatile("int3" ::: "memory");
}
// A system call the process's own filter refuses with SIGSYS.
__attribute__((noinline)) void refusedSystemCall() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getppid, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
    ::syscall(SYS_getppid);
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) int overflowStack(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth < 0) return 0;
    return overflowStack(depth + 1) + pad[0];
}

// Sets its frame pointer to the records it is given, which link to each
// other, and faults: every step of a walk through its call-frame
// information (CFA = frame pointer + 16) leads to the other record.
extern "C" void cycleOfFramesAndFault(std::uint64_t* records);
extern "C" char cycleOfFramesBody[];
asm(R"(
    .text
    .globl cycleOfFramesAndFault
    .type cycleOfFramesAndFault, @function
cycleOfFramesAndFault:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdi, %rbp
    .globl cycleOfFramesBody
cycleOfFramesBody:
    nop
    nop
    movl $1, 0
    ud2
    .cfi_endproc
    .size cycleOfFramesAndFault, .-cycleOfFramesAndFault
)");

int gEarlierCalls[2];
void earlierHandler(int signal, siginfo_t* info, void* context) {
    const char bytes[2] = {static_cast<char>(signal),
                           info != nullptr && context != nullptr ? 'i' : '-'};
    ::write(gEarlierCalls[1], bytes, 2);
    ::_exit(42);
}

class SignalTest : public crashtest::CrashFixture {
  protected:
    void initialize() {
        RZRCTRContextInstallers installers;
        installers.binaryImages = [] {
            RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                                  &_rzrctrContext.writable->binaryImage);
        };
        installers.signal = [] { RZRCTRSignalInitialize(&_rzrctrContext.readonly->signal); };
        RZRCTRContextSetInstallers(installers);
        initializeContext();
        RZRCTRBinaryImageWaitForPendingChanges();
    }
    void TearDown() override {
        if (_rzrctrContext.readonly != nullptr)
            RZRCTRSignalSafeInstallPreexistingHandlers(&_rzrctrContext.readonly->signal, -1,
                                                       nullptr, nullptr);
        for (const int signal : kRZRCTRHandledSignals) ::signal(signal, SIG_DFL);
        CrashFixture::TearDown();
    }

    // Forks a child that runs body with the handlers in place.
    int crashChild(const std::function<void()>& body) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            body();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    std::map<std::string, std::vector<json>> sections() const {
        std::map<std::string, std::vector<json>> out;
        for (const auto& line : crashtest::readLines(file("signal.ctrrecord"))) {
            const json parsed = json::parse(line);
            out[parsed.begin().key()].push_back(parsed.begin().value());
        }
        return out;
    }
};

// Nearest of the crashing functions at or below pc.
const void* crashingFunctionOf(std::uint64_t pc) {
    const void* best = nullptr;
    std::uint64_t bestBase = 0;
    for (const void* start :
         {reinterpret_cast<const void*>(&nullDereference),
          reinterpret_cast<const void*>(&divideByZero),
          reinterpret_cast<const void*>(&illegalInstruction),
          reinterpret_cast<const void*>(&callAbort), reinterpret_cast<const void*>(&raiseAbort),
          reinterpret_cast<const void*>(&breakpointTrap),
          reinterpret_cast<const void*>(&refusedSystemCall),
          reinterpret_cast<const void*>(&overflowStack)}) {
        const auto base = reinterpret_cast<std::uint64_t>(start);
        if (pc >= base && pc < base + 256 && base > bestBase) {
            best = start;
            bestBase = base;
        }
    }
    return best;
}

TEST_F(SignalTest, EachKindOfCrashLeavesOneCompleteRecord) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
    struct Case {
        const char* name;
        void (*crash)();
        const void* function;
        int signal;
        const char* codeName;
    };
    const Case cases[] = {
        {"null dereference", nullDereference, reinterpret_cast<const void*>(&nullDereference),
         SIGSEGV, nullptr},
        {"divide by zero", divideByZero, reinterpret_cast<const void*>(&divideByZero), SIGFPE,
         nullptr},
        {"illegal instruction", illegalInstruction,
         reinterpret_cast<const void*>(&illegalInstruction), SIGILL, nullptr},
        {"abort", callAbort, reinterpret_cast<const void*>(&callAbort), SIGABRT, "ABORT"},
        {"abort raised", raiseAbort, reinterpret_cast<const void*>(&raiseAbort), SIGABRT, "ABORT"},
        {"breakpoint trap", breakpointTrap, reinterpret_cast<const void*>(&breakpointTrap), SIGTRAP,
         nullptr},
        {"system call refused by a filter", refusedSystemCall,
         reinterpret_cast<const void*>(&refusedSystemCall), SIGSYS, nullptr},
        {"stack overflow", [] { overflowStack(0); }, reinterpret_cast<const void*>(&overflowStack),
         SIGSEGV, nullptr},
        {"stack overflow on a later thread",
         [] {
             std::thread([] {
                 RZRCTRSignalInstallAltStackForCurrentThread();
                 overflowStack(0);
             }).join();
         },
         reinterpret_cast<const void*>(&overflowStack), SIGSEGV, nullptr},
        // A plain thread of the program's own: its stack comes with it.
        {"stack overflow on a plain later thread",
         [] { std::thread([] { overflowStack(0); }).join(); },
         reinterpret_cast<const void*>(&overflowStack), SIGSEGV, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(file("signal.ctrrecord"));
        __atomic_store_n(&_rzrctrContext.writable->crashOccurred, false, __ATOMIC_SEQ_CST);
        const int status = crashChild(c.crash);
        EXPECT_TRUE(crashtest::diedOfSignal(status, c.signal)) << status;
        auto all = sections();
        for (const char* name : {"signal", "threads", "runtime", "dispatch_queue_names",
                                 "thread_names", "process_stats", "storage"})
            EXPECT_EQ(all[name].size(), 1u) << name;
        if (all["signal"].size() != 1 || all["threads"].size() != 1) continue;
        const json& signal = all["signal"][0];
        EXPECT_EQ(signal["number"], c.signal);
        if (c.codeName != nullptr) {
            EXPECT_EQ(signal["code_name"], c.codeName);
        } else {
            EXPECT_TRUE(signal["code_name"].is_null());
        }
        int crashed = 0;
        for (const json& thread : all["threads"][0]) {
            if (!thread.value("crashed", false)) continue;
            ++crashed;
            ASSERT_TRUE(thread.contains("stacktrace"));
            ASSERT_FALSE(thread["stacktrace"].empty());
            if (c.function != nullptr) {
                // Frames after the crashed one hold return addresses, which
                // may lie just past a call that ends its function.
                bool inFunction = false;
                for (const json& pc : thread["stacktrace"])
                    for (const std::uint64_t at :
                         {pc.get<std::uint64_t>(), pc.get<std::uint64_t>() - 1})
                        inFunction |= crashingFunctionOf(at) == c.function;
                EXPECT_TRUE(inFunction) << thread["stacktrace"].dump();
            }
        }
        EXPECT_EQ(crashed, 1);
    }
}

TEST_F(SignalTest, ASignalFromAnotherProcessEndsTheProcessAfterRecording) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
    for (const int sent : {SIGBUS, SIGABRT, SIGTRAP}) {
        SCOPED_TRACE(sent);
        std::filesystem::remove(file("signal.ctrrecord"));
        __atomic_store_n(&_rzrctrContext.writable->crashOccurred, false, __ATOMIC_SEQ_CST);
        int ready[2];
        int hold[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(hold), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::write(ready[1], "r", 1);
            char byte;
            ::read(hold[0], &byte, 1);  // nobody writes: only the signal ends this
            ::_exit(7);
        }
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::kill(pid, sent);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(crashtest::diedOfSignal(status, sent)) << status;
        EXPECT_EQ(sections()["signal"].size(), 1u);
        EXPECT_EQ(sections()["storage"].size(), 1u);
        for (const int fd : {ready[0], ready[1], hold[0], hold[1]}) ::close(fd);
    }
}

TEST_F(SignalTest, SeveralThreadsCrashingAtOnceLeaveOneRecord) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
    const int status = crashChild([] {
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back(nullDereference);
        for (auto& thread : threads) thread.join();
    });
    EXPECT_TRUE(crashtest::diedOfSignal(status, SIGSEGV)) << status;
    auto all = sections();
    EXPECT_EQ(all["signal"].size(), 1u);
    ASSERT_EQ(all["threads"].size(), 1u);
    int crashed = 0;
    for (const json& thread : all["threads"][0]) crashed += thread.value("crashed", false) ? 1 : 0;
    EXPECT_EQ(crashed, 1);
    EXPECT_EQ(all["process_stats"].size(), 1u);
    EXPECT_EQ(all["storage"].size(), 1u);
}

TEST_F(SignalTest, EarlierHandlersAreCalledOnceAndIgnoredOnesNever) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    ASSERT_EQ(::pipe(gEarlierCalls), 0);
    struct sigaction earlier {};
    earlier.sa_sigaction = earlierHandler;
    earlier.sa_flags = SA_SIGINFO;
    sigemptyset(&earlier.sa_mask);
    ::sigaction(SIGSEGV, &earlier, nullptr);
    ::signal(SIGTRAP, SIG_IGN);
    initialize();

    int status = crashChild(nullDereference);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << status;
    char calls[8] = {};
    EXPECT_EQ(::read(gEarlierCalls[0], calls, sizeof calls), 2);
    EXPECT_EQ(calls[0], SIGSEGV);
    EXPECT_EQ(calls[1], 'i');
    EXPECT_EQ(sections()["signal"].size(), 1u);

    // An ignored signal stays ignored: the process goes on.
    std::filesystem::remove(file("signal.ctrrecord"));
    status = crashChild([] { ::raise(SIGTRAP); });
    EXPECT_TRUE(crashtest::exitedCleanly(status)) << status;
    EXPECT_EQ(sections()["signal"].size(), 1u);
    ::close(gEarlierCalls[0]);
    ::close(gEarlierCalls[1]);
}

// A worker thread the dispatch pool starts after set-up overflows its stack
// inside a block: recorded on its alternate stack, with its queue's name.
TEST_F(SignalTest, AStackOverflowOnALaterQueueThreadIsRecorded) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
    const int status = crashChild([] {
        ::alarm(20);  // ends a child whose crash went unhandled and hung
        DispatchQueue::create("com.lumbrel.test.overflow")->async([] { overflowStack(0); });
        DispatchSemaphore never;
        never.wait();
    });
    EXPECT_TRUE(crashtest::diedOfSignal(status, SIGSEGV)) << status;
    auto all = sections();
    ASSERT_EQ(all["signal"].size(), 1u);
    ASSERT_EQ(all["threads"].size(), 1u);
    ASSERT_EQ(all["dispatch_queue_names"].size(), 1u);
    const json& threads = all["threads"][0];
    const json& queues = all["dispatch_queue_names"][0];
    ASSERT_EQ(threads.size(), queues.size());
    int crashed = 0;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (!threads[i].value("crashed", false)) continue;
        ++crashed;
        EXPECT_EQ(queues[i], "com.lumbrel.test.overflow");
        bool inFunction = false;
        for (const json& pc : threads[i]["stacktrace"])
            inFunction |= crashingFunctionOf(pc.get<std::uint64_t>()) ==
                          reinterpret_cast<const void*>(&overflowStack);
        EXPECT_TRUE(inFunction) << threads[i]["stacktrace"].dump();
    }
    EXPECT_EQ(crashed, 1);
}

TEST_F(SignalTest, AMessageToAFreedReceiverRecordsItsSelector) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
#ifndef __OPTIMIZE__
    GTEST_SKIP() << "where the dispatcher faults depends on the optimised build";
#endif
    initialize();
    const int status = crashChild([] {
        // Reading the class of a receiver that is long gone.
        objc_msgSendv(reinterpret_cast<RuntimeObject*>(0x40), SEL("crashingSelector:"), {});
    });
    EXPECT_TRUE(crashtest::diedOfSignal(status, SIGSEGV)) << status;
    auto all = sections();
    ASSERT_EQ(all["runtime"].size(), 1u);
    EXPECT_EQ(all["runtime"][0]["objc_selector"], "crashingSelector:");
}

// Writes what the start-up check prints to standard error.
std::string checkHandlersOutput() {
    char path[] = "/tmp/crash-check-XXXXXX";
    const int fd = ::mkstemp(path);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(fd, STDERR_FILENO);
    RZRCTRSignalCheckHandlers();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(fd);
    std::string text = crashtest::readFile(path);
    ::unlink(path);
    return text;
}

TEST_F(SignalTest, TheStartUpCheckNamesHandlersSomeoneElseInstalled) {
    initialize();
    EXPECT_EQ(checkHandlersOutput(), "");
    struct sigaction other {};
    other.sa_handler = reinterpret_cast<void (*)(int)>(&::abort);  // only looked up, never run
    sigemptyset(&other.sa_mask);
    ::sigaction(SIGBUS, &other, nullptr);
    ::signal(SIGTRAP, SIG_IGN);
    EXPECT_EQ(checkHandlersOutput(),
              "[Crashtrace] The signal SIGBUS has a non-Crashtrace handler (abort).  This will "
              "interfere with reporting.\n"
              "[Crashtrace] The signal SIGTRAP has a non-Crashtrace handler ((null)).  This will "
              "interfere with reporting.\n");
}

RZRCTRSignalReadOnlyContext gRestoring;
int handledSlot(int signal) {
    for (int i = 0; i < kRZRCTRSignalCount; ++i)
        if (kRZRCTRHandledSignals[i] == signal) return i;
    return -1;
}

// The handler runs on its alternate stack, where the kernel refuses to put
// back the earlier one: the earlier handler must still be reached.
TEST(SignalRestore, EarlierHandlersComeBackWhileRunningOnTheAlternateStack) {
    const int status = crashtest::runInChild([] {
        std::memset(static_cast<void*>(&gRestoring), 0, sizeof gRestoring);
        static char earlierStack[65536];
        gRestoring.originalStack.ss_sp = earlierStack;
        gRestoring.originalStack.ss_size = sizeof earlierStack;
        struct sigaction earlier {};
        earlier.sa_sigaction = [](int, siginfo_t*, void*) { ::_exit(42); };
        earlier.sa_flags = SA_SIGINFO;
        sigemptyset(&earlier.sa_mask);
        gRestoring.originalActions[handledSlot(SIGTRAP)] = earlier;
        RZRCTRSignalInstallAltStackForCurrentThread();
        struct sigaction ours {};
        ours.sa_sigaction = [](int signal, siginfo_t* info, void* context) {
            RZRCTRSignalSafeInstallPreexistingHandlers(&gRestoring, signal, info, context);
            ::_exit(1);
        };
        ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&ours.sa_mask);
        ::sigaction(SIGTRAP, &ours, nullptr);
        ::raise(SIGTRAP);
        ::_exit(2);
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << status;
}

TEST_F(SignalTest, ThreadsStartedBeforeSetUpGetAnAlternateStack) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    int answer[2];
    int go[2];
    ASSERT_EQ(::pipe(answer), 0);
    ASSERT_EQ(::pipe(go), 0);
    std::thread earlier([&] {
        char byte;
        ::read(go[0], &byte, 1);
        stack_t stack{};
        ::sigaltstack(nullptr, &stack);
        const char enabled = (stack.ss_flags & SS_DISABLE) == 0 ? 'y' : 'n';
        ::write(answer[1], &enabled, 1);
    });
    initialize();
    ::write(go[1], "g", 1);
    char enabled = 0;
    ASSERT_EQ(::read(answer[0], &enabled, 1), 1);
    earlier.join();
    EXPECT_EQ(enabled, 'y');
    for (const int fd : {answer[0], answer[1], go[0], go[1]}) ::close(fd);
}

// Set-up touches no other thread: one that blocks every signal and unblocks
// them later lives on, a poll under way is not cut short, and threads started
// later have their alternate stack.
TEST_F(SignalTest, SetUpLeavesTheOtherThreadsOfAHealthyProcessAlone) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    const int status = crashChild([this] {
        ::alarm(20);
        int wake[2];
        int unblock[2];
        if (::pipe(wake) != 0 || ::pipe(unblock) != 0) ::_exit(10);
        std::atomic<int> blockedReady{0};
        std::atomic<int> pollResult{-2};
        std::atomic<pid_t> pollThread{0};
        std::thread blocked([&] {
            sigset_t all;
            sigfillset(&all);
            ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
            blockedReady = 1;
            char byte;
            while (::read(unblock[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ::pthread_sigmask(SIG_UNBLOCK, &all, nullptr);
        });
        std::thread poller([&] {
            pollThread = static_cast<pid_t>(::syscall(SYS_gettid));
            pollfd entry{wake[0], POLLIN, 0};
            const int got = ::poll(&entry, 1, -1);
            pollResult = got < 0 ? -errno : got;
        });
        // Until the poll is under way in the kernel.
        const auto inPoll = [&] {
            const pid_t thread = pollThread;
            if (thread == 0) return false;
            const std::string syscall =
                crashtest::readFile("/proc/self/task/" + std::to_string(thread) + "/syscall");
            return syscall.rfind("7 ", 0) == 0 || syscall.rfind("271 ", 0) == 0;
        };
        while (blockedReady == 0 || !inPoll()) std::this_thread::yield();
        initialize();
        char lateStack = 0;
        std::thread([&] {
            stack_t stack{};
            ::sigaltstack(nullptr, &stack);
            lateStack = (stack.ss_flags & SS_DISABLE) == 0 ? 'y' : 'n';
        }).join();
        ::write(unblock[1], "u", 1);
        blocked.join();
        ::write(wake[1], "w", 1);
        poller.join();
        if (pollResult != 1) ::_exit(20 + (pollResult == -EINTR ? 1 : 2));
        if (lateStack != 'y') ::_exit(30);
        ::_exit(0);
    });
    EXPECT_TRUE(crashtest::exitedCleanly(status))
        << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                : "exit " + std::to_string(WEXITSTATUS(status)));
    EXPECT_FALSE(std::filesystem::exists(file("signal.ctrrecord")) &&
                 !crashtest::readFile(file("signal.ctrrecord")).empty());
}

class LibraryCrashTest : public SignalTest {
  protected:
    void expectComplete(int status) {
        EXPECT_TRUE(crashtest::diedOfSignal(status, SIGSEGV)) << status;
        auto all = sections();
        for (const char* name : {"signal", "threads", "runtime", "dispatch_queue_names",
                                 "thread_names", "process_stats", "storage"})
            EXPECT_EQ(all[name].size(), 1u) << name;
    }
    std::vector<std::pair<std::string, json>> images() const {
        std::vector<std::pair<std::string, json>> out;
        for (const auto& line : crashtest::readLines(file("binary_images.ctrrecord"))) {
            const json parsed = json::parse(line);
            out.emplace_back(parsed.begin().key(), parsed.begin().value());
        }
        return out;
    }
    const json* crashedThread() {
        static json threads;
        auto all = sections();
        if (all["threads"].size() != 1) return nullptr;
        threads = all["threads"][0];
        for (const json& thread : threads)
            if (thread.value("crashed", false)) return &thread;
        return nullptr;
    }
};

// The library is known at set-up and gone at the crash: its tables must not
// be read, and the record says it went.
TEST_F(LibraryCrashTest, ACallIntoALibraryUnloadedAfterSetUpLeavesACompleteRecord) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    const int status = crashChild([this] {
        ::alarm(20);
        void* handle = ::dlopen(CRASH_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) ::_exit(10);
        initialize();
        auto* answer = reinterpret_cast<int (*)(int)>(::dlsym(handle, "crashTestPluginAnswer"));
        ::dlclose(handle);
        if (::dlopen(CRASH_TEST_PLUGIN, RTLD_NOW | RTLD_NOLOAD) != nullptr) ::_exit(11);
        answer(1);
    });
    expectComplete(status);
    EXPECT_TRUE(std::filesystem::exists(root_ / "previously-crashed"));
    std::string loadedBase;
    bool unloaded = false;
    for (const auto& [kind, entry] : images()) {
        if (kind == "load" && entry["path"] == CRASH_TEST_PLUGIN) loadedBase = entry["base"].dump();
        if (kind == "unload" && !loadedBase.empty() && entry["base"].dump() == loadedBase)
            unloaded = true;
    }
    EXPECT_FALSE(loadedBase.empty());
    EXPECT_TRUE(unloaded);
}

__attribute__((noinline)) void callIntoPlugin(void (*fault)(int*)) {
    fault(nullptr);
    asm volatile("" ::: "memory");
}

// Loaded after set-up, nobody told: the crash finds its image and unwinds
// through its own call-frame information back to the caller.
TEST_F(LibraryCrashTest, ALibraryLoadedAfterSetUpGetsItsImageLineAndAFullUnwind) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
    const int status = crashChild([] {
        ::alarm(20);
        void* handle = ::dlopen(CRASH_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) ::_exit(10);
        callIntoPlugin(reinterpret_cast<void (*)(int*)>(::dlsym(handle, "crashTestPluginFault")));
    });
    expectComplete(status);
    int loads = 0;
    for (const auto& [kind, entry] : images())
        if (kind == "load" && entry["path"] == CRASH_TEST_PLUGIN) ++loads;
    EXPECT_EQ(loads, 1);
    const json* crashed = crashedThread();
    ASSERT_NE(crashed, nullptr);
    bool inCaller = false;
    for (const json& pc : (*crashed)["stacktrace"]) {
        const auto address = pc.get<std::uint64_t>();
        const auto start = reinterpret_cast<std::uint64_t>(&callIntoPlugin);
        inCaller |= address >= start && address < start + 64;
    }
    EXPECT_TRUE(inCaller) << (*crashed)["stacktrace"].dump();
    EXPECT_GE((*crashed)["stacktrace"].size(), 5u) << (*crashed)["stacktrace"].dump();
}

// Frame records that lead to each other, read through call-frame
// information: the walk stops where the stack would go down, and the
// record is whole long before the child's alarm.
TEST_F(SignalTest, ACycleOfFramesThroughCallFrameInformationEndsTheWalk) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
    const int status = crashChild([] {
        ::alarm(20);
        std::uint64_t records[8] = {};
        // Two records above this frame, each naming the other as its caller's.
        records[0] = reinterpret_cast<std::uint64_t>(&records[4]);
        records[1] = reinterpret_cast<std::uint64_t>(cycleOfFramesBody) + 1;
        records[4] = reinterpret_cast<std::uint64_t>(&records[0]);
        records[5] = reinterpret_cast<std::uint64_t>(cycleOfFramesBody) + 1;
        cycleOfFramesAndFault(records);
    });
    EXPECT_TRUE(crashtest::diedOfSignal(status, SIGSEGV)) << status;
    auto all = sections();
    for (const char* name : {"signal", "threads", "runtime", "process_stats", "storage"})
        EXPECT_EQ(all[name].size(), 1u) << name;
    ASSERT_EQ(all["threads"].size(), 1u);
    for (const json& thread : all["threads"][0]) {
        if (!thread.value("crashed", false)) continue;
        EXPECT_LE(thread["stacktrace"].size(), 4u) << thread["stacktrace"].dump();
        EXPECT_FALSE(thread.contains("repeat_count"));
    }
    EXPECT_LT(std::filesystem::file_size(file("sdk.log")), 64u * 1024);
}

}  // namespace
