// Network printers at their own pace: each chunk leaves when the printer has answered the request
// after the one before, no chunk passes 2 KB, a job's first bytes leave without waiting for a
// tick, and a printer shared by two hosts serves them in turn. The loop runs on its manual clock:
// where a test says no tick ran, the clock did not move.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net_lan_peer.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "printer_process.h"
#include "prnport_test_access.h"

namespace vtl::testing {
namespace {

using platform::Loop;

std::string Lines(const std::string& tag, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    std::string line = tag + " " + std::to_string(i) + " ";
    line.resize(42, '.');
    s += line + "\r\n";
  }
  return s;
}

// The chunks ordinary text is cut into: just before the first CR LF from character 500 on.
std::vector<std::string> PartChunks(std::string text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    std::size_t cut = text.find("\r\n", 499);
    if (cut == std::string::npos || cut == 0) cut = text.size();
    out.push_back(text.substr(0, cut));
    text.erase(0, cut);
  }
  return out;
}

// Pumps without moving the clock: whatever happens here happens before any tick.
bool WithoutTicks(const std::function<bool()>& cond, int realMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (!Loop::Current().DoEvents()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

class PaceBytes : public LoopbackPortTest {
 protected:
  // The printer answers only when the test says so.
  void AnswerByHand() {
    printer->model = [](const std::string&) { return std::string(); };
  }
  const std::string& Wire() const { return printer->connections.at(0); }
};

TEST_F(PaceBytes, AJobLeavesAndIsReportedBeforeAnyTickEvenOnAFreshPort) {
  const std::int64_t start = Loop::Current().Now();
  Open();
  const std::int32_t id = port->Imprimir("hola\r\n");
  ASSERT_TRUE(WithoutTicks([&] { return events.Count("DatosImpresos(1)") == 1; }));
  EXPECT_EQ(Loop::Current().Now(), start) << "connecting, sending and the report took no tick";
  EXPECT_EQ(Wire().substr(0, 9), "hola\r\n" + kDleEot2);

  // On the connected port, the next job's bytes leave in the loop's next pass.
  const std::size_t before = Wire().size();
  const std::int32_t second = port->Imprimir("adios\r\n");
  EXPECT_EQ(Wire().size(), before) << "Imprimir itself writes nothing";
  Loop::Current().DoEvents();
  ASSERT_TRUE(WithoutTicks([&] { return Wire().size() > before; }));
  EXPECT_EQ(Wire().substr(before, 10), "adios\r\n" + kDleEot2);
  ASSERT_TRUE(WithoutTicks([&] { return events.Count("DatosImpresos(2)") == 1; }));
  EXPECT_EQ(second, id + 1);
  EXPECT_EQ(Loop::Current().Now(), start);
}

TEST_F(PaceBytes, OneChunkAtATimeCutAsAlwaysEachLeavingOnTheAnswerToTheOneBefore) {
  AnswerByHand();
  Open();
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(0,0)") == 1; }));
  // Two jobs queued together are cut as one text.
  const std::string text = Lines("A", 30) + Lines("B", 30);
  port->Imprimir(Lines("A", 30));
  const std::int32_t id = port->Imprimir(Lines("B", 30));
  const std::vector<std::string> chunks = PartChunks(text);
  ASSERT_GE(chunks.size(), 5u);
  std::string expected;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    expected += chunks[i] + kDleEot2;
    ASSERT_TRUE(WithoutTicks([&] { return printer->Requests(0) == static_cast<int>(i) + 1; }));
    // Nothing more goes while the request is unanswered.
    WithoutTicks([] { return false; }, 30);
    ASSERT_EQ(Wire(), expected) << "chunk " << i;
    EXPECT_EQ(events.Count("DatosImpresos"), 0);
    printer->Send("\x12");
  }
  ASSERT_TRUE(WithoutTicks([&] { return events.Count("DatosImpresos") == 1; }));
  EXPECT_EQ(events.log.back(), "DatosImpresos(" + std::to_string(id) + ")");

  // A late answer is asked for again on the tick, by the request alone.
  port->Imprimir(Lines("C", 3));
  ASSERT_TRUE(
      WithoutTicks([&] { return printer->Requests(0) == static_cast<int>(chunks.size()) + 1; }));
  const std::size_t asked = Wire().size();
  ASSERT_TRUE(Pump([&] { return Wire().size() > asked; }, 1000));
  EXPECT_EQ(Wire().substr(asked), kDleEot2);
  printer->Send("\x12\x12");
  ASSERT_TRUE(Pump([&] { return events.Count("DatosImpresos") == 2; }, 1000));
  EXPECT_EQ(printer->Text(), text + Lines("C", 3));
}

TEST_F(PaceBytes, TextWithoutALineEndInReachIsCutAtTheBoundEachPieceWithItsRequest) {
  Open();
  // 5000 characters before the only line end, then a line with a lone CR inside.
  const std::string text = std::string(5000, 'x') + "\r\n" + std::string(3000, 'y') + "\ry\r\n";
  const std::int32_t id = port->Imprimir(text);
  ASSERT_TRUE(Printed(id));
  // Where no CR LF ends a chunk within 2048 characters it ends after the last LF in reach, else
  // at the bound.
  const std::string expected = std::string(2048, 'x') + kDleEot2 + std::string(2048, 'x') +
                               kDleEot2 + std::string(904, 'x') + kDleEot2 + "\r\n" + kDleEot2 +
                               std::string(2048, 'y') + kDleEot2 + std::string(952, 'y') + "\ry" +
                               kDleEot2 + "\r\n" + kDleEot2;
  EXPECT_EQ(Wire().substr(0, expected.size()), expected);
}

TEST_F(PaceBytes, ALongBinaryCommandGoesWholeWithOneRequestAfterItAndNoneInside) {
  Open();
  const std::string before = std::string(300, 't') + "\r\n";
  // 7000 bytes with CR LF pairs every 100: text would be cut there.
  std::string command("\x1d\x76\x30\x00", 4);
  for (int i = 0; command.size() < 7000; ++i) {
    command += command.size() % 100 == 98 ? std::string("\r\n")
                                          : std::string(1, static_cast<char>(i * 37 % 251 + 14));
  }
  command.resize(7000);
  port->Imprimir(before);
  port->Imprimir(command, true);
  const std::int32_t id = port->Imprimir("after\r\n");
  ASSERT_TRUE(Printed(id));
  const std::string expected = before + kDleEot2 + command + kDleEot2 + "after\r\n" + kDleEot2;
  EXPECT_EQ(Wire().substr(0, expected.size()), expected);
}

#ifdef PRINTER_SIM_EXE

// The virtual printer program on the other end; the clock moves on only when nothing is left to
// do now, and the printer had a moment to act.
class PacePrinter : public ::testing::Test {
 protected:
  void SetUp() override {
    Loop::Current().UseManualClock(true);
    printer = std::make_unique<PrinterProcess>();
    ASSERT_TRUE(printer->Ok());
  }
  void TearDown() override {
    ports.clear();
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
    printer.reset();
  }
  std::shared_ptr<clsPrnPort> NewPort(Recorder& events) {
    auto port = clsPrnPort::Create();
    port->Advise(&events);
    port->InicializarRed("127.0.0.1", printer->Port());
    ports.push_back(port);
    return port;
  }
  bool Until(const std::function<bool()>& cond, std::int64_t loopMs = 120'000) {
    Loop& loop = Loop::Current();
    const std::int64_t deadline = loop.Now() + loopMs;
    const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      while (loop.DoEvents()) {
        if (cond()) return true;
      }
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      if (loop.DoEvents()) continue;
      if (loop.Now() >= deadline || std::chrono::steady_clock::now() > realEnd) return cond();
      const std::int64_t next = loop.NextTimerIn();
      loop.Advance(std::clamp<std::int64_t>(next < 0 ? 10 : next, 1, deadline - loop.Now()));
    }
  }
  // Every line of `job` printed once (a line the printer took in two reads is two runs).
  static bool AllPrinted(const std::vector<std::string>& printed, const std::string& job) {
    std::string paper;
    for (const auto& run : printed) paper += run;
    for (std::size_t at = 0; at < job.size();) {
      const std::size_t end = job.find("\r\n", at);
      const std::string line = job.substr(at, end - at);
      const std::size_t first = paper.find(line);
      if (first == std::string::npos || paper.find(line, first + 1) != std::string::npos) {
        return false;
      }
      at = end + 2;
    }
    return true;
  }

  std::unique_ptr<PrinterProcess> printer;
  std::vector<std::shared_ptr<clsPrnPort>> ports;
};

