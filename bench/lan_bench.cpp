// The LAN channel printing to the virtual printer over loopback TCP: 100 receipts of 40 lines of
// 42 characters with a cut each, to an unthrottled printer and to one printing 40 lines per
// second, and a 1 MB job. Prints the time until the last DatosImpresos and the host thread's CPU
// time. Usage: vtl_lan_bench PATH-TO-printer-sim [a|b|mb]...
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

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
  std::vector<std::string> args = {program, "--port", "0", "--no-stdin", "--quiet", "--out", out};
  if (linesPerSecond > 0) {
    args.push_back("--print-speed");
    args.push_back(speed);
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
    std::printf(", printer's own time %.1f s, ratio %.4f", own, elapsed / own);
  }
  std::printf("\n");
  std::fflush(stdout);
  port.reset();
  StopPrinter(printer);
  std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH-TO-printer-sim [a|b|mb]...\n", argv[0]);
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
  std::string mb;
  while (mb.size() < (1u << 20)) mb += receipt.substr(0, 44);
  for (int i = 2; i < argc || argc == 2; ++i) {
    const std::string what = argc == 2 ? "all" : argv[i];
    if (what == "a" || what == "all")
      Run(argv[1], "(a) 100 receipts, unthrottled", 0, receipt, 100);
    if (what == "mb" || what == "all") Run(argv[1], "1 MB job, unthrottled", 0, mb, 1);
    if (what == "b" || what == "all")
      Run(argv[1], "(b) 100 receipts, 40 lines/s", 40, receipt, 100);
    if (argc == 2) break;
  }
  return 0;
}
