// The thread's loop and the timers on it: due order, a manual clock, handlers that stop,
// restart or destroy their own timer, and each thread with a loop of its own.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <vector>

#include "engine/timer.h"
#include "platform/loop.h"

using vtl::platform::Loop;

namespace {

struct ManualClock {
  ManualClock() { Loop::Current().UseManualClock(true); }
  ~ManualClock() { Loop::Current().UseManualClock(false); }
};

TEST(Loop, TimersFireInDueOrderAndJumpOnAManualClock) {
  ManualClock clock;
  Loop& loop = Loop::Current();
  std::vector<std::pair<int, std::int64_t>> fired;
  const std::int64_t start = loop.Now();
  auto a = loop.SetTimer(30, [&] { fired.push_back({30, loop.Now() - start}); });
  auto b = loop.SetTimer(25'000, [&] { fired.push_back({25000, loop.Now() - start}); });
  EXPECT_TRUE(
      loop.RunUntil([&] { return fired.size() >= 2 && fired.back().first == 25000; }, 60'000));
  loop.KillTimer(a);
  loop.KillTimer(b);
  ASSERT_GE(fired.size(), 2u);
  EXPECT_EQ(fired[0], std::make_pair(30, std::int64_t{30}));
  EXPECT_EQ(fired[1], std::make_pair(30, std::int64_t{60}));
  EXPECT_EQ(fired.back().second, 25'000);
  // Ticks never catch up: 25 s of a 30 ms timer gave one tick per period, not more.
  EXPECT_EQ(static_cast<int>(fired.size()) - 1, 25'000 / 30);
}

TEST(Loop, AHandlerMayKillOrRestartItsOwnTimer) {
  ManualClock clock;
  Loop& loop = Loop::Current();
  int once = 0, restarted = 0;
  Loop::Id self = 0;
  self = loop.SetTimer(10, [&] {
    ++once;
    loop.KillTimer(self);
  });
  Loop::Id other = 0;
  other = loop.SetTimer(10, [&] {
    ++restarted;
    loop.KillTimer(other);
    if (restarted < 3)
      other = loop.SetTimer(100, [&] {
        ++restarted;
        loop.KillTimer(other);
      });
  });
  loop.RunUntil([] { return false; }, 1000);
  EXPECT_EQ(once, 1);
  EXPECT_EQ(restarted, 2);
}

TEST(Loop, PostedMessagesRunInOrderAndRepostsWaitForTheNextPass) {
  Loop& loop = Loop::Current();
  std::vector<int> order;
  loop.Post([&] {
    order.push_back(1);
    loop.Post([&] { order.push_back(3); });
  });
  loop.Post([&] { order.push_back(2); });
  loop.DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  loop.DoEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Loop, RunUntilGivesUpAtItsBoundOnARealClock) {
  Loop& loop = Loop::Current();
  const std::int64_t start = loop.Now();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 50));
  EXPECT_GE(loop.Now() - start, 50);
}

TEST(Loop, WatchesReportReadableDescriptors) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  Loop& loop = Loop::Current();
  std::string got;
  auto id = loop.Watch(fds[0], POLLIN, [&](short) {
    char buf[16];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  });
  std::thread writer([&] { ASSERT_EQ(write(fds[1], "ok", 2), 2); });
  EXPECT_TRUE(loop.RunUntil([&] { return got == "ok"; }, 10'000));
  writer.join();
  loop.Unwatch(id);
  close(fds[0]);
  close(fds[1]);
}

TEST(Loop, EachThreadHasItsOwnLoop) {
  Loop* mine = &Loop::Current();
  Loop* theirs = nullptr;
  std::thread t([&] { theirs = &Loop::Current(); });
  t.join();
  EXPECT_NE(mine, theirs);
}

TEST(Timer, TicksOncePerPeriodOnlyWhileItsIntervalIsPositive) {
  ManualClock clock;
  int ticks = 0;
  vtl::clsTimer t([&] { ++ticks; });
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
  std::unique_ptr<vtl::clsTimer> t;
  t = std::make_unique<vtl::clsTimer>([&] {
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
  auto t = std::make_unique<vtl::clsTimer>([&] { ++ticks; });
  t->Interval(10);
  Loop::Current().Advance(50);  // overdue when released
  t.reset();
  Loop::Current().RunUntil([] { return false; }, 100);
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, AHandlerMayDestroyItsOwnTimer) {
  ManualClock clock;
  int ticks = 0;
  std::unique_ptr<vtl::clsTimer> t;
  t = std::make_unique<vtl::clsTimer>([&] {
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
    vtl::clsTimer t([&] { tickThread = std::this_thread::get_id(); });
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
