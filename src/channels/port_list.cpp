// Which COM and LPT devices this object could open now.
#include "channels/port_list.h"

#include <string>

#include "platform/win.h"

namespace vtl {

using namespace platform;

namespace {

// Opened exclusively and closed at once: a device that someone holds does not count.
bool SePuedeAbrir(const std::string& tipo, std::int32_t numero) {
  const std::string nombre = tipo + std::to_string(numero);
  for (const std::string& intento : {"\\\\.\\" + nombre, nombre}) {
    const HANDLE h = CreateFileA(intento.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
    if (h != 0 && h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
  }
  return false;
}

std::vector<std::int32_t> Presentes(const std::string& tipo, std::int32_t ultimo) {
  std::vector<std::int32_t> numeros;
  for (std::int32_t n = 1; n <= ultimo; ++n) {
    if (SePuedeAbrir(tipo, n)) numeros.push_back(n);
  }
  return numeros;
}

}  // namespace

void ListaDePuertosExistentes(std::vector<std::int32_t>& tmpArrPuertosSerie,
                              std::vector<std::int32_t>& tmpArrPuertosParalelo) {
  std::vector<std::int32_t> serie = Presentes("COM", 16);
  std::vector<std::int32_t> paralelo = Presentes("LPT", 4);
  if (!paralelo.empty()) tmpArrPuertosParalelo = std::move(paralelo);
  if (!serie.empty()) tmpArrPuertosSerie = std::move(serie);
}

}  // namespace vtl
