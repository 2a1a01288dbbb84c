#pragma once
// The values a measurement script handles: numbers, strings, booleans, null,
// undefined, arrays (with holes), maps, functions, control values (break,
// continue, return) and statements; the property table behind scopes, maps,
// arrays and functions; and the scope chain.
//
// Every operation that can fail takes an error slot last; on failure it
// stores an error of the script domain and answers undefined (or the
// documented fallback). Values are used by one thread at a time; the shared
// singletons are immutable and may be read from any thread.
//
// Programs are bounded: evaluation depth, the length of any one string or
// array, and the bytes held by all live script strings and arrays together.
// Exceeding a bound fails with kAPMPErrorDepthLimit or kAPMPErrorSizeLimit
// instead of exhausting the stack or memory.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/foundation/Error.h"

inline constexpr const char* kAPMPScriptErrorDomain =
    "com.zevera.ruv.measurement.script.ErrorDomain";

enum APMPErrorCode : int {
    kAPMPErrorUndeclared = 2,
    kAPMPErrorNoBoolean = 3,
    kAPMPErrorNoNumber = 4,
    kAPMPErrorNoString = 5,
    kAPMPErrorWriteOnNull = 6,
    kAPMPErrorMethodOnNull = 7,
    kAPMPErrorReduceEmpty = 8,
    kAPMPErrorArgumentCount = 9,
    kAPMPErrorArgumentKind = 10,
    kAPMPErrorArrayLength = 11,
    kAPMPErrorEntityKind = 12,
    kAPMPErrorObjectClass = 13,
    kAPMPErrorNoCommandName = 14,
    kAPMPErrorModuleMissing = 15,
    kAPMPErrorNotIterable = 16,
    kAPMPErrorNoMethod = 17,
    kAPMPErrorInstructionLimit = 18,
    kAPMPErrorDepthLimit = 19,
    kAPMPErrorSizeLimit = 20,
    kAPMPErrorRegexTimeLimit = 21,
};

using APMPErrorSlot = std::optional<NSError>;
void APMPSetError(APMPErrorSlot& error, int code);

using APMPString = std::u16string;
APMPString APMPUTF16(std::string_view utf8);
std::string APMPUTF8(const APMPString& text);

class APMPRuntimeValue;
class APMPScope;
using APMPValueRef = std::shared_ptr<APMPRuntimeValue>;
using APMPValueList = std::vector<APMPValueRef>;
using APMPScopeRef = std::shared_ptr<APMPScope>;

// Containers that can take part in reference cycles; the run context drops
// their references when its runtime goes away.
class APMPMarker;
class APMPReleasable {
  public:
    virtual ~APMPReleasable() = default;
    virtual void releaseReferences() = 0;
    // Hands every value and scope this container holds to the marker.
    virtual void markReferences(APMPMarker& marker) const = 0;
};

// Finds the containers reachable from a set of roots.
class APMPMarker {
  public:
    void markValue(const APMPValueRef& value);
    void markScope(const APMPScope* scope);
    // Marks everything reachable from what was handed in so far.
    void drain();
    bool isMarked(const APMPReleasable* container) const { return marked_.count(container) != 0; }

  private:
    void push(const APMPReleasable* container);
    std::unordered_set<const APMPReleasable*> marked_;
    std::vector<const APMPReleasable*> pending_;
};

class APMPRegexCache;

// Per-runtime bookkeeping shared by a root scope and all its descendants:
// the budget of the running program, the evaluation depth and the
// containers to release at the end. Programs cannot reach it.
//
// The budget: every evaluation counts one instruction, and work whose cost
// grows with the size of what it handles (searching, sorting, splitting,
// joining, regular expressions) is charged by that size on top; the whole
// is bounded by kInstructionLimit per reset. At checkpoints the processor
// time the program used since the reset is checked against its time limit,
// and a program whose memory passed the bound is stopped.
class APMPRunContext {
  public:
    static constexpr std::int64_t kInstructionLimit = 1000000;
    static constexpr int kDepthLimit = 300;
    static constexpr std::size_t kMaxElements = std::size_t{1} << 22;
    static constexpr std::size_t kMaxStringLength = std::size_t{1} << 24;
    static constexpr std::int64_t kMaxLiveBytes = std::int64_t{256} << 20;
    // Processor time a program may use per reset (one event's editing).
    static const std::int64_t kTimeLimitNanoseconds;

