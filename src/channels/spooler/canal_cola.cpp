#include "channels/spooler/canal_cola.h"

#include <algorithm>

#include "engine/bucle.h"
#include "platform/loop.h"
#include "platform/spooler.h"

namespace vtl {

using namespace platform;

namespace {

constexpr std::int32_t kPeriodo = 250;
// A queue that failed is tried again after this long, twice as long after every further
// failure, up to the last.
constexpr std::int64_t kPrimerReintento = 250;
constexpr std::int64_t kUltimoReintento = 30'000;
// The first look at a document comes soon after the spooler accepted it (a receipt prints in
// well under a second); later looks once a second, so that many tills on one print server cost
// it little.
constexpr std::int64_t kPrimeraMirada = 100;
constexpr std::int64_t kMirada = 1000;

// What stops a document or a queue until someone sees to it.
constexpr DWORD kDocumentoDetenido = JOB_STATUS_PAUSED | JOB_STATUS_ERROR |
                                     JOB_STATUS_BLOCKED_DEVQ | JOB_STATUS_USER_INTERVENTION |
                                     JOB_STATUS_OFFLINE | JOB_STATUS_PAPEROUT;
constexpr DWORD kColaDetenida = PRINTER_STATUS_PAUSED | PRINTER_STATUS_ERROR |
                                PRINTER_STATUS_PAPER_JAM | PRINTER_STATUS_PAPER_OUT |
                                PRINTER_STATUS_OFFLINE | PRINTER_STATUS_NOT_AVAILABLE |
                                PRINTER_STATUS_USER_INTERVENTION | PRINTER_STATUS_DOOR_OPEN;

std::int64_t Ahora() {
  return Loop::Current().Now();
}

}  // namespace

struct CanalCola::Resultado {
  HANDLE handle = 0;
  bool ok = false;
  DWORD error = 0;
  DWORD trabajo = 0;
};

struct CanalCola::Vistazo {
  struct Trabajo {
    bool respondio = false;  // false: the spooler did not answer
    bool olvidado = false;   // the spooler no longer knows it: it printed
    SpoolerJobState estado;
  };
  std::vector<Trabajo> trabajos;  // in the order of enCola_ when the look began
  bool colaRespondio = false;
  SpoolerQueueState cola;
  std::uint64_t generacion = 0;
};

CanalCola::CanalCola(BucleEnvio& bucle, std::string cola, MemoriaCola& memoria,
                     const std::string& docName)
    : Canal(bucle), cola_(std::move(cola)), memoria_(memoria), docName_(docName) {}

CanalCola::~CanalCola() {
  // A worker still using the queue gives it back itself when it is done.
  if (IsPrinterHandle(handle_) && !documentoEnCurso_) ClosePrinter(handle_);
}

bool CanalCola::TrabajoEnCurso() const {
  return documentoEnCurso_ || !enCola_.empty() || bucle_.InformadoError();
}

void CanalCola::Abrir() {
  cerrada_ = false;
  espera_ = 0;
  proximoIntento_ = 0;
  AbrirEnSegundoPlano();
}

void CanalCola::AbrirEnSegundoPlano() {
  if (abriendo_ || IsPrinterHandle(handle_) || cerrada_ || Retirado()) return;
  abriendo_ = true;
  const std::string nombre = cola_;
  auto resultado = std::make_shared<Resultado>();
  std::weak_ptr<Canal> weak = weak_from_this();
  RunOnWorker(
      [nombre, resultado] {
        HANDLE h = 0;
        resultado->ok = OpenPrinterA(nombre.c_str(), &h, nullptr) != FALSE;
        resultado->error = resultado->ok ? 0 : GetLastError();
        resultado->handle = h;
      },
      [weak, resultado] {
        auto self = std::static_pointer_cast<CanalCola>(weak.lock());
        if (!self) {
          if (resultado->handle) ClosePrinter(resultado->handle);
          return;
        }
        self->Abierta(*resultado);
      });
}

void CanalCola::Abierta(const Resultado& r) {
  auto dueno = bucle_.Mantener();
  abriendo_ = false;
  // Meanwhile the host may have closed the port or opened another: the queue is not wanted.
  if (Retirado() || cerrada_ || IsPrinterHandle(handle_) || !dueno) {
    if (r.handle) ClosePrinter(r.handle);
    return;
  }
  if (r.ok) {
    handle_ = r.handle;
    espera_ = 0;
    proximoIntento_ = 0;
  } else {
    Esperar();
  }
  const std::uint64_t generacion = bucle_.Generacion();
  // The queue's answer tells the host its state: free of errors, or the error at once rather
  // than only when text waits.
  bucle_.Informar(!r.ok, false);
  // What waits goes to the queue at once, not at the next tick.
  if (r.ok && !Retirado() && bucle_.Generacion() == generacion) Paso();
}

void CanalCola::Esperar() {
  espera_ = std::min(std::max(espera_ * 2, kPrimerReintento), kUltimoReintento);
  proximoIntento_ = Ahora() + espera_;
}

std::int32_t CanalCola::Paso() {
  auto self = shared_from_this();
  bucle_.PasarCola();
  // One spooler call at a time, off this thread.
  if (abriendo_ || documentoEnCurso_) return kPeriodo;
  if (!IsPrinterHandle(handle_)) {
    if (Ahora() >= proximoIntento_) AbrirEnSegundoPlano();
    return kPeriodo;
  }
  Seguir();
  if (bucle_.Salida().empty()) {
    // An open queue with nothing waiting and nothing wrong has no error to report (ClearAll may
    // have left one behind with the text it discarded).
    if (bucle_.InformadoError() && !Error()) bucle_.Informar(false, false);
    return kPeriodo;
  }
  if (Ahora() < proximoIntento_) return kPeriodo;
  Imprimir(bucle_.Salida().str());
  return kPeriodo;
}

bool CanalCola::Avanzar() {
  // The document is handed over in the loop's next pass, not at the next tick; text the host
  // queues in the same breath goes in the same document.
  if (pasoPedido_ || Retirado()) return true;
  pasoPedido_ = true;
  std::weak_ptr<Canal> weak = weak_from_this();
  Loop::Current().Post([weak] {
    if (auto self = std::static_pointer_cast<CanalCola>(weak.lock())) {
      self->pasoPedido_ = false;
      if (!self->Retirado()) self->Paso();
    }
  });
  return true;
}

void CanalCola::Imprimir(const std::string& texto) {
  std::string nombre = "VTL:";
  if (!docName_.empty()) {
    nombre += docName_;
  } else {
    ++memoria_.documentos;
    nombre += std::to_string(handle_) + "(" + std::to_string(memoria_.documentos) + ")";
  }
  if (bucle_.Cargando() && bucle_.BytesCarga() == 0) {
    bucle_.BytesCarga() = static_cast<std::int32_t>(std::min<std::size_t>(texto.size(), INT32_MAX));
  }
  // The document carries the text as given, plus the closing zero byte the spooler expects.
  std::string bytes = texto;
  bytes.push_back('\0');
  const HANDLE cola = handle_;
  const std::size_t tamano = texto.size();
  const std::uint64_t generacion = generacion_;
  // Every job up to now is in this document or went before it.
  const std::int32_t ultimo = bucle_.OutputID();
  documentoEnCurso_ = true;
  auto resultado = std::make_shared<Resultado>();
  std::weak_ptr<Canal> weak = weak_from_this();
  RunOnWorker(
      [cola, nombre, bytes = std::move(bytes), resultado] {
        DOC_INFO_1A info{nombre.c_str(), nullptr, nullptr};
        resultado->trabajo = StartDocPrinterA(cola, 1, &info);
        bool ok = resultado->trabajo != 0;
        if (ok) {
          DWORD escritos = 0;
          ok = StartPagePrinter(cola) == TRUE &&
               WritePrinter(cola, bytes.data(), static_cast<DWORD>(bytes.size()), &escritos) ==
                   TRUE &&
               EndPagePrinter(cola) == TRUE;
          ok = EndDocPrinter(cola) == TRUE && ok;
        }
        resultado->ok = ok;
        resultado->error = ok ? 0 : GetLastError();
        resultado->handle = cola;
      },
      [weak, resultado, tamano, generacion, ultimo] {
        auto self = std::static_pointer_cast<CanalCola>(weak.lock());
        if (!self) {
          ClosePrinter(resultado->handle);
          return;
        }
        self->Entregado(*resultado, tamano, generacion, ultimo);
      });
}

void CanalCola::Entregado(const Resultado& r, std::size_t tamano, std::uint64_t generacion,
                          std::int32_t ultimo) {
  auto dueno = bucle_.Mantener();
  documentoEnCurso_ = false;
  if (r.handle != handle_) {
    // The port was closed while the worker had the queue: it goes back to the spooler now.
    ClosePrinter(r.handle);
    return;
  }
  // ClearAll threw the text away meanwhile, or the host moved on to another port.
  if (generacion != generacion_ || Retirado() || !dueno) return;
  if (!r.ok) {
    // Nothing is lost: the text stays for the next attempt, and the host hears of the error
    // once. A queue that went away is let go, to be opened again when it is back.
    if (r.error == ERROR_INVALID_PRINTER_NAME) {
      ClosePrinter(handle_);
      handle_ = 0;
    }
    Esperar();
    falloEntrega_ = true;
    bucle_.Informar(true, sinPapel_);
    return;
  }
  espera_ = 0;
  proximoIntento_ = 0;
  falloEntrega_ = false;
  // Only what the spooler accepted leaves the buffer; text queued since stays behind it.
  bucle_.Salida().consume(tamano);
  // The jobs print when the spooler says so.
  enCola_.push_back({r.trabajo, ultimo});
  proximaMirada_ = std::max(proximaMirada_, Ahora() + kPrimeraMirada);
  const std::uint64_t vuelta = bucle_.Generacion();
  bucle_.Informar(Error(), sinPapel_);
  // Text queued meanwhile (by a handler too) goes as the next document at once.
  if (!Retirado() && vuelta == bucle_.Generacion() &&
      (!bucle_.Salida().empty() || !bucle_.Cola().empty())) {
    Paso();
  }
}

void CanalCola::Seguir() {
  if (mirando_ || enCola_.empty() || !IsPrinterHandle(handle_) || Ahora() < proximaMirada_) return;
  mirando_ = true;
  const HANDLE cola = handle_;
  std::vector<DWORD> trabajos;
  for (const Documento& d : enCola_) trabajos.push_back(d.trabajo);
  auto vistazo = std::make_shared<Vistazo>();
  vistazo->generacion = generacion_;
  std::weak_ptr<Canal> weak = weak_from_this();
  RunOnWorker(
      [cola, trabajos = std::move(trabajos), vistazo] {
        vistazo->colaRespondio = GetPrinterState(cola, &vistazo->cola) == TRUE;
        for (const DWORD t : trabajos) {
          Vistazo::Trabajo& v = vistazo->trabajos.emplace_back();
          v.respondio = GetJobState(cola, t, &v.estado) == TRUE;
          v.olvidado = !v.respondio && GetLastError() == ERROR_INVALID_PARAMETER;
          // Documents print in order: one that has not printed keeps those behind it waiting.
          if (!v.olvidado &&
              (!v.respondio || (v.estado.status & (JOB_STATUS_COMPLETE | JOB_STATUS_PRINTED |
                                                   JOB_STATUS_DELETED)) == 0)) {
            break;
          }
        }
      },
      [weak, vistazo] {
        if (auto self = std::static_pointer_cast<CanalCola>(weak.lock())) self->Visto(*vistazo);
      });
}

void CanalCola::Visto(const Vistazo& v) {
  auto dueno = bucle_.Mantener();
  mirando_ = false;
  proximaMirada_ = Ahora() + kMirada;
  if (Retirado() || !dueno || v.generacion != generacion_) return;
  std::int32_t impreso = 0;
  std::string palabras;
  bool respondio = v.colaRespondio;
  errorDocumento_ = false;
  bool documentoSinPapel = false;
  for (const Vistazo::Trabajo& t : v.trabajos) {
    if (enCola_.empty()) break;
    if (!t.respondio && !t.olvidado) {
      respondio = false;
      break;
    }
    const DWORD s = t.estado.status;
    if (t.olvidado || (s & (JOB_STATUS_COMPLETE | JOB_STATUS_PRINTED)) != 0) {
      impreso = enCola_.front().ultimo;
      perdido_ = false;
    } else if ((s & JOB_STATUS_DELETED) != 0) {
      // Canceled or aborted: never reported printed; the host hears of it as an error.
      perdido_ = true;
      palabras = "document " + std::to_string(enCola_.front().trabajo) + " " + t.estado.words;
    } else {
      errorDocumento_ = (s & kDocumentoDetenido) != 0;
      documentoSinPapel = (s & JOB_STATUS_PAPEROUT) != 0;
      palabras = "document " + std::to_string(enCola_.front().trabajo) + " " + t.estado.words;
      break;
    }
    enCola_.pop_front();
  }
  if (v.colaRespondio) {
    errorCola_ = !v.cola.accepting || (v.cola.status & kColaDetenida) != 0;
    sinPapel_ = documentoSinPapel || (v.cola.status & PRINTER_STATUS_PAPER_OUT) != 0;
    tapa_ = (v.cola.status & PRINTER_STATUS_DOOR_OPEN) != 0;
    palabras = "queue " + v.cola.words + (palabras.empty() ? "" : "; " + palabras);
  }
  if (!respondio) {
    // A spooler that does not answer cannot say the documents printed: they stay followed.
    errorCola_ = true;
    palabras = "the spooler does not answer";
  }
  palabras_ = std::move(palabras);
  const std::uint64_t generacion = bucle_.Generacion();
  bucle_.Informar(Error(), sinPapel_);
  if (impreso == 0 || Retirado() || generacion != bucle_.Generacion()) return;
  bucle_.TerminarHasta(impreso);
}

Condicion CanalCola::Conocida() const {
  Condicion c;
  c.tapaAbierta = tapa_;
  c.palabras = palabras_;
  return c;
}

Condicion CanalCola::Consultar() {
  Condicion c;
  c.error = bucle_.InformadoError();
  c.sinPapel = c.error && sinPapel_;
  return c;
}

void CanalCola::Cerrar() {
  cerrada_ = true;
  if (IsPrinterHandle(handle_) && !documentoEnCurso_) ClosePrinter(handle_);
  // One a worker is using goes back when the worker is done with it.
  handle_ = 0;
}

void CanalCola::Vaciar(bool) {
  ++generacion_;
  // What the spooler has is no longer the host's to hear about; the queue's state still is.
  enCola_.clear();
  perdido_ = false;
  errorDocumento_ = false;
  falloEntrega_ = false;
}

}  // namespace vtl
