// Serial speed and handshake detection against printers that understand one speed only: the
// virtual printer on a pseudo-terminal (real time), and simulated printers on a manual clock
// for the orders of trial and for flow control.
#include <gtest/gtest.h>

#include "objects/prnport.h"
#include "platform/loop.h"
#include "prnport_test_access.h"
#include "speed_test_printers.h"

namespace vtl::testing {
namespace {

using namespace platform;

const std::string kPeticion("\x1d\x72\x02", 3);

// ---- Simulated printers, manual clock ----

class SpeedSimTest : public ::testing::Test {
 protected:
  void SetUp() override { Loop::Current().UseManualClock(true); }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
  }
  ComMapping com3{3, "sim:speed-test"};
  std::shared_ptr<clsPrnPort> port = clsPrnPort::Create();
};

TEST_F(SpeedSimTest, ShortListTriesNineThousandSixHundredFirst) {
  SimPrinterAtSpeed printer("speed-test", 0);  // answers at no speed
  EXPECT_EQ(port->CheckAutoSpeed("COM3"), 0);
  EXPECT_EQ(printer.Velocidades(), (std::vector<DWORD>{9600, 19200, 38400}));
  EXPECT_EQ(port->Baudios(), 0);
  // p requests at position p, then the port and speed in large letters.
  const auto& intentos = printer.Intentos();
  ASSERT_EQ(intentos.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Cuenta(intentos[i].datos, kPeticion), static_cast<int>(i + 1));
  }
  std::string esperado;
  esperado += std::string("\r\n\0\0\r\n\x1d\x72\x02\r\n", 11);
  esperado += std::string("\r\n\x1b!0COM3:9600\x1b!\x01\r\n");
  EXPECT_EQ(intentos[0].datos, esperado);
  EXPECT_EQ(intentos[0].flujo, SimPrinterAtSpeed::kNinguno);
  EXPECT_EQ(PrnPortTestAccess::Handle(*port), 0);
  EXPECT_FALSE(printer.device().IsOpen());
}

TEST_F(SpeedSimTest, ShortListWithAdditionalPropertiesTriesNineteenThousandTwoHundredFirst) {
  SimPrinterAtSpeed printer("speed-test", 0);
  port->PortPropiedadesAdicionales(ePDAImpresoraTermica);
  EXPECT_EQ(port->CheckAutoSpeed("COM3", 2), 0);
  EXPECT_EQ(printer.Velocidades(), (std::vector<DWORD>{19200, 9600, 38400}));
}

TEST_F(SpeedSimTest, FullListAndPositions) {
  SimPrinterAtSpeed printer("speed-test", 57600);
  EXPECT_EQ(port->CheckAutoSpeed("3", 4), 57600);
  EXPECT_EQ(printer.Velocidades(), (std::vector<DWORD>{115200, 57600}));
  EXPECT_EQ(port->Baudios(), 57600);
}

TEST_F(SpeedSimTest, EveryFormOfThePortTextAddressesPortThree) {
  SimPrinterAtSpeed printer("speed-test", 9600);
  for (const char* texto : {"3", "COM3", "com3", "\\\\.\\COM3", "//./cOm3"}) {
    EXPECT_EQ(port->CheckAutoSpeed(texto), 9600) << texto;
  }
  EXPECT_EQ(printer.Velocidades().size(), 5u);
  // Port 4 is not mapped: nothing is written anywhere, and nothing is found.
  EXPECT_EQ(port->CheckAutoSpeed("COM4"), 0);
  EXPECT_EQ(printer.Velocidades().size(), 5u);
  // A number too large for a port touches no line at all.
  EXPECT_EQ(port->CheckAutoSpeed("COM99999999999"), 0);
  EXPECT_EQ(port->CheckAutoSpeed(std::string(100000, '9')), 0);
  EXPECT_EQ(port->CheckAutoSpeed(""), 0);
}

