#pragma once
// A minimal publisher/subscriber framework standing in for the platform's
// reactive-stream library. Publishers never fail (failure type Never).
//
// Ownership: subscriptions and subscribers are held by std::shared_ptr.
// Publishers are values: the built-in ones (AnyPublisher, Just, Empty, Map,
// Merge, PassthroughSubject, ObservableObjectPublisher) are cheap to copy and
// copies of a subject share its state. A publisher type of your own derives
// from Publisher<Output> and overrides receive(subscriber); sink() works on it
// as it is, while the operators that keep the upstream (map, merge,
// eraseToAnyPublisher) need either the publisher held by a shared_ptr or the
// type deriving from PublisherImpl<Self, Output>, which lets it be copied.
//
// Threading: a send on any thread delivers synchronously on that thread.
// Cancelling is safe from any thread and from within a delivery: once a
// sink's cancel() has returned, its closures are not called again, and
// deliveries that were running on other threads have finished.

#include <algorithm>
#include <compare>
#include <concepts>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

// The failure type of publishers that cannot fail.
struct Never {
    Never() = delete;
};

// The empty value that signal-only publishers emit.
using Void = std::monostate;

namespace Subscribers {

// How many more values a subscriber is ready to receive.
class Demand {
  public:
    static constexpr Demand unlimited() { return Demand(true, 0); }
    static constexpr Demand max(std::size_t n) { return Demand(false, n); }
    static constexpr Demand none() { return Demand(false, 0); }

    constexpr bool isUnlimited() const { return unlimited_; }
    // The finite count; absent when unlimited.
    constexpr std::optional<std::size_t> max() const {
        if (unlimited_) return std::nullopt;
        return count_;
    }
    constexpr bool isNone() const { return !unlimited_ && count_ == 0; }
    constexpr explicit operator bool() const { return !isNone(); }

    // Saturating: unlimited absorbs everything.
    friend constexpr Demand operator+(Demand a, Demand b) {
        if (a.unlimited_ || b.unlimited_) return unlimited();
        std::size_t limit = std::numeric_limits<std::size_t>::max();
        if (b.count_ > limit - a.count_) return unlimited();
        return max(a.count_ + b.count_);
    }
    friend constexpr Demand operator+(Demand a, std::size_t n) { return a + max(n); }
    constexpr Demand& operator+=(Demand other) { return *this = *this + other; }
    constexpr Demand& operator+=(std::size_t n) { return *this = *this + max(n); }
    // Unlimited stays unlimited; a finite demand does not go below none.
    friend constexpr Demand operator-(Demand a, std::size_t n) {
        if (a.unlimited_) return a;
        return max(a.count_ > n ? a.count_ - n : 0);
    }
    constexpr Demand& operator-=(std::size_t n) { return *this = *this - n; }

    friend constexpr bool operator==(Demand a, Demand b) {
        return a.unlimited_ == b.unlimited_ && (a.unlimited_ || a.count_ == b.count_);
    }
    friend constexpr bool operator==(Demand a, std::size_t n) {
        return !a.unlimited_ && a.count_ == n;
    }
    friend constexpr std::strong_ordering operator<=>(Demand a, Demand b) {
        if (a.unlimited_ || b.unlimited_) return a.unlimited_ <=> b.unlimited_;
        return a.count_ <=> b.count_;
    }
    friend constexpr std::strong_ordering operator<=>(Demand a, std::size_t n) {
        return a <=> max(n);
    }

  private:
    constexpr Demand(bool unlimited, std::size_t count) : unlimited_(unlimited), count_(count) {}
    bool unlimited_;
    std::size_t count_;
};

// How a stream ended. Only failure type Never exists, so only `finished`.
enum class Completion { finished };

}  // namespace Subscribers

class Cancellable {
  public:
    virtual ~Cancellable() = default;
    virtual void cancel() = 0;
};

