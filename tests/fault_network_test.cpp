// Faults of network printers. Against the virtual printer program on loopback TCP: paper and cover
// trouble mid-job, a connection hung up or reset mid-job, a printer that falls silent after it has
// answered, one that never answers, a logo whose dots hold line ends. Against the in-process
// loopback printer, where single bytes matter: binary commands never split, unconfirmed text sent
// again after a lost connection.
//
// For every fault: the error is reported within a bounded number of ticks, everything queued
// reaches the printer at least once, nothing is reported printed that did not reach it, no job is
// reported twice, and printing resumes by itself once the fault clears.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "logo_fixture.h"
#include "net/socket.h"
#include "net_lan_peer.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "printer_process.h"
#include "prnport_test_access.h"

#ifdef VTL_HAVE_PRINTERSIM_CORE
#include "printer.h"
#endif

namespace vtl::testing {
namespace {

using platform::Loop;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    out.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return out;
}

// Lines of `job` missing from `received` (the bytes a printer received, status requests and all).
std::vector<std::string> MissingFrom(const std::string& received, const std::string& job) {
  std::string text;
  for (std::size_t i = 0; i < received.size();) {
    if (received.compare(i, kDleEot2.size(), kDleEot2) == 0) {
      i += kDleEot2.size();
    } else {
      text += received[i++];
    }
  }
  std::vector<std::string> missing;
  for (const auto& line : SplitLines(job)) {
    if (text.find(line + "\r\n") == std::string::npos) missing.push_back(line);
  }
  return missing;
}

// Lines of `job` the printer never printed.
std::vector<std::string> NotPrinted(const std::vector<std::string>& printed,
                                    const std::string& job) {
  std::vector<std::string> missing;
  for (const auto& line : SplitLines(job)) {
    if (std::find(printed.begin(), printed.end(), line) == printed.end()) missing.push_back(line);
  }
  return missing;
}

// The events after the first `from`, in order.
std::vector<std::string> After(const std::vector<std::string>& log, std::size_t from) {
  return std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(from), log.end());
}

#ifdef PRINTER_SIM_EXE

// A port object against the printer program, pumped on the loop's manual clock.
class NetworkFault : public ::testing::Test {
 protected:
  void SetUp() override {
    Loop::Current().UseManualClock(true);
    printer = std::make_unique<PrinterProcess>(PrinterArgs());
    ASSERT_TRUE(printer->Ok());
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
    printer.reset();
  }
  virtual std::vector<std::string> PrinterArgs() { return {}; }

  void Open() {
    port->InicializarRed("127.0.0.1", printer->Port());
    ASSERT_TRUE(Until([&] { return events.Count("NuevoEstado(0,0)") > 0; }));
  }
  // Pumps until cond() holds, within loopMs on the loop's clock. The printer runs in real time:
  // the clock moves on only while no reply it owes can be on its way (or it has been told to
  // answer nothing), so its own pace never looks like silence to rules counted in seconds.
  bool Until(const std::function<bool()>& cond, std::int64_t loopMs = 120'000) {
    Loop& loop = Loop::Current();
    const std::int64_t deadline = loop.Now() + loopMs;
    const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      while (loop.DoEvents()) {
        if (cond()) return true;
      }
      if (cond()) return true;
      if (loop.Now() >= deadline || std::chrono::steady_clock::now() > realEnd) return false;
      const bool replyDue = InFlight();
      if (!replyDue) {
        const std::int64_t next = loop.NextTimerIn();
        loop.Advance(std::clamp<std::int64_t>(next < 0 ? 10 : next, 1, deadline - loop.Now()));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(replyDue ? 500 : 100));
    }
  }
  // Something the printer owes is on its way: a reply to a request it was sent since it answers,
  // or the acknowledgement of bytes it reads.
  bool InFlight() const {
    if (!port || !PrnPortTestAccess::ConectadaRed(*port)) return false;
    const std::int64_t requests = PrnPortTestAccess::PeticionesRed(*port);
    if (answers && requests > std::max(PrnPortTestAccess::RespuestasRed(*port), answersFrom))
      return true;
    auto socket = PrnPortTestAccess::SocketRed(*port);
    return reads && socket && socket->UnacknowledgedBytes() > 0;
  }
  // The printer answers again: requests sent before now may have been dropped.
  void AnswersAgain() {
    answers = true;
    answersFrom = port ? PrnPortTestAccess::PeticionesRed(*port) : 0;
  }
  void Idle(std::int64_t loopMs) {
    Until([] { return false; }, loopMs);
  }
  bool Printed(std::int32_t id) const {
    return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0;
  }
  std::int64_t Now() const { return Loop::Current().Now(); }

  std::unique_ptr<PrinterProcess> printer;
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
  bool answers = true;  // the printer answers every request promptly
  std::int64_t answersFrom = 0;
  bool reads = true;  // the printer takes what it is sent
};

