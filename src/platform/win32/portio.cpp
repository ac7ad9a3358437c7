// Port I/O has no way from user mode on Windows NT: without a simulated port installed by a test,
// no port answers (every read is 0xFF, so every probe fails) and writes go nowhere. The parallel
// status then counts as always on line, as on Linux without ppdev.
#include "platform/portio.h"

#include <mutex>

#include "platform/win32/system.h"

namespace vtl::platform {
namespace {

std::mutex g_mutex;
std::vector<std::shared_ptr<portio::SimulatedParallelPort>> g_sim;
bool g_simInstalled = false;

}  // namespace

std::int16_t Inp32(std::int16_t portAddress) {
  const auto address = static_cast<std::uint16_t>(portAddress);
  std::lock_guard lock(g_mutex);
  if (g_simInstalled) {
    for (const auto& port : g_sim) {
      if (port->Decodes(address)) return port->Read(address);
    }
  }
  return 0xFF;
}

void Out32(std::int16_t portAddress, std::int16_t data) {
  const auto address = static_cast<std::uint16_t>(portAddress);
  std::lock_guard lock(g_mutex);
  if (!g_simInstalled) return;
  for (const auto& port : g_sim) {
    if (port->Decodes(address)) port->Write(address, static_cast<std::uint8_t>(data & 0xFF));
  }
}

namespace portio {

void InstallSimulated(std::vector<std::shared_ptr<SimulatedParallelPort>> ports) {
  std::lock_guard lock(g_mutex);
  g_sim = std::move(ports);
  g_simInstalled = true;
}

void RemoveSimulated() {
  std::lock_guard lock(g_mutex);
  g_sim.clear();
  g_simInstalled = false;
}

bool ReleaseForPrinterDriver(int /*parport*/) {
  return true;
}

void InstallPpdevForTests(const std::vector<std::pair<int, std::uint16_t>>& /*ports*/,
                          int (* /*ioctlFn*/)(int, unsigned long, void*)) {}

std::string BackendName() {
  std::lock_guard lock(g_mutex);
  return g_simInstalled ? "simulated" : "none";
}

}  // namespace portio
}  // namespace vtl::platform
