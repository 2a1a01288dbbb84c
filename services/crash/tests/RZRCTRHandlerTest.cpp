#include "services/crash/RZRCTRHandler.h"
#include "services/crash/RZRCTRProcess.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/runtime/Runtime.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRFile.h"
#include "services/crash/tests/CrashTestSupport.h"

namespace {

using nlohmann::json;

pthread_barrier_t gParked;
int gRelease[2];

// Each waits on the barrier, then blocks until the pipe is written.
__attribute__((noinline)) void parkedFirst() {
    pthread_barrier_wait(&gParked);
    char byte;
    while (::read(gRelease[0], &byte, 1) < 0) {
    }
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) void parkedSecond() {
    pthread_barrier_wait(&gParked);
    char byte;
    while (::read(gRelease[0], &byte, 1) < 0) {
    }
    asm volatile("" ::: "memory");
}
__attribute__((noinline)) int recursing(int depth) {
    if (depth == 0) {
        parkedFirst();
        return 0;
    }
    const int result = recursing(depth - 1) + 1;
    asm volatile("" ::: "memory");
    return result;
}

// Which of the test's functions a return address lies in (they are all
// shorter than 256 bytes): the nearest start below it.
const void* functionOf(std::uint64_t pc) {
    const void* best = nullptr;
    std::uint64_t bestBase = 0;
    for (const void* start :
         {reinterpret_cast<const void*>(&parkedFirst), reinterpret_cast<const void*>(&parkedSecond),
          reinterpret_cast<const void*>(&recursing)}) {
        const auto base = reinterpret_cast<std::uint64_t>(start);
        if (pc > base && pc <= base + 256 && base > bestBase) {
            best = start;
            bestBase = base;
        }
    }
    return best;
}

using HandlerTest = crashtest::ImagesFixture;

TEST_F(HandlerTest, RecordsEveryThreadWithItsOwnStack) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    const std::string record = file("threads.ctrrecord").string();
    const int status = crashtest::runInChild([&] {
        ::pipe(gRelease);
        pthread_barrier_init(&gParked, nullptr, 4);
        std::vector<std::thread> threads;
        threads.emplace_back([] {
            pthread_setname_np(pthread_self(), "parked-first");
            parkedFirst();
        });
        threads.emplace_back([] {
            pthread_setname_np(pthread_self(), "parked-second");
            DispatchQueue::create("com.lumbrel.test.parked")->sync(parkedSecond);
        });
        threads.emplace_back([] { recursing(14); });
        pthread_barrier_wait(&gParked);
        RZRCTRFile out;
        if (!RZRCTRFileInitWithPath(&out, record.c_str(), false)) ::_exit(3);
        RZRCTRHandler(&out, static_cast<pid_t>(::syscall(SYS_gettid)), nullptr);
        RZRCTRFileClose(&out);
        const char bytes[3] = {1, 1, 1};
        ::write(gRelease[1], bytes, 3);
        for (auto& thread : threads) thread.join();
    });
    ASSERT_TRUE(crashtest::exitedCleanly(status)) << status;

    std::map<std::string, json> sections;
    for (const auto& line : crashtest::readLines(record)) {
        const json parsed = json::parse(line);
        sections[parsed.begin().key()] = parsed.begin().value();
    }
    for (const char* name :
         {"threads", "runtime", "dispatch_queue_names", "thread_names", "process_stats", "storage"})
        EXPECT_EQ(sections.count(name), 1u) << name;
    const json& threads = sections["threads"];
    ASSERT_EQ(threads.size(), 4u);
    int crashed = 0;
    std::vector<const void*> found;
    bool sawRepeat = false;
    for (const json& thread : threads) {
        ASSERT_TRUE(thread.contains("stacktrace")) << thread.dump();
        EXPECT_TRUE(thread.contains("registers"));
        crashed += thread.value("crashed", false) ? 1 : 0;
        for (const json& pc : thread["stacktrace"])
            found.push_back(functionOf(pc.get<std::uint64_t>()));
        if (thread.contains("repeated_pc")) {
            sawRepeat = true;
            EXPECT_GE(thread["repeat_count"].get<std::uint64_t>(), 10u);
            EXPECT_EQ(functionOf(thread["repeated_pc"].get<std::uint64_t>()),
                      reinterpret_cast<const void*>(&recursing));
        }
    }
    EXPECT_EQ(crashed, 1);
    EXPECT_TRUE(sawRepeat);
    const auto has = [&](auto function) {
        return std::find(found.begin(), found.end(), reinterpret_cast<const void*>(function)) !=
               found.end();
    };
    EXPECT_TRUE(has(&parkedFirst));
    EXPECT_TRUE(has(&parkedSecond));
    EXPECT_TRUE(has(&recursing));

    const json& names = sections["thread_names"];
    EXPECT_NE(std::find(names.begin(), names.end(), "parked-first"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "parked-second"), names.end());
    EXPECT_EQ(sections["process_stats"]["freeMem"], sections["process_stats"]["free_mem"]);
    EXPECT_EQ(sections["runtime"]["objc_selector"], "");
    // Queue names line up with the threads: the recording thread is the
    // child's main thread.
    const json& queues = sections["dispatch_queue_names"];
    ASSERT_EQ(queues.size(), 4u);
    ASSERT_EQ(names.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i].get<std::string>());
        const char* expected = "";
        if (names[i] == "parked-second") expected = "com.lumbrel.test.parked";
        if (threads[i].value("crashed", false)) expected = "com.apple.main-thread";
        EXPECT_EQ(queues[i], expected);
    }
}

}  // namespace

namespace {

// A message to a freed receiver faults inside the dispatcher while reading
// its class: the selector being sent is the hint.
TEST(RuntimeHint, TheSelectorIsReadOnlyWithinTheDispatchersFirstBytes) {
    const SEL selector("performCrash:");
    std::uint64_t selectorBits = 0;
    std::memcpy(&selectorBits, &selector, sizeof selectorBits);
    const auto dispatcher = reinterpret_cast<std::uint64_t>(&objc_msgSendv);
    const struct {
        std::uint64_t pc;
        std::uint64_t selector;
        const char* expected;
    } cases[] = {
        {dispatcher, selectorBits, "performCrash:"},
        {dispatcher + 66, selectorBits, "performCrash:"},
        {dispatcher + 67, selectorBits, nullptr},
        {dispatcher - 1, selectorBits, nullptr},
        {dispatcher + 8, 0x10, nullptr},  // not a readable selector
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pc - dispatcher);
        greg_t registers[NGREG] = {};
        registers[REG_RIP] = static_cast<greg_t>(c.pc);
        registers[REG_RDX] = static_cast<greg_t>(c.selector);
        const char* name = nullptr;
        std::size_t length = 0;
        const bool found = RZRCTRProcessGetObjCSelectorName(registers, &name, &length);
        EXPECT_EQ(found, c.expected != nullptr);
        if (found && c.expected != nullptr) {
            EXPECT_EQ(std::string(name, length), c.expected);
        }
    }
}

TEST(ThreadState, AFailedReadLeavesNoEarlierRegisters) {
    RZRCTRProcess process;
    process.crashedThread = 1;
    RZRCTRThreadContext context;
    context.valid = true;
    context.registers[REG_RIP] = 0x1234;
    EXPECT_FALSE(RZRCTRProcessGetThreadState(&process, 999999, &context));
    EXPECT_FALSE(context.valid);
    EXPECT_EQ(context.registers[REG_RIP], 0);
}

}  // namespace
