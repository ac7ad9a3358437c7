// A receipt printer on a parallel or USB printer port (LPTn: /dev/lpN or /dev/usb/lpN).
//
// Its state comes from the port's status register where the registers can be reached, else from
// the kernel's printer driver (paper empty, selected, error). Where neither tells anything (a
// pipe, a file), the printer counts as always on line from then on.
#pragma once

#include <cstdint>
#include <string>

#include "channels/parallel/registros.h"
#include "engine/dispositivo.h"
#include "platform/comm.h"

namespace vtl {

class CanalParalelo : public CanalDispositivo {
 public:
  // `direccionBase`: the port's registers, 0 where they cannot be reached.
  CanalParalelo(BucleEnvio& bucle, std::string nombre, std::int32_t numero,
                std::int16_t direccionBase);

  std::int16_t DireccionBase() const { return direccionBase_; }

 protected:
  void AbrirDispositivo() override;
  Lectura LeerEstado() override;

 private:
  std::int16_t direccionBase_;
  DetectorParalelo registros_;
  platform::COMMTIMEOUTS timeouts_{};
};

}  // namespace vtl
