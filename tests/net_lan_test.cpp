// The LAN channel against a printer on loopback TCP, with the loop on a manual clock so that the
// 3-, 10- and 25-second rules take no real time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "net/socket.h"
#include "net_lan_peer.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/winsock.h"
#include "port_fixture.h"
#include "prnport_test_access.h"

#ifdef VTL_HAVE_PRINTERSIM_CORE
#include "printer.h"
#endif

namespace vtl::testing {
namespace {

using platform::Loop;

class LanTest : public LoopbackPortTest {
 protected:
  std::int64_t Now() const { return Loop::Current().Now(); }
  // Pumps without moving the manual clock, for work done outside the loop (a look-up thread).
  static bool WaitReal(const std::function<bool()>& cond) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!cond()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!Loop::Current().DoEvents()) std::this_thread::yield();
    }
    return true;
  }
};

std::string Job1200() {
  std::string s(1200, 'a');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>('a' + i % 26);
  s[299] = '\r';
  s[300] = '\n';
  s[699] = '\r';
  s[700] = '\n';
  return s;
}

std::string Lines(int count, int width = 42) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    std::string line = std::to_string(i) + " ";
    line.resize(static_cast<std::size_t>(width), '.');
    s += line + "\r\n";
  }
  return s;
}

TEST_F(LanTest, ChunksAtTheFirstLineEndFromCharacter500) {
  Open();
  const std::string job = Job1200();
  EXPECT_EQ(port->Imprimir(job), 1);
  ASSERT_TRUE(Printed(1));
  ASSERT_EQ(printer->connections.size(), 1u);
  const std::string& wire = printer->connections[0];
  const std::string expected = job.substr(0, 699) + kDleEot2 + job.substr(699) + kDleEot2;
  ASSERT_GE(wire.size(), expected.size());
  EXPECT_EQ(wire.substr(0, expected.size()), expected);
  // Anything after the two chunks can only be further status requests.
  EXPECT_EQ(LoopbackPrinter::Count(wire.substr(expected.size()), kDleEot2) * 3,
            static_cast<int>(wire.size() - expected.size()));
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)", "DatosImpresos(1)"}));
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 2);
}

TEST_F(LanTest, JobWithoutLateLineEndGoesInOneChunk) {
  Open();
  std::string job(900, 'x');
  job[100] = '\r';
  job[101] = '\n';
  port->Imprimir(job);
  ASSERT_TRUE(Printed(1));
  EXPECT_EQ(printer->connections[0].substr(0, 903), job + kDleEot2);
}

TEST_F(LanTest, SilentPrinterGetsRepeatedRequestsThenModeOne) {
  printer->status.clear();  // never answers
  Open();
  port->Imprimir("hola\r\n");
  ASSERT_TRUE(Pump([&] { return printer->connections.size() == 1 && printer->Requests(0) >= 1; }));
  const std::int64_t firstSend = Now();
  // While no reply comes, the request alone goes out on every tick.
  ASSERT_TRUE(Pump([&] { return printer->Requests(0) >= 6; }));
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 0);
  EXPECT_LT(Now() - firstSend, 3000);
  ASSERT_TRUE(Printed(1));
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 1);
  EXPECT_GT(Now() - firstSend, 3000);
  const std::string before = printer->connections[0];
  EXPECT_EQ(before.substr(0, 9), "hola\r\n" + kDleEot2);

  // Mode 1: the whole buffer in one piece and no status request.
  const std::string job = Job1200();
  port->Imprimir(job);
  ASSERT_TRUE(Printed(2));
  Pump([&] { return printer->connections[0].size() >= before.size() + job.size(); }, 2000);
  EXPECT_EQ(printer->connections[0].substr(before.size()), job);
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
}

