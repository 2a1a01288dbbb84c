// Inserting raw events through the measurement database and its store,
// beside the same rows inserted with one plain prepared statement, both in
// one exclusive transaction per batch. Prints the store's time as a multiple of the plain inserts.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/bundle/Home.h"
#include "services/measurement/APMDatabase.h"
#include "services/util/ZVUSQLite.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRowsPerBatch = 500;

// Where the files go: the temporary folder, or the folder named by
// MEASUREMENT_BENCH_DIR (an in-memory one leaves out the disk's flush times).
fs::path benchRoot() {
    const char* dir = std::getenv("MEASUREMENT_BENCH_DIR");
    return dir && *dir ? fs::path(dir) : fs::temp_directory_path();
}

std::string freshDir() {
    auto dir = benchRoot() / ("measurement-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

// The events of one batch, and the rows the store writes for them.
struct Batch {
    std::vector<APMEvent> events;
    std::vector<Data> encoded;
};

const Batch& batch() {
    static const Batch b = [] {
        Batch out;
        for (int i = 0; i < kRowsPerBatch; ++i) {
            auto event = *APMEvent::initWithOrigin(
                "app", true, "level_up", 1700000000.0 + i, 0,
                {{"level", Value(i)}, {"character", Value("wizard")}, {"score", Value(12.5)}});
            auto proto = event.protoEvent();
            APMPBClearField(proto.get(), 1);
            out.encoded.push_back(*proto->protoBuffer());
            out.events.push_back(std::move(event));
        }
        return out;
    }();
    return b;
}

void BM_DatabaseInsertRawEvents(benchmark::State& state) {
    sim::ScopedHomeOverride home(freshDir());
    auto database = APMDatabase::initWithDatabaseName("bench.sql", nullptr);
    if (!database) {
        state.SkipWithError("cannot open the database");
        return;
    }
    const Batch& rows = batch();
    for (auto _ : state) {
        bool ok = database->performTransaction([&] {
            for (const auto& event : rows.events) {
                if (!database->insertRawEvent(event, 42, false)) return false;
            }
            return true;
        });
        if (!ok) state.SkipWithError("insert failed");
    }
    state.SetItemsProcessed(state.iterations() * kRowsPerBatch);
}
BENCHMARK(BM_DatabaseInsertRawEvents)->Unit(benchmark::kMillisecond);

// The same rows, already encoded, through the store alone.
void BM_StoreUpsertRawEventRows(benchmark::State& state) {
    sim::ScopedHomeOverride home(freshDir());
    auto database = APMDatabase::initWithDatabaseName("bench.sql", nullptr);
    if (!database) {
        state.SkipWithError("cannot open the database");
        return;
    }
    APMSqliteStore& store = database->store();
    const Batch& rows = batch();
    for (auto _ : state) {
        bool ok = store.performTransaction(nullptr, [&] {
            for (size_t i = 0; i < rows.events.size(); ++i) {
                const Dictionary record{{"name", rows.events[i].name()},
                                        {"timestamp", rows.events[i].timestamp()},
                                        {"metadata_fingerprint", 42},
                                        {"data", Value(rows.encoded[i])},
                                        {"is_realtime", 0}};
                if (!store.upsertRecord(record, "raw_events")) return false;
            }
            return true;
        });
        if (!ok) state.SkipWithError("insert failed");
    }
    state.SetItemsProcessed(state.iterations() * kRowsPerBatch);
}
BENCHMARK(BM_StoreUpsertRawEventRows)->Unit(benchmark::kMillisecond);

void BM_PlainPreparedInsertRawEvents(benchmark::State& state) {
    ZVUSQLiteDatabase db;
    if (!db.open(freshDir() + "/plain.sql") ||
        !db.exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
                 "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime "
                 "INTEGER)")) {
        state.SkipWithError("cannot open the database");
        return;
    }
    auto insert = db.prepare(
        "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
        "VALUES (?, ?, ?, ?, ?)");
    const Batch& rows = batch();
    for (auto _ : state) {
        db.exec("BEGIN EXCLUSIVE TRANSACTION");
        for (size_t i = 0; i < rows.events.size(); ++i) {
            insert.reset();
            insert.bindText(1, rows.events[i].name());
            insert.bindDouble(2, rows.events[i].timestamp());
            insert.bindInt64(3, 42);
            insert.bindBlob(4, rows.encoded[i]);
            insert.bindInt64(5, 0);
            if (!insert.execute()) state.SkipWithError("insert failed");
        }
        db.exec("END TRANSACTION");
    }
    state.SetItemsProcessed(state.iterations() * kRowsPerBatch);
}
BENCHMARK(BM_PlainPreparedInsertRawEvents)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per iteration for the ratio: the median when
// the run is repeated (the disk makes single runs noisy), else the run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            const std::string& name = run.run_name.function_name;
            if (!median && medians.count(name)) continue;
            if (median) medians.insert(name);
            times[name] = run.GetAdjustedRealTime();
            cpuTimes[name] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::set<std::string> medians;
    std::map<std::string, double> times;
    std::map<std::string, double> cpuTimes;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto plain = reporter.times.find("BM_PlainPreparedInsertRawEvents");
    for (const char* name : {"BM_StoreUpsertRawEventRows", "BM_DatabaseInsertRawEvents"}) {
        auto measured = reporter.times.find(name);
        if (measured == reporter.times.end() || plain == reporter.times.end() ||
            plain->second <= 0) {
            continue;
        }
        std::printf(
            "%s / plain prepared inserts: %.2fx real time, %.2fx CPU time (goal: "
            "within 2x)\n",
            name, measured->second / plain->second,
            reporter.cpuTimes[name] / reporter.cpuTimes["BM_PlainPreparedInsertRawEvents"]);
    }
    std::error_code ec;
    fs::remove_all(benchRoot() / ("measurement-bench-" + std::to_string(::getpid())), ec);
    benchmark::Shutdown();
    return 0;
}
