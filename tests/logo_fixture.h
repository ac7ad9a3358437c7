// Bitmaps as the logo converter reads them, and the stream the printer must receive for them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vtl::testing {

using Pixel = std::function<int(int x, int y)>;  // colour index 0 or 1, y from the top

// A 1-bit bitmap as the format stores it: bottom row first, rows padded to 4 bytes.
inline std::string Bitmap(int width, int height, std::uint8_t palette0Blue, const Pixel& pixel) {
  const int row = ((width + 31) / 32) * 4;
  const int offset = 14 + 40 + 8;
  const int size = offset + row * height;
  std::string b(static_cast<std::size_t>(size), '\0');
  auto put32 = [&](int at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      b[static_cast<std::size_t>(at + i)] = static_cast<char>(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, static_cast<std::uint32_t>(size));
  put32(10, offset);
  put32(14, 40);
  put32(18, static_cast<std::uint32_t>(width));
  put32(22, static_cast<std::uint32_t>(height));
  b[26] = 1;
  b[28] = 1;
  b[54] = static_cast<char>(palette0Blue);
  b[55] = b[56] = static_cast<char>(palette0Blue);
  b[58] = b[59] = b[60] = static_cast<char>(~palette0Blue);
  for (int y = 0; y < height; ++y) {
    const int stored = height - 1 - y;
    for (int x = 0; x < width; ++x) {
      if (pixel(x, y)) {
        b[static_cast<std::size_t>(offset + stored * row + x / 8)] |=
            static_cast<char>(0x80 >> (x % 8));
      }
    }
  }
  return b;
}

// The dot columns the printer must store: x * 8 columns of y bytes, top dot in the high bit.
inline std::string Columns(int width, int height, const std::function<bool(int, int)>& dot) {
  const int x = (width + 7) / 8, y = (height + 7) / 8;
  std::string out;
  out += static_cast<char>(x % 256);
  out += static_cast<char>(x / 256);
  out += static_cast<char>(y % 256);
  out += static_cast<char>(y / 256);
  for (int c = 0; c < 8 * x; ++c) {
    for (int band = 0; band < y; ++band) {
      unsigned char byte = 0;
      for (int k = 0; k < 8; ++k) {
        const int r = band * 8 + k;
        if (c < width && r < height && dot(c, r)) byte |= static_cast<unsigned char>(0x80 >> k);
      }
      out += static_cast<char>(byte);
    }
  }
  return out;
}

inline std::string Stream(const std::vector<std::string>& logos) {
  std::string s("\x1b\x40\x1c\x71", 4);
  s += static_cast<char>(logos.size());
  for (const auto& l : logos) s += l;
  return s + std::string("\0\x1b\x40", 3);
}

class Files {
 public:
  ~Files() {
    for (const auto& p : paths_) std::remove(p.c_str());
  }
  std::string Write(const std::string& content) {
    char name[] = "/tmp/vtl-logo-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    paths_.push_back(name);
    return name;
  }

 private:
  std::vector<std::string> paths_;
};

}  // namespace vtl::testing