// Cancels on destruction of its last copy (copies share one token, like the
// platform's reference type); cancel() is idempotent and thread-safe.
class AnyCancellable final : public Cancellable {
  public:
    AnyCancellable() = default;
    explicit AnyCancellable(std::function<void()> cancel);
    template <class C>
    requires std::derived_from<C, Cancellable>
    explicit AnyCancellable(std::shared_ptr<C> cancellable)
        : AnyCancellable(cancellable
                             ? std::function<void()>([cancellable] { cancellable->cancel(); })
                             : std::function<void()>()) {}

    void cancel() override;
    // True when this token holds a cancellation that has not run yet.
    bool isActive() const;

    void store(std::vector<AnyCancellable>& into) const { into.push_back(*this); }
    void store(std::set<AnyCancellable>& into) const { into.insert(*this); }
    void store(std::unordered_set<AnyCancellable>& into) const;

    friend bool operator==(const AnyCancellable& a, const AnyCancellable& b) {
        return a.state_ == b.state_;
    }
    friend std::strong_ordering operator<=>(const AnyCancellable& a, const AnyCancellable& b) {
        return std::compare_three_way()(a.state_.get(), b.state_.get());
    }
    std::size_t hashValue() const { return std::hash<const void*>()(state_.get()); }

  private:
    struct State;
    std::shared_ptr<State> state_;
};

template <>
struct std::hash<AnyCancellable> {
    std::size_t operator()(const AnyCancellable& c) const { return c.hashValue(); }
};

inline void AnyCancellable::store(std::unordered_set<AnyCancellable>& into) const {
    into.insert(*this);
}

class Subscription : public Cancellable {
  public:
    virtual void request(Subscribers::Demand demand) = 0;
};

namespace Subscriptions {
// A subscription that does nothing (for publishers that emit nothing).
std::shared_ptr<Subscription> empty();
}  // namespace Subscriptions

template <class Input>
class Subscriber {
  public:
    using InputType = Input;
    using Failure = Never;
    virtual ~Subscriber() = default;
    virtual void receive(std::shared_ptr<Subscription> subscription) = 0;
    virtual Subscribers::Demand receive(Input input) = 0;
    virtual void receive(Subscribers::Completion completion) = 0;
};

template <class Output>
class AnyPublisher;
namespace Publishers {
template <class Input, class Output>
class Map;
template <class Output>
class MergeMany;
}  // namespace Publishers

namespace combine_detail {

// Delivery guard shared by the terminal subscribers: counts the deliveries in
// flight per thread so that cancel() can wait for those of other threads
// without deadlocking on a cancel from within a delivery.
class DeliveryGate {
  public:
    // Under `lock` (held on m()): record a delivery starting on this thread.
    void enter() { active_.push_back(std::this_thread::get_id()); }
    void leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find(active_.begin(), active_.end(), std::this_thread::get_id());
        if (it != active_.end()) active_.erase(it);
        changed_.notify_all();
    }
    // Under `lock`: wait until no other thread is delivering.
    void waitForOthers(std::unique_lock<std::mutex>& lock) {
        auto self = std::this_thread::get_id();
        changed_.wait(lock, [&] {
            return std::all_of(active_.begin(), active_.end(),
                               [&](std::thread::id id) { return id == self; });
        });
    }
    std::mutex& m() { return mutex_; }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread::id> active_;
};

template <class Output, class F>
std::function<void(Output)> valueHandler(F&& f) {
    using Fn = std::decay_t<F>;
    if constexpr (std::is_invocable_v<Fn&, Output>) {
        return std::function<void(Output)>(std::forward<F>(f));
    } else {
        static_assert(std::is_invocable_v<Fn&>,
                      "sink's receiveValue must take the output (or nothing)");
        return [fn = Fn(std::forward<F>(f))](Output) mutable { fn(); };
    }
}

}  // namespace combine_detail

namespace Subscribers {

// The subscriber behind sink(): requests unlimited demand and calls closures.
template <class Input>
class Sink final : public Subscriber<Input>, public Cancellable {
  public:
    Sink(std::function<void(Completion)> receiveCompletion, std::function<void(Input)> receiveValue)
        : handlers_(std::make_shared<Handlers>(
              Handlers{std::move(receiveCompletion), std::move(receiveValue)})) {}

