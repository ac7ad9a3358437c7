#include "render.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <png.h>

#include <algorithm>

#include "codepages.h"

namespace printersim {

namespace {

constexpr int kFontAWidth = 12;
constexpr int kLineDots = 30;
constexpr int kCutArea = 40;
constexpr int kMaxCanvasHeight = 65535;

std::string Tags(const Style& s) {
  std::string t;
  auto add = [&](const std::string& tag) {
    if (!t.empty()) t += ",";
    t += tag;
  };
  if (s.bold) add("b");
  if (s.underline == 1) add("u");
  if (s.underline == 2) add("u2");
  if (s.width > 1) add(std::to_string(s.width) + "w");
  if (s.height > 1) add(std::to_string(s.height) + "h");
  if (s.font_b) add("fb");
  if (s.reverse) add("inv");
  if (s.upside_down) add("ud");
  if (s.smoothing) add("sm");
  return t;
}

int CellWidth(const Style& s) {
  return (s.font_b ? 9 : 12) * s.width;
}
int CellHeight(const Style& s) {
  return (s.font_b ? 17 : 24) * s.height;
}

int Offset(Justify j, int paper_width, int used) {
  if (used >= paper_width) return 0;
  switch (j) {
    case Justify::kCenter:
      return (paper_width - used) / 2;
    case Justify::kRight:
      return paper_width - used;
    case Justify::kLeft:
      break;
  }
  return 0;
}

std::string Padded(Justify j, int paper_width, int used_dots, const std::string& s) {
  return std::string(static_cast<size_t>(Offset(j, paper_width, used_dots) / kFontAWidth), ' ') +
         s + "\n";
}

std::string ImageLabel(const PlacedImage& im) {
  return "[" + im.label + ": " + std::to_string(im.Width()) + "x" + std::to_string(im.Height()) +
         " dots]";
}

std::string CutLine(const Receipt& r, int cols) {
  std::string label = r.cut == Cut::kFull ? " full cut "
                      : r.cut == Cut::kPartial
                          ? " partial cut "
                          : " not cut" + (r.note.empty() ? std::string(" ") : ": " + r.note + " ");
  std::string line = "--8<--" + label;
  while (static_cast<int>(line.size()) < cols) line += "-";
  return line + "\n";
}

}  // namespace

std::string RenderText(const Receipt& receipt, int paper_width) {
  const int cols = std::max(8, paper_width / kFontAWidth);
  std::string out;
  for (const Block& b : receipt.blocks) {
    switch (b.kind) {
      case Block::Kind::kText: {
        std::string line;
        int dots = 0;
        Style open;
        bool tagged = false;
        for (const Cell& c : b.cells) {
          if (c.mark >= 0) {
            if (tagged) line += "{/}";
            tagged = false;
            line += "[" + b.marks[static_cast<size_t>(c.mark)] + "]";
            continue;
          }
          if (c.image >= 0) {
            if (tagged) line += "{/}";
            tagged = false;
            const PlacedImage& im = b.images[static_cast<size_t>(c.image)];
            line += ImageLabel(im);
            dots += im.Width();
            continue;
          }
          if (!tagged || !(c.style == open)) {
            if (tagged) line += "{/}";
            tagged = false;
            if (!(c.style == Style{})) {
              line += "{" + Tags(c.style) + "}";
              open = c.style;
              tagged = true;
            }
          }
          if (c.ch == U'{') {
            line += "{{";
          } else {
            AppendUtf8(line, c.ch);
          }
          dots += CellWidth(c.style);
        }
        if (tagged) line += "{/}";
        out += Padded(b.justify, paper_width, dots, line);
        break;
      }
      case Block::Kind::kImage:
        for (const PlacedImage& im : b.images) {
          out += Padded(b.justify, paper_width, std::min(im.Width(), paper_width), ImageLabel(im));
        }
        break;
      case Block::Kind::kFeed:
        out.append(static_cast<size_t>((b.height + kLineDots / 2) / kLineDots), '\n');
        break;
      case Block::Kind::kPlaceholder: {
        std::string s = "[" + b.text + "]";
        out += Padded(b.justify, paper_width, static_cast<int>(s.size()) * kFontAWidth, s);
        break;
      }
    }
  }
  out += CutLine(receipt, cols);
  return out;
}

Renderer::Renderer(const std::string& font_path) {
  FT_Library lib = nullptr;
  if (FT_Init_FreeType(&lib) != 0) {
    font_error_ = "FreeType could not start";
    return;
  }
  library_ = lib;
  FT_Face face = nullptr;
  if (FT_New_Face(lib, font_path.c_str(), 0, &face) != 0) {
    font_error_ = "cannot load font " + font_path;
    return;
  }
  face_ = face;
}

Renderer::~Renderer() {
  if (face_ != nullptr) FT_Done_Face(static_cast<FT_Face>(face_));
  if (library_ != nullptr) FT_Done_FreeType(static_cast<FT_Library>(library_));
}

const Renderer::Glyph& Renderer::GetGlyph(char32_t ch, bool font_b) {
  auto key = std::make_pair(ch, font_b);
  auto it = glyphs_.find(key);
  if (it != glyphs_.end()) return it->second;
  Glyph g;
  auto face = static_cast<FT_Face>(face_);
  // DejaVu Sans Mono advances 0.6 em: 20 px gives the 12-dot cell of font A, 15 px the 9 of B.
  if (face != nullptr && FT_Set_Pixel_Sizes(face, 0, font_b ? 15 : 20) == 0 &&
      FT_Load_Char(face, ch, FT_LOAD_RENDER) == 0) {
    FT_Bitmap& bm = face->glyph->bitmap;
    g.left = face->glyph->bitmap_left;
    g.top = face->glyph->bitmap_top;
    g.w = static_cast<int>(bm.width);
    g.h = static_cast<int>(bm.rows);
    g.alpha.resize(static_cast<size_t>(g.w) * g.h);
    for (int y = 0; y < g.h; ++y) {
      for (int x = 0; x < g.w; ++x) {
        uint8_t v = 0;
        if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
          v = bm.buffer[y * bm.pitch + x];
        } else if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
          v = ((bm.buffer[y * bm.pitch + x / 8] >> (7 - x % 8)) & 1) ? 255 : 0;
        }
        g.alpha[static_cast<size_t>(y) * g.w + x] = v;
      }
    }
  }
  return glyphs_.emplace(key, std::move(g)).first->second;
}

