#include "services/util/PRMPromise.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "platform/dispatch/MainLoop.h"

// ---- PRMValue ----------------------------------------------------------------

bool PRMValue::isNullPlaceholder() const {
    const Value* v = value();
    return v && v->isNull();
}

std::shared_ptr<NSObject> PRMValue::object() const {
    if (auto* o = std::get_if<std::shared_ptr<NSObject>>(&v_)) return *o;
    return nullptr;
}

std::shared_ptr<PRMPromise> PRMValue::promise() const {
    return std::dynamic_pointer_cast<PRMPromise>(object());
}

const PRMArray* PRMValue::array() const {
    if (auto* a = std::get_if<std::shared_ptr<const PRMArray>>(&v_)) return a->get();
    return nullptr;
}

std::string PRMValue::description() const {
    if (isNil()) return "(null)";
    if (isNullPlaceholder()) return "<null>";
    if (const Value* v = value()) {
        if (v->isString()) return *v->asString();
        return v->description();
    }
    if (const NSError* e = error()) return e->description();
    if (auto o = object()) return o->description();
    std::string out = "(";
    const PRMArray& items = *array();
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i ? ", " : "") + items[i].description();
    }
    return out + ")";
}

bool PRMValue::operator==(const PRMValue& other) const {
    if (v_.index() != other.v_.index()) return false;
    if (isNil()) return true;
    if (const Value* v = value()) return *v == *other.value();
    if (const NSError* e = error()) return *e == *other.error();
    if (auto o = object()) return o == other.object();
    return *array() == *other.array();
}

std::ostream& operator<<(std::ostream& out, const PRMValue& value) {
    return out << value.description();
}

// ---- Group of pending promises ------------------------------------------------

namespace {

struct PendingGroup {
    DispatchGroup group;
    std::mutex mutex;
    std::condition_variable emptied;
    long count = 0;

