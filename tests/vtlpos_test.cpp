// The CUPS backend against a private CUPS server and the virtual printer: the queue shows what
// the printer reports, a job waits for paper instead of failing, every line prints once, and a
// job canceled through CUPS stops at once. The host's spooler port on that queue hears it all.
#if defined(PRINTER_SIM_EXE) && defined(VTLPOS_EXE)

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "cups_fixture.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "printer_process.h"

namespace vtl::testing {
namespace {

using platform::Loop;

// The printed text without its line ends (the printer reports what it printed in runs as they
// come off a slow line).
std::string Joined(const std::vector<std::string>& runs) {
  std::string all;
  for (const std::string& r : runs) {
    for (char c : r) {
      if (c != '\r' && c != '\n') all += c;
    }
  }
  return all;
}

// Runs the backend as CUPS would; its exit status and what it wrote.
int RunBackend(const std::string& uri, const std::vector<std::string>& args, std::string* out) {
  std::string cmd = "DEVICE_URI='" + uri + "' " VTLPOS_EXE;
  for (const std::string& a : args) cmd += " '" + a + "'";
  cmd += " 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return -1;
  char buf[512];
  while (std::fgets(buf, sizeof buf, f)) *out += buf;
  const int status = pclose(f);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Vtlpos, NamesItsSchemeWithoutLookingForDevicesAndRefusesBadUris) {
  std::string out;
  EXPECT_EQ(RunBackend("", {}, &out), 0);
  EXPECT_EQ(out, "network vtlpos \"Unknown\" \"ESC/POS receipt printer with status (vtlpos)\"\n");
  // A wrong setting stops the queue (4) with the reason, and opens nothing.
  for (const char* uri : {"vtlpos:/dev/../etc/passwd", "vtlpos:/tmp/x", "vtlpos://", "vtlpos://h:0",
                          "vtlpos://h:99999", "vtlpos://a b", "vtlpos:/dev/ttyUSB0?baud=12",
                          "vtlpos:/dev/ttyUSB0?parity=odd", "socket://127.0.0.1"}) {
    out.clear();
    EXPECT_EQ(RunBackend(uri, {"1", "u", "t", "1", "", "/dev/null"}, &out), 4) << uri;
    EXPECT_EQ(out.rfind("ERROR: ", 0), 0U) << uri << ": " << out;
  }
}

class VtlposQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(printer.Ok());
    ASSERT_TRUE(cups.Ready());
    port = clsPrnPort::Create();
    port->Advise(&events);
    port->InicializarWindows("vtl_pos");
    ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(0,0)") == 1; }));
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 300);
  }
  bool Pump(const std::function<bool()>& cond) { return Loop::Current().RunUntil(cond, 60'000); }

  // A slow line, so that the printer is still taking the job in when its paper runs out, and
  // reads the status request behind it while out of paper.
  PrinterProcess printer{{"--baud", "9600"}};
  PrivateCups cups{"vtl_pos", "vtlpos://127.0.0.1:" + std::to_string(printer.Port()), VTLPOS_EXE};
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

TEST_F(VtlposQueue, APrinterInTroubleMidJobHoldsTheJobAndEveryoneSeesWhy) {
  const std::string job = Lines("P", 70);
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(Pump([&] { return printer.Printed().size() >= 5; }));
  std::string lpstat;
  const auto alert = [&](const std::string& reason) {
    return Pump([&] {
      return (lpstat = cups.Lpstat("vtl_pos")).find("Alerts: " + reason) != std::string::npos;
    });
  };

  ASSERT_EQ(printer.Control("cover open"), "ok");
  ASSERT_TRUE(alert("cover-open-error")) << lpstat;
  ASSERT_TRUE(Pump([&] { return port->EstadoConocido().tapaAbierta; }))
      << "the host's spooler port hears it from the queue";
  EXPECT_NE(port->EstadoConocido().palabras.find("cover-open-error"), std::string::npos);

  ASSERT_EQ(printer.Control("paper out"), "ok");
  ASSERT_EQ(printer.Control("cover closed"), "ok");
  ASSERT_TRUE(alert("media-empty-error")) << lpstat;
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,1)") == 1; }));
  EXPECT_EQ(events.Count("DatosImpresos"), 0);
  EXPECT_EQ(cups.ActiveJobs("vtl_pos").size(), 1U) << "the job waits; it has not failed";

  ASSERT_EQ(printer.Control("paper ok"), "ok");
  ASSERT_TRUE(Pump([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")"); }));
  EXPECT_TRUE(alert("none")) << lpstat;
  EXPECT_EQ(Joined(printer.Printed()), Joined({job})) << "every line printed once, in order";
  EXPECT_EQ(events.log, (std::vector<std::string>{"NuevoEstado(0,0)", "NuevoEstado(1,0)",
                                                  "NuevoEstado(1,1)", "NuevoEstado(0,0)",
                                                  "DatosImpresos(" + std::to_string(id) + ")"}));
}

TEST_F(VtlposQueue, AJobCanceledThroughCupsStopsAtOnceAndIsNeverReportedPrinted) {
  ASSERT_EQ(printer.Control("busy"), "ok");
  port->Imprimir(Lines("C", 400));
  std::vector<int> ids;
  ASSERT_TRUE(Pump([&] {
    ids = cups.ActiveJobs("vtl_pos");
    return !ids.empty() && !printer.Received().empty();
  })) << "the backend is sending";
  ASSERT_TRUE(cups.Do(IPP_OP_CANCEL_JOB, "vtl_pos", ids[0]));
  ASSERT_TRUE(Pump([&] { return cups.ActiveJobs("vtl_pos").empty(); }));
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 1; }));

  ASSERT_EQ(printer.Control("ready"), "ok");
  const std::int32_t next = port->Imprimir("after the cancel\r\n");
  ASSERT_TRUE(Pump([&] { return events.Count("DatosImpresos") > 0; }));
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"NuevoEstado(0,0)", "NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(next) + ")"}));
}

}  // namespace
}  // namespace vtl::testing

#endif
