// How long calls into the library hold the host thread while the spooler never answers: a
// print server that takes connections and says nothing. Each iteration opens a spooler port,
// queues a receipt, pumps the loop for a while, polls and closes; the counters give the longest
// single call seen (the goal: a few tens of milliseconds, whatever the spooler does).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "objects/prnport.h"
#include "platform/loop.h"

namespace {

int SilentServer() {
  static int port = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return 0;
    }
    return static_cast<int>(ntohs(a.sin_port));  // kept open, never accepted from
  }();
  return port;
}

template <typename F>
double Millis(F&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

void BM_HostThreadWithASilentSpooler(benchmark::State& state) {
  setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(SilentServer())).c_str(), 1);
  double worst = 0, open = 0, pump = 0;
  for (auto _ : state) {
    auto port = vtl::clsPrnPort::Create();
    open = std::max(open, Millis([&] { port->InicializarWindows("silent_queue"); }));
    worst = std::max(worst, Millis([&] { port->Imprimir("1 x CAFE 1,20\n"); }));
    for (int i = 0; i < 50; ++i) {
      pump = std::max(pump, Millis([] { vtl::platform::DoEvents(); }));
      bool b = false, e = false, p = false;
      worst = std::max(worst, Millis([&] { port->CheckError(b, e, p); }));
      ::usleep(2000);
    }
    worst = std::max(worst, Millis([&] { port->CloseAll(); }));
    worst = std::max(worst, Millis([&] { port.reset(); }));
  }
  state.counters["worst_call_ms"] = std::max({worst, open, pump});
  state.counters["InicializarWindows_ms"] = open;
  state.counters["DoEvents_ms"] = pump;
}
BENCHMARK(BM_HostThreadWithASilentSpooler)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