TEST_F(SpeedSimTest, StaleBytesArePurgedAndTooManyAnswersFindNothing) {
  SimPrinterAtSpeed printer("speed-test", 9600);
  printer.device().Incoming(std::string(8, 'x'));
  EXPECT_EQ(port->CheckAutoSpeed("3"), 9600);
  // A printer that answers four bytes per request: more than there are speeds in the list.
  SimPrinterAtSpeed charlatan("speed-test", 9600, SimPrinterAtSpeed::kCualquiera, 4);
  EXPECT_EQ(port->CheckAutoSpeed("3"), 0);
  EXPECT_EQ(charlatan.Velocidades(), (std::vector<DWORD>{9600, 19200, 38400}));
}

TEST_F(SpeedSimTest, HandshakeFoundWhereOnlyHardwareFlowControlWorks) {
  SimPrinterAtSpeed printer("speed-test", 19200, SimPrinterAtSpeed::kHardware);
  std::int32_t velocidad = -7, handshake = -7;
  port->ControlDeFlujo(eHSKSoftware);
  port->CheckAutospeedAndHandshake("3", velocidad, handshake);
  EXPECT_EQ(velocidad, 19200);
  EXPECT_EQ(handshake, eHSKHardware);
  EXPECT_EQ(port->ControlDeFlujo(), eHSKHardware);
  EXPECT_EQ(port->Baudios(), 19200);
  const auto& intentos = printer.Intentos();
  // Short list without flow control, then the full list with both, then hardware until found.
  ASSERT_EQ(intentos.size(), 3u + 5u + 4u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(intentos[i].flujo, SimPrinterAtSpeed::kNinguno);
  for (std::size_t i = 3; i < 8; ++i) EXPECT_EQ(intentos[i].flujo, SimPrinterAtSpeed::kAmbos);
  for (std::size_t i = 8; i < 12; ++i) EXPECT_EQ(intentos[i].flujo, SimPrinterAtSpeed::kHardware);
  EXPECT_EQ(intentos.back().velocidad, 19200u);
}

TEST_F(SpeedSimTest, HandshakeNotFoundLeavesTheCallersValues) {
  SimPrinterAtSpeed printer("speed-test", 0);
  std::int32_t velocidad = 1234, handshake = 3;
  port->CheckAutospeedAndHandshake("COM3", velocidad, handshake);
  EXPECT_EQ(velocidad, 1234);
  EXPECT_EQ(handshake, 3);
  EXPECT_EQ(port->ControlDeFlujo(), eHSKSoftware);
  EXPECT_EQ(PrnPortTestAccess::Estado(*port), 0);
}

TEST_F(SpeedSimTest, TheSendLoopWaitsWhileDetectionOwnsThePort) {
  SimPrinterAtSpeed printer("speed-test", 38400);
  port->InicializarSerie(3, 9600);
  ASSERT_TRUE(printer.device().IsOpen());
  Loop::Current().RunUntil([] { return false; }, 1000);
  printer.device().ClearWritten();
  std::string recibo;
  for (int i = 0; i < 500; ++i) recibo += "TICKET LINEA " + std::to_string(i) + "\r\n";
  port->Imprimir(recibo);
  const int antes = Cuenta(printer.device().Written(), "TICKET");
  ASSERT_LT(antes, 500);
  EXPECT_EQ(port->CheckAutoSpeed("3"), 38400);
  // No receipt text went out at a trial speed, and the tick runs again afterwards.
  EXPECT_EQ(Cuenta(printer.device().Written(), "TICKET"), antes);
  EXPECT_GT(PrnPortTestAccess::TimerInterval(*port), 0);
}

TEST_F(SpeedSimTest, AutomaticSpeedAtOpening) {
  SimPrinterAtSpeed printer("speed-test", 19200);
  port->InicializarSerie(3, 9600, false, true);
  EXPECT_EQ(port->Baudios(), 19200);
  EXPECT_EQ(printer.Velocidades(), (std::vector<DWORD>{115200, 57600, 38400, 19200}));
  // The port is then opened at the speed found.
  EXPECT_TRUE(printer.device().IsOpen());
  EXPECT_EQ(printer.device().LineSettings().BaudRate, 19200u);
}

TEST_F(SpeedSimTest, AutomaticSpeedThatFindsNothingKeepsTheSpeedAskedFor) {
  SimPrinterAtSpeed printer("speed-test", 0);
  port->InicializarSerie(3, 19200, false, true);
  EXPECT_EQ(port->Baudios(), 19200);
  EXPECT_EQ(printer.device().LineSettings().BaudRate, 19200u);
}

TEST_F(SpeedSimTest, TestPrintsAtThreeSpeeds) {
  SimPrinterAtSpeed printer("speed-test", 0);
  printer.device().ClearWritten();
  port->EnviarPruebasDeVelocidad("COM3");
  std::vector<std::string> textos;
  for (const auto& r : printer.device().Requests()) {
    if (r.find("SERIAL:") != std::string::npos) textos.push_back(r);
  }
  ASSERT_EQ(textos.size(), 3u);
  const char* velocidades[] = {"9600", "19200", "38400"};
  for (int i = 0; i < 3; ++i) {
    std::string esperado = "\r\nSERIAL:COM3\r\nBPS:" + std::string(velocidades[i]);
    for (int j = 0; j < 11; ++j) esperado += "\r\n";
    esperado += '\0';
    EXPECT_EQ(textos[static_cast<std::size_t>(i)], esperado);
  }
  EXPECT_FALSE(printer.device().IsOpen());
  EXPECT_EQ(PrnPortTestAccess::Handle(*port), 0);
}

// ---- The virtual printer on a pseudo-terminal, real time ----

#if VTL_HAVE_PRINTERSIM_CORE

class SpeedPtyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 50);
  }
  ComMapping com3{3, "unset"};
  std::shared_ptr<clsPrnPort> port = clsPrnPort::Create();
};

