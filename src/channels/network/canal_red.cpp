#include "channels/network/canal_red.h"

#include <algorithm>
#include <cmath>

#include "base/escpos.h"
#include "engine/bucle.h"
#include "net/modsocket.h"
#include "net/socket.h"
#include "platform/loop.h"

namespace vtl {

namespace {

const std::string kPeticionEstado(escpos::kEstadoTiempoReal);
constexpr std::int32_t kPeriodo = 250;
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
  bool tapa = false;
};

// A DLE EOT 2 reply carries its fixed bits; cover open, printing stopped by the paper end and an
// error make it an error. Some printers answer an error with one of a few values instead. Any
// other byte is a reply without error.
EstadoImpresora Decodificar(unsigned char b) {
  for (const std::uint8_t v : escpos::kErroresAntiguos) {
    if (b == v) return {true, false};
  }
  if ((b & escpos::kTiempoRealMascara) != escpos::kTiempoRealFijo) return {};
  const bool sinPapel = (b & escpos::kTiempoRealFinPapel) != 0;
  const bool tapa = (b & escpos::kTiempoRealTapa) != 0;
  return {sinPapel || tapa || (b & escpos::kTiempoRealError) != 0, sinPapel, tapa};
}

}  // namespace

// Receives the socket's events for one channel, as long as the channel lives.
class CanalRed::Sumidero : public SocketEventSink {
 public:
  explicit Sumidero(std::weak_ptr<CanalRed> canal) : canal_(std::move(canal)) {}
  void OnClose(std::int32_t&) override {
    if (auto c = canal_.lock()) c->OnClose();
  }
  void OnConnect(std::int32_t&) override {
    if (auto c = canal_.lock()) c->OnConnect();
  }
  void OnDataArrival(std::int32_t&, std::int32_t&) override {
    if (auto c = canal_.lock()) c->OnDataArrival();
  }
  void OnError(std::int32_t&, std::int16_t& number, std::string&, std::int32_t&, std::string&,
               std::string&, std::int32_t&, bool&) override {
    if (auto c = canal_.lock()) c->OnError(number);
  }
  void OnSendComplete(std::int32_t&) override {
    if (auto c = canal_.lock()) c->OnSendComplete();
  }

 private:
  std::weak_ptr<CanalRed> canal_;
};

CanalRed::CanalRed(BucleEnvio& bucle, std::string host, std::int32_t puerto, MemoriaRed& memoria)
    : Canal(bucle), host_(std::move(host)), puerto_(puerto), memoria_(memoria) {}

CanalRed::~CanalRed() {
  if (eventos_ && sumidero_) eventos_->Unadvise(sumidero_.get());
}

CanalRed::Vigencia CanalRed::Ahora() const {
  return {bucle_.Generacion(), generacion_, socket_.get()};
}

bool CanalRed::Vigente(const Vigencia& v) const {
  return !Retirado() && v.generacion == bucle_.Generacion() && v.propia == generacion_ &&
         v.socket == socket_.get();
}

void CanalRed::NuevoSocket() {
  ++generacion_;
  if (eventos_ && sumidero_) eventos_->Unadvise(sumidero_.get());
  if (!sumidero_) {
    sumidero_ = std::make_shared<Sumidero>(std::static_pointer_cast<CanalRed>(shared_from_this()));
  }
  socket_ = clsSocket::Create();
  eventos_ = std::make_shared<clsSocketCB>();
  eventos_->Advise(sumidero_.get());
}

// ---- State ----

bool CanalRed::Error() const {
  return !conectada_ || errorImpresora_ || muda_;
}

bool CanalRed::RespondioAntes() const {
  return !memoria_.destinoRespondio.empty() &&
         memoria_.destinoRespondio == host_ + ":" + std::to_string(puerto_);
}

Condicion CanalRed::Conocida() const {
  Condicion c;
  c.tapaAbierta = conectada_ && tapaImpresora_;
  return c;
}

Condicion CanalRed::Consultar() {
  Condicion c;
  c.error = Error();
  c.sinPapel = conectada_ && sinPapelImpresora_;
  return c;
}

bool CanalRed::Sincronizar() {
  const Vigencia v = Ahora();
  bucle_.Informar(Error(), conectada_ && sinPapelImpresora_);
  return Vigente(v);
}

