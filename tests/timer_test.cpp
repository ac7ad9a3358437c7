#include "engine/timer.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/loop.h"

using vtl::clsTimer;
using vtl::platform::Loop;

namespace {

struct ManualClock {
  ManualClock() { Loop::Current().UseManualClock(true); }
  ~ManualClock() { Loop::Current().UseManualClock(false); }
};

TEST(Timer, TicksOncePerPeriodOnlyWhileItsIntervalIsPositive) {
  ManualClock clock;
  int ticks = 0;
  clsTimer t([&] { ++ticks; });
  EXPECT_EQ(t.Interval(), 0);
  Loop::Current().RunUntil([] { return false; }, 1000);
  EXPECT_EQ(ticks, 0) << "a new timer must stay silent";
  t.Interval(100);
  EXPECT_EQ(t.Interval(), 100);
  Loop::Current().RunUntil([] { return false; }, 1000);
  EXPECT_EQ(ticks, 10);
  t.Interval(0);
  Loop::Current().RunUntil([] { return false; }, 1000);
  EXPECT_EQ(ticks, 10);
  t.Interval(-5);
  EXPECT_EQ(t.Interval(), 0);
}

TEST(Timer, AHandlerMayStopOrRestartItsOwnTimer) {
  ManualClock clock;
  Loop& loop = Loop::Current();
  std::vector<std::int64_t> at;
  const std::int64_t start = loop.Now();
  std::unique_ptr<clsTimer> t;
  t = std::make_unique<clsTimer>([&] {
    at.push_back(loop.Now() - start);
    if (at.size() == 1) t->Interval(250);  // restart with a longer period
    if (at.size() == 3) t->Interval(0);    // and stop
  });
  t->Interval(10);
  loop.RunUntil([] { return false; }, 5000);
  EXPECT_EQ(at, (std::vector<std::int64_t>{10, 260, 510}));
}

TEST(Timer, NothingArrivesAfterRelease) {
  ManualClock clock;
  int ticks = 0;
  auto t = std::make_unique<clsTimer>([&] { ++ticks; });
  t->Interval(10);
  Loop::Current().Advance(50);  // overdue when released
  t.reset();
  Loop::Current().RunUntil([] { return false; }, 100);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, AHandlerMayDestroyItsOwnTimer) {
  ManualClock clock;
  int ticks = 0;
  std::unique_ptr<clsTimer> t;
  t = std::make_unique<clsTimer>([&] {
    ++ticks;
    t.reset();
  });
  t->Interval(10);
  Loop::Current().RunUntil([] { return false; }, 100);
  EXPECT_EQ(ticks, 1);
}

TEST(Timer, TicksArriveOnTheOwnersThread) {
  std::thread::id tickThread;
  std::thread owner([&] {
    clsTimer t([&] { tickThread = std::this_thread::get_id(); });
    t.Interval(5);
    Loop::Current().RunUntil([&] { return tickThread != std::thread::id(); }, 10'000);
    EXPECT_EQ(tickThread, std::this_thread::get_id());
  });
  const auto ownerId = owner.get_id();
  owner.join();
  EXPECT_EQ(tickThread, ownerId);
  // This thread's loop never saw that timer.
  EXPECT_EQ(Loop::Current().NextTimerIn(), -1);
}

}  // namespace
