#include "channels/network/canal_red.h"

#include <algorithm>
#include <cmath>

#include "base/escpos.h"
#include "engine/bucle.h"
#include "engine/guard.h"
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
// The largest chunk: half of the 4 KB receive buffer most receipt printers have, so a chunk and
// its request fit beside the chunk being printed, and a reply never waits behind more than a
// buffer's worth of printing (about a second at 70 to 90 lines a second).
constexpr std::size_t kLimiteTramo = 2048;
// An idle connection is let go after this long: longer than the pause between the receipts of
// one sale, shorter than the three seconds after which another host whose connection waits
// behind this one would take the printer's silence for a printer that answers no requests.
constexpr std::int64_t kOcioMs = 2000;

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

struct Corte {
  std::size_t largo = 0;
  bool peticion = false;  // the status request follows (text, or the end of a binary command)
  bool pieza = false;     // a piece of a binary command that goes on after it
};

// The next chunk of `salida`. Ordinary text is cut just before the first CR LF from character 500
// on (in reply mode 1 not at all), never inside a binary command. A chunk that would pass the
// bound is cut shorter: a binary command at the front goes in pieces; text before a binary
// command that crosses the bound goes alone; other text is cut after its last LF within the
// bound (outside binary commands), else at the bound.
Corte Cortar(OutputBuffer& salida, bool conPeticion) {
  const std::size_t total = salida.size();
  std::size_t corte = total;
  if (conPeticion) {
    const std::size_t crlf = salida.FindCrLf(kInicioBusquedaCorte);
    if (crlf != OutputBuffer::npos && crlf > 0) corte = salida.CutOutsidePure(crlf);
  }
  if (corte <= kLimiteTramo) return {corte, conPeticion, false};
  const std::vector<PureSpan> puros = salida.PureSpans(kLimiteTramo + 1);
  if (!puros.empty() && puros.front().begin == 0 && salida.CutOutsidePure(1) > kLimiteTramo) {
    return {kLimiteTramo, false, true};
  }
  std::size_t limite = kLimiteTramo;
  for (const PureSpan& p : puros) {
    if (p.begin < kLimiteTramo && salida.CutOutsidePure(p.begin + 1) > kLimiteTramo) {
      limite = p.begin;
      break;
    }
  }
  const std::string_view v = salida.view().substr(0, limite);
  for (std::size_t i = v.size(); i-- > 0;) {
    if (v[i] != '\n') continue;
    const bool dentro = std::any_of(puros.begin(), puros.end(),
                                    [i](const PureSpan& p) { return p.begin <= i && i < p.end; });
    if (!dentro) return {i + 1, conPeticion, false};
  }
  return {limite, conPeticion, false};
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
  return (!conectada_ && !liberada_) || errorImpresora_ || muda_;
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
  bool seguido = false;  // the piece before ended inside a binary command
  for (const Tramo& t : pendientes_) {
    for (const PureSpan& s : t.puros) {
      if (seguido && s.begin == 0 && !puros.empty() && puros.back().end == texto.size()) {
        // The pieces of one command are one command again.
        puros.back().end = texto.size() + s.end;
      } else {
        puros.push_back({texto.size() + s.begin, texto.size() + s.end});
      }
      seguido = false;
    }
    texto += t.texto;
    seguido = t.pieza;
  }
  pendientes_.clear();
  bucle_.Salida().prepend(texto, puros, seguido);
  // What the socket still holds is a copy of the same text with requests of a connection that is
  // gone; the text goes out again from the buffer, with fresh requests.
  if (auto socket = socket_) socket->TakeSendBuffer();
  peticiones_ = 0;
  respuestas_ = 0;
  entregados_ = 0;
  esperando_ = false;
  comandoAMedias_ = false;
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

bool CanalRed::EnviarTexto() {
  auto socket = socket_;
  OutputBuffer& salida = bucle_.Salida();
  if (!socket || salida.empty()) return false;
  if (salida.size() == 1 && salida.view()[0] == '\0') {
    // A lone NUL asks only for the report that everything before it has been printed.
    salida.clear();
    envioCompleto_ = true;
    ComprobarImpreso();
    return false;
  }
  if (inicioEnvio_ == 0) inicioEnvio_ = Reloj();
  envioCompleto_ = false;
  ocioDesde_ = 0;
  const Corte corte = Cortar(salida, modoRespuesta_ != 1);
  Tramo tramo;
  tramo.texto.assign(salida.view().substr(0, corte.largo));
  tramo.puros = salida.PureSpans(corte.largo);
  salida.consume(corte.largo);
  std::string bloque;
  bloque.reserve(tramo.texto.size() + kPeticionEstado.size());
  bloque = tramo.texto;
  if (corte.peticion) {
    bloque += kPeticionEstado;
    tramo.peticion = ++peticiones_;
    peticionEn_ = Reloj();
  }
  comandoAMedias_ = corte.pieza;
  tramo.pieza = corte.pieza;
  entregados_ += bloque.size();
  tramo.fin = entregados_;
  pendientes_.push_back(std::move(tramo));
  esperando_ = true;
  // Recorded before the hand-over: the socket may report a lost connection from inside SendData,
  // and this chunk then goes back to the buffer with the rest.
  socket->SendData(bloque);
  return corte.pieza;
}

void CanalRed::EnviarPeticion(const std::shared_ptr<clsSocket>& socket) {
  if (inicioEnvio_ == 0) inicioEnvio_ = Reloj();
  peticionEn_ = Reloj();
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
    auto socket = socket_;
    if (socket && socket->State() == 7) {
      memoria_.conexionEnCursoDesde = 0;
      PasoConectado(socket);
    } else {
      PasoConexion();
    }
  } catch (...) {
    // Nothing from the network reaches the host as an exception; the error state shows it.
  }
  if (!Retirado() && generacion == bucle_.Generacion()) bucle_.EsperandoRespuesta(false);
  return kPeriodo;
}

