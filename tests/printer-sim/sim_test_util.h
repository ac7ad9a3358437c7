#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "printer.h"
#include "render.h"

namespace printersim::test {

// Builds byte strings from readable pieces: B({0x1B, '@'}) + "text".
inline std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

// The receipts a printer finished, each as its text rendering, joined.
inline std::string ReceiptsText(const Printer& p) {
  std::string out;
  for (const Receipt& r : p.Receipts()) out += RenderText(r, p.options().paper_width);
  return out;
}

// The lines of the paper, without the cut line.
inline std::vector<std::string> Lines(const Receipt& r, int width = 576) {
  std::vector<std::string> lines;
  std::string text = RenderText(r, width);
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  if (!lines.empty()) lines.pop_back();
  return lines;
}

}  // namespace printersim::test
