// Direct reads and writes of a parallel port's registers.
#include <limits>

#include "engine/prnport.h"
#include "platform/portio.h"

namespace vtl {

namespace {

// Hardware inverts these lines; the values used here have them the right way round.
constexpr std::int32_t kInvertidosEstado = 0x80;   // busy
constexpr std::int32_t kInvertidosControl = 0x0B;  // strobe, auto feed, select in

}  // namespace

bool clsPrnPort::DireccionDe(std::int32_t base, std::int32_t desplazamiento,
                             std::int16_t& direccion) {
  // Signed 16-bit arithmetic as the port addresses are kept, and no wrap-around past 0xFFFF
  // either: a register must lie inside the port's own block.
  const std::int64_t suma = static_cast<std::int64_t>(base) + desplazamiento;
  if (suma < std::numeric_limits<std::int16_t>::min() ||
      suma > std::numeric_limits<std::int16_t>::max()) {
    return false;
  }
  const std::int64_t sinSigno = (static_cast<std::int64_t>(base) & 0xFFFF) + desplazamiento;
  if (base < std::numeric_limits<std::int16_t>::min() ||
      base > std::numeric_limits<std::int16_t>::max() || sinSigno < 0 || sinSigno > 0xFFFF) {
    return false;
  }
  direccion = static_cast<std::int16_t>(suma);
  return true;
}

std::int32_t clsPrnPort::LeerPuerto(std::int16_t direccion) {
  return platform::Inp32(direccion) & 0xFF;
}

void clsPrnPort::EscribirPuerto(std::int16_t direccion, std::int16_t valor) {
  platform::Out32(direccion, valor);
}

std::int32_t clsPrnPort::LeerRegistro(std::int32_t base, std::int32_t desplazamiento) {
  std::int16_t direccion = 0;
  if (!DireccionDe(base, desplazamiento, direccion)) return 0xFF;
  return LeerPuerto(direccion);
}

void clsPrnPort::EscribirRegistro(std::int32_t base, std::int32_t desplazamiento,
                                  std::int32_t valor) {
  std::int16_t direccion = 0;
  if (!DireccionDe(base, desplazamiento, direccion)) return;
  EscribirPuerto(direccion, static_cast<std::int16_t>(valor & 0xFF));
}

std::int32_t clsPrnPort::LeerEstadoParalelo(std::int32_t base) {
  return LeerRegistro(base, 1) ^ kInvertidosEstado;
}

std::int32_t clsPrnPort::LeerControl(std::int32_t base) {
  return LeerRegistro(base, 2) ^ kInvertidosControl;
}

void clsPrnPort::EscribirControl(std::int32_t base, std::int32_t valor) {
  EscribirRegistro(base, 2, valor ^ kInvertidosControl);
}

std::int32_t clsPrnPort::BitActivo(std::int32_t valor, std::int32_t bit) {
  if (bit < 0 || bit > 30) return 0;
  return (valor >> bit) & 1;
}

std::int32_t clsPrnPort::LeerModoEcp(std::int32_t base) {
  std::int16_t ecr = 0;
  if (DireccionDe(base, 0x402, ecr)) {
    m_DireccionEcr = ecr;
    m_ValorEcr = static_cast<std::int16_t>(LeerPuerto(ecr));
  } else {
    m_DireccionEcr = 0;
    m_ValorEcr = 0xFF;
  }
  return (m_ValorEcr >> 5) & 7;
}

std::string clsPrnPort::DescripcionModoEcp(std::int32_t modo) {
  switch (modo) {
    case 0:
      return "SPP";
    case 1:
      return "PS/2";
    case 2:
      return "Fast Centronics";
    case 3:
      return "ECP";
    case 4:
      return "EPP";
    case 6:
      return "Test";
    case 7:
      return "Configuration";
    default:
      return "";
  }
}

std::int32_t clsPrnPort::LimpiarTimeoutEpp(std::int32_t base) {
  // Chips differ in how the time-out clears: writing 1, writing 0, or reading the status. All
  // three happen here.
  const std::int32_t habia = BitActivo(LeerEstadoParalelo(base), 0);
  EscribirRegistro(base, 1, 1);
  EscribirRegistro(base, 1, 0);
  LeerEstadoParalelo(base);
  return habia;
}

}  // namespace vtl
