// Feeds arbitrary bytes, cut into reads of arbitrary sizes, to the reader of a serial printer's
// status reports: every read stands for one status byte that came, and the reader never keeps
// more than an unfinished block.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "channels/serial/estado_serie.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vtl::LectorEstadoSerie lector;
  for (std::size_t i = 0; i < size;) {
    // Each read's first byte also says how long the read is.
    const std::size_t len = std::min<std::size_t>(1 + data[i] % 8, size - i);
    const std::uint8_t* read = data + i;
    const unsigned char b = lector.Leer(read, len);
    // The byte a read stands for is one of its own, or the start of the block it completed.
    if (std::find(read, read + len, b) == read + len && (b & 0x93) != 0x10) std::abort();
    i += len;
  }
  return 0;
}
