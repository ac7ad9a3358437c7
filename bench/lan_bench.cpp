// Network and spooler printers at their own pace. Against the virtual printer over loopback TCP:
// 100 receipts of 40 lines of 42 characters with a cut each, to a printer printing 40 and 90
// lines a second and to one that prints at once without drawing receipts (time to the last
// DatosImpresos, the printer's own printing time and the ratio, the host thread's CPU); the time
// from Imprimir to the first byte of a one-line job on a connected port; and 100 one-receipt
// vtlprint runs over the network and through a private spooler, per call.
// Usage: vtl_lan_bench PATH-TO-printer-sim PATH-TO-vtlprint [receipts|first|vtlprint|idle|mb]...
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cups_fixture.h"
#include "objects/prnport.h"
#include "platform/loop.h"

extern char** environ;

namespace {

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Child {
  pid_t pid = -1;
  int port = 0;
};

Child StartPrinter(const std::string& program, int linesPerSecond, const std::string& out) {
  int fds[2];
  if (pipe(fds) != 0) std::exit(2);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::string speed = std::to_string(linesPerSecond);
  std::vector<std::string> args = {program, "--port", "0",     "--no-stdin", "--quiet",
                                   "--out", out,      "--log", "/dev/null"};
  if (linesPerSecond > 0) {
    args.push_back("--print-speed");
    args.push_back(speed);
  } else {
    args.push_back("--no-render");
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    std::exit(2);
  close(fds[1]);
  std::string line;
  char ch;
  while (read(fds[0], &ch, 1) == 1 && ch != '\n') line += ch;
  const auto colon = line.rfind(':');
  if (line.find("listening on") == std::string::npos || colon == std::string::npos) {
    std::fprintf(stderr, "printer-sim said: %s\n", line.c_str());
    std::exit(2);
  }
  c.port = std::atoi(line.c_str() + colon + 1);
  return c;
}

void StopPrinter(Child& c) {
  kill(c.pid, SIGTERM);
  int status = 0;
  waitpid(c.pid, &status, 0);
}

struct Done : vtl::__clsPrnPort {
  std::int32_t last = 0;
  double at = 0;
  void DatosImpresos(std::int32_t& n) override {
    last = n;
    at = Seconds(CLOCK_MONOTONIC);
  }
};

void Run(const std::string& program, const char* name, int linesPerSecond, const std::string& text,
         int jobs) {
  char dir[] = "/tmp/vtl-lan-bench-XXXXXX";
  if (!mkdtemp(dir)) std::exit(2);
  Child printer = StartPrinter(program, linesPerSecond, dir);
  auto port = vtl::clsPrnPort::Create();
  Done done;
  port->Advise(&done);
  const double start = Seconds(CLOCK_MONOTONIC);
  const double cpuStart = Seconds(CLOCK_THREAD_CPUTIME_ID);
  port->InicializarRed("127.0.0.1", printer.port);
  std::int32_t id = 0;
  for (int i = 0; i < jobs; ++i) id = port->Imprimir(text);
  const bool ok = vtl::platform::RunUntil([&] { return done.last == id; }, 600'000);
  const double cpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
  const double elapsed = done.at - start;
  const double bytes = static_cast<double>(text.size()) * jobs;
  std::printf("%s: %s, last DatosImpresos after %.3f s, host CPU %.3f s, %.0f bytes/s", name,
              ok ? "ok" : "TIMED OUT", elapsed, cpu, bytes / elapsed);
  if (linesPerSecond > 0) {
    const double own = 40.0 * jobs / linesPerSecond;
    std::printf(", printer's own time %.1f s, ratio %.4f (target: within 5 %%)", own,
                elapsed / own);
  } else {
    std::printf(" (target: under 200 ms)");
  }
  std::printf("\n");
  std::fflush(stdout);
  port.reset();
  StopPrinter(printer);
  std::system((std::string("rm -rf ") + dir).c_str());
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// A printer of the bench's own that notes when the first byte of each read arrives and answers
// every status request at once.
class Stopwatch {
 public:
  Stopwatch() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 1);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      const int c = accept(fd_, nullptr, nullptr);
      char buf[4096];
      for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;) {
        arrived_ = Seconds(CLOCK_MONOTONIC);
        for (ssize_t i = 0; i + 2 < n; ++i) {
          if (buf[i] == 0x10 && buf[i + 1] == 0x04 && buf[i + 2] == 0x02) {
            const char ok = 0x12;
            (void)!write(c, &ok, 1);
          }
        }
      }
      close(c);
    });
  }
  ~Stopwatch() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int Port() const { return port_; }
  double Arrived() const { return arrived_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<double> arrived_{0};
  std::thread thread_;
};

