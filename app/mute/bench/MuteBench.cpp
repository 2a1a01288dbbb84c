// The time from a mute request to every handled microphone muted, as the
// shell does it: compute the handled devices, store the intention and write
// every device. With 1, 8 and 64 USB microphones on the simulated hardware;
// the second benchmark also waits until the devices' mute notifications have
// reached the engine on the main queue and its consistency check has run;
// the third times both phases in each iteration and reports their ratio.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/audio/AudioSystem.h"
#include "app/mute/MuteManager.h"
#include "app/settings/AppSettings.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/bundle/Home.h"
#include "platform/defaults/NSUserDefaults.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/log/Log.h"

namespace {

struct Machine {
    std::filesystem::path home;
    std::unique_ptr<sim::ScopedHomeOverride> homeOverride;
    std::shared_ptr<MuteManager> engine;
};

void settle() {
    do {
        sim::AudioHardware::flush();
    } while (sim::MainLoop::runUntilIdle() > 0);
}

Machine makeMachine(int count) {
    Machine machine;
    machine.home =
        std::filesystem::temp_directory_path() / ("lumbrel-mute-bench-" + std::to_string(count));
    std::filesystem::create_directories(machine.home);
    machine.homeOverride = std::make_unique<sim::ScopedHomeOverride>(machine.home.string());
    NSUserDefaults::resetForTesting();
    sim::setLogEcho(false);
    sim::AudioHardware::reset();
    auto hardware = sharedAudioSystem()->hardware();
    hardware->stopDeviceMonitoring();
    hardware->startDeviceMonitoring();
    sim::AudioHardware::setRecordingWrites(false);
    std::vector<sim::AudioDeviceConfig> configs;
    for (int i = 0; i < count; ++i) {
        auto config = sim::AudioDeviceConfig::usbMicrophone("bench-mic-" + std::to_string(i));
        config.modelUID += "-" + std::to_string(i);
        configs.push_back(config);
    }
    configs.push_back(sim::AudioDeviceConfig::builtInSpeakers());
    sim::AudioHardware::addDevices(configs);
    machine.engine = MuteManager::create(nullptr);
    settle();
    return machine;
}

void teardown(Machine& machine) {
    machine.engine.reset();
    settle();
    sim::AudioHardware::reset();
    NSUserDefaults::resetForTesting();
    machine.homeOverride.reset();
    std::filesystem::remove_all(machine.home);
}

bool request(MuteManager& engine, bool muted, bool store = true) {
    auto devices = engine.compatibleInputDevices(BluetoothDevicesMode::exclude, false);
    if (store) Defaults::set(Defaults::Keys::devicesMuted(), muted);
    return MuteManager::setMute(muted, devices);
}

void BM_ToggleToAllMuted(benchmark::State& state) {
    auto machine = makeMachine(static_cast<int>(state.range(0)));
    bool muted = false;
    for (auto _ : state) {
        muted = !muted;
        benchmark::DoNotOptimize(request(*machine.engine, muted));
        state.PauseTiming();
        settle();
        state.ResumeTiming();
    }
    if (machine.engine->getAggregatedMuteStatus() !=
        (muted ? MuteState::muted : MuteState::unmuted))
        state.SkipWithError("devices not in the requested state");
    teardown(machine);
}
BENCHMARK(BM_ToggleToAllMuted)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

void BM_ToggleUntilEngineSettled(benchmark::State& state) {
    auto machine = makeMachine(static_cast<int>(state.range(0)));
    bool muted = false;
    for (auto _ : state) {
        muted = !muted;
        benchmark::DoNotOptimize(request(*machine.engine, muted));
        settle();
    }
    teardown(machine);
}
BENCHMARK(BM_ToggleUntilEngineSettled)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

// Both phases timed in each iteration, so their ratio means the same on a
// busy machine: "settled_ratio" is (toggle + settling) / toggle.
void BM_SettledOverToggle(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    auto machine = makeMachine(static_cast<int>(state.range(0)));
    bool muted = false;
    std::chrono::duration<double> toggle{0}, settled{0};
    for (auto _ : state) {
        muted = !muted;
        auto start = Clock::now();
        benchmark::DoNotOptimize(request(*machine.engine, muted));
        auto toggled = Clock::now();
        settle();
        auto end = Clock::now();
        toggle += toggled - start;
        settled += end - start;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    auto iterations = static_cast<double>(state.iterations());
    state.counters["toggle_us"] = toggle.count() * 1e6 / iterations;
    state.counters["settled_us"] = settled.count() * 1e6 / iterations;
    state.counters["settled_ratio"] = settled.count() / toggle.count();
    teardown(machine);
}
BENCHMARK(BM_SettledOverToggle)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
