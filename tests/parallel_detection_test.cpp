// Parallel-port detection on simulated register models: which ports are found, in which records,
// with which modes; register access at the edges of the address space; chips that answer
// garbage.
#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <utility>

#include "parallel_fixture.h"
#include "port_fixture.h"

namespace vtl::testing {
namespace {

using namespace platform;
using Acceso = PrnPortParallelTestAccess;

// A record as the host reads it: address (hex), type, Enabled, then the kinds of port found.
std::string Text(const clsPrnPortData& r) {
  std::ostringstream o;
  o << std::hex << r.Address << " " << r.PortType << " " << std::dec << r.Enabled;
  for (const auto& [found, kind] : {std::pair{r.SPPExists, " spp"},
                                    {r.EPPExists, " epp"},
                                    {r.ECPExists, " ecp"},
                                    {r.PS2Exists, " ps2"}}) {
    if (found) o << kind;
  }
  return o.str();
}

const std::string kEmpty = "0  0";

class ParallelDetectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Loop::Current().UseManualClock(true);
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    portio::RemoveSimulated();
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
  }
  void Detect(std::vector<std::shared_ptr<SimPort>> ports) {
    portio::InstallSimulated(std::move(ports));
    Acceso::DetectarPuertosParalelo(*port);
  }
  clsPrnPortData& Record(std::int32_t i) { return *port->PortData(i); }
  void Scribble(std::int32_t i) {
    clsPrnPortData& r = Record(i);
    r.Name = "host " + std::to_string(i);
    r.Address = 0x3BC;
    r.PortType = "SPP";
    r.Enabled = -1;
    r.EcpModeValue = 6;
    r.EcpModeDescription = "Test";
    r.SPPExists = r.EPPExists = r.ECPExists = r.PS2Exists = true;
  }
  void ExpectScribbled(std::int32_t i) {
    SCOPED_TRACE("record " + std::to_string(i) + " keeps what the host wrote");
    const clsPrnPortData& r = Record(i);
    EXPECT_EQ(r.Name, "host " + std::to_string(i));
    EXPECT_EQ(r.Address, 0x3BC);
    EXPECT_EQ(r.Enabled, -1);
    EXPECT_EQ(r.PortType, "SPP");
    EXPECT_EQ(r.EcpModeValue, 6);
  }

