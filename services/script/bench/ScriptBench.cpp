// Small programs run in this runtime and, in the same process, the same
// programs in the Duktape engine as the baseline; prints the ratios.

#include <benchmark/benchmark.h>
#include <duktape.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "services/script/APMPRuntime.h"
#include "services/script/tests/ScriptTestSupport.h"

namespace {

struct Program {
    const char* name;
    const char* entities;  // this runtime's notation (see ScriptTestSupport.h)
    const char* javascript;
    const char* expected;  // the result both must produce
};

const Program kPrograms[] = {
    {"CountingLoop",
     "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
     "(42 (23 (15 \"i\") 20000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"s\" (0 (15 \"s\") (15 \"i\"))))) (15 \"s\")",
     "function run() { var i = 0; var s = 0; while (i < 20000) { s = s + i; i = i + 1; } "
     "return s; }",
     "199990000"},
    {"StringBuilding",
     "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" \"\") "
     "(42 (23 (15 \"i\") 5000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"s\" (0 (15 \"s\") \"ab\")))) (16 (15 \"s\") \"length\")",
     "function run() { var i = 0; var s = ''; while (i < 5000) { s = s + 'ab'; i = i + 1; } "
     "return s.length; }",
     "10000"},
    {"ArraySorting",
     "(41 \"a\" \"i\" \"x\") (3 \"a\" (7)) (3 \"i\" 0) (3 \"x\" 1) "
     "(42 (23 (15 \"i\") 2000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"x\" (25 (0 (26 (15 \"x\") 1103) 12345) 65536)) "
     "(2 (15 \"a\") \"push\" (46 (15 \"x\"))))) "
     "(2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") (36 (37 (15 \"p\") (15 \"q\")))))) "
     "(16 (15 \"a\") 0)",
     "function run() { var a = []; var i = 0; var x = 1; while (i < 2000) { "
     "x = (x * 1103 + 12345) % 65536; a.push(x); i = i + 1; } "
     "a.sort(function (p, q) { return p - q; }); return a[0]; }",
     nullptr},
};

void runHere(benchmark::State& state, const Program& program) {
    APMPRuntime runtime;
    APMPErrorSlot error;
    APMPValueList statements;
    for (const auto& entity : script_test::program(program.entities))
        statements.push_back(
            APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity, error));
    std::string result;
    for (auto _ : state) {
        runtime.resetInstructionCount();
        APMPValueRef value = runtime.executeValues(statements, error);
        if (error) {
            state.SkipWithError(("script error " + std::to_string(error->code)).c_str());
            return;
        }
        result = APMPUTF8(value->stringValueOrError(error));
    }
    if (program.expected && result != program.expected)
        state.SkipWithError(("unexpected result " + result).c_str());
    state.SetLabel(result);
}

void runDuktape(benchmark::State& state, const Program& program) {
    duk_context* ctx = duk_create_heap_default();
    if (duk_peval_string(ctx, program.javascript) != 0) {
        state.SkipWithError(duk_safe_to_string(ctx, -1));
        duk_destroy_heap(ctx);
        return;
    }
    duk_pop(ctx);
    std::string result;
    for (auto _ : state) {
        duk_get_global_string(ctx, "run");
        if (duk_pcall(ctx, 0) != 0) {
            state.SkipWithError(duk_safe_to_string(ctx, -1));
            break;
        }
        result = duk_safe_to_string(ctx, -1);
        duk_pop(ctx);
    }
    duk_destroy_heap(ctx);
    if (program.expected && result != program.expected)
        state.SkipWithError(("unexpected result " + result).c_str());
    state.SetLabel(result);
}

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs)
            if (!run.error_occurred) cpuTimes[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> cpuTimes;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Program& program : kPrograms) {
        benchmark::RegisterBenchmark((std::string("BM_Script_") + program.name).c_str(),
                                     [&program](benchmark::State& s) { runHere(s, program); })
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("BM_Duktape_") + program.name).c_str(),
                                     [&program](benchmark::State& s) { runDuktape(s, program); })
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // With repetitions, the medians; otherwise the single runs.
    auto timeOf = [&](const std::string& name) {
        auto median = reporter.cpuTimes.find(name + "_median");
        return median != reporter.cpuTimes.end() ? median : reporter.cpuTimes.find(name);
    };
    for (const Program& program : kPrograms) {
        auto here = timeOf(std::string("BM_Script_") + program.name);
        auto duk = timeOf(std::string("BM_Duktape_") + program.name);
        if (here == reporter.cpuTimes.end() || duk == reporter.cpuTimes.end() || duk->second <= 0)
            continue;
        std::printf("%s: this runtime / Duktape = %.2fx CPU time (goal: at most 1x)\n",
                    program.name, here->second / duk->second);
    }
    benchmark::Shutdown();
    return 0;
}
