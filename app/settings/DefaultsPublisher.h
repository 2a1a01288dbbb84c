#pragma once
// Settings changes as publishers. Each subscriber gets its own key-value
// observation, started once the subscriber holds its subscription and ended
// by cancel(). Records arrive synchronously on the writing thread; demand is
// accepted and ignored: every change is delivered.

#include <memory>
#include <mutex>

#include "app/settings/DefaultsObservation.h"
#include "platform/combine/Combine.h"

namespace Defaults {

class DefaultsSubscription : public Subscription,
                             public std::enable_shared_from_this<DefaultsSubscription> {
  public:
    static std::shared_ptr<DefaultsSubscription> make(
        std::shared_ptr<Subscriber<BaseChange>> subscriber,
        const std::shared_ptr<NSUserDefaults>& suite, const std::string& key,
        ObservationOptions options);

    void start();
    void request(Subscribers::Demand) override {}
    void cancel() override;

  private:
    void deliver(const BaseChange& change);

    std::mutex mutex_;
    std::shared_ptr<Subscriber<BaseChange>> subscriber_;
    std::shared_ptr<UserDefaultsKeyObservation> observation_;
    ObservationOptions options_;
    std::weak_ptr<NSUserDefaults> suite_;
    std::string key_;
};

class DefaultsPublisher : public PublisherImpl<DefaultsPublisher, BaseChange> {
  public:
    DefaultsPublisher(std::shared_ptr<NSUserDefaults> suite, std::string key,
                      ObservationOptions options)
        : suite_(std::move(suite)), key_(std::move(key)), options_(std::move(options)) {}

    void receive(std::shared_ptr<Subscriber<BaseChange>> subscriber) override;

  private:
    std::shared_ptr<NSUserDefaults> suite_;
    std::string key_;
    ObservationOptions options_;
};

template <class T>
AnyPublisher<KeyChange<T>> publisher(const Key<T>& key,
                                     ObservationOptions options = {ObservationOption::initial}) {
    T fallback = key.defaultValue();
    return DefaultsPublisher(key.suite(), key.name(), std::move(options))
        .map([fallback](BaseChange change) {
            return KeyChange<T>{change.kind, change.indexes, change.isPrior,
                                convertStored<T>(change.newValue).value_or(fallback),
                                convertStored<T>(change.oldValue).value_or(fallback)};
        })
        .eraseToAnyPublisher();
}

template <class T>
AnyPublisher<NSSecureCodingKeyChange<T>> publisher(const NSSecureCodingKey<T>& key,
                                                   ObservationOptions options = {
                                                       ObservationOption::initial}) {
    T fallback = key.defaultValue();
    return DefaultsPublisher(key.suite(), key.name(), std::move(options))
        .map([fallback](BaseChange change) {
            return NSSecureCodingKeyChange<T>{
                change.kind, change.indexes, change.isPrior,
                convertStoredObject<T>(change.newValue).value_or(fallback),
                convertStoredObject<T>(change.oldValue).value_or(fallback)};
        })
        .eraseToAnyPublisher();
}

template <class T>
AnyPublisher<NSSecureCodingOptionalKeyChange<T>> publisher(const NSSecureCodingOptionalKey<T>& key,
                                                           ObservationOptions options = {
                                                               ObservationOption::initial}) {
    return DefaultsPublisher(key.suite(), key.name(), std::move(options))
        .map([](BaseChange change) {
            return NSSecureCodingOptionalKeyChange<T>{change.kind, change.indexes, change.isPrior,
                                                      convertStoredObject<T>(change.newValue),
                                                      convertStoredObject<T>(change.oldValue)};
        })
        .eraseToAnyPublisher();
}

// One empty value per change of any of the keys; never completes, also
// without keys.
AnyPublisher<Void> publisher(const std::vector<const Keys*>& keys,
                             ObservationOptions options = {ObservationOption::initial});

}  // namespace Defaults