  EnvVar lpt1{"VTL_LPT1", nullptr};
  EnvVar lpt2{"VTL_LPT2", nullptr};
  EnvVar lpt4{"VTL_LPT4", nullptr};
  EnvVar portioVar{"VTL_PORTIO", nullptr};
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

TEST_F(ParallelDetectionTest, NoPortAnywhereLeavesRecordZeroEmpty) {
  Scribble(0);
  Scribble(1);
  const auto record0 = port->PortData(0);
  portio::InstallSimulated({});
  port->InicializarParalelo(1);  // LPT1 is not mapped: the opening fails, detection still runs
  EXPECT_EQ(Text(*port->PortData(0)), kEmpty) << "simulated bus with nothing on it";
  EXPECT_EQ(port->PortData(0), record0);  // the same record, rewritten
  EXPECT_EQ(record0->Name, "host 0");     // detection never names a port
  ExpectScribbled(1);
  EXPECT_EQ(Acceso::DireccionBase(*port), 0);

  // The same without any register access at all.
  portio::RemoveSimulated();
  portioVar.Set("none");
  EXPECT_EQ(portio::BackendName(), "none");
  Scribble(0);
  port->InicializarParalelo(1);
  EXPECT_EQ(Text(Record(0)), kEmpty) << "no register access";
  ExpectScribbled(1);
}

TEST_F(ParallelDetectionTest, PortsAt378And278OnlyFillRecordsZeroAndOne) {
  auto spp = MakePort(0x378, SimPort::kSpp);
  auto ps2 = MakePort(0x278, SimPort::kPs2);
  Scribble(2);
  Scribble(3);
  Detect({ps2, spp});
  EXPECT_EQ(Text(Record(0)), "378 SPP -1 spp") << "0x378";
  EXPECT_EQ(Text(Record(1)), "278 PS/2 -1 spp ps2") << "0x278 moves up";
  EXPECT_EQ(Text(Record(2)), kEmpty) << "the record after the last";
  EXPECT_EQ(Record(2).Name, "host 2");
  ExpectScribbled(3);
  // The probes leave the control register at its forward-direction value.
  EXPECT_EQ(ps2->Control() & 0x2F, 0x0F ^ 0x0B);
  EXPECT_EQ(spp->Control() & 0x0F, 0x0F ^ 0x0B);
}

TEST_F(ParallelDetectionTest, EachKindOfChipGivesItsRecordAndIsLeftAsItWas) {
  struct Chip {
    const char* what;
    std::uint16_t base;
    SimPort::Mode mode;
    std::uint8_t ecr;  // as firmware left it, for ECP chips
    bool eppMode;      // an ECP chip that offers EPP
    bool eppTimesOut;  // an EPP port without an EPP device: every cycle times out
    const char* record;
    std::int32_t ecpMode;
    const char* modeText;
  };
  const Chip chips[] = {
      {"ECP in mode 011", 0x378, SimPort::kEcp, 0x60, true, false, "378 PS/2 -1 spp ecp ps2", 3,
       "ECP"},
      {"ECP in mode 101, which has no text", 0x378, SimPort::kEcp, 0xA0, true, false,
       "378 PS/2 -1 spp ecp ps2", 5, ""},
      {"ECP in mode 100", 0x378, SimPort::kEcp, 0x80, true, false, "378 ECP+EPP -1 epp ecp", 4,
       "EPP"},
      {"ECP without EPP in mode 001: the direction bit works", 0x278, SimPort::kEcp, 0x20, false,
       false, "278 PS/2 -1 spp ecp ps2", 1, "PS/2"},
      {"ECP without EPP in mode 000: the data lines are driven whatever the direction bit", 0x278,
       SimPort::kEcp, 0x00, false, false, "278 SPP -1 spp ecp", 0, "SPP"},
      {"ECP without EPP asked for EPP", 0x278, SimPort::kEcp, 0x80, false, false,
       "278 PS/2 -1 spp ecp ps2", 4, "EPP"},
      {"EPP with a time-out left from an earlier cycle", 0x378, SimPort::kEpp, 0, false, false,
       "378 EPP -1 epp", 0, ""},
      {"EPP without an EPP device: still bidirectional", 0x378, SimPort::kEpp, 0, false, true,
       "378 PS/2 -1 spp ps2", 0, ""},
  };
  for (const Chip& c : chips) {
    SCOPED_TRACE(c.what);
    auto chip = MakePort(c.base, c.mode);
    if (c.mode == SimPort::kEcp) {
      chip->SetEcr(c.ecr);
      chip->SetEcpHasEppMode(c.eppMode);
    } else {
      chip->SetEppTimeout(true);
      chip->SetEppCyclesTimeOut(c.eppTimesOut);
    }
    Detect({chip});
    EXPECT_EQ(Text(Record(0)), c.record);
    EXPECT_EQ(Text(Record(1)), kEmpty) << "nothing else";
    if (c.mode == SimPort::kEcp) {
      EXPECT_EQ(Record(0).EcpModeValue, c.ecpMode);
      EXPECT_EQ(Record(0).EcpModeDescription, c.modeText);
      EXPECT_EQ(chip->Ecr(), c.ecr | 0x01) << "the probe puts the register back";
    } else {
      EXPECT_FALSE(chip->EppTimeout()) << "the time-out is cleared";
    }
  }
}

TEST_F(ParallelDetectionTest, AnEcrWithABusyFifoIsNotTakenForEcp) {
  auto ecp = MakePort(0x378, SimPort::kEcp);
  ecp->SetEcr(0x40);  // parallel-port FIFO mode
  portio::InstallSimulated({ecp});
  Out32(0x778, 'A');
  EXPECT_EQ(ecp->FifoCount(), 1u);
  EXPECT_EQ(Inp32(0x77A) & 0x03, 0x00);  // neither empty nor full
  EXPECT_FALSE(Acceso::ProbarEcp(*port, 0x378));
  for (int i = 0; i < 20; ++i) Out32(0x778, 'B');
  EXPECT_EQ(ecp->FifoCount(), SimPort::kFifoSize);
  EXPECT_EQ(Inp32(0x77A) & 0x03, 0x02);  // full
  EXPECT_FALSE(Acceso::ProbarEcp(*port, 0x378));
  Acceso::DetectarPuertosParalelo(*port);
  EXPECT_FALSE(Record(0).ECPExists);
  EXPECT_EQ(Record(0).Address, 0x378);
  // Test mode reads the FIFO back; going to a standard mode empties it.
  Out32(0x77A, 0xC0);
  EXPECT_EQ(Inp32(0x778), 'A');
  Out32(0x77A, 0x20);
  EXPECT_EQ(ecp->FifoCount(), 0u);
  EXPECT_TRUE(Acceso::ProbarEcp(*port, 0x378));
  // Configuration mode shows configuration register A.
  Out32(0x77A, 0xE0);
  EXPECT_EQ(Inp32(0x778), 0x10);
}

TEST_F(ParallelDetectionTest, FourPortsFillTheFourRecordsInCandidateOrder) {
  auto ecp = MakePort(0x378, SimPort::kEcp);
  ecp->SetEcr(0x80);
  auto mono = MakePort(0x3BC, SimPort::kSpp);  // not a candidate: never probed
  Detect({MakePort(0x190, SimPort::kSpp), MakePort(0x278, SimPort::kPs2), mono,
          MakePort(0x320, SimPort::kEpp), ecp});
  EXPECT_EQ(Text(Record(0)), "378 ECP+EPP -1 epp ecp");
  EXPECT_EQ(Text(Record(1)), "320 EPP -1 epp");
  EXPECT_EQ(Text(Record(2)), "278 PS/2 -1 spp ps2");
  EXPECT_EQ(Text(Record(3)), "190 SPP -1 spp");
  EXPECT_EQ(mono->Data(), 0);
  EXPECT_EQ(mono->Control(), 0x0C);
}

TEST_F(ParallelDetectionTest, ChipsThatAnswerGarbageNeverBreakDetection) {
  const std::array<std::int16_t, 4> candidates{0x378, 0x320, 0x278, 0x190};
  std::vector<std::shared_ptr<SimPort>> noisy;
  for (auto c : candidates)
    noisy.push_back(MakePort(static_cast<std::uint16_t>(c), SimPort::kNoise));
  for (int round = 0; round < 50; ++round) {
    Detect(noisy);
    bool gap = false;
    for (std::int32_t i = 0; i < 4; ++i) {
      const clsPrnPortData& r = Record(i);
      SCOPED_TRACE("round " + std::to_string(round) + " record " + std::to_string(i));
      if (r.Address == 0) {
        gap = true;
        EXPECT_EQ(r.Enabled, 0);
        EXPECT_EQ(r.PortType, "");
        continue;
      }
      EXPECT_FALSE(gap) << "found ports fill the records without gaps";
      EXPECT_NE(std::find(candidates.begin(), candidates.end(), r.Address), candidates.end());
      EXPECT_EQ(r.Enabled, -1);
      EXPECT_TRUE(r.PortType == "ECP+EPP" || r.PortType == "EPP" || r.PortType == "PS/2" ||
                  r.PortType == "SPP")
          << r.PortType;
      EXPECT_GE(r.EcpModeValue, 0);
      EXPECT_LE(r.EcpModeValue, 7);
    }
  }
}

TEST_F(ParallelDetectionTest, PortDataGivesTheRecordsThemselves) {
  EXPECT_EQ(port->PortData(7), port->PortData(0));
  EXPECT_EQ(port->PortData(-1), port->PortData(0));
  EXPECT_EQ(port->PortData(4), port->PortData(0));
  EXPECT_NE(port->PortData(3), port->PortData(0));
  EXPECT_NE(port->PortData(1), port->PortData(2));
  // A host's changes stay until a detection rewrites the record.
  port->PortData(2)->PortType = "mine";
  port->PortData(2)->Address = 0x7FFF;
  EXPECT_EQ(port->PortData(2)->PortType, "mine");
  Detect({MakePort(0x378, SimPort::kSpp), MakePort(0x278, SimPort::kSpp),
          MakePort(0x190, SimPort::kSpp)});
  EXPECT_EQ(port->PortData(2)->PortType, "SPP");
  EXPECT_EQ(port->PortData(2)->Address, 0x190);
}

TEST_F(ParallelDetectionTest, RecordsMarkedEcpGetTheirModeAndItsTextRefreshed) {
  auto ecp = MakePort(0x190, SimPort::kEcp);
  clsPrnPortData& host = Record(3);
  host.Enabled = -1;
  host.PortType = "ECP";
  host.Address = 0x190;
  const std::array<const char*, 8> texts{"SPP", "PS/2", "Fast Centronics", "ECP", "EPP",
                                         "",    "Test", "Configuration"};
  for (std::int32_t mode = 0; mode < 8; ++mode) {
    ecp->SetEcr(static_cast<std::uint8_t>(mode << 5));
    Detect({ecp});
    EXPECT_EQ(Record(0).Address, 0x190);
    EXPECT_EQ(host.EcpModeValue, mode);
    EXPECT_EQ(host.EcpModeDescription, texts[static_cast<std::size_t>(mode)]) << mode;
  }
  // Disabled records are left alone.
  host.Enabled = 0;
  ecp->SetEcr(0x20);
  Detect({ecp});
  EXPECT_EQ(host.EcpModeValue, 7);
}

TEST_F(ParallelDetectionTest, AddressesAtTheTopOfTheRangeDoNotOverflow) {
  // A port right at the top of the address space: its registers are there, beyond them nothing
  // (no register address wraps round to the bottom).
  auto top = MakePort(0xFFFC, SimPort::kSpp);
  top->SetStatus(0xD8);
  portio::InstallSimulated({top});
  EXPECT_EQ(Acceso::LeerEstadoParalelo(*port, -4), 0x58);
  EXPECT_TRUE(Acceso::ProbarSpp(*port, -4));
  EXPECT_FALSE(Acceso::ProbarEcp(*port, -4));
  EXPECT_FALSE(Acceso::ProbarEpp(*port, -4));
  EXPECT_EQ(Acceso::LeerEstadoParalelo(*port, 0x7FFF), 0x7F);  // reads as no port
  EXPECT_EQ(Acceso::LeerModoEcp(*port, 0x7FFF), 7);
  EXPECT_FALSE(Acceso::ProbarEcp(*port, 0x7FFF));
  EXPECT_FALSE(Acceso::ProbarSpp(*port, 0x7FFF));

  // A host record marked ECP at such an address is refreshed without trouble.
  Record(3).Enabled = -1;
  Record(3).PortType = "ECP";
  Record(3).Address = 0x7FFF;
  Detect({MakePort(0x378, SimPort::kSpp)});
  EXPECT_EQ(Record(3).EcpModeValue, 7);

  // Opening LPT4 from such a record polls nothing beyond the range.
  auto lpt = sim::Register("lpt4-top");
  lpt4.Set("sim:lpt4-top");
  Record(3).PortType = "SPP";
  port->InicializarParalelo(4);
  EXPECT_EQ(Acceso::DireccionBase(*port), 0x7FFF);
  EXPECT_TRUE(lpt->IsOpen());
  ASSERT_FALSE(events.log.empty());
  EXPECT_EQ(events.log.back(), "NuevoEstado(0,1)");
  port->CloseAll();
  sim::Unregister("lpt4-top");
}

TEST_F(ParallelDetectionTest, OpeningDetectsAndPollsOnlyThePortItFound) {
  auto spp = MakePort(0x378, SimPort::kSpp);
  spp->SetStatus(0xD8);
  portio::InstallSimulated({spp});
  auto dev1 = sim::Register("lpt1-open");
  auto dev2 = sim::Register("lpt2-open");
  lpt1.Set("sim:lpt1-open");
  lpt2.Set("sim:lpt2-open");

  port->InicializarParalelo(1);
  EXPECT_EQ(port->PortData(0)->PortType, "SPP");
  EXPECT_EQ(Acceso::DireccionBase(*port), 0x378);
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)"}));
  EXPECT_FALSE(port->AlwaysOnLine());

