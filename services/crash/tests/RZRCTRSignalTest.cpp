#include "services/crash/RZRCTRSignal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

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
}
__attribute__((noinline)) int overflowStack(int depth) {
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    if (depth < 0) return 0;
    return overflowStack(depth + 1) + pad[0];
}

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
    for (const void* start : {reinterpret_cast<const void*>(&nullDereference),
                              reinterpret_cast<const void*>(&divideByZero),
                              reinterpret_cast<const void*>(&illegalInstruction),
                              reinterpret_cast<const void*>(&callAbort),
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
        {"abort", callAbort, nullptr, SIGABRT, "ABORT"},
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
                bool inFunction = false;
                for (const json& pc : thread["stacktrace"])
                    inFunction |= crashingFunctionOf(pc.get<std::uint64_t>()) == c.function;
                EXPECT_TRUE(inFunction) << thread["stacktrace"].dump();
            }
        }
        EXPECT_EQ(crashed, 1);
    }
}

TEST_F(SignalTest, ASignalFromAnotherProcessEndsTheProcessAfterRecording) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
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
    ::kill(pid, SIGBUS);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(crashtest::diedOfSignal(status, SIGBUS)) << status;
    EXPECT_EQ(sections()["signal"].size(), 1u);
    for (const int fd : {ready[0], ready[1], hold[0], hold[1]}) ::close(fd);
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

}  // namespace
