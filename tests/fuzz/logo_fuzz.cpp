// Feeds arbitrary files to the logo converter: it may refuse them, never crash, overrun or hang.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/comandos.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "/tmp/vtl-logo-fuzz-" + std::to_string(getpid()) + ".bmp";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  // The same file twice: the second conversion sees what the first left in the buffers.
  std::vector<std::string> rutas{path, path};
  std::string flujo;
  if (vtl::ConstruirFlujoLogos(rutas, flujo) && flujo.size() > 500001 + 16) std::abort();
  return 0;
}
