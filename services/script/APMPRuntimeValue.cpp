#include "services/script/APMPRuntimeValue.h"

#include <sanitizer/asan_interface.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <typeinfo>

#include "services/script/APMPCollectionCommands.h"
#include "services/script/APMPRuntime.h"

void APMPSetError(APMPErrorSlot& error, int code) {
    error = NSError(kAPMPScriptErrorDomain, code);
}

APMPString APMPUTF16(std::string_view utf8) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    return APMPString(reinterpret_cast<const char16_t*>(u.getBuffer()),
                      static_cast<std::size_t>(u.length()));
}

std::string APMPUTF8(const APMPString& text) {
    icu::UnicodeString u(false, reinterpret_cast<const UChar*>(text.data()),
                         static_cast<int32_t>(text.size()));
    std::string out;
    u.toUTF8String(out);
    return out;
}

// ---- run context and bounds ----

namespace {
std::atomic<std::int64_t> gLiveBytes{0};

// Each thread gathers its own changes to the live bytes and adds them to
// the shared count once they pass a small bound, so that appending an
// element costs no atomic operation. The shared count is off by at most
// the bound for each thread that runs programs.
class LocalBytes {
  public:
    ~LocalBytes() { flush(); }
    LocalBytes() = default;
    LocalBytes(const LocalBytes&) = delete;
    LocalBytes& operator=(const LocalBytes&) = delete;
    // Adds a change; the total live bytes as this thread sees them.
    std::int64_t add(std::int64_t bytes) {
        pending_ += bytes;
        if (pending_ > kBound || pending_ < -kBound) flush();
        return total();
    }
    std::int64_t total() const { return gLiveBytes.load(std::memory_order_relaxed) + pending_; }
    void flush() {
        if (pending_ != 0) gLiveBytes.fetch_add(pending_, std::memory_order_relaxed);
        pending_ = 0;
    }

