// The test hooks of the C interface. They reach inside the library, so they live with the tests.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "interface/c_object.h"
#include "platform/sim.h"
#include "prnport_test_access.h"
#include "vtldllxt_testing.h"

namespace {

// Same codes as the library's: 0, or E_INVALIDARG (the message goes to stderr, since the
// library's last-error record is its own).
constexpr std::int32_t kInvalidArg = static_cast<std::int32_t>(0x80070057u);

template <typename F>
std::int32_t Guard(const char* what, F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", what, e.what());
    return kInvalidArg;
  }
}

}  // namespace

extern "C" {

int32_t vtl_test_sim_register(const char* name) {
  return Guard("vtl_test_sim_register", [&] {
    vtl::platform::sim::Register(name ? name : "");
    return VTL_OK;
  });
}

int32_t vtl_test_sim_unregister(const char* name) {
  return Guard("vtl_test_sim_unregister", [&] {
    vtl::platform::sim::Unregister(name ? name : "");
    return VTL_OK;
  });
}

int32_t vtl_test_sim_written(const char* name, char* buffer, int32_t cap, int32_t* len) {
  return Guard("vtl_test_sim_written", [&] {
    auto dev = vtl::platform::sim::Find(name ? name : "");
    if (!dev) return kInvalidArg;
    const std::string& w = dev->Written();
    if (len) *len = static_cast<std::int32_t>(w.size());
    if (buffer && cap > 0) {
      std::memcpy(buffer, w.data(), std::min<std::size_t>(w.size(), static_cast<std::size_t>(cap)));
    }
    return VTL_OK;
  });
}

int32_t vtl_test_attach(vtl_object* port, const char* device) {
  return Guard("vtl_test_attach", [&] {
    if (!port || &port->dispatch->Class() != &vtl::PrnPortClassInfo()) return kInvalidArg;
    namespace p = vtl::platform;
    p::HANDLE h = p::CreateFileA(device, p::GENERIC_READ | p::GENERIC_WRITE, 0, nullptr,
                                 p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
    if (h == p::INVALID_HANDLE_VALUE) return kInvalidArg;
    auto* prn = static_cast<vtl::clsPrnPort*>(port->dispatch->Target());
    vtl::PrnPortTestAccess::AttachPort(*prn, h, vtl::eTDPCOM, 0);
    return VTL_OK;
  });
}

}  // extern "C"
