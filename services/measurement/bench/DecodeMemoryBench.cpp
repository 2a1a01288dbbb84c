// Decoding 1 MiB of measurement messages: the heap the codec takes at its
// peak, as a multiple of the input (goal: at most 10x for bundles), and its
// time beside plain nanopb walking the same bytes in the same run.
//
// Every malloc, calloc, realloc and free of the program is counted here at
// the size the allocator really gives (usable bytes plus its header), so the
// peak is the codec's own heap, whatever it thinks it takes. The baseline
// decodes every nested message into a scratch copy of its generated struct
// and skips strings: nanopb's own work, nothing kept. Under a sanitizer the
// allocator is the sanitizer's and only the times are reported.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/log/Log.h"
#include "services/measurement/APMPBCodecs.h"
#include "services/measurement/APMPBMessage.h"
#include "services/measurement/tests/WireBytes.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DECODE_BENCH_COUNTS_HEAP 0
#else
#define DECODE_BENCH_COUNTS_HEAP 1
#endif

namespace {

std::atomic<std::int64_t> gHeapInUse{0};
std::atomic<std::int64_t> gHeapPeak{0};

}  // namespace

#if DECODE_BENCH_COUNTS_HEAP
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* memory);
}

namespace {

std::int64_t blockSize(void* memory) {
    return memory ? static_cast<std::int64_t>(malloc_usable_size(memory) + sizeof(std::size_t))
                  : 0;
}

void* counted(void* memory) {
    const std::int64_t now = gHeapInUse.fetch_add(blockSize(memory), std::memory_order_relaxed) +
                             blockSize(memory);
    std::int64_t peak = gHeapPeak.load(std::memory_order_relaxed);
    while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return memory;
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    return counted(__libc_malloc(size));
}
void* calloc(std::size_t count, std::size_t size) {
    return counted(__libc_calloc(count, size));
}
void* realloc(void* memory, std::size_t size) {
    const std::int64_t before = blockSize(memory);
    void* moved = __libc_realloc(memory, size);
    if (moved == nullptr && size != 0) return nullptr;
    gHeapInUse.fetch_sub(before, std::memory_order_relaxed);
    return counted(moved);
}
void* memalign(std::size_t alignment, std::size_t size) {
    return counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    void* memory = memalign(alignment, size);
    if (memory == nullptr) return ENOMEM;
    *out = memory;
    return 0;
}
void free(void* memory) {
    gHeapInUse.fetch_sub(blockSize(memory), std::memory_order_relaxed);
    __libc_free(memory);
}
}
#endif

