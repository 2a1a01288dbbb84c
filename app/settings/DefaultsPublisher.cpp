#include "app/settings/DefaultsPublisher.h"

#include "platform/foundation/Object.h"

namespace Defaults {

std::shared_ptr<DefaultsSubscription> DefaultsSubscription::make(
    std::shared_ptr<Subscriber<BaseChange>> subscriber,
    const std::shared_ptr<NSUserDefaults>& suite, const std::string& key,
    ObservationOptions options) {
    auto subscription = std::make_shared<DefaultsSubscription>();
    subscription->subscriber_ = std::move(subscriber);
    subscription->options_ = std::move(options);
    subscription->suite_ = suite;
    subscription->key_ = key;
    std::weak_ptr<DefaultsSubscription> weak = subscription;
    subscription->observation_ =
        std::make_shared<UserDefaultsKeyObservation>(suite, key, [weak](const BaseChange& change) {
            if (auto self = weak.lock()) self->deliver(change);
        });
    // The suite keeps the subscription until cancel(), so a subscriber that
    // drops it still receives; it goes with the suite, which can send no more.
    if (suite) objc_setAssociatedObject(*suite, subscription.get(), subscription);
    return subscription;
}

void DefaultsSubscription::start() {
    std::shared_ptr<UserDefaultsKeyObservation> observation;
    {
        std::lock_guard lock(mutex_);
        observation = observation_;
    }
    if (observation && !suite_.expired()) observation->start(options_);
}

void DefaultsSubscription::deliver(const BaseChange& change) {
    std::shared_ptr<Subscriber<BaseChange>> subscriber;
    {
        std::lock_guard lock(mutex_);
        subscriber = subscriber_;
    }
    if (subscriber) subscriber->receive(change);
}

void DefaultsSubscription::cancel() {
    std::shared_ptr<UserDefaultsKeyObservation> observation;
    std::shared_ptr<Subscriber<BaseChange>> subscriber;
    {
        std::lock_guard lock(mutex_);
        observation = std::move(observation_);
        subscriber = std::move(subscriber_);
    }
    // Dropping the suite's hold may release this subscription; `self` keeps
    // it alive until we return.
    auto self = shared_from_this();
    if (auto suite = suite_.lock()) objc_setAssociatedObject(*suite, this, nullptr);
    if (observation) observation->invalidate();
}

void DefaultsPublisher::receive(std::shared_ptr<Subscriber<BaseChange>> subscriber) {
    auto subscription = DefaultsSubscription::make(subscriber, suite_, key_, options_);
    subscriber->receive(std::static_pointer_cast<Subscription>(subscription));
    subscription->start();
}

AnyPublisher<Void> publisher(const std::vector<const Keys*>& keys, ObservationOptions options) {
    AnyPublisher<Void> result = Empty<Void>(false).eraseToAnyPublisher();
    for (const auto* key : keys) {
        auto one = DefaultsPublisher(key->suite(), key->name(), options)
                       .map([](BaseChange) { return Void{}; })
                       .eraseToAnyPublisher();
        result = result.merge(one).eraseToAnyPublisher();
    }
    return result;
}

}  // namespace Defaults
