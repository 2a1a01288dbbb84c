#pragma once
// A two-way binding to a value owned elsewhere: what a control reads and
// writes.

#include <functional>
#include <utility>

template <class T>
class Binding {
  public:
    Binding(std::function<T()> get, std::function<void(const T&)> set)
        : get_(std::move(get)), set_(std::move(set)) {}
    T get() const { return get_(); }
    void set(const T& value) const { set_(value); }

  private:
    std::function<T()> get_;
    std::function<void(const T&)> set_;
};
