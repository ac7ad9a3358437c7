// Direct reads and writes of a parallel port's registers, and finding the machine's parallel
// ports and the modes they offer by probing them.
#include "channels/parallel/registros.h"

#include <array>
#include <limits>

#include "platform/portio.h"

namespace vtl {

namespace {

// Hardware inverts these lines; the values used here have them the right way round.
constexpr std::int32_t kInvertidosEstado = 0x80;   // busy
constexpr std::int32_t kInvertidosControl = 0x0B;  // strobe, auto feed, select in

}  // namespace

bool DetectorParalelo::DireccionDe(std::int32_t base, std::int32_t desplazamiento,
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

std::int32_t DetectorParalelo::LeerPuerto(std::int16_t direccion) {
  return platform::Inp32(direccion) & 0xFF;
}

void DetectorParalelo::EscribirPuerto(std::int16_t direccion, std::int16_t valor) {
  platform::Out32(direccion, valor);
}

std::int32_t DetectorParalelo::LeerRegistro(std::int32_t base, std::int32_t desplazamiento) {
  std::int16_t direccion = 0;
  if (!DireccionDe(base, desplazamiento, direccion)) return 0xFF;
  return LeerPuerto(direccion);
}

void DetectorParalelo::EscribirRegistro(std::int32_t base, std::int32_t desplazamiento,
                                        std::int32_t valor) {
  std::int16_t direccion = 0;
  if (!DireccionDe(base, desplazamiento, direccion)) return;
  EscribirPuerto(direccion, static_cast<std::int16_t>(valor & 0xFF));
}

std::int32_t DetectorParalelo::LeerEstadoParalelo(std::int32_t base) {
  return LeerRegistro(base, 1) ^ kInvertidosEstado;
}

std::int32_t DetectorParalelo::LeerControl(std::int32_t base) {
  return LeerRegistro(base, 2) ^ kInvertidosControl;
}

void DetectorParalelo::EscribirControl(std::int32_t base, std::int32_t valor) {
  EscribirRegistro(base, 2, valor ^ kInvertidosControl);
}

std::int32_t DetectorParalelo::BitActivo(std::int32_t valor, std::int32_t bit) {
  if (bit < 0 || bit > 30) return 0;
  return (valor >> bit) & 1;
}

std::int32_t DetectorParalelo::LeerModoEcp(std::int32_t base) {
  std::int16_t ecr = 0;
  if (DireccionDe(base, 0x402, ecr)) {
    direccionEcr_ = ecr;
    valorEcr_ = static_cast<std::int16_t>(LeerPuerto(ecr));
  } else {
    direccionEcr_ = 0;
    valorEcr_ = 0xFF;
  }
  return (valorEcr_ >> 5) & 7;
}

std::string DetectorParalelo::DescripcionModoEcp(std::int32_t modo) {
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

std::int32_t DetectorParalelo::LimpiarTimeoutEpp(std::int32_t base) {
  // Chips differ in how the time-out clears: writing 1, writing 0, or reading the status. All
  // three happen here.
  const std::int32_t habia = BitActivo(LeerEstadoParalelo(base), 0);
  EscribirRegistro(base, 1, 1);
  EscribirRegistro(base, 1, 0);
  LeerEstadoParalelo(base);
  return habia;
}

namespace {

// Where parallel ports live, in the order LPT numbers are handed out.
constexpr std::array<std::int32_t, 4> kDireccionesCandidatas = {0x378, 0x320, 0x278, 0x190};

constexpr std::int32_t kEcr = 0x402;
constexpr std::int32_t kDireccionEpp = 3;

}  // namespace

bool DetectorParalelo::ProbarEcp(std::int32_t base) {
  std::int16_t ecr = 0;
  if (!DireccionDe(base, kEcr, ecr)) return false;
  direccionEcr_ = ecr;
  valorEcr_ = static_cast<std::int16_t>(LeerPuerto(ecr));
  std::int32_t control = LeerControl(base);
  // An idle ECP FIFO reads empty and not full; a missing register reads 0xFF, "full".
  if (BitActivo(valorEcr_, 0) != 1 || BitActivo(valorEcr_, 1) != 0) return false;
  if (BitActivo(control, 1) == 0) {
    EscribirControl(base, 0x0F);
    control = LeerControl(base);
    if (BitActivo(control, 1) == 0) return false;
  }
  const std::int16_t guardado = valorEcr_;
  EscribirPuerto(ecr, 0x34);
  valorEcr_ = static_cast<std::int16_t>(LeerPuerto(ecr));
  const bool resultado = valorEcr_ == 0x35;
  EscribirPuerto(ecr, guardado);
  return resultado;
}

bool DetectorParalelo::ProbarEpp(std::int32_t base) {
  for (const std::int32_t patron : {0x55, 0xAA}) {
    EscribirRegistro(base, kDireccionEpp, patron);
    LimpiarTimeoutEpp(base);
    const std::int32_t leido = LeerRegistro(base, kDireccionEpp);
    LimpiarTimeoutEpp(base);
    if (leido != patron) return false;
  }
  return true;
}

bool DetectorParalelo::ProbarSpp(std::int32_t base) {
  EscribirControl(base, 0x0F);
  for (const std::int32_t patron : {0x55, 0xAA}) {
    EscribirRegistro(base, 0, patron);
    if (LeerRegistro(base, 0) != patron) return false;
  }
  return true;
}

bool DetectorParalelo::ProbarPs2(std::int32_t base) {
  // With the data lines turned to input, what was written no longer reads back.
  EscribirControl(base, 0x2F);
  bool resultado = false;
  for (const std::int32_t patron : {0x55, 0xAA}) {
    EscribirRegistro(base, 0, patron);
    if (LeerRegistro(base, 0) != patron) {
      resultado = true;
      break;
    }
  }
  EscribirControl(base, 0x0F);
  return resultado;
}

bool DetectorParalelo::DetectarPuerto(const RegistrosParalelo& registros, std::int32_t indice) {
  if (indice < 0 || indice >= static_cast<std::int32_t>(registros.size())) return false;
  RegistroParalelo& registro = *registros[static_cast<std::size_t>(indice)];
  ecpDetectado_ = eppDetectado_ = sppDetectado_ = ps2Detectado_ = false;
  tipoDetectado_.clear();
  const std::int32_t base = registro.Address;

  std::int32_t modo = 0;
  ecpDetectado_ = ProbarEcp(base);
  if (ecpDetectado_) modo = LeerModoEcp(base);
  eppDetectado_ = base == 0x3BC ? false : ProbarEpp(base);
  if (eppDetectado_) {
    tipoDetectado_ = "EPP";
  } else {
    sppDetectado_ = ProbarSpp(base);
    if (sppDetectado_) {
      ps2Detectado_ = ProbarPs2(base);
      tipoDetectado_ = ps2Detectado_ ? "PS/2" : "SPP";
    }
  }
  if (ecpDetectado_ && eppDetectado_) tipoDetectado_ = "ECP+EPP";

  registro.ECPExists = ecpDetectado_;
  registro.EPPExists = eppDetectado_;
  registro.PS2Exists = ps2Detectado_;
  registro.SPPExists = sppDetectado_;

  bool encontrado = false;
  if (tipoDetectado_.empty()) {
    registro.PortType.clear();
    registro.Address = 0;
    registro.Enabled = 0;
  } else {
    registro.Enabled = -1;
    registro.PortType = tipoDetectado_;
    if (ecpDetectado_) {
      registro.EcpModeValue = static_cast<std::int16_t>(modo);
      registro.EcpModeDescription = DescripcionModoEcp(modo);
    }
    encontrado = true;
  }
  ActualizarModosEcp(registros);
  return encontrado;
}

void DetectorParalelo::ActualizarModosEcp(const RegistrosParalelo& registros) {
  for (std::size_t i = 0; i < 4; ++i) {
    RegistroParalelo& registro = *registros[i];
    if (registro.Enabled != -1 || registro.PortType != "ECP") continue;
    const std::int32_t modo = LeerModoEcp(registro.Address);
    registro.EcpModeValue = static_cast<std::int16_t>(modo);
    registro.EcpModeDescription = DescripcionModoEcp(modo);
  }
}

void DetectorParalelo::DetectarPuertosParalelo(const RegistrosParalelo& registros) {
  std::size_t indice = 0;
  for (const std::int32_t candidata : kDireccionesCandidatas) {
    RegistroParalelo& registro = *registros[indice];
    registro.Address = static_cast<std::int16_t>(candidata);
    DetectarPuerto(registros, static_cast<std::int32_t>(indice));
    if (registro.Address != 0) ++indice;
  }
}

}  // namespace vtl