    void receive(std::shared_ptr<Subscription> subscription) override {
        if (!subscription) return;
        bool accepted = false;
        {
            std::lock_guard<std::mutex> lock(gate_.m());
            if (state_ == State::Awaiting) {
                state_ = State::Subscribed;
                upstream_ = subscription;
                accepted = true;
            }
        }
        if (accepted) {
            subscription->request(Demand::unlimited());
        } else {
            subscription->cancel();  // a second subscription, or after the end
        }
    }

    Demand receive(Input input) override {
        std::shared_ptr<Handlers> h;
        {
            std::lock_guard<std::mutex> lock(gate_.m());
            if (state_ != State::Subscribed || !handlers_) return Demand::none();
            h = handlers_;
            gate_.enter();
        }
        struct Leave {
            combine_detail::DeliveryGate& g;
            ~Leave() { g.leave(); }
        } leave{gate_};
        if (h->value) h->value(std::move(input));
        return Demand::none();
    }

    void receive(Completion completion) override {
        std::shared_ptr<Handlers> h;
        {
            std::lock_guard<std::mutex> lock(gate_.m());
            if (state_ == State::Terminal) return;
            state_ = State::Terminal;
            upstream_ = nullptr;
            h = std::move(handlers_);
            if (!h) return;
            gate_.enter();
        }
        struct Leave {
            combine_detail::DeliveryGate& g;
            ~Leave() { g.leave(); }
        } leave{gate_};
        if (h->completion) h->completion(completion);
    }

    void cancel() override {
        std::shared_ptr<Subscription> up;
        std::shared_ptr<Handlers> h;
        {
            std::unique_lock<std::mutex> lock(gate_.m());
            state_ = State::Terminal;
            up = std::move(upstream_);
            h = std::move(handlers_);
            gate_.waitForOthers(lock);
        }
        if (up) up->cancel();
        // h (the closures) is released here, outside the lock; a delivery in
        // flight on this thread keeps its own reference.
    }

  private:
    struct Handlers {
        std::function<void(Completion)> completion;
        std::function<void(Input)> value;
    };
    enum class State { Awaiting, Subscribed, Terminal };

    combine_detail::DeliveryGate gate_;
    State state_ = State::Awaiting;
    std::shared_ptr<Subscription> upstream_;
    std::shared_ptr<Handlers> handlers_;
};

}  // namespace Subscribers

// Base of every publisher.
template <class O>
class Publisher : public std::enable_shared_from_this<Publisher<O>> {
  public:
    using Output = O;
    using Failure = Never;

    virtual ~Publisher() = default;

    // Attach a subscriber: the publisher hands it a subscription (receive
    // (subscription)), then values and at most one completion.
    virtual void receive(std::shared_ptr<Subscriber<O>> subscriber) = 0;

    void subscribe(std::shared_ptr<Subscriber<O>> subscriber) const {
        mutableSelf().receive(std::move(subscriber));
    }

    AnyPublisher<O> eraseToAnyPublisher() const;

    template <class F>
    auto map(F transform) const -> Publishers::Map<O, std::decay_t<std::invoke_result_t<F&, O>>>;

    template <class... Others>
    Publishers::MergeMany<O> merge(const Others&... others) const;

    template <class V>
    AnyCancellable sink(V&& receiveValue) const {
        return sink([](Subscribers::Completion) {}, std::forward<V>(receiveValue));
    }

    template <class C, class V>
    requires std::is_invocable_v < std::decay_t<C>
    &, Subscribers::Completion >
           AnyCancellable sink(C&& receiveCompletion, V&& receiveValue) const {
        auto sink = std::make_shared<Subscribers::Sink<O>>(
            std::function<void(Subscribers::Completion)>(std::forward<C>(receiveCompletion)),
            combine_detail::valueHandler<O>(std::forward<V>(receiveValue)));
        subscribe(sink);
        return AnyCancellable(sink);
    }

