// The LAN channel: a receipt printer on a TCP port, driven from the object's tick.
//
// Output leaves in chunks that end at a line boundary, never inside a binary command queued whole,
// each followed by the real-time status request DLE EOT 2. Each reply byte answers one request,
// in order. The printer has the text before a request once it has answered that request; a job
// counts as printed only when all of its text is confirmed that way and the printer reports no
// error. What a lost connection leaves unconfirmed goes out again, ahead of newer text, on the
// next connection (the printer may then print part of it twice).
//
// A printer that has never answered and leaves its first request unanswered for three seconds
// after its TCP stack acknowledged it is fed without status requests from then on (reply mode 1);
// its jobs count as printed once its stack has acknowledged every byte. A printer that has
// answered before and then leaves a request unanswered for ten seconds is in error until it
// answers again. While the printer is in error no text goes out, only the status request, on
// every tick, so that it is seen to recover without the host doing anything.
//
// Trouble reaches the host only through NuevoEstado. A host handler may close, clear or reopen the
// port, or drop the object, from inside any event: every state change is made before the event is
// raised, and a step goes on after raising only while the port is still the one it started with.
#include <algorithm>
#include <cmath>

#include "engine/prnport.h"
#include "net/modsocket.h"
#include "net/socket.h"
#include "platform/loop.h"

namespace vtl {

namespace {

const std::string kPeticionEstado{'\x10', '\x04', '\x02'};
constexpr std::int64_t kModoSinRespuestaMs = 3000;
constexpr std::int64_t kSilencioMs = 10000;
constexpr std::int64_t kAbandonoConexionS = 10;
constexpr std::int64_t kEspaciadoIntentosMs = 25000;
constexpr std::size_t kInicioBusquedaCorte = 499;  // the first line end at or after character 500

std::int64_t Reloj() {
  // 0 means "never" in the channel's state, so the clock never reads 0.
  return std::max<std::int64_t>(platform::Loop::Current().Now(), 1);
}

std::int64_t RelojSegundos() {
  return std::max<std::int64_t>(std::llround(static_cast<double>(Reloj()) / 1000.0), 1);
}

struct EstadoImpresora {
  bool error = false;
  bool sinPapel = false;
};

// A DLE EOT 2 reply has bits 1 and 4 set and bits 0 and 7 clear; bit 2 is the cover open, bit 5
// printing stopped by the paper end, bit 6 an error. Some printers answer 12, 28 or 56 for an
// error instead. Any other byte is a reply without error.
EstadoImpresora Decodificar(unsigned char b) {
  if (b == 12 || b == 28 || b == 56) return {true, false};
  if ((b & 0x93) != 0x12) return {};
  const bool sinPapel = (b & 0x20) != 0;
  return {sinPapel || (b & 0x44) != 0, sinPapel};
}

}  // namespace

// Receives the socket's events for one printer port. It refers to the port only while advised
// on the port's event source; the port withdraws it before it goes away.
class LanSockSink : public __clsSocketCB {
 public:
  explicit LanSockSink(clsPrnPort* port) : port_(port) {}
  void OnClose(std::int32_t& h) override {
    if (auto p = Vivo()) p->m_SockCB_OnClose(h);
  }
  void OnConnect(std::int32_t& h) override {
    if (auto p = Vivo()) p->m_SockCB_OnConnect(h);
  }
  void OnDataArrival(std::int32_t& h, std::int32_t& n) override {
    if (auto p = Vivo()) p->m_SockCB_OnDataArrival(h, n);
  }
  void OnError(std::int32_t& h, std::int16_t& number, std::string& description, std::int32_t& scode,
               std::string& source, std::string& helpFile, std::int32_t& helpContext,
               bool& cancel) override {
    if (auto p = Vivo())
      p->m_SockCB_OnError(h, number, description, scode, source, helpFile, helpContext, cancel);
  }
  void OnSendComplete(std::int32_t& h) override {
    if (auto p = Vivo()) p->m_SockCB_OnSendComplete(h);
  }