TEST_F(NetworkFault, PaperRunsOutMidJobAndComesBack) {
  Open();
  const std::int32_t first = port->Imprimir(Lines("A", 10));
  ASSERT_TRUE(Until([&] { return Printed(first); }));

  ASSERT_EQ(printer->Control("paper out"), "ok");
  const std::string job = Lines("B", 60);
  const std::size_t mark = events.log.size();
  const std::int64_t queued = Now();
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(Until([&] { return events.Count("NuevoEstado(1,1)") == 1; }));
  EXPECT_LE(Now() - queued, 1000) << "reported within four ticks";
  bool busy = true, error = false, paper = false;
  port->CheckError(busy, error, paper);
  EXPECT_FALSE(busy);
  EXPECT_TRUE(error);
  EXPECT_TRUE(paper);

  Idle(30'000);
  EXPECT_FALSE(Printed(id)) << "nothing is printed without paper";
  EXPECT_EQ(NotPrinted(printer->Printed(), job).size(), SplitLines(job).size());

  ASSERT_EQ(printer->Control("paper ok"), "ok");
  ASSERT_TRUE(Until([&] { return Printed(id); }));
  EXPECT_EQ(After(events.log, mark),
            (std::vector<std::string>{"NuevoEstado(1,1)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(id) + ")"}));
  EXPECT_EQ(MissingFrom(printer->AllReceived(), job), std::vector<std::string>{});
  EXPECT_EQ(NotPrinted(printer->Printed(), job), std::vector<std::string>{});
  port->CheckError(busy, error, paper);
  EXPECT_FALSE(error);
  EXPECT_FALSE(paper);
  Idle(10'000);
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
}

TEST_F(NetworkFault, CoverOpenThenPaperOutAreTwoEvents) {
  Open();
  const std::int32_t first = port->Imprimir(Lines("A", 3));
  ASSERT_TRUE(Until([&] { return Printed(first); }));
  const std::size_t mark = events.log.size();

  ASSERT_EQ(printer->Control("cover open"), "ok");
  const std::string job = Lines("C", 5);
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(Until([&] { return events.log.size() > mark; }));
  std::int64_t changed = Now();
  ASSERT_EQ(printer->Control("paper out"), "ok");
  ASSERT_TRUE(Until([&] { return events.log.size() > mark + 1; }));
  EXPECT_LE(Now() - changed, 500) << "the printer is asked on every tick while in error";
  ASSERT_EQ(printer->Control("cover closed"), "ok");
  Idle(5'000);
  EXPECT_EQ(events.log.size(), mark + 2) << "still out of paper: nothing new to report";
  EXPECT_FALSE(Printed(id));

  ASSERT_EQ(printer->Control("paper ok"), "ok");
  ASSERT_TRUE(Until([&] { return Printed(id); }));
  EXPECT_EQ(After(events.log, mark),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(1,1)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(id) + ")"}));
  EXPECT_EQ(NotPrinted(printer->Printed(), job), std::vector<std::string>{});
}

class NetworkConnectionLost : public NetworkFault,
                              public ::testing::WithParamInterface<const char*> {};

TEST_P(NetworkConnectionLost, MidJobNothingIsLostOrReportedEarlyAndPrintingResumes) {
  Open();
  const std::string job = Lines("H", 100);  // nine chunks, one a tick
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(Until([&] {
    return port->OutBufferCount() > 0 &&
           port->OutBufferCount() < static_cast<std::int32_t>(job.size()) - 1000;
  }));
  const std::size_t mark = events.log.size();
  ASSERT_EQ(printer->Control(GetParam()), "ok");
  const std::int64_t dropped = Now();
  ASSERT_TRUE(Until([&] { return events.log.size() > mark; }));
  EXPECT_EQ(events.log.back(), "NuevoEstado(1,0)");
  EXPECT_LE(Now() - dropped, 1000);
  EXPECT_FALSE(Printed(id));
  bool busy = false, error = false, paper = false;
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(error);

  // The next attempt comes 25 seconds after the last one; no host action is needed.
  ASSERT_TRUE(Until([&] { return Printed(id); }));
  EXPECT_EQ(After(events.log, mark),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(id) + ")"}));
  const auto connections = printer->Received();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(MissingFrom(printer->AllReceived(), job), std::vector<std::string>{});
  EXPECT_EQ(NotPrinted(printer->Printed(), job), std::vector<std::string>{});
  // The second connection starts where the printer's confirmations ended: at a cut, which lies
  // just before a line end.
  const auto lines = SplitLines(job);
  ASSERT_EQ(connections[1].substr(0, 2), "\r\n");
  EXPECT_NE(std::find(lines.begin(), lines.end(), connections[1].substr(2, 40)), lines.end())
      << connections[1].substr(0, 60);
  Idle(30'000);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);
}

INSTANTIATE_TEST_SUITE_P(HungUpOrReset, NetworkConnectionLost,
                         ::testing::Values("hang up", "reset"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                           return std::string(p.param) == "reset" ? "Reset" : "HungUp";
                         });

TEST_F(NetworkFault, APrinterThatStopsAnsweringIsInErrorUntilItAnswersAgain) {
  Open();
  const std::int32_t first = port->Imprimir(Lines("A", 3));
  ASSERT_TRUE(Until([&] { return Printed(first); }));
  const std::size_t mark = events.log.size();

  ASSERT_EQ(printer->Control("mute"), "ok");
  answers = false;
  const std::string job = Lines("M", 5);
  const std::int64_t queued = Now();
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(Until([&] { return events.log.size() > mark; }));
  EXPECT_EQ(events.log.back(), "NuevoEstado(1,0)");
  EXPECT_GT(Now() - queued, 10'000);
  EXPECT_LE(Now() - queued, 11'000);
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 2)
      << "a printer that has answered is never taken for one that cannot";
  Idle(20'000);
  EXPECT_FALSE(Printed(id)) << "its text was never confirmed";

  ASSERT_EQ(printer->Control("unmute"), "ok");
  AnswersAgain();
  ASSERT_TRUE(Until([&] { return Printed(id); }));
  EXPECT_EQ(After(events.log, mark),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(id) + ")"}));
  EXPECT_EQ(NotPrinted(printer->Printed(), job), std::vector<std::string>{});

  // Answering again, it is back to normal: the next job prints at once.
  const std::int64_t next = Now();
  const std::int32_t third = port->Imprimir(Lines("N", 3));
  ASSERT_TRUE(Until([&] { return Printed(third); }));
  EXPECT_LE(Now() - next, 1000);
}

#ifdef VTL_HAVE_PRINTERSIM_CORE
TEST_F(NetworkFault, ALogoWhoseDotsHoldLineEndsIsStoredExactly) {
  Open();
  // From column 260 on, the two bands of every column are 0x0D and 0x0A: the stream holds CR LF
  // pairs from its 530th byte on, where text would be cut for a status request.
  const auto dot = [](int x, int y) {
    return x >= 260 && (y == 4 || y == 5 || y == 7 || y == 12 || y == 14);
  };
  Files files;
  port->UploadLogo(
      {files.Write(Bitmap(320, 16, 0, [&](int x, int y) { return dot(x, y) ? 0 : 1; }))}, {"CRLF"});
  ASSERT_TRUE(port->Uploading());
  ASSERT_TRUE(Until([&] { return events.Count("DatosImpresos") > 0; }));
  EXPECT_EQ(events.Count("LogoGrabado"), 1);

  const std::string stream = Stream({Columns(320, 16, dot)});
  ASSERT_NE(stream.find("\r\n", 499), std::string::npos);
  const std::string wire = printer->AllReceived();
  EXPECT_EQ(wire.substr(0, stream.size() + 3), stream + kDleEot2)
      << "the stream whole, the request after it";

  ASSERT_TRUE(Until([&] {
    std::ifstream f(printer->NvFile(), std::ios::binary);
    return f.good() && f.peek() != std::ifstream::traits_type::eof();
  }));
  std::ifstream f(printer->NvFile(), std::ios::binary);
  std::stringstream blob;
  blob << f.rdbuf();
  printersim::Printer stored;
  std::string why;
  ASSERT_TRUE(stored.LoadNv(blob.str(), &why)) << why;
  ASSERT_EQ(stored.NvImages().count(1), 1u);
  const auto& image = stored.NvImages().at(1);
  ASSERT_EQ(image.width, 320);
  ASSERT_EQ(image.height, 16);
  int wrong = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 320; ++x) wrong += image.Dot(x, y) != dot(x, y);
  }
  EXPECT_EQ(wrong, 0);
}
#endif