bool CanalRed::Avanzar() {
  // The step runs in the loop's next pass: text the host queues in the same breath goes with it,
  // cut as one.
  if (pasoPedido_ || Retirado()) return true;
  pasoPedido_ = true;
  std::weak_ptr<Canal> weak = weak_from_this();
  platform::Loop::Current().Post([weak] {
    if (auto self = std::static_pointer_cast<CanalRed>(weak.lock())) {
      self->pasoPedido_ = false;
      self->Seguir();
    }
  });
  return true;
}

void CanalRed::Seguir() {
  if (Retirado()) return;
  if (avanzando_) {
    otraVez_ = true;
    return;
  }
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  try {
    Mover();
  } catch (...) {
    // As in the tick: trouble shows in the error state, never as an exception.
  }
}

void CanalRed::Mover() {
  FlagGuard enPaso(avanzando_);
  const Vigencia v = Ahora();
  do {
    otraVez_ = false;
    PasoEnvio();
    if (!Vigente(v)) return;
  } while (otraVez_);
}

bool CanalRed::TramoSinRespuesta() const {
  return std::any_of(pendientes_.begin(), pendientes_.end(), [this](const Tramo& t) {
    return !t.texto.empty() && t.peticion > respuestas_;
  });
}

bool CanalRed::TextoSinConfirmar() const {
  return std::any_of(pendientes_.begin(), pendientes_.end(),
                     [](const Tramo& t) { return !t.texto.empty(); });
}

void CanalRed::PasoEnvio() {
  bucle_.PasarCola();
  auto socket = socket_;
  OutputBuffer& salida = bucle_.Salida();
  if (!socket || socket->State() != 7) {
    // Not connected: a port that has never tried, or that let its connection go, connects now.
    if (!socket || socket->State() == 0) {
      if (!salida.empty() || !liberada_) PasoConexion();
    }
    return;
  }
  if (!conectada_) return;  // the connect event is on its way
  // The pieces of a binary command go on whatever the printer says: a request between them would
  // be taken for data.
  if (Error() && !comandoAMedias_) return;
  if (salida.empty()) {
    if (!TextoSinConfirmar()) {
      ComprobarImpreso();
      // A host handler may have queued the next job meanwhile.
      if (!bucle_.Cola().empty()) otraVez_ = true;
    }
    return;
  }
  // The socket still holds what it was given: it asks again when it has handed it over.
  if (socket->PendingSendBytes() > 0) return;
  if (modoRespuesta_ == 1) {
    // No reply to clock on: one chunk a tick, but the pieces of a binary command as fast as the
    // socket takes them.
    if (enviadoEsteTick_ && !comandoAMedias_ &&
        !(salida.PureSpans(1).size() == 1 && salida.CutOutsidePure(1) > kLimiteTramo)) {
      return;
    }
  } else if (TramoSinRespuesta()) {
    return;  // its answer moves the channel on
  }
  const bool pieza = EnviarTexto();
  enviadoEsteTick_ = true;
  if (pieza && socket_ == socket && socket->PendingSendBytes() == 0) otraVez_ = true;
}

