#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <thread>
#include <vector>

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

}  // namespace