void CanalRed::ComprobarImpreso() {
  if (Error() || bucle_.InformadoError()) return;
  if (!bucle_.Cola().empty() || !bucle_.Salida().empty()) return;
  for (const Tramo& t : pendientes_) {
    if (!t.texto.empty()) return;
  }
  if (modoRespuesta_ == 1) {
    auto socket = socket_;
    if (!socket || socket->UnacknowledgedBytes() != 0) return;
  }
  esperando_ = false;
  bucle_.TerminarTrabajo();
}

// ---- Sending ----

void CanalRed::DevolverPendientes() {
  std::string texto;
  std::vector<PureSpan> puros;
  for (const Tramo& t : pendientes_) {
    for (const PureSpan& s : t.puros)
      puros.push_back({texto.size() + s.begin, texto.size() + s.end});
    texto += t.texto;
  }
  pendientes_.clear();
  bucle_.Salida().prepend(texto, puros);
  // What the socket still holds is a copy of the same text with requests of a connection that is
  // gone; the text goes out again from the buffer, with fresh requests.
  if (auto socket = socket_) socket->TakeSendBuffer();
  peticiones_ = 0;
  respuestas_ = 0;
  entregados_ = 0;
  esperando_ = false;
}

void CanalRed::Perdida() {
  DevolverPendientes();
  conectada_ = false;
  errorImpresora_ = false;
  sinPapelImpresora_ = false;
  tapaImpresora_ = false;
  muda_ = false;
  silencioDesde_ = 0;
}

void CanalRed::AnularPeticiones() {
  // The requests sent so far will not all be answered. The next reply answers a later request,
  // which confirms everything sent before it.
  respuestas_ = peticiones_;
  silencioDesde_ = 0;
  std::erase_if(pendientes_, [](const Tramo& t) { return t.texto.empty(); });
  for (Tramo& t : pendientes_) t.peticion = 0;
}

void CanalRed::EnviarTexto() {
  auto socket = socket_;
  OutputBuffer& salida = bucle_.Salida();
  if (!socket || salida.empty()) return;
  if (salida.size() == 1 && salida.view()[0] == '\0') {
    // A lone NUL asks only for the report that everything before it has been printed.
    salida.clear();
    envioCompleto_ = true;
    ComprobarImpreso();
    return;
  }
  if (inicioEnvio_ == 0) inicioEnvio_ = Reloj();
  envioCompleto_ = false;
  const bool conPeticion = modoRespuesta_ != 1;
  std::size_t corte = salida.size();
  if (conPeticion) {
    const std::size_t crlf = salida.FindCrLf(kInicioBusquedaCorte);
    // A pure command is never split: the request follows the whole command.
    if (crlf != OutputBuffer::npos && crlf > 0) corte = salida.CutOutsidePure(crlf);
  }
  Tramo tramo;
  tramo.texto.assign(salida.view().substr(0, corte));
  tramo.puros = salida.PureSpans(corte);
  salida.consume(corte);
  std::string bloque;
  bloque.reserve(tramo.texto.size() + kPeticionEstado.size());
  bloque = tramo.texto;
  if (conPeticion) {
    bloque += kPeticionEstado;
    tramo.peticion = ++peticiones_;
  }
  entregados_ += bloque.size();
  tramo.fin = entregados_;
  pendientes_.push_back(std::move(tramo));
  esperando_ = true;
  // Recorded before the hand-over: the socket may report a lost connection from inside SendData,
  // and this chunk then goes back to the buffer with the rest.
  socket->SendData(bloque);
}

void CanalRed::EnviarPeticion(const std::shared_ptr<clsSocket>& socket) {
  if (inicioEnvio_ == 0) inicioEnvio_ = Reloj();
  envioCompleto_ = false;
  ++peticiones_;
  entregados_ += kPeticionEstado.size();
  // Requests sent alone carry no text: a run of them is kept as one piece, its last request.
  if (!pendientes_.empty() && pendientes_.back().texto.empty() &&
      pendientes_.back().peticion != 0) {
    pendientes_.back().peticion = peticiones_;
    pendientes_.back().fin = entregados_;
  } else {
    Tramo tramo;
    tramo.peticion = peticiones_;
    tramo.fin = entregados_;
    pendientes_.push_back(std::move(tramo));
  }
  esperando_ = true;
  socket->SendData(kPeticionEstado);
}