// Jobs of megabytes, with a printer log that does not record them.
class LongJobNetworkFault : public NetworkFault {
 protected:
  std::vector<std::string> PrinterArgs() override { return {"--log", "/dev/null"}; }
  // A command that prints nothing, carrying `bytes` of data: far more than the TCP buffers of a
  // printer that does not read can hold.
  static std::string LongCommand(std::size_t bytes) {
    std::string c("\x1d\x38\x4c", 3);
    for (int i = 0; i < 4; ++i) c += static_cast<char>((bytes >> (8 * i)) & 0xff);
    return c + std::string(bytes, 'z');
  }
};

TEST_F(LongJobNetworkFault, ReplyModeOneStartsFromTheAcknowledgedRequestAndWaitsForEveryByte) {
  ASSERT_EQ(printer->Control("mute"), "ok");
  ASSERT_EQ(printer->Control("busy"), "ok");
  answers = false;
  reads = false;
  Open();
  std::int64_t unacknowledgedAtReport = -1;
  events.onDatosImpresos = [&](std::int32_t&) {
    unacknowledgedAtReport =
        static_cast<std::int64_t>(PrnPortTestAccess::SocketRed(*port)->UnacknowledgedBytes());
  };
  const std::string big = LongCommand(6 << 20);

  // The request waits behind megabytes the printer does not take: no verdict on its silence.
  const std::int32_t first = port->Imprimir(big, true);
  Idle(30'000);
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 0);
  EXPECT_FALSE(Printed(first));
  ASSERT_EQ(printer->Control("ready"), "ok");
  reads = true;
  ASSERT_TRUE(Until([&] { return Printed(first); }, 100'000'000));
  EXPECT_EQ(PrnPortTestAccess::ModoRespuestaRed(*port), 1);
  EXPECT_EQ(unacknowledgedAtReport, 0);

  // In reply mode 1 the job goes whole, and is printed once the printer's stack has every byte.
  ASSERT_EQ(printer->Control("busy"), "ok");
  reads = false;
  const std::int32_t second = port->Imprimir(big, true);
  Idle(60'000);
  EXPECT_FALSE(Printed(second));
  EXPECT_GT(PrnPortTestAccess::SocketRed(*port)->UnacknowledgedBytes(), 0u);
  ASSERT_EQ(printer->Control("ready"), "ok");
  reads = true;
  ASSERT_TRUE(Until([&] { return Printed(second); }, 100'000'000));
  EXPECT_EQ(unacknowledgedAtReport, 0);
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
  EXPECT_EQ(events.Count("NuevoEstado"), 2) << "never answering is no error";
}

TEST_F(LongJobNetworkFault, ATailStillInTheSocketWhenTheConnectionDropsIsSentAgain) {
  Open();
  const std::int32_t first = port->Imprimir("first\r\n");
  ASSERT_TRUE(Until([&] { return Printed(first); }));
  ASSERT_EQ(printer->Control("busy"), "ok");
  answers = false;
  reads = false;
  const std::int32_t id = port->Imprimir(LongCommand(6 << 20), true);
  ASSERT_TRUE(Until([&] {
    auto socket = PrnPortTestAccess::SocketRed(*port);
    return socket && socket->PendingSendBytes() > 0;
  }));
  const std::size_t mark = events.log.size();
  ASSERT_EQ(printer->Control("hang up"), "ok");
  ASSERT_TRUE(Until([&] { return events.log.size() > mark; }, 1000));
  EXPECT_EQ(events.log.back(), "NuevoEstado(1,0)");
  ASSERT_EQ(printer->Control("ready"), "ok");
  reads = true;
  AnswersAgain();
  // Reconnected, the whole command goes again with its request; its answer ends the job.
  ASSERT_TRUE(Until([&] { return Printed(id); }, 100'000'000));
  EXPECT_EQ(After(events.log, mark),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(id) + ")"}));
}

