// Feeds arbitrary port texts to the parsers hosts reach with them: numbers ("3", " 12 ", "3,5"),
// "host:port", and the device names "COMn", "\\.\LPTn". They may answer 0 or "no such port",
// never crash, overflow or read past the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "channels/port_text.h"
#include "platform/portio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)vtl::ValorNumerico(text);
  try {
    (void)vtl::NumeroDePuerto(text);
  } catch (const vtl::Error& e) {
    if (e.Number() != 6) std::abort();
  }
  std::string host;
  std::int32_t puerto = 7;
  vtl::SepararHostPuerto(text, host, puerto);
  if (host.size() > text.size()) std::abort();
  // A device name, with a buffer that is sometimes too small.
  char target[64];
  const std::string name = text.substr(0, 200);
  const auto n = vtl::platform::QueryDosDeviceA(name.c_str(), target,
                                                static_cast<vtl::platform::DWORD>(size % 65));
  if (n > size % 65) std::abort();
  return 0;
}
