// Host handlers that call back into the object, on network and spooler ports: every event these
// ports raise (from the tick, from a socket event, from the spooler step) handled by each member
// call a host may make, dropping the last reference included. Run under the sanitizers: no crash,
// no wedge (a job queued afterwards is printed), no lost text (everything queued reaches the
// printer at least once, except what ClearAll discards).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "cups_fixture.h"
#include "net_lan_peer.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "prnport_test_access.h"

namespace vtl::testing {
namespace {

using platform::Loop;

enum class Action {
  ClearAll,
  CloseAll,
  InicializarRed,
  InicializarWindows,
  Imprimir,
  EndDocForzar,
  CheckError,
  Drop
};
const Action kActions[] = {Action::ClearAll,           Action::CloseAll, Action::InicializarRed,
                           Action::InicializarWindows, Action::Imprimir, Action::EndDocForzar,
                           Action::CheckError,         Action::Drop};

std::string Name(Action a) {
  const char* names[] = {"ClearAll", "CloseAll",     "InicializarRed", "InicializarWindows",
                         "Imprimir", "EndDocForzar", "CheckError",     "DropLastReference"};
  return names[static_cast<int>(a)];
}

// Records events and, the first time the armed event comes, makes the call.
struct Handler : Recorder {
  std::string trigger;  // an event as the recorder logs it, or its prefix
  std::function<void()> call;
  bool fired = false;

  void Check() {
    if (fired || trigger.empty() || log.back().rfind(trigger, 0) != 0) return;
    fired = true;
    call();
  }
  void DatosImpresos(std::int32_t& c) override {
    Recorder::DatosImpresos(c);
    Check();
  }
  void NuevoEstado(bool& e, bool& p) override {
    Recorder::NuevoEstado(e, p);
    Check();
  }
  void LogoGrabado(std::int32_t& c) override {
    Recorder::LogoGrabado(c);
    Check();
  }
};

// Makes `action` on `port`; `red` and `windows` open a network and a spooler port.
void Perform(Action action, std::shared_ptr<clsPrnPort>& port, const std::function<void()>& red,
             const std::function<void()>& windows) {
  switch (action) {
    case Action::ClearAll:
      port->ClearAll();
      break;
    case Action::CloseAll:
      port->CloseAll();
      break;
    case Action::InicializarRed:
      red();
      break;
    case Action::InicializarWindows:
      windows();
      break;
    case Action::Imprimir:
      port->Imprimir("inner\r\n");
      break;
    case Action::EndDocForzar:
      port->EndDocForzar();
      break;
    case Action::CheckError: {
      bool busy = false, error = false, paper = false;
      port->CheckError(busy, error, paper);
      break;
    }
    case Action::Drop:
      port.reset();
      break;
  }
}

// ---- Network ports ----

enum class NetEvent {
  OpeningError,    // NuevoEstado(1,0) from the tick that creates the socket
  Connected,       // NuevoEstado(0,0) from the connect event
  ErrorReply,      // NuevoEstado(1,1) from a status reply
  PrintedByReply,  // DatosImpresos from a status reply
  ConnectionLost,  // NuevoEstado(1,0) from the close event
  Silence,         // NuevoEstado(1,0) from the tick: the printer stopped answering
  PrintedModeOne,  // DatosImpresos from the tick: a printer without replies took every byte
  UploadFinished,  // LogoGrabado: the end of a logo upload, from a status reply
};
const NetEvent kNetEvents[] = {NetEvent::OpeningError,   NetEvent::Connected,
                               NetEvent::ErrorReply,     NetEvent::PrintedByReply,
                               NetEvent::ConnectionLost, NetEvent::Silence,
                               NetEvent::PrintedModeOne, NetEvent::UploadFinished};

std::string Name(NetEvent e) {
  const char* names[] = {"OpeningError",   "Connected", "ErrorReply",     "PrintedByReply",
                         "ConnectionLost", "Silence",   "PrintedModeOne", "UploadFinished"};
  return names[static_cast<int>(e)];
}

class NetworkReentrancy : public ::testing::TestWithParam<std::tuple<NetEvent, Action>> {
 protected:
  void SetUp() override {
    // A spooler port opened by a handler must not reach the machine's own spooler.
    setenv("CUPS_SERVER", "/nonexistent/vtl-no-cups.sock", 1);
    cupsSetServer(nullptr);
    Loop::Current().UseManualClock(true);
    port = clsPrnPort::Create();
    port->Advise(&handler);
    weak = port;
  }
  void TearDown() override {
    port.reset();
    printer.reset();
    Loop::Current().RunUntil([] { return false; }, 1000);
    Loop::Current().UseManualClock(false);
  }
  bool Pump(const std::function<bool()>& cond, std::int64_t ms = 120'000) {
    return RunUntilAcknowledged(weak, cond, ms);
  }
  void Open() { port->InicializarRed("127.0.0.1", printer->Port()); }