void Renderer::DrawChar(Canvas& c, int x, int y, char32_t ch, const Style& s) {
  const int cw = s.font_b ? 9 : 12;
  const int chh = s.font_b ? 17 : 24;
  const int baseline = s.font_b ? 13 : 19;
  const int sx = s.width;
  const int sy = s.height;
  auto put = [&](int px, int py, uint8_t alpha) {
    if (px < 0 || py < 0 || px >= c.width || py >= c.height || alpha == 0) return;
    uint8_t& p = c.gray[static_cast<size_t>(py) * c.width + px];
    p = s.reverse ? std::max<uint8_t>(p, alpha) : std::min<uint8_t>(p, 255 - alpha);
  };
  if (s.reverse) {
    for (int py = y; py < y + chh * sy; ++py) {
      for (int px = x; px < x + cw * sx; ++px) {
        if (px >= 0 && py >= 0 && px < c.width && py < c.height) {
          c.gray[static_cast<size_t>(py) * c.width + px] = 0;
        }
      }
    }
  }
  auto plot = [&](int gx, int gy, uint8_t a) {  // in unscaled dots of the cell
    if (s.upside_down) {                        // turned half a circle within its cell
      gx = cw - 1 - gx;
      gy = chh - 1 - gy;
    }
    for (int dy = 0; dy < sy; ++dy) {
      for (int dx = 0; dx < sx; ++dx) put(x + gx * sx + dx, y + gy * sy + dy, a);
    }
  };
  if (FontLoaded()) {
    const Glyph& g = GetGlyph(ch, s.font_b);
    for (int pass = 0; pass < (s.bold ? 2 : 1); ++pass) {
      for (int gy = 0; gy < g.h; ++gy) {
        for (int gx = 0; gx < g.w; ++gx) {
          int cx = g.left + gx + pass;
          int cy = baseline - g.top + gy;
          if (cx < 0 || cy < 0 || cx >= cw || cy >= chh) continue;
          plot(cx, cy, g.alpha[static_cast<size_t>(gy) * g.w + gx]);
        }
      }
    }
  } else if (ch != U' ') {
    for (int gx = 2; gx < cw - 2; ++gx) {
      plot(gx, 4, 255);
      plot(gx, baseline, 255);
    }
    for (int gy = 4; gy <= baseline; ++gy) {
      plot(2, gy, 255);
      plot(cw - 3, gy, 255);
    }
  }
  for (int k = 0; k < s.underline; ++k) {
    for (int px = x; px < x + cw * sx; ++px) put(px, y + chh * sy - 1 - k, 255);
  }
}

void Renderer::DrawString(Canvas& c, int x, int y, const std::string& text, bool font_b) {
  Style s;
  s.font_b = font_b;
  for (char ch : text) {
    auto b = static_cast<uint8_t>(ch);
    DrawChar(c, x, y, b < 0x80 ? b : U'?', s);
    x += font_b ? 9 : 12;
  }
}

