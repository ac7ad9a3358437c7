// Receipts on the virtual printer over a pseudo-terminal: the library on the slave, the
// printer's core on the master.
#include <gtest/gtest.h>

#include "objects/prnport.h"
#include "port_fixture.h"
#include "prnport_test_access.h"
#include "serial_pty.h"

#if VTL_HAVE_PRINTERSIM_CORE

namespace vtl::testing {
namespace {

using namespace platform;

class SerialPrinterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(printer.pty().Ok());
    com3.Set(printer.pty().Slave());
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 50);
  }
  // Real time: the printer on the other end of the pty needs it. Generous bounds, met in
  // milliseconds when all goes well.
  bool PumpUntil(const std::function<bool()>& cond) { return RunUntil(cond, 20'000); }
  bool Printed(std::int32_t id) {
    return PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; });
  }

  PtyPrinter printer;
  ComMapping com3{3, "unset"};
  std::shared_ptr<clsPrnPort> port;
  SerialRecorder events;
};

TEST_F(SerialPrinterTest, TheRoadOfOneReceipt) {
  port->InicializarSerie(3, 9600);
  // The printer on a pty shows its lines as soon as the port is open.
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(0,0)") > 0; }));
  ASSERT_TRUE(PumpUntil([&] {
    return printer.Received().find(
               "\x1d"
               "a\x03") != std::string::npos;
  }));
  const std::int32_t id = port->Imprimir("CAFE CON LECHE   1,20\nTOTAL 1,20\r");
  EXPECT_EQ(id, 1);
  ASSERT_TRUE(Printed(id));
  ASSERT_TRUE(
      PumpUntil([&] { return printer.Received().find("TOTAL 1,20\r\n") != std::string::npos; }));

  const std::string& r = printer.Received();
  const std::size_t inicio = r.find_first_not_of('\0');  // the form's NULs, if the pty kept them
  ASSERT_LE(inicio, 2u);
  EXPECT_EQ(r.substr(inicio, 2), "\x1b@");
  const std::size_t peticion = r.find(
      "\x1d"
      "a\x03");
  EXPECT_LT(peticion, r.find("CAFE"));
  EXPECT_NE(r.find("CAFE CON LECHE   1,20\r\nTOTAL 1,20\r\n"), std::string::npos);
  EXPECT_NE(printer.Printed().find("CAFE CON LECHE   1,20"), std::string::npos);
  EXPECT_EQ(events.Only("NuevoEstado"),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)"}));
  // The printer answered the request with its status: drawer closed, on line.
  EXPECT_FALSE(port->CajonAbierto);
  EXPECT_TRUE(port->OnLine);
}

TEST_F(SerialPrinterTest, DrawerAndOnLineEventsFromTheStatusBytes) {
  port->InicializarSerie(3);
  ASSERT_TRUE(PumpUntil([&] { return printer.printer().AsbMask() == 3; }));
  ASSERT_TRUE(PumpUntil([&] { return !port->CajonAbierto && port->OnLine; }));
  events.log.clear();
  auto Expect = [&](std::vector<std::string> want) {
    ASSERT_TRUE(PumpUntil([&] { return events.log.size() >= want.size(); }));
    EXPECT_EQ(events.log, want);
    events.log.clear();
  };
  printer.Change([](printersim::Printer& p) { p.SetDrawer(true); });
  Expect({"EstadoCajon(1)", "OnLine(1)"});
  EXPECT_TRUE(port->CajonAbierto);
  // Bit 5 reads as off line; the printer's whole report (off line, bit 3) is an error as well.
  printer.Change([](printersim::Printer& p) { p.SetCover(true); });
  Expect({"EstadoCajon(1)", "OnLine(0)", "NuevoEstado(1,0)"});
  printer.Change([](printersim::Printer& p) { p.SetCover(false); });
  Expect({"EstadoCajon(1)", "OnLine(1)", "NuevoEstado(0,0)"});
  printer.Change([](printersim::Printer& p) { p.SetDrawer(false); });
  Expect({"EstadoCajon(0)", "OnLine(1)"});
  // The same status again raises both events again.
  printer.Send(std::string("\x14\0\0\0", 4));
  Expect({"EstadoCajon(0)", "OnLine(1)"});
}

TEST_F(SerialPrinterTest, AHangUpMidJobKeepsTheRestForThePrinterThatComesBack) {
  port->InicializarSerie(3, 9600);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("NuevoEstado(0,0)") > 0; }));
  // A long job; the printer stops reading after the first part (busy), then goes away.
  printer.printer().SetBusy(true);
  std::string job;
  for (int i = 0; i < 3000; ++i)
    job += "LINEA " + std::to_string(i) + " ...........................\n";
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(PumpUntil([&] { return printer.Received().find("LINEA 5 ") != std::string::npos; }));
  printer.HangUp();
  ASSERT_TRUE(PumpUntil([&] { return events.log.back() == "NuevoEstado(1,0)"; }));
  RunUntil([] { return false; }, 300);
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_GT(port->OutBufferCount(), 0);

  // A new printer on the same port name; the host opens the port again.
  const std::size_t antes = printer.Received().size();
  printer.Replace();
  com3.Set(printer.pty().Slave());
  port->InicializarSerie(3, 9600);
  ASSERT_TRUE(Printed(id));
  ASSERT_TRUE(
      PumpUntil([&] { return printer.Received().find("LINEA 2999 ") != std::string::npos; }));
  std::string nuevo = printer.Received().substr(antes);
  // The settings form's two NULs may be lost with the slave it closes (a pty drops what its
  // master has not read yet); ESC @ comes first from the port itself.
  nuevo.erase(0, nuevo.find_first_not_of('\0'));
  ASSERT_EQ(nuevo.substr(0, 2), "\x1b@");
  nuevo.erase(0, 2);
  for (std::size_t p; (p = nuevo.find("\x1d"
                                      "a\x03")) != std::string::npos;)
    nuevo.erase(p, 3);
  // What the first printer never read went away with it; everything after arrives whole, in
  // order, starting at a line.
  ASSERT_EQ(nuevo.rfind("LINEA ", 0), 0u);
  const int k = std::stoi(nuevo.substr(6));
  EXPECT_GT(k, 5);
  std::string esperado;
  for (int i = k; i < 3000; ++i)
    esperado += "LINEA " + std::to_string(i) + " ...........................\r\n";
  EXPECT_TRUE(nuevo == esperado) << "new printer got " << nuevo.size() << " bytes from line " << k;
}

}  // namespace
}  // namespace vtl::testing

#endif
