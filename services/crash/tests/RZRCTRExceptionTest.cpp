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

#include "platform/appkit/NSApplication.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"
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
__attribute__((noinline)) void raiseWidgetException() {
    throw NSException("WidgetException", "bad widget");
}

// Which thrower a return address lies in (each is shorter than 256 bytes).
const void* throwerOf(std::uint64_t pc) {
    const void* best = nullptr;
    std::uint64_t bestBase = 0;
    for (const void* start :
         {reinterpret_cast<const void*>(&throwRuntimeError),
          reinterpret_cast<const void*>(&throwGadget), reinterpret_cast<const void*>(&throwText),
          reinterpret_cast<const void*>(&throwString),
          reinterpret_cast<const void*>(&raiseWidgetException)}) {
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
#if defined(__SANITIZE_THREAD__)
    // The child of this multi-threaded process starts threads to record,
    // which ThreadSanitizer does not support.
    GTEST_SKIP() << "a multi-threaded fork cannot start threads under ThreadSanitizer";
#endif
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

constexpr const char* kCrashOnExceptions = "NSApplicationCrashOnExceptions";
constexpr const char* kNotSetWarning =
    "Warning: NSApplicationCrashOnExceptions is not set. This will result in poor top-level "
    "uncaught exception reporting.";
constexpr const char* kNotInterceptedWarning =
    "Warning: top-level NSApplication-reported exceptions cannot be intercepted";

// The application object's exception reporting, with the crash default as
// each test sets it before set-up.
class ReportedExceptionTest : public ExceptionTest {
  protected:
    void SetUp() override {
        ExceptionTest::SetUp();
        NSUserDefaults::resetForTesting();
        sim::Application::reset();
        standIn_ = class_getMethodImplementation(NSApplication::runtimeClass(), "reportException:");
    }
    void TearDown() override {
        class_replaceMethod(NSApplication::runtimeClass(), "reportException:", standIn_, "v@:@");
        NSUserDefaults::standardUserDefaults()->removeObjectForKey(kCrashOnExceptions);
        sim::Application::reset();
        ExceptionTest::TearDown();
        NSUserDefaults::resetForTesting();
    }
    void initializeCrashingOnExceptions(bool crash) {
        NSUserDefaults::standardUserDefaults()->setBool(crash, kCrashOnExceptions);
        initialize();
    }
    IMP reportException() const {
        return class_getMethodImplementation(NSApplication::runtimeClass(), "reportException:");
    }
    // A child whose main thread runs the application with body posted to
    // the main queue; every handler of this process stays in place.
    static int runApplicationInChild(void (*body)()) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(20);
            DispatchQueue::main()->async(body);
            NSApplication::sharedApplication()->run();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    IMP standIn_;
};

TEST_F(ReportedExceptionTest, AnExceptionTheApplicationReportsIsRecordedOnceWithItsFrames) {
    CRASHTEST_SKIP_UNDER_SANITIZERS();
    initializeCrashingOnExceptions(true);
    ASSERT_NE(reportException(), standIn_);
    const int status = runApplicationInChild(raiseWidgetException);
    // The application's own implementation ends the process after ours.
    EXPECT_TRUE(crashtest::diedOfSignal(status, SIGABRT)) << status;

    auto all = sections("exception.ctrrecord");
    for (const char* name : {"exception", "threads", "runtime", "dispatch_queue_names",
                             "thread_names", "process_stats", "storage"})
        EXPECT_EQ(all[name].size(), 1u) << name;
    EXPECT_TRUE(crashtest::readFile(file("signal.ctrrecord")).empty());
    ASSERT_EQ(all["exception"].size(), 1u);
    const json& exception = all["exception"][0];
    EXPECT_EQ(exception["type"], "objective-c");
    EXPECT_EQ(fromHex(exception["name"]), "WidgetException");
    EXPECT_EQ(fromHex(exception["reason"]), "bad widget");
    // The frames are where the exception was raised, not where it was caught.
    ASSERT_TRUE(exception.contains("frames"));
    bool raisedHere = false;
    for (const json& frame : exception["frames"])
        raisedHere |= throwerOf(frame["pc"].get<std::uint64_t>()) ==
                      reinterpret_cast<const void*>(&raiseWidgetException);
    EXPECT_TRUE(raisedHere) << exception["frames"].dump();
    ASSERT_EQ(all["threads"].size(), 1u);
    int crashed = 0;
    for (const json& thread : all["threads"][0]) crashed += thread.value("crashed", false) ? 1 : 0;
    EXPECT_EQ(crashed, 1);
}

// The start-up check after set-up, with someone else's implementation put
// in place after ours or not.
TEST_F(ReportedExceptionTest, TheStartUpCheckWarnsWhenReportedExceptionsEscape) {
    const struct {
        bool crashOnExceptions;
        bool replacedAfterUs;
        bool notSetWarning;
        bool notInterceptedWarning;
    } cases[] = {
        {false, false, true, false},
        {true, false, false, false},
        {true, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "crash " << c.crashOnExceptions << " replaced " << c.replacedAfterUs);
        class_replaceMethod(NSApplication::runtimeClass(), "reportException:", standIn_, "v@:@");
        initializeCrashingOnExceptions(c.crashOnExceptions);
        EXPECT_EQ(reportException() != standIn_, c.crashOnExceptions);
        if (c.replacedAfterUs) {
            class_replaceMethod(NSApplication::runtimeClass(), "reportException:",
                                imp_implementationWithBlock(
                                    [](NSApplication&, const std::shared_ptr<NSException>&) {}),
                                "v@:@");
        }
        sim::LogCapture capture;
        RZRCTRExceptionCheckHandlers();
        sim::flushZVULogger();
        EXPECT_EQ(capture.containsSubstring(kNotSetWarning), c.notSetWarning)
            << ::testing::PrintToString(capture.lines());
        EXPECT_EQ(capture.containsSubstring(kNotInterceptedWarning), c.notInterceptedWarning)
            << ::testing::PrintToString(capture.lines());
    }
}

}  // namespace
