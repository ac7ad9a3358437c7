#include "bitmap.h"

#include <algorithm>
#include <bit>

namespace printersim {

namespace {

Bitmap Columns(int columns, int bytes_per_column, std::string_view data) {
  if (columns <= 0 || bytes_per_column <= 0) return Bitmap();
  Bitmap bm(columns, bytes_per_column * 8);
  for (int c = 0; c < columns; ++c) {
    for (int j = 0; j < bytes_per_column; ++j) {
      size_t at = static_cast<size_t>(c) * bytes_per_column + j;
      if (at >= data.size()) return bm;
      auto d = static_cast<uint8_t>(data[at]);
      for (int b = 0; b < 8; ++b) {
        if ((d >> (7 - b)) & 1) bm.Set(c, j * 8 + b);
      }
    }
  }
  return bm;
}

}  // namespace

size_t Bitmap::CountDots() const {
  size_t n = 0;
  for (uint8_t b : bits) n += static_cast<size_t>(std::popcount(b));
  return n;
}

Bitmap FromColumns(int x_bytes, int y_bytes, std::string_view data) {
  return Columns(x_bytes * 8, y_bytes, data);
}

Bitmap FromRaster(int x_bytes, int y, std::string_view data) {
  if (x_bytes <= 0 || y <= 0) return Bitmap();
  Bitmap bm(x_bytes * 8, y);
  size_t n = std::min(data.size(), bm.bits.size());
  std::copy_n(reinterpret_cast<const uint8_t*>(data.data()), n, bm.bits.begin());
  return bm;
}

Bitmap FromBitImage(int columns, int bytes_per_column, std::string_view data) {
  return Columns(columns, bytes_per_column, data);
}

Bitmap FromGraphics(int width, int height, bool columns, std::string_view data) {
  if (width <= 0 || height <= 0) return Bitmap();
  const Bitmap padded =
      columns ? Columns(width, (height + 7) / 8, data) : FromRaster((width + 7) / 8, height, data);
  Bitmap bm(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (padded.Dot(x, y)) bm.Set(x, y);
    }
  }
  return bm;
}

}  // namespace printersim
