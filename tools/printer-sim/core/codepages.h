#pragma once

#include <cstdint>
#include <string>

namespace printersim {

// Character code tables selectable with ESC t n (n is the table number).
bool CodePageKnown(uint8_t number);
const char* CodePageName(uint8_t number);
// Unicode code point a byte prints as under table `number` ('?' where the table has no glyph).
char32_t DecodeByte(uint8_t number, uint8_t byte);
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace printersim