  // LPT2 has no registers of its own: the printer on LPT1 must not speak for it.
  spp->SetStatus(0x78);
  events.log.clear();
  port->InicializarParalelo(2);
  EXPECT_TRUE(dev2->IsOpen());
  EXPECT_EQ(Acceso::DireccionBase(*port), 0);
  // No register to read and a driver that tells nothing: always on line from now on.
  EXPECT_TRUE(port->AlwaysOnLine());
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)"}));
  port->CloseAll();
  sim::Unregister("lpt1-open");
  sim::Unregister("lpt2-open");
}

TEST(ParallelBackends, TestsReachNoRealPort) {
  EnvVar portio{"VTL_PORTIO", nullptr};
  ASSERT_NE(std::getenv("VTL_NO_SYSTEM_PORTS"), nullptr);
  EXPECT_EQ(portio::BackendName(), "none");
  EXPECT_EQ(Inp32(0x379) & 0xFF, 0xFF);
  Out32(0x378, 0x55);  // goes nowhere
  EXPECT_EQ(Inp32(0x378) & 0xFF, 0xFF);
  portio.Set("none");
  EXPECT_EQ(portio::BackendName(), "none");
  EXPECT_EQ(Inp32(0x379) & 0xFF, 0xFF);
  portio::InstallSimulated({MakePort(0x378, SimPort::kSpp), MakePort(0x278, SimPort::kEcp)});
  EXPECT_EQ(portio::BackendName(), "simulated");
  Out32(0x378, 0x55);
  EXPECT_EQ(Inp32(0x378), 0x55);
  Out32(0x278 + 0x402, 0x34);
  EXPECT_EQ(Inp32(0x278 + 0x402), 0x35) << "the mode written, the FIFO empty";
  // Registers nobody claimed read as a floating bus: the EPP and ECP ones of an SPP port, and
  // a port nobody simulates.
  EXPECT_EQ(Inp32(0x37B) & 0xFF, 0xFF);
  EXPECT_EQ(Inp32(0x77A) & 0xFF, 0xFF);
  EXPECT_EQ(Inp32(0x3BC) & 0xFF, 0xFF);
  portio::RemoveSimulated();
  EXPECT_EQ(portio::BackendName(), "none");
}

