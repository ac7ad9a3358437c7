// clsPrnPort: construction, destruction, properties and the small operations.
#include "engine/prnport.h"

#include <algorithm>

#include "commands/frm_init_comm.h"
#include "platform/loop.h"
#include "platform/spooler.h"

namespace vtl {

using namespace platform;

std::shared_ptr<clsPrnPort> clsPrnPort::Create() {
  return OwnedByThisThread(new clsPrnPort(Key{}));
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
  ++m_Generacion;
  const bool enCurso = m_Estado != 0;
  // A job the host has already heard of is not reported a second time.
  std::int32_t contador = m_OutputID;
  const bool informar = enCurso && TrabajoSinInformarRed(contador);
  // Everything is discarded before the host hears of it, so text a handler queues in answer
  // is the start of what comes next, not lost with the rest.
  m_EscrituraPendiente = false;
  m_Estado = 0;
  m_ColaEntrada.clear();
  m_BufferSalida.clear();
  m_Uploading = false;
  if (m_hPuerto > -1) {
    SetEndOfFile(m_hPuerto);
    CancelarIO();
  }
  LimpiarRed(enCurso);
  if (enCurso) {
    // The host is told of an error; the next poll that finds the printer well says so.
    m_ErrorNotificado = true;
    bool error = true, sinPapel = false;
    Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, sinPapel); });
    if (informar) Raise([&](__clsPrnPort& s) { s.DatosImpresos(contador); });
  }
  return {};
}

void clsPrnPort::CancelarIO() {
  // The platform layer always has CancelIo; the result does not matter to any caller.
  if (PuertoAbierto()) CancelIo(m_hPuerto);
}

void clsPrnPort::CloseAll() {
  ++m_Generacion;
  // The port stays closed until the host opens one again.
  m_PuertoCerrado = true;
  if (PuertoAbierto()) m_EstadoNotificado = false;
  CerrarDispositivo();
  LiberarRed();
}

void clsPrnPort::CerrarDispositivo() {
  if (PuertoAbierto()) {
    // Never waits for the device: a write in flight is ended, and what the device had not taken
    // (a serial driver's queue included) goes back in front of the buffer.
    CancelIo(m_hPuerto);
    if (m_EscrituraPendiente) {
      DWORD escritos = 0;
      GetOverlappedResult(m_hPuerto, &m_OvlEscritura, &escritos, FALSE);
      m_EscrituraPendiente = false;
      if (escritos < static_cast<DWORD>(m_BytesAEnviar)) {
        DevolverAlBuffer(escritos);
        m_Estado &= ~(1 | 4);
      } else {
        m_Estado = (m_Estado & ~1) | 4;
      }
    }
    // Records get fresh events, so nothing signalled for the old port leaks into the next one.
    CerrarEventos();
    CrearEventos();
    // A queue handle goes back to the spooler, whatever port type was chosen since; one a
    // worker is using goes back when the worker is done with it.
    if (platform::IsPrinterHandle(m_hPuerto)) {
      if (m_DocumentoEnCurso) {
        m_ColaPorCerrar = m_hPuerto;
      } else {
        platform::ClosePrinter(m_hPuerto);
      }
    } else {
      CloseHandle(m_hPuerto);
    }
    m_hPuerto = 0;
    m_EventoSerieArmado = false;
  }
  m_PuertoListo = false;
  m_LectorEstado.Olvidar();
}

void clsPrnPort::ReabrirSiToca() {
  if (PuertoAbierto() || m_PuertoCerrado || m_EnDeteccion) return;
  if (m_TipoPuerto != eTDPCOM && m_TipoPuerto != eTDPLPT) return;
  const std::int64_t ahora = Loop::Current().Now();
  if (ahora < m_ProximaReapertura) return;
  AbrirDispositivo();
  if (PuertoAbierto()) {
    m_EsperaReapertura = 0;
    return;
  }
  // A port that is not there is tried again, less often the longer it stays away.
  m_EsperaReapertura = std::min<std::int64_t>(
      std::max<std::int64_t>(m_EsperaReapertura * 2, m_IntervaloTimer), kEsperaReaperturaMaxima);
  m_ProximaReapertura = ahora + m_EsperaReapertura;
}

void clsPrnPort::CheckError(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) {
  auto self = shared_from_this();
  ObtenerEstado(tmpBusy, tmpError, tmpSinPapel);
}

}  // namespace vtl