TEST_F(PacePrinter, APrinterThatStopsReadingHoldsTheRestBackWithoutAVerdictOnItsSilence) {
  Recorder events;
  auto port = NewPort(events);
  ASSERT_TRUE(Until([&] { return events.Count("NuevoEstado(0,0)") == 1; }));
  ASSERT_EQ(printer->Control("busy"), "ok");
  const std::string job = Lines("B", 400);  // 17,600 bytes: four times the printer's buffer
  const std::size_t mark = events.log.size();
  const std::int32_t id = port->Imprimir(job);
  // The printer takes what fits its buffer and then reads no more.
  Until([] { return false; }, 1000);
  const std::int32_t held = port->OutBufferCount();
  EXPECT_GT(held, static_cast<std::int32_t>(job.size()) - 4096 - 2048);
  EXPECT_GT(PrnPortTestAccess::PeticionesRed(*port), PrnPortTestAccess::RespuestasRed(*port));
  Until([] { return false; }, 5000);
  EXPECT_EQ(port->OutBufferCount(), held) << "no text while the last chunk is unanswered";
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 2);
  EXPECT_EQ(events.log.size(), mark) << "neither an error nor a job printed";

  ASSERT_EQ(printer->Control("ready"), "ok");
  ASSERT_TRUE(Until([&] { return events.Count("DatosImpresos") > 0; }));
  EXPECT_EQ(std::vector<std::string>(events.log.begin() + static_cast<std::ptrdiff_t>(mark),
                                     events.log.end()),
            std::vector<std::string>{"DatosImpresos(" + std::to_string(id) + ")"});
  EXPECT_TRUE(AllPrinted(printer->Printed(), job));
}

