// The ANSI code page of the original hosts, Windows-1252: one byte per character, exactly what
// goes on the wire. Conversions to and from UTF-8 for everything that speaks Unicode.
#pragma once

#include <string>
#include <string_view>

namespace vtl::platform {

// Characters outside Windows-1252, and malformed UTF-8, become "?". The five bytes the code page
// leaves unassigned travel as the code points of the same value, so any byte string survives a
// trip through UTF-8 and back.
std::string Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);

}  // namespace vtl::platform
