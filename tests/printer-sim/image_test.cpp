#include <gtest/gtest.h>
#include <png.h>

#include <random>
#include <string>

#include "printer.h"
#include "render.h"
#include "sim_test_util.h"

namespace printersim {
namespace {

using test::B;

constexpr int ESC = 0x1B, GS = 0x1D, FS = 0x1C;

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// One NV image in FS q form: width x_bytes * 8 dots, height y_bytes * 8, column after column.
std::string NvImage(int x_bytes, int y_bytes, const std::string& columns) {
  return B({x_bytes & 0xFF, x_bytes >> 8, y_bytes & 0xFF, y_bytes >> 8}) + columns;
}

// The dot the column data puts at (x, y), read straight from the bytes the host sent.
bool ColumnBit(const std::string& data, int y_bytes, int x, int y) {
  auto byte = static_cast<uint8_t>(data[static_cast<size_t>(x) * y_bytes + y / 8]);
  return (byte >> (7 - y % 8)) & 1;
}

// Checks every dot of a printed image against the bits sent, at the scale it was printed.
void ExpectDots(const Canvas& c, const Canvas::Rect& r, int w, int h, int sx, int sy,
                const std::function<bool(int, int)>& bit) {
  ASSERT_EQ(r.w, w * sx);
  ASSERT_EQ(r.h, h * sy);
  int mismatches = 0;
  for (int y = 0; y < r.h; ++y) {
    for (int x = 0; x < r.w; ++x) {
      const bool black = c.At(r.x + x, r.y + y) == 0;
      if (black != bit(x / sx, y / sy) && ++mismatches < 5) {
        ADD_FAILURE() << "dot " << x << "," << y << " is " << (black ? "black" : "white");
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(NvImages, DefinedWithFsQPrintedWithFsPDotForDot) {
  const std::string a = RandomBytes(4 * 2 * 8, 1);  // 32 x 16 dots
  const std::string b = RandomBytes(3 * 1 * 8, 2);  // 24 x 8 dots
  Printer p;
  p.Feed(B({FS, 'q', 2}) + NvImage(4, 2, a) + NvImage(3, 1, b));
  ASSERT_EQ(p.NvImages().size(), 2u);
  p.Feed(B({FS, 'p', 1, 0, ESC, 'a', 1, FS, 'p', 2, 3, ESC, 'a', 2, FS, 'p', 1, '1', GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  const Receipt& r = p.Receipts()[0];
  Renderer renderer(PRINTERSIM_DEFAULT_FONT);
  Canvas c = renderer.Draw(r, 576);
  ASSERT_EQ(c.images.size(), 3u);
  auto bit_a = [&](int x, int y) { return ColumnBit(a, 2, x, y); };
  auto bit_b = [&](int x, int y) { return ColumnBit(b, 1, x, y); };
  ExpectDots(c, c.images[0], 32, 16, 1, 1, bit_a);
  ExpectDots(c, c.images[1], 24, 8, 2, 2, bit_b);
  ExpectDots(c, c.images[2], 32, 16, 2, 1, bit_a);
  EXPECT_EQ(c.images[0].x, Renderer::kMargin);
  EXPECT_EQ(c.images[1].x, Renderer::kMargin + (576 - 48) / 2);
  EXPECT_EQ(c.images[2].x, Renderer::kMargin + 576 - 64);
  EXPECT_EQ(c.images[1].y, c.images[0].y + 16);
  // The paper around the images stays white.
  EXPECT_EQ(c.At(Renderer::kMargin + 40, c.images[0].y + 3), 255);
}

TEST(NvImages, ColumnsRunTopToBottomMostSignificantBitFirst) {
  Printer p;
  p.Feed(B(
      {FS, 'q', 1, 1, 0, 2, 0, 0x80, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x00}));
  const Bitmap& bm = p.NvImages().at(1);
  ASSERT_EQ(bm.width, 8);
  ASSERT_EQ(bm.height, 16);
  EXPECT_TRUE(bm.Dot(0, 0));
  EXPECT_TRUE(bm.Dot(1, 15));
  for (int y = 0; y < 8; ++y) EXPECT_TRUE(bm.Dot(7, y));
  EXPECT_EQ(bm.CountDots(), 10u);
}

TEST(NvImages, ANewDefinitionReplacesAll) {
  std::vector<std::string> log;
  Printer p;
  p.SetLog([&](const std::string& l) { log.push_back(l); });
  p.Feed(B({FS, 'q', 2}) + NvImage(1, 1, std::string(8, '\x01')) +
         NvImage(1, 1, std::string(8, '\x02')));
  p.Feed(B({FS, 'q', 1}) + NvImage(2, 1, std::string(16, '\x03')));
  ASSERT_EQ(p.NvImages().size(), 1u);
  EXPECT_EQ(p.NvImages().at(1).width, 16);
  p.Feed(B({FS, 'p', 2, 0}) + "x\n" + B({GS, 'V', 0}));
  EXPECT_EQ(test::Lines(p.Receipts().at(0)), std::vector<std::string>{"x"});
  bool reported = false;
  for (const std::string& l : log)
    reported |= l.find("NV image 2 not defined") != std::string::npos;
  EXPECT_TRUE(reported);
}

TEST(NvImages, ADefinitionBeyondTheCapacityKeepsTheOldImages) {
  Options opt;
  opt.nv_capacity = 1024;
  Printer p(opt);
  p.Feed(B({FS, 'q', 1}) + NvImage(1, 1, std::string(8, '\x01')));
  p.Feed(B({FS, 'q', 2}) + NvImage(8, 8, std::string(512, '\x01')) +
         NvImage(8, 9, std::string(576, '\x01')) + "after\n" + B({GS, 'V', 0}));
  ASSERT_EQ(p.NvImages().size(), 1u);
  EXPECT_EQ(p.NvImages().at(1).width, 8);
  EXPECT_EQ(
      test::Lines(p.Receipts().at(0)),
      std::vector<std::string>{"[bad: FS q: images exceed the NV capacity of 1024 bytes]after"});
}

TEST(NvImages, SurviveSaveAndLoad) {
  Printer p;
  p.Feed(B({FS, 'q', 2}) + NvImage(2, 1, RandomBytes(16, 3)) + NvImage(1, 3, RandomBytes(24, 4)));
  Printer q;
  std::string error;
  ASSERT_TRUE(q.LoadNv(p.SaveNv(), &error)) << error;
  EXPECT_EQ(q.NvImages(), p.NvImages());
  EXPECT_FALSE(q.LoadNv("PSNV1\x05garbage", &error));
  EXPECT_FALSE(q.LoadNv("", &error));
  EXPECT_EQ(q.NvImages(), p.NvImages());
}

TEST(Raster, GsV0PrintsRowsAtEveryScale) {
  const std::string rows = RandomBytes(3 * 10, 5);  // 24 x 10 dots
  auto bit = [&](int x, int y) {
    return (static_cast<uint8_t>(rows[static_cast<size_t>(y) * 3 + x / 8]) >> (7 - x % 8)) & 1;
  };
  for (int m : {0, 1, 2, 3, 48, 51}) {
    SCOPED_TRACE(m);
    Printer p;
    p.Feed(B({GS, 'v', '0', m, 3, 0, 10, 0}) + rows + B({GS, 'V', 0}));
    ASSERT_EQ(p.Receipts().size(), 1u);
    Renderer renderer(PRINTERSIM_DEFAULT_FONT);
    Canvas c = renderer.Draw(p.Receipts()[0], 576);
    ASSERT_EQ(c.images.size(), 1u);
    const int k = m >= 48 ? m - 48 : m;
    ExpectDots(c, c.images[0], 24, 10, (k & 1) ? 2 : 1, (k & 2) ? 2 : 1,
               [&](int x, int y) { return bit(x, y) != 0; });
  }
}

TEST(BitImage, EscStarPlacesTheImageInTheLine) {
  const std::string cols = RandomBytes(5 * 3, 6);  // 5 columns of 24 dots
  Printer p;
  p.Feed("ab" + B({ESC, '*', 33, 5, 0}) + cols + "c\n" + B({GS, 'V', 0}));
  const Receipt& r = p.Receipts().at(0);
  EXPECT_EQ(test::Lines(r), std::vector<std::string>{"ab[bit image: 5x24 dots]c"});
  Renderer renderer(PRINTERSIM_DEFAULT_FONT);
  Canvas c = renderer.Draw(r, 576);
  ASSERT_EQ(c.images.size(), 1u);
  EXPECT_EQ(c.images[0].x, Renderer::kMargin + 24);
  ExpectDots(c, c.images[0], 5, 24, 1, 1, [&](int x, int y) { return ColumnBit(cols, 3, x, y); });
}

// GS ( L / GS 8 L payload of graphics for the print buffer: m fn a bx by c xL xH yL yH data.
std::string GraphicsPayload(int fn, int bx, int by, int w, int h, const std::string& data) {
  return B({48, fn, 48, bx, by, 49, w & 0xFF, w >> 8, h & 0xFF, h >> 8}) + data;
}

TEST(Graphics, StoredInRowsOrColumnsAndPrintedDotForDot) {
  // 13 x 5 dots in rows of two bytes: the three padding bits of each row stay off the paper.
  const std::string rows = RandomBytes(2 * 5, 7);
  const std::string raster = GraphicsPayload(112, 2, 1, 13, 5, rows);
  const size_t p1 = raster.size();
  // 5 x 12 dots in columns of two bytes, by the four-byte length form.
  const std::string cols = RandomBytes(5 * 2, 8);
  const std::string column = GraphicsPayload(113, 1, 2, 5, 12, cols);
  Printer p;
  p.Feed(B({GS, '(', 'L', static_cast<int>(p1 & 0xFF), static_cast<int>(p1 >> 8)}) + raster +
         B({GS, '(', 'L', 2, 0, 48, 50}) +
         B({GS, '8', 'L', static_cast<int>(column.size()), 0, 0, 0}) + column +
         B({GS, '8', 'L', 2, 0, 0, 0, 48, 2}) + B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(test::Lines(p.Receipts()[0]),
            (std::vector<std::string>{"[graphics: 26x5 dots]", "[graphics: 5x24 dots]"}));
  Renderer renderer(PRINTERSIM_DEFAULT_FONT);
  Canvas c = renderer.Draw(p.Receipts()[0], 576);
  ASSERT_EQ(c.images.size(), 2u);
  ExpectDots(c, c.images[0], 13, 5, 2, 1, [&](int x, int y) {
    return (static_cast<uint8_t>(rows[static_cast<size_t>(y) * 2 + x / 8]) >> (7 - x % 8)) & 1;
  });
  ExpectDots(c, c.images[1], 5, 12, 1, 2, [&](int x, int y) { return ColumnBit(cols, 2, x, y); });
}

TEST(Graphics, WhatCannotBePrintedLeavesAMarkAndALogLine) {
  std::vector<std::string> log;
  Printer p;
  p.SetLog([&](const std::string& l) { log.push_back(l); });
  // Printing an empty buffer, an unsupported function (NV graphics) and multiple-tone graphics.
  const std::string tones = B({48, 112, 52, 1, 1, 49, 8, 0, 1, 0, 0});
  p.Feed("a" + B({GS, '(', 'L', 2, 0, 48, 50}) + "b" + B({GS, '(', 'L', 4, 0, 48, 69, 32, 32}) +
         "c" + B({GS, '(', 'L', static_cast<int>(tones.size()), 0}) + tones + "\n" +
         B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(test::Lines(p.Receipts()[0]),
            std::vector<std::string>{
                "a[GS ( L: no graphics in the print buffer]b[GS ( L: function 69 is not "
                "supported]c[GS ( L: multiple-tone graphics are not supported]"});
  int unsupported = 0;
  for (const std::string& l : log)
    unsupported += l.find("\"ev\":\"unsupported\"") != std::string::npos;
  EXPECT_EQ(unsupported, 3);
}

TEST(Png, EncodesThePictureLosslessly) {
  Printer p;
  p.Feed(B({ESC, '!', 0x30}) + "TOTAL\n" +
         B({GS, 'v', '0', 0, 2, 0, 2, 0, 0xAA, 0x55, 0x0F, 0xF0}) + B({GS, 'V', 1}));
  Renderer renderer(PRINTERSIM_DEFAULT_FONT);
  Canvas c = renderer.Draw(p.Receipts().at(0), 576);
  std::string error;
  std::string png = Renderer::EncodePng(c, &error);
  ASSERT_FALSE(png.empty()) << error;
  ASSERT_EQ(png.substr(1, 3), "PNG");

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size()));
  image.format = PNG_FORMAT_GRAY;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  EXPECT_EQ(static_cast<int>(image.width), c.width);
  EXPECT_EQ(static_cast<int>(image.height), c.height);
  EXPECT_EQ(pixels, c.gray);
}

TEST(Png, TextIsDrawnInItsCellsAtItsSize) {
  Renderer renderer(PRINTERSIM_DEFAULT_FONT);
  if (!renderer.FontLoaded()) GTEST_SKIP() << renderer.FontError();
  Printer p;
  p.Feed("M\n" + B({ESC, '!', 0x30}) + "M\n" + B({GS, 'V', 0}));
  Canvas c = renderer.Draw(p.Receipts().at(0), 576);
  auto ink = [&](int x0, int y0, int w, int h, int& right, int& bottom) {
    int n = 0;
    right = bottom = -1;
    for (int y = y0; y < y0 + h; ++y) {
      for (int x = x0; x < x0 + w; ++x) {
        if (c.At(x, y) < 128) {
          ++n;
          right = std::max(right, x);
          bottom = std::max(bottom, y);
        }
      }
    }
    return n;
  };
  int r1, b1, r2, b2;
  const int m = Renderer::kMargin;
  const int small = ink(m, m, 24, 30, r1, b1);
  const int big = ink(m, m + 30, 48, 48, r2, b2);
  EXPECT_GT(small, 20);
  EXPECT_GT(big, 3 * small);
  EXPECT_LT(r1, m + 12);
  EXPECT_GE(r2, m + 16);
  EXPECT_LT(r2, m + 24);
  EXPECT_EQ(ink(m + 24, m, 200, 30, r1, b1), 0);
}

TEST(TextRendering, PlaceholdersAndCutLine) {
  Printer p;
  p.Feed(B({FS, 'q', 1}) + NvImage(2, 1, std::string(16, '\xFF')) +
         B({ESC, 'a', 1, FS, 'p', 1, 0}) + B({GS, 'k', 73, 4}) + "ABCD" + B({ESC, 'i'}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(RenderText(p.Receipts()[0], 576),
            std::string(23, ' ') + "[NV image 1: 16x8 dots]\n" + std::string(12, ' ') +
                "[barcode CODE128: ABCD]\n" + "--8<-- partial cut " + std::string(29, '-') + "\n");
}

TEST(TextRendering, SymbolsStylesAndSoundsClientLibrariesSend) {
  Printer p;
  p.Feed(B({GS, '(', 'k', 7, 0, 48, 80, 48}) + "pdf1" + B({GS, '(', 'k', 3, 0, 48, 81, 48}) +
         B({GS, '(', 'k', 7, 0, 50, 80, 48}) + "maxi" + B({GS, '(', 'k', 3, 0, 50, 81, 48}) +
         B({ESC, 'Z', 0, 'L', 6, 3, 0}) + "old" + B({ESC, '{', 1}) + "up" + B({ESC, '{', 0}) +
         B({GS, 'b', 1}) + "smooth" + B({ESC, 'B', 2, 3}) + "\n" + B({ESC, '@'}) + "plain\n" +
         B({GS, 'V', 0}));
  ASSERT_EQ(p.Receipts().size(), 1u);
  EXPECT_EQ(test::Lines(p.Receipts()[0]),
            (std::vector<std::string>{"[PDF417: pdf1]", "[MaxiCode: maxi]", "[QR code: old]",
                                      "{ud}up{/}{sm}smooth{/}[buzzer: 2 beeps, time 3]", "plain"}));
}

}  // namespace
}  // namespace printersim
