// What a host sets on a printer port (its properties and what an opening chose), read by the
// send loop and by the channels.
#pragma once

#include <cstdint>
#include <string>

#include "engine/types.h"

namespace vtl {

struct Ajustes {
  std::int32_t baudios = 9600;
  bool asincrono = true;      // devices opened for overlapped writes
  bool alwaysOnLine = false;  // the printer counts as always on line, never busy
  bool rafaga = false;        // every Imprimir starts sending at once
  std::int32_t lineasPorSegundo = 2;
  std::int32_t propiedades = 0;  // ePortPropiedadesAdicionales
  std::int32_t controlDeFlujo = -1;
  std::string secuenciaInicializacion;  // sent to a serial printer before the status request
  std::int32_t intervaloTimer = 200;    // ms, while the printer has not answered or after errors
  bool reaperturaPermitida = true;

  bool SinCallback() const { return (propiedades & ePDAImpresorasinCallback) != 0; }
  bool Termica() const { return (propiedades & ePDAImpresoraTermica) != 0; }
};

}  // namespace vtl
