#include "engine/dispositivo.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/escpos.h"
#include "engine/bucle.h"
#include "engine/guard.h"
#include "platform/loop.h"

namespace vtl {

using namespace platform;
using namespace envio;

namespace {

constexpr std::int32_t kPeriodoNormal = 10;
constexpr std::size_t kLimiteCorte = 16384;  // a block is never longer than 16383 bytes

// Length of the next block of `datos` for base size `tamano`, given the index of the first CR LF
// at or after index tamano - 1 (npos when there is none). Positions in the rules are 1-based.
std::size_t LongitudDeBloque(std::string_view datos, std::size_t tamano, std::size_t crlf) {
  const std::size_t p = crlf == std::string_view::npos ? 0 : crlf + 1;
  std::size_t corte;
  if (p == 0) {
    corte = 1;
  } else if (p <= 2 * tamano) {
    corte = p + 1;  // just after the pair
  } else {
    // A lone LF further on may still end the block; one beyond the block limit cannot, so the
    // search stops there and the cost stays bounded whatever the buffer holds.
    const std::size_t desde = tamano - 1;
    const std::size_t hasta = std::min(datos.size(), kLimiteCorte - 1);
    const void* lf =
        desde < hasta ? std::memchr(datos.data() + desde, '\n', hasta - desde) : nullptr;
    corte = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - datos.data()) + 1 : 0;
  }
  if (corte < 5) corte = tamano;
  const std::size_t longitud = corte < kLimiteCorte ? corte : tamano;
  return std::min(longitud, datos.size());
}

std::string SinPrefijo(std::string nombre) {
  for (const char* prefijo : {"\\\\.\\", "//./"}) {
    for (std::size_t p; (p = nombre.find(prefijo)) != std::string::npos;) nombre.erase(p, 4);
  }
  return nombre;
}

}  // namespace

CanalDispositivo::CanalDispositivo(BucleEnvio& bucle, std::string nombre, std::int32_t numero)
    : Canal(bucle), nombre_(std::move(nombre)), numero_(numero) {
  memBloque1_ = static_cast<char*>(GlobalAlloc(GMEM_FIXED, kTamanoBloque));
  memBloque2_ = static_cast<char*>(GlobalAlloc(GMEM_FIXED, kTamanoBloque));
  if (!memBloque1_ || !memBloque2_) {
    GlobalFree(memBloque1_);
    GlobalFree(memBloque2_);
    throw std::bad_alloc();
  }
  CrearEventos();
}

CanalDispositivo::~CanalDispositivo() {
  CerrarDispositivo();
  GlobalFree(memBloque1_);
  GlobalFree(memBloque2_);
  CerrarEventos();
}