  private:
    static constexpr std::int64_t kBound = std::int64_t{64} << 10;
    std::int64_t pending_ = 0;
};
thread_local LocalBytes tLiveBytes;

// Evaluations between two looks at the clock: about a millisecond.
constexpr std::int64_t kCheckInterval = 16384;

std::int64_t threadTimeNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers slow every evaluation down about tenfold; the time limit
// is meant for programs, not for the instrumentation.
const std::int64_t APMPRunContext::kTimeLimitNanoseconds = std::int64_t{10} * 1000000000;
#else
const std::int64_t APMPRunContext::kTimeLimitNanoseconds = 1000000000;
#endif

APMPRunContext::~APMPRunContext() {
    releaseAll();
}

APMPRegexCache& APMPRunContext::regexCache() {
    if (!regexCache_) regexCache_ = std::make_unique<APMPRegexCache>();
    return *regexCache_;
}

void APMPRunContext::resetBudget() {
    instructionCount = 0;
    work_ = 0;
    checkpoint = 0;
    clockStart_ = -1;
    stopCode_ = 0;
}

bool APMPRunContext::passCheckpoint(APMPErrorSlot& error) {
    if (stopCode_ == 0 && instructionCount >= remaining()) stopCode_ = kAPMPErrorInstructionLimit;
    if (stopCode_ == 0) {
        std::int64_t now = threadTimeNanoseconds();
        if (clockStart_ < 0) clockStart_ = now;
        if (now - clockStart_ > timeLimitNanoseconds) stopCode_ = kAPMPErrorInstructionLimit;
    }
    if (stopCode_ != 0) {
        checkpoint = 0;
        APMPSetError(error, stopCode_);
        return false;
    }
    checkpoint = std::min(remaining(), instructionCount + kCheckInterval);
    return true;
}

bool APMPRunContext::chargeWork(std::int64_t units, APMPErrorSlot& error) {
    if (units <= 0) return true;
    addWork(units);
    return instructionCount < checkpoint || passCheckpoint(error);
}

void APMPRunContext::stopWith(int code) {
    if (stopCode_ == 0) stopCode_ = code;
    checkpoint = 0;
}

bool APMPChargeWork(std::int64_t units, APMPErrorSlot& error) {
    APMPRunContext* context = APMPRunContext::current();
    return !context || context->chargeWork(units, error);
}

void APMPAddWork(std::int64_t units) {
    if (units <= 0) return;
    if (APMPRunContext* context = APMPRunContext::current()) context->addWork(units);
}

void APMPAddBytes(std::int64_t bytes) {
    std::int64_t total = tLiveBytes.add(bytes);
    if (bytes > 0 && total > APMPRunContext::kMaxLiveBytes)
        if (APMPRunContext* context = APMPRunContext::current())
            context->stopWith(kAPMPErrorSizeLimit);
}

void APMPReleaseBytes(std::int64_t bytes) {
    tLiveBytes.add(-bytes);
}

bool APMPListBuilder::reserve(std::size_t count, std::int64_t bytesEach, APMPErrorSlot& error) {
    if (count >
        APMPRunContext::kMaxElements - std::min(values.size(), APMPRunContext::kMaxElements)) {
        APMPSetError(error, kAPMPErrorSizeLimit);
        return false;
    }
    auto many = static_cast<std::int64_t>(count);
    if (!APMPChargeWork(many, error) || !held_.charge(many * bytesEach, error)) return false;
    if (count > 1) values.reserve(values.size() + count);
    return true;
}

// ---- release without recursion ----

namespace {
struct ReleaseList {
    std::vector<std::shared_ptr<const void>> pending;
    bool draining = false;
};

// The thread's list; null once the thread's objects are being destroyed,
// when values that go away later are released at once.
ReleaseList* releaseList() {
    thread_local bool ended = false;
    struct Owner {
        ReleaseList list;
        ~Owner() { ended = true; }
    };
    if (ended) return nullptr;
    thread_local Owner owner;
    return &owner.list;
}
}  // namespace

void APMPReleaseLater(std::shared_ptr<const void> reference) {
    // A reference others share frees nothing when dropped here.
    if (!reference || reference.use_count() != 1) return;
    if (ReleaseList* list = releaseList()) list->pending.push_back(std::move(reference));
}

namespace {
// Only a container can make a release recurse: a value that holds no other
// values is dropped at once, sparing the work list a step per element.
void releaseValueLater(APMPValueRef&& value) {
    switch (value ? value->kind() : APMPKind::Undefined) {
        case APMPKind::Number:
        case APMPKind::String:
        case APMPKind::Boolean:
        case APMPKind::Null:
        case APMPKind::Undefined:
            value.reset();
            return;
        default:
            APMPReleaseLater(std::move(value));
    }
}
}  // namespace

void APMPFinishReleases() {
    ReleaseList* list = releaseList();
    if (!list || list->draining) return;
    list->draining = true;
    while (!list->pending.empty()) {
        // Dropping the last reference runs its destructor, which may add
        // more to the list: the list is not touched while that happens.
        std::shared_ptr<const void> next = std::move(list->pending.back());
        list->pending.pop_back();
        next.reset();
    }
    list->draining = false;
}

void APMPRunContext::track(const std::shared_ptr<APMPReleasable>& container) {
    if (tracked_.size() >= pruneAt_) {
        std::erase_if(tracked_, [](const auto& weak) { return weak.expired(); });
        pruneAt_ = std::max<std::size_t>(1024, tracked_.size() * 2);
    }
    tracked_.push_back(container);
}

void APMPRunContext::releaseAll() {
    // Releasing one container may free others; take the strong references
    // first so that none goes away while we walk.
    std::vector<std::shared_ptr<APMPReleasable>> alive;
    alive.reserve(tracked_.size());
    for (auto& weak : tracked_)
        if (auto strong = weak.lock()) alive.push_back(std::move(strong));
    tracked_.clear();
    for (auto& container : alive) container->releaseReferences();
}

void APMPRunContext::releaseUnmarked(const APMPMarker& marker) {
    std::vector<std::shared_ptr<APMPReleasable>> unreached;
    std::vector<std::weak_ptr<APMPReleasable>> kept;
    kept.reserve(tracked_.size());
    for (auto& weak : tracked_) {
        auto strong = weak.lock();
        if (!strong) continue;
        if (marker.isMarked(strong.get())) {
            kept.push_back(std::move(weak));
        } else {
            unreached.push_back(std::move(strong));
        }
    }
    tracked_ = std::move(kept);
    pruneAt_ = std::max<std::size_t>(1024, tracked_.size() * 2);
    for (auto& container : unreached) container->releaseReferences();
}

void APMPMarker::push(const APMPReleasable* container) {
    if (container && marked_.insert(container).second) pending_.push_back(container);
}

void APMPMarker::markValue(const APMPValueRef& value) {
    if (!value) return;
    switch (value->kind()) {
        case APMPKind::Map:
            push(static_cast<const APMPMapValue*>(value.get()));
            break;
        case APMPKind::Array:
            push(static_cast<const APMPArrayValue*>(value.get()));
            break;
        case APMPKind::Function:
            push(static_cast<const APMPFunctionValue*>(value.get()));
            break;
        case APMPKind::Control:
            markValue(static_cast<const APMPControlValue&>(*value).data);
            break;
        default:
            break;
    }
}

void APMPMarker::markScope(const APMPScope* scope) {
    push(scope);
}

void APMPMarker::drain() {
    while (!pending_.empty()) {
        const APMPReleasable* container = pending_.back();
        pending_.pop_back();
        container->markReferences(*this);
    }
}

static void APMPTrack(const std::shared_ptr<APMPReleasable>& container) {
    if (APMPRunContext* context = APMPRunContext::current()) context->track(container);
}

std::int64_t APMPLiveBytes() {
    tLiveBytes.flush();
    return gLiveBytes.load(std::memory_order_relaxed);
}

bool APMPReserveBytes(std::int64_t bytes, APMPErrorSlot& error) {
    if (bytes > 0 && tLiveBytes.total() + bytes > APMPRunContext::kMaxLiveBytes) {
        APMPSetError(error, kAPMPErrorSizeLimit);
        return false;
    }
    return true;
}

bool APMPCheckStringLength(std::size_t length, APMPErrorSlot& error) {
    if (length > APMPRunContext::kMaxStringLength) {
        APMPSetError(error, kAPMPErrorSizeLimit);
        return false;
    }
    return APMPReserveBytes(static_cast<std::int64_t>(length * sizeof(char16_t)), error);
}

// ---- numbers and text ----

APMPString APMPNumberToString(double value) {
    if (std::isnan(value)) return u"NaN";
    if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
    if (value == 0) return u"0";
    char buffer[64];
    double magnitude = std::fabs(value);
    std::to_chars_result result;
    if (magnitude >= 1e21 || magnitude < 1e-6) {
        result =
            std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    } else {
        result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    }
    std::string text(buffer, result.ptr);
    std::size_t e = text.find('e');
    if (e != std::string::npos) {
        // Shortest digits, then the exponent without sign padding: "e+21", "e-6".
        std::string mantissa = text.substr(0, e);
        char sign = text[e + 1];
        std::string digits = text.substr(e + 2);
        std::size_t firstNonZero = digits.find_first_not_of('0');
        digits = firstNonZero == std::string::npos ? "0" : digits.substr(firstNonZero);
        text = mantissa + (sign == '-' ? "e-" : "e+") + digits;
    }
    return APMPString(text.begin(), text.end());
}

static bool APMPIsSpaceOrBreak(char16_t c) {
    return u_isUWhiteSpace(c) || c == u'\n' || c == u'\r' || c == 0x85 || c == 0x2028 ||
           c == 0x2029 || c == u'\t' || c == 0x0B || c == 0x0C;
}

double APMPStringToNumber(const APMPString& text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && APMPIsSpaceOrBreak(text[begin])) ++begin;
    while (end > begin && APMPIsSpaceOrBreak(text[end - 1])) --end;
    if (begin == end) return 0;
    std::string ascii;
    ascii.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
        if (text[i] > 0x7f) return std::numeric_limits<double>::quiet_NaN();
        ascii.push_back(static_cast<char>(text[i]));
    }
    if (ascii == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (ascii == "Infinity") return std::numeric_limits<double>::infinity();
    if (ascii == "-Infinity") return -std::numeric_limits<double>::infinity();
    // Optional sign, digits with an optional fraction, optional exponent.
    std::size_t i = 0;
    bool negative = false;
    if (ascii[i] == '+' || ascii[i] == '-') negative = ascii[i++] == '-';
    std::size_t numberStart = i;
    std::size_t digits = 0;
    while (i < ascii.size() && std::isdigit(static_cast<unsigned char>(ascii[i]))) ++i, ++digits;
    if (i < ascii.size() && ascii[i] == '.') {
        ++i;
        while (i < ascii.size() && std::isdigit(static_cast<unsigned char>(ascii[i])))
            ++i, ++digits;
    }
    if (digits == 0) return std::numeric_limits<double>::quiet_NaN();
    if (i < ascii.size() && (ascii[i] == 'e' || ascii[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < ascii.size() && (ascii[j] == '+' || ascii[j] == '-')) ++j;
        std::size_t expDigits = 0;
        while (j < ascii.size() && std::isdigit(static_cast<unsigned char>(ascii[j])))
            ++j, ++expDigits;
        if (expDigits == 0) return std::numeric_limits<double>::quiet_NaN();
        i = j;
    }
    if (i != ascii.size()) return std::numeric_limits<double>::quiet_NaN();
    std::string body = ascii.substr(numberStart);
    if (body[0] == '.') body.insert(body.begin(), '0');
    double value = 0;
    auto parsed = std::from_chars(body.data(), body.data() + body.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) {
        // Overflow reads as infinity and underflow as zero, as a scanner does.
        bool tiny = body.find("e-") != std::string::npos || body.find("E-") != std::string::npos;
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (parsed.ec != std::errc()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return negative ? -value : value;
}

std::int32_t APMPToInt32(double value) {
    if (!std::isfinite(value)) return 0;
    double r = std::fmod(std::trunc(value), 4294967296.0);
    if (r >= 2147483647.0) return 2147483647;
    if (r <= -2147483648.0) return -2147483647 - 1;
    return static_cast<std::int32_t>(r);
}

std::uint32_t APMPToUint32(double value) {
    return static_cast<std::uint32_t>(APMPToInt32(value));
}

double APMPToInteger(double value) {
    if (std::isnan(value)) return 0;
    if (value == 0 || std::isinf(value)) return value;
    return std::trunc(value);
}

// The index a number or string value names, read without a conversion
// call: the value when it is finite, non-negative and whole.
static bool APMPArrayIndexOf(const APMPRuntimeValue& value, double& index) {
    double d;
    if (value.kind() == APMPKind::Number)
        d = static_cast<const APMPNumberValue&>(value).value;
    else if (value.kind() == APMPKind::String)
        d = APMPStringToNumber(static_cast<const APMPStringValue&>(value).value);
    else
        return false;
    if (!(d >= 0) || !std::isfinite(d) || std::trunc(d) != d) return false;
    index = d;
    return true;
}

bool APMPIsArrayIndex(const APMPRuntimeValue& value) {
    double index = 0;
    return APMPArrayIndexOf(value, index);
}

bool APMPIsStringLike(const APMPRuntimeValue& value) {
    switch (value.kind()) {
        case APMPKind::Array:
        case APMPKind::Function:
        case APMPKind::Map:
        case APMPKind::String:
            return true;
        default:
            return false;
    }
}

bool APMPStringsEqual(const APMPString& a, const APMPString& b) {
    return a == b;
}
bool APMPNumbersEqual(double a, double b) {
    return a == b;
}

bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPErrorSlot& error) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case APMPKind::Number:
        case APMPKind::Boolean:
            return APMPNumbersEqual(a.doubleValueOrError(error), b.doubleValueOrError(error));
        case APMPKind::String:
            return APMPStringsEqual(static_cast<const APMPStringValue&>(a).value,
                                    static_cast<const APMPStringValue&>(b).value);
        default:
            return &a == &b;
    }
}

// ---- base value ----