Canvas Renderer::Draw(const Receipt& receipt, int paper_width) {
  Canvas c;
  c.width = paper_width + 2 * kMargin;
  int total = kMargin + kCutArea;
  for (const Block& b : receipt.blocks) total += b.height;
  c.height = std::min(total, kMaxCanvasHeight);
  c.gray.assign(static_cast<size_t>(c.width) * c.height, 255);

  auto draw_image = [&](const PlacedImage& im, int x0, int y0) {
    c.images.push_back(Canvas::Rect{x0, y0, im.Width(), im.Height()});
    // Dots beyond the printable width fall off the paper, as on the printer.
    const int room = std::max(0, kMargin + paper_width - x0);
    const int columns = std::min(im.bitmap.width, (room + im.scale_x - 1) / im.scale_x);
    const int rows = std::min(im.bitmap.height, (c.height - y0 + im.scale_y - 1) / im.scale_y);
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < columns; ++x) {
        if (!im.bitmap.Dot(x, y)) continue;
        for (int dy = 0; dy < im.scale_y; ++dy) {
          int py = y0 + y * im.scale_y + dy;
          if (py >= c.height) break;
          for (int dx = 0; dx < im.scale_x; ++dx) {
            int px = x0 + x * im.scale_x + dx;
            if (px >= kMargin + paper_width) break;
            c.gray[static_cast<size_t>(py) * c.width + px] = 0;
          }
        }
      }
    }
  };

  int y = kMargin;
  for (const Block& b : receipt.blocks) {
    if (y >= c.height) break;
    switch (b.kind) {
      case Block::Kind::kText: {
        int used = 0;
        int content = 0;
        for (const Cell& cell : b.cells) {
          if (cell.mark >= 0) continue;  // marks show in the text rendering only
          const int w = cell.image >= 0 ? b.images[static_cast<size_t>(cell.image)].Width()
                                        : CellWidth(cell.style);
          const int h = cell.image >= 0 ? b.images[static_cast<size_t>(cell.image)].Height()
                                        : CellHeight(cell.style);
          used += w;
          content = std::max(content, h);
        }
        int x = kMargin + Offset(b.justify, paper_width, used);
        for (const Cell& cell : b.cells) {
          if (cell.mark >= 0) continue;
          if (cell.image >= 0) {
            const PlacedImage& im = b.images[static_cast<size_t>(cell.image)];
            draw_image(im, x, y + content - im.Height());
            x += im.Width();
          } else {
            DrawChar(c, x, y + content - CellHeight(cell.style), cell.ch, cell.style);
            x += CellWidth(cell.style);
          }
        }
        break;
      }
      case Block::Kind::kImage:
        for (const PlacedImage& im : b.images) {
          draw_image(im, kMargin + Offset(b.justify, paper_width, im.Width()), y);
        }
        break;
      case Block::Kind::kPlaceholder: {
        int w = std::min(paper_width, static_cast<int>(b.text.size()) * 9 + 16);
        int x0 = kMargin + Offset(b.justify, paper_width, w);
        int h = std::max(24, b.height - 8);
        for (int px = x0; px < x0 + w; ++px) {
          for (int py : {y + 2, y + h}) {
            if (py < c.height) c.gray[static_cast<size_t>(py) * c.width + px] = 0;
          }
        }
        for (int py = y + 2; py <= y + h && py < c.height; ++py) {
          c.gray[static_cast<size_t>(py) * c.width + x0] = 0;
          c.gray[static_cast<size_t>(py) * c.width + x0 + w - 1] = 0;
        }
        DrawString(c, x0 + 8, y + h / 2 - 6, b.text.substr(0, static_cast<size_t>((w - 16) / 9)),
                   true);
        break;
      }
      case Block::Kind::kFeed:
        break;
    }
    y += b.height;
  }

  // The cut: a dashed line across the paper with what kind of cut it was.
  const int cy = c.height - kCutArea / 2;
  if (receipt.cut != Cut::kNone) {
    for (int px = 0; px < c.width; ++px) {
      if ((px / 6) % 2 == 0) c.gray[static_cast<size_t>(cy) * c.width + px] = 0;
    }
  }
  std::string label = receipt.cut == Cut::kFull      ? "full cut"
                      : receipt.cut == Cut::kPartial ? "partial cut"
                                                     : "not cut";
  DrawString(c, c.width - kMargin - static_cast<int>(label.size()) * 9, cy + 2, label, true);
  return c;
}

std::string Renderer::EncodePng(const Canvas& canvas, std::string* error) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(canvas.width);
  image.height = static_cast<png_uint_32>(canvas.height);
  image.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  if (!png_image_write_get_memory_size(image, size, 0, canvas.gray.data(), canvas.width, nullptr)) {
    if (error != nullptr) *error = image.message;
    png_image_free(&image);
    return {};
  }
  std::string out(size, '\0');
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, canvas.gray.data(), canvas.width,
                                 nullptr)) {
    if (error != nullptr) *error = image.message;
    png_image_free(&image);
    return {};
  }
  out.resize(size);
  return out;
}

}  // namespace printersim
