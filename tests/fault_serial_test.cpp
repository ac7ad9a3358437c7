// Faults on serial printers, struck mid-job: the host hears of each once, nothing it queued is
// lost, nothing is reported printed before it reached the printer, and the port recovers on its
// own once the fault clears. Pseudo-terminals with the virtual printer where they can show the
// fault; simulated devices for what they cannot (modem lines, refused writes, a UART's queue).
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "port_fixture.h"
#include "prnport_test_access.h"
#include "serial_pty.h"
#include "speed_test_printers.h"

namespace vtl::testing {
namespace {

using namespace platform;

// Every line of the receipt arrived, in order, at least once (a line may come twice where a
// device took part of a block before it went away).
bool AllLinesArrived(const std::string& received, int lines) {
  std::size_t at = 0;
  for (int i = 0; i < lines; ++i) {
    const std::string line = "LINE " + std::to_string(i) + " ";
    const std::size_t p = received.find(line, at);
    if (p == std::string::npos) {
      // After a reconnection the same line may appear again earlier than `at`.
      if (received.find(line) == std::string::npos) return false;
      continue;
    }
    at = p;
  }
  return true;
}

#if VTL_HAVE_PRINTERSIM_CORE

class SerialFaultPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(printer->pty().Ok());
    com3.Set(printer->pty().Slave());
    port = clsPrnPort::Create();
    port->Advise(&events);
    port->InicializarSerie(3, 9600);
    ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(0,0)") == 1; }));
    // Automatic status back is on: the printer reports its state changes by itself.
    ASSERT_TRUE(PumpUntil([&] { return printer->printer().AsbMask() == 3; }));
    events.log.clear();
  }
  void TearDown() override {
    port.reset();
    RunUntil([] { return false; }, 50);
  }
  bool PumpUntil(const std::function<bool()>& cond) { return RunUntil(cond, 20'000); }
  std::vector<std::string> Estados() const { return events.Only("NuevoEstado"); }

  std::unique_ptr<PtyPrinter> printer = std::make_unique<PtyPrinter>();
  ComMapping com3{3, "unset"};
  std::shared_ptr<clsPrnPort> port;
  SerialRecorder events;
};

TEST_F(SerialFaultPty, PaperOutMidJobHoldsTheJobUntilPaperIsBack) {
  const int lines = 2000;
  bool out = false;
  printer->onRead = [&](PtyPrinter& p) {
    if (!out && p.Received().size() > 15'000) {
      out = true;
      p.Change([](printersim::Printer& pr) { pr.SetPaper(printersim::Paper::kOut); });
    }
  };
  const std::int32_t id = port->Imprimir(Receipt(0, lines));
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(1,1)") == 1; }));
  // Held: no more blocks leave, and the job is not reported.
  RunUntil([] { return false; }, 300);
  const std::size_t held = printer->Received().size();
  RunUntil([] { return false; }, 500);
  EXPECT_EQ(printer->Received().size(), held) << "nothing is sent while the printer is out";
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_GT(port->OutBufferCount(), 0);

  printer->Change([](printersim::Printer& pr) { pr.SetPaper(printersim::Paper::kOk); });
  ASSERT_TRUE(PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id)) > 0; }));
  EXPECT_EQ(Estados(), (std::vector<std::string>{"NuevoEstado(1,1)", "NuevoEstado(0,0)"}));
  EXPECT_NE(printer->Received().find(Receipt(0, lines)), std::string::npos);
  RunUntil([] { return false; }, 300);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);
}

TEST_F(SerialFaultPty, AHungUpLineIsOpenedAgainWhenAPrinterAnswersToItsName) {
  const int lines = 2000;
  std::string first;
  printer->onRead = [&](PtyPrinter& p) {
    if (first.empty() && p.Received().size() > 15'000) {
      first = p.Received();
      p.HangUp();  // everything sent so far was read: nothing is left in the dead line
    }
  };
  const std::int32_t id = port->Imprimir(Receipt(0, lines));
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(1,0)") == 1; }));
  RunUntil([] { return false; }, 500);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_EQ(events.Count("NuevoEstado"), 1) << "the error is reported once";

  // A printer comes back under the same name; the host does nothing.
  printer->onRead = nullptr;
  printer->Replace();
  com3.Set(printer->pty().Slave());
  ASSERT_TRUE(PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id)) > 0; }));
  EXPECT_EQ(Estados(), (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)"}));
  // (The printer's record runs on across the two lines.)
  EXPECT_TRUE(AllLinesArrived(printer->Received(), lines));
  // The new printer got the rest from where the old one stopped reading, whole.
  const std::string second = printer->Received().substr(first.size());
  const std::size_t start = second.find("LINE ");
  ASSERT_NE(start, std::string::npos);
  const int k = std::stoi(second.substr(start + 5));
  EXPECT_NE(second.find(Receipt(k, lines)), std::string::npos);
  EXPECT_EQ(second.find("LINE 0 "), std::string::npos) << "no reprint from the start";
}