    ~APMPRunContext();
    std::int64_t instructionCount = 0;
    // Evaluations count without further checks below this count.
    std::int64_t checkpoint = 0;
    int depth = 0;

    // Starts a fresh budget: no instructions, no work, the clock not started.
    void resetBudget();
    // The checks of a checkpoint; false with the error once the program
    // must stop. Moves the checkpoint on otherwise.
    bool passCheckpoint(APMPErrorSlot& error);
    // Charges `units` of work, each worth one evaluation.
    bool chargeWork(std::int64_t units, APMPErrorSlot& error);
    // Ends the program at its next step with `code` (memory ran out).
    void stopWith(int code);
    // Charges work without stopping the program here. Work brings the next
    // look at the clock nearer as evaluations do.
    void addWork(std::int64_t units) {
        work_ = std::min(work_ + units, kInstructionLimit);
        checkpoint = std::min(checkpoint - units, remaining());
    }
    std::int64_t timeLimitNanoseconds = kTimeLimitNanoseconds;

    void track(const std::shared_ptr<APMPReleasable>& container);
    void releaseAll();
    // Empties every container made under this context that the marker did
    // not reach, breaking the cycles among them.
    void releaseUnmarked(const APMPMarker& marker);

    // The regular expressions this runtime compiled last, made on first use.
    APMPRegexCache& regexCache();

    // The context of the evaluation running on this thread, or null.
    static APMPRunContext* current() { return current_; }
    static void setCurrent(APMPRunContext* context) { current_ = context; }

  private:
    std::int64_t remaining() const { return kInstructionLimit - work_; }
    std::int64_t work_ = 0;
    std::int64_t clockStart_ = -1;
    int stopCode_ = 0;
    std::vector<std::weak_ptr<APMPReleasable>> tracked_;
    std::size_t pruneAt_ = 1024;
    std::unique_ptr<APMPRegexCache> regexCache_;
    static inline thread_local APMPRunContext* current_ = nullptr;
};

// Charges work to the program running on this thread; true when none runs.
bool APMPChargeWork(std::int64_t units, APMPErrorSlot& error);
// Charges work already done: a program past its budget stops at its next
// step.
void APMPAddWork(std::int64_t units);
// The work of copying or scanning `codeUnits` characters at once.
inline std::int64_t APMPWorkOfSize(std::size_t codeUnits) {
    return static_cast<std::int64_t>(codeUnits / 128);
}
// The work of converting `codeUnits` characters to another encoding.
inline std::int64_t APMPWorkOfConversion(std::size_t codeUnits) {
    return static_cast<std::int64_t>(codeUnits / 8);
}
// The work of copying or moving `count` elements at once: each copy
// changes the count of the value it refers to.
inline std::int64_t APMPWorkOfElements(std::size_t count) {
    return static_cast<std::int64_t>(count / 2);
}

// The memory bound. Every byte a program makes the host hold is counted
// here, process-wide: live strings and array slots, the names and entries
// of property tables, logged lines and events, and the buffers of a sort.
// Exact for the calling thread's changes; another thread's may lag by up
// to 64 KiB.
std::int64_t APMPLiveBytes();
// False with kAPMPErrorSizeLimit when `bytes` more would pass the bound.
bool APMPReserveBytes(std::int64_t bytes, APMPErrorSlot& error);
bool APMPCheckStringLength(std::size_t length, APMPErrorSlot& error);
// Counts bytes already allocated. Passing the bound stops the program
// running on this thread with kAPMPErrorSizeLimit at its next step.
void APMPAddBytes(std::int64_t bytes);
void APMPReleaseBytes(std::int64_t bytes);

// Bytes counted for as long as their holder lives.
class APMPHeldBytes {
  public:
    APMPHeldBytes() = default;
    ~APMPHeldBytes() { APMPReleaseBytes(bytes_); }
    APMPHeldBytes(const APMPHeldBytes&) = delete;
    APMPHeldBytes& operator=(const APMPHeldBytes&) = delete;
    // Checked first: false with kAPMPErrorSizeLimit, nothing counted.
    bool charge(std::int64_t bytes, APMPErrorSlot& error) {
        if (!APMPReserveBytes(bytes, error)) return false;
        add(bytes);
        return true;
    }
    void add(std::int64_t bytes) {
        bytes_ += bytes;
        APMPAddBytes(bytes);
    }
    void release(std::int64_t bytes) {
        bytes_ -= bytes;
        APMPReleaseBytes(bytes);
    }
    std::int64_t bytes() const { return bytes_; }

