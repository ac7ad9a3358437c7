#include "channels/serial/estado_serie.h"

#include <algorithm>
#include <cstring>

#include "base/escpos.h"

namespace vtl {

namespace {

bool EsInicio(unsigned char b) {
  return (b & 0x93) == 0x10;
}
bool EsResto(unsigned char b) {
  return (b & 0x90) == 0x00;
}
bool TodosResto(const unsigned char* b, std::size_t n) {
  return std::all_of(b, b + n, EsResto);
}

}  // namespace

void LectorEstadoSerie::Bloque(const unsigned char* b) {
  fueraDeLinea_ = (b[0] & 0x08) != 0;
  sinPapel_ = (b[2] & 0x0C) != 0;
  tapa_ = (b[0] & escpos::kAsbTapa) != 0;
}

void LectorEstadoSerie::Olvidar() {
  resto_.clear();
  fueraDeLinea_ = false;
  sinPapel_ = false;
  tapa_ = false;
}

unsigned char LectorEstadoSerie::Leer(const unsigned char* bytes, std::size_t n) {
  if (n == 0) return 0;
  std::size_t i = 0;
  unsigned char primero = bytes[0];
  if (!resto_.empty()) {
    const std::size_t falta = 4 - resto_.size();
    if (n == falta && TodosResto(bytes, n)) {
      unsigned char b[4];
      std::copy(resto_.begin(), resto_.end(), b);
      std::copy_n(bytes, falta, b + resto_.size());
      Bloque(b);
      primero = b[0];
      i = n;
    }
    resto_.clear();
  }
  while (i < n) {
    const std::size_t quedan = n - i;
    if (EsInicio(bytes[i]) && quedan >= 4 && TodosResto(bytes + i + 1, 3)) {
      Bloque(bytes + i);
      i += 4;
    } else if (EsInicio(bytes[i]) && quedan < 4 && TodosResto(bytes + i + 1, quedan - 1)) {
      resto_.assign(reinterpret_cast<const char*>(bytes + i), quedan);
      i = n;
    } else {
      ++i;
    }
  }
  return primero;
}

}  // namespace vtl
