// Port names: "COMn" and "LPTn" (also as \\.\COMn or with a colon) to the device behind them:
// what the process mapped itself, then VTL_COMn / VTL_LPTn, then the machine's own port.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "base/cadenas.h"
#include "platform/comm.h"
#include "platform/portio.h"
#include "platform/win32/objects.h"

namespace vtl::platform {

namespace win32 {

namespace {

// A port name as "COMn" or "LPTn" with n written plainly; empty for any other name.
std::string PortKey(const std::string& name) {
  std::string rest = name;
  if (rest.rfind("\\\\.\\", 0) == 0 || rest.rfind("//./", 0) == 0) rest = rest.substr(4);
  if (!rest.empty() && rest.back() == ':') rest.pop_back();
  const std::string up = Mayusculas(rest);
  if (up.size() < 4 || (up.rfind("COM", 0) != 0 && up.rfind("LPT", 0) != 0)) return "";
  const std::string digits = up.substr(3);
  if (digits.size() > 10 ||
      !std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) {
    return "";
  }
  return up.substr(0, 3) + std::to_string(std::strtoull(digits.c_str(), nullptr, 10));
}

// The names the process mapped itself (DefineDosDeviceA), shared by every thread. They stay
// inside the process: the system's own DOS names are the whole session's, not ours to change.
std::mutex g_namesMutex;
std::map<std::string, std::string> g_names;

std::string Defined(const std::string& key) {
  std::lock_guard lock(g_namesMutex);
  const auto it = g_names.find(key);
  return it == g_names.end() ? "" : it->second;
}

std::string FromEnvironment(const std::string& key) {
  const std::string var = "VTL_" + key;
  const char* mapped = std::getenv(var.c_str());
  return mapped ? mapped : "";
}

bool SystemPortsAllowed() {
  return std::getenv("VTL_NO_SYSTEM_PORTS") == nullptr;
}

// The machine's own device for a port name, as the system names it; empty when it has none.
std::string SystemDevice(const std::string& key) {
  char target[1024] = {};
  if (::QueryDosDeviceA(key.c_str(), target, sizeof target) == 0) return "";
  return target;
}

}  // namespace

std::string MapDeviceName(const std::string& name) {
  const std::string key = PortKey(name);
  if (key.empty()) return name;
  if (std::string defined = Defined(key); !defined.empty()) return defined;
  if (std::string mapped = FromEnvironment(key); !mapped.empty()) return mapped;
  const unsigned long long n = std::strtoull(key.c_str() + 3, nullptr, 10);
  if (!SystemPortsAllowed() || n == 0) return "";
  // The system's own name for the port, which also reaches COM10 and above.
  return "\\\\.\\" + key;
}

}  // namespace win32

BOOL DefineDosDeviceA(DWORD flags, const char* deviceName, const char* targetPath) {
  const std::string key = win32::PortKey(deviceName ? deviceName : "");
  const bool remove = (flags & DDD_REMOVE_DEFINITION) != 0;
  if (key.empty() || (!remove && (!targetPath || !*targetPath))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(win32::g_namesMutex);
  if (remove) {
    win32::g_names.erase(key);
  } else {
    win32::g_names[key] = targetPath;
  }
  return TRUE;
}

std::string DefineFreeDosDevice(bool parallel, const std::string& path) {
  if (path.empty()) return "";
  std::lock_guard lock(win32::g_namesMutex);
  for (const auto& [key, target] : win32::g_names) {
    if (target == path && key.rfind(parallel ? "LPT" : "COM", 0) == 0) return key;
  }
  const bool system = win32::SystemPortsAllowed();
  for (int n = 1; n <= (parallel ? 4 : 255); ++n) {
    std::string key = (parallel ? "LPT" : "COM") + std::to_string(n);
    if (win32::g_names.count(key)) continue;
    if (!win32::FromEnvironment(key).empty()) continue;
    if (system && !win32::SystemDevice(key).empty()) continue;
    win32::g_names[key] = path;
    return key;
  }
  return "";
}

DWORD QueryDosDeviceA(const char* lpDeviceName, char* lpTargetPath, DWORD ucchMax) {
  const std::string name = lpDeviceName ? lpDeviceName : "";
  const std::string key = win32::PortKey(name);
  std::string target;
  if (!key.empty()) {
    target = win32::Defined(key);
    if (target.empty()) target = win32::FromEnvironment(key);
    if (target.empty() && win32::SystemPortsAllowed()) target = win32::SystemDevice(key);
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
