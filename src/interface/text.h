// Text at the library's edge: hosts and command-line input speak UTF-8, the printer port speaks
// Windows-1252, one byte per character, exactly what goes on the wire.
#pragma once

#include "platform/codepage.h"

namespace vtl {

using platform::AnsiToUtf8;
using platform::Utf8ToAnsi;

}  // namespace vtl
