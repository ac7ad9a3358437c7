// vtlprint as its users run it: a child process with its output and exit status, printing on a
// simulated printer, on the virtual printer over TCP, and failing to open devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cups_fixture.h"
#include "logo_fixture.h"
#include "printer_process.h"
#include "serial_pty.h"

#ifdef VTLPRINT_EXE

extern char** environ;

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs vtlprint with `args`, in this process's environment with `env` ("NAME=value") on top.
Outcome Vtlprint(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  std::vector<std::string> argStore{VTLPRINT_EXE};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& mine : env) {
      replaced =
          replaced || entry.compare(0, entry.find('=') + 1, mine, 0, mine.find('=') + 1) == 0;
    }
    if (!replaced) envStore.push_back(entry);
  }
  envStore.insert(envStore.end(), env.begin(), env.end());
  std::vector<char*> argv, envp;
  for (auto& a : argStore) argv.push_back(a.data());
  for (auto& e : envStore) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  Outcome r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, VTLPRINT_EXE, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(out[0]);
    close(err[0]);
    return r;
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  int open = 2;
  while (open > 0 && std::chrono::steady_clock::now() < end) {
    if (poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (open > 0) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Vtlprint, PrintsTheSampleReceiptOnASimulatedPrinterAndShowsEveryWrite) {
  const Outcome r = Vtlprint({"--sim", "--cut"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(
      std::regex_search(r.out, std::regex("opening COM[0-9]+ \\(sim:vtlprint\\) at 9600 baud")))
      << r.out;
  EXPECT_TRUE(Has(r.out, "event NuevoEstado(tmpError=False, tmpSinPapel=False): printer ready"));
  // The cut belongs to the job: the number queued is the number printed.
  EXPECT_TRUE(Has(r.out, "queued job 1: 293 bytes\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "event DatosImpresos(1): job 1 printed\n")) << r.out;
  // The table for Windows-1252 first, the text in it, the cut last.
  EXPECT_TRUE(Has(r.out, "<ESC>t<10><ESC>a<01><ESC>!0CAFÉ LA ESQUINA<CR><LF>")) << r.out;
  EXPECT_TRUE(Has(r.out, "2 x Café con leche        3,20 €<CR><LF>")) << r.out;
  EXPECT_LT(r.out.find("Gracias"), r.out.rfind("<ESC>i"));
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\ndevice received [0-9]+ bytes in [0-9]+ "
                                                  "writes?\n$")))
      << r.out;
  EXPECT_EQ(r.err, "");
}

TEST(Vtlprint, ADeviceThatWillNotOpenIsReportedAloneWithItsReason) {
  const Outcome missing = Vtlprint({"--device", "/nonexistent-vtl/ttyPRINTER"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(std::regex_match(missing.err,
                               std::regex("vtlprint: cannot open COM[0-9]+ "
                                          "\\(/nonexistent-vtl/ttyPRINTER\\): no such device\n")))
      << missing.err;
  EXPECT_EQ(missing.out, "");

  // Another program holds the line.
  vtl::testing::Pty pty;
  ASSERT_TRUE(pty.Ok());
  const int held = open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  const Outcome busy = Vtlprint({"--device", pty.Slave()});
  close(held);
  EXPECT_EQ(busy.status, 1);
  EXPECT_TRUE(Has(busy.err, "(" + pty.Slave() +
                                "): access denied (another program holds the port, or no "
                                "permission)\n"))
      << busy.err;
  EXPECT_EQ(busy.out, "");
}

#ifdef PRINTER_SIM_EXE
TEST(Vtlprint, PrintsOnTheVirtualPrinterOverTheNetwork) {
  vtl::testing::PrinterProcess printer;
  ASSERT_TRUE(printer.Ok());
  const std::string address = "127.0.0.1:" + std::to_string(printer.Port());
  const Outcome r = Vtlprint({"--lan", address, "--cut", "--timeout", "30"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "connecting to " + address + "\n"));
  EXPECT_TRUE(Has(r.out, "event DatosImpresos(1): job 1 printed\n")) << r.out;
  EXPECT_TRUE(Has(printer.AllReceived(), "\x1b!0CAF\xc9 LA ESQUINA\r\n"));
}
#endif

TEST(Vtlprint, PrintsThroughAQueueOfThePrivateSpooler) {
  vtl::testing::Collector printer;
  vtl::testing::PrivateCups cups("vtl_queue", printer.Port());
  ASSERT_TRUE(cups.Ready());
  const Outcome queues = Vtlprint({"--list-queues"});
  EXPECT_EQ(queues.status, 0);
  EXPECT_TRUE(Has(queues.out, "vtl_queue\tidle\n")) << queues.out << queues.err;
  const Outcome r = Vtlprint({"--spooler", "vtl_queue", "--timeout", "60"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "printing through the spooler queue vtl_queue\n"));
  ASSERT_TRUE(printer.WaitFor(1));
  EXPECT_TRUE(Has(printer.Jobs().at(0), "\x1b!0CAF\xc9 LA ESQUINA\r\n"));

  // A stopped queue: the list and the job say so in the spooler's words, and the job is not
  // called printed.
  ASSERT_TRUE(cups.Do(IPP_OP_PAUSE_PRINTER, "vtl_queue"));
  EXPECT_TRUE(Has(Vtlprint({"--list-queues"}).out, "vtl_queue\tstopped, paused\n"));
  const Outcome stopped = Vtlprint({"--spooler", "vtl_queue", "--timeout", "60"});
  EXPECT_EQ(stopped.status, 3) << stopped.out << stopped.err;
  EXPECT_TRUE(Has(stopped.out, "the spooler reports: queue stopped, paused")) << stopped.out;
}

TEST(Vtlprint, BadUsageAndQueriesKeepTheirExitStatus) {
  EXPECT_EQ(Vtlprint({"--serial", "0"}).err,
            "vtlprint: --serial takes a port number from 1 to 255\n");
  const Outcome both = Vtlprint({"--sim", "--lan", "127.0.0.1"});
  EXPECT_EQ(both.status, 2);
  EXPECT_TRUE(Has(both.err, "choose one of")) << both.err;
  EXPECT_EQ(Vtlprint({"--bogus"}).status, 2);
  const Outcome unread = Vtlprint({"--sim", "/nonexistent-vtl/receipt.txt"});
  EXPECT_EQ(unread.status, 1);
  EXPECT_EQ(unread.err, "vtlprint: cannot read /nonexistent-vtl/receipt.txt\n");

  // A queue the spooler does not have (no spooler answers at all here).
  const Outcome queue =
      Vtlprint({"--spooler", "NoSuchQueue"}, {"CUPS_SERVER=/nonexistent-vtl/cups.sock"});
  EXPECT_EQ(queue.status, 1);
  EXPECT_EQ(queue.err,
            "vtlprint: the spooler has no queue NoSuchQueue (see vtlprint --list-queues)\n");

  // The ports that can be opened now, with their devices.
  const std::string file =
      (std::filesystem::temp_directory_path() / ("vtl-port-" + std::to_string(getpid()))).string();
  std::ofstream(file).put('\n');
  const Outcome ports = Vtlprint({"--list-ports"}, {"VTL_COM3=" + file, "VTL_NO_SYSTEM_PORTS=1"});
  std::filesystem::remove(file);
  EXPECT_EQ(ports.status, 0);
  EXPECT_TRUE(Has(ports.out, "COM3 " + file + "\n")) << ports.out;
}

// ---- Daily use: state, drawer, scripts, progress, logos, the support trace ----

#ifdef PRINTER_SIM_EXE
// The state of a network printer in each condition of the virtual printer: what the replies to
// the status request tell (cover open, paper end and errors stop it; the port does not tell
// them apart, but says paper out).
TEST(VtlprintStatus, SaysInWordsWhatANetworkPrinterReports) {
  vtl::testing::PrinterProcess printer;
  ASSERT_TRUE(printer.Ok());
  const std::string address = "127.0.0.1:" + std::to_string(printer.Port());
  struct Case {
    std::vector<std::string> control;
    int status;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{}, 0, {": printer ready\n", "paper out: no\n", "cover:     closed\n"}},
      {{"paper near-end"}, 0, {": printer ready\n"}},
      {{"paper out"}, 3, {": printer in error\n", "paper out: yes\n", "cover:     unknown"}},
      {{"paper ok", "cover open"},
       3,
       {": printer in error\n", "paper out: no\n", "cover:     open"}},
      {{"cover closed", "error"}, 3, {": printer in error\n", "cover:     open, or the printer"}},
      {{"error clear"}, 0, {": printer ready\n", "drawer:    not reported on this port\n"}},
  };
  for (const Case& c : cases) {
    for (const std::string& command : c.control) ASSERT_EQ(printer.Control(command), "ok");
    const Outcome r = Vtlprint({"--lan", address, "--status"});
    const std::string what = c.control.empty() ? "ready" : c.control.back();
    EXPECT_EQ(r.status, c.status) << what << "\n" << r.out << r.err;
    for (const std::string& line : c.lines) EXPECT_TRUE(Has(r.out, line)) << what << "\n" << r.out;
  }
  // Nothing was printed: the request rode on two NUL bytes.
  EXPECT_EQ(printer.Printed().size(), 0u);

  // For scripts, the same as one JSON object.
  ASSERT_EQ(printer.Control("paper out"), "ok");
  const Outcome json = Vtlprint({"--lan", address, "--status", "--json"});
  EXPECT_EQ(json.status, 3);
  EXPECT_TRUE(Has(json.out, "{\"event\":\"status\",\"port\":\"" + address +
                                "\",\"kind\":\"network\",\"state\":\"in error\",\"ready\":false,"
                                "\"error\":true,\"paper_out\":true,"))
      << json.out;
  EXPECT_TRUE(Has(json.out, "\"on_line\":null,\"drawer_open\":null}\n")) << json.out;
  EXPECT_TRUE(Has(json.out, "{\"event\":\"exit\",\"status\":3}\n")) << json.out;
}

// A serial printer reports its drawer and on-line state by itself (automatic status back).
TEST(VtlprintStatus, ReportsTheDrawerAndOnLineStateOfASerialPrinter) {
  vtl::testing::PrinterProcess printer({"--pty"});
  ASSERT_TRUE(printer.Ok());
  ASSERT_FALSE(printer.Pty().empty());
  Outcome r = Vtlprint({"--device", printer.Pty(), "--status"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, ": printer ready\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "on line:   yes\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "drawer:    closed\n")) << r.out;

  ASSERT_EQ(printer.Control("drawer open"), "ok");
  r = Vtlprint({"--device", printer.Pty(), "--status"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "drawer:    open\n")) << r.out;

  // Off line at the opening, the printer leaves the request for its state waiting: only its
  // lines (up on a pseudo-terminal) speak for it, and the output says so.
  ASSERT_EQ(printer.Control("offline"), "ok");
  r = Vtlprint({"--device", printer.Pty(), "--status"});
  EXPECT_TRUE(Has(r.out, ": printer ready by its lines (it sent no status of its own)\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "cover:     unknown\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "on line:   not reported by the printer\n")) << r.out;
}

// The drawer kick goes to the printer as ESC p on the pin asked for; a printer that cannot take
// it (paper out) is reported, not told to have opened the drawer.
TEST(VtlprintDrawer, KicksTheDrawerOnItsPinOrSaysWhyNot) {
  vtl::testing::PrinterProcess printer({"--drawer-close-ms", "0"});
  ASSERT_TRUE(printer.Ok());
  const std::string address = "127.0.0.1:" + std::to_string(printer.Port());
  Outcome r = Vtlprint({"--lan", address, "--drawer", "5"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "queued job 1: drawer kick on pin 5\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "event DatosImpresos(1): job 1 printed\n")) << r.out;
  EXPECT_TRUE(Has(printer.AllReceived(), std::string("\x1bp\x01\x19\xfa", 5)));
  EXPECT_TRUE(Has(printer.Control("status"), "\"drawer\":\"open\"")) << printer.Control("status");
  EXPECT_EQ(printer.Printed().size(), 0u);  // a kick alone prints nothing

  ASSERT_EQ(printer.Control("drawer closed"), "ok");
  ASSERT_EQ(printer.Control("paper out"), "ok");
  r = Vtlprint({"--lan", address, "--drawer", "--timeout", "2"});
  EXPECT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "queued job 1: drawer kick on pin 2\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "printed")) << r.out;
  EXPECT_EQ(r.err, "vtlprint: the printer reports paper out; the job is not finished\n");
  EXPECT_TRUE(Has(printer.Control("status"), "\"drawer\":\"closed\""));

  EXPECT_EQ(Vtlprint({"--lan", address, "--drawer", "3"}).status, 2);
}

// A long job goes in pieces, and its progress is what the printer has confirmed: each piece is
// a job, reported printed by the library before the next is queued. Scripts get it as JSON.
TEST(VtlprintProgress, ALongJobReportsTheBytesThePrinterConfirmed) {
  vtl::testing::PrinterProcess printer;
  ASSERT_TRUE(printer.Ok());
  const std::string file =
      (std::filesystem::temp_directory_path() / ("vtl-long-" + std::to_string(getpid()) + ".txt"))
          .string();
  {
    std::ofstream f(file);
    for (int i = 0; i < 120; ++i) f << "Line " << i << ": café con leche ........ 1,60 €\n";
  }
  const Outcome r =
      Vtlprint({"--lan", "127.0.0.1:" + std::to_string(printer.Port()), "--json", "--cut", file});
  std::filesystem::remove(file);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::vector<long> done;
  long total = 0;
  int queued = 0, printed = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m,
                          std::regex("\"event\":\"progress\",\"what\":\"printed\","
                                     "\"done\":([0-9]+),\"total\":([0-9]+)"))) {
      done.push_back(std::stol(m[1]));
      total = std::stol(m[2]);
    }
    // Every piece queued is reported printed, in order, before the next one is queued.
    if (std::regex_search(line, m, std::regex("\"event\":\"queued\",\"job\":([0-9]+)"))) {
      EXPECT_EQ(std::stoi(m[1]), ++queued);
      EXPECT_EQ(printed, queued - 1);
    }
    if (std::regex_search(line, m, std::regex("\"event\":\"DatosImpresos\",\"job\":([0-9]+)"))) {
      EXPECT_EQ(std::stoi(m[1]), ++printed);
    }
  }
  EXPECT_GE(queued, 2) << r.out;
  EXPECT_EQ(printed, queued);
  ASSERT_FALSE(done.empty()) << r.out;
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_EQ(done.back(), total);
  EXPECT_TRUE(Has(r.out, "{\"event\":\"exit\",\"status\":0}\n"));
  // The whole text reached the printer once, in order, and was cut once at its end.
  const std::string received = printer.AllReceived();
  std::size_t at = 0;
  for (int i = 0; i < 120; ++i) {
    const std::size_t next = received.find("Line " + std::to_string(i) + ":", at);
    ASSERT_NE(next, std::string::npos) << "line " << i;
    at = next;
  }
  EXPECT_EQ(received.find("Line 0:", 1 + received.find("Line 0:")), std::string::npos);
  EXPECT_EQ(printer.Count("receipt"), 1);
}
#endif

// Logos without a name have nothing to test-print: the upload's end is the end.
TEST(VtlprintLogo, AnUnnamedLogoFinishesWhenTheUploadDoes) {
  const std::string bmp =
      (std::filesystem::temp_directory_path() / ("vtl-logo-" + std::to_string(getpid()) + ".bmp"))
          .string();
  std::ofstream(bmp, std::ios::binary)
      << vtl::testing::Bitmap(64, 24, 0xFF, [](int x, int y) { return (x + y) % 3 == 0; });
  const auto start = std::chrono::steady_clock::now();
  const Outcome r = Vtlprint({"--sim", "--logo", bmp, "--timeout", "30"});
  const auto took = std::chrono::steady_clock::now() - start;
  std::filesystem::remove(bmp);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "event LogoGrabado(1): the logos are stored\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "test print")) << r.out;
  EXPECT_LT(took, std::chrono::seconds(20));
}

#ifdef PRINTER_SIM_EXE
// --trace: one file with the opening, the bytes both ways and the events; never written through
// a link put in its place.
TEST(VtlprintTrace, TheTraceHoldsTheOpeningTheBytesAndTheEvents) {
  vtl::testing::PrinterProcess printer;
  ASSERT_TRUE(printer.Ok());
  const std::string address = "127.0.0.1:" + std::to_string(printer.Port());
  const std::string trace = printer.Dir() + "/trace.txt";
  const Outcome r = Vtlprint({"--lan", address, "--trace", trace});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::ifstream f(trace);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string t = ss.str();
  EXPECT_TRUE(Has(t, "trace of vtldllxt ")) << t;
  EXPECT_TRUE(Has(t, "port opens: network printer " + address)) << t;
  EXPECT_TRUE(Has(t, "connected to " + address + "\n")) << t;
  // "CAFÉ LA" in Windows-1252, as it went out, and the status reply that came back.
  EXPECT_TRUE(Has(t, "43 41 46 c9 20 4c 41")) << t;
  EXPECT_TRUE(
      std::regex_search(t, std::regex("received from " + address + ", 1 bytes\n +000000  12 ")))
      << t;
  EXPECT_TRUE(Has(t, "event NuevoEstado(tmpError=False, tmpSinPapel=False)\n")) << t;
  EXPECT_TRUE(Has(t, "event DatosImpresos(1)\n")) << t;
  EXPECT_TRUE(std::regex_search(t, std::regex("\n20[0-9-]+ [0-9:.]+ #1 Imprimir: ")));

  // A link where the trace should be: nothing is written through it.
  const std::string target = printer.Dir() + "/elsewhere.txt";
  std::ofstream(target) << "untouched";
  const std::string link = printer.Dir() + "/link.txt";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const Outcome linked = Vtlprint({"--lan", address, "--trace", link});
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(Has(linked.err, "vtldllxt: the trace cannot be written to " + link)) << linked.err;
  std::ifstream t2(target);
  std::string content;
  std::getline(t2, content);
  EXPECT_EQ(content, "untouched");
}
#endif

}  // namespace

#endif
