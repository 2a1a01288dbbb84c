// Time from a fatal signal to the complete record files on disk, for a
// process with 20 threads, beside the same process dying without the crash
// reporter (the baseline: fork, thread start and the kernel's own kill).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
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

// A child with 20 parked threads; it tells the parent when they run, then
// waits for the signal.
pid_t startChild(int ready) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int hold[2];
    ::pipe(hold);
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i)
        threads.emplace_back([&] {
            char byte;
            ::read(hold[0], &byte, 1);
        });
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
BENCHMARK(BM_BaselineKillWith20Threads)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SignalToRecordWith20Threads)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    struct Reporter : benchmark::ConsoleReporter {
        double baseline = 0;
        double recorded = 0;
        void ReportRuns(const std::vector<Run>& runs) override {
            ConsoleReporter::ReportRuns(runs);
            for (const Run& run : runs) {
                const double ms = run.GetAdjustedRealTime();
                if (run.benchmark_name().find("Baseline") != std::string::npos) baseline = ms;
                if (run.benchmark_name().find("SignalToRecord") != std::string::npos) recorded = ms;
            }
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.baseline > 0)
        std::printf("signal to record: %.2f ms, baseline kill: %.2f ms, ratio %.1f\n",
                    reporter.recorded, reporter.baseline, reporter.recorded / reporter.baseline);
    return 0;
}