  private:
    std::int64_t bytes_ = 0;
};

// A list of values the host builds for a program (split pieces, the keys
// and items a loop visits): room for values is checked and counted, in
// memory and in work, before they are made.
class APMPListBuilder {
  public:
    // The bytes one value a list makes holds besides its text: the object
    // with its shared count, and its slot in the list.
    static constexpr std::int64_t kValueBytes = 112;
    // False with the error when `count` more values of `bytesEach` would
    // pass the element bound, the memory bound or the budget.
    bool reserve(std::size_t count, std::int64_t bytesEach, APMPErrorSlot& error);
    void add(APMPValueRef value) { values.push_back(std::move(value)); }
    APMPValueList values;

  private:
    APMPHeldBytes held_;
};

// The keys a for-in loop visits and the items a for-of loop visits, built
// within the bounds; false with the error otherwise (kAPMPErrorNotIterable
// for items of a value that has none).
bool APMPLoopKeys(const APMPValueRef& collection, APMPListBuilder& keys, APMPErrorSlot& error);
bool APMPLoopItems(const APMPValueRef& collection, APMPListBuilder& items, APMPErrorSlot& error);

// Drops references without recursing with the depth of the data: a
// container going away hands what it holds to a work list of its thread,
// which the outermost release empties.
void APMPReleaseLater(std::shared_ptr<const void> reference);
void APMPFinishReleases();

enum class APMPKind : std::uint8_t {
    Base,
    Number,
    String,
    Boolean,
    Null,
    Undefined,
    Array,
    Map,
    Function,
    Control,
    Statement
};

// Only arrays and functions hand out references to themselves: every
// number and text is spared the weak reference to itself, and the two
// atomic operations it costs to make and drop one.
class APMPRuntimeValue {
  public:
    APMPRuntimeValue() = default;
    virtual ~APMPRuntimeValue() = default;
    APMPRuntimeValue(const APMPRuntimeValue&) = delete;
    APMPRuntimeValue& operator=(const APMPRuntimeValue&) = delete;

    APMPKind kind() const { return kind_; }
    virtual APMPString stringValueOrError(APMPErrorSlot& error) const;
    virtual double doubleValueOrError(APMPErrorSlot& error) const;
    virtual bool booleanValueOrError(APMPErrorSlot& error) const;
    // A method call; `arguments` are unevaluated argument statements.
    virtual APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                                       const APMPScopeRef& scope, APMPErrorSlot& error);
    virtual bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;

  protected:
    explicit APMPRuntimeValue(APMPKind kind) : kind_(kind) {}

  private:
    APMPKind kind_ = APMPKind::Base;
};

class APMPNumberValue final : public APMPRuntimeValue {
  public:
    explicit APMPNumberValue(double value) : APMPRuntimeValue(APMPKind::Number), value(value) {}
    // Small whole numbers are shared: loops create them all the time.
    static APMPValueRef make(double value);
    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    // Rewritten in place only by an assignment whose variable holds the sole
    // reference, where nobody can tell the difference.
    double value;
};

class APMPStringValue final : public APMPRuntimeValue {
  public:
    explicit APMPStringValue(APMPString value);
    ~APMPStringValue() override;
    static APMPValueRef make(APMPString value);
    static APMPValueRef make(std::string_view utf8) { return make(APMPUTF16(utf8)); }
    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPErrorSlot& error) override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    // Appends in place, for an assignment whose variable holds the sole
    // reference; the caller has checked the length bounds.
    void appendInPlace(const APMPString& text);
    APMPString value;
};

class APMPBooleanValue final : public APMPRuntimeValue {
  public:
    explicit APMPBooleanValue(bool value) : APMPRuntimeValue(APMPKind::Boolean), value(value) {}
    static const APMPValueRef& booleanValueWithBool(bool value);
    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    const bool value;
};

class APMPNullValue final : public APMPRuntimeValue {
  public:
    APMPNullValue() : APMPRuntimeValue(APMPKind::Null) {}
    static const APMPValueRef& sharedInstance();
    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPErrorSlot& error) override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
};