// ---- The tick ----

std::int32_t CanalRed::Paso() {
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  const std::uint64_t generacion = bucle_.Generacion();
  try {
    bucle_.PasarCola();
    if (!socket_) {
      // The printer counts as in error until connected.
      NuevoSocket();
      socket_->Inicializar(eventos_);
      conectada_ = false;
      if (!Sincronizar()) return kPeriodo;
    }
    auto socket = socket_;
    if (!socket) return kPeriodo;
    const std::int32_t s = socket->State();
    if (s == 7) {
      memoria_.conexionEnCursoDesde = 0;
      PasoConectado(socket);
    } else if (s == 6) {
      const std::int64_t ahora = RelojSegundos();
      if (memoria_.conexionEnCursoDesde == 0) memoria_.conexionEnCursoDesde = ahora;
      if (ahora - memoria_.conexionEnCursoDesde > kAbandonoConexionS) {
        // Give up on this attempt; Conectar gives the successor its sink.
        ++generacion_;
        socket_ = clsSocket::Create();
        memoria_.conexionEnCursoDesde = 0;
      }
    } else if (s == 0 || s == 9) {
      // State 9 is a host look-up that failed: the name is tried again like any other failed
      // connection, so a printer whose name did not resolve once is not lost until reopened.
      memoria_.conexionEnCursoDesde = 0;
      Conectar();
    } else {
      memoria_.conexionEnCursoDesde = 0;
    }
  } catch (...) {
    // Nothing from the network reaches the host as an exception; the error state shows it.
  }
  if (!Retirado() && generacion == bucle_.Generacion()) bucle_.EsperandoRespuesta(false);
  return kPeriodo;
}

void CanalRed::VigilarSilencio(std::int64_t ahora, std::uint64_t recibidos) {
  // Silence counts from when the printer's stack acknowledged the oldest unanswered request,
  // never while that request still waits behind data the printer is taking.
  if (modoRespuesta_ != 1 && respuestas_ < peticiones_) {
    if (silencioDesde_ == 0) {
      for (const Tramo& t : pendientes_) {
        if (t.peticion > respuestas_) {
          if (t.fin <= recibidos) silencioDesde_ = ahora;
          break;
        }
      }
    }
  } else {
    silencioDesde_ = 0;
  }
  if (silencioDesde_ != 0) {
    const std::int64_t espera = ahora - silencioDesde_;
    if (RespondioAntes()) {
      if (espera > kSilencioMs && !muda_) {
        // A printer that answered before and stops is in error, never a printer without replies.
        muda_ = true;
        AnularPeticiones();
      }
    } else if (modoRespuesta_ == 0 && espera > kModoSinRespuestaMs) {
      modoRespuesta_ = 1;
      respuestas_ = peticiones_;
      silencioDesde_ = 0;
    }
  }
}

bool CanalRed::PasoConectado(const std::shared_ptr<clsSocket>& socket) {
  if (!conectada_) {
    // Connected without the event having reached this channel (it was busy elsewhere): the same.
    const Vigencia v = Ahora();
    OnConnect();
    if (!Vigente(v)) return false;
  }
  const std::int64_t ahora = Reloj();
  const std::uint64_t sinConfirmar = socket->UnacknowledgedBytes();
  const std::uint64_t recibidos = entregados_ > sinConfirmar ? entregados_ - sinConfirmar : 0;

  VigilarSilencio(ahora, recibidos);
  if (modoRespuesta_ == 1) {
    // Without replies, what the printer's stack has acknowledged is all that can be known.
    while (!pendientes_.empty() && pendientes_.front().fin <= recibidos) pendientes_.pop_front();
  }
  if (!Sincronizar()) return false;

  if (Error()) {
    // Text waits; the request alone goes out on every tick until a good reply clears the error.
    if (modoRespuesta_ != 1) {
      // A silent printer drops requests: whichever one it answers first, nothing but requests
      // follows the text before it.
      if (muda_) AnularPeticiones();
      EnviarPeticion(socket);
    }
    return true;
  }
  if (!bucle_.Salida().empty()) {
    EnviarTexto();
  } else if (std::any_of(pendientes_.begin(), pendientes_.end(),
                         [](const Tramo& t) { return !t.texto.empty(); })) {
    // Text awaits its confirmation: ask again on every tick until it comes.
    if (modoRespuesta_ != 1) EnviarPeticion(socket);
  } else {
    ComprobarImpreso();
  }
  return true;
}