    // A shared reference to this publisher for operators that keep their
    // upstream: the owning shared_ptr when there is one, else a copy.
    std::shared_ptr<Publisher<O>> sharedPublisher() const {
        if (auto owned = std::const_pointer_cast<Publisher<O>>(this->weak_from_this().lock())) {
            return owned;
        }
        if (auto copy = clonePublisher()) return copy;
        throw std::logic_error(
            "Publisher: this publisher is neither held by a shared_ptr nor copyable; derive it "
            "from PublisherImpl<Self, Output> or create it with std::make_shared");
    }

  protected:
    Publisher() = default;
    Publisher(const Publisher&) : std::enable_shared_from_this<Publisher<O>>() {}
    Publisher& operator=(const Publisher&) { return *this; }

    // A heap copy of this publisher, or null when the type cannot be copied.
    virtual std::shared_ptr<Publisher<O>> clonePublisher() const { return nullptr; }

  private:
    Publisher& mutableSelf() const { return const_cast<Publisher&>(*this); }
};

// Base for copyable publisher types: lets the operators copy them.
template <class Derived, class O>
class PublisherImpl : public Publisher<O> {
  protected:
    std::shared_ptr<Publisher<O>> clonePublisher() const override {
        return std::make_shared<Derived>(static_cast<const Derived&>(*this));
    }
};

namespace combine_detail {

template <class P>
struct PublisherOutput {
    using type = typename P::Output;
};
template <class P>
struct PublisherOutput<std::shared_ptr<P>> {
    using type = typename P::Output;
};

template <class O, class P>
std::shared_ptr<Publisher<O>> sharePublisher(const P& p) {
    if constexpr (std::is_convertible_v<P, std::shared_ptr<Publisher<O>>>) {
        if (!p) throw std::invalid_argument("Publisher: null publisher");
        return p;
    } else {
        static_assert(std::is_base_of_v<Publisher<O>, P>, "not a publisher of this output");
        if constexpr (std::is_copy_constructible_v<P>) {
            const Publisher<O>& base = p;
            if (auto owned = base.weak_from_this().lock()) {
                return std::const_pointer_cast<Publisher<O>>(owned);
            }
            return std::make_shared<P>(p);
        } else {
            return p.sharedPublisher();
        }
    }
}

}  // namespace combine_detail

// Type erasure: any publisher of Output.
template <class O>
class AnyPublisher final : public PublisherImpl<AnyPublisher<O>, O> {
  public:
    // From a shared publisher, or from a publisher value (copied).
    template <class P>
    requires(!std::is_same_v<std::decay_t<P>, AnyPublisher<O>>) AnyPublisher(const P& publisher)
        : inner_(combine_detail::sharePublisher<O>(publisher)) {}
    AnyPublisher(const AnyPublisher&) = default;
    AnyPublisher& operator=(const AnyPublisher&) = default;

    void receive(std::shared_ptr<Subscriber<O>> subscriber) override {
        inner_->receive(std::move(subscriber));
    }
    AnyPublisher<O> eraseToAnyPublisher() const { return *this; }

  private:
    std::shared_ptr<Publisher<O>> inner_;
};

template <class O>
AnyPublisher<O> Publisher<O>::eraseToAnyPublisher() const {
    return AnyPublisher<O>(sharedPublisher());
}

namespace Publishers {

template <class Input, class O>
class Map final : public PublisherImpl<Map<Input, O>, O> {
  public:
    Map(AnyPublisher<Input> upstream, std::function<O(Input)> transform)
        : upstream_(std::move(upstream)), transform_(std::move(transform)) {}

    void receive(std::shared_ptr<Subscriber<O>> subscriber) override {
        upstream_.receive(std::make_shared<Inner>(std::move(subscriber), transform_));
    }

