#include "services/crash/RZRCTRException.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/log/Log.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRSignal.h"
#include "services/crash/RZRExceptionModel.h"
#include "services/crash/RZRStackFrame.h"
#include "services/crash/tests/CrashTestSupport.h"
#include "services/util/ZVULoggerTesting.h"

namespace {

using nlohmann::json;

struct Gadget {
    int serial;
};

__attribute__((noinline)) void throwRuntimeError() {
    throw std::runtime_error("disk on fire");
}
__attribute__((noinline)) void throwGadget() {
    throw Gadget{7};
}
__attribute__((noinline)) void throwText() {
    RZRCTRExceptionRaiseTestCppException();
}
__attribute__((noinline)) void throwString() {
    throw std::string("plain words");
}
__attribute__((noinline)) void throwFromNoexcept() noexcept {
    throwRuntimeError();
}

// Which thrower a return address lies in (each is shorter than 256 bytes).
const void* throwerOf(std::uint64_t pc) {
    const void* best = nullptr;
    std::uint64_t bestBase = 0;
    for (const void* start :
         {reinterpret_cast<const void*>(&throwRuntimeError),
          reinterpret_cast<const void*>(&throwGadget), reinterpret_cast<const void*>(&throwText),
          reinterpret_cast<const void*>(&throwString)}) {
        const auto base = reinterpret_cast<std::uint64_t>(start);
        if (pc > base && pc <= base + 256 && base > bestBase) {
            best = start;
            bestBase = base;
        }
    }
    return best;
}

std::string fromHex(const json& value) {
    const std::string hex = value.get<std::string>();
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

class ExceptionTest : public crashtest::CrashFixture {
  protected:
    void SetUp() override {
        CrashFixture::SetUp();
        savedTerminate_ = std::get_terminate();
    }
    void TearDown() override {
        std::set_terminate(savedTerminate_);
        if (_rzrctrContext.readonly != nullptr)
            RZRCTRSignalSafeInstallPreexistingHandlers(&_rzrctrContext.readonly->signal, -1,
                                                       nullptr, nullptr);
        for (const int signal : kRZRCTRHandledSignals) ::signal(signal, SIG_DFL);
        CrashFixture::TearDown();
    }
    void initialize() {
        RZRCTRContextInstallers installers;
        installers.binaryImages = [] {
            RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                                  &_rzrctrContext.writable->binaryImage);
        };
        installers.signal = [] { RZRCTRSignalInitialize(&_rzrctrContext.readonly->signal); };
        installers.exception = [] {
            RZRCTRExceptionInitialize(&_rzrctrContext.readonly->exception,
                                      &_rzrctrContext.writable->exception);
        };
        RZRCTRContextSetInstallers(installers);
        initializeContext();
        RZRCTRBinaryImageWaitForPendingChanges();
    }
    // A child with every handler of this process in place. body runs on a
    // thread of its own, where nothing catches what it throws (the test's
    // own thread would hand it to the test framework).
    static int crashChild(void (*body)()) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(20);
            pthread_t thread;
            if (::pthread_create(
                    &thread, nullptr,
                    [](void* raw) -> void* {
                        reinterpret_cast<void (*)()>(raw)();
                        return nullptr;
                    },
                    reinterpret_cast<void*>(body)) != 0)
                ::_exit(3);
            ::pthread_join(thread, nullptr);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }
    std::map<std::string, std::vector<json>> sections(const char* name) const {
        std::map<std::string, std::vector<json>> out;
        for (const auto& line : crashtest::readLines(file(name))) {
            const json parsed = json::parse(line);
            out[parsed.begin().key()].push_back(parsed.begin().value());
        }
        return out;
    }

    std::terminate_handler savedTerminate_ = nullptr;
};

