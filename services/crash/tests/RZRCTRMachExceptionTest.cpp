#include "services/crash/RZRCTRMachException.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/mach/MachTesting.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRSignal.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using nlohmann::json;

pid_t currentThread() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// What the kernel does for a fault in this function: the thread waits
// while the exception is handled.
__attribute__((noinline)) kern_return_t faultHere(exception_type_t exception,
                                                  std::vector<mach_exception_data_type_t> codes,
                                                  task_t task = MACH_PORT_NULL) {
    const kern_return_t result =
        sim::MachExceptions::raise(currentThread(), exception, codes, task);
    asm volatile("" ::: "memory");
    return result;
}

// The address is opaque to the compiler, which would otherwise drop the
// whole path as undefined.
volatile int* volatile gNowhere = nullptr;
__attribute__((noinline)) void nullDereference() {
    *gNowhere = 1;
}

bool isDefaultAction(int signal) {
    struct sigaction action {};
    ::sigaction(signal, nullptr, &action);
    return action.sa_handler == SIG_DFL;
}

// The exception ports of the task for the mask we take over.
std::vector<std::pair<exception_mask_t, mach_port_t>> exceptionPorts() {
    exception_mask_t masks[EXC_TYPES_COUNT];
    mach_port_t ports[EXC_TYPES_COUNT];
    exception_behavior_t behaviors[EXC_TYPES_COUNT];
    thread_state_flavor_t flavors[EXC_TYPES_COUNT];
    mach_msg_type_number_t count = EXC_TYPES_COUNT;
    task_get_exception_ports(mach_task_self(), kRZRCTRMachExceptionMask, masks, &count, ports,
                             behaviors, flavors);
    std::vector<std::pair<exception_mask_t, mach_port_t>> out;
    for (mach_msg_type_number_t i = 0; i < count; ++i) out.emplace_back(masks[i], ports[i]);
    return out;
}

class MachExceptionTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        sim::MachExceptions::reset();
    }
    void TearDown() override {
        // Ends the server thread of this test.
        sim::MachExceptions::reset();
        if (_rzrctrContext.readonly != nullptr)
            RZRCTRSignalSafeInstallPreexistingHandlers(&_rzrctrContext.readonly->signal, -1,
                                                       nullptr, nullptr);
        for (const int signal : kRZRCTRHandledSignals) ::signal(signal, SIG_DFL);
        CrashFixture::TearDown();
    }
    static RZRCTRContextInstallers installers() {
        RZRCTRContextInstallers installers;
        installers.binaryImages = [] {
            RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                                  &_rzrctrContext.writable->binaryImage);
        };
        installers.signal = [] { RZRCTRSignalInitialize(&_rzrctrContext.readonly->signal); };
        installers.machException = [] {
            RZRCTRMachExceptionInit(&_rzrctrContext.readonly->machException);
        };
        return installers;
    }
    void initialize() {
        RZRCTRContextSetInstallers(installers());
        initializeContext();
        RZRCTRBinaryImageWaitForPendingChanges();
    }
    std::map<std::string, std::vector<json>> sections(const char* name) const {
        std::map<std::string, std::vector<json>> out;
        for (const auto& line : crashtest::readLines(file(name))) {
            const json parsed = json::parse(line);
            out[parsed.begin().key()].push_back(parsed.begin().value());
        }
        return out;
    }
};

// Nearest start at or below pc among the test's own functions.
bool inFaultHere(std::uint64_t pc) {
    const auto base = reinterpret_cast<std::uint64_t>(&faultHere);
    return pc > base && pc <= base + 256;
}