TEST_F(SerialFaultPty, NoDrawerEventWithoutAStatusByte) {
  // Opening again with the printer silent: nothing is claimed about its drawer.
  printer->printer().SetDrawer(true);
  port->CloseAll();
  events.log.clear();
  printer->onRead = [](PtyPrinter&) {};
  port->InicializarSerie(3, 9600);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(0,0)") == 1; }));
  for (const auto& e : events.log) {
    if (e.rfind("EstadoCajon", 0) == 0) {
      // Only the printer's own report may say so, and it says the drawer is open.
      EXPECT_EQ(e, "EstadoCajon(1)");
    }
  }
}

// A printer that answers only at its own speed: text queued while detection runs goes out
// after it, at the speed it found, and never at a trial speed.
TEST(SerialDetectionFault, TextQueuedDuringDetectionWaitsForTheSpeedFound) {
  PtyPrinterAtSpeed printer(19200);
  ASSERT_TRUE(printer.pty().Ok());
  ComMapping com3{3, printer.pty().Slave()};
  auto port = clsPrnPort::Create();
  SerialRecorder events;
  port->Advise(&events);
  Loop& loop = Loop::Current();
  std::int32_t id = 0;
  // Fires inside detection, which pumps the loop while it waits for answers.
  Loop::Id timer = loop.SetTimer(50, [&] {
    if (id != 0) return;
    id = port->Imprimir("RECIBO 19200\n");
    port->EndDocForzar();
    bool busy = false, error = false, paper = false;
    port->CheckError(busy, error, paper);
  });
  port->InicializarSerie(3, 9600, false, true);
  loop.KillTimer(timer);
  ASSERT_NE(id, 0) << "the host's call came while detection ran";
  EXPECT_EQ(port->Baudios(), 19200);
  EXPECT_EQ(printer.Noise().find("RECIBO"), std::string::npos);
  ASSERT_TRUE(
      RunUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id)) > 0; }, 20'000));
  EXPECT_NE(printer.Understood().find("RECIBO 19200\r\n"), std::string::npos);
  port.reset();
  RunUntil([] { return false; }, 50);
}

#endif  // VTL_HAVE_PRINTERSIM_CORE

// What a pseudo-terminal cannot show: modem lines that drop, a device that refuses writes, a
// UART whose driver still holds bytes, a write that a time-out cuts short.
class SerialFaultSim : public ::testing::Test {
 protected:
  void SetUp() override {
    Loop::Current().UseManualClock(true);
    dev = sim::Register("fault-com1");
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    sim::Unregister("fault-com1");
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
  }
  void Open() {
    port->InicializarSerie(1);
    ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(0,0)") == 1; }));
    ASSERT_TRUE(PumpUntil([&] {
      return dev->Written().find(
                 "\x1d"
                 "a\x03") != std::string::npos;
    }));
    dev->ClearWritten();
    events.log.clear();
  }
  bool PumpUntil(const std::function<bool()>& cond, std::int64_t ms = 120'000) {
    return Loop::Current().RunUntil(cond, ms);
  }
  bool Printed(std::int32_t id) {
    return PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; });
  }

  ComMapping com1{1, "sim:fault-com1"};
  std::shared_ptr<sim::Device> dev;
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

TEST_F(SerialFaultSim, LinesThatDropMidJobHoldItAndItEndsWhenTheyReturn) {
  Open();
  dev->Script({sim::WriteStep::Pending});
  const std::string job = Receipt(0, 100);
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(PumpUntil([&] { return dev->HasPending(); }));
  dev->SetModemStatus(0);  // the printer is switched off with a block on its way
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(1,0)") == 1; }, 1000));
  PumpUntil([] { return false; }, 10'000);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_EQ(events.Count("NuevoEstado"), 1);

  dev->SetModemStatus(MS_CTS_ON | MS_DSR_ON);
  dev->CompletePending(100);  // it took only the start of the block
  ASSERT_TRUE(Printed(id));
  EXPECT_EQ(dev->Written(), job);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                                  "DatosImpresos(" + std::to_string(id) + ")"}));
}