TEST_F(LanTest, AnErrorReplyHoldsTheTextWhileTheRequestAloneGoesOnUntilAGoodReply) {
  printer->status = std::string(1, '\x1c');  // 28: the printer is in error
  Open();
  const std::string job = Job1200();
  port->Imprimir(job);
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 2; }));
  port->Imprimir("more\r\n");
  const int asked = printer->Requests(0);
  Pump([] { return false; }, 10'000);
  EXPECT_EQ(printer->Text(), job.substr(0, 699)) << "no text while the printer is in error";
  EXPECT_GE(printer->Requests(0), asked + 30) << "the request alone, on every tick";
  EXPECT_EQ(events.Count("NuevoEstado(1,0)"), 2) << "the error is reported once";
  EXPECT_EQ(events.Count("DatosImpresos"), 0);

  printer->status = std::string(1, '\x12');  // the printer recovers; the host does nothing
  ASSERT_TRUE(Printed(2));
  EXPECT_EQ(events.log.back(), "DatosImpresos(2)");
  EXPECT_EQ(events.Count("NuevoEstado(0,0)"), 2);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);
  EXPECT_EQ(printer->Text(), job + "more\r\n");
}

TEST_F(LanTest, ReconnectsAfterPrinterClosesWithoutLosingOrRepeatingText) {
  const std::string job = Lines(60);  // 2640 bytes: several chunks
  printer->afterRead = [&](LoopbackPrinter& p, const std::string& all) {
    if (p.connections.size() == 1 && LoopbackPrinter::Count(all, kDleEot2) == 1) {
      p.CloseConnection();  // the printer hangs up after the first chunk
    }
  };
  Open();
  port->Imprimir(job);
  ASSERT_TRUE(Pump([&] { return printer->closes == 1; }));
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 2; }));
  EXPECT_EQ(events.Count("DatosImpresos"), 0) << "text is still waiting: not printed yet";
  ASSERT_TRUE(Printed(1));
  ASSERT_EQ(printer->connections.size(), 2u);
  EXPECT_EQ(printer->Text(), job);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);
  Pump([] { return false; }, 5000);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);
}

TEST_F(LanTest, CloseWithNothingLeftStillReportsTheJob) {
  Open();
  port->Imprimir("short\r\n");
  ASSERT_TRUE(Printed(1));
  printer->CloseConnection();
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 2; }));
  EXPECT_EQ(events.Count("DatosImpresos"), 1) << "never twice for one job";
}

TEST_F(LanTest, GarbageAndFloodRepliesDoNotHurt) {
  printer->model = [](const std::string&) {
    std::string junk(64 * 1024, '\x12');
    for (std::size_t i = 1; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 7);
    return junk;
  };
  Open();
  port->Imprimir(Lines(40));
  ASSERT_TRUE(Printed(1));
  EXPECT_EQ(printer->Text().substr(0, Lines(40).size()), Lines(40));
}