APMPString APMPRuntimeValue::stringValueOrError(APMPErrorSlot& error) const {
    APMPSetError(error, kAPMPErrorNoString);
    return {};
}
double APMPRuntimeValue::doubleValueOrError(APMPErrorSlot& error) const {
    APMPSetError(error, kAPMPErrorNoNumber);
    return std::numeric_limits<double>::quiet_NaN();
}
bool APMPRuntimeValue::booleanValueOrError(APMPErrorSlot& error) const {
    APMPSetError(error, kAPMPErrorNoBoolean);
    return false;
}
APMPValueRef APMPRuntimeValue::applyWithName(const APMPString& name, const APMPValueList&,
                                             const APMPScopeRef&, APMPErrorSlot& error) {
    if (name == u"toString") {
        APMPString text = stringValueOrError(error);
        if (error) return APMPUndefined();
        return APMPStringValue::make(std::move(text));
    }
    APMPSetError(error, kAPMPErrorNoMethod);
    return APMPUndefined();
}
bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return this == &other;
}

// ---- reused blocks for numbers and strings ----

namespace {
constexpr std::size_t kKeptBlocks = 4096;

// The blocks of one size released on this thread, for the next values of
// that size: loops make and drop numbers and strings at every step. Null
// once the thread's objects are being destroyed.
template <class Block>
std::vector<void*>* keptBlocks() {
    thread_local bool ended = false;
    struct Owner {
        std::vector<void*> blocks;
        ~Owner() {
            ended = true;
            for (void* block : blocks) {
                ASAN_UNPOISON_MEMORY_REGION(block, sizeof(Block));
                ::operator delete(block);
            }
        }
    };
    if (ended) return nullptr;
    thread_local Owner owner;
    return &owner.blocks;
}

template <class T>
struct ReusingAllocator {
    using value_type = T;
    ReusingAllocator() = default;
    template <class U>
    explicit ReusingAllocator(const ReusingAllocator<U>&) {}
    T* allocate(std::size_t count) {
        std::vector<void*>* kept = count == 1 ? keptBlocks<T>() : nullptr;
        if (kept && !kept->empty()) {
            void* block = kept->back();
            kept->pop_back();
            ASAN_UNPOISON_MEMORY_REGION(block, sizeof(T));
            return static_cast<T*>(block);
        }
        return static_cast<T*>(::operator new(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t count) {
        std::vector<void*>* kept = count == 1 ? keptBlocks<T>() : nullptr;
        if (kept && kept->size() < kKeptBlocks) {
            if (kept->capacity() == 0) kept->reserve(kKeptBlocks);
            kept->push_back(block);
            // A use after release is still caught under AddressSanitizer.
            ASAN_POISON_MEMORY_REGION(block, sizeof(T));
            return;
        }
        ::operator delete(block);
    }
    template <class U>
    bool operator==(const ReusingAllocator<U>&) const {
        return true;
    }
};

// A value every runtime and thread shares for as long as the process
// lives. Its references are not counted, so that copying and dropping one
// costs no atomic operation; with no count to read, nothing ever takes it
// for a value only it holds and changes it in place.
template <class Value, class... Arguments>
APMPValueRef shareForever(Arguments... arguments) {
    return APMPValueRef(APMPValueRef(), new Value(arguments...));
}
}  // namespace

// ---- number ----

APMPValueRef APMPNumberValue::make(double value) {
    constexpr int kShared = 1024;
    static const std::vector<APMPValueRef>* shared = [] {
        auto* values = new std::vector<APMPValueRef>();
        for (int i = 0; i < kShared; ++i)
            values->push_back(shareForever<APMPNumberValue>(static_cast<double>(i)));
        return values;
    }();
    // Negative zero keeps its own value.
    if (value >= 0 && value < kShared && !std::signbit(value)) {
        auto index = static_cast<int>(value);
        if (index == value) return (*shared)[static_cast<std::size_t>(index)];
    }
    return std::allocate_shared<APMPNumberValue>(ReusingAllocator<APMPNumberValue>(), value);
}

APMPString APMPNumberValue::stringValueOrError(APMPErrorSlot&) const {
    return APMPNumberToString(value);
}
double APMPNumberValue::doubleValueOrError(APMPErrorSlot&) const {
    return value;
}
bool APMPNumberValue::booleanValueOrError(APMPErrorSlot&) const {
    return !(value == 0 || std::isnan(value));
}
bool APMPNumberValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    if (other.kind() != APMPKind::Number) return false;
    double o = static_cast<const APMPNumberValue&>(other).value;
    return o == value || (std::isnan(o) && std::isnan(value));
}

// ---- string ----

APMPValueRef APMPStringValue::make(APMPString value) {
    return std::allocate_shared<APMPStringValue>(ReusingAllocator<APMPStringValue>(),
                                                 std::move(value));
}

APMPStringValue::APMPStringValue(APMPString text)
    : APMPRuntimeValue(APMPKind::String), value(std::move(text)) {
    // Making a string costs its length, whichever command made it.
    APMPAddBytes(static_cast<std::int64_t>(value.size() * sizeof(char16_t)));
    APMPAddWork(APMPWorkOfSize(value.size()));
}
void APMPStringValue::appendInPlace(const APMPString& text) {
    value.append(text);
    APMPAddBytes(static_cast<std::int64_t>(text.size() * sizeof(char16_t)));
    APMPAddWork(APMPWorkOfSize(text.size()));
}
APMPStringValue::~APMPStringValue() {
    APMPReleaseBytes(static_cast<std::int64_t>(value.size() * sizeof(char16_t)));
}
APMPString APMPStringValue::stringValueOrError(APMPErrorSlot&) const {
    return value;
}
double APMPStringValue::doubleValueOrError(APMPErrorSlot&) const {
    return APMPStringToNumber(value);
}
bool APMPStringValue::booleanValueOrError(APMPErrorSlot&) const {
    return !value.empty();
}
APMPValueRef APMPStringValue::applyWithName(const APMPString& name, const APMPValueList& arguments,
                                            const APMPScopeRef& scope, APMPErrorSlot& error) {
    return APMPStringCommandEvaluator::evaluateCommand(name, value, arguments, scope, error);
}
bool APMPStringValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return other.kind() == APMPKind::String &&
           static_cast<const APMPStringValue&>(other).value == value;
}

// ---- boolean, null, undefined ----

const APMPValueRef& APMPBooleanValue::booleanValueWithBool(bool value) {
    static const APMPValueRef yes = shareForever<APMPBooleanValue>(true);
    static const APMPValueRef no = shareForever<APMPBooleanValue>(false);
    return value ? yes : no;
}
APMPString APMPBooleanValue::stringValueOrError(APMPErrorSlot&) const {
    return value ? u"true" : u"false";
}
double APMPBooleanValue::doubleValueOrError(APMPErrorSlot&) const {
    return value ? 1 : 0;
}
bool APMPBooleanValue::booleanValueOrError(APMPErrorSlot&) const {
    return value;
}
bool APMPBooleanValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return other.kind() == APMPKind::Boolean &&
           static_cast<const APMPBooleanValue&>(other).value == value;
}

const APMPValueRef& APMPNullValue::sharedInstance() {
    static const APMPValueRef instance = shareForever<APMPNullValue>();
    return instance;
}
APMPString APMPNullValue::stringValueOrError(APMPErrorSlot&) const {
    return u"null";
}
double APMPNullValue::doubleValueOrError(APMPErrorSlot&) const {
    return 0;
}
bool APMPNullValue::booleanValueOrError(APMPErrorSlot&) const {
    return false;
}
APMPValueRef APMPNullValue::applyWithName(const APMPString&, const APMPValueList&,
                                          const APMPScopeRef&, APMPErrorSlot& error) {
    APMPSetError(error, kAPMPErrorMethodOnNull);
    return APMPUndefined();
}
bool APMPNullValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return other.kind() == APMPKind::Null;
}