  private:
    class Inner final : public Subscriber<Input> {
      public:
        Inner(std::shared_ptr<Subscriber<O>> downstream, std::function<O(Input)> transform)
            : downstream_(std::move(downstream)), transform_(std::move(transform)) {}
        void receive(std::shared_ptr<Subscription> s) override {
            downstream_->receive(std::move(s));
        }
        Subscribers::Demand receive(Input input) override {
            return downstream_->receive(transform_(std::move(input)));
        }
        void receive(Subscribers::Completion c) override { downstream_->receive(c); }

      private:
        std::shared_ptr<Subscriber<O>> downstream_;
        std::function<O(Input)> transform_;
    };

    AnyPublisher<Input> upstream_;
    std::function<O(Input)> transform_;
};

// Merges the values of several publishers; finishes once all have finished.
// Deliveries downstream are serialized. A finite demand is passed on to every
// upstream as it is.
template <class O>
class MergeMany : public PublisherImpl<MergeMany<O>, O> {
  public:
    explicit MergeMany(std::vector<AnyPublisher<O>> publishers)
        : publishers_(std::move(publishers)) {}
    template <class... Ps>
    explicit MergeMany(const Ps&... publishers) : publishers_{AnyPublisher<O>(publishers)...} {}

    void receive(std::shared_ptr<Subscriber<O>> subscriber) override {
        auto inner = std::make_shared<Inner>(std::move(subscriber), publishers_.size());
        inner->start(publishers_);
    }

    const std::vector<AnyPublisher<O>>& publishers() const { return publishers_; }

  private:
    class Inner final : public Subscription, public std::enable_shared_from_this<Inner> {
      public:
        Inner(std::shared_ptr<Subscriber<O>> downstream, std::size_t count)
            : downstream_(std::move(downstream)), upstreams_(count), remaining_(count) {}

        void start(std::vector<AnyPublisher<O>> publishers) {
            auto self = this->shared_from_this();
            auto down = downstream_;
            down->receive(std::static_pointer_cast<Subscription>(self));
            if (publishers.empty()) {
                finishOne();
                return;
            }
            for (std::size_t i = 0; i < publishers.size(); ++i) {
                publishers[i].receive(std::make_shared<Child>(self, i));
            }
        }

        void request(Subscribers::Demand demand) override {
            std::vector<std::shared_ptr<Subscription>> ups;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (cancelled_) return;
                demand_ += demand;
                for (auto& u : upstreams_)
                    if (u) ups.push_back(u);
            }
            for (auto& u : ups) u->request(demand);
        }

        void cancel() override {
            std::vector<std::shared_ptr<Subscription>> ups;
            std::shared_ptr<Subscriber<O>> down;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (cancelled_) return;
                cancelled_ = true;
                for (auto& u : upstreams_)
                    if (u) ups.push_back(std::move(u));
                down = std::move(downstream_);
            }
            for (auto& u : ups) u->cancel();
        }

        // Called by the per-upstream subscribers.
        void attach(std::size_t index, std::shared_ptr<Subscription> s) {
            Subscribers::Demand d = Subscribers::Demand::none();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!cancelled_ && !upstreams_[index]) {
                    upstreams_[index] = s;
                    d = demand_;
                    s = nullptr;
                }
            }
            if (s) {
                s->cancel();
                return;
            }
            if (d) {
                std::shared_ptr<Subscription> up;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    up = upstreams_[index];
                }
                if (up) up->request(d);
            }
        }

        Subscribers::Demand deliver(O value) {
            std::lock_guard<std::recursive_mutex> serial(deliveryMutex_);
            std::shared_ptr<Subscriber<O>> down;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (cancelled_ || finished_) return Subscribers::Demand::none();
                down = downstream_;
            }
            if (!down) return Subscribers::Demand::none();
            return down->receive(std::move(value));
        }

        void finishOne() {
            std::lock_guard<std::recursive_mutex> serial(deliveryMutex_);
            std::shared_ptr<Subscriber<O>> down;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (remaining_ > 0) --remaining_;
                if (remaining_ > 0 || cancelled_ || finished_) return;
                finished_ = true;
                down = std::move(downstream_);
                upstreams_.clear();
            }
            if (down) down->receive(Subscribers::Completion::finished);
        }

      private:
        std::mutex mutex_;
        std::recursive_mutex deliveryMutex_;
        std::shared_ptr<Subscriber<O>> downstream_;
        std::vector<std::shared_ptr<Subscription>> upstreams_;
        std::size_t remaining_;
        Subscribers::Demand demand_ = Subscribers::Demand::none();
        bool cancelled_ = false;
        bool finished_ = false;
    };

    class Child final : public Subscriber<O> {
      public:
        Child(std::shared_ptr<Inner> parent, std::size_t index)
            : parent_(std::move(parent)), index_(index) {}
        void receive(std::shared_ptr<Subscription> s) override {
            parent_->attach(index_, std::move(s));
        }
        Subscribers::Demand receive(O value) override { return parent_->deliver(std::move(value)); }
        void receive(Subscribers::Completion) override { parent_->finishOne(); }

      private:
        std::shared_ptr<Inner> parent_;
        std::size_t index_;
    };

    std::vector<AnyPublisher<O>> publishers_;
};

