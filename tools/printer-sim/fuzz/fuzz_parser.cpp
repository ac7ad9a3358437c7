// libFuzzer entry point: the first byte chooses how the rest is cut into reads, the rest is
// what a host sends. The printer must neither crash nor lose count of a byte.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser.h"
#include "printer.h"
#include "render.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t step = 1 + data[0] % 64;
  std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);

  printersim::Parser parser;
  std::vector<printersim::Token> tokens;
  for (size_t at = 0; at < in.size(); at += step) parser.Feed(in.substr(at, step), tokens);
  size_t wire = parser.Partial();
  for (const printersim::Token& t : tokens) wire += t.wire;
  if (wire != in.size()) __builtin_trap();

  printersim::Printer printer;
  for (size_t at = 0; at < in.size(); at += step) {
    printer.Receive(1, in.substr(at, step));
    printer.Tick(printer.Now() + std::chrono::milliseconds(3));
  }
  printer.EndSource(1);
  printer.TearOff("fuzz");
  for (const printersim::Receipt& r : printer.Receipts()) {
    (void)printersim::RenderText(r, printer.options().paper_width);
  }
  return 0;
}