const APMPValueRef& APMPUndefinedValue::sharedInstance() {
    static const APMPValueRef instance = shareForever<APMPUndefinedValue>();
    return instance;
}
APMPString APMPUndefinedValue::stringValueOrError(APMPErrorSlot&) const {
    return u"undefined";
}
double APMPUndefinedValue::doubleValueOrError(APMPErrorSlot&) const {
    return std::numeric_limits<double>::quiet_NaN();
}
bool APMPUndefinedValue::booleanValueOrError(APMPErrorSlot&) const {
    return false;
}
APMPValueRef APMPUndefinedValue::applyWithName(const APMPString&, const APMPValueList&,
                                               const APMPScopeRef&, APMPErrorSlot& error) {
    APMPSetError(error, kAPMPErrorMethodOnNull);
    return APMPUndefined();
}
bool APMPUndefinedValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    return other.kind() == APMPKind::Undefined;
}

// ---- property map ----

std::atomic<std::uint64_t> gAPMPScopeLayoutEpoch{1};

void APMPPropertyMap::layoutChanged() const {
    if (scopeLayout_) gAPMPScopeLayoutEpoch.fetch_add(1, std::memory_order_relaxed);
}

APMPPropertyMap::~APMPPropertyMap() {
    layoutChanged();
}

void APMPPropertyMap::releaseValuesLater() {
    for (auto& [name, slot] : list_) releaseValueLater(std::move(slot.value));
    for (auto& [name, slot] : contents_) releaseValueLater(std::move(slot.value));
}

std::int64_t APMPPropertyMap::entryBytes(const APMPString& name) {
    // The name's own buffer counts when it does not fit in the string.
    constexpr std::size_t kInlineName = 7;
    std::int64_t nameBytes = name.size() > kInlineName
                                 ? static_cast<std::int64_t>((name.size() + 1) * sizeof(char16_t))
                                 : 0;
    return kEntryBytes + nameBytes;
}

namespace {
// Names a table keeps in its plain list before it moves them to a hash table,
// and the longest name it lists: comparing a long name with every listed one
// would cost more than hashing it once.
constexpr std::size_t kListedNames = 8;
constexpr std::size_t kLongestListedName = 32;
}  // namespace

void APMPPropertyMap::tracksScopeLayout() {
    scopeLayout_ = true;
}

