// The machine's own ports on Linux: COMn is /dev/ttyS(n-1); LPTn is /dev/lp(n-1), or the USB
// printer /dev/usb/lp(n-1) where only that exists.
#include <unistd.h>

#include <string>

#include "platform/port_names.h"
#include "platform/posix/objects.h"

namespace vtl::platform {

namespace {

bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

}  // namespace

std::string port_names::SystemDevice(const std::string& key, unsigned long long n) {
  if (n > 0x7FFFFFFFull) return "";
  const std::string index = std::to_string(n - 1);
  if (key[0] == 'C') return "/dev/ttyS" + index;
  if (Exists("/dev/lp" + index) || !Exists("/dev/usb/lp" + index)) return "/dev/lp" + index;
  return "/dev/usb/lp" + index;
}

bool port_names::SystemHas(const std::string& key, int n) {
  const std::string index = std::to_string(n - 1);
  if (key[0] == 'C') return Exists("/dev/ttyS" + index);
  return Exists("/dev/lp" + index) || Exists("/dev/usb/lp" + index);
}

std::string detail::MapDeviceName(const std::string& name) {
  return port_names::Map(name);
}

}  // namespace vtl::platform
