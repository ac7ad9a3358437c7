#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "printer.h"

namespace printersim {

// The receipt as text: one line per printed line, styles marked as {b,u,2w,2h,fb,inv}...{/}
// ("{{" is a literal brace), images and barcodes as one bracketed placeholder line, the cut as
// the last line.
std::string RenderText(const Receipt& receipt, int paper_width);

// A picture of the paper: 8-bit grey, 255 = white paper, one pixel per printer dot.
struct Canvas {
  struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
  };
  int width = 0;
  int height = 0;
  std::vector<uint8_t> gray;
  std::vector<Rect> images;  // where each image (NV, raster, bit image) landed, in print order
  uint8_t At(int x, int y) const { return gray[static_cast<size_t>(y) * width + x]; }
};

class Renderer {
 public:
  static constexpr int kMargin = 16;

  explicit Renderer(const std::string& font_path);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  bool FontLoaded() const { return face_ != nullptr; }
  const std::string& FontError() const { return font_error_; }

  Canvas Draw(const Receipt& receipt, int paper_width);
  static std::string EncodePng(const Canvas& canvas, std::string* error);

 private:
  struct Glyph {
    int left = 0;
    int top = 0;
    int w = 0;
    int h = 0;
    std::vector<uint8_t> alpha;
  };
  const Glyph& GetGlyph(char32_t ch, bool font_b);
  void DrawChar(Canvas& c, int x, int y, char32_t ch, const Style& s);
  void DrawString(Canvas& c, int x, int y, const std::string& utf8, bool font_b);

  void* library_ = nullptr;  // FT_Library
  void* face_ = nullptr;     // FT_Face
  std::string font_error_;
  std::map<std::pair<char32_t, bool>, Glyph> glyphs_;
};

}  // namespace printersim