// Names are short as a rule: compared in line, lengths first.
static bool APMPSameName(const APMPString& a, const APMPString& b) {
    std::size_t length = a.size();
    if (length != b.size()) return false;
    const char16_t* x = a.data();
    const char16_t* y = b.data();
    for (std::size_t i = 0; i < length; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

const APMPPropertyMap::Slot* APMPPropertyMap::lookup(const APMPString& name) const {
    if (listed_) {
        for (const auto& [listedName, slot] : list_)
            if (APMPSameName(listedName, name)) return &slot;
        return nullptr;
    }
    auto it = contents_.find(name);
    return it == contents_.end() ? nullptr : &it->second;
}

APMPPropertyMap::Slot& APMPPropertyMap::entry(const APMPString& name, bool& made) {
    made = false;
    if (Slot* slot = findSlot(name)) return *slot;
    made = true;
    held_.add(entryBytes(name));
    APMPAddWork(APMPWorkOfSize(name.size()));
    if (listed_ && list_.size() < kListedNames && name.size() <= kLongestListedName) {
        if (list_.empty()) list_.reserve(4);
        return list_.emplace_back(name, Slot{}).second;
    }
    if (listed_) {
        for (auto& [listedName, slot] : list_) contents_.emplace(listedName, std::move(slot));
        list_.clear();
        listed_ = false;
    }
    return contents_[name];
}

const APMPValueRef* APMPPropertyMap::find(const APMPString& name) const {
    const Slot* slot = lookup(name);
    return slot ? &slot->value : nullptr;
}
APMPValueRef APMPPropertyMap::valueForName(const APMPString& name) const {
    const APMPValueRef* found = find(name);
    return found ? *found : APMPUndefined();
}
bool APMPPropertyMap::isImmutableName(const APMPString& name) const {
    const Slot* slot = lookup(name);
    return slot && slot->immutable;
}
void APMPPropertyMap::setValue(const APMPValueRef& value, const APMPString& name) {
    if (immutable_) return;
    bool made = false;
    Slot& slot = entry(name, made);
    if (made) layoutChanged();
    if (slot.immutable) return;
    slot.value = value;
}
void APMPPropertyMap::setImmutableValue(const APMPValueRef& value, const APMPString& name) {
    if (immutable_) return;
    bool made = false;
    Slot& slot = entry(name, made);
    layoutChanged();
    if (slot.immutable) return;
    slot.value = value;
    slot.immutable = true;
}
bool APMPPropertyMap::assignIfPresent(const APMPValueRef& value, const APMPString& name) {
    Slot* slot = findSlot(name);
    if (!slot) return false;
    if (!immutable_ && !slot->immutable) slot->value = value;
    return true;
}
void APMPPropertyMap::removeValueForName(const APMPString& name) {
    if (immutable_) return;
    if (listed_) {
        auto it = std::find_if(list_.begin(), list_.end(),
                               [&](const auto& listed) { return listed.first == name; });
        if (it == list_.end() || it->second.immutable) return;
        list_.erase(it);
    } else {
        auto it = contents_.find(name);
        if (it == contents_.end() || it->second.immutable) return;
        contents_.erase(it);
    }
    held_.release(entryBytes(name));
    layoutChanged();
}
std::vector<APMPString> APMPPropertyMap::allNames() const {
    std::vector<APMPString> names;
    names.reserve(count());
    for (const auto& [name, slot] : list_) names.push_back(name);
    for (const auto& [name, slot] : contents_) names.push_back(name);
    return names;
}

// ---- map ----

APMPMapValue::~APMPMapValue() {
    propertyMap.releaseValuesLater();
    APMPFinishReleases();
}

std::shared_ptr<APMPMapValue> APMPMapValue::make() {
    auto map = std::make_shared<APMPMapValue>();
    APMPTrack(map);
    return map;
}
APMPString APMPMapValue::stringValueOrError(APMPErrorSlot&) const {
    return u"[object Object]";
}
double APMPMapValue::doubleValueOrError(APMPErrorSlot&) const {
    return std::numeric_limits<double>::quiet_NaN();
}
bool APMPMapValue::booleanValueOrError(APMPErrorSlot&) const {
    return true;
}

void APMPMapValue::markReferences(APMPMarker& marker) const {
    propertyMap.forEachValue([&](const APMPValueRef& value) { marker.markValue(value); });
}

// Shared by maps and functions: own function-valued properties, then
// "hasOwnProperty", then the base behaviour.
static APMPValueRef APMPApplyOnPropertyTable(APMPRuntimeValue& self, APMPPropertyMap& table,
                                             const APMPString& name, const APMPValueList& arguments,
                                             const APMPScopeRef& scope, APMPErrorSlot& error) {
    if (const APMPValueRef* property = table.find(name)) {
        if (!APMPIsKind(*property, APMPKind::Function)) {
            APMPSetError(error, kAPMPErrorNoMethod);
            return APMPUndefined();
        }
        APMPValueRef function = *property;  // keep alive during the call
        return static_cast<APMPFunctionValue&>(*function).invokeWithArguments(arguments, scope,
                                                                              error);
    }
    if (name == u"hasOwnProperty") {
        APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
        if (error) return APMPUndefined();
        if (!APMPCheckArgumentCount(values, 1, error)) return APMPUndefined();
        APMPString key = values[0]->stringValueOrError(error);
        if (error) return APMPUndefined();
        return APMPBool(table.hasName(key));
    }
    return self.APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

APMPValueRef APMPMapValue::applyWithName(const APMPString& name, const APMPValueList& arguments,
                                         const APMPScopeRef& scope, APMPErrorSlot& error) {
    return APMPApplyOnPropertyTable(*this, propertyMap, name, arguments, scope, error);
}
namespace {
thread_local int tEqualityDepth = 0;

// Containers that hold themselves compare unequal past the depth bound
// instead of recursing without end.
class APMPEqualityDepth {
  public:
    APMPEqualityDepth() { ++tEqualityDepth; }
    ~APMPEqualityDepth() { --tEqualityDepth; }
    bool tooDeep() const { return tEqualityDepth > APMPRunContext::kDepthLimit; }
};
}  // namespace

bool APMPMapValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    if (this == &other) return true;
    if (other.kind() != APMPKind::Map) return false;
    APMPEqualityDepth depth;
    if (depth.tooDeep()) return false;
    const auto& map = static_cast<const APMPMapValue&>(other);
    if (map.propertyMap.count() != propertyMap.count()) return false;
    for (const APMPString& name : propertyMap.allNames()) {
        const APMPValueRef* theirs = map.propertyMap.find(name);
        if (!theirs || !propertyMap.valueForName(name)->isEqualToRuntimeValue(**theirs))
            return false;
    }
    return true;
}

// ---- array ----

namespace {
struct APMPHole final : APMPRuntimeValue {};
constexpr std::int64_t kElementBytes = sizeof(APMPValueRef);
}  // namespace

const APMPValueRef& APMPArrayValue::emptyValue() {
    static const APMPValueRef hole = std::make_shared<APMPHole>();
    return hole;
}

APMPArrayValue::~APMPArrayValue() {
    APMPReleaseBytes(accountedBytes_);
    for (APMPValueRef& element : elements_) releaseValueLater(std::move(element));
    propertyMap.releaseValuesLater();
    APMPFinishReleases();
}

std::shared_ptr<APMPArrayValue> APMPArrayValue::make() {
    auto array = std::make_shared<APMPArrayValue>();
    APMPTrack(array);
    return array;
}

std::shared_ptr<APMPArrayValue> APMPArrayValue::make(APMPValueList elements, APMPErrorSlot& error) {
    APMPAddWork(APMPWorkOfElements(elements.size()));
    auto array = make();
    if (!array->reserve(elements.size(), error)) return nullptr;
    array->elements_ = std::move(elements);
    array->account();
    return array;
}

bool APMPArrayValue::reserve(std::size_t newCount, APMPErrorSlot& error) {
    if (newCount > APMPRunContext::kMaxElements) {
        APMPSetError(error, kAPMPErrorSizeLimit);
        return false;
    }
    std::int64_t bytes = static_cast<std::int64_t>(newCount) * kElementBytes - accountedBytes_;
    return APMPReserveBytes(bytes, error);
}

void APMPArrayValue::account() {
    std::int64_t bytes = static_cast<std::int64_t>(elements_.size()) * kElementBytes;
    APMPAddBytes(bytes - accountedBytes_);
    accountedBytes_ = bytes;
}

void APMPArrayValue::markReferences(APMPMarker& marker) const {
    propertyMap.forEachValue([&](const APMPValueRef& value) { marker.markValue(value); });
    for (const APMPValueRef& element : elements_) marker.markValue(element);
}

void APMPArrayValue::releaseReferences() {
    propertyMap.clear();
    elements_.clear();
    account();
}

APMPValueList APMPArrayValue::allElements() const {
    APMPAddWork(APMPWorkOfElements(elements_.size()));
    APMPValueList all = elements_;
    for (auto& element : all)
        if (element == emptyValue()) element = APMPUndefined();
    return all;
}

APMPString APMPArrayValue::stringValueWithSeparator(const APMPString& separator,
                                                    APMPErrorSlot& error) const {
    APMPString out;
    APMPRunContext* context = APMPRunContext::current();
    // Joining an array that holds itself must not recurse without bound.
    if (context && context->depth >= APMPRunContext::kDepthLimit) {
        APMPSetError(error, kAPMPErrorDepthLimit);
        return {};
    }
    // Each element's text is made like an evaluation's result.
    if (!APMPChargeWork(static_cast<std::int64_t>(elements_.size()), error)) return {};
    if (context) ++context->depth;
    for (std::size_t i = 0; i < elements_.size(); ++i) {
        const APMPValueRef& element = elements_[i];
        if (element != emptyValue() && element->kind() != APMPKind::Undefined &&
            element->kind() != APMPKind::Null) {
            APMPString text = element->stringValueOrError(error);
            if (error) {
                out.clear();
                break;
            }
            out += text;
        }
        if (i + 1 < elements_.size()) out += separator;
        if (!APMPCheckStringLength(out.size(), error)) {
            out.clear();
            break;
        }
    }
    if (context) --context->depth;
    return out;
}

APMPString APMPArrayValue::stringValueOrError(APMPErrorSlot& error) const {
    return stringValueWithSeparator(u",", error);
}
double APMPArrayValue::doubleValueOrError(APMPErrorSlot& error) const {
    APMPString text = stringValueOrError(error);
    return APMPStringToNumber(text);
}
bool APMPArrayValue::booleanValueOrError(APMPErrorSlot&) const {
    return true;
}

APMPValueRef APMPArrayValue::applyWithName(const APMPString& name, const APMPValueList& arguments,
                                           const APMPScopeRef& scope, APMPErrorSlot& error) {
    if (const APMPValueRef* property = propertyMap.find(name)) {
        if (!APMPIsKind(*property, APMPKind::Function)) {
            APMPSetError(error, kAPMPErrorNoMethod);
            return APMPUndefined();
        }
        APMPValueRef function = *property;
        return static_cast<APMPFunctionValue&>(*function).invokeWithArguments(arguments, scope,
                                                                              error);
    }
    auto self = shared_from_this();
    return APMPArrayCommandEvaluator::evaluateCommand(name, self, arguments, scope, error);
}

bool APMPArrayValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    if (this == &other) return true;
    if (other.kind() != APMPKind::Array) return false;
    APMPEqualityDepth depth;
    if (depth.tooDeep()) return false;
    const auto& array = static_cast<const APMPArrayValue&>(other);
    if (array.elements_.size() != elements_.size()) return false;
    for (std::size_t i = 0; i < elements_.size(); ++i) {
        bool holeA = elements_[i] == emptyValue(), holeB = array.elements_[i] == emptyValue();
        if (holeA || holeB) {
            if (holeA != holeB) return false;
            continue;
        }
        if (!elements_[i]->isEqualToRuntimeValue(*array.elements_[i])) return false;
    }
    return true;
}

bool APMPArrayValue::setLength(std::uint64_t length, APMPErrorSlot& error) {
    if (length < elements_.size()) {
        elements_.resize(length);
    } else if (length > elements_.size()) {
        if (!reserve(length, error)) return false;
        APMPAddWork(APMPWorkOfElements(length - elements_.size()));
        elements_.resize(length, emptyValue());
    }
    account();
    return true;
}

std::shared_ptr<APMPArrayValue> APMPArrayValue::subarrayWithRange(std::uint64_t start,
                                                                  std::uint64_t length,
                                                                  APMPErrorSlot& error) const {
    start = std::min<std::uint64_t>(start, elements_.size());
    length = std::min<std::uint64_t>(length, elements_.size() - start);
    return make(APMPValueList(elements_.begin() + static_cast<std::ptrdiff_t>(start),
                              elements_.begin() + static_cast<std::ptrdiff_t>(start + length)),
                error);
}

APMPValueList APMPArrayValue::spliceFrom(std::int64_t start, std::int64_t deleteCount,
                                         const APMPValueList& values, APMPErrorSlot& error) {
    auto count = static_cast<std::int64_t>(elements_.size());
    start = std::clamp<std::int64_t>(start, 0, count);
    deleteCount = std::clamp<std::int64_t>(deleteCount, 0, count - start);
    if (!reserve(elements_.size() - static_cast<std::size_t>(deleteCount) + values.size(), error))
        return {};
    APMPAddWork(APMPWorkOfElements(elements_.size() + values.size()));
    auto first = elements_.begin() + start;
    APMPValueList removed(first, first + deleteCount);
    elements_.erase(first, first + deleteCount);
    elements_.insert(elements_.begin() + start, values.begin(), values.end());
    account();
    return removed;
}

void APMPArrayValue::concat(const APMPValueRef& value, APMPErrorSlot& error) {
    if (value->kind() == APMPKind::Control) {
        APMPSetError(error, kAPMPErrorArgumentKind);
        return;
    }
    if (value->kind() == APMPKind::Array) {
        // Copy first: the value may be this very array.
        APMPValueList other = static_cast<const APMPArrayValue&>(*value).elements_;
        if (!reserve(elements_.size() + other.size(), error)) return;
        APMPAddWork(APMPWorkOfElements(other.size()));
        elements_.insert(elements_.end(), other.begin(), other.end());
    } else {
        if (!reserve(elements_.size() + 1, error)) return;
        elements_.push_back(value);
    }
    account();
}

void APMPArrayValue::reverse() {
    APMPAddWork(APMPWorkOfElements(elements_.size()));
    std::reverse(elements_.begin(), elements_.end());
}

APMPValueRef APMPArrayValue::removeFirstElement() {
    if (elements_.empty()) return APMPUndefined();
    APMPAddWork(APMPWorkOfElements(elements_.size()));
    APMPValueRef first = elements_.front();
    elements_.erase(elements_.begin());
    account();
    return first;
}

APMPValueRef APMPArrayValue::removeLastElement() {
    if (elements_.empty()) return APMPUndefined();
    APMPValueRef last = elements_.back();
    elements_.pop_back();
    account();
    return last;
}

std::size_t APMPArrayValue::appendElements(const APMPValueList& values, APMPErrorSlot& error) {
    if (!reserve(elements_.size() + values.size(), error)) return elements_.size();
    APMPAddWork(APMPWorkOfElements(values.size()));
    elements_.insert(elements_.end(), values.begin(), values.end());
    account();
    return elements_.size();
}

std::size_t APMPArrayValue::prependElements(const APMPValueList& values, APMPErrorSlot& error) {
    if (!reserve(elements_.size() + values.size(), error)) return elements_.size();
    APMPAddWork(APMPWorkOfElements(elements_.size() + values.size()));
    elements_.insert(elements_.begin(), values.begin(), values.end());
    account();
    return elements_.size();
}

std::int64_t APMPArrayValue::indexOfValue(const APMPValueRef& value, std::uint64_t fromIndex,
                                          APMPErrorSlot& error) const {
    if (!APMPChargeWork(APMPWorkOfElements(elements_.size()), error)) return -1;
    for (std::uint64_t i = fromIndex; i < elements_.size(); ++i) {
        bool equal = APMPStrictEquals(*elements_[i], *value, error);
        if (error) return -1;
        if (equal) return static_cast<std::int64_t>(i);
    }
    return -1;
}

std::int64_t APMPArrayValue::lastIndexOfValue(const APMPValueRef& value, std::uint64_t fromIndex,
                                              APMPErrorSlot& error) const {
    if (elements_.empty()) return -1;
    if (!APMPChargeWork(APMPWorkOfElements(elements_.size()), error)) return -1;
    std::uint64_t i = std::min<std::uint64_t>(fromIndex, elements_.size() - 1);
    for (;; --i) {
        bool equal = APMPStrictEquals(*elements_[i], *value, error);
        if (error) return -1;
        if (equal) return static_cast<std::int64_t>(i);
        if (i == 0) break;
    }
    return -1;
}

void APMPArrayValue::sortUsingFunctionValue(const APMPValueRef& function, const APMPScopeRef&,
                                            APMPErrorSlot& error) {
    auto* comparator = APMPIsKind(function, APMPKind::Function)
                           ? static_cast<APMPFunctionValue*>(function.get())
                           : nullptr;
    const std::size_t count = elements_.size();
    if (count < 2) return;
    // The copy and the merge buffer are held while the comparator runs.
    APMPHeldBytes held;
    if (!held.charge(static_cast<std::int64_t>(2 * count) * kElementBytes, error)) return;
    const APMPValueRef& hole = emptyValue();
    // Rank: 0 ordinary, 1 undefined, 2 hole; ordinary values compare below.
    auto rank = [&](const APMPValueRef& v) {
        return v == hole ? 2 : v->kind() == APMPKind::Undefined ? 1 : 0;
    };
    // One argument list for every comparison instead of one each. The
    // caller holds the comparator for as long as the sort runs.
    APMPValueList arguments(2);
    auto less = [&](const APMPValueRef& a, const APMPValueRef& b) -> bool {
        if (!APMPChargeWork(1, error)) return false;
        int ra = rank(a), rb = rank(b);
        if (ra != rb) return ra < rb;
        if (ra != 0) return false;
        if (comparator) {
            arguments[0] = a;
            arguments[1] = b;
            double d = comparator->invokeForNumber(arguments, error);
            return !error && d < 0;
        }
        APMPString sa = a->stringValueOrError(error);
        if (error) return false;
        APMPString sb = b->stringValueOrError(error);
        return !error && sa < sb;
    };
    // A script's comparator need not be a consistent order, may fail, and
    // may change this array while it runs. A bottom-up merge sort on a copy
    // reads and writes only within its two buffers whatever the comparator
    // answers; the library sorts assume a strict weak order and do not.
    APMPValueList sorted = elements_;
    APMPValueList buffer(count);
    for (std::size_t width = 1; width < count && !error; width *= 2) {
        for (std::size_t left = 0; left < count && !error; left += 2 * width) {
            std::size_t middle = std::min(left + width, count);
            std::size_t right = std::min(left + 2 * width, count);
            std::size_t i = left, j = middle, k = left;
            while (i < middle && j < right) {
                // Stable: the right element goes first only when it is less.
                if (less(sorted[j], sorted[i]))
                    buffer[k++] = sorted[j++];
                else
                    buffer[k++] = sorted[i++];
                if (error) break;
            }
            if (error) break;
            while (i < middle) buffer[k++] = sorted[i++];
            while (j < right) buffer[k++] = sorted[j++];
        }
        if (!error) sorted.swap(buffer);
    }
    arguments.clear();
    if (error) return;
    // The comparator may have resized the array meanwhile: the sorted copy
    // replaces whatever it holds now.
    elements_ = std::move(sorted);
    account();
}

bool APMPArrayValue::hasProperty(const APMPValueRef& property, APMPErrorSlot& error) const {
    double index = 0;
    if (APMPArrayIndexOf(*property, index))
        return index < static_cast<double>(elements_.size()) &&
               elements_[static_cast<std::size_t>(index)] != emptyValue();
    APMPString name = property->stringValueOrError(error);
    if (error) return false;
    return propertyMap.hasName(name);
}

APMPValueRef APMPArrayValue::valueForProperty(const APMPValueRef& property,
                                              APMPErrorSlot& error) const {
    // An index converts to text without fail: the text is only made for names.
    double index = 0;
    if (APMPArrayIndexOf(*property, index)) {
        if (index >= static_cast<double>(elements_.size())) return APMPUndefined();
        const APMPValueRef& element = elements_[static_cast<std::size_t>(index)];
        return element == emptyValue() ? APMPUndefined() : element;
    }
    APMPString name = property->stringValueOrError(error);
    if (error) return APMPUndefined();
    if (property->kind() == APMPKind::String && name == u"length")
        return APMPNumberValue::make(static_cast<double>(elements_.size()));
    return propertyMap.valueForName(name);
}

void APMPArrayValue::setValue(const APMPValueRef& value, const APMPValueRef& property,
                              APMPErrorSlot& error) {
    // An index converts to text without fail: the text is only made for names.
    double index = 0;
    if (APMPArrayIndexOf(*property, index)) {
        setElement(index, value, error);
        return;
    }
    APMPString name = property->stringValueOrError(error);
    if (error) return;
    if (property->kind() == APMPKind::String && name == u"length") {
        double length = 0;
        if (!APMPArrayIndexOf(*value, length)) {
            APMPSetError(error, kAPMPErrorArrayLength);
            return;
        }
        if (length > static_cast<double>(APMPRunContext::kMaxElements)) {
            APMPSetError(error, kAPMPErrorSizeLimit);
            return;
        }
        setLength(static_cast<std::uint64_t>(length), error);
        return;
    }
    propertyMap.setValue(value, name);
}

void APMPArrayValue::setElement(double index, APMPValueRef value, APMPErrorSlot& error) {
    if (index >= static_cast<double>(APMPRunContext::kMaxElements)) {
        APMPSetError(error, kAPMPErrorSizeLimit);
        return;
    }
    auto i = static_cast<std::size_t>(index);
    if (i < elements_.size()) {
        elements_[i] = std::move(value);
    } else if (i == elements_.size()) {
        // Appending needs no hole first.
        if (!reserve(i + 1, error)) return;
        elements_.push_back(std::move(value));
        account();
    } else if (setLength(i + 1, error)) {
        elements_[i] = std::move(value);
    }
}

void APMPArrayValue::removeValueForProperty(const APMPValueRef& property, APMPErrorSlot& error) {
    double index = 0;
    if (APMPArrayIndexOf(*property, index)) {
        if (index < static_cast<double>(elements_.size()))
            elements_[static_cast<std::size_t>(index)] = emptyValue();
        return;
    }
    APMPString name = property->stringValueOrError(error);
    if (error) return;
    propertyMap.removeValueForName(name);
}

std::vector<APMPValueRef> APMPArrayValue::allPropertyNames() const {
    std::vector<APMPValueRef> names;
    for (const APMPString& name : propertyMap.allNames())
        names.push_back(APMPStringValue::make(name));
    for (std::size_t i = 0; i < elements_.size(); ++i)
        if (elements_[i] != emptyValue())
            names.push_back(APMPStringValue::make(APMPNumberToString(static_cast<double>(i))));
    return names;
}

// ---- the lists loops visit ----

namespace {
constexpr std::int64_t kIndexTextBytes = 16;

bool addNames(const APMPPropertyMap& table, APMPListBuilder& keys, APMPErrorSlot& error) {
    if (!keys.reserve(table.count(), APMPListBuilder::kValueBytes, error)) return false;
    bool fits = true;
    table.forEachName([&](const APMPString& name) {
        if (fits && (fits = APMPCheckStringLength(name.size(), error)))
            keys.add(APMPStringValue::make(name));
    });
    return fits;
}

APMPValueRef indexText(std::size_t i) {
    return APMPStringValue::make(APMPNumberToString(static_cast<double>(i)));
}
}  // namespace

bool APMPLoopKeys(const APMPValueRef& collection, APMPListBuilder& keys, APMPErrorSlot& error) {
    switch (collection->kind()) {
        case APMPKind::String: {
            std::size_t length = static_cast<const APMPStringValue&>(*collection).value.size();
            if (!keys.reserve(length, APMPListBuilder::kValueBytes + kIndexTextBytes, error))
                return false;
            for (std::size_t i = 0; i < length; ++i) keys.add(indexText(i));
            return true;
        }
        case APMPKind::Array: {
            const auto& array = static_cast<const APMPArrayValue&>(*collection);
            if (!addNames(array.propertyMap, keys, error)) return false;
            const APMPValueList& elements = array.elements();
            if (!keys.reserve(elements.size(), APMPListBuilder::kValueBytes + kIndexTextBytes,
                              error))
                return false;
            for (std::size_t i = 0; i < elements.size(); ++i)
                if (elements[i] != APMPArrayValue::emptyValue()) keys.add(indexText(i));
            return true;
        }
        case APMPKind::Map:
            return addNames(static_cast<const APMPMapValue&>(*collection).propertyMap, keys, error);
        case APMPKind::Function:
            return addNames(static_cast<const APMPFunctionValue&>(*collection).propertyMap, keys,
                            error);
        default:
            return true;
    }
}

bool APMPLoopItems(const APMPValueRef& collection, APMPListBuilder& items, APMPErrorSlot& error) {
    if (collection->kind() == APMPKind::String) {
        const APMPString& text = static_cast<const APMPStringValue&>(*collection).value;
        if (!items.reserve(text.size(), APMPListBuilder::kValueBytes, error)) return false;
        for (char16_t unit : text) items.add(APMPStringValue::make(APMPString(1, unit)));
        return true;
    }
    if (collection->kind() == APMPKind::Array) {
        const APMPValueList& elements = static_cast<const APMPArrayValue&>(*collection).elements();
        // The items are the elements themselves: only their slots are new.
        if (!items.reserve(elements.size(), kElementBytes, error)) return false;
        for (const APMPValueRef& element : elements)
            items.add(element == APMPArrayValue::emptyValue() ? APMPUndefined() : element);
        return true;
    }
    APMPSetError(error, kAPMPErrorNotIterable);
    return false;
}

// ---- function ----

APMPFunctionValue::APMPFunctionValue(APMPString functionName, std::vector<APMPString> parameters,
                                     APMPValueList statements, APMPScopeRef definingScope)
    : APMPRuntimeValue(APMPKind::Function),
      functionName(std::move(functionName)),
      parameters(std::move(parameters)),
      statements(std::move(statements)),
      definingScope(std::move(definingScope)) {}

APMPFunctionValue::~APMPFunctionValue() {
    propertyMap.releaseValuesLater();
    for (APMPValueRef& statement : statements) APMPReleaseLater(std::move(statement));
    APMPReleaseLater(std::move(definingScope));
    for (SpareCall& spare : spareCalls_) APMPReleaseLater(std::move(spare.scope));
    APMPFinishReleases();
}

std::shared_ptr<APMPFunctionValue> APMPFunctionValue::make(APMPString functionName,
                                                           std::vector<APMPString> parameters,
                                                           APMPValueList statements,
                                                           APMPScopeRef definingScope) {
    auto function =
        std::make_shared<APMPFunctionValue>(std::move(functionName), std::move(parameters),
                                            std::move(statements), std::move(definingScope));
    APMPTrack(function);
    return function;
}

APMPString APMPFunctionValue::stringValueOrError(APMPErrorSlot&) const {
    return functionName;
}
double APMPFunctionValue::doubleValueOrError(APMPErrorSlot&) const {
    return std::numeric_limits<double>::quiet_NaN();
}
bool APMPFunctionValue::booleanValueOrError(APMPErrorSlot&) const {
    return true;
}
APMPValueRef APMPFunctionValue::applyWithName(const APMPString& name,
                                              const APMPValueList& arguments,
                                              const APMPScopeRef& scope, APMPErrorSlot& error) {
    return APMPApplyOnPropertyTable(*this, propertyMap, name, arguments, scope, error);
}
bool APMPFunctionValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    if (this == &other) return true;
    if (other.kind() != APMPKind::Function) return false;
    const auto& function = static_cast<const APMPFunctionValue&>(other);
    return !functionName.empty() && function.functionName == functionName;
}
void APMPFunctionValue::markReferences(APMPMarker& marker) const {
    propertyMap.forEachValue([&](const APMPValueRef& value) { marker.markValue(value); });
    marker.markScope(definingScope.get());
    for (const SpareCall& spare : spareCalls_) marker.markScope(spare.scope.get());
}

