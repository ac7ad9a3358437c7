// Finding the machine's parallel ports and the modes they offer, by probing their registers.
#include <array>

#include "engine/prnport.h"

namespace vtl {

namespace {

// Where parallel ports live, in the order LPT numbers are handed out.
constexpr std::array<std::int32_t, 4> kDireccionesCandidatas = {0x378, 0x320, 0x278, 0x190};

constexpr std::int32_t kEcr = 0x402;
constexpr std::int32_t kDireccionEpp = 3;

}  // namespace

std::shared_ptr<clsPrnPortData> clsPrnPort::PortData(std::int32_t tmpIndex) const {
  if (tmpIndex >= 0 && tmpIndex <= 3) return m_PortData[static_cast<std::size_t>(tmpIndex)];
  return m_PortData[0];
}

bool clsPrnPort::ProbarEcp(std::int32_t base) {
  std::int16_t ecr = 0;
  if (!DireccionDe(base, kEcr, ecr)) return false;
  m_DireccionEcr = ecr;
  m_ValorEcr = static_cast<std::int16_t>(LeerPuerto(ecr));
  std::int32_t control = LeerControl(base);
  // An idle ECP FIFO reads empty and not full; a missing register reads 0xFF, "full".
  if (BitActivo(m_ValorEcr, 0) != 1 || BitActivo(m_ValorEcr, 1) != 0) return false;
  if (BitActivo(control, 1) == 0) {
    EscribirControl(base, 0x0F);
    control = LeerControl(base);
    if (BitActivo(control, 1) == 0) return false;
  }
  const std::int16_t guardado = m_ValorEcr;
  EscribirPuerto(ecr, 0x34);
  m_ValorEcr = static_cast<std::int16_t>(LeerPuerto(ecr));
  const bool resultado = m_ValorEcr == 0x35;
  EscribirPuerto(ecr, guardado);
  return resultado;
}

bool clsPrnPort::ProbarEpp(std::int32_t base) {
  for (const std::int32_t patron : {0x55, 0xAA}) {
    EscribirRegistro(base, kDireccionEpp, patron);
    LimpiarTimeoutEpp(base);
    const std::int32_t leido = LeerRegistro(base, kDireccionEpp);
    LimpiarTimeoutEpp(base);
    if (leido != patron) return false;
  }
  return true;
}

bool clsPrnPort::ProbarSpp(std::int32_t base) {
  EscribirControl(base, 0x0F);
  for (const std::int32_t patron : {0x55, 0xAA}) {
    EscribirRegistro(base, 0, patron);
    if (LeerRegistro(base, 0) != patron) return false;
  }
  return true;
}

bool clsPrnPort::ProbarPs2(std::int32_t base) {
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

bool clsPrnPort::DetectarPuerto(std::int32_t indice) {
  if (indice < 0 || indice >= static_cast<std::int32_t>(m_PortData.size())) return false;
  clsPrnPortData& registro = *m_PortData[static_cast<std::size_t>(indice)];
  m_EcpDetectado = m_EppDetectado = m_SppDetectado = m_Ps2Detectado = false;
  m_TipoDetectado.clear();
  const std::int32_t base = registro.Address;

  std::int32_t modo = 0;
  m_EcpDetectado = ProbarEcp(base);
  if (m_EcpDetectado) modo = LeerModoEcp(base);
  m_EppDetectado = base == 0x3BC ? false : ProbarEpp(base);
  if (m_EppDetectado) {
    m_TipoDetectado = "EPP";
  } else {
    m_SppDetectado = ProbarSpp(base);
    if (m_SppDetectado) {
      m_Ps2Detectado = ProbarPs2(base);
      m_TipoDetectado = m_Ps2Detectado ? "PS/2" : "SPP";
    }
  }
  if (m_EcpDetectado && m_EppDetectado) m_TipoDetectado = "ECP+EPP";

  registro.ECPExists = m_EcpDetectado;
  registro.EPPExists = m_EppDetectado;
  registro.PS2Exists = m_Ps2Detectado;
  registro.SPPExists = m_SppDetectado;

  bool encontrado = false;
  if (m_TipoDetectado.empty()) {
    registro.PortType.clear();
    registro.Address = 0;
    registro.Enabled = 0;
  } else {
    registro.Enabled = -1;
    registro.PortType = m_TipoDetectado;
    if (m_EcpDetectado) {
      registro.EcpModeValue = static_cast<std::int16_t>(modo);
      registro.EcpModeDescription = DescripcionModoEcp(modo);
    }
    encontrado = true;
  }
  ActualizarModosEcp();
  return encontrado;
}

void clsPrnPort::ActualizarModosEcp() {
  for (std::size_t i = 0; i < 4; ++i) {
    clsPrnPortData& registro = *m_PortData[i];
    if (registro.Enabled != -1 || registro.PortType != "ECP") continue;
    const std::int32_t modo = LeerModoEcp(registro.Address);
    registro.EcpModeValue = static_cast<std::int16_t>(modo);
    registro.EcpModeDescription = DescripcionModoEcp(modo);
  }
}

void clsPrnPort::DetectarPuertosParalelo() {
  std::size_t indice = 0;
  for (const std::int32_t candidata : kDireccionesCandidatas) {
    clsPrnPortData& registro = *m_PortData[indice];
    registro.Address = static_cast<std::int16_t>(candidata);
    DetectarPuerto(static_cast<std::int32_t>(indice));
    if (registro.Address != 0) ++indice;
  }
}

}  // namespace vtl
