// The serial settings form on a pseudo-terminal: what reaches the line, and what stays after the
// form closes the port.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>

#include "channels/serial/formulario.h"
#include "platform/comm.h"
#include "serial_pty.h"

namespace vtl::testing {
namespace {

using C = clsControlSerie;

std::int32_t Long(const std::map<int, ValorControl>& p, int id) {
  return std::get<std::int32_t>(p.at(id));
}

class SerialFormTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.Ok()); }
  termios Line() {
    termios t{};
    const int fd = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(fd, &t);
    ::close(fd);
    return t;
  }
  bool Apply(std::int32_t puerto, std::int32_t velocidad, std::int32_t buff, bool flujo,
             std::int32_t handshake) {
    bool abierto = false;
    frmInitComm::Instance().SetCOmmSettings(puerto, velocidad, buff, abierto, flujo, handshake);
    return abierto;
  }
  Pty pty;
  ComMapping com1{1, pty.Slave()};
};

TEST_F(SerialFormTest, SpeedFramingAndTwoNulsReachTheLine) {
  EXPECT_TRUE(Apply(1, 19200, 16384, true, -1));
  const termios t = Line();
  EXPECT_EQ(cfgetospeed(&t), B19200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
  EXPECT_FALSE(t.c_iflag & IXON);  // hardware handshake by default with the switch on
  EXPECT_EQ(pty.Read(), std::string(2, '\0'));
  auto p = frmInitComm::Instance().UltimosAjustes();
  EXPECT_EQ(std::get<std::string>(p.at(C::kSettings)), "19200,n,8,1");
  EXPECT_EQ(Long(p, C::kHandshaking), eHSKHardware);
  EXPECT_EQ(Long(p, C::kOutBufferSize), 16384);
  EXPECT_EQ(Long(p, C::kInBufferSize), 512);
  EXPECT_TRUE(std::get<bool>(p.at(C::kDTREnable)));
}

TEST_F(SerialFormTest, HandshakeRules) {
  EXPECT_TRUE(Apply(1, 9600, 100, false, -1));
  auto p = frmInitComm::Instance().UltimosAjustes();
  EXPECT_EQ(Long(p, C::kHandshaking), eHSKSoftware);
  EXPECT_EQ(Long(p, C::kOutBufferSize), 512);
  EXPECT_TRUE(Line().c_iflag & IXON);
  EXPECT_TRUE(Line().c_iflag & IXOFF);
  EXPECT_TRUE(Apply(1, 9600, 16384, true, 0));
  EXPECT_EQ(Long(frmInitComm::Instance().UltimosAjustes(), C::kHandshaking), eHSKNone);
  EXPECT_FALSE(Line().c_iflag & IXON);
  EXPECT_TRUE(Apply(1, 9600, 16384, false, 0));
  EXPECT_EQ(Long(frmInitComm::Instance().UltimosAjustes(), C::kHandshaking), eHSKNone);
  EXPECT_TRUE(Apply(1, 9600, 16384, false, 3));
  EXPECT_TRUE(Line().c_iflag & IXON);
}

TEST_F(SerialFormTest, PortZeroOrNegativeMeansPortOne) {
  EXPECT_TRUE(Apply(0, 4800, 16384, true, -1));
  termios t = Line();
  EXPECT_EQ(cfgetospeed(&t), B4800);
  EXPECT_TRUE(Apply(-3, 2400, 16384, true, -1));
  t = Line();
  EXPECT_EQ(cfgetospeed(&t), B2400);
}

TEST_F(SerialFormTest, APortHeldElsewhereIsNotOpenedNorChanged) {
  ASSERT_TRUE(Apply(1, 9600, 16384, true, -1));
  pty.Read();
  const int other = ::open(pty.Slave().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(Apply(1, 38400, 16384, true, -1));
  ::close(other);
  const termios t = Line();
  EXPECT_EQ(cfgetospeed(&t), B9600);
  EXPECT_EQ(pty.Read(), "");
}

TEST_F(SerialFormTest, AMissingPortOrBadSpeedFailsQuietly) {
  EXPECT_FALSE(Apply(9, 9600, 16384, true, -1));  // COM9 is not mapped
  EXPECT_TRUE(Apply(1, 9600, 16384, true, -1));
  EXPECT_TRUE(Apply(1, -1, 16384, true, -1));  // the port opens; the line keeps its speed
  const termios t = Line();
  EXPECT_EQ(cfgetospeed(&t), B9600);
}

}  // namespace
}  // namespace vtl::testing
