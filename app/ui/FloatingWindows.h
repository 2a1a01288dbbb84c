#pragma once
// Keeps the application's plain windows (those of class NSWindow exactly,
// such as the update framework's) in front on every Space, now and every two
// seconds from then on. One repeating timer at most: asking again restarts it.

#include <memory>

class Timer;

class FloatingWindows {
  public:
    FloatingWindows() = default;
    ~FloatingWindows();
    FloatingWindows(const FloatingWindows&) = delete;
    FloatingWindows& operator=(const FloatingWindows&) = delete;

    void keepFloating();
    const std::shared_ptr<Timer>& timer() const { return timer_; }

    // Puts every plain window on all Spaces at the floating level.
    static void floatPlainWindows();

  private:
    std::shared_ptr<Timer> timer_;
};
