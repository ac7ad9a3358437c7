// The serial channel: line set-up, the comm-event wait, the printer's status bytes and the
// control lines.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/prnport.h"
#include "platform/loop.h"

namespace vtl {

using namespace platform;

namespace {

constexpr DWORD kTodosLosEventos = 0x1FFF;
constexpr DWORD kEventosConfiguracion =
    EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_ERR | EV_PERR | EV_RX80FULL;  // 0x69D
constexpr DWORD kColaEntrada = 512;
constexpr DWORD kColaSalida = 16384;
constexpr std::size_t kLectura = 1024;

// GS a 3: the printer reports drawer and on-line changes by itself from now on.
const std::string& PeticionEstadoAutomatico() {
  static const std::string peticion{'\x1d', 'a', '\x03'};
  return peticion;
}

}  // namespace

void clsPrnPort::ConfigurarSerie(HANDLE handle, std::int32_t velocidad) {
  SetupComm(m_hPuerto, kColaEntrada, kColaSalida);
  FijarTimeouts(1);
  SetCommMask(handle, kEventosConfiguracion);
  // A printer without status callback keeps the line the settings form gave it.
  if (m_AlwaysOnLine) return;
  FlushFileBuffers(handle);
  PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  GetCommState(m_hPuerto, &m_DCB);
  m_DCB.BaudRate = static_cast<DWORD>(velocidad);
  m_DCB.ByteSize = 8;
  m_DCB.DCBlength = 28;
  m_DCB.EofChar = 26;
  m_DCB.ErrorChar = 0;
  m_DCB.EvtChar = 0;
  m_DCB.fBitFields = 0x2315;  // binary, DTR on, CTS/RTS and XON/XOFF flow control
  m_DCB.XonChar = 17;
  m_DCB.XonLim = static_cast<WORD>(kColaSalida / 8);
  m_DCB.XoffChar = 19;
  m_DCB.XoffLim = static_cast<WORD>(kColaSalida - m_DCB.XonLim);
  SetCommState(m_hPuerto, &m_DCB);
  FijarTimeouts(1);
  DWORD errores = 0;
  ClearCommError(m_hPuerto, &errores, nullptr);
}

void clsPrnPort::FijarTimeouts(std::int32_t base) {
  GetCommTimeouts(m_hPuerto, &m_Timeouts);
  if (base == 0) {
    m_Timeouts = COMMTIMEOUTS{10, 2, 10, 2, 10};
  } else {
    const std::int64_t a = base < 0 ? -static_cast<std::int64_t>(base) : base;
    const std::int64_t triple = 3 * a;
    if (a > std::numeric_limits<std::int32_t>::max() ||
        triple > std::numeric_limits<std::int32_t>::max()) {
      throw Error(6, "Overflow", "vtldllxt.clsPrnPort.FijarTimeouts");
    }
    const auto t = static_cast<DWORD>(triple), u = static_cast<DWORD>(a);
    m_Timeouts = COMMTIMEOUTS{t, u, u, t, u};
  }
  SetCommTimeouts(m_hPuerto, &m_Timeouts);
}

void clsPrnPort::AtenderEventosSerie() {
  if (!PuertoAbierto()) return;
  if (!m_EventoSerieArmado) {
    SetCommMask(m_hPuerto, kTodosLosEventos);
    WaitCommEvent(m_hPuerto, &m_MascaraEventos, &m_OvlEventoSerie);
    m_EventoSerieArmado = true;
  }
  if (m_Estado & 2) m_ErrorDesdeSolicitud = true;
  if (m_ErrorDesdeSolicitud && m_PuertoListo) {
    // After an error the request goes out again once the line shows the printer.
    m_EstadoAutomaticoPedido = false;
    m_ErrorDesdeSolicitud = false;
  }
  // The request (and the host's initialisation sequence) goes out between jobs, written as a
  // command: handed to the send loop it would take over the state of the job in progress (its
  // completion record, its error flag) and end a job that does not exist with DatosImpresos.
  // Right after an opening it is dropped, as everything is until the printer has answered.
  const bool libre =
      m_Estado == 0 && !m_EscrituraPendiente && m_BufferSalida.empty() && m_ColaEntrada.empty();
  if (!m_EstadoAutomaticoPedido && (m_EsperandoRespuesta || libre)) {
    if (!m_EsperandoRespuesta) {
      const std::string comando = m_SecuenciaInicializacion + PeticionEstadoAutomatico();
      DWORD escritos = 0;
      WriteFile(m_hPuerto, comando.data(), static_cast<DWORD>(comando.size()), &escritos,
                &m_OvlComando);
    }
    m_EstadoAutomaticoPedido = true;
  }
  if (m_Estado & 2) m_ErrorDesdeSolicitud = true;

  if (WaitForSingleObject(m_OvlEventoSerie.hEvent, 0) != WAIT_OBJECT_0) {
    // A line whose device has gone raises no event; the wait would never end.
    if (!m_PuertoListo) DejarSiNoEsta();
    return;
  }

  DWORD n = 0;
  GetOverlappedResult(m_hPuerto, &m_OvlEventoSerie, &n, FALSE);
  const std::uint64_t generacion = m_Generacion;
  if (n > 0) {
    // Everything waiting by now: a status block whose first byte woke the wait has usually
    // arrived whole by the time the tick reads it.
    unsigned char leido[kLectura];
    DWORD leidos = 0;
    ReadFile(m_hPuerto, leido, static_cast<DWORD>(kLectura), &leidos, &m_OvlEventoSerie);
    // Drawer and on-line events only for status bytes that really came.
    if (leidos > 0) AnalizarEstadoSerie(leido, leidos);
  }
  // A handler may have closed the port, or opened another, meanwhile.
  if (generacion != m_Generacion || !PuertoAbierto()) return;
  DWORD modem = 0;
  GetCommModemStatus(m_hPuerto, &modem);
  m_PuertoListo = modem != 0;
  if (!DejarSiNoEsta()) return;
  WaitCommEvent(m_hPuerto, &m_MascaraEventos, &m_OvlEventoSerie);
}

bool clsPrnPort::DejarSiNoEsta() {
  DWORD errores = 0;
  if (ClearCommError(m_hPuerto, &errores, nullptr) ||
      GetLastError() != ERROR_DEVICE_NOT_CONNECTED) {
    return true;
  }
  // The device went away (its other end hung up, an adapter was unplugged): the handle is let
  // go, and the tick opens the port again until a device answers to its name.
  CerrarDispositivo();
  return false;
}

void clsPrnPort::AnalizarEstadoSerie(const unsigned char* bytes, std::size_t n) {
  const unsigned char primero = m_LectorEstado.Leer(bytes, n);
  CajonAbierto = (primero & 4) == 0;
  OnLine = (primero & 32) == 0;
  const std::uint64_t generacion = m_Generacion;
  Raise([&](__clsPrnPort& s) { s.EstadoCajon(CajonAbierto); });
  if (generacion != m_Generacion) return;
  Raise([&](__clsPrnPort& s) { s.EstadoOnLlineOffLine(OnLine); });
}

std::int32_t clsPrnPort::CommSetLine(std::int16_t intLine, bool blnState) {
  const DWORD codigo = CodigoDeLinea(intLine, blnState);
  EscapeCommFunction(m_hPuerto, codigo);
  return 0;
}

void clsPrnPort::EsperarMilisegundos(std::int32_t ms) {
  Loop& loop = Loop::Current();
  const std::int64_t inicio = loop.Now();
  loop.DoEvents();
  if (ms < 0) return;
  loop.RunUntil([&] { return loop.Now() - inicio > ms; }, static_cast<std::int64_t>(ms) + 1);
}

}  // namespace vtl