namespace {

constexpr std::size_t kInputBytes = 1 << 20;

// `element` as field 1..15 of a message, repeated until the bytes reach 1 MiB.
std::vector<std::uint8_t> repeatedToOneMiB(std::uint32_t fieldNumber,
                                           const std::vector<std::uint8_t>& element) {
    std::vector<std::uint8_t> one;
    one.push_back(static_cast<std::uint8_t>(fieldNumber << 3 | 2));
    appendVarint(one, element.size());
    one.insert(one.end(), element.begin(), element.end());
    std::vector<std::uint8_t> out;
    out.reserve(kInputBytes + one.size());
    while (out.size() < kInputBytes) out.insert(out.end(), one.begin(), one.end());
    return out;
}

std::vector<std::uint8_t> bytesOf(const APMPBMessage& message) {
    const auto data = message.protoBuffer();
    return data ? std::vector<std::uint8_t>(data->begin(), data->end())
                : std::vector<std::uint8_t>{};
}

std::shared_ptr<APMPBEventParam> param(const char* name, Value value) {
    auto p = APMPBEventParam::make();
    APMPBSetString(p.get(), 0, name);
    if (value.isString()) APMPBSetString(p.get(), 1, value);
    if (value.isInteger()) APMPBSetInt64(p.get(), 2, *value.asInt());
    if (value.isNumber() && !value.isInteger()) APMPBSetDouble(p.get(), 4, *value.asDouble());
    return p;
}

std::shared_ptr<APMPBEvent> event(const char* name, std::int64_t millis,
                                  std::vector<APMPBObject> params) {
    auto e = APMPBEvent::make();
    APMPBSetArray(e.get(), 0, params);
    APMPBSetString(e.get(), 1, name);
    APMPBSetInt64(e.get(), 2, millis);
    APMPBSetInt64(e.get(), 3, millis - 30000);
    return e;
}

// A bundle as the engine uploads it: its header and 100 events of three
// kinds with two or three parameters each, and two user attributes.
std::vector<std::uint8_t> ordinaryBundle() {
    auto bundle = APMPBMeasurementBundle::make();
    APMPBSetInt32(bundle.get(), 0, 1);
    std::vector<APMPBObject> events;
    std::int64_t millis = 1700000000000;
    for (int i = 0; i < 100; ++i, millis += 1731) {
        switch (i % 3) {
            case 0:
                events.emplace_back(event("_e", millis,
                                          {param("_o", Value("auto")), param("_et", Value(1234 + i))}));
                break;
            case 1:
                events.emplace_back(event("screen_view", millis,
                                          {param("_o", Value("auto")),
                                           param("_sc", Value("MainViewController")),
                                           param("_si", Value(-5432198765432 - i))}));
                break;
            default:
                events.emplace_back(event("level_up", millis,
                                          {param("level", Value(i)),
                                           param("character", Value("wizard")),
                                           param("score", Value(12.5))}));
        }
    }
    APMPBSetArray(bundle.get(), 1, events);
    std::vector<APMPBObject> attributes;
    for (const char* name : {"_fot", "_lte"}) {
        auto a = APMPBUserAttribute::make();
        APMPBSetInt64(a.get(), 0, millis);
        APMPBSetString(a.get(), 1, name);
        APMPBSetInt64(a.get(), 3, 1700000000000);
        attributes.emplace_back(a);
    }
    APMPBSetArray(bundle.get(), 2, attributes);
    for (int id : {3, 4, 5}) APMPBSetInt64(bundle.get(), id, millis);
    APMPBSetString(bundle.get(), 8, "macos");
    APMPBSetString(bundle.get(), 9, "14.2.1");
    APMPBSetString(bundle.get(), 10, "MacBookPro18,3");
    APMPBSetString(bundle.get(), 11, "en-us");
    APMPBSetInt32(bundle.get(), 12, 60);
    APMPBSetString(bundle.get(), 14, "1:123456789012:macos:0123456789abcdef");
    APMPBSetString(bundle.get(), 16, "2.4.1");
    APMPBSetInt64(bundle.get(), 17, 110200);
    APMPBSetString(bundle.get(), 22, "0f1e2d3c4b5a69788796a5b4c3d2e1f0");
    return bytesOf(*bundle);
}

std::shared_ptr<APMPBNumberFilter> numberFilter(int comparison, const char* value) {
    auto f = APMPBNumberFilter::make();
    APMPBSetInt32(f.get(), 0, comparison);
    APMPBSetString(f.get(), 2, value);
    return f;
}

// An audience as the service sends it: one event filter on a parameter and
// a count, one property filter on a string.
std::vector<std::uint8_t> ordinaryAudience() {
    auto eventFilter = APMPBEventFilter::make();
    APMPBSetInt32(eventFilter.get(), 0, 11);
    APMPBSetString(eventFilter.get(), 1, "purchase");
    auto paramFilter = APMPBFilter::make();
    APMPBSetMessage(paramFilter.get(), 1, numberFilter(2, "10").get());
    APMPBSetString(paramFilter.get(), 3, "value");
    APMPBSetArray(eventFilter.get(), 2, {APMPBObject(paramFilter)});
    APMPBSetMessage(eventFilter.get(), 4, numberFilter(3, "2").get());

    auto stringFilter = APMPBStringFilter::make();
    APMPBSetInt32(stringFilter.get(), 0, 1);
    APMPBSetString(stringFilter.get(), 1, "US");
    auto propertyFilter = APMPBPropertyFilter::make();
    APMPBSetInt32(propertyFilter.get(), 0, 12);
    APMPBSetString(propertyFilter.get(), 1, "country");
    auto filter = APMPBFilter::make();
    APMPBSetMessage(filter.get(), 0, stringFilter.get());
    APMPBSetMessage(propertyFilter.get(), 2, filter.get());

    auto audience = APMPBAudience::make();
    APMPBSetInt32(audience.get(), 0, 1234567);
    APMPBSetArray(audience.get(), 1, {APMPBObject(propertyFilter)});
    APMPBSetArray(audience.get(), 2, {APMPBObject(eventFilter)});
    return bytesOf(*audience);
}

struct Shape {
    const APMPBMessageType* type;
    std::vector<std::uint8_t> bytes;
};

// Bundles in a batch, audiences in a configuration; ordinary ones and empty
// ones, two bytes each, the shape that costs most per input byte.
const Shape& shape(int index) {
    static const std::vector<Shape> shapes = {
        {&kAPMPBMeasurementBatchType, repeatedToOneMiB(1, ordinaryBundle())},
        {&kAPMPBMeasurementBatchType, repeatedToOneMiB(1, {})},
        {&kAPMPBMeasurementConfigType, repeatedToOneMiB(6, ordinaryAudience())},
        {&kAPMPBMeasurementConfigType, repeatedToOneMiB(6, {})},
    };
    return shapes[static_cast<std::size_t>(index)];
}
const char* const kShapeNames[] = {"bundles", "empty bundles", "audiences", "empty audiences"};

const APMPBMessageType* typeOf(const pb_msgdesc_t* descriptor) {
    static const auto* const types = [] {
        auto* all = new std::unordered_map<const pb_msgdesc_t*, const APMPBMessageType*>();
        for (const APMPBMessageType* t : kAPMPBMessageTypes) all->emplace(t->descriptor, t);
        return all;
    }();
    return types->at(descriptor);
}

bool walkField(pb_istream_t* stream, const pb_field_t* field, void**);

// Plain nanopb over one message: every callback field walks its element.
bool walk(pb_istream_t* stream, const pb_msgdesc_t* descriptor) {
    alignas(std::max_align_t) std::uint8_t wire[4096];
    const std::size_t size = typeOf(descriptor)->structSize;
    if (size > sizeof wire) return false;
    std::memset(wire, 0, size);
    pb_field_iter_t iter;
    if (pb_field_iter_begin(&iter, descriptor, wire)) {
        do {
            if (PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK) {
                static_cast<pb_callback_t*>(iter.pData)->funcs.decode = walkField;
            }
        } while (pb_field_iter_next(&iter));
    }
    return pb_decode_ex(stream, descriptor, wire, PB_DECODE_NOINIT);
}

bool walkField(pb_istream_t* stream, const pb_field_t* field, void**) {
    if (PB_LTYPE_IS_SUBMSG(field->type)) return walk(stream, field->submsg_desc);
    if (PB_LTYPE(field->type) == PB_LTYPE_STRING || PB_LTYPE(field->type) == PB_LTYPE_BYTES) {
        return pb_read(stream, nullptr, stream->bytes_left);
    }
    std::uint64_t value = 0;
    return pb_decode_varint(stream, &value);
}

void report(benchmark::State& state, const Shape& s, std::int64_t peak, bool decoded,
            std::int64_t kept = 0) {
    state.SetLabel(kShapeNames[state.range(0)]);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.bytes.size()));
    state.counters["input_bytes"] = static_cast<double>(s.bytes.size());
    state.counters["decoded"] = decoded ? 1 : 0;
    if (DECODE_BENCH_COUNTS_HEAP) {
        state.counters["peak_extra_bytes"] = static_cast<double>(peak);
        state.counters["peak_per_input"] = static_cast<double>(peak) / s.bytes.size();
        state.counters["kept_per_input"] = static_cast<double>(kept) / s.bytes.size();
    }
}