TEST_F(ExceptionTest, AnUncaughtExceptionIsRecordedOnceWithTheThrowingThread) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initialize();
    const struct {
        const char* what;
        void (*raise)();
        const void* thrower;
        const char* name;
        const char* reason;
    } cases[] = {
        {"runtime error", throwRuntimeError, reinterpret_cast<const void*>(&throwRuntimeError),
         "std::runtime_error", "disk on fire"},
        {"a type of its own", throwGadget, reinterpret_cast<const void*>(&throwGadget),
         "(anonymous namespace)::Gadget", ""},
        {"C string", throwText, reinterpret_cast<const void*>(&throwText), "const char *",
         "Crashtrace C++ Test Exception"},
        {"string", throwString, reinterpret_cast<const void*>(&throwString), "std::string",
         "plain words"},
        {"through a function that must not throw", throwFromNoexcept, nullptr, "std::runtime_error",
         "disk on fire"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(file("exception.ctrrecord"));
        std::filesystem::remove(file("signal.ctrrecord"));
        __atomic_store_n(&_rzrctrContext.writable->crashOccurred, false, __ATOMIC_SEQ_CST);
        const int status = crashChild(c.raise);
        EXPECT_TRUE(crashtest::diedOfSignal(status, SIGABRT)) << status;

        auto all = sections("exception.ctrrecord");
        for (const char* name : {"exception", "threads", "runtime", "dispatch_queue_names",
                                 "thread_names", "process_stats", "storage"})
            EXPECT_EQ(all[name].size(), 1u) << name;
        // The abort that follows is the same crash.
        EXPECT_TRUE(crashtest::readFile(file("signal.ctrrecord")).empty());
        if (all["exception"].size() != 1 || all["threads"].size() != 1) continue;
        const json& exception = all["exception"][0];
        EXPECT_EQ(exception["type"], "c++");
        EXPECT_EQ(fromHex(exception["name"]), c.name);
        EXPECT_EQ(fromHex(exception["reason"]), c.reason);
        EXPECT_FALSE(exception.contains("frames"));
        int crashed = 0;
        for (const json& thread : all["threads"][0]) {
            if (!thread.value("crashed", false)) continue;
            ++crashed;
            // Frames a noexcept boundary has unwound are gone by then.
            if (c.thrower == nullptr) continue;
            bool found = false;
            for (const json& pc : thread["stacktrace"])
                found |= throwerOf(pc.get<std::uint64_t>()) == c.thrower;
            EXPECT_TRUE(found) << thread["stacktrace"].dump();
        }
        EXPECT_EQ(crashed, 1);
    }
}

TEST_F(ExceptionTest, ACustomExceptionGoesToItsOwnFileWithoutThreads) {
    initialize();
    const int status = crashChild([] {
        auto model = RZRExceptionModel::exceptionModelWithName("WidgetFailure", "bad widget");
        auto frame = RZRStackFrame::stackFrameWithSymbol("frobnicate", "widget.cpp", 12);
        frame->address = 0x1234;
        frame->offset = 4;
        frame->library = "libwidget";
        model->stackTrace.push_back(frame);
        RZRCTRExceptionRecordModel(*model);
        RZRCTRExceptionRecordModel(*RZRExceptionModel::exceptionModelWithName("Bare", ""));
    });
    ASSERT_TRUE(crashtest::exitedCleanly(status)) << status;
    auto all = sections("custom_exception_a.ctrrecord");
    EXPECT_EQ(all.size(), 1u);
    ASSERT_EQ(all["exception"].size(), 2u);
    const json& first = all["exception"][0];
    EXPECT_EQ(first["type"], "custom");
    EXPECT_EQ(fromHex(first["name"]), "WidgetFailure");
    EXPECT_EQ(fromHex(first["reason"]), "bad widget");
    ASSERT_EQ(first["frames"].size(), 1u);
    const json& frame = first["frames"][0];
    EXPECT_EQ(frame["pc"], 0x1234);
    EXPECT_EQ(fromHex(frame["symbol"]), "frobnicate");
    EXPECT_EQ(frame["offset"], 4);
    EXPECT_EQ(fromHex(frame["library"]), "libwidget");
    EXPECT_EQ(fromHex(frame["file"]), "widget.cpp");
    EXPECT_EQ(frame["line"], 12);
    EXPECT_FALSE(all["exception"][1].contains("frames"));
    EXPECT_TRUE(crashtest::readFile(file("exception.ctrrecord")).empty());
}

TEST_F(ExceptionTest, TheStartUpCheckNamesSomeoneElsesTerminateHandler) {
    initialize();
    sim::LogCapture capture;
    RZRCTRExceptionCheckHandlers();
    sim::flushZVULogger();
    EXPECT_FALSE(capture.containsSubstring("std::get_terminate"));
    std::set_terminate(&std::abort);  // only looked up, never run
    RZRCTRExceptionCheckHandlers();
    sim::flushZVULogger();
    EXPECT_TRUE(capture.containsSubstring("Warning: std::get_terminate is 'abort' in '"))
        << ::testing::PrintToString(capture.lines());
}

}  // namespace