void APMPFunctionValue::releaseReferences() {
    propertyMap.clear();
    statements.clear();
    definingScope.reset();
    spareCalls_.clear();
}

APMPValueRef APMPFunctionValue::invokeWithArguments(const APMPValueList& arguments,
                                                    const APMPScopeRef& scope,
                                                    APMPErrorSlot& error) {
    APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
    if (error) return APMPUndefined();
    return invokeWithEvaluatedArguments(values, error);
}

APMPValueRef APMPFunctionValue::invokeWithEvaluatedArguments(const APMPValueList& arguments,
                                                             APMPErrorSlot& error) {
    return call(arguments, error, nullptr);
}

double APMPFunctionValue::invokeForNumber(APMPValueList& arguments, APMPErrorSlot& error) {
    // Native functions answer through their own invocation.
    double number = std::numeric_limits<double>::quiet_NaN();
    APMPValueRef result = typeid(*this) == typeid(APMPFunctionValue)
                              ? callHeld(arguments, error, &number)
                              : invokeWithEvaluatedArguments(arguments, error);
    if (error) return std::numeric_limits<double>::quiet_NaN();
    return result ? result->doubleValueOrError(error) : number;
}

APMPValueRef APMPFunctionValue::call(const APMPValueList& arguments, APMPErrorSlot& error,
                                     double* number) {
    // Keep the body alive while it runs: it may redefine this very function.
    // Holding the function itself is enough and costs no copy of the body;
    // the body is only emptied when the runtime releases it between runs.
    std::shared_ptr<const APMPRuntimeValue> self = weak_from_this().lock();
    if (self) return run<false>(statements, arguments, error, number);
    APMPValueList copied = statements;
    return run<false>(copied, arguments, error, number);
}

