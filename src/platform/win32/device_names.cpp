// The machine's own ports on Windows: the system's names for them (\\.\COMn), and
// QueryDosDeviceA over the process's own names first.
#include <cstring>
#include <string>

#include "platform/port_names.h"
#include "platform/portio.h"
#include "platform/win32/objects.h"

namespace vtl::platform {

namespace {

// The machine's own device for a port name, as the system names it; empty when it has none.
std::string QuerySystem(const std::string& key) {
  char target[1024] = {};
  if (::QueryDosDeviceA(key.c_str(), target, sizeof target) == 0) return "";
  return target;
}

}  // namespace

std::string port_names::SystemDevice(const std::string& key, unsigned long long) {
  // The system's own name for the port, which also reaches COM10 and above.
  return "\\\\.\\" + key;
}

bool port_names::SystemHas(const std::string& key, int) {
  return !QuerySystem(key).empty();
}

std::string win32::MapDeviceName(const std::string& name) {
  return port_names::Map(name);
}

DWORD QueryDosDeviceA(const char* lpDeviceName, char* lpTargetPath, DWORD ucchMax) {
  const std::string name = lpDeviceName ? lpDeviceName : "";
  const std::string key = port_names::Key(name);
  std::string target;
  if (!key.empty()) {
    target = port_names::Defined(key);
    if (target.empty()) target = port_names::FromEnvironment(key);
    if (target.empty() && port_names::SystemPortsAllowed()) target = QuerySystem(key);
  }
  if (target.empty()) {
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

}  // namespace vtl::platform
