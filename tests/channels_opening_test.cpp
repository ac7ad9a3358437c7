// Opening and closing ports, the serial channel and status polling, on simulated devices: they
// can show what a pseudo-terminal cannot (modem lines going down and up, control-line codes,
// parallel status registers).
#include <gtest/gtest.h>

#include <limits>

#include "channels/serial/deteccion.h"
#include "channels/serial/formulario.h"
#include "platform/portio.h"
#include "port_fixture.h"
#include "serial_pty.h"

namespace vtl::testing {
namespace {

using namespace platform;

const std::string kNul2(2, '\0');
const std::string kInit = "\x1b@";
const std::string kPeticion =
    "\x1d"
    "a\x03";

class SerialSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Loop::Current().UseManualClock(true);
    dev = sim::Register("com1");
    dev->SetModemStatus(0);  // a printer that is off until a test turns it on
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    sim::Unregister("com1");
    portio::RemoveSimulated();
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
  }
  bool PumpUntil(const std::function<bool()>& cond, std::int64_t ms = 60'000) {
    return Loop::Current().RunUntil(cond, ms);
  }
  void Pump(std::int64_t ms) {
    Loop::Current().RunUntil([] { return false; }, ms);
  }

  ComMapping com1{1, "sim:com1"};
  std::shared_ptr<sim::Device> dev;
  std::shared_ptr<clsPrnPort> port;
  SerialRecorder events;
};

TEST_F(SerialSimTest, PortNumbersOfAnyValueOpenTheMappedDevice) {
  for (std::int32_t n : {1, 0, -5}) {
    port->InicializarSerie(n);
    EXPECT_TRUE(dev->IsOpen()) << n;
    EXPECT_EQ(PrnPortTestAccess::NombrePuerto(*port), "\\\\.\\COM1");
    EXPECT_EQ(PrnPortTestAccess::NumeroPuerto(*port), 0);
    port->CloseAll();
    EXPECT_FALSE(dev->IsOpen());
  }
  auto com12 = sim::Register("com12");
  ComMapping map12{12, "sim:com12"};
  port->InicializarSerie(12);
  EXPECT_TRUE(com12->IsOpen());
  EXPECT_FALSE(dev->IsOpen());
  EXPECT_EQ(PrnPortTestAccess::NombrePuerto(*port), "\\\\.\\COM12");
  port->CloseAll();
  sim::Unregister("com12");

  // The largest number names a port that does not exist: an error, not a crash.
  port->InicializarSerie(std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(PrnPortTestAccess::Handle(*port), INVALID_HANDLE_VALUE);
  EXPECT_EQ(events.log.back(), "NuevoEstado(1,0)");
  try {
    port->InicializarSerie(std::numeric_limits<std::int32_t>::min());
    FAIL() << "no overflow";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), 6);
  }
  EXPECT_EQ(PrnPortTestAccess::NumeroPuerto(*port), 2147483646);  // untouched by the failed call
}

TEST_F(SerialSimTest, ParallelNumbersAboveFourOpenLpt1) {
  auto lpt = sim::Register("lpt1");
  EnvVar lpt1{"VTL_LPT1", "sim:lpt1"};
  port->InicializarParalelo(5);
  EXPECT_TRUE(lpt->IsOpen());
  EXPECT_EQ(PrnPortTestAccess::NombrePuerto(*port), "\\\\.\\LPT1");
  EXPECT_EQ(lpt->Written(), kInit);
  port.reset();
  sim::Unregister("lpt1");
}

TEST_F(SerialSimTest, TheBareNameIsTriedWhenTheFullPathFails) {
  // The settings form's opening and the full path fail; the bare name "COM1" opens.
  dev->FailOpens(2);
  port->InicializarSerie(1);
  EXPECT_TRUE(dev->IsOpen());
  EXPECT_NE(PrnPortTestAccess::Handle(*port), INVALID_HANDLE_VALUE);
}

TEST_F(SerialSimTest, SpeedAndLineSettingsReachTheDevice) {
  port->InicializarSerie(1, 19200);
  EXPECT_EQ(port->Baudios(), 19200);
  const DCB& d = dev->LineSettings();
  EXPECT_EQ(d.BaudRate, 19200u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_EQ(d.fBitFields, 0x2315u);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.XonLim, 2048);
  EXPECT_EQ(d.XoffLim, 14336);
  EXPECT_EQ(d.EofChar, 26);
  port->InicializarSerie(1);
  EXPECT_EQ(port->Baudios(), 19200);  // kept
  const COMMTIMEOUTS& t = PrnPortTestAccess::Timeouts(*port);
  EXPECT_EQ(t.ReadIntervalTimeout, 3u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 3u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1u);
}

