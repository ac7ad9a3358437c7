// Faults on parallel and USB printers, struck mid-job: a printer switched off, out of paper, off
// line or unplugged is one error for the host, keeps everything queued, is never reported
// printed before its text reached it, and recovers on its own.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "objects/prnport.h"
#include "parallel_fixture.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "port_fixture.h"

namespace vtl::testing {
namespace {

using namespace platform;

// A parallel port with no register access and a driver that tells nothing of the printer: a
// named pipe read by the virtual printer. A printer switched off there only stops taking bytes;
// the port cannot say why, but it never reports the job printed while its bytes wait.
TEST(ParallelFaultFifo, APrinterSwitchedOffMidJobHoldsTheJobUntilItIsBack) {
  FifoPrinter fifo;
  ASSERT_TRUE(fifo.Ok());
  EnvVar lpt1{"VTL_LPT1", fifo.Path().c_str()};
  EnvVar portio{"VTL_PORTIO", "none"};
  auto port = clsPrnPort::Create();
  Recorder events;
  port->Advise(&events);
  port->InicializarParalelo(1);
  ASSERT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)"}));
  // A thermal printer takes full-sized blocks even without status replies.
  port->PortPropiedadesAdicionales(ePDAImpresoraTermica);

  const int lines = 3000;  // more than the pipe holds beyond what was read
  bool off = false;
  fifo.onRead = [&](FifoPrinter& f) {
    if (!off && f.Received().size() > 20'000) {
      off = true;
      f.PowerOff();
    }
  };
  const std::int32_t id = port->Imprimir(Receipt(0, lines));
  ASSERT_TRUE(RunUntil([&] { return off; }, 20'000));
  RunUntil([] { return false; }, 1000);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_GT(port->OutBufferCount(), 0);

  fifo.onRead = nullptr;
  fifo.PowerOn();
  ASSERT_TRUE(
      RunUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id)) > 0; }, 60'000));
  EXPECT_NE(fifo.Received().find(Receipt(0, lines)), std::string::npos);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)",
                                                  "DatosImpresos(" + std::to_string(id) + ")"}));
  port.reset();
  RunUntil([] { return false; }, 50);
}

// A USB (or lp) printer whose driver reports the printer's lines.
class UsbFault : public ::testing::Test {
 protected:
  static constexpr std::uint8_t kListo = 0x18;  // selected, no error
  void SetUp() override {
    Loop::Current().UseManualClock(true);
    dev = sim::Register("usb-lp1");
    dev->SetPrinterStatus(kListo);
    port = clsPrnPort::Create();
    port->Advise(&events);
    port->InicializarParalelo(1);
    ASSERT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)"}));
    ASSERT_FALSE(port->AlwaysOnLine()) << "the driver speaks for the printer";
    ASSERT_TRUE(PumpUntil([&] { return dev->Written() == "\x1b@"; }));
    dev->ClearWritten();
    events.log.clear();
  }
  void TearDown() override {
    port.reset();
    sim::Unregister("usb-lp1");
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
  }
  bool PumpUntil(const std::function<bool()>& cond, std::int64_t ms = 120'000) {
    return Loop::Current().RunUntil(cond, ms);
  }
  bool Printed(std::int32_t id) {
    return PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; });
  }

  EnvVar lpt1{"VTL_LPT1", "sim:usb-lp1"};
  EnvVar portio{"VTL_PORTIO", "none"};
  std::shared_ptr<sim::Device> dev;
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

TEST_F(UsbFault, PaperOutMidJobHoldsItUntilPaperIsBack) {
  dev->Script({sim::WriteStep::Pending});
  const std::string job = Receipt(0, 100);
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(PumpUntil([&] { return dev->HasPending(); }));
  dev->SetPrinterStatus(0x30);  // paper empty, error line down
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(1,1)") == 1; }, 1000));
  dev->CompletePending(300);
  PumpUntil([] { return false; }, 10'000);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_EQ(dev->Written(), job.substr(0, 300)) << "nothing more leaves while it is out";

  dev->SetPrinterStatus(kListo);
  ASSERT_TRUE(Printed(id));
  EXPECT_EQ(dev->Written(), job);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,1)", "NuevoEstado(0,0)",
                                                  "DatosImpresos(" + std::to_string(id) + ")"}));
}

TEST_F(UsbFault, APrinterOffLineIsAnError) {
  dev->SetPrinterStatus(0x08);  // no error line, but not selected
  const std::int32_t id = port->Imprimir("TICKET\n");
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(1,0)") == 1; }, 1000));
  PumpUntil([] { return false; }, 5000);
  EXPECT_EQ(dev->Written(), "");
  dev->SetPrinterStatus(kListo);
  ASSERT_TRUE(Printed(id));
  EXPECT_EQ(dev->Written(), "TICKET\r\n");
}

TEST_F(UsbFault, PaperRunningOutWhileOffLineIsReportedAsWell) {
  const std::int32_t id = port->Imprimir("TICKET\n");
  ASSERT_TRUE(Printed(id));
  events.log.clear();
  dev->SetPrinterStatus(0x08);  // off line
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado") == 1; }, 1000));
  dev->SetPrinterStatus(0x28);  // and now out of paper too
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado") == 2; }, 1000));
  dev->SetPrinterStatus(kListo);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado") == 3; }, 1000));
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(1,1)", "NuevoEstado(0,0)"}));
}

TEST_F(UsbFault, APrinterUnpluggedMidJobIsNeverReportedPrinted) {
  dev->Script({sim::WriteStep::Pending});
  const std::string job = Receipt(0, 100);
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(PumpUntil([&] { return dev->HasPending(); }));
  dev->HangUp();
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(1,0)") == 1; }, 1000));
  PumpUntil([] { return false; }, 10'000);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_EQ(events.Count("NuevoEstado"), 1);

  // Plugged in again: the same name, a new device.
  auto again = sim::Register("usb-lp1");
  again->SetPrinterStatus(kListo);
  ASSERT_TRUE(Printed(id));
  EXPECT_EQ(again->Written(), job);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                                  "DatosImpresos(" + std::to_string(id) + ")"}));
}

}  // namespace
}  // namespace vtl::testing
