// clsSerial against pseudo-terminals (the test holds the master side) and, for writes that stay
// in flight or fail, simulated devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <stdexcept>

#include "objects/serial_port.h"
#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/message.h"
#include "platform/sim.h"
#include "serial_pty.h"

namespace vtl::testing {
namespace {

using namespace platform;

struct Eventos : __clsSerial {
  std::vector<std::string> log;
  std::function<void(std::int32_t&)> alLlegar;
  void DataIn(std::int32_t& n) override {
    log.push_back("DataIn(" + std::to_string(n) + ")");
    if (alLlegar) alLlegar(n);
  }
  void DataOut(std::int32_t& n) override { log.push_back("DataOut(" + std::to_string(n) + ")"); }
};

class SerialClassTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Loop::Current().RunUntil([] { return false; }, 30);
  }
  bool PumpUntil(const std::function<bool()>& cond) { return RunUntil(cond, 10'000); }
};

std::string Mensaje(clsSerial& s) {
  std::string m;
  s.CommGetError(m);
  return m;
}

TEST_F(SerialClassTest, TwoObjectsGetSlotsOneAndTwoWithTheDefaultLine) {
  Pty a, b;
  ComMapping m1(1, a.Slave()), m2(2, b.Slave());
  auto s1 = clsSerial::Create(), s2 = clsSerial::Create();
  EXPECT_EQ(s1->CommOpen("COM1"), 1);
  EXPECT_EQ(s2->CommOpen("\\\\.\\COM2"), 2);
  EXPECT_EQ(s1->PortID(), 1);
  EXPECT_EQ(s2->PortID(), 2);
  termios t{};
  ASSERT_EQ(tcgetattr(a.Master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
  EXPECT_EQ(s2->CommSet("19200,e,7,2"), 0);
  ASSERT_EQ(tcgetattr(b.Master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B19200);  // a pty keeps no parity or size of its own
  // A closed slot is the first taken again.
  EXPECT_EQ(s1->CommClose(), 0);
  EXPECT_EQ(s1->PortID(), 0);
  EXPECT_EQ(s1->CommOpen("COM1", "baud=38400 parity=N data=8 stop=1"), 1);
  std::string m;
  EXPECT_EQ(s1->CommGetError(m), 0);
  EXPECT_EQ(m, "Error (0):  - ");
}

TEST_F(SerialClassTest, TheSeventeenthOpenFailsSilently) {
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<std::unique_ptr<ComMapping>> mapas;
  std::vector<std::shared_ptr<clsSerial>> objetos;
  for (int i = 1; i <= 17; ++i) {
    ptys.push_back(std::make_unique<Pty>());
    mapas.push_back(std::make_unique<ComMapping>(20 + i, ptys.back()->Slave()));
    objetos.push_back(clsSerial::Create());
  }
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(objetos[static_cast<std::size_t>(i)]->CommOpen("COM" + std::to_string(21 + i)),
              i + 1);
  }
  auto& ultimo = *objetos.back();
  EXPECT_EQ(ultimo.CommOpen("COM37"), 0);
  EXPECT_EQ(Mensaje(ultimo), "Error (0):  - ");
  // Once a slot is free again the same call succeeds.
  objetos[4]->CommClose();
  EXPECT_EQ(ultimo.CommOpen("COM37"), 5);
}

TEST_F(SerialClassTest, APortHeldElsewhereIsAccessDenied) {
  Pty a;
  ComMapping m1(1, a.Slave());
  const int fd = ::open(a.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  auto s = clsSerial::Create();
  EXPECT_EQ(s->CommOpen("COM1"), 0);
  EXPECT_EQ(Mensaje(*s), "Error (5): CommOpen (CreateFile) - Access is denied.\r\n");
  std::string m;
  EXPECT_EQ(s->CommGetError(m), 5);
  ::close(fd);
  EXPECT_EQ(s->CommOpen("COM1"), 1);
  // A port of this library's own is held too.
  auto otro = clsSerial::Create();
  EXPECT_EQ(otro->CommOpen("COM1"), 0);
  EXPECT_EQ(Mensaje(*otro), "Error (5): CommOpen (CreateFile) - Access is denied.\r\n");
  EXPECT_EQ(otro->CommOpen("COM8"), 0);
  EXPECT_EQ(Mensaje(*otro),
            "Error (2): CommOpen (CreateFile) - The system cannot find the file specified.\r\n");
}

TEST_F(SerialClassTest, BadSettingsFailAtBuildCommDcbAndReleaseThePort) {
  Pty a;
  ComMapping m1(1, a.Slave());
  auto s = clsSerial::Create();
  EXPECT_EQ(s->CommOpen("COM1", "baud=abc"), 0);
  EXPECT_EQ(Mensaje(*s), "Error (87): CommOpen (BuildCommDCB) - The parameter is incorrect.\r\n");
  EXPECT_EQ(s->PortID(), 0);
  // Neither the device nor the slot stayed taken.
  auto otro = clsSerial::Create();
  EXPECT_EQ(otro->CommOpen("COM1"), 1);
  EXPECT_EQ(otro->CommSet("baud=19200 parity=Q"), 87);
  EXPECT_EQ(Mensaje(*otro), "Error (87): CommSet (BuildCommDCB) - The parameter is incorrect.\r\n");
  termios t{};
  ASSERT_EQ(tcgetattr(a.Master(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B9600);  // untouched
  // A speed the line cannot take fails when set.
  EXPECT_EQ(otro->CommSet("baud=12345 parity=N data=8 stop=1"), 87);
  EXPECT_EQ(Mensaje(*otro), "Error (87): CommSet (SetCommState) - The parameter is incorrect.\r\n");
  EXPECT_EQ(otro->CommSet("baud=9600 parity=N data=8 stop=1 odsr=on"), 50);
  std::string largo(200000, '9');
  EXPECT_EQ(otro->CommSet(largo), 87);
}

TEST_F(SerialClassTest, DataInWithAHandlerThatReads) {
  Pty a;
  ComMapping m1(1, a.Slave());
  auto s = clsSerial::Create();
  Eventos ev;
  std::string recibido;
  ev.alLlegar = [&](std::int32_t&) {
    std::string parte;
    s->CommRead(parte);
    recibido += parte;
  };
  s->Advise(&ev);
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  a.Write("HOLA ");
  ASSERT_TRUE(PumpUntil([&] { return recibido == "HOLA "; }));
  a.Write("MUNDO");
  ASSERT_TRUE(PumpUntil([&] { return recibido == "HOLA MUNDO"; }));
  ASSERT_GE(ev.log.size(), 2u);
  EXPECT_EQ(ev.log.front(), "DataIn(5)");
  std::string resto = "x";
  s->CommRead(resto);
  EXPECT_EQ(resto, "");
  s->Unadvise(&ev);
}

TEST_F(SerialClassTest, WritesWhileClosedGoOutAfterTheNextOpen) {
  Pty a;
  ComMapping m1(1, a.Slave());
  auto s = clsSerial::Create();
  Eventos ev;
  s->Advise(&ev);
  s->CommWrite("");
  s->CommWrite("ABC");
  s->CommWrite("DEF");
  EXPECT_TRUE(ev.log.empty());
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  std::string llegado;
  ASSERT_TRUE(PumpUntil([&] {
    llegado += a.Read();
    return llegado == "ABCDEF";
  }));
  ASSERT_TRUE(PumpUntil([&] { return !ev.log.empty(); }));
  EXPECT_EQ(ev.log, std::vector<std::string>{"DataOut(6)"});
  s->CommWrite("");
  EXPECT_EQ(ev.log.size(), 1u);
}

TEST_F(SerialClassTest, ModemLinesOfAnySlot) {
  Pty a;
  ComMapping m1(1, a.Slave());
  auto s = clsSerial::Create(), otro = clsSerial::Create();
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  bool estado = false;
  EXPECT_EQ(otro->CommGetLine(1, 0x10, estado), 0);
  EXPECT_TRUE(estado);
  EXPECT_EQ(otro->CommGetLine(1, 0x40, estado), 0);
  EXPECT_FALSE(estado);
  EXPECT_EQ(otro->CommGetLine(2, 0x10, estado), 6);  // a slot without a port
  EXPECT_EQ(Mensaje(*otro),
            "Error (6): CommReadCD (GetCommModemStatus) - The handle is invalid.\r\n");
  EXPECT_EQ(otro->CommGetLine(17, 0x10, estado), 9);
  EXPECT_EQ(Mensaje(*otro), "Error (9): CommReadCD - Subscript out of range");
  EXPECT_EQ(s->CommSetLine(2, true), 0);
  EXPECT_EQ(s->CommSetLine(7, true), 87);
  EXPECT_EQ(otro->CommSetLine(2, true), 0);  // no port: nothing
  EXPECT_EQ(s->CommFlush(), 0);
  EXPECT_EQ(otro->CommFlush(), 0);
}

TEST_F(SerialClassTest, AWriteInFlightAtCloseIsWrittenAfterTheNextOpen) {
  Loop::Current().UseManualClock(true);
  auto dev = sim::Register("serial-class");
  ComMapping m1(1, "sim:serial-class");
  auto s = clsSerial::Create();
  Eventos ev;
  s->Advise(&ev);
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  dev->Script({sim::WriteStep::Pending});
  s->CommWrite("PRIMERO");
  ASSERT_TRUE(dev->HasPending());
  s->CommWrite("SEGUNDO");
  Loop::Current().RunUntil([] { return false; }, 50);
  EXPECT_EQ(s->CommClose(), 0);
  EXPECT_TRUE(dev->Written().empty());
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  Loop::Current().RunUntil([&] { return dev->Written() == "PRIMEROSEGUNDO"; }, 1000);
  EXPECT_EQ(dev->Written(), "PRIMEROSEGUNDO");
  // A write that fails is reported, with its own number, whenever more text is to go; the text
  // waits, and goes out after the port is opened again.
  dev->Script({sim::WriteStep::Failed, 0, ERROR_GEN_FAILURE});
  s->CommWrite("TERCERO");
  SetLastError(0);
  s->CommWrite("CUARTO");
  EXPECT_EQ(Mensaje(*s),
            "Error (31): CommWrite (WriteFile) - A device attached to the system is not "
            "functioning.\r\n  COMM Error Flags = 0");
  Loop::Current().RunUntil([] { return false; }, 50);
  EXPECT_EQ(dev->Written(), "PRIMEROSEGUNDO");
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  Loop::Current().RunUntil([&] { return dev->Written().size() > 14; }, 1000);
  EXPECT_EQ(dev->Written(), "PRIMEROSEGUNDOTERCEROCUARTO");
  s.reset();
  sim::Unregister("serial-class");
  Loop::Current().UseManualClock(false);
}

TEST_F(SerialClassTest, AHandlerMayDropTheLastReference) {
  Pty a;
  ComMapping m1(1, a.Slave());
  auto s = clsSerial::Create();
  Eventos ev;
  bool soltado = false;
  ev.alLlegar = [&](std::int32_t&) {
    s.reset();
    soltado = true;
  };
  s->Advise(&ev);
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  a.Write("X");
  ASSERT_TRUE(PumpUntil([&] { return soltado; }));
  // The slot went with the object.
  auto otro = clsSerial::Create();
  EXPECT_EQ(otro->CommOpen("COM1"), 1);
}

// Bytes the other end's own input buffer holds (taken from the line, not yet read by the test).
std::size_t YaEnElOtroExtremo(Pty& pty) {
  int n = 0;
  return ioctl(pty.Master(), FIONREAD, &n) == 0 && n > 0 ? static_cast<std::size_t>(n) : 0;
}

TEST_F(SerialClassTest, FlushAbortsTheWriteInFlightClearsTheKernelAndLaterWritesGoOut) {
  Pty a;
  ComMapping m1(1, a.Slave());
  auto s = clsSerial::Create();
  Eventos ev;
  s->Advise(&ev);
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  // The printer takes nothing: the kernel fills up and the rest of the write stays in flight.
  std::string viejo;
  for (int i = 0; viejo.size() < 300000; ++i) viejo += std::to_string(i) + ",";
  s->CommWrite(viejo);
  s->CommWrite("GUARDADO;");  // given while the write runs: the object's own, kept by a flush
  Loop::Current().RunUntil([] { return false; }, 30);
  ASSERT_TRUE(ev.log.empty()) << "the write cannot have finished";
  const std::size_t entregado = YaEnElOtroExtremo(a);
  ASSERT_LT(entregado, viejo.size());

  EXPECT_EQ(s->CommFlush(), 0);
  s->CommWrite("NUEVO");
  std::string llegado;
  ASSERT_TRUE(PumpUntil([&] {
    llegado += a.Read();
    return llegado.size() >= 5 && llegado.compare(llegado.size() - 5, 5, "NUEVO") == 0;
  })) << llegado.size()
      << " bytes arrived";
  // Only what the other end had already taken from the line, then what came after the flush:
  // neither the kernel's queue nor the rest of the aborted write.
  EXPECT_EQ(llegado, viejo.substr(0, entregado) + "GUARDADO;NUEVO");
  Loop::Current().RunUntil([] { return false; }, 50);
  EXPECT_EQ(a.Read(), "");
  // The aborted write reports nothing; the write after the flush (the kept text with the new)
  // does.
  ASSERT_TRUE(PumpUntil([&] { return !ev.log.empty(); }));
  EXPECT_EQ(ev.log, std::vector<std::string>{"DataOut(14)"});
  std::string m;
  EXPECT_EQ(s->CommGetError(m), 0) << m;

  // Input not yet read is cleared too; what the object already read stays for CommRead.
  a.Write("LEIDO");
  ASSERT_TRUE(PumpUntil([&] { return ev.log.size() >= 2; }));
  a.Write("DESCARTADO");
  EXPECT_EQ(s->CommFlush(), 0);
  a.Write("DESPUES");
  ASSERT_TRUE(PumpUntil([&] { return ev.log.size() >= 3; }));
  std::string leido;
  s->CommRead(leido);
  EXPECT_EQ(leido, "LEIDODESPUES");
}

TEST_F(SerialClassTest, AfterAFlushAFailedWriteNoLongerHoldsTheOutput) {
  Loop::Current().UseManualClock(true);
  auto dev = sim::Register("serial-flush");
  ComMapping m1(1, "sim:serial-flush");
  auto s = clsSerial::Create();
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  dev->Script({sim::WriteStep::Pending});
  s->CommWrite("ABORTADO");
  ASSERT_TRUE(dev->HasPending());
  EXPECT_EQ(s->CommFlush(), 0);
  s->CommWrite("UNO");
  Loop::Current().RunUntil([&] { return dev->Written() == "UNO"; }, 1000);
  EXPECT_EQ(dev->Written(), "UNO");
  // A write that failed is dropped by a flush as well, and writing resumes.
  dev->Script({sim::WriteStep::Failed, 0, ERROR_GEN_FAILURE});
  s->CommWrite("FALLIDO");
  EXPECT_EQ(s->CommFlush(), 0);
  s->CommWrite("DOS");
  Loop::Current().RunUntil([&] { return dev->Written() == "UNODOS"; }, 1000);
  EXPECT_EQ(dev->Written(), "UNODOS");
  s.reset();
  sim::Unregister("serial-flush");
  Loop::Current().UseManualClock(false);
}

TEST_F(SerialClassTest, ASinkThatThrowsStopsNeitherTheOtherSinksNorThePort) {
  Pty a;
  ComMapping m1(1, a.Slave());
  auto s = clsSerial::Create();
  struct Lanza : __clsSerial {
    void DataIn(std::int32_t&) override { throw std::runtime_error("host"); }
    void DataOut(std::int32_t&) override { throw Error(5, "denied by the host", "host"); }
  } lanza;
  Eventos ev;
  s->Advise(&lanza);
  s->Advise(&ev);
  ASSERT_EQ(s->CommOpen("COM1"), 1);
  a.Write("A");
  ASSERT_TRUE(PumpUntil([&] { return ev.log.size() == 1; }));
  EXPECT_EQ(ev.log.back(), "DataIn(1)");
  EXPECT_EQ(Mensaje(*s), "Error (51): CommRead - Internal error");
  // Inside CommRead too: the data is handed over and the port check goes on.
  a.Write("B");
  std::string leido;
  ASSERT_TRUE(PumpUntil([&] {
    std::string parte;
    s->CommRead(parte);
    leido += parte;
    return leido == "AB";
  }));
  a.Write("C");
  ASSERT_TRUE(PumpUntil([&] { return !ev.log.empty() && ev.log.back() == "DataIn(1)"; }));
  // Writes go on after a DataOut sink threw.
  s->CommWrite("x");
  ASSERT_TRUE(PumpUntil([&] { return ev.log.back() == "DataOut(1)"; }));
  EXPECT_EQ(Mensaje(*s), "Error (5): CommWrite - denied by the host");
  s->CommWrite("yz");
  ASSERT_TRUE(PumpUntil([&] { return ev.log.back() == "DataOut(2)"; }));
  std::string llegado;
  ASSERT_TRUE(PumpUntil([&] {
    llegado += a.Read();
    return llegado == "xyz";
  }));
}

TEST(SystemMessages, UnknownNumbersAndShortBuffersGiveNothing) {
  auto s = clsSerial::Create();
  EXPECT_EQ(s->GetSystemMessage(5), "Access is denied.\r\n");
  EXPECT_EQ(s->GetSystemMessage(123456), "");
  EXPECT_EQ(s->GetSystemMessage(-1), "");
  char buf[8];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buf, sizeof buf, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), 122u);
  char grande[64];
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, grande, 64, nullptr), 19u);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0x0C0A, grande, 64, nullptr),
            0u);
}

}  // namespace
}  // namespace vtl::testing