TEST_F(SerialSimTest, WithoutCallbackTheFormsLineStays) {
  port->InicializarSerie(1, 4800, true);
  EXPECT_TRUE(port->AlwaysOnLine());
  EXPECT_FALSE(PrnPortTestAccess::ReaperturaPermitida(*port));
  const DCB& d = dev->LineSettings();
  EXPECT_EQ(d.BaudRate, 4800u);
  // The form's default handshake with its switch off: software flow control, DTR and RTS off.
  EXPECT_EQ(d.fBitFields & (DCB_fOutX | DCB_fInX), DCB_fOutX | DCB_fInX);
  EXPECT_FALSE(d.fBitFields & DCB_fOutxCtsFlow);
  EXPECT_NE(d.fBitFields, 0x2315u);
  // Then the drawer control raises RTS and DTR, in that order.
  EXPECT_EQ(dev->Escapes(), (std::vector<DWORD>{SETRTS, SETDTR}));
}

TEST_F(SerialSimTest, NothingIsSentUntilAModemLineComesUp) {
  port->InicializarSerie(1);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(1,0)"}));
  EXPECT_EQ(dev->Written(), kNul2 + kInit);
  const std::int32_t id = port->Imprimir("CAFE\r");
  Pump(5000);
  EXPECT_EQ(dev->Written(), kNul2 + kInit);
  EXPECT_EQ(events.Count("NuevoEstado"), 1);

  dev->SetModemStatus(MS_DSR_ON);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id)) > 0; }));
  EXPECT_EQ(events.Only("NuevoEstado"),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)"}));
  // The job was waiting, so the status request follows it, between jobs.
  ASSERT_TRUE(PumpUntil([&] { return dev->Written().find(kPeticion) != std::string::npos; }));
  EXPECT_EQ(dev->Written(), kNul2 + kInit + "CAFE\r\n" + kPeticion);
  EXPECT_EQ(events.Count("DatosImpresos"), 1);  // and ends no job of its own

  // The printer drops its lines: one error event, nothing written; back up: one recovery event,
  // and the status request goes out again.
  dev->ClearWritten();
  dev->SetModemStatus(0);
  ASSERT_TRUE(PumpUntil([&] { return events.log.back() == "NuevoEstado(1,0)"; }));
  const std::int32_t id2 = port->Imprimir("SEGUNDO\n");
  Pump(5000);
  EXPECT_EQ(dev->Written(), "");
  EXPECT_EQ(events.Count("NuevoEstado"), 3);
  dev->SetModemStatus(MS_CTS_ON);
  ASSERT_TRUE(PumpUntil([&] { return events.Count("DatosImpresos(" + std::to_string(id2)) > 0; }));
  EXPECT_EQ(events.Only("NuevoEstado"),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)", "NuevoEstado(1,0)",
                                      "NuevoEstado(0,0)"}));
  EXPECT_NE(dev->Written().find("SEGUNDO\r\n"), std::string::npos);
  ASSERT_TRUE(PumpUntil([&] { return dev->Written().find(kPeticion) != std::string::npos; }));
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
}

TEST_F(SerialSimTest, AnInitialisationSequenceGoesBeforeTheRequest) {
  port->SecuenciaInicializacion("\x1bt\x10");
  dev->SetModemStatus(MS_DSR_ON | MS_CTS_ON);
  port->InicializarSerie(1);
  ASSERT_TRUE(PumpUntil([&] { return dev->Written().find(kPeticion) != std::string::npos; }));
  EXPECT_EQ(dev->Written(), kNul2 + kInit + "\x1bt\x10" + kPeticion);
}

TEST_F(SerialSimTest, StatusBytesGiveDrawerThenOnLineEveryTime) {
  dev->SetModemStatus(MS_DSR_ON);
  port->InicializarSerie(1);
  ASSERT_TRUE(PumpUntil([&] { return dev->Written().find(kPeticion) != std::string::npos; }));
  Pump(100);
  events.log.clear();
  for (char b : {'\x14', '\x14', '\x20', '\x04'}) {
    dev->Incoming(std::string(1, b));
    const std::size_t before = events.log.size();
    ASSERT_TRUE(PumpUntil([&] { return events.log.size() >= before + 2; }));
  }
  EXPECT_EQ(events.log, (std::vector<std::string>{"EstadoCajon(0)", "OnLine(1)", "EstadoCajon(0)",
                                                  "OnLine(1)", "EstadoCajon(1)", "OnLine(0)",
                                                  "EstadoCajon(0)", "OnLine(1)"}));
  EXPECT_FALSE(port->CajonAbierto);
  EXPECT_TRUE(port->OnLine);

  // A stream of garbage is read in bounded pieces, the first byte of each read decoded; what is
  // left waits for the next bytes to arrive.
  std::string basura;
  for (int i = 0; i < 5000; ++i) basura += static_cast<char>((i * 37 + 11) & 0xFF);
  events.log.clear();
  dev->Incoming(basura);
  ASSERT_TRUE(PumpUntil([&] { return events.log.size() >= 2; }));
  Pump(2000);
  EXPECT_EQ(events.log.size(), 2u);
  for (int i = 0; i < 10; ++i) {
    dev->Incoming("\x14");
    const std::size_t before = events.log.size();
    ASSERT_TRUE(PumpUntil([&] { return events.log.size() >= before + 2; }));
  }
  EXPECT_EQ(events.log.size(), 22u);
  EXPECT_FALSE(port->CajonAbierto);  // the last read reached the real status byte
  EXPECT_TRUE(port->OnLine);
}

