#include <gtest/gtest.h>

#include "commands/comandos.h"

namespace vtl {
namespace {

std::string T(const std::string& c) {
  return TraducirCaracter(c);
}

TEST(TextTranslation, SpanishLettersBecomeWhatACodePage437PrinterShows) {
  // Accented small letters and the eñes take their own glyphs, accented capitals lose the accent,
  // two symbols take the nearest glyph.
  const std::string from =
      "\xE1\xE0\xE9\xE8\xED\xEC\xF3\xF2\xFA\xF9\xF1\xD1\xC1\xC0\xC9\xC8\xCD\xCC\xD3\xD2\xDA\xD9\xBA"
      "\xA6";
  const std::string to =
      "\xA0\xA0\x82\x82\xA1\xA1\xA2\xA2\xA3\xA3\xA4\xA5"
      "AAEEIIOOUU\xF8\xB3";
  for (std::size_t i = 0; i < from.size(); ++i) {
    EXPECT_EQ(T(from.substr(i, 1)), to.substr(i, 1)) << std::hex << (0xFF & from[i]);
  }
}

TEST(TextTranslation, EverythingElsePassesUnchanged) {
  int changed = 0;
  for (int b = 0; b < 256; ++b)
    changed += T(std::string(1, static_cast<char>(b))) != std::string(1, static_cast<char>(b));
  EXPECT_EQ(changed, 24) << "only the table's characters change";
  for (const char* same : {"\xFC", "\xDC", "\xE7", "\xAA", "\xBF", "\xA1", "|", "\xB0", "a", "A",
                           "7", "\r", "\n", "\x1b"}) {
    EXPECT_EQ(T(same), same);
  }
  EXPECT_EQ(T(""), "");
  EXPECT_EQ(T("\xF1\xF1"), "\xF1\xF1") << "two characters are not one character";
  EXPECT_EQ(T(std::string(1, '\0')), std::string(1, '\0'));
}

}  // namespace
}  // namespace vtl
