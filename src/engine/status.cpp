// The status poll: busy, error and paper-out for the send loop and CheckError, and NuevoEstado
// once after every opening and then on every change.
#include "engine/prnport.h"

namespace vtl {

void clsPrnPort::ObtenerEstado(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) {
  if (m_EnObtenerEstado) return;
  m_EnObtenerEstado = true;
  bool ocupado = false, correcto = false, sinPapel = false;

  if (m_TipoPuerto == eTDPLAN || m_TipoPuerto == eTDPWIN) {
    // Network and spooler ports: what their channel knows, which changes nothing here; the
    // channel raises its own NuevoEstado.
    EstadoCanalRed(tmpBusy, tmpError, tmpSinPapel);
    m_Busy = false;
    m_EnObtenerEstado = false;
    return;
  }
  if (m_AlwaysOnLine) {
    if (!PuertoAbierto()) {
      AbrirDispositivo();
      if (!PuertoAbierto()) m_Estado |= 2;
    }
    if (PuertoAbierto()) {
      correcto = true;
    } else {
      sinPapel = true;
      ocupado = true;
    }
  } else if (m_TipoPuerto != eTDPLPT) {
    ocupado = m_TipoPuerto == eTDPWIN ? false : !m_PuertoListo;
    if (!ocupado) {
      sinPapel = false;
      correcto = true;
    }
  } else if (m_DireccionBase != 0) {
    const std::int32_t estado = LeerEstadoParalelo(m_DireccionBase);
    correcto = BitActivo(estado, 3) != 0;
    sinPapel = BitActivo(estado, 5) != 0;
    ocupado = BitActivo(estado, 7) != 0;
    if (ocupado) correcto = false;
  } else {
    // A parallel port read without register access cannot tell anything: from now on it counts as
    // always on line, and this poll reports neither busy nor paper-out.
    m_AlwaysOnLine = true;
  }

  tmpBusy = ocupado;
  tmpError = !correcto;
  tmpSinPapel = sinPapel;
  m_Busy = ocupado;

  if (!m_EstadoNotificado) {
    bool error = !correcto, papel = sinPapel;
    m_Estado = correcto ? 0 : 2;
    m_EstadoNotificado = true;
    Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, papel); });
  } else if (sinPapel || !correcto) {
    if (!(m_Estado & 2) || sinPapel != m_SinPapelAnterior) {
      bool error = true, papel = sinPapel;
      m_Estado |= 2;
      Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, papel); });
    }
    m_Estado |= 2;
  } else if (m_Estado & 2) {
    m_Estado &= ~2;
    bool error = false, papel = false;
    Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, papel); });
  }

  m_SinPapelAnterior = sinPapel;
  m_EnObtenerEstado = false;
}

std::string clsPrnPort::PedirEstado(bool&, bool&) {
  if (m_EnPedirEstado) return "";
  m_EnPedirEstado = true;
  if (!PuertoAbierto()) AbrirDispositivo();
  m_EnPedirEstado = false;
  return "";
}

}  // namespace vtl