APMPValueRef APMPFunctionValue::callHeld(APMPValueList& arguments, APMPErrorSlot& error,
                                         double* number) {
    return run<true>(statements, arguments, error, number);
}

template <bool Take, typename List>
APMPValueRef APMPFunctionValue::run(const APMPValueList& body, List& arguments, APMPErrorSlot& error,
                                    double* number) {
    if (!definingScope) return APMPUndefined();  // released with its runtime
    const std::size_t count = parameters.size();
    auto argument = [&](std::size_t i) -> APMPValueRef {
        if (i >= arguments.size()) return APMPUndefined();
        if constexpr (Take) return std::move(arguments[i]);
        return arguments[i];
    };
    BoundSlots bound{};
    APMPScopeRef callScope;
    if (spareCalls_.empty()) {
        callScope = definingScope->createChildScope();
        for (std::size_t i = 0; i < count; ++i) callScope->addValue(argument(i), parameters[i]);
    } else {
        SpareCall& spare = spareCalls_.back();
        callScope = std::move(spare.scope);
        if (count <= kBoundParameters) {
            bound = spare.bound;
            for (std::size_t i = 0; i < count; ++i) bound[i]->value = argument(i);
        } else {
            for (std::size_t i = 0; i < count; ++i)
                callScope->addValue(argument(i), parameters[i]);
        }
        spareCalls_.pop_back();
    }
    APMPValueRef result = APMPEvaluator::executeFunctionBody(body, callScope, error, number);
    keepCallScope(std::move(callScope), bound[0] ? &bound : nullptr);
    return result;
}

