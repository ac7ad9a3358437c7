// Which COM (1 to 16) and LPT (1 to 4) devices could be opened exclusively now.
#pragma once

#include <cstdint>
#include <vector>

namespace vtl {

// The numbers, in ascending order. An array is replaced only when a port of its kind was found;
// otherwise the caller's array stays as it was. A port held open (by this process too) is not
// listed.
void ListaDePuertosExistentes(std::vector<std::int32_t>& tmpArrPuertosSerie,
                              std::vector<std::int32_t>& tmpArrPuertosParalelo);

}  // namespace vtl
