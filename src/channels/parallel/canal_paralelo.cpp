#include "channels/parallel/canal_paralelo.h"

#include "base/escpos.h"
#include "engine/bucle.h"

namespace vtl {

using namespace platform;

CanalParalelo::CanalParalelo(BucleEnvio& bucle, std::string nombre, std::int32_t numero,
                             std::int16_t direccionBase)
    : CanalDispositivo(bucle, std::move(nombre), numero), direccionBase_(direccionBase) {}

void CanalParalelo::AbrirDispositivo() {
  if (handle_ > 0) return;
  CrearArchivo(bucle_.ajustes().asincrono ? FILE_FLAG_OVERLAPPED : 0);
  if (handle_ == INVALID_HANDLE_VALUE) return;
  SetEndOfFile(handle_);
  // A write may wait for the printer a minute and a half before it counts as timed out.
  GetCommTimeouts(handle_, &timeouts_);
  timeouts_.ReadIntervalTimeout = 0;
  timeouts_.ReadTotalTimeoutMultiplier = 0;
  timeouts_.ReadTotalTimeoutConstant = 0;
  timeouts_.WriteTotalTimeoutMultiplier = 0;
  timeouts_.WriteTotalTimeoutConstant = 90000;
  SetCommTimeouts(handle_, &timeouts_);
}

CanalDispositivo::Lectura CanalParalelo::LeerEstado() {
  Lectura l;
  if (direccionBase_ != 0) {
    const std::int32_t estado = registros_.LeerEstadoParalelo(direccionBase_);
    l.correcto = (estado & escpos::kLineaSinError) != 0 && Abierto();
    l.sinPapel = (estado & escpos::kLineaSinPapel) != 0;
    l.ocupado = (estado & escpos::kLineaOcupada) != 0;
    return l;
  }
  if (!Abierto()) return l;
  // No registers to read: the printer driver may still know the lines. A driver that answers
  // nothing leaves the printer counted as always on line, as the port is from now on.
  DWORD lineas = 0, leidos = 0;
  if (DeviceIoControl(handle_, IOCTL_USBPRINT_GET_LPT_STATUS, nullptr, 0, &lineas, sizeof lineas,
                      &leidos, nullptr)) {
    l.correcto = (lineas & escpos::kLineaSinError) && (lineas & escpos::kLineaSeleccionada);
    l.sinPapel = (lineas & escpos::kLineaSinPapel) != 0;
  } else if (GetLastError() == ERROR_NOT_SUPPORTED) {
    bucle_.ajustes().alwaysOnLine = true;
    l.correcto = true;
  } else {
    // The printer was unplugged: let the handle go; the tick opens the port again when the
    // printer is back.
    CerrarDispositivo();
  }
  return l;
}

}  // namespace vtl