void CanalDispositivo::CrearEventos() {
  for (OVERLAPPED* ov : {&ovlEscritura_, &ovlComando_}) {
    *ov = OVERLAPPED{};
    ov->hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
}

void CanalDispositivo::CerrarEventos() {
  for (OVERLAPPED* ov : {&ovlEscritura_, &ovlComando_}) {
    if (ov->hEvent) CloseHandle(ov->hEvent);
    ov->hEvent = 0;
  }
}

void CanalDispositivo::Abrir() {
  cerradoPorHost_ = false;
  // The printer is initialised once the device is open; a failed opening is an error at once.
  AbrirDispositivo();
  if (Abierto()) {
    EscribirComando(std::string(escpos::kInicializar));
  } else {
    estado_ |= kError;
  }
  AbrirDispositivo();
  if (!Abierto()) estado_ |= kError;
  bool ocupado = false, error = false, sinPapel = false;
  ObtenerEstado(ocupado, error, sinPapel);
}

void CanalDispositivo::CrearArchivo(DWORD flags) {
  handle_ = CreateFileA(nombre_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        flags, 0);
  if (handle_ == 0 || handle_ == INVALID_HANDLE_VALUE) {
    handle_ = CreateFileA(SinPrefijo(nombre_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, flags, 0);
  }
  ultimoErrorApertura_ = Abierto() ? 0 : GetLastError();
}

void CanalDispositivo::EscribirComando(const std::string& comando) {
  if (!Abierto()) return;
  DWORD escritos = 0;
  WriteFile(handle_, comando.data(), static_cast<DWORD>(comando.size()), &escritos, &ovlComando_);
}

std::int32_t CanalDispositivo::Paso() {
  auto self = shared_from_this();
  BucleEnvio& bucle = bucle_;
  Ajustes& ajustes = bucle.ajustes();
  // A handler that opens another port or closes this one ends the tick: what follows belongs to
  // the port the tick started on.
  const std::uint64_t generacion = bucle.Generacion();
  const auto cambiado = [&] { return Retirado() || generacion != bucle.Generacion(); };

  if (!escrituraPendiente_) bucle.PasarCola();
  ReabrirSiToca();
  AtenderEventos();
  if (cambiado()) return kPeriodoNormal;
  bool ocupado = false, error = false, sinPapel = false;
  ObtenerEstado(ocupado, error, sinPapel);
  if (cambiado()) return kPeriodoNormal;
  if (ajustes.alwaysOnLine) {
    ajustes.propiedades |= ePDAImpresorasinCallback;
    bucle.EsperandoRespuesta(false);
  }
  bucle.Ocupado(false);
  // A printer that counts as always on line never holds the loop with an error of its status; a
  // device that refuses writes or is gone holds it all the same. Its "everything written" flag
  // stays: clearing it too would lose the end of a job whose last write completed at once.
  if (ajustes.alwaysOnLine && estado_ > 0 && !error) estado_ &= ~kError;

  if (estado_ & kError) {
    // A device that refused a write is given the block again, at the pace of a printer that has
    // not answered; the first write that goes through ends the error.
    if (falloEscritura_ && dispositivoCorrecto_ && Abierto() && !escrituraPendiente_ &&
        !bucle.Salida().empty()) {
      Enviar();
    }
    return ajustes.intervaloTimer;
  }

  if (EsperaAlAbrir() && bucle.EsperandoRespuesta()) {
    if (error) return ajustes.intervaloTimer;
    if (!ajustes.SinCallback()) {
      if (!Abierto()) ReabrirSiToca();
      if (!ocupado) bucle.EsperandoRespuesta(false);
    } else {
      bucle.EsperandoRespuesta(false);
    }
  } else {
    bucle.EsperandoRespuesta(false);
  }
  if (bucle.EsperandoRespuesta()) return ajustes.intervaloTimer;

  bool resto = false;
  ComprobarEnvio(resto);
  if (resto) {
    Enviar();
  } else if (escrituraPendiente_) {
    // still writing
  } else if (!(estado_ & kEscrito)) {
    if (estado_ == 0) Enviar();
  } else {
    if (!Abierto()) ReabrirSiToca();
    if (!bucle.Salida().empty() || !bucle.Cola().empty()) {
      estado_ = 0;
      Enviar();
    } else {
      FinDeTrabajo();
    }
  }
  if (cambiado()) return kPeriodoNormal;
  return bucle.Cargando() ? PeriodoCarga() : kPeriodoNormal;
}

void CanalDispositivo::FinDeTrabajo() {
  // The job's state is settled before the host hears of it: a handler may queue the next job,
  // clear everything or open another port, and what it does must stand.
  estado_ = 0;
  SetEndOfFile(handle_);
  bucle_.TerminarTrabajo();
}

void CanalDispositivo::Enviar() {
  BucleEnvio& bucle = bucle_;
  if (bucle.EsperandoRespuesta() || enEnviar_) return;
  FlagGuard enEnviar(enEnviar_);
  OutputBuffer& salida = bucle.Salida();
  if (salida.empty()) return;
  if (!Abierto()) {
    estado_ |= kError;
    return;
  }
  const Ajustes& ajustes = bucle.ajustes();
  const std::size_t tamano = ajustes.SinCallback() && !ajustes.Termica() ? 64 : 1024;
  const std::string_view datos = salida.view();
  std::size_t longitud;
  if (bucle.Cargando()) {
    if (bucle.BytesCarga() == 0) {
      bucle.BytesCarga() =
          static_cast<std::int32_t>(std::min<std::size_t>(salida.size(), INT32_MAX));
    }
    longitud = std::min<std::size_t>(512, datos.size());
  } else {
    longitud = LongitudDeBloque(datos, tamano, salida.FindCrLf(tamano - 1));
  }

  bucle.Ocupado(true);
  longitud = std::min(longitud, datos.size());
  bytesAEnviar_ = static_cast<std::int32_t>(longitud);
  // Alternate the two blocks so a write still in flight keeps its source intact.
  char* memoria = bloqueUsado_ == 2 ? memBloque1_ : memBloque2_;
  bloqueUsado_ = bloqueUsado_ == 2 ? 1 : 2;
  std::copy_n(datos.data(), longitud, memoria);
  bytesEscritos_ = 0;
  const BOOL escrito = WriteFile(handle_, memoria, static_cast<DWORD>(bytesAEnviar_),
                                 &bytesEscritos_, &ovlEscritura_);
  const DWORD error = escrito ? ERROR_SUCCESS : GetLastError();
  ultimoBloque_.assign(memoria, longitud);

  // What the device took. A write that completes at once has taken everything, except on a port
  // opened without overlapped writes, where the write time-out may cut it short: the rest stays
  // at the front of the buffer.
  std::size_t tomados = 0;
  if (escrito) {
    escrituraPendiente_ = false;
    estado_ = kEscrito;
    falloEscritura_ = false;
    tomados = std::min<std::size_t>(bytesEscritos_, longitud);
  } else if (error == ERROR_IO_PENDING) {
    escrituraPendiente_ = true;
    estado_ = kPendiente;
    falloEscritura_ = false;
    tomados = longitud;
  } else {
    // A write refused outright keeps its bytes at the front of the buffer. The device may be
    // gone: it is let go and opened again, and the status poll reports the error once until a
    // write goes through.
    estado_ = kError;
    falloEscritura_ = true;
    CerrarDispositivo();
  }
  salida.consume(tomados);

  // Progress after every block but the last: the upload ends once the printer has the whole
  // stream, when the job end finishes it with LogoGrabado and the final Uploading(0, total).
  if (bucle.Cargando() && !salida.empty() && tomados > 0) {
    bucle.InformarCarga(static_cast<std::int32_t>(std::min<std::size_t>(salida.size(), INT32_MAX)));
  }
}

void CanalDispositivo::ComprobarEnvio(bool& resto) {
  if (enComprobar_) return;
  FlagGuard enComprobar(enComprobar_);
  if (!bucle_.ajustes().asincrono) {
    if (bucle_.Salida().empty()) {
      estado_ |= kEscrito;
    } else {
      estado_ = 0;
    }
    return;
  }
  if (!escrituraPendiente_ || !(estado_ & kPendiente)) return;
  if (WaitForSingleObject(ovlEscritura_.hEvent, 0) == WAIT_TIMEOUT) return;
  DWORD escritos = 0;
  const BOOL resultado = GetOverlappedResult(handle_, &ovlEscritura_, &escritos, FALSE);
  escrituraPendiente_ = false;
  estado_ =
      resultado == 1 ? ((estado_ - kPendiente) | kEscrito) : ((estado_ - kPendiente) | kError);
  if (escritos < static_cast<DWORD>(bytesAEnviar_)) {
    resto = true;
    DevolverAlBuffer(escritos);
  }
  if (resultado != 1) {
    // Failed on its way out: the same as a write refused at once.
    falloEscritura_ = true;
    resto = false;
    CerrarDispositivo();
  }
}

void CanalDispositivo::DevolverAlBuffer(DWORD escritos) {
  const std::size_t faltan = static_cast<std::size_t>(bytesAEnviar_) - escritos;
  const std::size_t desde = ultimoBloque_.size() >= faltan ? ultimoBloque_.size() - faltan : 0;
  bucle_.Salida().prepend(std::string_view(ultimoBloque_).substr(desde));
}

void CanalDispositivo::ObtenerEstado(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) {
  if (enObtener_) return;
  FlagGuard enObtener(enObtener_);
  Ajustes& ajustes = bucle_.ajustes();
  bool ocupado = false, correcto = false, sinPapel = false;
  if (ajustes.alwaysOnLine) {
    if (!Abierto()) {
      ReabrirSiToca();
      if (!Abierto()) estado_ |= kError;
    }
    if (Abierto()) {
      correcto = true;
    } else {
      sinPapel = true;
      ocupado = true;
    }
  } else {
    const Lectura l = LeerEstado();
    ocupado = l.ocupado;
    correcto = l.correcto && !l.ocupado;
    sinPapel = l.sinPapel;
  }
  dispositivoCorrecto_ = correcto;
  // A device that refused a write is in error whatever its lines say, until a write goes through.
  if (falloEscritura_) correcto = false;

  tmpBusy = ocupado;
  tmpError = !correcto;
  tmpSinPapel = sinPapel;
  bucle_.Ocupado(ocupado);

  // Flag 2 holds the send loop while the printer is in error (or out of paper); the host hears
  // of the first state after every opening, then of each change only.
  const bool enError = !correcto || sinPapel;
  if (enError) {
    estado_ |= kError;
  } else {
    estado_ &= ~kError;
  }
  // The first report after an opening tells the lines as they are; from then on paper out counts
  // as an error too.
  bucle_.Informar(bucle_.EstadoInformado() ? enError : !correcto, sinPapel);
}

Condicion CanalDispositivo::Consultar() {
  Condicion c;
  ObtenerEstado(c.ocupado, c.error, c.sinPapel);
  return c;
}

void CanalDispositivo::Cerrar() {
  // The port stays closed until the host opens one again; its first state then is news.
  cerradoPorHost_ = true;
  if (Abierto()) bucle_.OlvidarEstado();
  CerrarDispositivo();
}

void CanalDispositivo::Vaciar(bool) {
  escrituraPendiente_ = false;
  estado_ = 0;
  if (handle_ > -1) {
    SetEndOfFile(handle_);
    if (Abierto()) CancelIo(handle_);
  }
}

void CanalDispositivo::CerrarDispositivo() {
  if (Abierto()) {
    // Never waits for the device: a write in flight is ended, and what the device had not taken
    // (a serial driver's queue included) goes back in front of the buffer.
    CancelIo(handle_);
    if (escrituraPendiente_) {
      DWORD escritos = 0;
      GetOverlappedResult(handle_, &ovlEscritura_, &escritos, FALSE);
      escrituraPendiente_ = false;
      if (escritos < static_cast<DWORD>(bytesAEnviar_)) {
        DevolverAlBuffer(escritos);
        estado_ &= ~(kPendiente | kEscrito);
      } else {
        estado_ = (estado_ & ~kPendiente) | kEscrito;
      }
    }
    // Records get fresh events, so nothing signalled for the old device leaks into the next one.
    CerrarEventos();
    CrearEventos();
    CloseHandle(handle_);
    handle_ = 0;
  }
  Soltado();
}

void CanalDispositivo::ReabrirSiToca() {
  if (Abierto() || cerradoPorHost_ || Retirado() || bucle_.Detectando()) return;
  const std::int64_t ahora = Loop::Current().Now();
  if (ahora < proximaReapertura_) return;
  AbrirDispositivo();
  if (Abierto()) {
    esperaReapertura_ = 0;
    return;
  }
  // A port that is not there is tried again, less often the longer it stays away.
  esperaReapertura_ = std::min<std::int64_t>(
      std::max<std::int64_t>(esperaReapertura_ * 2, bucle_.ajustes().intervaloTimer),
      kEsperaReaperturaMaxima);
  proximaReapertura_ = ahora + esperaReapertura_;
}

}  // namespace vtl