#endif  // PRINTER_SIM_EXE

// Byte-level faults, against the loopback printer in this process.
class NetworkBytes : public LoopbackPortTest {};

// 700 bytes of a binary command with CR LF pairs inside, the first at its 521st byte.
std::string BinaryWithLineEnds() {
  std::string c("\x1d\x76\x30\x00", 4);
  for (int i = 0; c.size() < 700; ++i) c += static_cast<char>(i * 37 % 251 + 14);
  c[520] = '\r';
  c[521] = '\n';
  c[600] = '\r';
  c[601] = '\n';
  return c;
}

TEST_F(NetworkBytes, APureCommandIsNeverSplitAndItsRequestFollowsIt) {
  Open();
  const std::string before = std::string(300, 't') + "\r\n";
  const std::string command = BinaryWithLineEnds();
  port->Imprimir(before);
  port->Imprimir(command, true);
  const std::int32_t id = port->Imprimir("after\r\n");
  ASSERT_TRUE(Printed(id));
  const std::string& wire = printer->connections.at(0);
  const std::string expected = before + command + kDleEot2 + "after\r\n" + kDleEot2;
  EXPECT_EQ(wire.substr(0, expected.size()), expected);
  // Text alone is cut as always: at the first line end from character 500 on.
  const std::string text = std::string(520, 'x') + "\r\nend\r\n";
  const std::size_t at = wire.size();
  ASSERT_TRUE(Printed(port->Imprimir(text)));
  EXPECT_EQ(printer->connections.at(0).substr(at, 528),
            std::string(520, 'x') + kDleEot2 + "\r\nend");
}

