// A seam for tests and the demo: puts a device behind a port object before the port channels
// can open one themselves, and reads the send loop's private state.
#pragma once

#include "engine/prnport.h"

namespace vtl {

struct PrnPortTestAccess {
  // Makes `handle` the object's open port, as a successful opening would leave it: the printer
  // counts as ready and the next poll reports the port's first state.
  // `nombre` is what the port opens again after losing the device.
  static void AttachPort(clsPrnPort& p, platform::HANDLE handle, eTiposDepuerto tipo,
                         std::int32_t numero, const std::string& nombre = "") {
    p.m_hPuerto = handle;
    p.m_NombrePuerto = nombre;
    p.m_TipoPuerto = tipo;
    p.m_NumeroPuerto = numero;
    p.m_PuertoListo = true;
    p.m_PuertoCerrado = false;
    p.m_EstadoNotificado = false;
    p.m_EsperandoRespuesta = false;
    // The status-back request counts as made, so the send loop's own writes are all there is.
    p.m_EstadoAutomaticoPedido = true;
  }
  static void SetReady(clsPrnPort& p, bool listo) { p.m_PuertoListo = listo; }
  static void SetWaitingForReply(clsPrnPort& p, bool esperando) {
    p.m_EsperandoRespuesta = esperando;
  }
  static void SetUploading(clsPrnPort& p, bool uploading, bool lento) {
    p.m_Uploading = uploading;
    p.m_UploadLento = lento;
  }
  static void SetBaudios(clsPrnPort& p, std::int32_t baudios) { p.m_Baudios = baudios; }
  static void SetOutputID(clsPrnPort& p, std::int32_t id) { p.m_OutputID = id; }
  static std::string Traducir(const std::string& c) { return clsPrnPort::TraducirCaracter(c); }
  static platform::HANDLE Handle(const clsPrnPort& p) { return p.m_hPuerto; }
  static std::int32_t Estado(const clsPrnPort& p) { return p.m_Estado; }
  static bool EscrituraPendiente(const clsPrnPort& p) { return p.m_EscrituraPendiente; }
  static std::string Buffer(const clsPrnPort& p) { return p.m_BufferSalida.str(); }
  static const std::string& Cola(const clsPrnPort& p) { return p.m_ColaEntrada; }
  static std::int32_t TimerInterval(const clsPrnPort& p) { return p.m_TmrCheckData->Interval(); }
  static const platform::OVERLAPPED& OvlEscritura(const clsPrnPort& p) { return p.m_OvlEscritura; }
  // Port channels.
  static void SetDireccionBase(clsPrnPort& p, std::int16_t base) { p.m_DireccionBase = base; }
  static bool Ready(const clsPrnPort& p) { return p.m_PuertoListo; }
  static bool WaitingForReply(const clsPrnPort& p) { return p.m_EsperandoRespuesta; }
  static const std::string& NombrePuerto(const clsPrnPort& p) { return p.m_NombrePuerto; }
  static std::int32_t NumeroPuerto(const clsPrnPort& p) { return p.m_NumeroPuerto; }
  static std::int32_t TipoPuerto(const clsPrnPort& p) { return p.m_TipoPuerto; }
  static bool ReaperturaPermitida(const clsPrnPort& p) { return p.m_ReaperturaPermitida; }
  static const platform::DCB& Dcb(const clsPrnPort& p) { return p.m_DCB; }
  static const platform::COMMTIMEOUTS& Timeouts(const clsPrnPort& p) { return p.m_Timeouts; }
  static void FijarTimeouts(clsPrnPort& p, std::int32_t base) { p.FijarTimeouts(base); }
  static void EsperarMilisegundos(clsPrnPort& p, std::int32_t ms) { p.EsperarMilisegundos(ms); }
  static void ObtenerEstado(clsPrnPort& p, bool& busy, bool& error, bool& paper) {
    p.ObtenerEstado(busy, error, paper);
  }
  // ---- LAN channel ----
  static std::shared_ptr<clsSocket> SocketRed(const clsPrnPort& p) { return p.m_Socket; }
  static std::int32_t ModoRespuestaRed(const clsPrnPort& p) { return p.m_ModoRespuestaRed; }
  static bool ConectadaRed(const clsPrnPort& p) { return p.m_ConectadaRed; }
  // Status requests sent on the current connection, and how many of them count as answered.
  static std::int64_t PeticionesRed(const clsPrnPort& p) { return p.m_PeticionesRed; }
  static std::int64_t RespuestasRed(const clsPrnPort& p) { return p.m_RespuestasRed; }
  // ---- end of LAN channel ----
};

}  // namespace vtl