  std::unique_ptr<LoopbackPrinter> printer = std::make_unique<LoopbackPrinter>();
  std::shared_ptr<clsPrnPort> port;
  std::weak_ptr<clsPrnPort> weak;
  Handler handler;
};

TEST_P(NetworkReentrancy, AHandlerMayCallAnyMember) {
  const auto [event, action] = GetParam();
  handler.call = [&, action = action] {
    Perform(
        action, port, [&] { Open(); }, [&] { port->InicializarWindows("vtl_missing_queue"); });
  };
  bool closed = false;
  std::string first = "before\r\n";
  switch (event) {
    case NetEvent::OpeningError:
      handler.trigger = "NuevoEstado(1,0)";
      break;
    case NetEvent::Connected:
      handler.trigger = "NuevoEstado(0,0)";
      break;
    case NetEvent::ErrorReply:
      printer->status = std::string(1, '\x32');
      handler.trigger = "NuevoEstado(1,1)";
      break;
    case NetEvent::PrintedByReply:
      handler.trigger = "DatosImpresos";
      break;
    case NetEvent::ConnectionLost:
      printer->afterRead = [&](LoopbackPrinter& p, const std::string& all) {
        if (!closed && all.find("before\r\n") != std::string::npos) {
          closed = true;
          p.CloseConnection();
        }
      };
      break;
    case NetEvent::Silence:
      break;
    case NetEvent::PrintedModeOne:
      printer->status.clear();
      handler.trigger = "DatosImpresos";
      break;
    case NetEvent::UploadFinished:
      handler.trigger = "LogoGrabado";
      break;
  }

  Open();
  if (event == NetEvent::ConnectionLost) {
    // The first NuevoEstado(1,0) is the opening's; the one that counts comes with the close.
    port->Imprimir(first);
    ASSERT_TRUE(Pump([&] { return handler.Count("NuevoEstado(0,0)") > 0; }));
    handler.trigger = "NuevoEstado(1,0)";
  } else if (event == NetEvent::Silence) {
    port->Imprimir(first);
    ASSERT_TRUE(Pump([&] { return handler.Count("DatosImpresos") > 0; }));
    printer->status.clear();
    first = "silenced\r\n";
    handler.trigger = "NuevoEstado(1,0)";
    port->Imprimir(first);
  } else if (event == NetEvent::UploadFinished) {
    ASSERT_TRUE(Pump([&] { return handler.Count("NuevoEstado(0,0)") > 0; }));
    const std::string bmp = "/nonexistent-logo.bmp";  // a placeholder logo: still an upload
    port->UploadLogo({bmp}, {"X"});
    ASSERT_TRUE(port->Uploading());
    first = "";
  } else {
    port->Imprimir(first);
  }
  ASSERT_TRUE(Pump([&] { return handler.fired; })) << ::testing::PrintToString(handler.log);
  // What a handler does must not bring the object down or wedge it.
  Pump([] { return false; }, 2'000);
  if (action == Action::Drop) {
    Pump([] { return false; }, 30'000);
    EXPECT_TRUE(weak.expired()) << "the object went away once its own steps returned";
    return;
  }

  // The printer is well again; the host opens the network port if its handler left another.
  printer->status = std::string(1, '\x12');
  printer->afterRead = nullptr;
  if (PrnPortTestAccess::TipoPuerto(*port) != eTDPLAN || action == Action::CloseAll) Open();
  const std::int32_t id = port->Imprimir("after\r\n");
  ASSERT_TRUE(Pump([&] { return handler.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; }))
      << ::testing::PrintToString(handler.log);
  const std::string text = printer->Text();
  EXPECT_NE(text.find("after\r\n"), std::string::npos);
  if (action != Action::ClearAll && !first.empty()) {
    EXPECT_NE(text.find(first), std::string::npos) << "the text queued before the handler ran";
  }
  if (action == Action::Imprimir) {
    EXPECT_NE(text.find("inner\r\n"), std::string::npos);
  }
  // No job is reported twice.
  std::vector<std::string> printed;
  for (const auto& e : handler.log) {
    if (e.rfind("DatosImpresos", 0) == 0) {
      EXPECT_EQ(std::count(printed.begin(), printed.end(), e), 0) << e;
      printed.push_back(e);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryEventEveryCall, NetworkReentrancy,
                         ::testing::Combine(::testing::ValuesIn(kNetEvents),
                                            ::testing::ValuesIn(kActions)),
                         [](const ::testing::TestParamInfo<std::tuple<NetEvent, Action>>& p) {
                           return Name(std::get<0>(p.param)) + "_" + Name(std::get<1>(p.param));
                         });

// ---- Spooler ports ----

enum class SpoolEvent {
  FirstTick,  // NuevoEstado(0,0) from the first tick of a port on a queue that exists
  Failure,    // NuevoEstado(1,0) from a document the spooler did not take (its queue went away)
  Printed,    // DatosImpresos after a document
};
const SpoolEvent kSpoolEvents[] = {SpoolEvent::FirstTick, SpoolEvent::Failure, SpoolEvent::Printed};

std::string Name(SpoolEvent e) {
  const char* names[] = {"FirstTick", "Failure", "Printed"};
  return names[static_cast<int>(e)];
}

class SpoolerReentrancy : public ::testing::TestWithParam<std::tuple<SpoolEvent, Action>> {
 protected:
  static void SetUpTestSuite() {
    collector = new Collector;
    cups = new PrivateCups("vtl_queue", collector->Port());
  }
  static void TearDownTestSuite() {
    delete cups;
    delete collector;
    cups = nullptr;
    collector = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(cups->Ready());
    setenv("CUPS_SERVER", cups->Socket().c_str(), 1);
    cupsSetServer(nullptr);
    port = clsPrnPort::Create();
    port->Advise(&handler);
    weak = port;
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 300);
  }
  bool Pump(const std::function<bool()>& cond, std::int64_t ms = 60'000) {
    return Loop::Current().RunUntil(cond, ms);
  }
  void Queue(const std::string& name, bool add) {
    const std::string cmd =
        "CUPS_SERVER=" + cups->Socket() + " /usr/sbin/lpadmin " +
        (add ? "-p " + name + " -E -v 'socket://127.0.0.1:" + std::to_string(collector->Port()) +
                   "/?snmp=false' -m raw"
             : "-x " + name) +
        " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  std::string Received() const {
    std::string all;
    for (const auto& j : collector->Jobs()) all += j;
    return all;
  }

  static Collector* collector;
  static PrivateCups* cups;
  LoopbackPrinter lan;
  std::shared_ptr<clsPrnPort> port;
  std::weak_ptr<clsPrnPort> weak;
  Handler handler;
};
Collector* SpoolerReentrancy::collector = nullptr;
PrivateCups* SpoolerReentrancy::cups = nullptr;

TEST_P(SpoolerReentrancy, AHandlerMayCallAnyMember) {
  const auto [event, action] = GetParam();
  const std::string tag = std::to_string(reinterpret_cast<std::uintptr_t>(this));
  const std::string first = "before " + tag + "\r\n";
  handler.call = [&, action = action] {
    Perform(
        action, port, [&] { port->InicializarWindows("vtl_queue"); },
        [&] { port->InicializarRed("127.0.0.1", lan.Port()); });
  };
  switch (event) {
    case SpoolEvent::FirstTick:
      handler.trigger = "NuevoEstado(0,0)";
      port->InicializarWindows("vtl_queue");
      break;
    case SpoolEvent::Failure:
      // A queue that goes away after the port was opened on it: the document fails.
      Queue("vtl_gone", true);
      port->InicializarWindows("vtl_gone");
      ASSERT_TRUE(Pump([&] { return handler.Count("NuevoEstado(0,0)") > 0; }));
      Queue("vtl_gone", false);
      handler.trigger = "NuevoEstado(1,0)";
      break;
    case SpoolEvent::Printed:
      handler.trigger = "DatosImpresos";
      port->InicializarWindows("vtl_queue");
      break;
  }
  port->Imprimir(first);
  ASSERT_TRUE(Pump([&] { return handler.fired; })) << ::testing::PrintToString(handler.log);
  Pump([] { return false; }, 600);
  if (action == Action::Drop) {
    Pump([] { return false; }, 600);
    EXPECT_TRUE(weak.expired());
    return;
  }

  if (PrnPortTestAccess::TipoPuerto(*port) != eTDPWIN ||
      PrnPortTestAccess::NombrePuerto(*port) != "vtl_queue" || action == Action::CloseAll) {
    port->InicializarWindows("vtl_queue");
  }
  const std::string after = "after " + tag + "\r\n";
  const std::int32_t id = port->Imprimir(after);
  ASSERT_TRUE(Pump([&] { return handler.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; }))
      << ::testing::PrintToString(handler.log);
  ASSERT_TRUE(Pump([&] { return Received().find(after) != std::string::npos; }));
  if (action != Action::ClearAll) {
    ASSERT_TRUE(Pump([&] {
      const std::string all = Received() + lan.Text();
      return all.find(first) != std::string::npos;
    })) << "the text queued before the handler ran";
  }
  if (action == Action::Imprimir) {
    EXPECT_TRUE(
        Pump([&] { return (Received() + lan.Text()).find("inner\r\n") != std::string::npos; }));
  }
  std::vector<std::string> printed;
  for (const auto& e : handler.log) {
    if (e.rfind("DatosImpresos", 0) == 0) {
      EXPECT_EQ(std::count(printed.begin(), printed.end(), e), 0) << e;
      printed.push_back(e);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryEventEveryCall, SpoolerReentrancy,
                         ::testing::Combine(::testing::ValuesIn(kSpoolEvents),
                                            ::testing::ValuesIn(kActions)),
                         [](const ::testing::TestParamInfo<std::tuple<SpoolEvent, Action>>& p) {
                           return Name(std::get<0>(p.param)) + "_" + Name(std::get<1>(p.param));
                         });

}  // namespace
}  // namespace vtl::testing