TEST_F(NetworkBytes, ALostConnectionSendsTheUnconfirmedJobAgainWholeAndReportsItOnce) {
  // The first connection takes everything and answers nothing, then hangs up.
  printer->status.clear();
  printer->afterRead = [&](LoopbackPrinter& p, const std::string& all) {
    if (p.connections.size() == 1 && LoopbackPrinter::Count(all, kDleEot2) >= 2) {
      p.status = std::string(1, '\x12');
      p.CloseConnection();
    }
  };
  Open();
  const std::string before = std::string(300, 't') + "\r\n";
  const std::string command = BinaryWithLineEnds();
  port->Imprimir(before);
  port->Imprimir(command, true);
  const std::int32_t id = port->Imprimir("after\r\n");
  ASSERT_TRUE(Pump([&] { return printer->closes == 1; }));
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 2; }));
  EXPECT_EQ(events.Count("DatosImpresos"), 0) << "no request of the job was answered";

  ASSERT_TRUE(Printed(id));
  ASSERT_EQ(printer->connections.size(), 2u);
  const std::string expected = before + command + kDleEot2 + "after\r\n" + kDleEot2;
  EXPECT_EQ(printer->connections[1].substr(0, expected.size()), expected)
      << "the whole job again, the command unsplit";
  Pump([] { return false; }, 30'000);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);
}

