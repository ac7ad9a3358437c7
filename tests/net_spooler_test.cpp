#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "cups_fixture.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "prnport_test_access.h"
#include "serial_pty.h"

namespace vtl::testing {
namespace {

using platform::Loop;

class SpoolerChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 300);
  }
  bool Pump(const std::function<bool()>& cond) { return Loop::Current().RunUntil(cond, 60'000); }
  bool Printed(std::int32_t id) {
    return Pump([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; });
  }

  Collector printer;
  std::unique_ptr<PrivateCups> cups = std::make_unique<PrivateCups>("vtl_queue", printer.Port());
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

TEST_F(SpoolerChannel, EachTickWithDataIsOneRawDocumentNamedAfterTheHandleOrDocName) {
  ASSERT_TRUE(cups->Ready());
  port->InicializarWindows("vtl_queue");
  // The queue opens off the host thread; the handle comes when the spooler has answered.
  ASSERT_TRUE(Pump([&] { return PrnPortTestAccess::Handle(*port) != 0; }));
  const platform::HANDLE h = PrnPortTestAccess::Handle(*port);
  port->Imprimir("Caf\xe9 \x80\r");
  port->Imprimir(std::string("\x1d\x56\x42\x00", 4), true);
  ASSERT_TRUE(Printed(2));
  ASSERT_TRUE(printer.WaitFor(1));
  EXPECT_EQ(printer.Jobs()[0], std::string("Caf\xe9 \x80\r\n\x1d\x56\x42\x00\x00", 13))
      << "both texts in one document, as given, and the closing zero byte";
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)", "DatosImpresos(2)"}));

  ASSERT_TRUE(Printed(port->Imprimir("second\n")));
  port->DocName = "Caja 1";
  ASSERT_TRUE(Printed(port->Imprimir("third\n")));
  ASSERT_TRUE(printer.WaitFor(3));
  const std::string hs = std::to_string(h);
  EXPECT_EQ(cups->JobTitles("vtl_queue"),
            (std::vector<std::string>{"VTL:" + hs + "(1)", "VTL:" + hs + "(2)", "VTL:Caja 1"}));
  EXPECT_EQ(events.Count("NuevoEstado"), 1) << "only the first tick reports the state";
  port->CloseAll();
  EXPECT_EQ(PrnPortTestAccess::Handle(*port), 0);
}

TEST_F(SpoolerChannel, NoSpoolerAtAllMeansAnErrorNotAHang) {
  cups.reset();
  port->InicializarWindows("vtl_queue");
  port->Imprimir("x\n");
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") > 0; }));
  EXPECT_TRUE(Pump([&] { return port->OutBufferCount() == 3; })) << "the text waits";
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
}

// A print server that takes connections and never says a word.
class SilentServer {
 public:
  SilentServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return;
    }
    port_ = ntohs(a.sin_port);
  }
  ~SilentServer() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST(SpoolerSilent, NoCallWaitsForASpoolerThatNeverAnswers) {
  SilentServer server;
  ASSERT_GT(server.Port(), 0);
  EnvVar cupsServer{"CUPS_SERVER", ("127.0.0.1:" + std::to_string(server.Port())).c_str()};
  auto port = clsPrnPort::Create();
  Recorder events;
  port->Advise(&events);
  // Real time: the spooler's own time-outs run for seconds; none of them may reach the host.
  const auto longest = [](auto&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - start;
  };
  std::chrono::steady_clock::duration worst{};
  worst = std::max(worst, longest([&] { port->InicializarWindows("silent_queue"); }));
  worst = std::max(worst, longest([&] { port->Imprimir("waits\n"); }));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < end) {
    worst = std::max(worst, longest([] { platform::DoEvents(); }));
    bool b = false, e = false, p = false;
    worst = std::max(worst, longest([&] { port->CheckError(b, e, p); }));
    ::usleep(5000);
  }
  worst = std::max(worst, longest([&] { port->CloseAll(); }));
  worst = std::max(worst, longest([&] { port.reset(); }));
  EXPECT_LT(worst, std::chrono::seconds(1));
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
}

}  // namespace
}  // namespace vtl::testing
