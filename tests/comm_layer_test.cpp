// The comm layer on pseudo-terminals and simulated devices: port names, exclusive opening, line
// settings read back, comm events with their history, modem lines of a device without them.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>

#include <cstring>

#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "serial_pty.h"

namespace vtl::testing {
namespace {

using namespace platform;

HANDLE Open(const std::string& name, DWORD flags = FILE_FLAG_OVERLAPPED) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                     0);
}

class CommLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.Ok()); }
  bool PumpUntil(const std::function<bool()>& cond) { return RunUntil(cond, 10'000); }
  Pty pty;
  ComMapping com7{7, pty.Slave()};
};

TEST_F(CommLayerTest, PortNamesMapToTheirEnvironmentVariables) {
  for (const char* name : {"\\\\.\\COM7", "COM7", "com7", "//./COM7", "COM7:"}) {
    HANDLE h = Open(name);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
    CloseHandle(h);
  }
  // Unmapped ports never reach the machine's own devices while tests run.
  EXPECT_EQ(Open("\\\\.\\COM31"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("LPT2"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("COM0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("\\\\.\\COM99999999999"), INVALID_HANDLE_VALUE);
}

TEST_F(CommLayerTest, APortHeldElsewhereIsRefusedWithAccessDenied) {
  const int other = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ::close(other);
  HANDLE h = Open("COM7");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);  // and we hold it ourselves now
  CloseHandle(h);
}

TEST_F(CommLayerTest, LineSettingsReadBackAsSetAndStayAfterClosing) {
  HANDLE h = Open("COM7");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB d;
  ASSERT_TRUE(GetCommState(h, &d));
  d.BaudRate = 19200;
  d.ByteSize = 7;
  d.Parity = EVENPARITY;
  d.StopBits = TWOSTOPBITS;
  d.fBitFields = 0x2315;
  d.XonChar = 17;
  d.XoffChar = 19;
  d.XonLim = 2048;
  d.XoffLim = 14336;
  d.EofChar = 26;
  ASSERT_TRUE(SetCommState(h, &d));
  DCB back;
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(std::memcmp(&d, &back, sizeof d), 0);

  // The device keeps what termios carries. A pseudo-terminal always runs 8 data bits without
  // parity and has no hardware flow control, so those are not expected to outlast the handle.
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  ASSERT_TRUE(SetCommState(h, &d));
  CloseHandle(h);
  termios t{};
  const int fd = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  ::close(fd);
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_iflag & IXON);
  EXPECT_TRUE(t.c_iflag & IXOFF);
  EXPECT_FALSE(t.c_lflag & (ECHO | ICANON));  // raw: bytes pass untouched
  EXPECT_FALSE(t.c_oflag & OPOST);

  h = Open("COM7");
  ASSERT_TRUE(GetCommState(h, &back));
  EXPECT_EQ(back.BaudRate, 19200u);
  EXPECT_EQ(back.ByteSize, 8);
  EXPECT_EQ(back.Parity, NOPARITY);
  EXPECT_EQ(back.StopBits, TWOSTOPBITS);
  EXPECT_EQ(back.XonChar, 17);
  EXPECT_EQ(back.XoffChar, 19);
  EXPECT_EQ(back.fBitFields & (DCB_fOutX | DCB_fInX), DCB_fOutX | DCB_fInX);
  CloseHandle(h);
}

TEST_F(CommLayerTest, EveryParityAndSpeedRoundTrips) {
  HANDLE h = Open("COM7");
  for (BYTE parity : {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY}) {
    for (DWORD baud : {1200u, 9600u, 38400u, 115200u}) {
      DCB d;
      ASSERT_TRUE(GetCommState(h, &d));
      d.Parity = parity;
      d.BaudRate = baud;
      ASSERT_TRUE(SetCommState(h, &d));
      DCB back;
      ASSERT_TRUE(GetCommState(h, &back));
      EXPECT_EQ(back.Parity, parity);
      EXPECT_EQ(back.BaudRate, baud);
    }
  }
  DCB bad;
  GetCommState(h, &bad);
  DCB before = bad;
  bad.BaudRate = 12345;
  EXPECT_FALSE(SetCommState(h, &bad));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  bad = before;
  bad.ByteSize = 9;
  EXPECT_FALSE(SetCommState(h, &bad));
  DCB back;
  GetCommState(h, &back);
  EXPECT_EQ(back.BaudRate, before.BaudRate);
  CloseHandle(h);
}

TEST_F(CommLayerTest, FirstWaitSeesTheLinesOfADeviceWithoutModemLines) {
  HANDLE h = Open("COM7");
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD status = 0;
  ASSERT_TRUE(GetCommModemStatus(h, &status));
  EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
  ASSERT_TRUE(SetCommMask(h, 0x1FFF));
  DWORD mask = 0;
  // Lines up since the opening: remembered, so the wait completes at once.
  EXPECT_TRUE(WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(mask & (EV_CTS | EV_DSR | EV_RLSD), EV_CTS | EV_DSR | EV_RLSD);

  // Nothing new: the wait stays pending until the printer sends something.
  mask = 0;
  EXPECT_FALSE(WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
  pty.Write(std::string("\x14\x00", 2));
  ASSERT_TRUE(PumpUntil([&] { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }));
  EXPECT_TRUE(mask & EV_RXCHAR);
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(n, 2u);  // bytes waiting
  char buf[8] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(h, buf, n, &got, &ov));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(buf[0], '\x14');

  // Output drained gives EV_TXEMPTY.
  ASSERT_FALSE(WaitCommEvent(h, &mask, &ov));
  DWORD written = 0;
  OVERLAPPED wov{};
  wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  WriteFile(h, "ab", 2, &written, &wov);
  ASSERT_TRUE(PumpUntil([&] { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }));
  EXPECT_TRUE(mask & EV_TXEMPTY);
  EXPECT_EQ(pty.Read(), "ab");

  // A hang-up takes every line down, and the pending wait sees it.
  ASSERT_FALSE(WaitCommEvent(h, &mask, &ov));
  pty.HangUp();
  ASSERT_TRUE(PumpUntil([&] { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }));
  EXPECT_EQ(mask & (EV_CTS | EV_DSR), EV_CTS | EV_DSR);
  ASSERT_TRUE(GetCommModemStatus(h, &status));
  EXPECT_EQ(status, 0u);
  CloseHandle(h);
  CloseHandle(ov.hEvent);
  CloseHandle(wov.hEvent);
}

TEST_F(CommLayerTest, CancelIoEndsAPendingWaitAndPurgeDropsInput) {
  HANDLE h = Open("COM7");
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetCommMask(h, EV_RXCHAR);
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(h, &mask, &ov));
  EXPECT_TRUE(CancelIo(h));
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

  pty.Write("xyz");
  COMSTAT st;
  DWORD errors = 0;
  ASSERT_TRUE(PumpUntil([&] {
    ClearCommError(h, &errors, &st);
    return st.cbInQue == 3;
  }));
  EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
  ClearCommError(h, &errors, &st);
  EXPECT_EQ(st.cbInQue, 0u);
  CloseHandle(h);
  CloseHandle(ov.hEvent);
}

TEST_F(CommLayerTest, ControlLinesOnAPtySucceedAndChangeNothing) {
  HANDLE h = Open("COM7");
  for (DWORD f : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK}) {
    EXPECT_TRUE(EscapeCommFunction(h, f)) << f;
  }
  EXPECT_FALSE(EscapeCommFunction(h, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(EscapeCommFunction(h, 10));
  CloseHandle(h);
  EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(CommLayerTest, TimeoutsAreKeptPerHandle) {
  HANDLE h = Open("COM7");
  COMMTIMEOUTS t{3, 1, 1, 3, 1};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
  COMMTIMEOUTS back{};
  ASSERT_TRUE(GetCommTimeouts(h, &back));
  EXPECT_EQ(std::memcmp(&t, &back, sizeof t), 0);
  EXPECT_TRUE(SetupComm(h, 512, 16384));
  EXPECT_FALSE(SetupComm(h, 0, 16384));
  EXPECT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
}

TEST(CommDcbText, BothFormsAndEveryKeyATerminalCanHonour) {
  DCB d;
  ASSERT_TRUE(BuildCommDCBA("9600,n,8,1", &d));
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  ASSERT_TRUE(BuildCommDCBA("baud=19200 parity=E data=7 stop=2", &d));
  EXPECT_EQ(d.Parity, EVENPARITY);
  EXPECT_EQ(d.StopBits, TWOSTOPBITS);
  d.BaudRate = 4800;
  d.fBitFields = DCB_fOutxCtsFlow | DCB_fOutX | DCB_fInX;
  ASSERT_TRUE(BuildCommDCBA("baud=96 parity=o data=7 stop=1.5", &d));
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.Parity, ODDPARITY);
  EXPECT_EQ(d.ByteSize, 7);
  EXPECT_EQ(d.StopBits, ONE5STOPBITS);
  // Flow control not named is off.
  EXPECT_FALSE(d.fBitFields & (DCB_fOutxCtsFlow | DCB_fOutX | DCB_fInX));
  ASSERT_TRUE(BuildCommDCBA("COM3: baud=19200 xon=on octs=on rts=hs dtr=off to=on", &d));
  EXPECT_EQ(d.BaudRate, 19200u);
  EXPECT_TRUE(d.fBitFields & DCB_fOutX);
  EXPECT_TRUE(d.fBitFields & DCB_fOutxCtsFlow);
  EXPECT_EQ((d.fBitFields >> DCB_fRtsControlShift) & 3, RTS_CONTROL_HANDSHAKE);
  EXPECT_EQ((d.fBitFields >> DCB_fDtrControlShift) & 3, DTR_CONTROL_DISABLE);
  ASSERT_TRUE(BuildCommDCBA("baud=110", &d));
  EXPECT_EQ(d.StopBits, TWOSTOPBITS);
  ASSERT_TRUE(BuildCommDCBA("com1:9600, N, 8, 1, p", &d));
  EXPECT_TRUE(d.fBitFields & DCB_fOutxCtsFlow);
  ASSERT_TRUE(BuildCommDCBA("9600,n,8,1,x", &d));
  EXPECT_TRUE(d.fBitFields & DCB_fInX);
  EXPECT_FALSE(d.fBitFields & DCB_fOutxCtsFlow);
  ASSERT_TRUE(BuildCommDCBA("baud=9600 odsr=off idsr=off rts=on", &d));

  const DCB antes = d;
  for (const char* bad : {"",
                          "9600",
                          "-1,n,8,1",
                          "9600,x,8,1",
                          "9600,n,9,1",
                          "9600,n,8,3",
                          "9600,n,8,1,5",
                          "baud=fast",
                          "baud=",
                          "=9600",
                          "baud=9600 data=9",
                          "baud=9600 stop=3",
                          "baud=9600 xon=maybe",
                          "baud=0",
                          "baud=99999999999",
                          "speed=9600",
                          "9600,n,8",
                          "9600,n,8,1,q",
                          "COM1:",
                          "   "}) {
    EXPECT_FALSE(BuildCommDCBA(bad, &d)) << bad;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << bad;
    EXPECT_EQ(std::memcmp(&d, &antes, sizeof d), 0) << bad;
  }
  for (const char* imposible :
       {"baud=9600 odsr=on", "baud=9600 idsr=on", "baud=9600 dtr=hs", "baud=9600 rts=tg"}) {
    EXPECT_FALSE(BuildCommDCBA(imposible, &d)) << imposible;
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << imposible;
  }
}

TEST(CommSimulated, ModemLinesComeAndGoAsEvents) {
  auto dev = sim::Register("comm-sim");
  dev->SetModemStatus(0);
  HANDLE h = Open("sim:comm-sim");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetCommMask(h, EV_CTS | EV_DSR | EV_RING | EV_RLSD);
  DWORD mask = 0;
  ASSERT_FALSE(WaitCommEvent(h, &mask, &ov));
  dev->SetModemStatus(MS_DSR_ON);
  Loop::Current().DoEvents();
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(mask, EV_DSR);
  // Changes while no wait is outstanding are remembered for the next one.
  dev->SetModemStatus(MS_DSR_ON | MS_CTS_ON | MS_RING_ON);
  Loop::Current().DoEvents();
  EXPECT_TRUE(WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(mask, EV_CTS | EV_RING);
  EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
  EXPECT_EQ(dev->Escapes(), std::vector<DWORD>{SETDTR});
  EXPECT_TRUE(dev->Dtr());
  CloseHandle(h);
  CloseHandle(ov.hEvent);
  sim::Unregister("comm-sim");
}

TEST(CommFiles, CommCallsOnAPlainFileFail) {
  char path[] = "/tmp/vtl-comm-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  HANDLE h = Open(path);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD status = 0;
  EXPECT_FALSE(GetCommModemStatus(h, &status));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  DWORD mask = 0;
  EXPECT_FALSE(WaitCommEvent(h, &mask, nullptr));
  COMMTIMEOUTS t{0, 0, 0, 0, 90000};
  EXPECT_TRUE(SetCommTimeouts(h, &t));  // parallel ports keep write time-outs too
  CloseHandle(h);
  ::unlink(path);
}

}  // namespace
}  // namespace vtl::testing