TEST_F(MachExceptionTest, AnExceptionIsRecordedOnceAndTheEarlierHandlersComeBack) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    const struct {
        exception_type_t exception;
        std::vector<mach_exception_data_type_t> codes;
        const char* name;
        const char* codeName;
        bool earlierPort;
    } cases[] = {
        {EXC_BAD_ACCESS,
         {KERN_INVALID_ADDRESS, 0x40},
         "EXC_BAD_ACCESS",
         "KERN_INVALID_ADDRESS",
         false},
        {EXC_BAD_ACCESS,
         {KERN_PROTECTION_FAILURE, 0x1000},
         "EXC_BAD_ACCESS",
         "KERN_PROTECTION_FAILURE",
         true},
        {EXC_ARITHMETIC, {1, 0}, "EXC_ARITHMETIC", nullptr, false},
        {EXC_BAD_INSTRUCTION, {1}, "EXC_BAD_INSTRUCTION", nullptr, false},
        {EXC_BREAKPOINT, {}, "EXC_BREAKPOINT", nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + std::string(" ") + std::to_string(c.codes.size()));
        sim::MachExceptions::reset();
        mach_port_t earlier = MACH_PORT_NULL;
        if (c.earlierPort) {
            mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &earlier);
            mach_port_insert_right(mach_task_self(), earlier, earlier, MACH_MSG_TYPE_MAKE_SEND);
            task_set_exception_ports(mach_task_self(), EXC_MASK_BAD_ACCESS, earlier,
                                     EXCEPTION_DEFAULT, THREAD_STATE_NONE);
        }
        initialize();
        ASSERT_FALSE(isDefaultAction(SIGSEGV));

        EXPECT_EQ(faultHere(c.exception, c.codes), KERN_SUCCESS);

        auto all = sections("mach_exception.ctrrecord");
        for (const char* name : {"mach_exception", "threads", "runtime", "dispatch_queue_names",
                                 "thread_names", "process_stats", "storage"})
            EXPECT_EQ(all[name].size(), 1u) << name;
        ASSERT_EQ(all["mach_exception"].size(), 1u);
        const json& record = all["mach_exception"][0];
        EXPECT_EQ(record["exception"], c.exception);
        EXPECT_EQ(record["codes"].size(), c.codes.size());
        for (std::size_t i = 0; i < c.codes.size() && i < record["codes"].size(); ++i)
            EXPECT_EQ(record["codes"][i].get<std::uint64_t>(),
                      static_cast<std::uint64_t>(c.codes[i]));
        EXPECT_EQ(record["name"], c.name);
        if (c.codeName != nullptr) {
            EXPECT_EQ(record["code_name"], c.codeName);
        } else {
            EXPECT_TRUE(record["code_name"].is_null());
        }
        EXPECT_EQ(record["original_ports"], c.earlierPort ? 1 : 0);

        // The faulting thread, recorded from the server thread with its own
        // registers.
        ASSERT_EQ(all["threads"].size(), 1u);
        int crashed = 0;
        for (const json& thread : all["threads"][0]) {
            if (!thread.value("crashed", false)) continue;
            ++crashed;
            EXPECT_EQ(thread["thread_id"], currentThread());
            bool found = false;
            for (const json& pc : thread["stacktrace"])
                found |= inFaultHere(pc.get<std::uint64_t>());
            EXPECT_TRUE(found) << thread["stacktrace"].dump();
        }
        EXPECT_EQ(crashed, 1);
        EXPECT_FALSE(std::filesystem::exists(file("signal.ctrrecord")) &&
                     !crashtest::readFile(file("signal.ctrrecord")).empty());

        // Ports and signal actions are as they were before set-up.
        if (c.earlierPort) {
            const std::vector<std::pair<exception_mask_t, mach_port_t>> expected{
                {EXC_MASK_BAD_ACCESS, earlier}};
            EXPECT_EQ(exceptionPorts(), expected);
        } else {
            EXPECT_TRUE(exceptionPorts().empty());
        }
        for (const int signal : kRZRCTRHandledSignals) EXPECT_TRUE(isDefaultAction(signal));
        RZRCTRSignalSafeInstallPreexistingHandlers(&_rzrctrContext.readonly->signal, -1, nullptr,
                                                   nullptr);
    }
}

TEST_F(MachExceptionTest, AMessageThatMustNotBeRecordedIsAnsweredWithFailure) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    const struct {
        const char* why;
        bool foreignTask;
        bool alreadyCrashed;
    } cases[] = {
        {"another task", true, false},
        // A signal handler is recording: it must be left to end the process.
        {"a crash already being recorded", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        sim::MachExceptions::reset();
        initialize();
        if (c.alreadyCrashed) RZRCTRContextMarkHasCrashed();
        EXPECT_EQ(faultHere(EXC_BAD_ACCESS, {KERN_INVALID_ADDRESS, 0},
                            c.foreignTask ? sim::MachExceptions::foreignTask() : MACH_PORT_NULL),
                  KERN_FAILURE);
        EXPECT_TRUE(crashtest::readFile(file("mach_exception.ctrrecord")).empty());
        // Nothing was handed back: our port and signal handler stay.
        const auto ports = exceptionPorts();
        ASSERT_EQ(ports.size(), 1u);
        EXPECT_EQ(ports[0].first, kRZRCTRMachExceptionMask);
        EXPECT_EQ(ports[0].second, _rzrctrContext.readonly->machException.port);
        EXPECT_FALSE(isDefaultAction(SIGSEGV));
    }
}

// The fault goes on after the reply, as the kernel would let it: into the
// signal actions that were there before, so the crash is recorded once.
TEST_F(MachExceptionTest, TheFaultAfterTheReplyEndsTheProcessWithoutASecondRecord) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    const std::string reportDir = reportDir_.string();
    const std::string root = root_.string();
    const int status = crashtest::runInChild([&] {
        ::alarm(20);
        sim::MachExceptions::reset();
        RZRCTRContextSetInstallers(installers());
        auto report = RZRCTRInternalReport::reportWithPath(reportDir, "0123456789abcdef");
        if (!RZRCTRContextInitialize(report.get(), {}, root) ||
            !RZRCTRContextWaitUntilInitialized(std::chrono::seconds(10)))
            ::_exit(3);
        RZRCTRBinaryImageWaitForPendingChanges();
        if (faultHere(EXC_BAD_ACCESS, {KERN_INVALID_ADDRESS, 0}) != KERN_SUCCESS) ::_exit(4);
        nullDereference();
    });
    EXPECT_TRUE(crashtest::diedOfSignal(status, SIGSEGV)) << status;
    auto all = sections("mach_exception.ctrrecord");
    EXPECT_EQ(all["mach_exception"].size(), 1u);
    EXPECT_EQ(all["threads"].size(), 1u);
    EXPECT_EQ(all["storage"].size(), 1u);
    EXPECT_TRUE(crashtest::readFile(file("signal.ctrrecord")).empty());
}

TEST(MachExceptionTables, MasksForSignals) {
    const struct {
        int signal;
        exception_mask_t mask;
    } cases[] = {
        {SIGILL, EXC_MASK_BAD_INSTRUCTION}, {SIGTRAP, EXC_MASK_BREAKPOINT},
        {SIGABRT, EXC_MASK_CRASH},          {SIGFPE, EXC_MASK_ARITHMETIC},
        {SIGBUS, EXC_MASK_BAD_ACCESS},      {SIGSEGV, EXC_MASK_BAD_ACCESS},
        {SIGSYS, EXC_MASK_CRASH},           {SIGUSR1, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(RZRCTRMachExceptionMaskForSignal(c.signal), c.mask);
    EXPECT_EQ(kRZRCTRMachExceptionMask, 0x104Eu);
}

}  // namespace
