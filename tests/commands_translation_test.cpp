#include <gtest/gtest.h>

#include "commands/comandos.h"

namespace vtl {
namespace {

std::string T(const std::string& c) {
  return TraducirCaracter(c);
}

TEST(TextTranslation, SpanishLettersBecomeCodePage437Bytes) {
  const std::pair<const char*, const char*> table[] = {
      {"\xE1", "\xA0"}, {"\xE0", "\xA0"}, {"\xC1", "A"},    {"\xC0", "A"},    {"\xE9", "\x82"},
      {"\xE8", "\x82"}, {"\xC9", "E"},    {"\xC8", "E"},    {"\xED", "\xA1"}, {"\xEC", "\xA1"},
      {"\xCD", "I"},    {"\xCC", "I"},    {"\xF3", "\xA2"}, {"\xF2", "\xA2"}, {"\xD3", "O"},
      {"\xD2", "O"},    {"\xFA", "\xA3"}, {"\xF9", "\xA3"}, {"\xDA", "U"},    {"\xD9", "U"},
      {"\xD1", "\xA5"}, {"\xF1", "\xA4"}, {"\xBA", "\xF8"}, {"\xA6", "\xB3"}};
  for (const auto& [in, out] : table) EXPECT_EQ(T(in), out) << std::hex << (0xFF & in[0]);
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
