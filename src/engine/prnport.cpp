// clsPrnPort: construction, destruction, properties and the small operations.
#include "engine/prnport.h"

#include <algorithm>

#include "commands/frm_init_comm.h"
#include "platform/spooler.h"

namespace vtl {

using namespace platform;

std::shared_ptr<clsPrnPort> clsPrnPort::Create() {
  return std::make_shared<clsPrnPort>(Key{});
}

clsPrnPort::clsPrnPort(Key) {
  m_ControlDeFlujo = -1;
  frmInitComm::Instance();
  m_ReaperturaPermitida = true;
  m_LineasPorSegundo = 2;
  m_Asincrono = true;
  m_IntervaloTimer = 200;
  m_Baudios = 9600;
  m_MemBloque1 = static_cast<char*>(GlobalAlloc(GMEM_FIXED, kTamanoBloque));
  m_MemBloque2 = static_cast<char*>(GlobalAlloc(GMEM_FIXED, kTamanoBloque));
  if (!m_MemBloque1 || !m_MemBloque2) {
    GlobalFree(m_MemBloque1);
    GlobalFree(m_MemBloque2);
    throw std::bad_alloc();
  }
  m_NumeroPuerto = -1;
  CrearEventos();
  for (auto& record : m_PortData) record = std::make_shared<clsPrnPortData>();
  // The tick reaches the object through a weak reference: a tick that fires while the last
  // reference is being dropped finds nothing and does nothing.
  m_TmrCheckData = std::make_unique<clsTimer>([this] { m_TmrCheckData_ThatTime(); });
  ControlCajonAbierto(true);
}

clsPrnPort::~clsPrnPort() {
  // Stop the tick first so nothing can run against a half-destroyed object.
  m_TmrCheckData.reset();
  CloseAll();
  m_MemBloque1 = static_cast<char*>(GlobalFree(m_MemBloque1));
  m_MemBloque2 = static_cast<char*>(GlobalFree(m_MemBloque2));
  for (auto& record : m_PortData) record.reset();
  CerrarEventos();
}

void clsPrnPort::Advise(__clsPrnPort* sink) {
  if (sink && std::find(m_Sinks.begin(), m_Sinks.end(), sink) == m_Sinks.end()) {
    m_Sinks.push_back(sink);
  }
}

void clsPrnPort::Unadvise(__clsPrnPort* sink) {
  m_Sinks.erase(std::remove(m_Sinks.begin(), m_Sinks.end(), sink), m_Sinks.end());
}

void clsPrnPort::CrearEventos() {
  for (OVERLAPPED* ov : {&m_OvlEscritura, &m_OvlComando, &m_OvlEventoSerie, &m_OvlLectura,
                         &m_OvlVelocidad, &m_OvlAuxiliar}) {
    *ov = OVERLAPPED{};
    ov->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
}

void clsPrnPort::CerrarEventos() {
  for (OVERLAPPED* ov : {&m_OvlEscritura, &m_OvlComando, &m_OvlEventoSerie, &m_OvlLectura,
                         &m_OvlVelocidad, &m_OvlAuxiliar}) {
    if (ov->hEvent) CloseHandle(ov->hEvent);
    ov->hEvent = 0;
  }
}

void clsPrnPort::Rafaga(bool value) {
  m_EsperandoRespuesta = false;
  m_Rafaga = value;
}

void clsPrnPort::ControlCajonAbierto(bool value) {
  if (m_hPuerto == 0 || value == m_ControlCajonAbierto) return;
  m_ControlCajonAbierto = value;
  if (value) {
    CommSetLine(3, true);
    CommSetLine(2, true);
  }
}

Variant clsPrnPort::ImprimeComando(const std::string&) {
  return {};
}

void clsPrnPort::LoopPruebas() {
  auto self = shared_from_this();
  Raise([](__clsPrnPort& s) { s.LoopPruebas(); });
}

void clsPrnPort::EndDocForzar() {
  auto self = shared_from_this();
  m_TmrCheckData_ThatTime();
}

Variant clsPrnPort::ClearAll() {
  auto self = shared_from_this();
  const bool informado = m_Estado != 0;
  if (m_Estado != 0) {
    m_Estado = 2;
    bool error = true, sinPapel = false;
    Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, sinPapel); });
    std::int32_t contador = m_OutputID;
    if (TrabajoSinInformarRed(contador)) Raise([&](__clsPrnPort& s) { s.DatosImpresos(contador); });
  }
  m_EscrituraPendiente = false;
  m_Estado = 0;
  m_ColaEntrada.clear();
  m_BufferSalida.clear();
  m_Uploading = false;
  if (m_hPuerto > -1) {
    SetEndOfFile(m_hPuerto);
    CancelarIO();
  }
  LimpiarRed(informado);
  return {};
}

void clsPrnPort::CancelarIO() {
  // The platform layer always has CancelIo; the result does not matter to any caller.
  if (PuertoAbierto()) CancelIo(m_hPuerto);
}

void clsPrnPort::CloseAll() {
  if (PuertoAbierto()) {
    CancelIo(m_hPuerto);
    // Records get fresh events, so nothing signalled for the old port leaks into the next one.
    CerrarEventos();
    CrearEventos();
    // A queue handle goes back to the spooler, whatever port type was chosen since.
    if (platform::IsPrinterHandle(m_hPuerto)) {
      platform::ClosePrinter(m_hPuerto);
    } else {
      CloseHandle(m_hPuerto);
    }
    m_hPuerto = 0;
    m_EventoSerieArmado = false;
    m_EstadoNotificado = false;
  }
  LiberarRed();
}

void clsPrnPort::CheckError(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) {
  auto self = shared_from_this();
  ObtenerEstado(tmpBusy, tmpError, tmpSinPapel);
}

}  // namespace vtl
