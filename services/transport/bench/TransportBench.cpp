// The flat-file store beside its floor: the same number of files of the same
// size written and renamed with plain POSIX calls, both timed in each
// iteration so that their ratio means the same on a busy machine. Also the
// cost of encoding and gzipping a batch of 1,000 events.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/log/Log.h"
#include "services/transport/ZDTCORFlatFileStorage.h"
#include "services/transport/ZDTLGSMessages.h"
#include "services/transport/ZDTLGSUploader.h"

namespace fs = std::filesystem;

namespace {

struct Payload : ZDTCOREventDataObject {
    Data transportBytes() const override { return Data(256, 0x5A); }
};

std::shared_ptr<ZDTCOREvent> makeEvent(int i) {
    auto event = ZDTCOREvent::initWithMappingID(std::string(i % 2 ? "137" : "1206"), 1001);
    event->setDataObject(std::make_shared<Payload>());
    event->setClockSnapshot(ZDTCORClock::snapshot());
    return event;
}

std::string scratch() {
    std::string pattern = (fs::temp_directory_path() / "transport-bench-XXXXXX").string();
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

void writeAndRename(const std::string& dir, int index, const Data& bytes) {
    const std::string final = dir + "/" + std::to_string(index);
    const std::string temp = final + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) std::abort();
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    ::close(fd);
    if (::rename(temp.c_str(), final.c_str()) != 0) std::abort();
}

void BM_StoreBesidePosixFloor(benchmark::State& state) {
    sim::setLogEcho(false);
    const int count = static_cast<int>(state.range(0));
    const std::string root = scratch();
    std::vector<std::shared_ptr<ZDTCOREvent>> events;
    for (int i = 0; i < count; ++i) events.push_back(makeEvent(i));
    const Data sample = *ZDTCORArchiveObject(events[0], "");
    auto app = ZDTCORApplication::sharedApplication();
    std::chrono::duration<double> store{0}, floor{0};
    for (auto _ : state) {
        auto storage = std::make_shared<ZDTCORFlatFileStorage>(root + "/store");
        storage->appWillTerminate(*app);
        fs::create_directories(root + "/floor");
        auto start = std::chrono::steady_clock::now();
        for (const auto& event : events)
            storage->storeEvent(event, [](bool, std::optional<NSError>) {});
        storage->appWillTerminate(*app);
        auto middle = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) writeAndRename(root + "/floor", i, sample);
        auto end = std::chrono::steady_clock::now();
        store += middle - start;
        floor += end - middle;
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        storage.reset();
        fs::remove_all(root + "/store");
        fs::remove_all(root + "/floor");
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["store_us"] = store.count() * 1e6 / iterations;
    state.counters["posix_floor_us"] = floor.count() * 1e6 / iterations;
    state.counters["store_over_floor"] = store.count() / floor.count();
    state.counters["file_bytes"] = static_cast<double>(sample.size());
    fs::remove_all(root);
}
BENCHMARK(BM_StoreBesidePosixFloor)->Arg(200)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_EncodeAndGzipBatchOf1000(benchmark::State& state) {
    sim::setLogEcho(false);
    std::vector<std::shared_ptr<ZDTCOREvent>> events;
    for (int i = 0; i < 1000; ++i) events.push_back(makeEvent(i));
    std::size_t plain = 0, gzipped = 0;
    for (auto _ : state) {
        auto bytes = ZDTLGSConstructRequest(events);
        auto compressed = ZDTLGSCompressionHelper::gzippedData(*bytes);
        plain = bytes->size();
        gzipped = compressed->size();
        benchmark::DoNotOptimize(compressed);
    }
    state.counters["plain_bytes"] = static_cast<double>(plain);
    state.counters["gzip_bytes"] = static_cast<double>(gzipped);
}
BENCHMARK(BM_EncodeAndGzipBatchOf1000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