TEST_F(SerialSimTest, CommSetLineCodes) {
  port->InicializarSerie(1);
  dev->ClearWritten();
  const std::vector<DWORD> antes = dev->Escapes();
  for (int n : {1, 2, 3, 7, 0, -1}) {
    const auto linea = static_cast<std::int16_t>(n);
    EXPECT_EQ(port->CommSetLine(linea, true), 0);
    EXPECT_EQ(port->CommSetLine(linea, false), 0);
  }
  std::vector<DWORD> esperado = antes;
  for (DWORD c : {SETBREAK, CLRBREAK, SETDTR, CLRDTR, SETRTS, CLRRTS}) esperado.push_back(c);
  EXPECT_EQ(dev->Escapes(), esperado);
  port->CloseAll();
  EXPECT_EQ(port->CommSetLine(2, true), 0);  // no port: nothing happens, still 0
}

TEST_F(SerialSimTest, TimeoutsFromTheBase) {
  port->InicializarSerie(1);
  auto t = [&] {
    const COMMTIMEOUTS& c = PrnPortTestAccess::Timeouts(*port);
    return std::vector<DWORD>{c.ReadIntervalTimeout, c.ReadTotalTimeoutMultiplier,
                              c.ReadTotalTimeoutConstant, c.WriteTotalTimeoutMultiplier,
                              c.WriteTotalTimeoutConstant};
  };
  PrnPortTestAccess::FijarTimeouts(*port, -5);
  EXPECT_EQ(t(), (std::vector<DWORD>{15, 5, 5, 15, 5}));
  PrnPortTestAccess::FijarTimeouts(*port, 5);
  EXPECT_EQ(t(), (std::vector<DWORD>{15, 5, 5, 15, 5}));
  PrnPortTestAccess::FijarTimeouts(*port, 0);
  EXPECT_EQ(t(), (std::vector<DWORD>{10, 2, 10, 2, 10}));
  EXPECT_THROW(PrnPortTestAccess::FijarTimeouts(*port, 0x7FFFFFFF), Error);
  EXPECT_THROW(PrnPortTestAccess::FijarTimeouts(*port, std::numeric_limits<std::int32_t>::min()),
               Error);
}

TEST_F(SerialSimTest, NetworkAndSpoolerPortsAreRecorded) {
  port->InicializarRed("com1:9100");
  EXPECT_EQ(PrnPortTestAccess::TipoPuerto(*port), eTDPLPT);  // "COM..." is not a host: nothing
  port->InicializarRed("10.1.2.3");
  EXPECT_EQ(PrnPortTestAccess::TipoPuerto(*port), eTDPLAN);
  EXPECT_EQ(PrnPortTestAccess::NombrePuerto(*port), "10.1.2.3");
  EXPECT_EQ(PrnPortTestAccess::NumeroPuerto(*port), 9100);
  port->InicializarRed("printer:9200", 9100);
  EXPECT_EQ(PrnPortTestAccess::NombrePuerto(*port), "printer");
  EXPECT_EQ(PrnPortTestAccess::NumeroPuerto(*port), 9200);
  EXPECT_EQ(port->PortPropiedadesAdicionales(), 0);
  port->InicializarWindows("Caja 1");
  EXPECT_EQ(PrnPortTestAccess::TipoPuerto(*port), eTDPWIN);
  EXPECT_EQ(PrnPortTestAccess::NombrePuerto(*port), "Caja 1");
  EXPECT_EQ(PrnPortTestAccess::TimerInterval(*port), 200);
}

TEST_F(SerialSimTest, WaitingKeepsTheTickRunning) {
  dev->SetModemStatus(MS_DSR_ON);
  port->InicializarSerie(1);
  const std::int64_t start = Loop::Current().Now();
  EsperarMilisegundos(1000);
  EXPECT_GT(Loop::Current().Now() - start, 1000);
  // Ticks ran inside the wait: the printer was seen ready and asked for its status.
  EXPECT_EQ(events.log.back(), "NuevoEstado(0,0)");
  EXPECT_NE(dev->Written().find(kPeticion), std::string::npos);
  // Nothing came back from the printer, so nothing is said about its drawer.
  EXPECT_EQ(events.Count("OnLine"), 0);
}

}  // namespace
}  // namespace vtl::testing