class APMPUndefinedValue final : public APMPRuntimeValue {
  public:
    APMPUndefinedValue() : APMPRuntimeValue(APMPKind::Undefined) {}
    static const APMPValueRef& sharedInstance();
    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPErrorSlot& error) override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
};

inline const APMPValueRef& APMPUndefined() {
    return APMPUndefinedValue::sharedInstance();
}
inline const APMPValueRef& APMPNull() {
    return APMPNullValue::sharedInstance();
}
inline const APMPValueRef& APMPBool(bool value) {
    return APMPBooleanValue::booleanValueWithBool(value);
}

// Named properties of maps, arrays and functions, and the variables of a
// scope. A frozen table or an immutable name ignores writes silently.
class APMPPropertyMap {
  public:
    struct Slot {
        APMPValueRef value;
        bool immutable = false;
    };
    APMPPropertyMap() = default;
    APMPPropertyMap(const APMPPropertyMap&) = delete;
    APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;
    ~APMPPropertyMap();
    // Hands the values to the release work list (see APMPReleaseLater).
    void releaseValuesLater();
    // The entry for a name, or null. Entries stay put while the names the
    // table holds do not change.
    Slot* findSlot(const APMPString& name) { return const_cast<Slot*>(lookup(name)); }
    // For the contents of a scope: counts every change to which names the
    // table holds, and whether they can be written, in the shared scope
    // layout epoch.
    void tracksScopeLayout();
    bool hasName(const APMPString& name) const { return lookup(name) != nullptr; }
    const APMPValueRef* find(const APMPString& name) const;
    APMPValueRef valueForName(const APMPString& name) const;
    void setValue(const APMPValueRef& value, const APMPString& name);
    void setImmutableValue(const APMPValueRef& value, const APMPString& name);
    void removeValueForName(const APMPString& name);
    // Writes an existing name as setValue would; false when the name is absent.
    bool assignIfPresent(const APMPValueRef& value, const APMPString& name);
    void makeImmutable() {
        immutable_ = true;
        layoutChanged();
    }
    bool isImmutable() const { return immutable_; }
    bool isImmutableName(const APMPString& name) const;
    std::vector<APMPString> allNames() const;
    template <class Visit>
    void forEachName(Visit visit) const {
        for (const auto& [name, slot] : list_) visit(name);
        for (const auto& [name, slot] : contents_) visit(name);
    }
    template <class Visit>
    void forEachValue(Visit visit) const {
        for (const auto& [name, slot] : list_) visit(slot.value);
        for (const auto& [name, slot] : contents_) visit(slot.value);
    }
    std::size_t count() const { return list_.size() + contents_.size(); }
    void clear() {
        list_.clear();
        listed_ = true;
        contents_.clear();
        held_.release(held_.bytes());
        layoutChanged();
    }

    // The bytes counted for an entry besides a long name: the table node
    // with its bucket.
    static constexpr std::int64_t kEntryBytes = 96;

  private:
    // The bytes an entry for `name` holds: the node and the copied name.
    static std::int64_t entryBytes(const APMPString& name);
    const Slot* lookup(const APMPString& name) const;
    // The entry for a name, made when absent (`made` tells).
    Slot& entry(const APMPString& name, bool& made);
    void layoutChanged() const;
    // A table keeps its first few short names in a plain list, searched
    // without hashing the name: most scopes and maps hold only a few, and a
    // call makes and drops a scope each time.
    std::vector<std::pair<APMPString, Slot>> list_;
    std::unordered_map<APMPString, Slot> contents_;
    APMPHeldBytes held_;
    bool immutable_ = false;
    bool scopeLayout_ = false;
    bool listed_ = true;
};

// Changes whenever any scope gains, loses or freezes a name, or goes away:
// a name resolved to a scope entry stays valid while it is unchanged.
extern std::atomic<std::uint64_t> gAPMPScopeLayoutEpoch;
inline std::uint64_t APMPScopeLayoutEpoch() {
    return gAPMPScopeLayoutEpoch.load(std::memory_order_relaxed);
}

