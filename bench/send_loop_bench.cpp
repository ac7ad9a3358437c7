// Cost of queueing text and of the tick that sends it, for buffers from 1 KB to 1 MB. Sending a
// buffer must cost time linear in its size: the per-byte figures should stay flat across sizes.
#include <benchmark/benchmark.h>

#include <string>

#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "prnport_test_access.h"

namespace {

using namespace vtl;

std::string Receipt(std::size_t bytes) {
  const std::string line = "1 x Cafe con leche             1,60 EUR\n";
  std::string s;
  s.reserve(bytes + line.size());
  while (s.size() < bytes) s += line;
  s.resize(bytes);
  return s;
}

struct Done : __clsPrnPort {
  std::int32_t last = 0;
  void DatosImpresos(std::int32_t& id) override { last = id; }
};

void BM_Imprimir(benchmark::State& state) {
  const std::string text = Receipt(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto port = clsPrnPort::Create();  // no port: the immediate tick finds nothing to write to
    state.ResumeTiming();
    benchmark::DoNotOptimize(port->Imprimir(text));
    state.PauseTiming();
    port.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Imprimir)->RangeMultiplier(4)->Range(1 << 10, 1 << 20);

// Everything from Imprimir to DatosImpresos on a device that takes every write at once; the loop
// runs on a manual clock so the figure is pure CPU cost, not the 10 ms tick period.
void BM_SendBuffer(benchmark::State& state) {
  platform::Loop& loop = platform::Loop::Current();
  loop.UseManualClock(true);
  auto device = platform::sim::Register("bench");
  const std::string text = Receipt(static_cast<std::size_t>(state.range(0)));
  std::int64_t ticks = 0;
  for (auto _ : state) {
    state.PauseTiming();
    device->ClearWritten();
    auto port = clsPrnPort::Create();
    Done done;
    port->Advise(&done);
    platform::HANDLE h =
        platform::CreateFileA("sim:bench", platform::GENERIC_WRITE, 0, nullptr,
                              platform::OPEN_EXISTING, platform::FILE_FLAG_OVERLAPPED, 0);
    PrnPortTestAccess::AttachPort(*port, h, eTDPCOM, 0);
    state.ResumeTiming();
    const std::int32_t id = port->Imprimir(text);
    while (done.last < id) {
      port->EndDocForzar();
      ++ticks;
    }
    state.PauseTiming();
    if (device->Written().size() < text.size()) state.SkipWithError("bytes lost");
    port.reset();
    state.ResumeTiming();
  }
  loop.UseManualClock(false);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  state.counters["ticks"] =
      benchmark::Counter(static_cast<double>(ticks), benchmark::Counter::kAvgIterations);
  state.counters["ns_per_tick"] = benchmark::Counter(
      static_cast<double>(ticks), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  platform::sim::Unregister("bench");
}
BENCHMARK(BM_SendBuffer)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 20)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