void FirstByte() {
  std::vector<double> times;
  {
    Stopwatch printer;
    auto port = vtl::clsPrnPort::Create();
    Done done;
    port->Advise(&done);
    port->InicializarRed("127.0.0.1", printer.Port());
    std::int32_t id = port->Imprimir("warm up\r\n");
    vtl::platform::RunUntil([&] { return done.last == id; }, 10'000);
    for (int i = 0; i < 50; ++i) {
      const double before = printer.Arrived();
      const double start = Seconds(CLOCK_MONOTONIC);
      id = port->Imprimir("1 x Cafe con leche             1,60 EUR\r\n");
      vtl::platform::RunUntil([&] { return printer.Arrived() != before && done.last == id; },
                              10'000);
      times.push_back((printer.Arrived() - start) * 1000);
    }
    port.reset();
  }
  std::printf(
      "first byte of a one-line job on a connected port: median %.3f ms, max %.3f ms "
      "(target: within 5 ms)\n",
      Median(times), *std::max_element(times.begin(), times.end()));
  std::fflush(stdout);
}

double RunVtlprint(const std::string& vtlprint, const std::vector<std::string>& extra) {
  std::vector<std::string> args = {vtlprint};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double start = Seconds(CLOCK_MONOTONIC);
  pid_t pid = -1;
  if (posix_spawn(&pid, vtlprint.c_str(), &actions, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return Seconds(CLOCK_MONOTONIC) - start;
}

void Calls(const std::string& name, const std::string& vtlprint,
           const std::vector<std::string>& args, const char* target) {
  std::vector<double> times;
  int failed = 0;
  const double start = Seconds(CLOCK_MONOTONIC);
  for (int i = 0; i < 100; ++i) {
    const double t = RunVtlprint(vtlprint, args);
    if (t < 0) {
      ++failed;
    } else {
      times.push_back(t * 1000);
    }
  }
  const double total = Seconds(CLOCK_MONOTONIC) - start;
  std::printf(
      "100 one-receipt vtlprint calls %s: %.2f s in all, median %.1f ms a call, %d failed "
      "(%s)\n",
      name.c_str(), total, Median(times), failed, target);
  std::fflush(stdout);
}

void Vtlprint(const std::string& sim, const std::string& vtlprint) {
  {
    char dir[] = "/tmp/vtl-lan-bench-XXXXXX";
    if (!mkdtemp(dir)) std::exit(2);
    Child printer = StartPrinter(sim, 0, dir);
    Calls("over the network", vtlprint,
          {"--lan", "127.0.0.1:" + std::to_string(printer.port), "--cut", "--timeout", "30"},
          "target: under 50 ms a call");
    StopPrinter(printer);
    std::system((std::string("rm -rf ") + dir).c_str());
  }
  {
    vtl::testing::Collector printer;
    vtl::testing::PrivateCups cups("vtl_bench", printer.Port());
    if (!cups.Ready()) {
      std::printf("spooler: the private cupsd did not start\n");
      return;
    }
    Calls("through the private spooler", vtlprint,
          {"--spooler", "vtl_bench", "--cut", "--timeout", "30"},
          "target: the document accepted by CUPS within 100 ms of Imprimir");
  }
}

// A serial port on a pseudo-terminal whose other end is open and says nothing: the host's loop
// pumped for ten seconds with nothing to print.
void IdleSerial() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
  setenv("VTL_COM9", ptsname(master), 1);
  auto port = vtl::clsPrnPort::Create();
  port->InicializarSerie(9, 9600);
  vtl::platform::RunUntil([] { return false; }, 1000);
  const double wall = Seconds(CLOCK_MONOTONIC);
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  vtl::platform::RunUntil([] { return false; }, 10'000);
  const double used = (Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu) / (Seconds(CLOCK_MONOTONIC) - wall);
  std::printf("idle serial port (pty): %.3f %% of one core (target: under 0.2 %%)\n", used * 100);
  std::fflush(stdout);
  port.reset();
  close(master);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(
        stderr,
        "usage: %s PATH-TO-printer-sim PATH-TO-vtlprint [receipts|first|vtlprint|idle|mb]...\n",
        argv[0]);
    return 2;
  }
  std::string receipt;
  for (int i = 0; i < 40; ++i) {
    std::string line = "Line " + std::to_string(i) + " ";
    line.resize(42, '-');
    receipt += line + "\r\n";
  }
  receipt += "\x1d\x56\x42";
  receipt += '\0';
  std::vector<std::string> what(argv + 3, argv + argc);
  if (what.empty()) what = {"receipts", "first", "vtlprint", "idle"};
  for (const std::string& w : what) {
    if (w == "receipts") {
      Run(argv[1], "100 receipts, unthrottled (--no-render)", 0, receipt, 100);
      Run(argv[1], "100 receipts, 90 lines/s", 90, receipt, 100);
      Run(argv[1], "100 receipts, 40 lines/s", 40, receipt, 100);
    } else if (w == "first") {
      FirstByte();
    } else if (w == "vtlprint") {
      Vtlprint(argv[1], argv[2]);
    } else if (w == "idle") {
      IdleSerial();
    } else if (w == "mb") {
      std::string mb;
      while (mb.size() < (1u << 20)) mb += receipt.substr(0, 44);
      Run(argv[1], "1 MB job, unthrottled", 0, mb, 1);
    }
  }
  return 0;
}
