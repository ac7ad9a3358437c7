// A receipt printer on a serial port.
//
// The line is set up through the settings form and then directly (queues, time-outs, comm events,
// the device-control block). The printer is ready while one of its modem lines is up; once ready
// it is asked to report its drawer and on-line state by itself (GS a 3), and the status bytes it
// sends are decoded into the drawer and on-line events and into its own error and paper state.
#pragma once

#include <cstdint>
#include <string>

#include "channels/serial/estado_serie.h"
#include "engine/dispositivo.h"
#include "platform/comm.h"

namespace vtl {

// What a printer port remembers of its serial printers from one opening to the next: whether it
// asked for the automatic status, and whether an error was seen since.
struct MemoriaSerie {
  bool estadoAutomaticoPedido = false;
  bool errorDesdeSolicitud = false;
};

// The line set-up the channel and speed detection share.
// Queue sizes, time-outs and event mask; then, unless the printer runs without status callback
// (the settings form's line stands then), speed, framing and both kinds of flow control.
void ConfigurarSerie(platform::HANDLE handle, std::int32_t velocidad, bool sinCallback,
                     platform::DCB& dcb, platform::COMMTIMEOUTS& timeouts);
// Time-outs from a base value a: (3a, a, a, 3a, a) ms; 0 gives (10, 2, 10, 2, 10). Throws
// vtl::Error (6, overflow) when 3a does not fit a Long.
void FijarTimeouts(platform::HANDLE handle, std::int32_t base, platform::COMMTIMEOUTS& timeouts);
// The settings form applies speed, framing ",n,8,1" and flow control, and closes the port again;
// `abierto` tells whether it could open it.
void AjustarLineaSerie(std::int32_t numero, std::int32_t velocidad, bool reaperturaPermitida,
                       std::int32_t controlDeFlujo, bool& abierto);
// The port number in a port text: "3", "COM3", "com3" and "\\.\COM3" all give 3. False when
// the number does not fit a Long.
bool NumeroDeTextoSerie(const std::string& texto, std::int32_t& numero);

class CanalSerie : public CanalDispositivo {
 public:
  CanalSerie(BucleEnvio& bucle, std::string nombre, std::int32_t numero, MemoriaSerie& memoria);
  ~CanalSerie() override;

  // Switches a control line: 1 break, 2 DTR, 3 RTS.
  void CommSetLine(std::int16_t linea, bool estado);
  bool Listo() const { return puertoListo_; }
  const platform::DCB& Dcb() const { return dcb_; }
  const platform::COMMTIMEOUTS& Timeouts() const { return timeouts_; }

 protected:
  void AbrirDispositivo() override;
  Lectura LeerEstado() override;
  void AtenderEventos() override;
  std::int32_t PeriodoCarga() const override;
  bool EsperaAlAbrir() const override { return true; }
  void Soltado() override;
  Condicion Conocida() const override {
    Condicion c;
    c.tapaAbierta = lector_.TapaAbierta();
    return c;
  }

 private:
  // False (and the device let go) when the device behind the port has gone.
  bool DejarSiNoEsta();
  void LeerInforme(const unsigned char* bytes, std::size_t n);

  MemoriaSerie& memoria_;
  bool puertoListo_ = false;
  bool eventoArmado_ = false;
  platform::DCB dcb_{};
  platform::COMMTIMEOUTS timeouts_{};
  platform::DWORD mascaraEventos_ = 0;
  platform::OVERLAPPED ovlEventos_{};
  LectorEstadoSerie lector_;
};

}  // namespace vtl
