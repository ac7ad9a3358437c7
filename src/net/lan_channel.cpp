// The LAN channel: a receipt printer on a TCP port, driven from the object's tick.
//
// Output leaves in chunks that end at a line boundary, each followed by the real-time status
// request DLE EOT 2; the first byte of each reply says whether the printer is in error. A
// printer that does not answer within three seconds of the first send is fed without status
// requests from then on. Trouble reaches the host only through NuevoEstado.
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
constexpr std::int64_t kAbandonoConexionS = 10;
constexpr std::int64_t kEspaciadoIntentosMs = 25000;

std::int64_t Reloj() {
  // 0 means "never" in the channel's state, so the clock never reads 0.
  return std::max<std::int64_t>(platform::Loop::Current().Now(), 1);
}

std::int64_t RelojSegundos() {
  return std::max<std::int64_t>(std::llround(static_cast<double>(Reloj()) / 1000.0), 1);
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

void clsPrnPort::ReiniciarRed() {
  m_InicioEnvioRed = 0;
  m_EnvioRedCompleto = false;
  m_ModoRespuestaRed = 0;
}

void clsPrnPort::LiberarRed() {
  if (m_SockCB && m_SockSink) m_SockCB->Unadvise(m_SockSink.get());
  m_Socket.reset();
  m_SockCB.reset();
}

void clsPrnPort::NuevoSocketRed() {
  if (m_SockCB && m_SockSink) m_SockCB->Unadvise(m_SockSink.get());
  if (!m_SockSink) m_SockSink = std::make_shared<LanSockSink>(this);
  m_Socket = clsSocket::Create();
  m_SockCB = std::make_shared<clsSocketCB>();
  m_SockCB->Advise(m_SockSink.get());
}

void clsPrnPort::PasoRed() {
  auto self = shared_from_this();
  try {
    if (!m_ColaEntrada.empty()) {
      m_BufferSalida.append(m_ColaEntrada);
      m_ColaEntrada.clear();
    }
    if (!m_Socket) {
      NuevoSocketRed();
      bool error = true, impreso = false;
      ActualizarEstadoRed(error, impreso);
      m_Socket->Inicializar(m_SockCB);
    }
    auto socket = m_Socket;
    const std::int32_t s = socket->State();
    if (s == 7) {
      m_ConexionEnCursoDesde = 0;
      // The three seconds count from the first send: before anything has been sent the printer
      // has had no chance to answer, so the mode stays undecided.
      if (m_ModoRespuestaRed == 0 && m_InicioEnvioRed != 0 &&
          Reloj() - m_InicioEnvioRed > kModoSinRespuestaMs) {
        m_ModoRespuestaRed = 1;
      }
      if (m_Estado & 2) return;
      if (m_ModoRespuestaRed == 1 && m_EnvioRedCompleto) {
        const std::int32_t antes = m_Estado;
        std::int32_t handle = 0, bytes = 0;
        m_SockCB_OnDataArrival(handle, bytes);
        if (m_Estado == antes) m_Estado = 0;
      }
      switch (m_Estado) {
        case 0:
          if (!m_BufferSalida.empty()) EnviarRed();
          break;
        case 4:
          EnviarRed();
          break;
        case 8:
          if (!m_BufferSalida.empty()) {
            EnviarRed();
          } else if (m_RespuestasRed >= m_PeticionTrasDatosRed) {
            bool error = false, impreso = true;
            ActualizarEstadoRed(error, impreso);
          } else {
            // A reply came, but not yet the one that follows the last text: the printer is still
            // working through it. Keep asking.
            EnviarRed();
          }
          break;
        default:
          break;
      }
    } else if (s == 6) {
      const std::int64_t ahora = RelojSegundos();
      if (m_ConexionEnCursoDesde == 0) m_ConexionEnCursoDesde = ahora;
      if (ahora - m_ConexionEnCursoDesde <= kAbandonoConexionS) return;
      // Give up on this attempt. What the old object still held unsent goes with its successor.
      auto nuevo = clsSocket::Create();
      nuevo->AdoptSendBuffer(socket->TakeSendBuffer());
      m_Socket = nuevo;
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

void clsPrnPort::ConectarRed() {
  const std::int64_t ahora = Reloj();
  if (m_UltimoIntentoRed != 0 && ahora - m_UltimoIntentoRed <= kEspaciadoIntentosMs) return;
  if (!m_SockCB) NuevoSocketRed();
  if (!m_Socket) m_Socket = clsSocket::Create();
  if (m_Socket->SocketHandle() < 1) {
    auto nuevo = clsSocket::Create();
    nuevo->AdoptSendBuffer(m_Socket->TakeSendBuffer());
    m_Socket = nuevo;
    ModSocket::CleanupWinsockService(false);
  }
  auto socket = m_Socket;
  socket->CloseSocket();
  socket->Inicializar(m_SockCB);
  socket->Protocol(0);
  socket->Connect(m_NombrePuerto, m_NumeroPuerto, 0);
  m_UltimoIntentoRed = ahora;
}

void clsPrnPort::EnviarRed() {
  auto socket = m_Socket;
  if (!socket) return;
  if (m_ModoRespuestaRed == 1 && m_BufferSalida.empty()) return;
  std::string sufijo = kPeticionEstado;
  if (m_InicioEnvioRed == 0) m_InicioEnvioRed = Reloj();
  m_EnvioRedCompleto = false;
  std::size_t inicio = 499;
  if (m_ModoRespuestaRed == 1) {
    sufijo.clear();
    inicio = m_BufferSalida.size() - 1;
  }
  if (m_BufferSalida.size() == 1 && m_BufferSalida.view()[0] == '\0') {
    m_BufferSalida.clear();
    m_EnvioRedCompleto = true;
    m_Estado = 4;
    std::int32_t handle = socket->SocketHandle(), bytes = 0;
    m_SockCB_OnDataArrival(handle, bytes);
    return;
  }
  const std::size_t crlf = m_BufferSalida.FindCrLf(inicio);
  std::string bloque;
  if (crlf != OutputBuffer::npos && crlf > 0) {
    bloque.reserve(crlf + sufijo.size());
    bloque.assign(m_BufferSalida.view().substr(0, crlf));
    m_BufferSalida.consume(crlf);
  } else {
    bloque.reserve(m_BufferSalida.size() + sufijo.size());
    bloque.assign(m_BufferSalida.view());
    m_BufferSalida.clear();
  }
  const bool conTexto = !bloque.empty();
  bloque += sufijo;
  if (!sufijo.empty()) {
    ++m_PeticionesRed;
    if (conTexto) m_PeticionTrasDatosRed = m_PeticionesRed;
  }
  // Set before the hand-over: the socket may report a lost connection from inside SendData, and
  // that report must have the last word.
  m_Estado = 4;
  socket->SendData(bloque);
}

void clsPrnPort::ActualizarEstadoRed(bool& tmpError, bool& tmpImpreso) {
  if (tmpError && !(m_Estado & 2)) {
    m_Estado |= 2;
    bool error = true, sinPapel = false;
    Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, sinPapel); });
  } else if (!tmpError && (m_Estado & 2)) {
    m_Estado &= ~2;
    bool error = false, sinPapel = false;
    Raise([&](__clsPrnPort& s) { s.NuevoEstado(error, sinPapel); });
  }
  if (tmpImpreso) {
    m_Estado &= ~4;
    if (m_OutputID > m_OutputIDNotificadoRed) {
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
  }
}

void clsPrnPort::m_SockCB_OnDataArrival(std::int32_t&, std::int32_t&) {
  auto self = shared_from_this();
  SocketValue datos;
  if (auto socket = m_Socket) socket->GetData(datos);
  const std::string& respuesta = datos.image;
  if (respuesta.empty() && m_ModoRespuestaRed == 1) {
    bool error = false, impreso = m_BufferSalida.empty();
    ActualizarEstadoRed(error, impreso);
    return;
  }
  m_ModoRespuestaRed = 2;
  if (respuesta.empty()) return;
  // Each byte answers one request; extra bytes from a chatty printer never count for more
  // requests than were sent.
  m_RespuestasRed = std::min<std::int64_t>(
      m_RespuestasRed + static_cast<std::int64_t>(respuesta.size()), m_PeticionesRed);
  const auto primero = static_cast<unsigned char>(respuesta[0]);
  if (primero == 12 || primero == 28 || primero == 56) {
    bool error = true, impreso = false;
    ActualizarEstadoRed(error, impreso);
  } else {
    // A good reply after an error reply clears the error the host was told about.
    if (m_Estado & 4) m_Estado = 8 | (m_Estado & 2);
    bool error = false, impreso = false;
    ActualizarEstadoRed(error, impreso);
  }
}

void clsPrnPort::m_SockCB_OnConnect(std::int32_t&) {
  auto self = shared_from_this();
  bool error = false, impreso = false;
  ActualizarEstadoRed(error, impreso);
}

void clsPrnPort::m_SockCB_OnClose(std::int32_t&) {
  auto self = shared_from_this();
  // The job counts as printed only if nothing is left to send; otherwise the error alone is
  // reported and the job is closed once the rest has gone out on the next connection.
  const bool pendiente = !m_ColaEntrada.empty() || !m_BufferSalida.empty() ||
                         (m_Socket && m_Socket->PendingSendBytes() > 0);
  bool error = true, impreso = !pendiente;
  ActualizarEstadoRed(error, impreso);
  // Requests lost with the connection will not be answered; with text left over, a reply is
  // awaited again once reconnected, so the job's end is seen.
  m_RespuestasRed = m_PeticionesRed;
  m_Estado = pendiente ? (2 | 4) : 2;
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

}  // namespace vtl
