// The status poll: busy, error and paper-out for the send loop and CheckError, and NuevoEstado
// once after every opening and then on every change.
#include "engine/guard.h"
#include "engine/prnport.h"

namespace vtl {

using namespace platform;

namespace {

// The status lines of a parallel or USB printer as its driver reports them.
constexpr DWORD kLineaSinError = 0x08;
constexpr DWORD kLineaSeleccionada = 0x10;
constexpr DWORD kLineaSinPapel = 0x20;

}  // namespace

void clsPrnPort::ObtenerEstado(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) {
  if (m_EnObtenerEstado) return;
  FlagGuard enObtener(m_EnObtenerEstado);
  // Speed detection has the port: nothing is read from it or reopened meanwhile, and the
  // printer counts as busy.
  if (m_EnDeteccion) {
    tmpBusy = true;
    return;
  }
  if (m_TipoPuerto == eTDPLAN || m_TipoPuerto == eTDPWIN) {
    // Network and spooler ports: what their channel knows, which changes nothing here; the
    // channel raises its own NuevoEstado.
    EstadoCanalRed(tmpBusy, tmpError, tmpSinPapel);
    m_Busy = false;
    return;
  }
  bool ocupado = false, correcto = false, sinPapel = false;
  if (m_AlwaysOnLine) {
    if (!PuertoAbierto()) {
      ReabrirSiToca();
      if (!PuertoAbierto()) m_Estado |= 2;
    }
    if (PuertoAbierto()) {
      correcto = true;
    } else {
      sinPapel = true;
      ocupado = true;
    }
  } else if (m_TipoPuerto != eTDPLPT) {
    ocupado = !m_PuertoListo;
    if (!ocupado) {
      // What the printer itself said in its last status report (offline, paper end).
      correcto = !m_LectorEstado.FueraDeLinea();
      sinPapel = m_LectorEstado.SinPapel();
    }
  } else if (m_DireccionBase != 0) {
    const std::int32_t estado = LeerEstadoParalelo(m_DireccionBase);
    correcto = BitActivo(estado, 3) != 0 && PuertoAbierto();
    sinPapel = BitActivo(estado, 5) != 0;
    ocupado = BitActivo(estado, 7) != 0;
    if (ocupado) correcto = false;
  } else if (PuertoAbierto()) {
    // No registers to read: the printer driver may still know the lines. A driver that answers
    // nothing leaves the printer counted as always on line, as the port is from now on.
    DWORD lineas = 0, leidos = 0;
    if (DeviceIoControl(m_hPuerto, IOCTL_USBPRINT_GET_LPT_STATUS, nullptr, 0, &lineas,
                        sizeof lineas, &leidos, nullptr)) {
      correcto = (lineas & kLineaSinError) && (lineas & kLineaSeleccionada);
      sinPapel = (lineas & kLineaSinPapel) != 0;
    } else if (GetLastError() == ERROR_NOT_SUPPORTED) {
      m_AlwaysOnLine = true;
      correcto = true;
    } else {
      // The printer was unplugged: let the handle go; the tick opens the port again when the
      // printer is back.
      CerrarDispositivo();
    }
  }
  m_DispositivoCorrecto = correcto;
  // A device that refused a write is in error whatever its lines say, until a write goes through.
  if (m_FalloEscritura) correcto = false;

  tmpBusy = ocupado;
  tmpError = !correcto;
  tmpSinPapel = sinPapel;
  m_Busy = ocupado;

  // The host hears of the first state after every opening, then of each change only: error
  // begins, error ends, paper-out changes while the error lasts. Flag 2 holds the send loop;
  // m_ErrorNotificado remembers what the host was told.
  const bool enError = !correcto || sinPapel;
  if (enError) {
    m_Estado |= 2;
  } else {
    m_Estado &= ~2;
  }
  bool avisar = false, error = false, papel = false;
  if (!m_EstadoNotificado) {
    avisar = true;
    error = !correcto;
    papel = sinPapel;
  } else if (enError) {
    avisar = !m_ErrorNotificado || sinPapel != m_SinPapelAnterior;
    error = true;
    papel = sinPapel;
  } else {
    avisar = m_ErrorNotificado;
  }
  m_EstadoNotificado = true;
  m_ErrorNotificado = error;
  m_SinPapelAnterior = sinPapel;
  if (avisar) Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, papel); });
}

std::string clsPrnPort::PedirEstado(bool&, bool&) {
  if (m_EnPedirEstado) return "";
  FlagGuard enPedir(m_EnPedirEstado);
  if (!PuertoAbierto()) ReabrirSiToca();
  return "";
}

}  // namespace vtl