class APMPMapValue : public APMPRuntimeValue, public APMPReleasable {
  public:
    APMPMapValue() : APMPRuntimeValue(APMPKind::Map) {}
    ~APMPMapValue() override;
    static std::shared_ptr<APMPMapValue> make();
    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPErrorSlot& error) override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    void releaseReferences() override { propertyMap.clear(); }
    void markReferences(APMPMarker& marker) const override;

    bool hasProperty(const APMPString& name) const { return propertyMap.hasName(name); }
    APMPValueRef valueForProperty(const APMPString& name) const {
        return propertyMap.valueForName(name);
    }
    void setValue(const APMPValueRef& value, const APMPString& name) {
        propertyMap.setValue(value, name);
    }
    void removeValueForProperty(const APMPString& name) { propertyMap.removeValueForName(name); }
    std::vector<APMPString> allPropertyNames() const { return propertyMap.allNames(); }

    APMPPropertyMap propertyMap;
};

class APMPArrayValue final : public APMPRuntimeValue,
                             public APMPReleasable,
                             public std::enable_shared_from_this<APMPArrayValue> {
  public:
    APMPArrayValue() : APMPRuntimeValue(APMPKind::Array) {}
    ~APMPArrayValue() override;
    // Null with kAPMPErrorSizeLimit when the elements pass the bounds.
    static std::shared_ptr<APMPArrayValue> make(APMPValueList elements, APMPErrorSlot& error);
    static std::shared_ptr<APMPArrayValue> make();
    static const APMPValueRef& emptyValue();  // the hole

    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPErrorSlot& error) override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    void releaseReferences() override;
    void markReferences(APMPMarker& marker) const override;

    std::size_t count() const { return elements_.size(); }
    const APMPValueList& elements() const { return elements_; }
    APMPValueList allElements() const;
    APMPString stringValueWithSeparator(const APMPString& separator, APMPErrorSlot& error) const;
    bool setLength(std::uint64_t length, APMPErrorSlot& error);
    // Null with kAPMPErrorSizeLimit when the copy passes the memory bound.
    std::shared_ptr<APMPArrayValue> subarrayWithRange(std::uint64_t start, std::uint64_t length,
                                                      APMPErrorSlot& error) const;
    APMPValueList spliceFrom(std::int64_t start, std::int64_t deleteCount,
                             const APMPValueList& values, APMPErrorSlot& error);
    void concat(const APMPValueRef& value, APMPErrorSlot& error);
    void reverse();
    APMPValueRef removeFirstElement();
    APMPValueRef removeLastElement();
    std::size_t appendElements(const APMPValueList& values, APMPErrorSlot& error);
    std::size_t prependElements(const APMPValueList& values, APMPErrorSlot& error);
    std::int64_t indexOfValue(const APMPValueRef& value, std::uint64_t fromIndex,
                              APMPErrorSlot& error) const;
    std::int64_t lastIndexOfValue(const APMPValueRef& value, std::uint64_t fromIndex,
                                  APMPErrorSlot& error) const;
    void sortUsingFunctionValue(const APMPValueRef& function, const APMPScopeRef& scope,
                                APMPErrorSlot& error);

    bool hasProperty(const APMPValueRef& property, APMPErrorSlot& error) const;
    APMPValueRef valueForProperty(const APMPValueRef& property, APMPErrorSlot& error) const;
    void setValue(const APMPValueRef& value, const APMPValueRef& property, APMPErrorSlot& error);
    // The write of an element: `index` is a whole number, at least zero.
    void setElement(double index, APMPValueRef value, APMPErrorSlot& error);
    void removeValueForProperty(const APMPValueRef& property, APMPErrorSlot& error);
    std::vector<APMPValueRef> allPropertyNames() const;
    // Element i, or null when i is not below the count.
    APMPValueRef elementAt(std::size_t i) const {
        return i < elements_.size() ? elements_[i] : nullptr;
    }

    APMPPropertyMap propertyMap;

  private:
    bool reserve(std::size_t newCount, APMPErrorSlot& error);
    void account();
    APMPValueList elements_;
    std::int64_t accountedBytes_ = 0;
};

