// Scope guards for the send loop's re-entrancy flags and for work that must happen however a
// procedure ends: a host's event handler may throw, and a flag left set would stop the loop for
// good.
#pragma once

#include <utility>

namespace vtl {

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

// Sets a flag for the life of the guard and puts back the value it had.
class FlagGuard {
 public:
  explicit FlagGuard(bool& flag) : flag_(flag), previous_(flag) { flag_ = true; }
  ~FlagGuard() { flag_ = previous_; }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  bool& flag_;
  bool previous_;
};

}  // namespace vtl