TEST(ParallelBackends, DeviceNamesOfPorts) {
  EnvVar com3{"VTL_COM3", "/tmp/some-printer"};
  EnvVar lpt2{"VTL_LPT2", "sim:lpt"};
  EnvVar lpt4{"VTL_LPT4", nullptr};
  char buf[64];
  EXPECT_EQ(QueryDosDeviceA("COM3", buf, sizeof buf), 19u);
  EXPECT_STREQ(buf, "/tmp/some-printer");
  EXPECT_EQ(buf[18], '\0');
  EXPECT_EQ(QueryDosDeviceA("\\\\.\\LPT2", buf, sizeof buf), 9u);
  EXPECT_STREQ(buf, "sim:lpt");
  EXPECT_EQ(QueryDosDeviceA("lpt2", buf, sizeof buf), 9u);
  SetLastError(0);
  EXPECT_EQ(QueryDosDeviceA("LPT4", buf, sizeof buf), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(QueryDosDeviceA("printer", buf, sizeof buf), 0u);
  EXPECT_EQ(QueryDosDeviceA(nullptr, buf, sizeof buf), 0u);
  EXPECT_EQ(QueryDosDeviceA("COM3", buf, 18), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(QueryDosDeviceA("COM3", nullptr, 100), 0u);
}

// ppdev stand-in: a claim waits until the test lets it in, as it waits while the printer driver
// holds the port.
std::mutex g_ppMutex;
std::condition_variable g_ppCv;
bool g_ppFree = false;
int g_ppClaims = 0, g_ppReleases = 0;

int FakePpdev(int, unsigned long request, void* arg) {
  if (request == PPCLAIM) {
    std::unique_lock lock(g_ppMutex);
    ++g_ppClaims;
    g_ppCv.wait(lock, [] { return g_ppFree; });
    return 0;
  }
  if (request == PPRELEASE) {
    std::lock_guard lock(g_ppMutex);
    ++g_ppReleases;
    return 0;
  }
  if (request == PPRSTATUS) *static_cast<unsigned char*>(arg) = 0xD8;
  return 0;
}

TEST(ParallelPpdev, TheClaimIsMadeOnceOffTheHostThreadAndGivenBackForThePrinterDriver) {
  EnvVar none{"VTL_PORTIO", nullptr};
  portio::InstallPpdevForTests({{0, 0x378}}, FakePpdev);
  // The port is held elsewhere: a read answers at once, and says the printer is not ready.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Inp32(0x379) & 0xFF, 0x00);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  {
    std::lock_guard lock(g_ppMutex);
    g_ppFree = true;
  }
  g_ppCv.notify_all();
  ASSERT_TRUE(RunUntil([] { return (Inp32(0x379) & 0xFF) == 0xD8; }, 5000));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(Inp32(0x379) & 0xFF, 0xD8);
  EXPECT_EQ(g_ppClaims, 1) << "claimed once, not for every read";
  // The printer driver needs the port to print: the claim goes back, and returns afterwards.
  EXPECT_TRUE(portio::ReleaseForPrinterDriver(0));
  EXPECT_EQ(g_ppReleases, 1);
  ASSERT_TRUE(RunUntil([] { return (Inp32(0x379) & 0xFF) == 0xD8; }, 5000));
  EXPECT_EQ(g_ppClaims, 2);
  portio::InstallPpdevForTests({}, nullptr);
}

}  // namespace
}  // namespace vtl::testing