void CanalRed::PasoConexion() {
  if (!socket_) {
    if (liberada_ && bucle_.Salida().empty() && bucle_.Cola().empty()) return;
    NuevoSocket();
    socket_->Inicializar(eventos_);
    if (!liberada_) {
      // The printer counts as in error until connected.
      conectada_ = false;
      if (!Sincronizar()) return;
    }
  }
  auto socket = socket_;
  if (!socket) return;
  const std::int32_t s = socket->State();
  if (s == 6) {
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
  } else if (s != 7) {
    memoria_.conexionEnCursoDesde = 0;
  }
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
    Conectarse();
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

  if (Error() && !comandoAMedias_) {
    // Text waits; the request alone goes out on every tick until a good reply clears the error.
    if (modoRespuesta_ != 1) {
      // A silent printer drops requests: whichever one it answers first, nothing but requests
      // follows the text before it.
      if (muda_) AnularPeticiones();
      EnviarPeticion(socket);
    }
    ocioDesde_ = 0;
    return true;
  }
  enviadoEsteTick_ = false;
  const Vigencia v = Ahora();
  {
    FlagGuard enPaso(avanzando_);
    // An answer that is late is asked for again on every tick (never between the pieces of a
    // binary command).
    if (modoRespuesta_ != 1 && !comandoAMedias_ && TramoSinRespuesta() &&
        ahora - peticionEn_ >= kPeriodo) {
      EnviarPeticion(socket);
    }
  }
  if (!Vigente(v)) return false;
  Mover();
  if (!Vigente(v)) return false;
  if (Ocioso()) {
    if (ocioDesde_ == 0) ocioDesde_ = ahora;
    if (ahora - ocioDesde_ >= kOcioMs) Liberar();
  } else {
    ocioDesde_ = 0;
  }
  return true;
}

bool CanalRed::Ocioso() const {
  return conectada_ && !Error() && !comandoAMedias_ && bucle_.Cola().empty() &&
         bucle_.Salida().empty() && !TextoSinConfirmar() && !esperando_;
}

void CanalRed::Liberar() {
  // The socket goes quietly: its close is no loss, and nothing of it is reported.
  ++generacion_;
  if (eventos_ && sumidero_) eventos_->Unadvise(sumidero_.get());
  auto socket = std::move(socket_);
  eventos_.reset();
  pendientes_.clear();
  peticiones_ = 0;
  respuestas_ = 0;
  entregados_ = 0;
  silencioDesde_ = 0;
  ocioDesde_ = 0;
  conectada_ = false;
  liberada_ = true;
  // The next job connects at once: letting go was no failed attempt.
  memoria_.ultimoIntento = 0;
  if (socket) socket->CloseSocket();
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
  liberada_ = false;
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
  // The answer lets the next chunk go now, or ends the job.
  Seguir();
}

void CanalRed::OnConnect() {
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  if (Retirado()) return;
  const Vigencia v = Ahora();
  Conectarse();
  // What waits goes now, not at the next tick.
  if (Vigente(v)) Seguir();
}

void CanalRed::Conectarse() {
  // A new connection: nothing on it is confirmed, and nothing is in flight.
  DevolverPendientes();
  conectada_ = true;
  liberada_ = false;
  errorImpresora_ = false;
  sinPapelImpresora_ = false;
  tapaImpresora_ = false;
  muda_ = false;
  silencioDesde_ = 0;
  ocioDesde_ = 0;
  Sincronizar();
}

void CanalRed::OnSendComplete() {
  envioCompleto_ = true;
  // The socket has handed over all it held: the next piece of a binary command may follow, or a
  // chunk that waited for the socket.
  if (avanzando_ || comandoAMedias_ || !bucle_.Salida().empty()) Seguir();
}

void CanalRed::OnClose() {
  auto self = shared_from_this();
  auto dueno = bucle_.Mantener();
  if (Retirado()) return;
  liberada_ = false;
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