class APMPFunctionValue : public APMPRuntimeValue,
                          public APMPReleasable,
                          public std::enable_shared_from_this<APMPFunctionValue> {
  public:
    APMPFunctionValue(APMPString functionName, std::vector<APMPString> parameters,
                      APMPValueList statements, APMPScopeRef definingScope);
    ~APMPFunctionValue() override;
    static std::shared_ptr<APMPFunctionValue> make(APMPString functionName,
                                                   std::vector<APMPString> parameters,
                                                   APMPValueList statements,
                                                   APMPScopeRef definingScope);
    APMPString stringValueOrError(APMPErrorSlot& error) const override;
    double doubleValueOrError(APMPErrorSlot& error) const override;
    bool booleanValueOrError(APMPErrorSlot& error) const override;
    APMPValueRef applyWithName(const APMPString& name, const APMPValueList& arguments,
                               const APMPScopeRef& scope, APMPErrorSlot& error) override;
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    void releaseReferences() override;
    void markReferences(APMPMarker& marker) const override;

    // `arguments` are unevaluated statements, evaluated in the caller's scope.
    virtual APMPValueRef invokeWithArguments(const APMPValueList& arguments,
                                             const APMPScopeRef& scope, APMPErrorSlot& error);
    virtual APMPValueRef invokeWithEvaluatedArguments(const APMPValueList& arguments,
                                                      APMPErrorSlot& error);
    // The call's result as doubleValueOrError gives it, without boxing a
    // returned number, for a caller that holds this function while the
    // call runs. The arguments may be moved from.
    double invokeForNumber(APMPValueList& arguments, APMPErrorSlot& error);
    // Runs the body of a function defined by a program. With `number`
    // given, a returned number may be stored there instead, and null
    // returned.
    APMPValueRef call(const APMPValueList& arguments, APMPErrorSlot& error, double* number);
    // The same for a caller that holds this function while the call runs;
    // the arguments are moved into the parameters.
    APMPValueRef callHeld(APMPValueList& arguments, APMPErrorSlot& error, double* number);

    bool hasProperty(const APMPString& name) const { return propertyMap.hasName(name); }
    APMPValueRef valueForProperty(const APMPString& name) const {
        return propertyMap.valueForName(name);
    }
    void setValue(const APMPValueRef& value, const APMPString& name) {
        propertyMap.setValue(value, name);
    }
    std::vector<APMPString> allPropertyNames() const { return propertyMap.allNames(); }

    const APMPString functionName;
    const std::vector<APMPString> parameters;
    APMPValueList statements;
    APMPScopeRef definingScope;
    APMPPropertyMap propertyMap;

  private:
    static constexpr std::size_t kBoundParameters = 8;
    using BoundSlots = std::array<APMPPropertyMap::Slot*, kBoundParameters>;
    // The scope of an ended call that nothing kept, holding the parameters
    // only, ready for a next call. For a function of few parameters, the
    // entries of its parameters in order, so that a call binds them without
    // looking them up; they stay put while the scope holds just those names.
    struct SpareCall {
        APMPScopeRef scope;
        BoundSlots bound;
    };
    // Binds the arguments, moved from with `Take`, in a call scope and
    // runs `body` in it.
    template <bool Take, typename List>
    APMPValueRef run(const APMPValueList& body, List& arguments, APMPErrorSlot& error,
                     double* number);
    // Keeps an ended call's scope for the next call; `bound` are the
    // entries of its parameters when known.
    void keepCallScope(APMPScopeRef scope, const BoundSlots* bound);
    // One per level a recursion reached.
    std::vector<SpareCall> spareCalls_;
};

enum class APMPControlType : std::uint8_t { Break, Continue, Return };

class APMPControlValue final : public APMPRuntimeValue {
  public:
    APMPControlValue(APMPControlType type, APMPValueRef data)
        : APMPRuntimeValue(APMPKind::Control), type(type), data(std::move(data)) {}
    static const APMPValueRef& breakValue();
    static const APMPValueRef& continueValue();
    static APMPValueRef returnValueWithData(APMPValueRef data);
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    const APMPControlType type;
    const APMPValueRef data;
};

// The shapes of statement the evaluator runs without going through the
// command's handler; everything else is General.
enum class APMPStatementForm : std::uint8_t {
    General,
    ReadVariable,  // a variable read by a literal name
    Assign,        // an assignment to a literal name
    AssignSum,     // an assignment of the variable plus something to itself
    Add,
    Subtract,
    Multiply,
    Divide,
    Modulo,
    Compare,        // a comparison of two operands
    Return,         // a return with a value
    ReadProperty,   // a property or element read of two operands
    WriteProperty,  // a property or element write of three operands
};

struct APMPStatementCost {
    std::uint32_t count = 0;
    std::uint32_t height = 0;
};

