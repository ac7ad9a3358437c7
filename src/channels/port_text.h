// Port texts to numbers: what hosts write as port numbers ("1", "3,0", " 12 ") and the
// "host:port" form of network printers.
#pragma once

#include <cstdint>
#include <string>

#include "engine/types.h"

namespace vtl {

// The number in at most the first 14 characters of `texto`, as a currency value: 64-bit fixed
// point with 4 decimals (12.5 is 125000). "," and "." both work as the decimal separator (the
// first one found). A text that is not a number, or one too large, gives 0; nothing is raised.
std::int64_t ValorNumerico(const std::string& texto);

// ValorNumerico rounded half to even to a Long. Throws vtl::Error (6, overflow) when that does
// not fit in a Long.
std::int32_t NumeroDePuerto(const std::string& texto);

// Splits "host:port": host = the text before the first ":", port = the second piece as a Long.
// A missing or non-numeric second piece leaves `puerto` as it was; later pieces are ignored.
void SepararHostPuerto(const std::string& texto, std::string& host, std::int32_t& puerto);

}  // namespace vtl