TEST_F(NetworkBytes, ARequestLostWithTheConnectionIsNeverTakenAsAnAnswer) {
  // The printer answers the first job; of the second it takes the text and closes unanswered.
  Open();
  ASSERT_TRUE(Printed(port->Imprimir("one\r\n")));
  printer->status.clear();
  printer->afterRead = [&](LoopbackPrinter& p, const std::string& all) {
    if (p.connections.size() == 1 && all.find("two\r\n") != std::string::npos) {
      p.status = std::string(1, '\x12');
      p.CloseConnection();
    }
  };
  const std::int32_t id = port->Imprimir("two\r\n");
  ASSERT_TRUE(Pump([&] { return printer->closes == 1; }));
  Pump([] { return false; }, 20'000);
  EXPECT_EQ(events.Count("DatosImpresos(" + std::to_string(id) + ")"), 0);
  ASSERT_TRUE(Printed(id));
  EXPECT_EQ(printer->connections.at(1).substr(0, 8), "two\r\n" + kDleEot2);
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
}

TEST_F(NetworkBytes, StatusPollsReportTheChannelAndNeverStopPrinting) {
  bool busy = true, error = false, paper = true;
  Open();
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(error) << "not connected yet";
  EXPECT_FALSE(busy);
  EXPECT_FALSE(paper);
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(0,0)") > 0; }));
  for (int i = 1; i <= 3; ++i) {
    port->CheckError(busy, error, paper);
    EXPECT_FALSE(error);
    EXPECT_FALSE(busy);
    EXPECT_FALSE(paper);
    const std::int32_t id = port->Imprimir("job " + std::to_string(i) + "\r\n");
    port->CheckError(busy, error, paper);
    EXPECT_FALSE(error);
    ASSERT_TRUE(Printed(id));
  }
  EXPECT_EQ(events.Count("NuevoEstado"), 2) << "polls raise nothing";
  printer->status = std::string(1, '\x32');
  port->Imprimir("no paper\r\n");
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,1)") > 0; }));
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(error);
  EXPECT_TRUE(paper);
  EXPECT_FALSE(busy);
  EXPECT_EQ(PrnPortTestAccess::Estado(*port) & 2, 2) << "the poll leaves the send state alone";
  printer->status = std::string(1, '\x12');
  ASSERT_TRUE(Printed(4));
  EXPECT_EQ(printer->Text(), "job 1\r\njob 2\r\njob 3\r\nno paper\r\n");
}

TEST_F(NetworkBytes, StatusBytesAreReadByTheirBits) {
  struct Case {
    char reply;
    const char* event;
  };
  // Fixed pattern 0x12 plus cover (bit 2), paper end (bit 5), error (bit 6); the old values 12,
  // 28 and 56; anything else is a good reply.
  const std::vector<Case> cases = {
      {'\x16', "NuevoEstado(1,0)"},
      {'\x32', "NuevoEstado(1,1)"},
      {'\x52', "NuevoEstado(1,0)"},
      {'\x72', "NuevoEstado(1,1)"},
      {'\x0c', "NuevoEstado(1,0)"},
      {'\x1c', "NuevoEstado(1,0)"},
      {'\x38', "NuevoEstado(1,0)"},
      {'\x12', nullptr},
      {'\x1a', nullptr},
      {'\x96', nullptr},
      {'\x17', nullptr},
      {'\x00', nullptr},
  };
  Open();
  ASSERT_TRUE(Printed(port->Imprimir("ready\r\n")));
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(c.reply)));
    printer->status = std::string(1, c.reply);
    const std::size_t mark = events.log.size();
    const std::int32_t id = port->Imprimir("job\r\n");
    if (c.event) {
      ASSERT_TRUE(Pump([&] { return events.log.size() > mark; }));
      EXPECT_EQ(events.log.back(), c.event);
      Pump([] { return false; }, 2'000);
      EXPECT_EQ(events.Count("DatosImpresos(" + std::to_string(id) + ")"), 0);
      printer->status = std::string(1, '\x12');
    }
    ASSERT_TRUE(Printed(id));
    EXPECT_EQ(events.log.size(), mark + (c.event ? 3 : 1)) << ::testing::PrintToString(events.log);
  }
}

}  // namespace
}  // namespace vtl::testing
