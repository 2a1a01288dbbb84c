// Time from a fatal signal to the complete record files on disk, for a
// process with 20 threads, beside the same process dying without the crash
// reporter (the baseline: fork, thread start and the kernel's own kill).
// And the signal capture's set-up in a process with 20 threads, beside
// installing the same handlers with nothing else (the baseline).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/bundle/Home.h"
#include "services/crash/RZRCTRBinaryImage.h"
#include "services/crash/RZRCTRContextInitialize.h"
#include "services/crash/RZRCTRInternalReport.h"
#include "services/crash/RZRCTRSDKLog.h"
#include "services/crash/RZRCTRSignal.h"

namespace {

namespace fs = std::filesystem;

// 20 threads parked on a pipe nobody writes to, for the rest of the child's
// life.
std::vector<std::thread> parkThreads() {
    int hold[2];
    ::pipe(hold);
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i)
        threads.emplace_back([fd = hold[0]] {
            char byte;
            ::read(fd, &byte, 1);
        });
    return threads;
}

// A child with 20 parked threads; it tells the parent when they run, then
// waits for the signal.
pid_t startChild(int ready) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    auto threads = parkThreads();
    ::write(ready, "r", 1);
    for (;;) ::pause();
}

void killAndWait(benchmark::State& state, bool withReporter) {
    for (auto _ : state) {
        state.PauseTiming();
        struct sigaction ours[kRZRCTRSignalCount];
        for (int i = 0; i < kRZRCTRSignalCount; ++i) {
            ::sigaction(kRZRCTRHandledSignals[i], nullptr, &ours[i]);
            if (!withReporter) ::signal(kRZRCTRHandledSignals[i], SIG_DFL);
        }
        __atomic_store_n(&_rzrctrContext.writable->crashOccurred, false, __ATOMIC_SEQ_CST);
        int ready[2];
        ::pipe(ready);
        const pid_t pid = startChild(ready[1]);
        char byte;
        ::read(ready[0], &byte, 1);
        state.ResumeTiming();
        ::kill(pid, SIGSEGV);
        int status = 0;
        ::waitpid(pid, &status, 0);
        state.PauseTiming();
        ::close(ready[0]);
        ::close(ready[1]);
        // Put the crash reporter's handlers back for the next run.
        for (int i = 0; i < kRZRCTRSignalCount; ++i)
            ::sigaction(kRZRCTRHandledSignals[i], &ours[i], nullptr);
        state.ResumeTiming();
    }
}

// Each run in a child of its own with 20 parked threads, so that every
// set-up finds the process as an application's would; the child reports
// the time it took.
void setUpAndReport(benchmark::State& state, bool withReporter) {
    for (auto _ : state) {
        int report[2];
        ::pipe(report);
        const pid_t pid = ::fork();
        if (pid == 0) {
            auto threads = parkThreads();
            RZRCTRSignalReadOnlyContext context{};
            context.path = _rzrctrContext.readonly->signal.path;
            timespec start{};
            timespec end{};
            ::clock_gettime(CLOCK_MONOTONIC, &start);
            if (withReporter) {
                RZRCTRSignalInitialize(&context);
            } else {
                struct sigaction action {};
                action.sa_sigaction = RZRCTRSignalHandler;
                action.sa_flags = SA_SIGINFO | SA_ONSTACK;
                sigemptyset(&action.sa_mask);
                for (const int signal : kRZRCTRHandledSignals)
                    ::sigaction(signal, &action, nullptr);
            }
            ::clock_gettime(CLOCK_MONOTONIC, &end);
            const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
            ::write(report[1], &seconds, sizeof seconds);
            ::_exit(0);
        }
        double seconds = 0;
        ::read(report[0], &seconds, sizeof seconds);
        ::waitpid(pid, nullptr, 0);
        ::close(report[0]);
        ::close(report[1]);
        state.SetIterationTime(seconds);
    }
}

struct Setup {
    Setup() {
        home = fs::temp_directory_path() / ("crash-bench-" + std::to_string(::getpid()));
        fs::create_directories(home / "Documents");
        override = std::make_unique<sim::ScopedHomeOverride>(home.string());
        const fs::path report = home / "Library/Caches/com.crashtrace.files/v5/reports/active/r";
        fs::create_directories(report);
        RZRCTRContextInstallers installers;
        installers.binaryImages = [] {
            RZRCTRBinaryImageInit(&_rzrctrContext.readonly->binaryimage,
                                  &_rzrctrContext.writable->binaryImage);
        };
        installers.signal = [] { RZRCTRSignalInitialize(&_rzrctrContext.readonly->signal); };
        RZRCTRContextSetInstallers(installers);
        internal = RZRCTRInternalReport::reportWithPath(report.string(), "0123456789abcdef");
        RZRCTRContextInitialize(internal.get(), {},
                                (home / "Library/Caches/com.crashtrace.files").string());
        RZRCTRContextWaitUntilInitialized(std::chrono::seconds(30));
        RZRCTRBinaryImageWaitForPendingChanges();
        // The SDK log's debug trace is for diagnosis, not for timing.
        _rzrctrContext.writable->sdkLogLevel = RZRCTRSDKLogLevelWarn;
    }
    ~Setup() { fs::remove_all(home); }
    fs::path home;
    std::unique_ptr<sim::ScopedHomeOverride> override;
    std::shared_ptr<RZRCTRInternalReport> internal;
};

Setup& setup() {
    static Setup instance;
    return instance;
}

void BM_SignalToRecordWith20Threads(benchmark::State& state) {
    setup();
    killAndWait(state, true);
}
void BM_BaselineKillWith20Threads(benchmark::State& state) {
    setup();
    killAndWait(state, false);
}
void BM_SetUpWith20Threads(benchmark::State& state) {
    setup();
    setUpAndReport(state, true);
}
void BM_BaselineHandlersWith20Threads(benchmark::State& state) {
    setup();
    setUpAndReport(state, false);
}
BENCHMARK(BM_BaselineKillWith20Threads)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SignalToRecordWith20Threads)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_BaselineHandlersWith20Threads)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(50);
BENCHMARK(BM_SetUpWith20Threads)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(50);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    struct Reporter : benchmark::ConsoleReporter {
        double baseline = 0;
        double recorded = 0;
        double handlers = 0;
        double setUp = 0;
        void ReportRuns(const std::vector<Run>& runs) override {
            ConsoleReporter::ReportRuns(runs);
            for (const Run& run : runs) {
                const double time = run.GetAdjustedRealTime();
                const std::string& name = run.benchmark_name();
                if (name.find("BaselineKill") != std::string::npos) baseline = time;
                if (name.find("SignalToRecord") != std::string::npos) recorded = time;
                if (name.find("BaselineHandlers") != std::string::npos) handlers = time;
                if (name.find("SetUp") != std::string::npos) setUp = time;
            }
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.baseline > 0)
        std::printf("signal to record: %.2f ms, baseline kill: %.2f ms, ratio %.1f\n",
                    reporter.recorded, reporter.baseline, reporter.recorded / reporter.baseline);
    if (reporter.handlers > 0)
        std::printf("set-up: %.1f us, baseline handlers: %.1f us, ratio %.1f\n", reporter.setUp,
                    reporter.handlers, reporter.setUp / reporter.handlers);
    return 0;
}
