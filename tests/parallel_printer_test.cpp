// Printing on LPT ports: the library writes into a FIFO that the virtual printer's core reads,
// with the status register of a simulated port (or no register access at all) telling the
// engine how the printer is; and the list of the ports that can be opened.
#include <gtest/gtest.h>

#include "parallel_fixture.h"
#include "port_fixture.h"

namespace vtl::testing {
namespace {

using namespace platform;
using Acceso = PrnPortParallelTestAccess;

class ParallelPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fifo.Ok());
    lpt1.Set(fifo.Path().c_str());
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    portio::RemoveSimulated();
    Loop::Current().RunUntil([] { return false; }, 50);
  }
  // Real time: the FIFO is read as the loop runs. Generous bounds, met in milliseconds.
  bool PumpUntil(const std::function<bool()>& cond) { return RunUntil(cond, 20'000); }
  bool Printed(std::int32_t id) {
    return PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; });
  }
  std::vector<std::string> Estados() const { return events.Only("NuevoEstado"); }

  FifoPrinter fifo;
  EnvVar lpt1{"VTL_LPT1", nullptr};
  EnvVar portioVar{"VTL_PORTIO", nullptr};
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

#if VTL_HAVE_PRINTERSIM_CORE

TEST_F(ParallelPrinterTest, WithoutRegisterAccessTheReceiptStillPrints) {
  portioVar.Set("none");
  port->InicializarParalelo(1);
  EXPECT_EQ(port->PortData(0)->Address, 0);
  EXPECT_EQ(Acceso::DireccionBase(*port), 0);
  const std::int32_t id = port->Imprimir("CAFE CON LECHE   1,20\nTOTAL 1,20\r");
  ASSERT_TRUE(
      PumpUntil([&] { return fifo.Received().find("TOTAL 1,20\r\n") != std::string::npos; }));
  EXPECT_TRUE(Printed(id)) << "an always on line port still reports the job's end";
  EXPECT_TRUE(port->AlwaysOnLine());
  EXPECT_EQ(port->OutBufferCount(), 0);
  EXPECT_EQ(fifo.Received().substr(0, 2), "\x1b@");
  EXPECT_NE(fifo.Received().find("CAFE CON LECHE   1,20\r\nTOTAL 1,20\r\n"), std::string::npos);
  EXPECT_NE(fifo.Printed().find("CAFE CON LECHE   1,20"), std::string::npos);
  EXPECT_NE(fifo.Printed().find("TOTAL 1,20"), std::string::npos);
  // A pipe tells nothing of the printer's lines: the port counts as always on line, and the
  // host hears it is ready, once.
  EXPECT_EQ(Estados(), (std::vector<std::string>{"NuevoEstado(0,0)"}));
}

TEST_F(ParallelPrinterTest, TheStatusRegisterHoldsAndReleasesAJob) {
  auto lpt = MakePort(0x378, SimPort::kEcp);
  lpt->SetEcr(0x20);
  lpt->SetStatus(0xD8);  // ready: not busy, no error, paper
  portio::InstallSimulated({lpt});
  port->InicializarParalelo(1);
  EXPECT_EQ(port->PortData(0)->PortType, "PS/2");
  EXPECT_TRUE(port->PortData(0)->ECPExists);
  EXPECT_EQ(Acceso::DireccionBase(*port), 0x378);
  EXPECT_EQ(Estados(), (std::vector<std::string>{"NuevoEstado(0,0)"}));
  ASSERT_TRUE(PumpUntil([&] { return fifo.Received().find("\x1b@") != std::string::npos; }));

  // Busy, error and paper out: the job waits, and the host hears of it once.
  lpt->SetStatus(0x78);
  const std::int32_t id = port->Imprimir("TICKET 42\n");
  ASSERT_TRUE(PumpUntil([&] { return Estados().size() >= 2; }));
  EXPECT_EQ(Estados().back(), "NuevoEstado(1,1)");
  bool busy = false, error = false, paper = false;
  port->CheckError(busy, error, paper);
  EXPECT_TRUE(busy);
  EXPECT_TRUE(error);
  EXPECT_TRUE(paper);
  // Many ticks later: still nothing written, still one event.
  const std::int64_t desde = Loop::Current().Now();
  PumpUntil([&] { return Loop::Current().Now() - desde >= 300; });
  EXPECT_EQ(fifo.Received().find("TICKET"), std::string::npos);
  EXPECT_EQ(events.Count("NuevoEstado(1,1)"), 1);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);

  // Paper in, printer ready: the error clears and the job goes out.
  lpt->SetStatus(0xD8);
  ASSERT_TRUE(Printed(id));
  ASSERT_TRUE(
      PumpUntil([&] { return fifo.Received().find("TICKET 42\r\n") != std::string::npos; }));
  EXPECT_EQ(Estados(),
            (std::vector<std::string>{"NuevoEstado(0,0)", "NuevoEstado(1,1)", "NuevoEstado(0,0)"}));
  EXPECT_NE(fifo.Printed().find("TICKET 42"), std::string::npos);
  EXPECT_FALSE(port->AlwaysOnLine());
  EXPECT_EQ(port->LastStatusBIT(), 0);
}

