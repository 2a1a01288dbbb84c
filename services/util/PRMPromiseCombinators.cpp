// The combinators of PRMPromise, all built on chainOnQueue and
// observeOnQueue.

#include <atomic>

#include "platform/dispatch/Clock.h"
#include "services/util/PRMPromise.h"

namespace {

[[noreturn]] void invalidParameter(const char* name) {
    throw NSException(NSException::NSInternalInconsistencyException,
                      std::string("Invalid parameter not satisfying: ") + name);
}

template <class T>
void require(const T& argument, const char* name) {
    if (!argument) invalidParameter(name);
}

NSError promiseError(PRMPromiseErrorCode code) {
    return NSError(PRMPromiseErrorDomain, static_cast<long long>(code));
}

// A value for an array slot: nil becomes the null placeholder.
PRMValue slot(const PRMValue& v) {
    return v.isNil() ? PRMValue::null() : v;
}

}  // namespace

// ---- Instance combinators -------------------------------------------------------

std::shared_ptr<PRMPromise> PRMPromise::then(ThenWork work) {
    return thenOn(defaultDispatchQueue(), std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::thenOn(const Queue& queue, ThenWork work) {
    require(queue, "queue");
    require(work, "work");
    return chainOnQueue(queue, std::move(work), nullptr);
}

std::shared_ptr<PRMPromise> PRMPromise::catchError(CatchWork reject) {
    return catchOn(defaultDispatchQueue(), std::move(reject));
}
std::shared_ptr<PRMPromise> PRMPromise::catchOn(const Queue& queue, CatchWork reject) {
    require(queue, "queue");
    require(reject, "reject");
    return chainOnQueue(queue, nullptr, [reject = std::move(reject)](NSError e) {
        reject(e);
        return PRMValue(std::move(e));
    });
}

std::shared_ptr<PRMPromise> PRMPromise::recover(RecoverWork recovery) {
    return recoverOn(defaultDispatchQueue(), std::move(recovery));
}
std::shared_ptr<PRMPromise> PRMPromise::recoverOn(const Queue& queue, RecoverWork recovery) {
    require(queue, "queue");
    require(recovery, "recovery");
    return chainOnQueue(queue, nullptr, std::move(recovery));
}

std::shared_ptr<PRMPromise> PRMPromise::always(AlwaysWork work) {
    return alwaysOn(defaultDispatchQueue(), std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::alwaysOn(const Queue& queue, AlwaysWork work) {
    require(queue, "queue");
    require(work, "work");
    return chainOnQueue(
        queue,
        [work](PRMValue v) {
            work();
            return v;
        },
        [work](NSError e) {
            work();
            return PRMValue(std::move(e));
        });
}

std::shared_ptr<PRMPromise> PRMPromise::validate(ValidatePredicate predicate) {
    return validateOn(defaultDispatchQueue(), std::move(predicate));
}
std::shared_ptr<PRMPromise> PRMPromise::validateOn(const Queue& queue,
                                                   ValidatePredicate predicate) {
    require(queue, "queue");
    require(predicate, "predicate");
    return chainOnQueue(
        queue,
        [predicate = std::move(predicate)](PRMValue v) {
            return predicate(v) ? v
                                : PRMValue(promiseError(PRMPromiseErrorCode::ValidationFailure));
        },
        nullptr);
}

std::shared_ptr<PRMPromise> PRMPromise::delay(double seconds) {
    return delayOn(defaultDispatchQueue(), seconds);
}
std::shared_ptr<PRMPromise> PRMPromise::delayOn(const Queue& queue, double seconds) {
    require(queue, "queue");
    auto result = pendingPromise();
    observeOnQueue(
        queue,
        [result, queue, seconds](PRMValue v) {
            queue->asyncAfter(sim::seconds(seconds), [result, v] { result->fulfill(v); });
        },
        [result](NSError e) { result->reject(std::move(e)); });
    return result;
}

std::shared_ptr<PRMPromise> PRMPromise::timeout(double seconds) {
    return timeoutOn(defaultDispatchQueue(), seconds);
}
std::shared_ptr<PRMPromise> PRMPromise::timeoutOn(const Queue& queue, double seconds) {
    require(queue, "queue");
    auto result = pendingPromise();
    observeOnQueue(
        queue, [result](PRMValue v) { result->fulfill(std::move(v)); },
        [result](NSError e) { result->reject(std::move(e)); });
    std::weak_ptr<PRMPromise> weak = result;
    queue->asyncAfter(sim::seconds(seconds), [weak] {
        if (auto p = weak.lock()) p->reject(promiseError(PRMPromiseErrorCode::TimedOut));
    });
    return result;
}

std::shared_ptr<PRMPromise> PRMPromise::reduce(const PRMArray& items, ReduceWork reducer) {
    return reduceOn(defaultDispatchQueue(), items, std::move(reducer));
}
std::shared_ptr<PRMPromise> PRMPromise::reduceOn(const Queue& queue, const PRMArray& items,
                                                 ReduceWork reducer) {
    require(queue, "queue");
    require(reducer, "reducer");
    auto promise = std::static_pointer_cast<PRMPromise>(shared_from_this());
    for (const PRMValue& item : items) {
        promise = promise->chainOnQueue(
            queue, [reducer, item](PRMValue partial) { return reducer(std::move(partial), item); },
            nullptr);
    }
    return promise;
}

// ---- Class combinators ------------------------------------------------------------

std::shared_ptr<PRMPromise> PRMPromise::doWork(DoWork work) {
    return doOn(defaultDispatchQueue(), std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::doOn(const Queue& queue, DoWork work) {
    require(queue, "queue");
    require(work, "work");
    auto result = pendingPromise();
    submitInGroup(
        queue, [result, queue, work = std::move(work)] { result->resolveAdopting(queue, work()); });
    return result;
}

std::shared_ptr<PRMPromise> PRMPromise::async(AsyncWork work) {
    return asyncOn(defaultDispatchQueue(), std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::asyncOn(const Queue& queue, AsyncWork work) {
    require(queue, "queue");
    require(work, "work");
    auto result = pendingPromise();
    submitInGroup(queue, [result, queue, work = std::move(work)] {
        FulfillBlock fulfill = [result, queue](PRMValue x) {
            result->resolveAdopting(queue, std::move(x));
        };
        RejectBlock reject = [result](NSError e) { result->reject(std::move(e)); };
        work(std::move(fulfill), std::move(reject));
    });
    return result;
}

std::shared_ptr<PRMPromise> PRMPromise::all(const PRMArray& promises) {
    return allOn(defaultDispatchQueue(), promises);
}
std::shared_ptr<PRMPromise> PRMPromise::allOn(const Queue& queue, const PRMArray& promises) {
    require(queue, "queue");
    if (promises.empty()) return resolvedWith(PRMArray{});
    auto members = std::make_shared<std::vector<std::shared_ptr<PRMPromise>>>();
    return asyncOn(queue, [queue, promises, members](FulfillBlock fulfill, RejectBlock reject) {
        for (const PRMValue& element : promises) {
            if (auto p = element.promise()) {
                members->push_back(p);
            } else if (const NSError* e = element.error()) {
                reject(*e);
                return;
            } else {
                members->push_back(resolvedWith(element));
            }
        }
        for (const auto& member : *members) {
            member->observeOnQueue(
                queue,
                [members, fulfill](PRMValue) {
                    PRMArray values;
                    for (const auto& m : *members) {
                        if (!m->isFulfilled()) return;
                        values.push_back(slot(m->value()));
                    }
                    fulfill(std::move(values));
                },
                reject);
        }
    });
}

std::shared_ptr<PRMPromise> PRMPromise::any(const PRMArray& promises) {
    return anyOn(defaultDispatchQueue(), promises);
}
std::shared_ptr<PRMPromise> PRMPromise::anyOn(const Queue& queue, const PRMArray& promises) {
    require(queue, "queue");
    if (promises.empty()) return resolvedWith(PRMArray{});
    auto members = std::make_shared<std::vector<std::shared_ptr<PRMPromise>>>();
    return asyncOn(queue, [queue, promises, members](FulfillBlock fulfill, RejectBlock reject) {
        for (const PRMValue& element : promises) {
            auto p = element.promise();
            members->push_back(p ? p : resolvedWith(element));
        }
        // Decides once no member is pending: the combined values and errors
        // if any member was fulfilled, else the error given.
        auto decide = [members, fulfill, reject](const std::optional<NSError>& error) {
            bool anyFulfilled = false;
            for (const auto& m : *members) {
                if (m->isPending()) return;
                anyFulfilled = anyFulfilled || m->isFulfilled();
            }
            if (anyFulfilled) {
                PRMArray combined;
                for (const auto& m : *members) {
                    combined.push_back(m->isFulfilled() ? slot(m->value()) : PRMValue(*m->error()));
                }
                fulfill(std::move(combined));
            } else if (error) {
                reject(*error);
            }
        };
        for (const auto& member : *members) {
            member->observeOnQueue(
                queue, [decide](PRMValue) { decide(std::nullopt); },
                [decide](NSError e) { decide(e); });
        }
    });
}

std::shared_ptr<PRMPromise> PRMPromise::race(const PRMArray& promises) {
    return raceOn(defaultDispatchQueue(), promises);
}
std::shared_ptr<PRMPromise> PRMPromise::raceOn(const Queue& queue, const PRMArray& promises) {
    require(queue, "queue");
    if (promises.empty()) {
        throw NSException(NSException::NSInternalInconsistencyException, "No promises to observe");
    }
    return asyncOn(queue, [queue, promises](FulfillBlock fulfill, RejectBlock reject) {
        for (const PRMValue& element : promises) {
            if (!element.promise()) {
                fulfill(element);
                return;
            }
        }
        for (const PRMValue& element : promises) {
            element.promise()->observeOnQueue(queue, fulfill, reject);
        }
    });
}

namespace {

void attempt(const std::shared_ptr<PRMPromise>& result, const PRMPromise::Queue& queue,
             std::int64_t remaining, double delay, const PRMPromise::RetryPredicate& condition,
             const PRMPromise::RetryWork& work) {
    auto handle = [result, queue, remaining, delay, condition, work](const PRMValue& x) {
        const NSError* error = x.error();
        if (!error) {
            result->fulfill(x);
            return;
        }
        if (remaining >= 1 && (!condition || condition(remaining, *error))) {
            queue->asyncAfter(sim::seconds(delay),
                              [result, queue, remaining, delay, condition, work] {
                                  attempt(result, queue, remaining - 1, delay, condition, work);
                              });
        } else {
            result->reject(*error);
        }
    };
    PRMValue x = work();
    if (auto followed = x.promise()) {
        followed->observeOnQueue(
            queue, [handle](PRMValue v) { handle(v); },
            [handle](NSError e) { handle(PRMValue(std::move(e))); });
    } else {
        handle(x);
    }
}

}  // namespace

std::shared_ptr<PRMPromise> PRMPromise::retry(RetryWork work) {
    return retryOn(defaultDispatchQueue(), std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::retryOn(const Queue& queue, RetryWork work) {
    return retryOn(queue, 1, std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::retry(std::int64_t attempts, RetryWork work) {
    return retryOn(defaultDispatchQueue(), attempts, std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::retryOn(const Queue& queue, std::int64_t attempts,
                                                RetryWork work) {
    return retryAgainOn(queue, attempts, 1.0, nullptr, std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::retryAgain(std::int64_t attempts, double delay,
                                                   RetryPredicate condition, RetryWork work) {
    return retryAgainOn(defaultDispatchQueue(), attempts, delay, std::move(condition),
                        std::move(work));
}
std::shared_ptr<PRMPromise> PRMPromise::retryAgainOn(const Queue& queue, std::int64_t attempts,
                                                     double delay, RetryPredicate condition,
                                                     RetryWork work) {
    require(queue, "queue");
    require(work, "work");
    auto result = pendingPromise();
    attempt(result, queue, attempts, delay, condition, work);
    return result;
}

// ---- Completion-handler adapters -------------------------------------------------

namespace {

template <class Handler, class MakeHandler>
std::shared_ptr<PRMPromise> wrapOn(const PRMPromise::Queue& queue,
                                   PRMPromise::Wrapped<Handler> work, MakeHandler makeHandler) {
    require(queue, "queue");
    require(work, "work");
    return PRMPromise::asyncOn(
        queue, [work = std::move(work), makeHandler](PRMPromise::FulfillBlock fulfill,
                                                     PRMPromise::RejectBlock reject) {
            work(makeHandler(std::move(fulfill), std::move(reject)));
        });
}

}  // namespace

#define PRM_WRAP(Name, Handler, ...)                                                          \
    std::shared_ptr<PRMPromise> PRMPromise::Name(Wrapped<Handler> work) {                     \
        return Name##On(defaultDispatchQueue(), std::move(work));                             \
    }                                                                                         \
    std::shared_ptr<PRMPromise> PRMPromise::Name##On(const Queue& q, Wrapped<Handler> work) { \
        return wrapOn<Handler>(q, std::move(work),                                            \
                               [](FulfillBlock fulfill, RejectBlock reject) -> Handler {      \
                                   (void)reject;                                              \
                                   return __VA_ARGS__;                                        \
                               });                                                            \
    }

PRM_WRAP(wrapCompletion, Completion, [fulfill] { fulfill(PRMValue()); })
PRM_WRAP(wrapObjectCompletion, ObjectCompletion, [fulfill](PRMValue v) { fulfill(std::move(v)); })
PRM_WRAP(wrapErrorCompletion, ErrorCompletion,
         [fulfill, reject](std::optional<NSError> e) { e ? reject(*e) : fulfill(PRMValue()); })
PRM_WRAP(wrapObjectOrErrorCompletion, ObjectOrErrorCompletion,
         [fulfill, reject](PRMValue v, std::optional<NSError> e) {
             e ? reject(*e) : fulfill(std::move(v));
         })
PRM_WRAP(wrapErrorOrObjectCompletion, ErrorOrObjectCompletion,
         [fulfill, reject](std::optional<NSError> e, PRMValue v) {
             e ? reject(*e) : fulfill(std::move(v));
         })
PRM_WRAP(wrap2ObjectsOrErrorCompletion, TwoObjectsOrErrorCompletion,
         [fulfill, reject](PRMValue a, PRMValue b, std::optional<NSError> e) {
             e ? reject(*e) : fulfill(PRMArray{slot(a), slot(b)});
         })
PRM_WRAP(wrapBoolCompletion, BoolCompletion, [fulfill](bool b) { fulfill(PRMValue(b)); })
PRM_WRAP(wrapBoolOrErrorCompletion, BoolOrErrorCompletion,
         [fulfill, reject](bool b, std::optional<NSError> e) {
             e ? reject(*e) : fulfill(PRMValue(b));
         })
PRM_WRAP(wrapIntegerCompletion, IntegerCompletion,
         [fulfill](std::int64_t i) { fulfill(PRMValue(static_cast<long long>(i))); })
PRM_WRAP(wrapIntegerOrErrorCompletion, IntegerOrErrorCompletion,
         [fulfill, reject](std::int64_t i, std::optional<NSError> e) {
             e ? reject(*e) : fulfill(PRMValue(static_cast<long long>(i)));
         })
PRM_WRAP(wrapDoubleCompletion, DoubleCompletion, [fulfill](double d) { fulfill(PRMValue(d)); })
PRM_WRAP(wrapDoubleOrErrorCompletion, DoubleOrErrorCompletion,
         [fulfill, reject](double d, std::optional<NSError> e) {
             e ? reject(*e) : fulfill(PRMValue(d));
         })

#undef PRM_WRAP