    void enter() {
        group.enter();
        std::lock_guard lock(mutex);
        ++count;
    }
    void leave() {
        {
            std::lock_guard lock(mutex);
            --count;
            if (count == 0) emptied.notify_all();
        }
        group.leave();
    }
    bool waitEmpty(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        return emptied.wait_until(lock, deadline, [this] { return count == 0; });
    }
};

PendingGroup& pendingGroup() {
    static PendingGroup* g = new PendingGroup;  // outlives late promises at exit
    return *g;
}

std::mutex& defaultQueueMutex() {
    static std::mutex m;
    return m;
}
PRMPromise::Queue& defaultQueueSlot() {
    static PRMPromise::Queue q = DispatchQueue::main();
    return q;
}

std::string addressOf(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

}  // namespace

void PRMPromise::submitInGroup(const Queue& queue, std::function<void()> block) {
    auto& g = pendingGroup();
    g.enter();
    queue->async([block = std::move(block)] {
        block();
        pendingGroup().leave();
    });
}

// ---- Core ----------------------------------------------------------------------

PRMPromise::PRMPromise() {
    pendingGroup().enter();
}

PRMPromise::PRMPromise(PRMValue resolution) {
    if (const NSError* e = resolution.error()) {
        state_ = State::Rejected;
        error_ = *e;
    } else {
        state_ = State::Fulfilled;
        value_ = std::move(resolution);
    }
}

PRMPromise::~PRMPromise() {
    if (state_ == State::Pending) pendingGroup().leave();
}

std::shared_ptr<PRMPromise> PRMPromise::pendingPromise() {
    return std::make_shared<PRMPromise>();
}

std::shared_ptr<PRMPromise> PRMPromise::resolvedWith(PRMValue resolution) {
    return std::make_shared<PRMPromise>(std::move(resolution));
}

PRMPromise::Queue PRMPromise::defaultDispatchQueue() {
    std::lock_guard lock(defaultQueueMutex());
    return defaultQueueSlot();
}

void PRMPromise::setDefaultDispatchQueue(Queue queue) {
    if (!queue) {
        throw NSException(NSException::NSInternalInconsistencyException,
                          "Invalid parameter not satisfying: queue");
    }
    std::lock_guard lock(defaultQueueMutex());
    defaultQueueSlot() = std::move(queue);
}

DispatchGroup& PRMPromise::dispatchGroup() {
    return pendingGroup().group;
}

void PRMPromise::settle(State state, PRMValue resolution) {
    std::lock_guard lock(mutex_);
    if (state_ != State::Pending) return;
    state_ = state;
    if (state == State::Rejected) {
        error_ = *resolution.error();
    } else {
        value_ = resolution;
    }
    pendingObjects_.clear();
    auto observers = std::move(observers_);
    observers_.clear();
    for (auto& observer : observers) observer(state, resolution);
    pendingGroup().leave();
}

void PRMPromise::fulfill(PRMValue value) {
    if (value.isError()) {
        settle(State::Rejected, std::move(value));
    } else {
        settle(State::Fulfilled, std::move(value));
    }
}

void PRMPromise::reject(NSError error) {
    settle(State::Rejected, PRMValue(std::move(error)));
}

bool PRMPromise::isPending() const {
    std::lock_guard lock(mutex_);
    return state_ == State::Pending;
}
bool PRMPromise::isFulfilled() const {
    std::lock_guard lock(mutex_);
    return state_ == State::Fulfilled;
}
bool PRMPromise::isRejected() const {
    std::lock_guard lock(mutex_);
    return state_ == State::Rejected;
}
PRMValue PRMPromise::value() const {
    std::lock_guard lock(mutex_);
    return value_;
}
std::optional<NSError> PRMPromise::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void PRMPromise::addPendingObject(std::shared_ptr<void> object) {
    if (!object) {
        throw NSException(NSException::NSInternalInconsistencyException,
                          "Invalid parameter not satisfying: object");
    }
    std::lock_guard lock(mutex_);
    if (state_ == State::Pending) pendingObjects_.push_back(std::move(object));
}

void PRMPromise::observeOnQueue(const Queue& queue, FulfillBlock onFulfill, RejectBlock onReject) {
    const char* missing = !queue       ? "queue"
                          : !onFulfill ? "onFulfill"
                          : !onReject  ? "onReject"
                                       : nullptr;
    if (missing) {
        throw NSException(NSException::NSInternalInconsistencyException,
                          std::string("Invalid parameter not satisfying: ") + missing);
    }
    std::lock_guard lock(mutex_);
    switch (state_) {
        case State::Rejected:
            submitInGroup(queue, [onReject = std::move(onReject), e = *error_] { onReject(e); });
            return;
        case State::Fulfilled:
            submitInGroup(queue, [onFulfill = std::move(onFulfill), v = value_] { onFulfill(v); });
            return;
        case State::Pending:
            observers_.push_back(
                [queue, onFulfill = std::move(onFulfill), onReject = std::move(onReject)](
                    State state, const PRMValue& resolution) {
                    submitInGroup(queue, [state, resolution, onFulfill, onReject] {
                        if (state == State::Rejected) {
                            onReject(*resolution.error());
                        } else {
                            onFulfill(resolution);
                        }
                    });
                });
            return;
    }
}

void PRMPromise::resolveAdopting(const Queue& queue, PRMValue value) {
    auto followed = value.promise();
    if (!followed) {
        fulfill(std::move(value));
        return;
    }
    auto self = std::static_pointer_cast<PRMPromise>(shared_from_this());
    followed->observeOnQueue(
        queue, [self](PRMValue v) { self->fulfill(std::move(v)); },
        [self](NSError e) { self->reject(std::move(e)); });
}

std::shared_ptr<PRMPromise> PRMPromise::chainOnQueue(const Queue& queue, ThenWork chainedFulfill,
                                                     RecoverWork chainedReject) {
    if (!queue) {
        throw NSException(NSException::NSInternalInconsistencyException,
                          "Invalid parameter not satisfying: queue");
    }
    auto chained = pendingPromise();
    auto resolver = [chained, queue](PRMValue x) { chained->resolveAdopting(queue, std::move(x)); };
    observeOnQueue(
        queue,
        [resolver, chainedFulfill = std::move(chainedFulfill)](PRMValue v) {
            resolver(chainedFulfill ? chainedFulfill(std::move(v)) : std::move(v));
        },
        [resolver, chainedReject = std::move(chainedReject)](NSError e) {
            resolver(chainedReject ? chainedReject(std::move(e)) : PRMValue(std::move(e)));
        });
    return chained;
}

std::string PRMPromise::description() const {
    std::lock_guard lock(mutex_);
    std::string head = "<" + className() + " " + addressOf(this) + ">";
    switch (state_) {
        case State::Fulfilled:
            return head + " Fulfilled: " + value_.description();
        case State::Rejected:
            return head + " Rejected: " + error_->description();
        case State::Pending:
            break;
    }
    return head + " Pending";
}

// ---- Waiting ---------------------------------------------------------------------

PRMValue PRMPromiseAwait(const std::shared_ptr<PRMPromise>& promise, NSError* error) {
    if (!promise) {
        throw NSException(NSException::NSInternalInconsistencyException,
                          "Invalid parameter not satisfying: promise");
    }
    static const auto queue = DispatchQueue::create("com.zevera.PRMPromises.Await",
                                                    DispatchQueue::Attributes::Concurrent);
    auto semaphore = std::make_shared<DispatchSemaphore>(0);
    auto result = std::make_shared<PRMValue>();
    auto failure = std::make_shared<std::optional<NSError>>();
    promise->chainOnQueue(
        queue,
        [semaphore, result](PRMValue v) {
            *result = v;
            semaphore->signal();
            return v;
        },
        [semaphore, failure](NSError e) {
            *failure = e;
            semaphore->signal();
            return PRMValue(e);
        });
    semaphore->wait();
    if (error) *error = failure->value_or(NSError());
    return *result;
}

bool PRMWaitForAllPromises(double timeoutSeconds) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() +
                          duration_cast<steady_clock::duration>(duration<double>(timeoutSeconds));
    auto& g = pendingGroup();
    if (g.waitEmpty(steady_clock::now() + milliseconds(10))) return true;
    for (;;) {
        if (steady_clock::now() >= deadline) return false;
        if (NSThread::isMainThread()) {
            sim::MainLoop::runFor(milliseconds(10));
        } else {
            g.waitEmpty(steady_clock::now() + milliseconds(10));
        }
        if (g.waitEmpty(steady_clock::now())) return true;
    }
}
