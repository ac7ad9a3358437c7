// The registry of simulated devices and the decisions a test makes for a held write: the same on
// every system; each backend gives the devices their handles and moves their writes.
#include "platform/sim.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vtl::platform::sim {

namespace {
std::mutex g_simMutex;
std::map<std::string, std::shared_ptr<Device>>& Devices() {
  static auto* devices = new std::map<std::string, std::shared_ptr<Device>>;
  return *devices;
}
}  // namespace

void Device::CompletePending(std::optional<std::uint32_t> bytes) {
  if (!held_) return;
  heldDecided_ = true;
  heldBytes_ = bytes.value_or(UINT32_MAX);
  heldError_ = 0;
}

void Device::FailPending(DWORD error) {
  if (!held_) return;
  heldDecided_ = true;
  heldBytes_ = 0;
  heldError_ = error ? error : ERROR_GEN_FAILURE;
}

std::shared_ptr<Device> Register(const std::string& name) {
  std::lock_guard lock(g_simMutex);
  auto d = std::make_shared<Device>(name);
  Devices()[name] = d;
  return d;
}

void Unregister(const std::string& name) {
  std::lock_guard lock(g_simMutex);
  Devices().erase(name);
}

std::shared_ptr<Device> Find(const std::string& name) {
  std::lock_guard lock(g_simMutex);
  auto it = Devices().find(name);
  return it == Devices().end() ? nullptr : it->second;
}

}  // namespace vtl::platform::sim
