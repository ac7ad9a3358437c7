// A parallel port's registers, read and written directly, and the detection of the machine's
// parallel ports by probing them: which exist, and which modes they offer (standard,
// bidirectional PS/2, EPP, ECP).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vtl {

// One parallel port of the machine, as detection describes it.
struct RegistroParalelo {
  std::string Name;
  std::int16_t Address = 0;
  std::string PortType;
  std::string EcpModeDescription;
  std::int16_t EcpModeValue = 0;
  std::int16_t Enabled = 0;
  bool SPPExists = false;
  bool EPPExists = false;
  bool ECPExists = false;
  bool PS2Exists = false;
};

// The records detection fills: ports found take records 0, 1, 2... in the order of the candidate
// addresses; only the first four are ever probed.
using RegistrosParalelo = std::array<RegistroParalelo*, 11>;

class DetectorParalelo {
 public:
  // Addresses are 16-bit; base + offset is checked, and an address beyond the 16-bit range
  // counts as one where no port answers: it reads 0xFF and takes no writes.
  static bool DireccionDe(std::int32_t base, std::int32_t desplazamiento, std::int16_t& direccion);
  static std::int32_t BitActivo(std::int32_t valor, std::int32_t bit);
  static std::string DescripcionModoEcp(std::int32_t modo);
  std::int32_t LeerPuerto(std::int16_t direccion);
  void EscribirPuerto(std::int16_t direccion, std::int16_t valor);
  std::int32_t LeerRegistro(std::int32_t base, std::int32_t desplazamiento);
  void EscribirRegistro(std::int32_t base, std::int32_t desplazamiento, std::int32_t valor);
  // The status register with the busy line the right way round.
  std::int32_t LeerEstadoParalelo(std::int32_t base);
  std::int32_t LeerControl(std::int32_t base);
  void EscribirControl(std::int32_t base, std::int32_t valor);
  std::int32_t LeerModoEcp(std::int32_t base);
  std::int32_t LimpiarTimeoutEpp(std::int32_t base);
  bool ProbarEcp(std::int32_t base);
  bool ProbarEpp(std::int32_t base);
  bool ProbarSpp(std::int32_t base);
  bool ProbarPs2(std::int32_t base);
  bool DetectarPuerto(const RegistrosParalelo& registros, std::int32_t indice);
  void ActualizarModosEcp(const RegistrosParalelo& registros);
  void DetectarPuertosParalelo(const RegistrosParalelo& registros);

  // Results of the last detection and ECR access.
  const std::string& TipoDetectado() const { return tipoDetectado_; }
  std::int16_t DireccionEcr() const { return direccionEcr_; }
  std::int16_t ValorEcr() const { return valorEcr_; }

 private:
  std::string tipoDetectado_;
  bool ecpDetectado_ = false;
  bool sppDetectado_ = false;
  bool ps2Detectado_ = false;
  bool eppDetectado_ = false;
  std::int16_t direccionEcr_ = 0;
  std::int16_t valorEcr_ = 0;
};

}  // namespace vtl
