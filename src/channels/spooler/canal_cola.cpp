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

std::int64_t Ahora() {
  return Loop::Current().Now();
}

}  // namespace

struct CanalCola::Resultado {
  HANDLE handle = 0;
  bool ok = false;
  DWORD error = 0;
};

CanalCola::CanalCola(BucleEnvio& bucle, std::string cola, MemoriaCola& memoria,
                     const std::string& docName)
    : Canal(bucle), cola_(std::move(cola)), memoria_(memoria), docName_(docName) {}

CanalCola::~CanalCola() {
  // A worker still using the queue gives it back itself when it is done.
  if (IsPrinterHandle(handle_) && !documentoEnCurso_) ClosePrinter(handle_);
}

bool CanalCola::TrabajoEnCurso() const {
  return documentoEnCurso_ || bucle_.InformadoError();
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
  if (bucle_.Salida().empty()) {
    // An open queue with nothing waiting has no error to report (ClearAll may have left one
    // behind with the text it discarded).
    if (bucle_.InformadoError()) bucle_.Informar(false, false);
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
  documentoEnCurso_ = true;
  auto resultado = std::make_shared<Resultado>();
  std::weak_ptr<Canal> weak = weak_from_this();
  RunOnWorker(
      [cola, nombre, bytes = std::move(bytes), resultado] {
        DOC_INFO_1A info{nombre.c_str(), nullptr, nullptr};
        bool ok = StartDocPrinterA(cola, 1, &info) != 0;
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
      [weak, resultado, tamano, generacion] {
        auto self = std::static_pointer_cast<CanalCola>(weak.lock());
        if (!self) {
          ClosePrinter(resultado->handle);
          return;
        }
        self->Entregado(*resultado, tamano, generacion);
      });
}

void CanalCola::Entregado(const Resultado& r, std::size_t tamano, std::uint64_t generacion) {
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
    bucle_.Informar(true, false);
    return;
  }
  espera_ = 0;
  proximoIntento_ = 0;
  // Only what the spooler accepted leaves the buffer; text queued since stays behind it.
  bucle_.Salida().consume(tamano);
  const std::uint64_t vuelta = bucle_.Generacion();
  bucle_.Informar(false, false);
  if (Retirado() || vuelta != bucle_.Generacion()) return;
  bucle_.TerminarTrabajo();
  // Text queued meanwhile (by a handler too) goes as the next document at once.
  if (!Retirado() && vuelta == bucle_.Generacion() &&
      (!bucle_.Salida().empty() || !bucle_.Cola().empty())) {
    Paso();
  }
}

Condicion CanalCola::Consultar() {
  Condicion c;
  c.error = bucle_.InformadoError();
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
}

}  // namespace vtl