TEST_F(PacePrinter, TwoHostsShareAPrinterThatServesOneConnectionAtATime) {
  Recorder events[2];
  std::shared_ptr<clsPrnPort> till[2] = {NewPort(events[0]), NewPort(events[1])};
  const std::string jobs[2] = {Lines("Till one", 40), Lines("Till two", 40)};
  // Whenever a till hears its job printed, the printer has printed all of it.
  bool early[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    events[i].onDatosImpresos = [&, i](std::int32_t&) {
      early[i] = !AllPrinted(printer->Printed(), jobs[i]);
    };
  }
  std::int32_t ids[2];
  for (int i = 0; i < 2; ++i) ids[i] = till[i]->Imprimir(jobs[i]);
  ASSERT_TRUE(Until([&] {
    return events[0].Count("DatosImpresos") == 1 && events[1].Count("DatosImpresos") == 1;
  }));
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(early[i]);
    EXPECT_EQ(events[i].Only("DatosImpresos"),
              std::vector<std::string>{"DatosImpresos(" + std::to_string(ids[i]) + ")"});
    EXPECT_EQ(events[i].Only("NuevoEstado"),
              (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)"}))
        << "not connected before the first connection, and taking turns is no error";
    EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*till[i]), 2);
  }
  // Idle, both let the printer go; a second round takes turns again.
  ASSERT_TRUE(Until([&] {
    return !PrnPortTestAccess::ConectadaRed(*till[0]) && !PrnPortTestAccess::ConectadaRed(*till[1]);
  }));
  const std::string again = Lines("Again", 5);
  for (int i = 0; i < 2; ++i) till[i]->Imprimir(again);
  ASSERT_TRUE(Until([&] {
    return events[0].Count("DatosImpresos") == 2 && events[1].Count("DatosImpresos") == 2;
  }));
  const auto printed = printer->Printed();
  EXPECT_TRUE(AllPrinted(printed, jobs[0]));
  EXPECT_TRUE(AllPrinted(printed, jobs[1]));
  std::string paper;
  for (const auto& run : printed) paper += run;
  const std::string first = again.substr(0, again.find('\r'));
  EXPECT_NE(paper.find(first, paper.find(first) + 1), std::string::npos) << "printed twice";
  EXPECT_GE(printer->Received().size(), 4u) << "each till connected again for its second job";
}

#endif  // PRINTER_SIM_EXE

}  // namespace
}  // namespace vtl::testing
