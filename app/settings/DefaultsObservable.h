#pragma once
// What the preference views bind to: an observable object that announces an
// imminent change of one key on the main thread, and the `Default` view
// property with its two-way binding.

#include <memory>

#include "app/settings/DefaultsPublisher.h"
#include "platform/combine/Binding.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"

namespace Defaults {

template <class T>
class Observable : public ObservableObject, public std::enable_shared_from_this<Observable<T>> {
  public:
    static std::shared_ptr<Observable> make(const Key<T>& key) {
        auto object = std::shared_ptr<Observable>(new Observable(key));
        std::weak_ptr<Observable> weak = object;
        object->observation_ = observe<T>(key,
                                          [weak](const KeyChange<T>& change) {
                                              if (!change.isPrior) return;
                                              auto announce = [weak] {
                                                  if (auto self = weak.lock())
                                                      self->objectWillChange()->send();
                                              };
                                              if (NSThread::isMainThread())
                                                  announce();
                                              else
                                                  DispatchQueue::main()->async(announce);
                                          },
                                          {ObservationOption::prior});
        return object;
    }

    T value() const { return get(key_); }
    void setValue(const T& value) {
        objectWillChange()->send();
        set(key_, value);
    }
    const Key<T>& key() const { return key_; }

  private:
    explicit Observable(const Key<T>& key) : key_(key) {}

    std::shared_ptr<DefaultsObservation> observation_;
    const Key<T>& key_;
};

// A view property bound to a setting: reads and writes go to the key; the
// view refreshes whenever the key changes, whoever writes it.
template <class T>
class Default {
  public:
    explicit Default(const Key<T>& key) : key_(key), observable_(Observable<T>::make(key)) {}

    T wrappedValue() const { return observable_->value(); }
    void setWrappedValue(const T& value) const { observable_->setValue(value); }
    Binding<T> projectedValue() const {
        auto observable = observable_;
        return Binding<T>([observable] { return observable->value(); },
                          [observable](const T& v) { observable->setValue(v); });
    }
    AnyPublisher<KeyChange<T>> publisher() const {
        return Defaults::publisher(key_, {ObservationOption::initial});
    }
    // The framework's update pass: nothing to refresh here.
    void update() {}
    void reset() const { key_.reset(); }
    const std::shared_ptr<Observable<T>>& observable() const { return observable_; }

  private:
    const Key<T>& key_;
    std::shared_ptr<Observable<T>> observable_;
};

}  // namespace Defaults
