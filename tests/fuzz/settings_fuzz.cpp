// Feeds arbitrary settings texts (the mode syntax "baud=9600 parity=N data=8 stop=1" and the
// short syntax "9600,n,8,1") to the parser: it may refuse them, and what it accepts is a line a
// serial port can take.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/comm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vtl::platform;
  const std::string text(reinterpret_cast<const char*>(data), size);
  DCB dcb{};
  dcb.BaudRate = 9600;
  dcb.ByteSize = 8;
  const DCB before = dcb;
  if (!BuildCommDCBA(text.c_str(), &dcb)) {
    // A refused text leaves the record as it was.
    if (std::memcmp(&dcb, &before, sizeof dcb) != 0) std::abort();
    return 0;
  }
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS || dcb.BaudRate == 0) {
    std::abort();
  }
  return 0;
}
