#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "engine/timer.h"
#include "objects/prnport.h"

namespace vtl {
namespace {

TEST(ShellAndWait, RunsAProgramToItsEnd) {
  auto port = clsPrnPort::Create();
  const std::string out = "/tmp/vtl-shell-" + std::to_string(getpid());
  EXPECT_TRUE(port->gfSys_ShellAndWaitFor("/bin/sh", "sh -c \"echo done > " + out + "\""));
  std::ifstream f(out);
  std::string line;
  std::getline(f, line);
  EXPECT_EQ(line, "done") << "the program had finished when the call returned";
  std::remove(out.c_str());
  // Without a program name the first token of the command line is the program.
  EXPECT_TRUE(port->gfSys_ShellAndWaitFor("", "true"));
}

TEST(ShellAndWait, AProgramThatCannotStartFailsAtOnce) {
  auto port = clsPrnPort::Create();
  EXPECT_FALSE(port->gfSys_ShellAndWaitFor("/nonexistent/program"));
  EXPECT_FALSE(port->gfSys_ShellAndWaitFor("/tmp"));
  EXPECT_FALSE(port->gfSys_ShellAndWaitFor("", ""));
}

TEST(ShellAndWait, TimerTicksGoOnWhileItWaits) {
  auto port = clsPrnPort::Create();
  int ticks = 0;
  clsTimer timer([&] { ++ticks; });
  timer.Interval(5);
  // The program waits until the loop has run some ticks, so the test does not rely on timing.
  const std::string flag = "/tmp/vtl-shell-flag-" + std::to_string(getpid());
  std::remove(flag.c_str());
  clsTimer writer([&] {
    if (ticks >= 3) std::ofstream(flag) << "go";
  });
  writer.Interval(5);
  EXPECT_TRUE(port->gfSys_ShellAndWaitFor(
      "/bin/sh", "sh -c \"i=0; while [ ! -e " + flag +
                     " ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done\""));
  EXPECT_GE(ticks, 3);
  std::remove(flag.c_str());
}

}  // namespace
}  // namespace vtl
