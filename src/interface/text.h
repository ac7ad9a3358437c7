// Text at the library's edge: hosts and command-line input speak UTF-8, the printer port speaks
// Windows-1252, one byte per character, exactly what goes on the wire.
#pragma once

#include <string>
#include <string_view>

namespace vtl {

// Characters outside Windows-1252, and malformed UTF-8, become "?".
std::string Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);

}  // namespace vtl
