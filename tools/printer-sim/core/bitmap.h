#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace printersim {

// A one-bit picture in printer dots, row-major, most significant bit leftmost.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bits;

  Bitmap() = default;
  Bitmap(int w, int h) : width(w), height(h), bits(static_cast<size_t>(Stride(w)) * h) {}

  static int Stride(int w) { return (w + 7) / 8; }
  bool Empty() const { return width <= 0 || height <= 0; }
  bool Dot(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return false;
    return (bits[static_cast<size_t>(y) * Stride(width) + x / 8] >> (7 - x % 8)) & 1;
  }
  void Set(int x, int y) {
    bits[static_cast<size_t>(y) * Stride(width) + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
  }
  size_t CountDots() const;
  bool operator==(const Bitmap&) const = default;
};

// Column data as NV and downloaded images carry it: for each of the `x_bytes * 8` columns,
// `y_bytes` bytes from top to bottom, most significant bit at the top.
Bitmap FromColumns(int x_bytes, int y_bytes, std::string_view data);
// Raster data (GS v 0): `y` rows of `x_bytes` bytes, most significant bit leftmost.
Bitmap FromRaster(int x_bytes, int y, std::string_view data);
// Bit image data (ESC *): `columns` columns of `bytes_per_column` bytes (1 or 3), MSB at the top.
Bitmap FromBitImage(int columns, int bytes_per_column, std::string_view data);
// Graphics data (GS ( L, GS 8 L) of `width` x `height` dots: raster rows of (width + 7) / 8
// bytes, or columns of (height + 7) / 8 bytes, top dot in the high bit. Data missing at the end
// leaves its dots white.
Bitmap FromGraphics(int width, int height, bool columns, std::string_view data);

}  // namespace printersim