TEST_F(ParallelPrinterTest, BusyAloneHoldsTheJobUntilThePrinterIsFree) {
  auto lpt = MakePort(0x378, SimPort::kSpp);
  lpt->SetStatus(0x58);  // busy line active, otherwise fine
  portio::InstallSimulated({lpt});
  port->InicializarParalelo(1);
  EXPECT_EQ(Estados(), (std::vector<std::string>{"NuevoEstado(1,0)"}));
  const std::int32_t id = port->Imprimir("DOS CAFES\n");
  const std::int64_t desde = Loop::Current().Now();
  PumpUntil([&] { return Loop::Current().Now() - desde >= 200; });
  EXPECT_EQ(fifo.Received().find("DOS CAFES"), std::string::npos);
  lpt->SetStatus(0xD8);
  ASSERT_TRUE(Printed(id));
  ASSERT_TRUE(
      PumpUntil([&] { return fifo.Received().find("DOS CAFES\r\n") != std::string::npos; }));
  EXPECT_EQ(Estados(), (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)"}));
}

#endif  // VTL_HAVE_PRINTERSIM_CORE

class PortListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 16; ++n) {
      vars.push_back(std::make_unique<EnvVar>("VTL_COM" + std::to_string(n), nullptr));
    }
    for (int n = 1; n <= 4; ++n) {
      vars.push_back(std::make_unique<EnvVar>("VTL_LPT" + std::to_string(n), nullptr));
    }
    port = clsPrnPort::Create();
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 20);
  }
  std::vector<std::unique_ptr<EnvVar>> vars;
  std::shared_ptr<clsPrnPort> port;
};

TEST_F(PortListTest, ListsTheMappedDevicesThatOpen) {
  Pty com1, com3;
  FifoPrinter lpt1Fifo;
  ASSERT_TRUE(com1.Ok() && com3.Ok() && lpt1Fifo.Ok());
  EnvVar c1{"VTL_COM1", com1.Slave().c_str()};
  EnvVar c3{"VTL_COM3", com3.Slave().c_str()};
  EnvVar c5{"VTL_COM5", "/nonexistent/vtl-com5"};
  EnvVar l1{"VTL_LPT1", lpt1Fifo.Path().c_str()};
  std::vector<std::int32_t> serie{99}, paralelo{99, 98};
  port->ListaDePuertosExistentes(serie, paralelo);
  EXPECT_EQ(serie, (std::vector<std::int32_t>{1, 3}));
  EXPECT_EQ(paralelo, (std::vector<std::int32_t>{1}));
}

TEST_F(PortListTest, AKindWithNoPortLeavesTheCallersArray) {
  Pty com2;
  ASSERT_TRUE(com2.Ok());
  EnvVar c2{"VTL_COM2", com2.Slave().c_str()};
  std::vector<std::int32_t> serie, paralelo{42, 7};
  port->ListaDePuertosExistentes(serie, paralelo);
  EXPECT_EQ(serie, (std::vector<std::int32_t>{2}));
  EXPECT_EQ(paralelo, (std::vector<std::int32_t>{42, 7}));

  c2.Set(nullptr);
  serie = {5};
  port->ListaDePuertosExistentes(serie, paralelo);
  EXPECT_EQ(serie, (std::vector<std::int32_t>{5}));
  EXPECT_EQ(paralelo, (std::vector<std::int32_t>{42, 7}));
}

TEST_F(PortListTest, APortHeldOpenIsNotListed) {
  FifoPrinter a("a"), b("b");
  ASSERT_TRUE(a.Ok() && b.Ok());
  EnvVar l2{"VTL_LPT2", a.Path().c_str()};
  EnvVar l4{"VTL_LPT4", b.Path().c_str()};
  EnvVar noAccess{"VTL_PORTIO", "none"};
  port->InicializarParalelo(2);
  std::vector<std::int32_t> serie, paralelo;
  port->ListaDePuertosExistentes(serie, paralelo);
  EXPECT_EQ(paralelo, (std::vector<std::int32_t>{4}));
  // The listing left the object's own port as it was.
  const std::int32_t id = port->Imprimir("ok\n");
  ASSERT_TRUE(RunUntil([&] { return a.Received().find("ok\r\n") != std::string::npos; }, 20'000));
  EXPECT_GT(id, 0);
  port->CloseAll();
  port->ListaDePuertosExistentes(serie, paralelo);
  EXPECT_EQ(paralelo, (std::vector<std::int32_t>{2, 4}));
}

}  // namespace
}  // namespace vtl::testing
