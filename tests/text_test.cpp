#include "interface/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, Utf8BecomesWindows1252ByteForByte) {
  EXPECT_EQ(vtl::Utf8ToAnsi("Año 2026: café, ñandú, 8,50 €"),
            "A\xf1o 2026: caf\xe9, \xf1"
            "and\xfa, 8,50 \x80");
  EXPECT_EQ(vtl::Utf8ToAnsi(std::string("\x1b@\0x", 4)), std::string("\x1b@\0x", 4));
  EXPECT_EQ(vtl::Utf8ToAnsi("\xe2\x80\x9cquoted\xe2\x80\x9d"), "\x93quoted\x94");
}

TEST(Text, WhatWindows1252CannotHoldBecomesAQuestionMark) {
  EXPECT_EQ(vtl::Utf8ToAnsi("日本"), "??");
  EXPECT_EQ(vtl::Utf8ToAnsi("\xf0\x9f\x98\x80!"), "?!");
  // Malformed input: a lone continuation byte, a truncated sequence, an overlong slash.
  EXPECT_EQ(vtl::Utf8ToAnsi("a\x80"
                            "b"),
            "a?b");
  EXPECT_EQ(vtl::Utf8ToAnsi("x\xc3"), "x?");
  EXPECT_EQ(vtl::Utf8ToAnsi("\xc0\xaf"), "??");
}

TEST(Text, EveryWindows1252ByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(vtl::Utf8ToAnsi(vtl::AnsiToUtf8(all)), all);
}

}  // namespace
