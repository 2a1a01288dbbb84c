// Small programs run in this runtime and, in the same process, the same
// programs in the Duktape engine as the baseline; prints the ratios.

#include <benchmark/benchmark.h>
#include <duktape.h>

#include <algorithm>
#include <cmath>
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

// Every shape of program a server may send: loops, calls, closures,
// element and property access, strings, sorting, patterns and switches.
const Program kPrograms[] = {
    {"WhileLoop",
     "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
     "(42 (23 (15 \"i\") 20000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"s\" (0 (15 \"s\") (15 \"i\"))))) (15 \"s\")",
     "function run() { var i = 0; var s = 0; while (i < 20000) { s = s + i; i = i + 1; } "
     "return s; }",
     "199990000"},
    {"ForLoop",
     "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
     "(63 (7 \"i\") (23 (15 \"i\") 20000) (3 \"i\" (0 (15 \"i\") 1)) "
     "(46 (3 \"s\" (0 (15 \"s\") (15 \"i\"))))) (15 \"s\")",
     "function run() { var s = 0; for (var i = 0; i < 20000; i = i + 1) { s = s + i; } "
     "return s; }",
     "199990000"},
    {"FunctionCalls",
     "(50 \"add\" (7 \"a\" \"b\") (36 (0 (15 \"a\") (15 \"b\")))) "
     "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
     "(42 (23 (15 \"i\") 10000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"s\" (add (15 \"s\") (15 \"i\"))))) (15 \"s\")",
     "function add(a, b) { return a + b; } "
     "function run() { var i = 0; var s = 0; while (i < 10000) { s = add(s, i); i = i + 1; } "
     "return s; }",
     "49995000"},
    {"Recursion",
     "(50 \"fib\" (7 \"n\") (22 (23 (15 \"n\") 2) (36 (15 \"n\"))) "
     "(36 (0 (fib (37 (15 \"n\") 1)) (fib (37 (15 \"n\") 2))))) (fib 18)",
     "function fib(n) { if (n < 2) return n; return fib(n - 1) + fib(n - 2); } "
     "function run() { return fib(18); }",
     "2584"},
    {"Closures",
     "(50 \"counter\" (7) (41 \"n\") (3 \"n\" 0) "
     "(36 (51 \"\" (7) (3 \"n\" (0 (15 \"n\") 1)) (36 (15 \"n\"))))) "
     "(41 \"next\" \"i\" \"t\") (3 \"next\" (counter)) (3 \"i\" 0) (3 \"t\" 0) "
     "(42 (23 (15 \"i\") 10000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"t\" (0 (15 \"t\") (next))))) (15 \"t\")",
     "function counter() { var n = 0; return function () { n = n + 1; return n; }; } "
     "function run() { var next = counter(); var i = 0; var t = 0; "
     "while (i < 10000) { t = t + next(); i = i + 1; } return t; }",
     "50005000"},
    {"ArrayElements",
     "(41 \"a\" \"i\" \"s\") (3 \"a\" (7)) (3 \"i\" 0) (3 \"s\" 0) "
     "(42 (23 (15 \"i\") 5000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (43 (15 \"a\") (15 \"i\") (26 (15 \"i\") 2)))) (3 \"i\" 0) "
     "(42 (23 (15 \"i\") 5000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"s\" (0 (15 \"s\") (16 (15 \"a\") (15 \"i\")))))) (15 \"s\")",
     "function run() { var a = []; var i = 0; var s = 0; "
     "while (i < 5000) { a[i] = i * 2; i = i + 1; } i = 0; "
     "while (i < 5000) { s = s + a[i]; i = i + 1; } return s; }",
     "24995000"},
    {"ObjectProperties",
     "(41 \"o\" \"i\") (3 \"o\" (8 \"x\" 0 \"y\" 1)) (3 \"i\" 0) "
     "(42 (23 (15 \"i\") 5000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (43 (15 \"o\") \"x\" (0 (16 (15 \"o\") \"x\") (16 (15 \"o\") \"y\"))) "
     "(43 (15 \"o\") \"y\" (0 (16 (15 \"o\") \"y\") 1)))) (16 (15 \"o\") \"x\")",
     "function run() { var o = {x: 0, y: 1}; var i = 0; "
     "while (i < 5000) { o.x = o.x + o.y; o.y = o.y + 1; i = i + 1; } return o.x; }",
     "12502500"},
    {"StringBuilding",
     "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" \"\") "
     "(42 (23 (15 \"i\") 5000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"s\" (0 (15 \"s\") \"ab\")))) (16 (15 \"s\") \"length\")",
     "function run() { var i = 0; var s = ''; while (i < 5000) { s = s + 'ab'; i = i + 1; } "
     "return s.length; }",
     "10000"},
    {"StringMethods",
     "(41 \"s\" \"i\" \"n\") (3 \"s\" \"the quick brown fox jumps\") (3 \"i\" 0) (3 \"n\" 0) "
     "(42 (23 (15 \"i\") 2000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"n\" (0 (15 \"n\") (16 (2 (2 (15 \"s\") \"substring\" (46 4 (0 4 (25 (15 \"i\") 10)))) "
     "\"toUpperCase\" (46)) \"length\"))) "
     "(22 (20 (2 (15 \"s\") \"charAt\" (46 (25 (15 \"i\") 25))) \"o\") "
     "(3 \"n\" (0 (15 \"n\") 100))))) (15 \"n\")",
     "function run() { var s = 'the quick brown fox jumps'; var i = 0; var n = 0; "
     "while (i < 2000) { n = n + s.substring(4, 4 + i % 10).toUpperCase().length; "
     "if (s.charAt(i % 25) === 'o') n = n + 100; i = i + 1; } return n; }",
     "25000"},
    {"SortWithComparator",
     "(41 \"a\" \"i\" \"x\") (3 \"a\" (7)) (3 \"i\" 0) (3 \"x\" 1) "
     "(42 (23 (15 \"i\") 2000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"x\" (25 (0 (26 (15 \"x\") 1103) 12345) 65536)) "
     "(2 (15 \"a\") \"push\" (46 (15 \"x\"))))) "
     "(2 (15 \"a\") \"sort\" (46 (51 \"\" (7 \"p\" \"q\") (36 (37 (15 \"p\") (15 \"q\")))))) "
     "(0 (0 (0 (16 (15 \"a\") 0) \",\") (0 (16 (15 \"a\") 1000) \",\")) (16 (15 \"a\") 1999))",
     "function run() { var a = []; var i = 0; var x = 1; while (i < 2000) { "
     "x = (x * 1103 + 12345) % 65536; a.push(x); i = i + 1; } "
     "a.sort(function (p, q) { return p - q; }); return a[0] + ',' + a[1000] + ',' + a[1999]; }",
     "40,32424,65496"},
    {"RegularExpressions",
     "(41 \"s\" \"i\" \"n\") (3 \"s\" \"order 7731 shipped in 12 boxes\") (3 \"i\" 0) (3 \"n\" 0) "
     "(42 (23 (15 \"i\") 1000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (3 \"n\" (0 (15 \"n\") (2 (15 \"s\") \"search\" (46 \"[0-9]+ b\")))))) (15 \"n\")",
     "function run() { var s = 'order 7731 shipped in 12 boxes'; var i = 0; var n = 0; "
     "while (i < 1000) { n = n + s.search('[0-9]+ b'); i = i + 1; } return n; }",
     "22000"},
    {"Switch",
     "(41 \"i\" \"s\") (3 \"i\" 0) (3 \"s\" 0) "
     "(42 (23 (15 \"i\") 5000) (3 \"i\" (0 (15 \"i\") 1)) false "
     "(46 (38 (25 (15 \"i\") 4) (46 0 1 2) "
     "(46 (53 (3 \"s\" (0 (15 \"s\") 1)) (4)) (53 (3 \"s\" (0 (15 \"s\") 2)) (4)) "
     "(53 (3 \"s\" (0 (15 \"s\") 3)) (4)) (3 \"s\" (0 (15 \"s\") 4)))))) (15 \"s\")",
     "function run() { var i = 0; var s = 0; while (i < 5000) { switch (i % 4) { "
     "case 0: s = s + 1; break; case 1: s = s + 2; break; case 2: s = s + 3; break; "
     "default: s = s + 4; } i = i + 1; } return s; }",
     "12500"},
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
    double logSum = 0;
    int measured = 0;
    double slowest = 0;
    for (const Program& program : kPrograms) {
        auto here = timeOf(std::string("BM_Script_") + program.name);
        auto duk = timeOf(std::string("BM_Duktape_") + program.name);
        if (here == reporter.cpuTimes.end() || duk == reporter.cpuTimes.end() || duk->second <= 0) {
            std::printf("%s: not measured (an error above)\n", program.name);
            continue;
        }
        double ratio = here->second / duk->second;
        logSum += std::log(ratio);
        ++measured;
        slowest = std::max(slowest, ratio);
        std::printf("%s: this runtime / Duktape = %.2fx CPU time (goal: at most 1x)\n",
                    program.name, ratio);
    }
    if (measured > 0)
        std::printf("Geometric mean of %d shapes: %.2fx (goal: at most 0.5x); slowest %.2fx\n",
                    measured, std::exp(logSum / measured), slowest);
    benchmark::Shutdown();
    return 0;
}
