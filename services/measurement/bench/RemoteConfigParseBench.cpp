// Taking a measurement configuration of many named event configurations and
// settings, at two sizes: the time per entry of the large one as a multiple
// of the small one's. Taking an answer is linear when the multiple stays
// near 1; a look-up that searches every earlier entry makes it grow with the
// size (about 10x here).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/bundle/Home.h"
#include "services/measurement/APMDatabase.h"
#include "services/measurement/APMRemoteConfig.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kAppID = "1:123:ios:abc";
constexpr long kSmall = 2000;
constexpr long kLarge = 20000;

fs::path benchDir() {
    return fs::temp_directory_path() / ("measurement-config-bench-" + std::to_string(::getpid()));
}

std::shared_ptr<APMPBMeasurementConfig> configWithEntries(long entries) {
    auto config = APMPBMeasurementConfig::make();
    APMPBSetString(config.get(), 1, Value(kAppID));
    std::vector<APMPBObject> settings;
    std::vector<APMPBObject> events;
    for (long i = 0; i < entries; ++i) {
        auto setting = APMPBSetting::make();
        APMPBSetString(setting.get(), 0, Value("measurement.setting_" + std::to_string(i)));
        APMPBSetString(setting.get(), 1, Value(std::to_string(i)));
        settings.emplace_back(setting);
        auto event = APMPBEventConfig::make();
        APMPBSetString(event.get(), 0, Value("event_" + std::to_string(i)));
        APMPBSetBool(event.get(), 1, true);
        events.emplace_back(event);
    }
    APMPBSetArray(config.get(), 3, settings);
    APMPBSetArray(config.get(), 4, events);
    return config;
}

void BM_ParseConfiguration(benchmark::State& state) {
    fs::create_directories(benchDir());
    sim::ScopedHomeOverride home(benchDir().string());
    auto database = APMDatabase::initWithDatabaseName("bench.sql", nullptr);
    auto remoteConfig = database ? APMRemoteConfig::initWithAppID(kAppID, database.get()) : nullptr;
    if (!remoteConfig) {
        state.SkipWithError("cannot make the configuration");
        return;
    }
    const auto config = configWithEntries(state.range(0));
    for (auto _ : state) {
        remoteConfig->parseRemoteConfigFromMeasurementConfig(*config);
        // Reads wait for the caches' queued writes.
        benchmark::DoNotOptimize(remoteConfig->eventConfigWithName("event_0"));
        benchmark::DoNotOptimize(remoteConfig->uploadingRetryCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseConfiguration)->Arg(kSmall)->Arg(kLarge)->Unit(benchmark::kMillisecond);

// Keeps each size's time per iteration for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type == Run::RT_Aggregate) continue;
            times[run.run_name.args] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto small = reporter.times.find(std::to_string(kSmall));
    auto large = reporter.times.find(std::to_string(kLarge));
    if (small != reporter.times.end() && large != reporter.times.end() && small->second > 0) {
        const double perEntry = (large->second / kLarge) / (small->second / kSmall);
        std::printf(
            "time per entry, %ld entries / %ld entries: %.2fx (goal: within 2x; linear is 1x)\n",
            kLarge, kSmall, perEntry);
    }
    std::error_code ec;
    fs::remove_all(benchDir(), ec);
    benchmark::Shutdown();
    return 0;
}
