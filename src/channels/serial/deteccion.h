// Serial speed and handshake detection: the printer is asked for its status at each speed of a
// list, and the number of answers that come back tells which speed it understood. The line is
// the detection's own while it runs: it opens the port itself, at each speed, and leaves it
// closed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/ajustes.h"
#include "platform/comm.h"

namespace vtl {

class DeteccionVelocidad {
 public:
  // `ajustes`: the port's settings (speed, flow control, additional properties, reopening),
  // which the detection reads and leaves as the Parts say. `cerrarPuerto` closes the port's own
  // device before the detection touches the line.
  DeteccionVelocidad(Ajustes& ajustes, std::function<void()> cerrarPuerto);
  ~DeteccionVelocidad();
  DeteccionVelocidad(const DeteccionVelocidad&) = delete;
  DeteccionVelocidad& operator=(const DeteccionVelocidad&) = delete;

  // The speed found (also left in the settings), or 0. `lista` 2 tries the short list, anything
  // else the full one.
  std::int32_t CheckAutoSpeed(const std::string& puerto, std::int32_t lista);
  // The speed and flow control under which the printer answers; both stay as given, and false
  // is returned, when no flow-control mode works.
  bool CheckAutospeedAndHandshake(const std::string& puerto, std::int32_t& velocidad,
                                  std::int32_t& handshake);
  // A short text at 9600, 19200 and 38400 baud: the legible one shows the speed.
  void EnviarPruebasDeVelocidad(const std::string& puerto);

 private:
  std::int32_t SinControlDeFlujo(const std::string& puerto, std::int32_t lista);
  std::int32_t Detectar(const std::string& puerto, std::int32_t lista, std::int32_t espera,
                        std::int32_t referencia);
  void AbrirLinea(std::int32_t numero);
  void CerrarLinea();
  bool Abierta() const;

  Ajustes& ajustes_;
  std::function<void()> cerrarPuerto_;
  platform::HANDLE handle_ = 0;
  platform::OVERLAPPED ovlEscritura_{};
  platform::OVERLAPPED ovlLectura_{};
  platform::DCB dcb_{};
  platform::COMMTIMEOUTS timeouts_{};
};

// Waits `ms` milliseconds while the thread's loop goes on (timers and notifications run inside).
void EsperarMilisegundos(std::int32_t ms);

}  // namespace vtl
