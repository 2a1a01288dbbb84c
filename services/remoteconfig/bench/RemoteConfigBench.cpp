// Remote configuration at 20,000 keys, each beside its baseline in the same
// run: one lookup beside a plain std::unordered_map lookup, and storing and
// activating a fetched answer beside inserting the same rows with one
// prepared statement in one SQLite transaction. Prints both ratios, of the
// medians when the runs are repeated.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/bundle/Home.h"
#include "services/remoteconfig/DIROdadevOvered.h"
#include "services/remoteconfig/RCNConfigContent.h"
#include "services/remoteconfig/RCNConfigFetch.h"
#include "services/util/ZVUSQLite.h"

namespace {

namespace fs = std::filesystem;

constexpr int kKeys = 20000;
constexpr const char* kNamespace = "reruzera:__VUVEZU_DEFAULT";
constexpr const char* kLookedUp = "parameter_12345";

std::string keyName(int i) {
    return "parameter_" + std::to_string(i);
}
std::string valueText(int i) {
    return "value of parameter " + std::to_string(i);
}

// Where the files go: the temporary folder, or REMOTE_CONFIG_BENCH_DIR.
fs::path freshDir(const std::string& name) {
    const char* dir = std::getenv("REMOTE_CONFIG_BENCH_DIR");
    auto path = (dir && *dir ? fs::path(dir) : fs::temp_directory_path()) /
                ("remoteconfig-bench-" + std::to_string(::getpid())) / name;
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
}

// The body the service sends for 20,000 new keys.
const Data& answerBody() {
    static const Data body = [] {
        std::string text = R"({"state": "UPDATE", "entries": {)";
        for (int i = 0; i < kKeys; ++i) {
            if (i) text += ", ";
            text += "\"" + keyName(i) + "\": \"" + valueText(i) + "\"";
        }
        text += "}}";
        return Data(text.begin(), text.end());
    }();
    return body;
}

void BM_LookupOneKeyOf20000(benchmark::State& state) {
    sim::ScopedHomeOverride home(freshDir("lookup").string());
    auto db =
        RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
    auto content = std::make_shared<RCNConfigContent>(db);
    auto config = std::make_shared<DIROdadevOvered>("__VUVEZU_DEFAULT", "reruzera", nullptr,
                                                    nullptr, db, content);
    std::map<std::string, std::string> values;
    for (int i = 0; i < kKeys; ++i) values[keyName(i)] = valueText(i);
    config->activateValuesForTesting(values);
    const std::string key = kLookedUp;
    for (auto _ : state) benchmark::DoNotOptimize(config->configValueForKey(key));
    db->waitForQueue();
}
BENCHMARK(BM_LookupOneKeyOf20000);

void BM_PlainUnorderedMapLookup(benchmark::State& state) {
    std::unordered_map<std::string, std::string> values;
    for (int i = 0; i < kKeys; ++i) values[keyName(i)] = valueText(i);
    const std::string key = kLookedUp;
    for (auto _ : state) benchmark::DoNotOptimize(values.find(key));
}
BENCHMARK(BM_PlainUnorderedMapLookup);

// Parsing the answer, storing it as fetched content, activating it, and
// waiting until both reached the file.
void BM_FetchAndActivate20000(benchmark::State& state) {
    sim::ScopedHomeOverride home(freshDir("fetch").string());
    auto db =
        RCNConfigDBManager::managerWithPath(RCNConfigDBManager::remoteConfigPathForDatabase());
    auto content = std::make_shared<RCNConfigContent>(db);
    for (auto _ : state) {
        auto answer = RCNFetchAnswer::parse(answerBody(), nullptr);
        if (!answer || answer->invalidUpdate()) {
            state.SkipWithError("the answer does not parse");
            return;
        }
        content->updateConfigContentWithResponse(std::move(*answer), kNamespace);
        content->copyFromDictionary(&content->fetchedConfig(), RCNDBSource::Active, kNamespace);
        db->waitForQueue();
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_FetchAndActivate20000)->Unit(benchmark::kMillisecond);

void BM_PlainPreparedInsert20000(benchmark::State& state) {
    ZVUSQLiteDatabase db;
    if (!db.open((freshDir("plain") / "plain.sqlite3").string()) ||
        !db.exec("CREATE TABLE main (_id INTEGER PRIMARY KEY, bundle_identifier TEXT, namespace "
                 "TEXT, key TEXT, value BLOB)")) {
        state.SkipWithError("cannot open the database");
        return;
    }
    auto insert = db.prepare(
        "INSERT INTO main (bundle_identifier, namespace, key, value) values (?, ?, ?, ?)");
    std::vector<std::pair<std::string, Data>> rows;
    for (int i = 0; i < kKeys; ++i) {
        const std::string text = valueText(i);
        rows.emplace_back(keyName(i), Data(text.begin(), text.end()));
    }
    for (auto _ : state) {
        db.exec("BEGIN TRANSACTION");
        db.exec("DELETE FROM main");
        for (const auto& [key, value] : rows) {
            insert.reset();
            insert.bindText(1, "com.example.lumbrel");
            insert.bindText(2, kNamespace);
            insert.bindText(3, key);
            insert.bindBlob(4, value);
            if (!insert.execute()) state.SkipWithError("insert failed");
        }
        db.exec("COMMIT");
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_PlainPreparedInsert20000)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // With repetitions, the ratio is that of the medians.
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && !median)) continue;
            const std::string& name = run.run_name.function_name;
            if (!median && medians.count(name)) continue;
            if (median) medians.insert(name);
            times[name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;  // seconds per iteration
    std::set<std::string> medians;        // names whose time is a median
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_LookupOneKeyOf20000", "BM_PlainUnorderedMapLookup"},
        {"BM_FetchAndActivate20000", "BM_PlainPreparedInsert20000"}};
    const char* goals[] = {"within 10x", "within 3x"};
    for (std::size_t i = 0; i < 2; ++i) {
        auto measured = reporter.times.find(pairs[i].first);
        auto baseline = reporter.times.find(pairs[i].second);
        if (measured == reporter.times.end() || baseline == reporter.times.end() ||
            baseline->second <= 0)
            continue;
        std::printf("%s / %s: %.2fx (goal: %s)\n", pairs[i].first, pairs[i].second,
                    measured->second / baseline->second, goals[i]);
    }
    std::error_code ec;
    fs::remove_all(freshDir("lookup").parent_path(), ec);
    benchmark::Shutdown();
    return 0;
}