// Publishers::Merge(a, b): the values of both; finishes when both have.
template <class A, class B>
class Merge final
    : public PublisherImpl<Merge<A, B>, typename combine_detail::PublisherOutput<A>::type> {
  public:
    using Output = typename combine_detail::PublisherOutput<A>::type;
    Merge(const A& a, const B& b) : merged_(a, b) {}
    void receive(std::shared_ptr<Subscriber<Output>> subscriber) override {
        merged_.receive(std::move(subscriber));
    }

  private:
    MergeMany<Output> merged_;
};

}  // namespace Publishers

template <class O>
template <class F>
auto Publisher<O>::map(F transform) const
    -> Publishers::Map<O, std::decay_t<std::invoke_result_t<F&, O>>> {
    using R = std::decay_t<std::invoke_result_t<F&, O>>;
    return Publishers::Map<O, R>(eraseToAnyPublisher(), std::function<R(O)>(std::move(transform)));
}

template <class O>
template <class... Others>
Publishers::MergeMany<O> Publisher<O>::merge(const Others&... others) const {
    return Publishers::MergeMany<O>(
        std::vector<AnyPublisher<O>>{eraseToAnyPublisher(), AnyPublisher<O>(others)...});
}

// Emits nothing; finishes at once when completeImmediately (the default).
template <class O>
class Empty final : public PublisherImpl<Empty<O>, O> {
  public:
    explicit Empty(bool completeImmediately = true) : completeImmediately_(completeImmediately) {}
    bool completeImmediately() const { return completeImmediately_; }
    void receive(std::shared_ptr<Subscriber<O>> subscriber) override {
        subscriber->receive(Subscriptions::empty());
        if (completeImmediately_) subscriber->receive(Subscribers::Completion::finished);
    }

  private:
    bool completeImmediately_;
};

// Emits one value on the first demand, then finishes.
template <class O>
class Just final : public PublisherImpl<Just<O>, O> {
  public:
    explicit Just(O value) : value_(std::move(value)) {}
    const O& output() const { return value_; }
    void receive(std::shared_ptr<Subscriber<O>> subscriber) override {
        subscriber->receive(std::make_shared<Inner>(subscriber, value_));
    }

  private:
    class Inner final : public Subscription {
      public:
        Inner(std::weak_ptr<Subscriber<O>> downstream, O value)
            : downstream_(std::move(downstream)), value_(std::move(value)) {}
        void request(Subscribers::Demand demand) override {
            if (!demand) return;
            std::shared_ptr<Subscriber<O>> down;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (done_) return;
                done_ = true;
                down = downstream_.lock();
            }
            if (!down) return;
            down->receive(std::move(value_));
            down->receive(Subscribers::Completion::finished);
        }
        void cancel() override {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }

      private:
        std::mutex mutex_;
        std::weak_ptr<Subscriber<O>> downstream_;
        O value_;
        bool done_ = false;
    };
    O value_;
};