TEST_F(LanTest, RefusedConnectionIsRetriedEvery25Seconds) {
  const std::int32_t deadPort = printer->Port();
  printer.reset();  // nobody listens there any more
  port->InicializarRed("127.0.0.1", deadPort);
  port->Imprimir("waiting\r\n");
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 1; }));
  // Each attempt ends in a refusal and a new socket state 0; count attempts by the socket's
  // handle changing.
  std::vector<std::int64_t> attempts;
  std::int32_t lastHandle = -1;
  const std::int64_t start = Now();
  Pump(
      [&] {
        auto s = PrnPortTestAccess::SocketRed(*port);
        if (s && s->State() == 6 && s->SocketHandle() != lastHandle) {
          lastHandle = s->SocketHandle();
          attempts.push_back(Now());
        }
        return Now() - start > 80'000;
      },
      90'000);
  ASSERT_GE(attempts.size(), 2u);
  for (std::size_t i = 1; i < attempts.size(); ++i)
    EXPECT_GT(attempts[i] - attempts[i - 1], 25'000);
  EXPECT_EQ(events.Count("NuevoEstado"), 1) << "one error report, no flapping";
  EXPECT_EQ(PrnPortTestAccess::Cola(*port), "") << "queued text moved to the buffer, kept";
  EXPECT_EQ(port->OutBufferCount(), 9);
}

TEST_F(LanTest, FailedLookUpIsRetriedUnderTheSameSpacing) {
  std::atomic<int> lookups{0};
  std::atomic<bool> resolvable{false};
  platform::SetHostResolver([&](const std::string&) {
    ++lookups;
    platform::HostLookup r;
    if (resolvable) {
      r.officialName = "printer.test";
      r.addresses = {platform::inet_addr("127.0.0.1")};
    } else {
      r.error = platform::WSAHOST_NOT_FOUND;
    }
    return r;
  });
  Open("printer.test");
  port->Imprimir("by name\r\n");
  auto state = [&] {
    auto s = PrnPortTestAccess::SocketRed(*port);
    return s ? s->State() : -1;
  };
  // The look-up runs on its own thread, in real time: wait for it without moving the clock.
  ASSERT_TRUE(Pump([&] { return state() == 4; }));
  ASSERT_TRUE(WaitReal([&] { return state() == 9; }));
  EXPECT_EQ(lookups, 1);
  const std::int64_t failed = Now();
  Pump([&] { return state() != 9; }, 20'000);
  EXPECT_EQ(state(), 9) << "no new attempt within 25 seconds";
  resolvable = true;
  ASSERT_TRUE(Pump([&] { return state() == 4; }, 15'000));
  EXPECT_GT(Now() - failed, 20'000);
  ASSERT_TRUE(WaitReal([&] { return state() == 7; }));
  EXPECT_EQ(lookups, 2);
  ASSERT_TRUE(Printed(1));
  EXPECT_EQ(printer->Text(), "by name\r\n");
}

TEST_F(LanTest, AStalledConnectIsAbandonedAfter10SecondsAndRetriedAfter25) {
  // A listener whose accept queue is full drops further connection requests, so a connect to it
  // stays in progress.
  using namespace platform;
  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
  const SOCKET listener = socket(AF_INET_WS, SOCK_STREAM_WS, IPPROTO_TCP_WS);
  SOCKADDR_IN in;
  in.sin_family = AF_INET_WS;
  in.sin_addr.S_addr = inet_addr("127.0.0.1");
  ASSERT_EQ(bind(listener, reinterpret_cast<SOCKADDR*>(&in), sizeof(in)), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  int length = sizeof(in);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<SOCKADDR*>(&in), &length), 0);
  const HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
  std::vector<SOCKET> fillers;
  for (int i = 0; i < 3; ++i) {
    const SOCKET f = socket(AF_INET_WS, SOCK_STREAM_WS, IPPROTO_TCP_WS);
    WSAAsyncSelect(f, window, 0xC999, FD_CONNECT);
    connect(f, reinterpret_cast<SOCKADDR*>(&in), sizeof(in));
    fillers.push_back(f);
  }
  Pump([] { return false; }, 100);
  port->InicializarRed("127.0.0.1", ntohs(in.sin_port));
  std::vector<std::pair<std::int64_t, clsSocket*>> seen;  // when each object first connected
  std::int64_t replaced = -1;                             // when the first one was let go
  const std::int64_t start = Now();
  Pump(
      [&] {
        auto s = PrnPortTestAccess::SocketRed(*port);
        if (s && s->State() == 6 && (seen.empty() || seen.back().second != s.get()))
          seen.emplace_back(Now(), s.get());
        if (!seen.empty() && replaced < 0 && s.get() != seen.front().second) replaced = Now();
        return Now() - start > 60'000;
      },
      70'000);
  for (SOCKET f : fillers) closesocket(f);
  closesocket(listener);
  DestroyWindow(window);
  WSACleanup();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_GE(replaced - seen[0].first, 10'000);
  EXPECT_LE(replaced - seen[0].first, 12'500);
  EXPECT_GT(seen[1].first - seen[0].first, 25'000);
  EXPECT_LT(seen[1].first - seen[0].first, 27'000);
  EXPECT_EQ(events.Count("NuevoEstado(1,0)"), 1);
}

#ifdef VTL_HAVE_PRINTERSIM_CORE
TEST_F(LanTest, PrintsToTheVirtualPrinterModel) {
  auto model = std::make_shared<printersim::Printer>();
  std::string fed;
  printer->model = [&](const std::string& bytes) {
    fed += bytes;
    return model->Feed(bytes);
  };
  Open();
  const std::string receipt = Lines(40) + std::string{'\x1b', 'i'};
  port->Imprimir(receipt);
  ASSERT_TRUE(Printed(1));
  EXPECT_EQ(printer->Text().substr(0, receipt.size()), receipt);
  EXPECT_EQ(events.log.front(), "NuevoEstado(1,0)");
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 2) << "the model answers DLE EOT 2";
}
#endif

}  // namespace
}  // namespace vtl::testing
