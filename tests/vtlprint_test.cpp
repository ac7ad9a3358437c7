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

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "cups_fixture.h"
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
  EXPECT_TRUE(Has(r.out, "event DatosImpresos(2): job printed")) << r.out;
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
  EXPECT_TRUE(Has(r.out, "job printed")) << r.out;
  EXPECT_TRUE(Has(printer.AllReceived(), "\x1b!0CAF\xc9 LA ESQUINA\r\n"));
}
#endif

TEST(Vtlprint, PrintsThroughAQueueOfThePrivateSpooler) {
  vtl::testing::Collector printer;
  vtl::testing::PrivateCups cups("vtl_queue", printer.Port());
  ASSERT_TRUE(cups.Ready());
  const Outcome queues = Vtlprint({"--list-queues"});
  EXPECT_EQ(queues.status, 0);
  EXPECT_TRUE(Has(queues.out, "vtl_queue\n")) << queues.out << queues.err;
  const Outcome r = Vtlprint({"--spooler", "vtl_queue", "--timeout", "60"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Has(r.out, "printing through the spooler queue vtl_queue\n"));
  ASSERT_TRUE(printer.WaitFor(1));
  EXPECT_TRUE(Has(printer.Jobs().at(0), "\x1b!0CAF\xc9 LA ESQUINA\r\n"));
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

}  // namespace

#endif
