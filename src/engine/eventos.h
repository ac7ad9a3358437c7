// What the send loop and the channels tell the host. The printer port forwards each to its sinks;
// every argument is by reference, as a handler may assign to it.
#pragma once

#include <cstdint>

namespace vtl {

class EventosPuerto {
 public:
  virtual void DatosImpresos(std::int32_t& contador) = 0;
  virtual void NuevoEstado(bool& error, bool& sinPapel) = 0;
  virtual void LogoGrabado(std::int32_t& contador) = 0;
  virtual void Uploading(std::int32_t& quedan, std::int32_t& total) = 0;
  virtual void EstadoCajon(bool& abierto) = 0;
  virtual void EstadoOnLine(bool& enLinea) = 0;

 protected:
  ~EventosPuerto() = default;
};

}  // namespace vtl
