// Four host threads, each with its own network, serial and spooler port, printing and closing
// over and over at the same time. Each thread's ports see only their own loop; the library's
// services (socket windows and registries, settings forms, workers) must keep them apart. Built
// also under ThreadSanitizer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cups_fixture.h"
#include "net_lan_peer.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "serial_pty.h"

#if VTL_HAVE_PRINTERSIM_CORE

namespace vtl::testing {
namespace {

using platform::Loop;

constexpr int kThreads = 4;
constexpr int kRounds = 3;

struct Outcome {
  std::string failure;
  int printed = 0;
};

std::string Texto(int n, int round, int kind) {
  return "T" + std::to_string(n) + " R" + std::to_string(round) + " K" + std::to_string(kind);
}

// One host thread's life: open each port in turn, print a numbered receipt on it, wait until it
// is reported printed, close it; and again.
void Host(int n, std::unique_ptr<Pty> line, Outcome& out) {
  Loop& loop = Loop::Current();
  const auto fail = [&](const std::string& what) {
    if (out.failure.empty()) out.failure = "thread " + std::to_string(n) + ": " + what;
  };
  LoopbackPrinter lan;
  PtyPrinter serial(std::move(line));
  for (int round = 0; round < kRounds && out.failure.empty(); ++round) {
    for (int kind = 0; kind < 3 && out.failure.empty(); ++kind) {
      auto port = clsPrnPort::Create();
      Recorder events;
      port->Advise(&events);
      if (kind == 0) {
        port->InicializarRed("127.0.0.1", lan.Port());
      } else if (kind == 1) {
        port->InicializarSerie(20 + n, 9600);
      } else {
        port->InicializarWindows("vtl_queue");
      }
      const std::int32_t id = port->Imprimir(Texto(n, round, kind) + "\n");
      const std::string want = "DatosImpresos(" + std::to_string(id) + ")";
      if (loop.RunUntil([&] { return events.Count(want) > 0; }, 60'000)) {
        ++out.printed;
      } else {
        fail("no " + want + " for " + Texto(n, round, kind));
      }
      port->CloseAll();
      port.reset();
    }
  }
  const std::string got = lan.Text() + serial.Received();
  for (int round = 0; round < kRounds; ++round) {
    for (int kind = 0; kind < 2; ++kind) {
      const std::string text = Texto(n, round, kind);
      if (got.find(text + "\r\n") == std::string::npos) fail(text + " never reached its printer");
    }
  }
  loop.RunUntil([] { return false; }, 200);
}

TEST(ManyHostThreads, EachPrintsOnItsOwnPortsOfEveryType) {
  Collector spooled;
  PrivateCups cups("vtl_queue", spooled.Port());
  ASSERT_TRUE(cups.Ready());
  // The environment must not change while other threads run: every thread's COM port is mapped
  // first, to a pseudo-terminal of its own.
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::unique_ptr<ComMapping>> maps;
  std::vector<std::unique_ptr<Pty>> lines;
  for (int i = 0; i < kThreads; ++i) {
    lines.push_back(std::make_unique<Pty>());
    ASSERT_TRUE(lines.back()->Ok());
    maps.push_back(std::make_unique<ComMapping>(20 + i, lines.back()->Slave()));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back(
        [&outcomes, i, line = std::move(lines[static_cast<std::size_t>(i)])]() mutable {
          Host(i, std::move(line), outcomes[static_cast<std::size_t>(i)]);
        });
  }
  for (auto& t : threads) t.join();
  int printed = 0;
  for (const auto& o : outcomes) {
    EXPECT_EQ(o.failure, "");
    printed += o.printed;
  }
  EXPECT_EQ(printed, kThreads * kRounds * 3);
  EXPECT_TRUE(spooled.WaitFor(static_cast<std::size_t>(kThreads * kRounds)));
}

}  // namespace
}  // namespace vtl::testing

#endif