class APMPStatementValue;
class APMPScope;
// An operand of a statement of known cost, decoded when the statement is
// made: a number or other literal, a variable read or a statement that
// computes a number.
struct APMPStepOperand {
    enum class Kind : std::uint8_t { Other, Number, Variable, Computed };
    Kind kind = Kind::Other;
    double number = 0;
    const APMPRuntimeValue* literal = nullptr;
    const APMPStatementValue* statement = nullptr;
};
// Computes the number of a statement of known cost in one step; false when
// a value it meets is not one it handles.
using APMPStepFunction = bool (*)(const APMPStatementValue& statement, APMPScope& scope,
                                  double& number);

// Where a variable name was last found, as seen from one scope; valid while
// the scope layout epoch is unchanged.
struct APMPNameCache {
    const void* scope = nullptr;
    std::uint64_t epoch = 0;
    APMPPropertyMap::Slot* slot = nullptr;
    bool writable = false;  // found by an assignment that may write it
};

// A statement of a program: a command name and its unevaluated arguments.
class APMPStatementValue final : public APMPRuntimeValue {
  public:
    APMPStatementValue(APMPString functionName, APMPValueList arguments);
    bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
    const APMPString functionName;
    const APMPValueList arguments;
    // The command's handler, resolved once (null for the function fallback).
    const void* const command;
    // How the evaluator runs it, resolved once with the handler.
    const APMPStatementForm form;
    // The comparison command's code, for the Compare form.
    const std::uint8_t comparison;
    // The literal variable name of the ReadVariable and Assign forms.
    const APMPString* const variableName;
    // For a statement that only reads variables and elements, computes and
    // compares (and assigns or writes the result): the instructions its
    // evaluation counts and the levels of statements it nests. Zero count
    // for any other statement.
    const APMPStatementCost cost;
    // Filled and used only by the evaluating thread.
    mutable APMPNameCache nameCache;
    // For a statement of known cost, the operands its one-step evaluation
    // reads: those of a comparison, arithmetic or element read or write, the
    // value of an assignment.
    APMPStepOperand steps[3];
    // For arithmetic and element reads of known cost, their one step.
    APMPStepFunction step = nullptr;
    // For a block: whether its statements may add a name to the scope they
    // run in, so that it needs a scope of its own. Scanned once when made.
    bool blockDeclares = true;
    // For a command that takes its arguments as they are (a loop, a branch,
    // a switch): whether a statement run for its effect calls its handler
    // without passing through the registrar. Decided once when made.
    bool runsHandlerDirectly = false;
};

class APMPScope : public std::enable_shared_from_this<APMPScope>, public APMPReleasable {
  public:
    explicit APMPScope(APMPScopeRef parentScope);
    ~APMPScope() override;
    static APMPScopeRef make(APMPScopeRef parentScope = nullptr);
    APMPScopeRef createChildScope();

    bool hasName(const APMPString& name) const;
    APMPValueRef valueForName(const APMPString& name) const;
    void addValue(const APMPValueRef& value, const APMPString& name);
    void addImmutableValue(const APMPValueRef& value, const APMPString& name);
    void setValue(const APMPValueRef& value, const APMPString& name);
    // setValue for a name declared somewhere in the chain, in one walk;
    // false when no scope declares it.
    bool assignExisting(const APMPValueRef& value, const APMPString& name);
    void makeImmutable() { contents.makeImmutable(); }
    void releaseReferences() override { contents.clear(); }
    void markReferences(APMPMarker& marker) const override;

    const APMPScopeRef& parentScope() const { return parentScope_; }
    APMPRunContext& context() const { return *context_; }

    APMPPropertyMap contents;

  private:
    APMPScopeRef parentScope_;
    std::shared_ptr<APMPRunContext> ownContext_;
    APMPRunContext* context_;
};

// Numeric routines shared by the commands.
std::int32_t APMPToInt32(double value);
std::uint32_t APMPToUint32(double value);
double APMPToInteger(double value);
bool APMPIsArrayIndex(const APMPRuntimeValue& value);
bool APMPIsStringLike(const APMPRuntimeValue& value);
bool APMPStringsEqual(const APMPString& a, const APMPString& b);
bool APMPNumbersEqual(double a, double b);
bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPErrorSlot& error);

// Number to text and text to number, as every conversion does them.
APMPString APMPNumberToString(double value);
double APMPStringToNumber(const APMPString& text);
inline bool APMPIsKind(const APMPValueRef& value, APMPKind kind) {
    return value && value->kind() == kind;
}