void CanalRed::Conectar() {
  const std::int64_t ahora = Reloj();
  if (memoria_.ultimoIntento != 0 && ahora - memoria_.ultimoIntento <= kEspaciadoIntentosMs) return;
  memoria_.ultimoIntento = ahora;
  if (!eventos_) NuevoSocket();
  if (!socket_) socket_ = clsSocket::Create();
  if (socket_->SocketHandle() < 1) {
    ++generacion_;
    socket_ = clsSocket::Create();
    ModSocket::CleanupWinsockService(false);
  }
  auto socket = socket_;
  const Vigencia v = Ahora();
  // A socket left in error reports its close from here.
  socket->CloseSocket();
  if (!Vigente(v)) return;
  socket->Inicializar(eventos_);
  socket->Protocol(0);
  socket->Connect(host_, puerto_, 0);
}

void CanalRed::Cerrar() {
  ++generacion_;
  // The printer may not have what it never confirmed: it waits for the next opening.
  Perdida();
  if (eventos_ && sumidero_) eventos_->Unadvise(sumidero_.get());
  socket_.reset();
  eventos_.reset();
}

void CanalRed::Vaciar(bool) {
  pendientes_.clear();
  esperando_ = false;
}

// ---- Socket events ----

void CanalRed::OnDataArrival() {
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  auto socket = socket_;
  if (!socket || Retirado()) return;
  SocketValue datos;
  socket->GetData(datos);
  const std::string& respuesta = datos.image;
  // Each byte answers one request; bytes beyond the requests sent (a chatty printer, status it
  // sends on its own) answer nothing and say nothing.
  const std::int64_t porResponder = peticiones_ - respuestas_;
  const std::size_t contadas = static_cast<std::size_t>(
      std::min<std::int64_t>(porResponder, static_cast<std::int64_t>(respuesta.size())));
  if (contadas == 0) return;
  respuestas_ += static_cast<std::int64_t>(contadas);
  modoRespuesta_ = 2;
  memoria_.destinoRespondio = host_ + ":" + std::to_string(puerto_);
  silencioDesde_ = 0;
  muda_ = false;
  // The reply to the latest request answered tells the printer's state now.
  const EstadoImpresora estado = Decodificar(static_cast<unsigned char>(respuesta[contadas - 1]));
  errorImpresora_ = estado.error;
  sinPapelImpresora_ = estado.sinPapel;
  tapaImpresora_ = estado.tapa;
  // Everything before the latest answered request has reached the printer.
  std::size_t confirmados = 0;
  for (std::size_t i = 0; i < pendientes_.size(); ++i) {
    const std::int64_t p = pendientes_[i].peticion;
    if (p > respuestas_) break;
    if (p != 0) confirmados = i + 1;
  }
  pendientes_.erase(pendientes_.begin(),
                    pendientes_.begin() + static_cast<std::ptrdiff_t>(confirmados));
  if (!Sincronizar()) return;
  ComprobarImpreso();
}

void CanalRed::OnConnect() {
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  if (Retirado()) return;
  // A new connection: nothing on it is confirmed, and nothing is in flight.
  DevolverPendientes();
  conectada_ = true;
  errorImpresora_ = false;
  sinPapelImpresora_ = false;
  tapaImpresora_ = false;
  muda_ = false;
  silencioDesde_ = 0;
  Sincronizar();
}

void CanalRed::OnClose() {
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  if (Retirado()) return;
  // Whatever the printer did not confirm goes out again, first, on the next connection; no job
  // counts as printed until then.
  Perdida();
  Sincronizar();
}

void CanalRed::OnError(std::int16_t numero) {
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  if (numero == 10054) {
    if (auto socket = socket_) socket->CloseSocket();
  }
}

}  // namespace vtl
