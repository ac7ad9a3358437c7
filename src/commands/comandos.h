// What the printer port offers beside printing: text for the printer's code page, the stored
// logos' stream, and running another program while the host's events go on.
#pragma once

#include <string>
#include <vector>

namespace vtl {

// One Windows-1252 character to the byte a code page 437 printer shows as the same letter;
// anything else passes unchanged.
std::string TraducirCaracter(const std::string& tmpCaracter);

// Builds the stream that defines every bitmap of `rutas` as a stored logo (1 to n, in order).
// Unusable paths (missing files, folders) are replaced by "" in `rutas` and stored as a one-dot
// placeholder so later logos keep their numbers. Returns false, with nothing built, for files
// over 500,000 bytes, streams over 500,001 bytes, more than 255 logos and headers the format
// cannot hold (zero or top-down height, pixel data offset of 32768 or more, out-of-range rows).
bool ConstruirFlujoLogos(std::vector<std::string>& rutas, std::string& flujo);

// Runs a program hidden and waits for it while this thread's events go on; false when it could
// not be started. An empty `programa` takes the program from the first token of the line.
bool EjecutarYEsperar(const std::string& programa, const std::string& lineaDeComandos);

}  // namespace vtl
