#include "engine/bucle.h"

#include <algorithm>
#include <limits>

#include "base/escpos.h"
#include "engine/guard.h"
#include "engine/types.h"
#include "platform/win.h"

namespace vtl {

namespace {

// Line ends become CR LF; a CR at the very end counts as a line end, a CR inside the text that is
// not followed by LF stays as it is.
std::string NormalizarFinesDeLinea(std::string texto) {
  if (!texto.empty() && texto.back() == '\r') texto.push_back('\n');
  std::string salida;
  salida.reserve(texto.size() + texto.size() / 16 + 2);
  for (std::size_t i = 0; i < texto.size(); ++i) {
    const char c = texto[i];
    if (c == '\r' && i + 1 < texto.size() && texto[i + 1] == '\n') {
      salida += "\r\n";
      ++i;
    } else if (c == '\n') {
      salida += "\r\n";
    } else {
      salida += c;
    }
  }
  return salida;
}

constexpr std::int32_t kPeriodoNormal = 10;

}  // namespace

BucleEnvio::BucleEnvio(EventosPuerto& eventos, std::weak_ptr<void> dueno)
    : eventos_(eventos), dueno_(std::move(dueno)) {
  timer_ = std::make_unique<clsTimer>([this] { Tick(); });
}

BucleEnvio::~BucleEnvio() {
  // No tick may reach a loop that is going; then the channel lets its device go.
  timer_.reset();
  if (canal_) canal_->Retirar();
}

void BucleEnvio::ArrancarTick() {
  timer_->Interval(ajustes_.intervaloTimer);
}

void BucleEnvio::Rafaga(bool valor) {
  esperandoRespuesta_ = false;
  ajustes_.rafaga = valor;
}

std::int32_t BucleEnvio::Imprimir(const std::string& datos, bool comandoPuro) {
  auto dueno = Mantener();
  if (uploading_) {
    retenidos_ += datos;
    return 0;
  }
  timer_->Interval(0);
  if (outputID_ == std::numeric_limits<std::int32_t>::max()) {
    throw Error(6, "Overflow", "vtldllxt.clsPrnPort.Imprimir");
  }
  const std::int32_t id = ++outputID_;
  const bool colaVacia = cola_.empty();
  std::string texto;
  texto.reserve(retenidos_.size() + datos.size());
  texto = retenidos_;
  texto += datos;
  retenidos_.clear();
  if (!comandoPuro) texto = NormalizarFinesDeLinea(std::move(texto));
  marcas_.Note(cola_, texto.size(), comandoPuro);
  cola_ += texto;
  // Whatever the immediate tick leads to (a handler may throw), the tick runs again.
  ScopeExit arrancar([&] {
    if (timer_->Interval() == 0) timer_->Interval(ajustes_.intervaloTimer);
  });
  const bool escribiendo = canal_ && canal_->EscribiendoBloque();
  // The first byte of a job leaves now, not at the next tick: a channel that keeps its own pace
  // takes its step; otherwise a tick runs. While speed
  // detection has the port, the text waits for the speed it finds; while a job's end is being
  // reported, the channel goes on once the host's handler has returned.
  if (!cerrandoTrabajo_ && !detectando_ && !cargaPorEmpezar_) {
    auto canal = canal_;
    if (canal && canal->Avanzar()) {
      // The channel took its step.
    } else if (!esperandoRespuesta_ && ((!escribiendo && colaVacia) || ajustes_.rafaga)) {
      if (ajustes_.rafaga) ajustes_.intervaloTimer = 200;
      // A device's binary command waits for the tick (at most 10 ms): commands given one after
      // another then leave together.
      if (!comandoPuro) Tick();
    }
  }
  timer_->Interval(ajustes_.intervaloTimer);
  return id;
}

void BucleEnvio::PasarCola() {
  if (cola_.empty()) return;
  salida_.append(cola_, marcas_.Take(cola_));
  cola_.clear();
}

void BucleEnvio::Tick() {
  auto dueno = Mantener();
  if (!dueno) return;
  if (enTick_ || cerrandoTrabajo_) return;
  // Speed detection has the port to itself: the timer keeps running and the text waits.
  if (detectando_) return;
  timer_->Interval(0);
  FlagGuard enTick(enTick_);
  // However the tick ends (early, or through a host handler's exception), the timer runs on.
  std::int32_t periodo = kPeriodoNormal;
  ScopeExit siguiente([&] { timer_->Interval(periodo); });
  auto canal = canal_;
  if (!canal) {
    // No port chosen yet: the text waits, and the host hears there is nowhere to print.
    PasarCola();
    Informar(true, false);
    periodo = ajustes_.intervaloTimer;
    return;
  }
  periodo = canal->Paso();
}

void BucleEnvio::ClearAll() {
  auto dueno = Mantener();
  ++generacion_;
  auto canal = canal_;
  const bool enCurso = canal && canal->TrabajoEnCurso();
  // A job the host has already heard of is not reported a second time.
  const std::int32_t ultimo = outputID_;
  const bool informar = enCurso && ultimo > informadoID_;
  // Everything is discarded before the host hears of it, so text a handler queues in answer is
  // the start of what comes next, not lost with the rest.
  cola_.clear();
  marcas_ = QueueMarks{};
  salida_.clear();
  uploading_ = false;
  // Every job up to now was reported or discarded: none is reported again.
  informadoID_ = std::max(informadoID_, outputID_);
  if (canal) canal->Vaciar(enCurso);
  if (!enCurso) return;
  // The host is told of an error; the next report that finds the printer well says so.
  estadoInformado_ = true;
  errorInformado_ = true;
  sinPapelInformado_ = false;
  const std::uint64_t generacion = generacion_;
  bool error = true, sinPapel = false;
  eventos_.NuevoEstado(error, sinPapel);
  if (informar && generacion == generacion_) {
    std::int32_t contador = ultimo;
    eventos_.DatosImpresos(contador);
  }
}

void BucleEnvio::Usar(std::shared_ptr<Canal> canal) {
  ++generacion_;
  if (canal_) canal_->Retirar();
  canal_ = std::move(canal);
  estadoInformado_ = false;
  esperandoRespuesta_ = true;
}

void BucleEnvio::Cerrar() {
  ++generacion_;
  if (canal_) canal_->Cerrar();
}

Condicion BucleEnvio::Consultar() {
  auto dueno = Mantener();
  if (detectando_) {
    // Detection has the port: nothing is read from it meanwhile, and the printer counts as busy.
    Condicion c;
    c.ocupado = true;
    return c;
  }
  if (!canal_) {
    Condicion c;
    c.error = true;
    return c;
  }
  auto canal = canal_;
  return canal->Consultar();
}

Condicion BucleEnvio::Conocida() const {
  Condicion c = canal_ ? canal_->Conocida() : Condicion{};
  c.ocupado = busy_;
  c.error = !canal_ || (estadoInformado_ && errorInformado_);
  c.sinPapel = c.error && sinPapelInformado_;
  c.tapaAbierta = c.error && c.tapaAbierta;
  return c;
}

void BucleEnvio::Informar(bool error, bool sinPapel) {
  if (estadoInformado_ && error == errorInformado_ && sinPapel == sinPapelInformado_) return;
  estadoInformado_ = true;
  errorInformado_ = error;
  sinPapelInformado_ = sinPapel;
  auto dueno = Mantener();
  bool e = error, p = sinPapel;
  eventos_.NuevoEstado(e, p);
}

void BucleEnvio::TerminarTrabajo() {
  TerminarHasta(outputID_);
}

void BucleEnvio::TerminarHasta(std::int32_t ultimo) {
  const std::int32_t contador = std::min(ultimo, outputID_);
  if (contador <= informadoID_) return;
  informadoID_ = contador;
  auto dueno = Mantener();
  FlagGuard cerrando(cerrandoTrabajo_);
  if (uploading_) {
    FinalizarCarga(contador);
  } else {
    std::int32_t evento = contador;
    eventos_.DatosImpresos(evento);
  }
}

void BucleEnvio::InformarCajon(bool abierto, bool enLinea) {
  auto dueno = Mantener();
  const std::uint64_t generacion = generacion_;
  eventos_.EstadoCajon(abierto);
  if (generacion != generacion_) return;
  eventos_.EstadoOnLine(enLinea);
}

void BucleEnvio::InformarCarga(std::int32_t quedan) {
  auto dueno = Mantener();
  eventos_.Uploading(quedan, uploadBytes_);
}

bool BucleEnvio::IniciarCarga(const std::string& flujo, std::vector<std::string> nombres,
                              bool lento) {
  if (uploading_) return false;
  auto dueno = Mantener();
  nombresLogos_ = std::move(nombres);
  alwaysOnLineGuardado_ = ajustes_.alwaysOnLine;
  rafagaGuardada_ = ajustes_.rafaga;
  propiedadesGuardadas_ = ajustes_.propiedades;
  uploadLento_ = lento;
  uploadBytes_ = 0;
  // The stream goes out unconditionally and at once; the printer's status replies would only
  // interrupt it.
  ajustes_.alwaysOnLine = true;
  Rafaga(true);
  ClearAll();
  {
    // The stream waits for the tick: the upload is not under way yet, and its first block must
    // leave as one.
    FlagGuard porEmpezar(cargaPorEmpezar_);
    Imprimir(flujo, true);
  }
  tamanoCarga_ = static_cast<std::int32_t>(std::min<std::size_t>(cola_.size(), INT32_MAX));
  // The upload is under way before the host hears of it: a handler that clears everything ends
  // it, and text a handler prints waits for it.
  uploading_ = true;
  std::int32_t quedan = uploadBytes_;
  eventos_.Uploading(quedan, uploadBytes_);
  return true;
}

void BucleEnvio::RestaurarTrasCarga() {
  ajustes_.alwaysOnLine = alwaysOnLineGuardado_;
  Rafaga(rafagaGuardada_);
  // The forced always-on-line state marked the printer as one without status replies; that mark
  // belongs to the upload, not to the printer.
  ajustes_.propiedades = propiedadesGuardadas_;
}

void BucleEnvio::FinalizarCarga(std::int32_t contador) {
  // One test print per named logo: its name, its number, the logo itself, and a cut.
  std::string prueba;
  const std::size_t logos = std::min<std::size_t>(nombresLogos_.size(), 255);
  for (std::size_t i = 1; i <= logos; ++i) {
    const std::string& nombre = nombresLogos_[i - 1];
    if (nombre.empty()) continue;
    prueba += "IMG " + nombre + "\r\n";
    prueba += "ID " + std::to_string(i) + "\r\n";
    prueba += std::string{escpos::kImprimirImagen[0], escpos::kImprimirImagen[1],
                          static_cast<char>(i), '\0'};
    prueba += std::string(escpos::kAvanzarYCortar) + "\r\n";
  }
  // The printer has the whole stream: the upload is over before the host hears of it, so that
  // whatever a handler does (print, close, open another port, throw) finds the host's settings
  // back and no text held for good.
  uploading_ = false;
  RestaurarTrasCarga();
  const std::uint64_t generacion = generacion_;
  bool avisado = false;
  ScopeExit liberar([&] {
    if (avisado) return;
    // A handler threw: the test print and the text held back still go out.
    salida_.append(prueba);
    cola_ += NormalizarFinesDeLinea(std::move(retenidos_));
    retenidos_.clear();
  });
  std::int32_t evento = contador;
  eventos_.LogoGrabado(evento);
  // The printer stores what it received before it can take anything else.
  platform::Sleep(1000);
  // Channels that hand the stream over whole never count it block by block.
  if (uploadBytes_ == 0) uploadBytes_ = tamanoCarga_;
  std::int32_t cero = 0;
  eventos_.Uploading(cero, uploadBytes_);
  avisado = true;
  // The test print belongs to the printer that stored the logos: not to a port a handler opened
  // meanwhile, nor to one it closed.
  if (generacion == generacion_) {
    if (auto canal = canal_) canal->Reabrir();
    // Through the output buffer, as it stands, ahead of the text held back during the upload,
    // which the next call releases.
    salida_.append(prueba);
  }
  Imprimir("", false);
}

}  // namespace vtl
