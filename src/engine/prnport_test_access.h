// A seam for tests and the demo: puts a device behind a port object before the port channels
// can open one themselves, and reads the send loop's private state.
#pragma once

#include "engine/prnport.h"

namespace vtl {

struct PrnPortTestAccess {
  // Makes `handle` the object's open port, as a successful opening would leave it: the printer
  // counts as ready and the next poll reports the port's first state.
  static void AttachPort(clsPrnPort& p, platform::HANDLE handle, eTiposDepuerto tipo,
                         std::int32_t numero) {
    p.m_hPuerto = handle;
    p.m_TipoPuerto = tipo;
    p.m_NumeroPuerto = numero;
    p.m_PuertoListo = true;
    p.m_EstadoNotificado = false;
    p.m_EsperandoRespuesta = false;
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
};

}  // namespace vtl
