#include "engine/timer.h"

#include <utility>

namespace vtl {

clsTimer::clsTimer(std::function<void()> thatTime)
    : loop_(platform::Loop::Current()), thatTime_(std::move(thatTime)) {}

clsTimer::~clsTimer() {
  if (id_) loop_.KillTimer(id_);
}

void clsTimer::Interval(std::int32_t milliseconds) {
  if (id_) loop_.KillTimer(id_);
  id_ = 0;
  interval_ = milliseconds > 0 ? milliseconds : 0;
  if (interval_ > 0) {
    // The loop copies the handler, so a handler that destroys its owner (and this timer) while
    // running does not pull the function out from under itself.
    id_ = loop_.SetTimer(interval_, [fn = thatTime_] { fn(); });
  }
}

}  // namespace vtl
