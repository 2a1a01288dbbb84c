#pragma once
// The promise of the service clients: pending, or for good fulfilled with a
// value or rejected with an error.
//
// - An NSError always rejects, wherever it enters (fulfill, resolvedWith, a
//   transform's result, a work block's result).
// - Observers and transforms run asynchronously on the queue given, never
//   on the caller's stack (the first attempt of retry excepted); the plain
//   forms use the default queue (the main queue unless changed), read when
//   they are called.
// - Every pending promise and every queued observer task is a member of one
//   process-wide group, so PRMWaitForAllPromises can wait for quiet.
// - Delays and time-outs run on the platform clock, so tests drive them with
//   the virtual clock.
// - Missing required arguments (an empty queue or callable) raise
//   NSException NSInternalInconsistencyException "Invalid parameter not
//   satisfying: <name>", and race of no promises "No promises to observe":
//   programming errors, never reached by callers.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

class PRMPromise;
class PRMValue;
using PRMArray = std::vector<PRMValue>;

// The "any object" of promises: nil, a property-list Value, a
// reference-counted object (a promise among them), an error, or an array of
// these. PRMValue::null() is the null placeholder that arrays use for nil.
class PRMValue {
  public:
    PRMValue() = default;
    PRMValue(std::nullptr_t) {}
    PRMValue(Value value) : v_(std::move(value)) {}
    PRMValue(bool b) : v_(Value(b)) {}
    PRMValue(int i) : v_(Value(i)) {}
    PRMValue(long i) : v_(Value(i)) {}
    PRMValue(long long i) : v_(Value(i)) {}
    PRMValue(unsigned u) : v_(Value(u)) {}
    PRMValue(unsigned long u) : v_(Value(u)) {}
    PRMValue(unsigned long long u) : v_(Value(u)) {}
    PRMValue(double d) : v_(Value(d)) {}
    PRMValue(const char* s) : v_(Value(s)) {}
    PRMValue(std::string s) : v_(Value(std::move(s))) {}
    PRMValue(::Data d) : v_(Value(std::move(d))) {}
    PRMValue(NSError error) : v_(std::move(error)) {}
    PRMValue(PRMArray array) : v_(std::make_shared<const PRMArray>(std::move(array))) {}
    PRMValue(std::shared_ptr<NSObject> object) {
        if (object) v_ = std::move(object);
    }
    template <class T, class = std::enable_if_t<std::is_base_of_v<NSObject, T> &&
                                                !std::is_same_v<T, NSObject>>>
    PRMValue(std::shared_ptr<T> object)
        : PRMValue(std::static_pointer_cast<NSObject>(std::move(object))) {}

    // The null placeholder object (a null Value), distinct from nil.
    static PRMValue null() { return PRMValue(Value()); }

    bool isNil() const { return std::holds_alternative<std::monostate>(v_); }
    bool isNullPlaceholder() const;
    bool isError() const { return std::holds_alternative<NSError>(v_); }
    const NSError* error() const { return std::get_if<NSError>(&v_); }
    const Value* value() const { return std::get_if<Value>(&v_); }
    std::shared_ptr<NSObject> object() const;
    template <class T>
    std::shared_ptr<T> as() const {
        return std::dynamic_pointer_cast<T>(object());
    }
    std::shared_ptr<PRMPromise> promise() const;
    const PRMArray* array() const;

    std::string description() const;
    // Values, errors and arrays compare by content, objects by identity.
    bool operator==(const PRMValue& other) const;

  private:
    std::variant<std::monostate, Value, std::shared_ptr<NSObject>, NSError,
                 std::shared_ptr<const PRMArray>>
        v_;
};

std::ostream& operator<<(std::ostream& out, const PRMValue& value);

inline constexpr const char* PRMPromiseErrorDomain = "com.zevera.PRMPromises.Error";
enum class PRMPromiseErrorCode : long long { TimedOut = 1, ValidationFailure = 2 };

class PRMPromise : public NSObject {
  public:
    using Queue = std::shared_ptr<DispatchQueue>;
    using FulfillBlock = std::function<void(PRMValue)>;
    using RejectBlock = std::function<void(NSError)>;
    using ThenWork = std::function<PRMValue(PRMValue)>;
    using RecoverWork = std::function<PRMValue(NSError)>;
    using CatchWork = std::function<void(NSError)>;
    using AlwaysWork = std::function<void()>;
    using ValidatePredicate = std::function<bool(const PRMValue&)>;
    using DoWork = std::function<PRMValue()>;
    using AsyncWork = std::function<void(FulfillBlock, RejectBlock)>;
    using ReduceWork = std::function<PRMValue(PRMValue partial, PRMValue item)>;
    using RetryWork = std::function<PRMValue()>;
    using RetryPredicate = std::function<bool(std::int64_t remaining, const NSError&)>;
    enum class State : std::int64_t { Pending = 0, Fulfilled = 1, Rejected = 2 };