void BM_NanopbWalk(benchmark::State& state) {
    const Shape& s = shape(static_cast<int>(state.range(0)));
    std::int64_t peak = 0;
    bool decoded = true;
    for (auto _ : state) {
        const std::int64_t before = gHeapInUse.load();
        gHeapPeak = before;
        pb_istream_t stream = pb_istream_from_buffer(s.bytes.data(), s.bytes.size());
        decoded = walk(&stream, s.type->descriptor) && decoded;
        peak = std::max(peak, gHeapPeak.load() - before);
    }
    report(state, s, peak, decoded);
}
BENCHMARK(BM_NanopbWalk)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_CodecDecode(benchmark::State& state) {
    const Shape& s = shape(static_cast<int>(state.range(0)));
    std::int64_t peak = 0;
    std::int64_t kept = 0;
    bool decoded = true;
    sim::setLogEcho(false);
    for (auto _ : state) {
        const std::int64_t before = gHeapInUse.load();
        gHeapPeak = before;
        auto* info = static_cast<APMPBMessageInfo*>(std::calloc(1, sizeof(APMPBMessageInfo)));
        APMPBInitMessageInfo(*s.type, info);
        decoded = APMPBDecode(*s.type, s.bytes.data(), s.bytes.size(), info) && decoded;
        peak = std::max(peak, gHeapPeak.load() - before);
        kept = std::max(kept, gHeapInUse.load() - before);
        APMPBFreeMessageInfo(*s.type, info);
    }
    sim::setLogEcho(true);
    report(state, s, peak, decoded, kept);
}
BENCHMARK(BM_CodecDecode)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// Keeps each run's time and counters for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    struct Figures {
        double time = 0;
        double peakPerInput = -1;
        double decoded = 0;
    };
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type == Run::RT_Aggregate) continue;
            Figures& f = figures[run.run_name.function_name][run.report_label];
            f.time = run.GetAdjustedRealTime();
            if (auto c = run.counters.find("peak_per_input"); c != run.counters.end()) {
                f.peakPerInput = c->second;
            }
            if (auto c = run.counters.find("decoded"); c != run.counters.end()) {
                f.decoded = c->second;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, std::map<std::string, Figures>> figures;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* name : kShapeNames) {
        const auto& codec = reporter.figures["BM_CodecDecode"][name];
        const auto& plain = reporter.figures["BM_NanopbWalk"][name];
        if (codec.time <= 0 || plain.time <= 0) continue;
        std::printf("%-16s codec %s: %.1fx the time of plain nanopb", name,
                    codec.decoded ? "decodes" : "refuses", codec.time / plain.time);
        if (codec.peakPerInput >= 0) {
            std::printf(", peak extra heap %.2fx the input (goal: at most 10x)",
                        codec.peakPerInput);
        }
        std::printf("\n");
    }
    benchmark::Shutdown();
    return 0;
}
