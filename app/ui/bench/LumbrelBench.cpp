// Start-up to ready and idle memory of the `lumbrel` program on the default
// simulated Mac: the program is started as a user starts it, timed until it
// prints its banner (launched, status item and shortcut in place, waiting
// for commands), and its resident memory is read while it waits.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Child {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

Child start(const std::string& home) {
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::abort();
    Child child;
    child.pid = ::fork();
    if (child.pid == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::close(toChild[1]);
        ::close(fromChild[0]);
        ::setenv("LUMBREL_HOME", home.c_str(), 1);
        ::execl(LUMBREL_PROGRAM, LUMBREL_PROGRAM, nullptr);
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    child.input = toChild[1];
    child.output = fromChild[0];
    return child;
}

bool waitForBanner(const Child& child) {
    const std::string banner = "Ctrl-D to quit.";
    std::string output;
    char buffer[4096];
    while (output.find(banner) == std::string::npos) {
        auto n = ::read(child.output, buffer, sizeof buffer);
        if (n <= 0) return false;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// Resident memory in kB ("VmRSS") of the process.
double residentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr);
    return 0;
}

void finish(const Child& child) {
    ::close(child.input);  // end of input: the program quits
    char buffer[4096];
    while (::read(child.output, buffer, sizeof buffer) > 0) {
    }
    ::close(child.output);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
}

void BM_StartupToReady(benchmark::State& state) {
    auto home =
        std::filesystem::temp_directory_path() / ("lumbrel-bench-" + std::to_string(::getpid()));
    double rssTotal = 0;
    int runs = 0;
    for (auto _ : state) {
        std::filesystem::remove_all(home);
        std::filesystem::create_directories(home);
        auto begin = std::chrono::steady_clock::now();
        auto child = start(home.string());
        if (!waitForBanner(child)) {
            state.SkipWithError("lumbrel did not become ready");
            finish(child);
            break;
        }
        auto elapsed = std::chrono::steady_clock::now() - begin;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        rssTotal += residentKilobytes(child.pid);
        ++runs;
        finish(child);
    }
    if (runs > 0) state.counters["idle_rss_MB"] = rssTotal / runs / 1024.0;
    std::filesystem::remove_all(home);
}
BENCHMARK(BM_StartupToReady)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
