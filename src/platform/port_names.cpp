#include "platform/port_names.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

#include "base/cadenas.h"
#include "platform/comm.h"

namespace vtl::platform {

namespace port_names {

namespace {

// The names the process mapped itself, shared by every thread. They stay inside the process:
// the system's own names are the whole session's, not ours to change.
std::mutex g_namesMutex;
std::map<std::string, std::string> g_names;

}  // namespace

std::string Key(const std::string& name) {
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

std::string Map(const std::string& name) {
  const std::string key = Key(name);
  if (key.empty()) return name;
  if (std::string defined = Defined(key); !defined.empty()) return defined;
  if (std::string mapped = FromEnvironment(key); !mapped.empty()) return mapped;
  const unsigned long long n = std::strtoull(key.c_str() + 3, nullptr, 10);
  if (!SystemPortsAllowed() || n == 0) return "";
  return SystemDevice(key, n);
}

}  // namespace port_names

BOOL DefineDosDeviceA(DWORD flags, const char* deviceName, const char* targetPath) {
  const std::string key = port_names::Key(deviceName ? deviceName : "");
  const bool remove = (flags & DDD_REMOVE_DEFINITION) != 0;
  if (key.empty() || (!remove && (!targetPath || !*targetPath))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(port_names::g_namesMutex);
  if (remove) {
    port_names::g_names.erase(key);
  } else {
    port_names::g_names[key] = targetPath;
  }
  return TRUE;
}

std::string DefineFreeDosDevice(bool parallel, const std::string& path) {
  if (path.empty()) return "";
  std::lock_guard lock(port_names::g_namesMutex);
  for (const auto& [key, target] : port_names::g_names) {
    if (target == path && key.rfind(parallel ? "LPT" : "COM", 0) == 0) return key;
  }
  const bool system = port_names::SystemPortsAllowed();
  for (int n = 1; n <= (parallel ? 4 : 255); ++n) {
    std::string key = (parallel ? "LPT" : "COM") + std::to_string(n);
    if (port_names::g_names.count(key)) continue;
    if (!port_names::FromEnvironment(key).empty()) continue;
    if (system && port_names::SystemHas(key, n)) continue;
    port_names::g_names[key] = path;
    return key;
  }
  return "";
}

}  // namespace vtl::platform
