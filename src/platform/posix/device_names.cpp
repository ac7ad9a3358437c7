// Port names: "COMn" and "LPTn" (also as \\.\COMn or with a colon) to the device paths behind
// them: those the process mapped itself, then VTL_COMn / VTL_LPTn, then the machine's own ports.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "base/cadenas.h"
#include "platform/comm.h"
#include "platform/posix/objects.h"

namespace vtl::platform {

namespace detail {

namespace {

bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

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

// The names the process mapped itself (DefineDosDeviceA), shared by every thread.
std::mutex g_namesMutex;
std::map<std::string, std::string> g_names;

std::string Defined(const std::string& key) {
  std::lock_guard lock(g_namesMutex);
  const auto it = g_names.find(key);
  return it == g_names.end() ? "" : it->second;
}

}  // namespace

std::string MapDeviceName(const std::string& name) {
  const std::string key = PortKey(name);
  if (key.empty()) return name;
  if (std::string defined = Defined(key); !defined.empty()) return defined;
  const unsigned long long n = std::strtoull(key.c_str() + 3, nullptr, 10);
  const bool com = key[0] == 'C';
  const std::string var = "VTL_" + key;
  if (const char* mapped = std::getenv(var.c_str()); mapped && *mapped) return mapped;
  if (std::getenv("VTL_NO_SYSTEM_PORTS") || n == 0 || n > 0x7FFFFFFFull) return "";
  const std::string index = std::to_string(n - 1);
  if (com) return "/dev/ttyS" + index;
  if (Exists("/dev/lp" + index) || !Exists("/dev/usb/lp" + index)) return "/dev/lp" + index;
  return "/dev/usb/lp" + index;
}

}  // namespace detail

BOOL DefineDosDeviceA(DWORD flags, const char* deviceName, const char* targetPath) {
  const std::string key = detail::PortKey(deviceName ? deviceName : "");
  const bool remove = (flags & DDD_REMOVE_DEFINITION) != 0;
  if (key.empty() || (!remove && (!targetPath || !*targetPath))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(detail::g_namesMutex);
  if (remove) {
    detail::g_names.erase(key);
  } else {
    detail::g_names[key] = targetPath;
  }
  return TRUE;
}

std::string DefineFreeDosDevice(bool parallel, const std::string& path) {
  if (path.empty()) return "";
  std::lock_guard lock(detail::g_namesMutex);
  for (const auto& [key, target] : detail::g_names) {
    if (target == path && key.rfind(parallel ? "LPT" : "COM", 0) == 0) return key;
  }
  const bool system = std::getenv("VTL_NO_SYSTEM_PORTS") == nullptr;
  for (int n = 1; n <= (parallel ? 4 : 255); ++n) {
    std::string key = (parallel ? "LPT" : "COM") + std::to_string(n);
    if (detail::g_names.count(key)) continue;
    if (const char* var = std::getenv(("VTL_" + key).c_str()); var && *var) continue;
    const std::string index = std::to_string(n - 1);
    if (system &&
        (parallel ? detail::Exists("/dev/lp" + index) || detail::Exists("/dev/usb/lp" + index)
                  : detail::Exists("/dev/ttyS" + index))) {
      continue;
    }
    detail::g_names[key] = path;
    return key;
  }
  return "";
}

}  // namespace vtl::platform