// A scope that no closure or other scope kept and that holds exactly the
// parameters, all writable, cannot be told from a fresh one once they are
// assigned again; the names resolved in it stay resolved for the next call.
// A call scope only gains names, so with its count unchanged its entries
// have not moved. Its parameters hold nothing while it waits: every one is
// bound again before the next call reads it.
void APMPFunctionValue::keepCallScope(APMPScopeRef scope, const BoundSlots* bound) {
    const std::size_t count = parameters.size();
    if (scope.use_count() != 1 || scope->contents.isImmutable() || scope->contents.count() != count)
        return;
    // The entries are written in place: an array built aside and copied in
    // whole is read back before its writes have settled, which stalls.
    const std::size_t at = spareCalls_.size();
    spareCalls_.emplace_back();
    for (std::size_t i = 0; i < count; ++i) {
        APMPPropertyMap::Slot* slot =
            bound ? (*bound)[i] : scope->contents.findSlot(parameters[i]);
        // A scope not kept is dropped here, whatever it was emptied of.
        if (!slot || slot->immutable) {
            spareCalls_.pop_back();
            return;
        }
        slot->value.reset();
        if (i < kBoundParameters) spareCalls_[at].bound[i] = slot;
    }
    spareCalls_[at].scope = std::move(scope);
}

// ---- control and statement ----

const APMPValueRef& APMPControlValue::breakValue() {
    static const APMPValueRef value =
        std::make_shared<APMPControlValue>(APMPControlType::Break, APMPUndefined());
    return value;
}
const APMPValueRef& APMPControlValue::continueValue() {
    static const APMPValueRef value =
        std::make_shared<APMPControlValue>(APMPControlType::Continue, APMPUndefined());
    return value;
}
APMPValueRef APMPControlValue::returnValueWithData(APMPValueRef data) {
    return std::make_shared<APMPControlValue>(APMPControlType::Return,
                                              data ? std::move(data) : APMPUndefined());
}
bool APMPControlValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    if (other.kind() != APMPKind::Control) return false;
    const auto& control = static_cast<const APMPControlValue&>(other);
    return control.type == type && data->isEqualToRuntimeValue(*control.data);
}

APMPStatementValue::APMPStatementValue(APMPString name, APMPValueList statementArguments)
    : APMPRuntimeValue(APMPKind::Statement),
      functionName(std::move(name)),
      arguments(std::move(statementArguments)),
      command(APMPCommandRegistrar::sharedInstance().slotFor(functionName)),
      form(APMPStatementFormOf(static_cast<const APMPCommandSlot*>(command), arguments)),
      comparison(form == APMPStatementForm::Compare ? APMPComparisonCode(functionName) : 0),
      variableName((form == APMPStatementForm::ReadVariable || form == APMPStatementForm::Assign ||
                    form == APMPStatementForm::AssignSum)
                       ? &static_cast<const APMPStringValue&>(*arguments[0]).value
                       : nullptr),
      cost(APMPStatementCostOf(form, arguments)) {
    APMPDescribeOperands(*this);
}

bool APMPStatementValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
    if (this == &other) return true;
    if (other.kind() != APMPKind::Statement) return false;
    const auto& statement = static_cast<const APMPStatementValue&>(other);
    if (statement.functionName != functionName || statement.arguments.size() != arguments.size())
        return false;
    for (std::size_t i = 0; i < arguments.size(); ++i)
        if (!arguments[i]->isEqualToRuntimeValue(*statement.arguments[i])) return false;
    return true;
}

// ---- scope ----

APMPScope::APMPScope(APMPScopeRef parentScope) : parentScope_(std::move(parentScope)) {
    contents.tracksScopeLayout();
    if (parentScope_) {
        context_ = &parentScope_->context();
    } else {
        ownContext_ = std::make_shared<APMPRunContext>();
        context_ = ownContext_.get();
    }
}

APMPScope::~APMPScope() {
    contents.releaseValuesLater();
    APMPReleaseLater(std::move(parentScope_));
    APMPFinishReleases();
}

void APMPScope::markReferences(APMPMarker& marker) const {
    contents.forEachValue([&](const APMPValueRef& value) { marker.markValue(value); });
    marker.markScope(parentScope_.get());
}

APMPScopeRef APMPScope::make(APMPScopeRef parentScope) {
    auto scope = std::make_shared<APMPScope>(std::move(parentScope));
    if (scope->parentScope_) scope->context_->track(scope);
    return scope;
}

APMPScopeRef APMPScope::createChildScope() {
    return make(shared_from_this());
}

bool APMPScope::hasName(const APMPString& name) const {
    for (const APMPScope* scope = this; scope; scope = scope->parentScope_.get())
        if (scope->contents.hasName(name)) return true;
    return false;
}

APMPValueRef APMPScope::valueForName(const APMPString& name) const {
    for (const APMPScope* scope = this; scope; scope = scope->parentScope_.get())
        if (const APMPValueRef* value = scope->contents.find(name)) return *value;
    return APMPUndefined();
}

void APMPScope::addValue(const APMPValueRef& value, const APMPString& name) {
    contents.setValue(value, name);
}

void APMPScope::addImmutableValue(const APMPValueRef& value, const APMPString& name) {
    contents.setImmutableValue(value, name);
}

void APMPScope::setValue(const APMPValueRef& value, const APMPString& name) {
    APMPScope* scope = this;
    while (true) {
        if (scope->contents.isImmutable()) return;
        if (!scope->contents.hasName(name) && scope->parentScope_ &&
            scope->parentScope_->hasName(name)) {
            scope = scope->parentScope_.get();
            continue;
        }
        scope->contents.setValue(value, name);
        return;
    }
}

bool APMPScope::assignExisting(const APMPValueRef& value, const APMPString& name) {
    // Like setValue, a frozen scope on the way ends the write silently.
    bool frozen = false;
    for (APMPScope* scope = this; scope; scope = scope->parentScope_.get()) {
        frozen = frozen || scope->contents.isImmutable();
        if (frozen ? scope->contents.hasName(name) : scope->contents.assignIfPresent(value, name))
            return true;
    }
    return false;
}
