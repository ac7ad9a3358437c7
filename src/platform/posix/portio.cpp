// Inp32/Out32 on a simulated port, ppdev or /dev/port; QueryDosDeviceA on the device-name map.
#include "platform/portio.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/posix/objects.h"

namespace vtl::platform {
namespace {

std::mutex g_mutex;
std::condition_variable g_claimed;
std::vector<std::shared_ptr<portio::SimulatedParallelPort>> g_sim;
bool g_simInstalled = false;

enum class Backend { kSimulated, kPpdev, kDevPort, kNone };

// ppdev: the ports the kernel lists, each with a descriptor kept open so that what was written to
// its control register (direction included) survives between accesses.
//
// A register can only be read while the port is claimed, and a claim waits while the kernel's
// printer driver (/dev/lpN) holds the port for a write. So the claim is made on a worker, once,
// and kept: register reads answer "busy" until it is in (the printer counts as not ready
// meanwhile). The printer driver needs the port to print: a write to /dev/lpN gives the claim
// back first, and waits while a worker is still claiming (see ReleaseForPrinterDriver).
struct PpPort {
  int fd = -1;
  std::uint32_t base = 0;
  int index = 0;  // parportN
  bool reverse = false;
  bool claimed = false;   // under g_mutex
  bool claiming = false;  // a worker waits for the claim; under g_mutex
};

int RealIoctl(int fd, unsigned long request, void* arg) {
  return ::ioctl(fd, request, arg);
}
int (*g_ppIoctl)(int, unsigned long, void*) = RealIoctl;
bool g_ppFake = false;
std::vector<PpPort> g_ppFakePorts;

std::vector<PpPort>& PpPorts() {
  static auto* ports = [] {
    auto* list = new std::vector<PpPort>;
    for (int n = 0; n < 8; ++n) {
      std::ifstream f("/proc/sys/dev/parport/parport" + std::to_string(n) + "/base-addr");
      unsigned long base = 0;
      if (!(f >> base) || base == 0 || base > 0xFFFF) continue;
      const std::string dev = "/dev/parport" + std::to_string(n);
      const int fd = ::open(dev.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) continue;
      PpPort port;
      port.fd = fd;
      port.base = static_cast<std::uint32_t>(base);
      port.index = n;
      list->push_back(port);
    }
    return list;
  }();
  return g_ppFake ? g_ppFakePorts : *ports;
}

int DevPort() {
  static const int fd = ::open("/dev/port", O_RDWR | O_CLOEXEC);
  return fd;
}

Backend Choose() {
  if (g_simInstalled) return Backend::kSimulated;
  const char* p = std::getenv("VTL_PORTIO");
  const std::string forced = p ? p : "";
  if (forced == "none" || (std::getenv("VTL_NO_SYSTEM_PORTS") && !g_ppFake)) return Backend::kNone;
  // Raw port writes reach whatever hardware sits at an address: /dev/port only when asked for.
  if (forced == "devport") return DevPort() >= 0 ? Backend::kDevPort : Backend::kNone;
  if (!PpPorts().empty()) return Backend::kPpdev;
  return Backend::kNone;
}

// The port and register (0 data, 1 status, 2 control) an address reaches through ppdev.
PpPort* PpFind(std::uint16_t address, std::uint32_t* offset) {
  for (PpPort& port : PpPorts()) {
    if (address >= port.base && address <= port.base + 2) {
      *offset = address - port.base;
      return &port;
    }
  }
  return nullptr;
}

// With g_mutex held: whether the port is claimed, starting a claim on a worker when it is not.
// A free port is claimed at once, so the caller waits a few milliseconds for it, no longer.
bool PpReady(PpPort& port, std::unique_lock<std::mutex>& lock) {
  if (port.claimed) return true;
  if (!port.claiming) {
    port.claiming = true;
    std::thread([&port] {
      const int rc = g_ppIoctl(port.fd, PPCLAIM, nullptr);
      std::lock_guard done(g_mutex);
      port.claiming = false;
      port.claimed = rc == 0;
      g_claimed.notify_all();
    }).detach();
  }
  g_claimed.wait_for(lock, std::chrono::milliseconds(20), [&] { return port.claimed; });
  return port.claimed;
}

}  // namespace

std::int16_t Inp32(std::int16_t portAddress) {
  const auto address = static_cast<std::uint16_t>(portAddress);
  std::unique_lock lock(g_mutex);
  switch (Choose()) {
    case Backend::kSimulated:
      for (const auto& port : g_sim) {
        if (port->Decodes(address)) return port->Read(address);
      }
      return 0xFF;
    case Backend::kPpdev: {
      std::uint32_t offset = 0;
      PpPort* port = PpFind(address, &offset);
      if (!port) return 0xFF;
      // Until the claim is in, the status lines read busy (the raw busy line low) with the
      // error line active: the printer is not ready.
      if (!PpReady(*port, lock)) return offset == 1 ? 0x00 : 0xFF;
      unsigned char b = 0xFF;
      const unsigned long req = offset == 0 ? PPRDATA : offset == 1 ? PPRSTATUS : PPRCONTROL;
      if (g_ppIoctl(port->fd, req, &b) != 0) return 0xFF;
      // The kernel hands back the four control lines only; the direction is ours.
      if (offset == 2)
        b = static_cast<unsigned char>((b & 0x0F) | 0xC0 | (port->reverse ? 0x20 : 0));
      return b;
    }
    case Backend::kDevPort: {
      unsigned char b = 0xFF;
      if (::pread(DevPort(), &b, 1, address) == 1) return b;
      return 0xFF;
    }
    case Backend::kNone:
      break;
  }
  return 0xFF;
}

void Out32(std::int16_t portAddress, std::int16_t data) {
  const auto address = static_cast<std::uint16_t>(portAddress);
  const auto value = static_cast<std::uint8_t>(data & 0xFF);
  std::unique_lock lock(g_mutex);
  switch (Choose()) {
    case Backend::kSimulated:
      for (const auto& port : g_sim) {
        if (port->Decodes(address)) port->Write(address, value);
      }
      return;
    case Backend::kPpdev: {
      std::uint32_t offset = 0;
      PpPort* port = PpFind(address, &offset);
      if (!port || offset == 1 || !PpReady(*port, lock)) return;
      unsigned char b = value;
      if (offset == 0) {
        g_ppIoctl(port->fd, PPWDATA, &b);
        return;
      }
      int reverse = (value & 0x20) ? 1 : 0;
      if (g_ppIoctl(port->fd, PPDATADIR, &reverse) == 0) port->reverse = reverse != 0;
      g_ppIoctl(port->fd, PPWCONTROL, &b);
      return;
    }
    case Backend::kDevPort:
      (void)!::pwrite(DevPort(), &value, 1, address);
      return;
    case Backend::kNone:
      return;
  }
}

DWORD QueryDosDeviceA(const char* lpDeviceName, char* lpTargetPath, DWORD ucchMax) {
  const std::string name = lpDeviceName ? lpDeviceName : "";
  const std::string target = name.empty() ? "" : detail::MapDeviceName(name);
  if (target.empty() || target == name) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  const std::size_t needed = target.size() + 2;
  if (!lpTargetPath || ucchMax < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpTargetPath, target.data(), target.size());
  lpTargetPath[target.size()] = '\0';
  lpTargetPath[target.size() + 1] = '\0';
  return static_cast<DWORD>(needed);
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

bool ReleaseForPrinterDriver(int parport) {
  std::lock_guard lock(g_mutex);
  if (!g_ppFake && (std::getenv("VTL_NO_SYSTEM_PORTS") || g_simInstalled)) return true;
  for (PpPort& port : PpPorts()) {
    if (port.index != parport) continue;
    if (port.claiming) return false;
    if (port.claimed) {
      g_ppIoctl(port.fd, PPRELEASE, nullptr);
      port.claimed = false;
    }
  }
  return true;
}

void InstallPpdevForTests(const std::vector<std::pair<int, std::uint16_t>>& ports,
                          int (*ioctlFn)(int, unsigned long, void*)) {
  std::lock_guard lock(g_mutex);
  g_ppFakePorts.clear();
  for (const auto& [index, base] : ports) {
    PpPort port;
    port.fd = 1000 + index;
    port.base = base;
    port.index = index;
    g_ppFakePorts.push_back(port);
  }
  g_ppIoctl = ioctlFn ? ioctlFn : RealIoctl;
  g_ppFake = ioctlFn != nullptr;
}

std::string BackendName() {
  std::lock_guard lock(g_mutex);
  switch (Choose()) {
    case Backend::kSimulated:
      return "simulated";
    case Backend::kPpdev:
      return "ppdev";
    case Backend::kDevPort:
      return "/dev/port";
    case Backend::kNone:
      break;
  }
  return "none";
}

}  // namespace portio
}  // namespace vtl::platform