// A subject that broadcasts what is sent to its current subscribers, each
// within its demand (values beyond a subscriber's demand are dropped for it).
// Copies share one subject.
template <class O>
class PassthroughSubject final : public PublisherImpl<PassthroughSubject<O>, O> {
  public:
    PassthroughSubject() : state_(std::make_shared<State>()) {}

    void send(O value) const {
        std::vector<std::shared_ptr<Conduit>> targets;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->completed) return;
            targets = state_->conduits;
        }
        for (auto& c : targets) c->offer(value);
    }
    void send() const requires std::is_same_v<O, Void> { send(Void{}); }
    void send(Subscribers::Completion completion) const {
        std::vector<std::shared_ptr<Conduit>> targets;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->completed) return;
            state_->completed = true;
            targets.swap(state_->conduits);
        }
        for (auto& c : targets) c->finish(completion);
    }

    void receive(std::shared_ptr<Subscriber<O>> subscriber) override {
        auto conduit = std::make_shared<Conduit>(state_, subscriber);
        bool completed;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            completed = state_->completed;
            if (!completed) state_->conduits.push_back(conduit);
        }
        subscriber->receive(std::static_pointer_cast<Subscription>(conduit));
        if (completed) conduit->finish(Subscribers::Completion::finished);
    }

    // Number of live subscriptions (for tests and diagnostics).
    std::size_t subscriberCount() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->conduits.size();
    }

  private:
    class Conduit;
    struct State {
        std::mutex mutex;
        bool completed = false;
        std::vector<std::shared_ptr<Conduit>> conduits;
        void remove(const Conduit* c) {
            std::lock_guard<std::mutex> lock(mutex);
            std::erase_if(conduits, [c](const auto& p) { return p.get() == c; });
        }
    };

    class Conduit final : public Subscription {
      public:
        Conduit(std::weak_ptr<State> subject, std::shared_ptr<Subscriber<O>> downstream)
            : subject_(std::move(subject)), downstream_(std::move(downstream)) {}

        void request(Subscribers::Demand demand) override {
            std::lock_guard<std::mutex> lock(mutex_);
            if (downstream_) demand_ += demand;
        }
        void cancel() override {
            std::shared_ptr<Subscriber<O>> down;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                down = std::move(downstream_);
            }
            if (auto s = subject_.lock()) s->remove(this);
        }
        void offer(const O& value) {
            std::shared_ptr<Subscriber<O>> down;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!downstream_ || !demand_) return;
                demand_ -= 1;
                down = downstream_;
            }
            Subscribers::Demand more = down->receive(value);
            if (more) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (downstream_) demand_ += more;
            }
        }
        void finish(Subscribers::Completion completion) {
            std::shared_ptr<Subscriber<O>> down;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                down = std::move(downstream_);
            }
            if (down) down->receive(completion);
        }

      private:
        std::mutex mutex_;
        std::weak_ptr<State> subject_;
        std::shared_ptr<Subscriber<O>> downstream_;
        Subscribers::Demand demand_ = Subscribers::Demand::none();
    };

    std::shared_ptr<State> state_;
};

// The will-change signal of an observable object. Copies share one signal.
class ObservableObjectPublisher final : public PublisherImpl<ObservableObjectPublisher, Void> {
  public:
    void send() const { subject_.send(); }
    void receive(std::shared_ptr<Subscriber<Void>> subscriber) override {
        subject_.receive(std::move(subscriber));
    }

  private:
    PassthroughSubject<Void> subject_;
};

// Base of objects that announce changes before they happen.
class ObservableObject {
  public:
    ObservableObject() : objectWillChange_(std::make_shared<ObservableObjectPublisher>()) {}
    // A copy is a new object with a signal of its own.
    ObservableObject(const ObservableObject&) : ObservableObject() {}
    ObservableObject& operator=(const ObservableObject&) { return *this; }
    virtual ~ObservableObject() = default;

    std::shared_ptr<ObservableObjectPublisher> objectWillChange() const {
        return objectWillChange_;
    }

  private:
    std::shared_ptr<ObservableObjectPublisher> objectWillChange_;
};