    // ---- Core -------------------------------------------------------------
    static std::shared_ptr<PRMPromise> pendingPromise();
    static std::shared_ptr<PRMPromise> resolvedWith(PRMValue resolution);
    static Queue defaultDispatchQueue();
    static void setDefaultDispatchQueue(Queue queue);
    // The group of pending promises and queued observer tasks.
    static DispatchGroup& dispatchGroup();

    void fulfill(PRMValue value);
    void reject(NSError error);
    // Settles with the value, or, when the value is itself a promise, with
    // that promise's outcome observed on the queue.
    void resolveAdopting(const Queue& queue, PRMValue value);
    bool isPending() const;
    bool isFulfilled() const;
    bool isRejected() const;
    PRMValue value() const;                // nil unless fulfilled
    std::optional<NSError> error() const;  // only when rejected
    // Keeps the object alive while the promise is pending.
    void addPendingObject(std::shared_ptr<void> object);
    void observeOnQueue(const Queue& queue, FulfillBlock onFulfill, RejectBlock onReject);
    // Absent transforms pass the outcome through. A transform's promise
    // result is followed (one level).
    std::shared_ptr<PRMPromise> chainOnQueue(const Queue& queue, ThenWork chainedFulfill,
                                             RecoverWork chainedReject);

    std::string className() const override { return "PRMPromise"; }
    std::string description() const override;

    // ---- Instance combinators ----------------------------------------------
    std::shared_ptr<PRMPromise> then(ThenWork work);
    std::shared_ptr<PRMPromise> thenOn(const Queue& queue, ThenWork work);
    // Runs work with the error; the result is rejected with the same error.
    std::shared_ptr<PRMPromise> catchError(CatchWork reject);
    std::shared_ptr<PRMPromise> catchOn(const Queue& queue, CatchWork reject);
    std::shared_ptr<PRMPromise> recover(RecoverWork recovery);
    std::shared_ptr<PRMPromise> recoverOn(const Queue& queue, RecoverWork recovery);
    std::shared_ptr<PRMPromise> always(AlwaysWork work);
    std::shared_ptr<PRMPromise> alwaysOn(const Queue& queue, AlwaysWork work);
    std::shared_ptr<PRMPromise> validate(ValidatePredicate predicate);
    std::shared_ptr<PRMPromise> validateOn(const Queue& queue, ValidatePredicate predicate);
    std::shared_ptr<PRMPromise> delay(double seconds);
    std::shared_ptr<PRMPromise> delayOn(const Queue& queue, double seconds);
    std::shared_ptr<PRMPromise> timeout(double seconds);
    std::shared_ptr<PRMPromise> timeoutOn(const Queue& queue, double seconds);
    // The receiver itself when there are no items.
    std::shared_ptr<PRMPromise> reduce(const PRMArray& items, ReduceWork reducer);
    std::shared_ptr<PRMPromise> reduceOn(const Queue& queue, const PRMArray& items,
                                         ReduceWork reducer);

    // ---- Class combinators -------------------------------------------------
    static std::shared_ptr<PRMPromise> doWork(DoWork work);
    static std::shared_ptr<PRMPromise> doOn(const Queue& queue, DoWork work);
    static std::shared_ptr<PRMPromise> async(AsyncWork work);
    static std::shared_ptr<PRMPromise> asyncOn(const Queue& queue, AsyncWork work);
    // Elements are promises or plain values; an error element rejects.
    static std::shared_ptr<PRMPromise> all(const PRMArray& promises);
    static std::shared_ptr<PRMPromise> allOn(const Queue& queue, const PRMArray& promises);
    // Once none is pending: the values and errors in order if any fulfilled.
    static std::shared_ptr<PRMPromise> any(const PRMArray& promises);
    static std::shared_ptr<PRMPromise> anyOn(const Queue& queue, const PRMArray& promises);
    static std::shared_ptr<PRMPromise> race(const PRMArray& promises);
    static std::shared_ptr<PRMPromise> raceOn(const Queue& queue, const PRMArray& promises);
    // One retry after 1 s.
    static std::shared_ptr<PRMPromise> retry(RetryWork work);
    static std::shared_ptr<PRMPromise> retryOn(const Queue& queue, RetryWork work);
    // Up to `attempts` retries, 1 s apart.
    static std::shared_ptr<PRMPromise> retry(std::int64_t attempts, RetryWork work);
    static std::shared_ptr<PRMPromise> retryOn(const Queue& queue, std::int64_t attempts,
                                               RetryWork work);
    // Up to `attempts` retries, `delay` seconds apart, while the condition
    // (absent: always) agrees.
    static std::shared_ptr<PRMPromise> retryAgain(std::int64_t attempts, double delay,
                                                  RetryPredicate condition, RetryWork work);
    static std::shared_ptr<PRMPromise> retryAgainOn(const Queue& queue, std::int64_t attempts,
                                                    double delay, RetryPredicate condition,
                                                    RetryWork work);