TEST_F(SerialFaultSim, AFailedOpeningOrAClosedPortIsNeverReady) {
  Open();
  bool busy = false, error = true, paper = false;
  port->CheckError(busy, error, paper);
  EXPECT_FALSE(error);
  // COM2 does not exist: the ready COM1 before it does not speak for it.
  port->InicializarSerie(2);
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(error);
  const std::int32_t id = port->Imprimir("WAITS\n");
  PumpUntil([] { return false; }, 10'000);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,0)"})) << "once, no storm";

  port->InicializarSerie(1);
  ASSERT_TRUE(Printed(id));
  events.log.clear();
  port->CloseAll();
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(error);
  port->Imprimir("WAITS TOO\n");
  PumpUntil([] { return false; }, 10'000);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,0)"}));
  EXPECT_EQ(dev->Written().find("WAITS TOO"), std::string::npos);
  EXPECT_EQ(port->OutBufferCount(), 11) << "the text waits for the next opening";
}

TEST_F(SerialFaultSim, ADeviceThatRefusesWritesIsOneErrorUntilItTakesThem) {
  Open();
  for (int i = 0; i < 6; ++i) dev->Script({sim::WriteStep::Failed, 0, ERROR_GEN_FAILURE});
  const std::string job = Receipt(0, 60);
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(Printed(id));
  EXPECT_EQ(dev->Written().substr(dev->Written().find("LINE 0 ")), job);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                                  "DatosImpresos(" + std::to_string(id) + ")"}));
}

TEST_F(SerialFaultSim, AJobEndsOnlyOnceTheDriverHasCarriedItsBytes) {
  Open();
  dev->KeepInKernel(true);
  const std::int32_t id = port->Imprimir("TICKET 1\n");
  PumpUntil([] { return false; }, 5000);
  EXPECT_EQ(events.Count("DatosImpresos"), 0) << "the bytes are still in the driver";
  EXPECT_GT(dev->KernelQueue(), 0u);
  dev->DrainKernel();
  ASSERT_TRUE(Printed(id));
  EXPECT_EQ(dev->Written(), "TICKET 1\r\n");

  // Closing throws away what the driver held and keeps it for the next opening.
  dev->ClearWritten();
  const std::int32_t id2 = port->Imprimir("TICKET 2\n");
  ASSERT_TRUE(PumpUntil([&] { return dev->KernelQueue() > 0; }));
  port->CloseAll();
  EXPECT_EQ(dev->KernelQueue(), 0u);
  EXPECT_EQ(dev->Written(), "");
  EXPECT_EQ(port->OutBufferCount(), 10) << "the discarded bytes are back in the buffer";
  dev->KeepInKernel(false);
  port->InicializarSerie(1);
  ASSERT_TRUE(Printed(id2));
  EXPECT_NE(dev->Written().find("TICKET 2\r\n"), std::string::npos);
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
}

TEST_F(SerialFaultSim, AWritePendingAtCloseAllGoesOutAfterTheNextOpening) {
  Open();
  dev->Script({sim::WriteStep::Pending});
  const std::string job = Receipt(0, 100);
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(PumpUntil([&] { return dev->HasPending(); }));
  port->CloseAll();
  port->InicializarSerie(1);
  ASSERT_TRUE(Printed(id));
  EXPECT_NE(dev->Written().find(job), std::string::npos);
  const std::int32_t id2 = port->Imprimir("AFTER\n");
  ASSERT_TRUE(Printed(id2));
}

TEST_F(SerialFaultSim, AWriteCutShortKeepsTheRestDownToTheLastByte) {
  for (const bool asincrono : {true, false}) {
    port->Asincrono(asincrono);
    Open();
    dev->Script({sim::WriteStep::Partial, 100});
    dev->Script({sim::WriteStep::Partial, 923});  // the rest of the block, one byte short
    const std::string job = Receipt(0, 100);
    const std::int32_t id = port->Imprimir(job);
    ASSERT_TRUE(Printed(id)) << asincrono;
    EXPECT_EQ(dev->Written(), job) << asincrono;
    port->CloseAll();
  }
}

}  // namespace
}  // namespace vtl::testing