 private:
  std::shared_ptr<clsPrnPort> Vivo() { return port_->weak_from_this().lock(); }
  clsPrnPort* port_;
};

// ---- Lifecycle ----

void clsPrnPort::ReiniciarRed() {
  ++m_GeneracionRed;
  m_InicioEnvioRed = 0;
  m_EnvioRedCompleto = false;
  m_ModoRespuestaRed = 0;
  m_SilencioDesdeRed = 0;
  m_MudaRed = false;
}

void clsPrnPort::LiberarRed() {
  ++m_GeneracionRed;
  // The printer may not have what it never confirmed: it waits for the next opening.
  PerdidaRed();
  if (m_SockCB && m_SockSink) m_SockCB->Unadvise(m_SockSink.get());
  m_Socket.reset();
  m_SockCB.reset();
}

void clsPrnPort::LimpiarRed(bool informado) {
  ++m_GeneracionRed;
  m_PendientesRed.clear();
  m_MarcasCola = QueueMarks{};
  m_Estado &= ~4;
  // Every job up to now was reported or discarded by ClearAll: none is reported again.
  m_OutputIDNotificadoRed = std::max(m_OutputIDNotificadoRed, m_OutputID);
  if (informado && (m_TipoPuerto == eTDPLAN || m_TipoPuerto == eTDPWIN)) {
    // ClearAll told the host of an error; the channel's next report starts from there.
    m_Estado |= 2;
    m_SinPapelRed = false;
  }
}

bool clsPrnPort::TrabajoSinInformarRed(std::int32_t contador) {
  if (contador <= m_OutputIDNotificadoRed) return false;
  m_OutputIDNotificadoRed = contador;
  return true;
}

void clsPrnPort::NuevoSocketRed() {
  ++m_GeneracionRed;
  if (m_SockCB && m_SockSink) m_SockCB->Unadvise(m_SockSink.get());
  if (!m_SockSink) m_SockSink = std::make_shared<LanSockSink>(this);
  m_Socket = clsSocket::Create();
  m_SockCB = std::make_shared<clsSocketCB>();
  m_SockCB->Advise(m_SockSink.get());
}

clsPrnPort::VigenciaRed clsPrnPort::Vigencia() const {
  return {m_GeneracionRed, m_Socket.get(), m_TipoPuerto};
}

bool clsPrnPort::Vigente(const VigenciaRed& v) const {
  return v.generacion == m_GeneracionRed && v.socket == m_Socket.get() && v.tipo == m_TipoPuerto;
}

// ---- State ----

bool clsPrnPort::ErrorRed() const {
  return !m_ConectadaRed || m_ErrorImpresoraRed || m_MudaRed;
}

bool clsPrnPort::RespondioAntesRed() const {
  return !m_DestinoRespondioRed.empty() &&
         m_DestinoRespondioRed == m_NombrePuerto + ":" + std::to_string(m_NumeroPuerto);
}

void clsPrnPort::EstadoCanalRed(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) const {
  tmpBusy = false;
  if (m_TipoPuerto == eTDPLAN) {
    tmpError = ErrorRed();
    tmpSinPapel = m_ConectadaRed && m_SinPapelImpresoraRed;
  } else {
    tmpError = (m_Estado & 2) != 0;
    tmpSinPapel = false;
  }
}

bool clsPrnPort::SincronizarEstadoRed() {
  const bool error = ErrorRed();
  const bool papel = m_ConectadaRed && m_SinPapelImpresoraRed;
  if (error == ((m_Estado & 2) != 0) && papel == m_SinPapelRed) return true;
  if (error) {
    m_Estado |= 2;
  } else {
    m_Estado &= ~2;
  }
  m_SinPapelRed = papel;
  const VigenciaRed v = Vigencia();
  bool e = error, p = papel;
  Raise([&](__clsPrnPort& s) { s.NuevoEstado(e, p); });
  return Vigente(v);
}

void clsPrnPort::ComprobarImpresoRed() {
  if (m_TipoPuerto != eTDPLAN || ErrorRed() || (m_Estado & 2)) return;
  if (!m_ColaEntrada.empty() || !m_BufferSalida.empty()) return;
  for (const TramoRed& t : m_PendientesRed) {
    if (!t.texto.empty()) return;
  }
  if (m_ModoRespuestaRed == 1) {
    auto socket = m_Socket;
    if (!socket || socket->UnacknowledgedBytes() != 0) return;
  }
  m_Estado &= ~4;
  if (m_OutputID <= m_OutputIDNotificadoRed) return;
  m_OutputIDNotificadoRed = m_OutputID;
  std::int32_t contador = m_OutputID;
  // The end of an upload stream is the end of the upload: logo event, test print, settings
  // back, held text released.
  if (m_Uploading) {
    FinalizarCargaLogos(contador);
  } else {
    Raise([&](__clsPrnPort& s) { s.DatosImpresos(contador); });
  }
}

// ---- Sending ----

void clsPrnPort::MoverColaRed() {
  if (m_ColaEntrada.empty()) return;
  m_BufferSalida.append(m_ColaEntrada, m_MarcasCola.Take(m_ColaEntrada));
  m_ColaEntrada.clear();
}

void clsPrnPort::DevolverPendientesRed() {
  std::string texto;
  std::vector<PureSpan> puros;
  for (const TramoRed& t : m_PendientesRed) {
    for (const PureSpan& s : t.puros)
      puros.push_back({texto.size() + s.begin, texto.size() + s.end});
    texto += t.texto;
  }
  m_PendientesRed.clear();
  m_BufferSalida.prepend(texto, puros);
  // What the socket still holds is a copy of the same text with requests of a connection that is
  // gone; the text goes out again from the buffer, with fresh requests.
  if (auto socket = m_Socket) socket->TakeSendBuffer();
  m_PeticionesRed = 0;
  m_RespuestasRed = 0;
  m_EntregadosRed = 0;
  m_Estado &= ~4;
}

void clsPrnPort::PerdidaRed() {
  DevolverPendientesRed();
  m_ConectadaRed = false;
  m_ErrorImpresoraRed = false;
  m_SinPapelImpresoraRed = false;
  m_MudaRed = false;
  m_SilencioDesdeRed = 0;
}

void clsPrnPort::AnularPeticionesRed() {
  // The requests sent so far will not all be answered. The next reply answers a later request,
  // which confirms everything sent before it.
  m_RespuestasRed = m_PeticionesRed;
  m_SilencioDesdeRed = 0;
  std::erase_if(m_PendientesRed, [](const TramoRed& t) { return t.texto.empty(); });
  for (TramoRed& t : m_PendientesRed) t.peticion = 0;
}

void clsPrnPort::EnviarRed() {
  auto socket = m_Socket;
  if (!socket || m_BufferSalida.empty()) return;
  if (m_BufferSalida.size() == 1 && m_BufferSalida.view()[0] == '\0') {
    // A lone NUL asks only for the report that everything before it has been printed.
    m_BufferSalida.clear();
    m_EnvioRedCompleto = true;
    ComprobarImpresoRed();
    return;
  }
  if (m_InicioEnvioRed == 0) m_InicioEnvioRed = Reloj();
  m_EnvioRedCompleto = false;
  const bool conPeticion = m_ModoRespuestaRed != 1;
  std::size_t corte = m_BufferSalida.size();
  if (conPeticion) {
    const std::size_t crlf = m_BufferSalida.FindCrLf(kInicioBusquedaCorte);
    // A pure command is never split: the request follows the whole command.
    if (crlf != OutputBuffer::npos && crlf > 0) corte = m_BufferSalida.CutOutsidePure(crlf);
  }
  TramoRed tramo;
  tramo.texto.assign(m_BufferSalida.view().substr(0, corte));
  tramo.puros = m_BufferSalida.PureSpans(corte);
  m_BufferSalida.consume(corte);
  std::string bloque;
  bloque.reserve(tramo.texto.size() + kPeticionEstado.size());
  bloque = tramo.texto;
  if (conPeticion) {
    bloque += kPeticionEstado;
    tramo.peticion = ++m_PeticionesRed;
  }
  m_EntregadosRed += bloque.size();
  tramo.fin = m_EntregadosRed;
  m_PendientesRed.push_back(std::move(tramo));
  m_Estado |= 4;
  // Recorded before the hand-over: the socket may report a lost connection from inside SendData,
  // and this chunk then goes back to the buffer with the rest.
  socket->SendData(bloque);
}

void clsPrnPort::EnviarPeticionRed(const std::shared_ptr<clsSocket>& socket) {
  if (m_InicioEnvioRed == 0) m_InicioEnvioRed = Reloj();
  m_EnvioRedCompleto = false;
  ++m_PeticionesRed;
  m_EntregadosRed += kPeticionEstado.size();
  // Requests sent alone carry no text: a run of them is kept as one piece, its last request.
  if (!m_PendientesRed.empty() && m_PendientesRed.back().texto.empty() &&
      m_PendientesRed.back().peticion != 0) {
    m_PendientesRed.back().peticion = m_PeticionesRed;
    m_PendientesRed.back().fin = m_EntregadosRed;
  } else {
    TramoRed tramo;
    tramo.peticion = m_PeticionesRed;
    tramo.fin = m_EntregadosRed;
    m_PendientesRed.push_back(std::move(tramo));
  }
  m_Estado |= 4;
  socket->SendData(kPeticionEstado);
}

// ---- The tick ----

void clsPrnPort::PasoRed() {
  auto self = shared_from_this();
  try {
    MoverColaRed();
    if (!m_Socket) {
      // The printer counts as in error until connected.
      NuevoSocketRed();
      m_Socket->Inicializar(m_SockCB);
      m_ConectadaRed = false;
      if (!SincronizarEstadoRed()) return;
    }
    auto socket = m_Socket;
    if (!socket) return;
    const std::int32_t s = socket->State();
    if (s == 7) {
      m_ConexionEnCursoDesde = 0;
      PasoConectadoRed(socket);
    } else if (s == 6) {
      const std::int64_t ahora = RelojSegundos();
      if (m_ConexionEnCursoDesde == 0) m_ConexionEnCursoDesde = ahora;
      if (ahora - m_ConexionEnCursoDesde <= kAbandonoConexionS) return;
      // Give up on this attempt; ConectarRed gives the successor its sink.
      ++m_GeneracionRed;
      m_Socket = clsSocket::Create();
      m_ConexionEnCursoDesde = 0;
    } else if (s == 0 || s == 9) {
      // State 9 is a host look-up that failed: the name is tried again like any other failed
      // connection, so a printer whose name did not resolve once is not lost until reopened.
      m_ConexionEnCursoDesde = 0;
      ConectarRed();
    } else {
      m_ConexionEnCursoDesde = 0;
    }
  } catch (...) {
    // Nothing from the network reaches the host as an exception; the error state shows it.
  }
}

bool clsPrnPort::PasoConectadoRed(const std::shared_ptr<clsSocket>& socket) {
  if (!m_ConectadaRed) {
    // Connected without the event having reached this port (it was busy elsewhere): the same.
    std::int32_t handle = socket->SocketHandle();
    const VigenciaRed v = Vigencia();
    m_SockCB_OnConnect(handle);
    if (!Vigente(v)) return false;
  }
  const std::int64_t ahora = Reloj();
  const std::uint64_t sinConfirmar = socket->UnacknowledgedBytes();
  const std::uint64_t recibidos =
      m_EntregadosRed > sinConfirmar ? m_EntregadosRed - sinConfirmar : 0;

  // Silence counts from when the printer's stack acknowledged the oldest unanswered request,
  // never while that request still waits behind data the printer is taking.
  if (m_ModoRespuestaRed != 1 && m_RespuestasRed < m_PeticionesRed) {
    if (m_SilencioDesdeRed == 0) {
      for (const TramoRed& t : m_PendientesRed) {
        if (t.peticion > m_RespuestasRed) {
          if (t.fin <= recibidos) m_SilencioDesdeRed = ahora;
          break;
        }
      }
    }
  } else {
    m_SilencioDesdeRed = 0;
  }
  if (m_SilencioDesdeRed != 0) {
    const std::int64_t espera = ahora - m_SilencioDesdeRed;
    if (RespondioAntesRed()) {
      if (espera > kSilencioMs && !m_MudaRed) {
        // A printer that answered before and stops is in error, never a printer without replies.
        m_MudaRed = true;
        AnularPeticionesRed();
      }
    } else if (m_ModoRespuestaRed == 0 && espera > kModoSinRespuestaMs) {
      m_ModoRespuestaRed = 1;
      m_RespuestasRed = m_PeticionesRed;
      m_SilencioDesdeRed = 0;
    }
  }
  if (m_ModoRespuestaRed == 1) {
    // Without replies, what the printer's stack has acknowledged is all that can be known.
    while (!m_PendientesRed.empty() && m_PendientesRed.front().fin <= recibidos) {
      m_PendientesRed.pop_front();
    }
  }
  if (!SincronizarEstadoRed()) return false;

  if (ErrorRed()) {
    // Text waits; the request alone goes out on every tick until a good reply clears the error.
    if (m_ModoRespuestaRed != 1) {
      // A silent printer drops requests: whichever one it answers first, nothing but requests
      // follows the text before it.
      if (m_MudaRed) AnularPeticionesRed();
      EnviarPeticionRed(socket);
    }
    return true;
  }
  if (!m_BufferSalida.empty()) {
    EnviarRed();
  } else if (std::any_of(m_PendientesRed.begin(), m_PendientesRed.end(),
                         [](const TramoRed& t) { return !t.texto.empty(); })) {
    // Text awaits its confirmation: ask again on every tick until it comes.
    if (m_ModoRespuestaRed != 1) EnviarPeticionRed(socket);
  } else {
    ComprobarImpresoRed();
  }
  return true;
}

void clsPrnPort::ConectarRed() {
  const std::int64_t ahora = Reloj();
  if (m_UltimoIntentoRed != 0 && ahora - m_UltimoIntentoRed <= kEspaciadoIntentosMs) return;
  m_UltimoIntentoRed = ahora;
  if (!m_SockCB) NuevoSocketRed();
  if (!m_Socket) m_Socket = clsSocket::Create();
  if (m_Socket->SocketHandle() < 1) {
    ++m_GeneracionRed;
    m_Socket = clsSocket::Create();
    ModSocket::CleanupWinsockService(false);
  }
  auto socket = m_Socket;
  const VigenciaRed v = Vigencia();
  // A socket left in error reports its close from here.
  socket->CloseSocket();
  if (!Vigente(v)) return;
  socket->Inicializar(m_SockCB);
  socket->Protocol(0);
  socket->Connect(m_NombrePuerto, m_NumeroPuerto, 0);
}

// ---- Socket events ----

void clsPrnPort::m_SockCB_OnDataArrival(std::int32_t&, std::int32_t&) {
  auto self = shared_from_this();
  auto socket = m_Socket;
  if (!socket) return;
  SocketValue datos;
  socket->GetData(datos);
  const std::string& respuesta = datos.image;
  // Each byte answers one request; bytes beyond the requests sent (a chatty printer, status it
  // sends on its own) answer nothing and say nothing.
  const std::int64_t pendientes = m_PeticionesRed - m_RespuestasRed;
  const std::size_t contadas = static_cast<std::size_t>(
      std::min<std::int64_t>(pendientes, static_cast<std::int64_t>(respuesta.size())));
  if (contadas == 0) return;
  m_RespuestasRed += static_cast<std::int64_t>(contadas);
  m_ModoRespuestaRed = 2;
  m_DestinoRespondioRed = m_NombrePuerto + ":" + std::to_string(m_NumeroPuerto);
  m_SilencioDesdeRed = 0;
  m_MudaRed = false;
  // The reply to the latest request answered tells the printer's state now.
  const EstadoImpresora estado = Decodificar(static_cast<unsigned char>(respuesta[contadas - 1]));
  m_ErrorImpresoraRed = estado.error;
  m_SinPapelImpresoraRed = estado.sinPapel;
  // Everything before the latest answered request has reached the printer.
  std::size_t confirmados = 0;
  for (std::size_t i = 0; i < m_PendientesRed.size(); ++i) {
    const std::int64_t p = m_PendientesRed[i].peticion;
    if (p > m_RespuestasRed) break;
    if (p != 0) confirmados = i + 1;
  }
  m_PendientesRed.erase(m_PendientesRed.begin(),
                        m_PendientesRed.begin() + static_cast<std::ptrdiff_t>(confirmados));
  if (!SincronizarEstadoRed()) return;
  ComprobarImpresoRed();
}

void clsPrnPort::m_SockCB_OnConnect(std::int32_t&) {
  auto self = shared_from_this();
  // A new connection: nothing on it is confirmed, and nothing is in flight.
  DevolverPendientesRed();
  m_ConectadaRed = true;
  m_ErrorImpresoraRed = false;
  m_SinPapelImpresoraRed = false;
  m_MudaRed = false;
  m_SilencioDesdeRed = 0;
  SincronizarEstadoRed();
}

void clsPrnPort::m_SockCB_OnClose(std::int32_t&) {
  auto self = shared_from_this();
  // Whatever the printer did not confirm goes out again, first, on the next connection; no job
  // counts as printed until then.
  PerdidaRed();
  SincronizarEstadoRed();
}

void clsPrnPort::m_SockCB_OnError(std::int32_t&, std::int16_t& Number, std::string&, std::int32_t&,
                                  std::string&, std::string&, std::int32_t&, bool&) {
  auto self = shared_from_this();
  if (Number == 10054) {
    if (auto socket = m_Socket) socket->CloseSocket();
  }
}

void clsPrnPort::m_SockCB_OnSendComplete(std::int32_t&) {
  m_EnvioRedCompleto = true;
}

// ---- The spooler's report ----

void clsPrnPort::ActualizarEstadoRed(bool& tmpError, bool& tmpImpreso) {
  auto self = shared_from_this();
  // Decided before any event: a handler may queue, clear or reopen meanwhile, and the document
  // that was printed is reported once, whatever it does.
  bool informar = false;
  std::int32_t contador = m_OutputID;
  if (tmpImpreso) {
    m_Estado &= ~4;
    if (m_OutputID > m_OutputIDNotificadoRed) {
      m_OutputIDNotificadoRed = m_OutputID;
      informar = true;
    }
  }
  const bool uploading = m_Uploading;
  if (tmpError != ((m_Estado & 2) != 0)) {
    if (tmpError) {
      m_Estado |= 2;
    } else {
      m_Estado &= ~2;
    }
    m_SinPapelRed = false;
    bool error = tmpError, sinPapel = false;
    Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, sinPapel); });
  }
  if (!informar) return;
  if (uploading && m_Uploading) {
    FinalizarCargaLogos(contador);
  } else {
    Raise([&](__clsPrnPort& s) { s.DatosImpresos(contador); });
  }
}

}  // namespace vtl