    // ---- Completion-handler adapters ---------------------------------------
    using Completion = std::function<void()>;
    using ObjectCompletion = std::function<void(PRMValue)>;
    using ErrorCompletion = std::function<void(std::optional<NSError>)>;
    using ObjectOrErrorCompletion = std::function<void(PRMValue, std::optional<NSError>)>;
    using ErrorOrObjectCompletion = std::function<void(std::optional<NSError>, PRMValue)>;
    using TwoObjectsOrErrorCompletion =
        std::function<void(PRMValue, PRMValue, std::optional<NSError>)>;
    using BoolCompletion = std::function<void(bool)>;
    using BoolOrErrorCompletion = std::function<void(bool, std::optional<NSError>)>;
    using IntegerCompletion = std::function<void(std::int64_t)>;
    using IntegerOrErrorCompletion = std::function<void(std::int64_t, std::optional<NSError>)>;
    using DoubleCompletion = std::function<void(double)>;
    using DoubleOrErrorCompletion = std::function<void(double, std::optional<NSError>)>;
    template <class Handler>
    using Wrapped = std::function<void(Handler)>;

    static std::shared_ptr<PRMPromise> wrapCompletion(Wrapped<Completion> work);
    static std::shared_ptr<PRMPromise> wrapCompletionOn(const Queue& q, Wrapped<Completion> work);
    static std::shared_ptr<PRMPromise> wrapObjectCompletion(Wrapped<ObjectCompletion> work);
    static std::shared_ptr<PRMPromise> wrapObjectCompletionOn(const Queue& q,
                                                              Wrapped<ObjectCompletion> work);
    static std::shared_ptr<PRMPromise> wrapErrorCompletion(Wrapped<ErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapErrorCompletionOn(const Queue& q,
                                                             Wrapped<ErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapObjectOrErrorCompletion(
        Wrapped<ObjectOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapObjectOrErrorCompletionOn(
        const Queue& q, Wrapped<ObjectOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapErrorOrObjectCompletion(
        Wrapped<ErrorOrObjectCompletion> work);
    static std::shared_ptr<PRMPromise> wrapErrorOrObjectCompletionOn(
        const Queue& q, Wrapped<ErrorOrObjectCompletion> work);
    // Fulfilled with [object1, object2], nil replaced by the null placeholder.
    static std::shared_ptr<PRMPromise> wrap2ObjectsOrErrorCompletion(
        Wrapped<TwoObjectsOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrap2ObjectsOrErrorCompletionOn(
        const Queue& q, Wrapped<TwoObjectsOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapBoolCompletion(Wrapped<BoolCompletion> work);
    static std::shared_ptr<PRMPromise> wrapBoolCompletionOn(const Queue& q,
                                                            Wrapped<BoolCompletion> work);
    static std::shared_ptr<PRMPromise> wrapBoolOrErrorCompletion(
        Wrapped<BoolOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapBoolOrErrorCompletionOn(
        const Queue& q, Wrapped<BoolOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapIntegerCompletion(Wrapped<IntegerCompletion> work);
    static std::shared_ptr<PRMPromise> wrapIntegerCompletionOn(const Queue& q,
                                                               Wrapped<IntegerCompletion> work);
    static std::shared_ptr<PRMPromise> wrapIntegerOrErrorCompletion(
        Wrapped<IntegerOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapIntegerOrErrorCompletionOn(
        const Queue& q, Wrapped<IntegerOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapDoubleCompletion(Wrapped<DoubleCompletion> work);
    static std::shared_ptr<PRMPromise> wrapDoubleCompletionOn(const Queue& q,
                                                              Wrapped<DoubleCompletion> work);
    static std::shared_ptr<PRMPromise> wrapDoubleOrErrorCompletion(
        Wrapped<DoubleOrErrorCompletion> work);
    static std::shared_ptr<PRMPromise> wrapDoubleOrErrorCompletionOn(
        const Queue& q, Wrapped<DoubleOrErrorCompletion> work);

    // Use pendingPromise / resolvedWith.
    PRMPromise();
    explicit PRMPromise(PRMValue resolution);
    ~PRMPromise() override;

    // Internal: submits a block to the queue as a member of the group.
    static void submitInGroup(const Queue& queue, std::function<void()> block);

  private:
    using Observer = std::function<void(State, const PRMValue&)>;
    void settle(State state, PRMValue resolution);

    mutable std::recursive_mutex mutex_;
    State state_ = State::Pending;
    std::vector<std::shared_ptr<void>> pendingObjects_;
    PRMValue value_;
    std::optional<NSError> error_;
    std::vector<Observer> observers_;
};

// Blocks until the promise settles; its value (nil on rejection), with the
// error written to *error when given. Never call it on the queue that would
// settle the promise.
PRMValue PRMPromiseAwait(const std::shared_ptr<PRMPromise>& promise, NSError* error = nullptr);
// Waits (real time) until no promise is pending and no observer task is
// queued, pumping the main loop when called on the main thread. False when
// the time-out passes first.
bool PRMWaitForAllPromises(double timeoutSeconds);
