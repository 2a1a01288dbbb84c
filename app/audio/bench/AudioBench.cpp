// How long the model takes for what the mute engine does most: muting and
// unmuting every input device (the mute-ability test, then the write), and
// reading the device lists. Runs against the simulated hardware with 1, 8
// and 64 input devices; each device's listener is installed, so every write
// also sends a callback through the hardware's thread.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "app/audio/AudioSystem.h"
#include "platform/audio/SimAudioHardware.h"
#include "platform/log/Log.h"

namespace {

struct Machine {
    std::shared_ptr<AudioSystem> audio;
    std::vector<std::shared_ptr<AudioDevice>> inputs;
};

// A machine with `count` input devices (a USB microphone each) plus the
// built-in speakers, and a facade that monitors it.
Machine makeMachine(int count) {
    sim::setLogEcho(false);
    sim::AudioHardware::reset();
    sim::AudioHardware::setRecordingWrites(false);
    std::vector<sim::AudioDeviceConfig> configs;
    for (int i = 0; i < count; ++i)
        configs.push_back(sim::AudioDeviceConfig::usbMicrophone("bench-mic-" + std::to_string(i)));
    configs.push_back(sim::AudioDeviceConfig::builtInSpeakers());
    sim::AudioHardware::addDevices(configs);
    Machine machine;
    machine.audio = std::make_shared<AudioSystem>();
    machine.inputs = machine.audio->allInputDevices();
    sim::AudioHardware::flush();
    return machine;
}

void teardown(Machine& machine) {
    sim::AudioHardware::flush();
    machine.inputs.clear();
    machine.audio.reset();
    sim::AudioHardware::reset();
}

// The engine's road for one state: every device that can be muted on the
// main input element gets the state written.
int applyMute(const std::vector<std::shared_ptr<AudioDevice>>& devices, bool muted) {
    int written = 0;
    for (const auto& device : devices) {
        if (device->canMute(0, Scope::input) && device->setMute(muted, 0, Scope::input)) ++written;
    }
    return written;
}

// One iteration mutes every input and unmutes it again.
void BM_MuteAndUnmuteAllInputs(benchmark::State& state) {
    auto machine = makeMachine(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(applyMute(machine.inputs, true));
        benchmark::DoNotOptimize(applyMute(machine.inputs, false));
    }
    state.counters["devices"] = static_cast<double>(machine.inputs.size());
    teardown(machine);
}
BENCHMARK(BM_MuteAndUnmuteAllInputs)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

// The same, also waiting until the hardware has delivered every change to
// the devices' listeners and they have posted their notifications.
void BM_MuteAndUnmuteAllInputsDelivered(benchmark::State& state) {
    auto machine = makeMachine(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(applyMute(machine.inputs, true));
        benchmark::DoNotOptimize(applyMute(machine.inputs, false));
        sim::AudioHardware::flush();
    }
    teardown(machine);
}
BENCHMARK(BM_MuteAndUnmuteAllInputsDelivered)
    ->Arg(1)
    ->Arg(8)
    ->Arg(64)
    ->Unit(benchmark::kMicrosecond);

// Reading the list of every device (identifiers, pool lookups).
void BM_AllDevices(benchmark::State& state) {
    auto machine = makeMachine(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(machine.audio->allDevices());
    teardown(machine);
}
BENCHMARK(BM_AllDevices)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

// Reading the input-device list (adds each device's streams and formats).
void BM_AllInputDevices(benchmark::State& state) {
    auto machine = makeMachine(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(machine.audio->allInputDevices());
    teardown(machine);
}
BENCHMARK(BM_AllInputDevices)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
