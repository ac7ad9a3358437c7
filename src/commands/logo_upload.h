// Turning monochrome bitmaps into the printer's stored-logo stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "interface/variant.h"

namespace vtl {

class clsPrnPort;

namespace modLogoUpload {

// Builds the stream that defines every bitmap of `rutas` as a stored logo (1 to n, in order).
// Unusable paths (missing files, folders) are replaced by "" in `rutas` and stored as a one-dot
// placeholder so later logos keep their numbers. Returns false, with nothing built, for files
// over 500,000 bytes, streams over 500,001 bytes, more than 255 logos and headers the format
// cannot hold (zero or top-down height, pixel data offset of 32768 or more, out-of-range rows).
bool ConstruirFlujo(std::vector<std::string>& rutas, std::string& flujo);

// Builds the stream and hands it to `puerto` (after ClearAll) as one command. Returns a Boolean
// variant: True when the stream was handed over.
Variant ConvertirLogos(clsPrnPort& puerto, std::vector<std::string>& rutas);

}  // namespace modLogoUpload
}  // namespace vtl