TEST_F(SpeedPtyTest, FullListFindsNineteenThousandTwoHundredAtPositionFour) {
  PtyPrinterAtSpeed printer(19200);
  ASSERT_TRUE(printer.pty().Ok());
  com3.Set(printer.pty().Slave());
  EXPECT_EQ(port->CheckAutoSpeed("COM3", 4), 19200);
  EXPECT_EQ(port->Baudios(), 19200);
  EXPECT_EQ(printer.Answers(), 4);
  // The faster speeds came as noise, in the order of the list.
  const std::string& ruido = printer.Noise();
  const std::size_t a = ruido.find("COM3:115200"), b = ruido.find("COM3:57600"),
                    c = ruido.find("COM3:38400");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(c, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_EQ(Cuenta(printer.Understood(), kPeticion), 4);
  EXPECT_NE(printer.Printed().find("COM3:19200"), std::string::npos);
  EXPECT_EQ(PrnPortTestAccess::Handle(*port), 0);
}

TEST_F(SpeedPtyTest, OneAnswerAtTheFirstSpeedTried) {
  PtyPrinterAtSpeed printer(115200);
  ASSERT_TRUE(printer.pty().Ok());
  com3.Set(printer.pty().Slave());
  EXPECT_EQ(port->CheckAutoSpeed("\\\\.\\COM3", 4), 115200);
  EXPECT_EQ(printer.Answers(), 1);
  EXPECT_TRUE(printer.Noise().empty() ||
              printer.Noise().find_first_not_of('\0') == std::string::npos);
}

TEST_F(SpeedPtyTest, TestPrintsArriveWhole) {
  // Every byte reaches the printer: the purge after each text takes nothing back.
  PtyPrinter printer;
  ASSERT_TRUE(printer.pty().Ok());
  com3.Set(printer.pty().Slave());
  port->EnviarPruebasDeVelocidad("3");
  ASSERT_TRUE(Loop::Current().RunUntil(
      [&] { return Cuenta(printer.Received(), "SERIAL:3\r\nBPS:") == 3; }, 20'000));
  for (const char* v : {"9600", "19200", "38400"}) {
    std::string esperado = "\r\nSERIAL:3\r\nBPS:" + std::string(v);
    for (int j = 0; j < 11; ++j) esperado += "\r\n";
    esperado += '\0';
    ASSERT_TRUE(Loop::Current().RunUntil(
        [&] { return printer.Received().find(esperado) != std::string::npos; }, 20'000))
        << v;
  }
}

#endif

}  // namespace
}  // namespace vtl::testing
