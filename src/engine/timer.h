// The timer component that drives every periodic job of the library.
//
// A timer belongs to the thread that created it and raises ThatTime on that thread's loop, once
// per period, while its interval is above 0. A handler may stop or restart the timer that called
// it. Destroying the timer guarantees that no further tick is delivered.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/loop.h"

namespace vtl {

class clsTimer {
 public:
  explicit clsTimer(std::function<void()> thatTime);
  ~clsTimer();
  clsTimer(const clsTimer&) = delete;
  clsTimer& operator=(const clsTimer&) = delete;

  std::int32_t Interval() const { return interval_; }
  // Milliseconds; writing any positive value (re)starts the period from now, 0 or below stops.
  void Interval(std::int32_t milliseconds);

 private:
  platform::Loop& loop_;
  platform::Loop::Id id_ = 0;
  std::int32_t interval_ = 0;
  std::function<void()> thatTime_;
};

}  // namespace vtl
