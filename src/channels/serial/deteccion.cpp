#include "channels/serial/deteccion.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/cadenas.h"
#include "base/escpos.h"
#include "channels/serial/canal_serie.h"
#include "engine/guard.h"
#include "platform/loop.h"

namespace vtl {

using namespace platform;

namespace {

constexpr DWORD kPurgaTotal = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr std::int32_t kEsperaDeteccion = 500;
constexpr DWORD kLecturaMaxima = 255;

// CR LF, two NULs, CR LF, GS r 2 (the printer answers with one drawer-status byte), CR LF.
std::string UnidadDePeticion() {
  return std::string("\r\n\0\0\r\n", 6) + std::string(escpos::kEstadoCajon) + "\r\n";
}

// p requests, then the port and speed in large letters, so that a printer at the right speed
// answers p bytes and shows on paper which speed it was.
std::string TextoDeteccion(std::int32_t p, std::int32_t puerto, std::int32_t velocidad) {
  std::string texto;
  const std::string unidad = UnidadDePeticion();
  for (std::int32_t i = 0; i < p; ++i) texto += unidad;
  texto += "\r\n";
  texto += escpos::kModoDobleAltoYAncho;
  texto += "COM" + std::to_string(puerto) + ":" + std::to_string(velocidad);
  texto += escpos::kModoLetraPequena;
  texto += "\r\n";
  return texto;
}

std::string TextoPrueba(const std::string& puerto, std::int32_t velocidad) {
  // The port text is the host's; a printer gets at most a line's worth of it.
  std::string texto = "\r\nSERIAL:" + puerto.substr(0, 64) + "\r\nBPS:" + std::to_string(velocidad);
  for (int i = 0; i < 11; ++i) texto += "\r\n";
  texto += '\0';
  return texto;
}

// Twice the time the text needs on the line, in whole milliseconds.
std::int64_t TiempoDeLinea(std::size_t bytes, std::int32_t velocidad) {
  if (velocidad <= 0) return 0;
  return std::llround(static_cast<double>(bytes) / (velocidad / 8.0) * 2000.0);
}

bool SoloDigitos(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string ConPrefijoCom(const std::string& texto) {
  return SoloDigitos(texto) ? "COM" + texto : texto;
}

}  // namespace

void EsperarMilisegundos(std::int32_t ms) {
  Loop& loop = Loop::Current();
  const std::int64_t inicio = loop.Now();
  loop.DoEvents();
  if (ms < 0) return;
  loop.RunUntil([&] { return loop.Now() - inicio > ms; }, static_cast<std::int64_t>(ms) + 1);
}

DeteccionVelocidad::DeteccionVelocidad(Ajustes& ajustes, std::function<void()> cerrarPuerto)
    : ajustes_(ajustes), cerrarPuerto_(std::move(cerrarPuerto)) {
  ovlEscritura_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ovlLectura_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

DeteccionVelocidad::~DeteccionVelocidad() {
  CerrarLinea();
  CloseHandle(ovlEscritura_.hEvent);
  CloseHandle(ovlLectura_.hEvent);
}

bool DeteccionVelocidad::Abierta() const {
  return handle_ != 0 && handle_ != INVALID_HANDLE_VALUE;
}

void DeteccionVelocidad::AbrirLinea(std::int32_t numero) {
  const std::string nombre = "COM" + std::to_string(numero);
  handle_ = CreateFileA(nombre.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, 0);
  if (handle_ == 0 || handle_ == INVALID_HANDLE_VALUE) {
    handle_ = CreateFileA(("\\\\.\\" + nombre).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
  }
}

void DeteccionVelocidad::CerrarLinea() {
  if (Abierta()) {
    CancelIo(handle_);
    CloseHandle(handle_);
  }
  handle_ = 0;
}

std::int32_t DeteccionVelocidad::CheckAutoSpeed(const std::string& puerto, std::int32_t lista) {
  return SinControlDeFlujo(puerto, lista);
}

std::int32_t DeteccionVelocidad::SinControlDeFlujo(const std::string& puerto, std::int32_t lista) {
  cerrarPuerto_();
  const std::int32_t flujo = ajustes_.controlDeFlujo;
  ScopeExit devolver([&] { ajustes_.controlDeFlujo = flujo; });
  ajustes_.controlDeFlujo = eHSKNone;
  Loop::Current().DoEvents();
  return Detectar(ConPrefijoCom(puerto), lista, kEsperaDeteccion, 0);
}

bool DeteccionVelocidad::CheckAutospeedAndHandshake(const std::string& puerto,
                                                    std::int32_t& velocidad,
                                                    std::int32_t& handshake) {
  cerrarPuerto_();
  const std::int32_t flujo = ajustes_.controlDeFlujo;
  ajustes_.controlDeFlujo = eHSKNone;
  const std::int32_t s0 = SinControlDeFlujo(puerto, 2);
  ajustes_.controlDeFlujo = flujo;
  for (const std::int32_t modo : {eHSKSoftwareHardware, eHSKHardware, eHSKSoftware}) {
    ajustes_.controlDeFlujo = modo;
    const std::int32_t r = Detectar(ConPrefijoCom(puerto), 3, kEsperaDeteccion, s0);
    if ((s0 != 0 && r == s0) || (s0 == 0 && r > 0)) {
      velocidad = r;
      handshake = modo;
      return true;
    }
  }
  return false;
}

std::int32_t DeteccionVelocidad::Detectar(const std::string& puerto, std::int32_t tmpLista,
                                          std::int32_t tmpEspera, std::int32_t tmpReferencia) {
  // The line is the detection's alone, with reopening allowed, for the whole run.
  cerrarPuerto_();
  const bool reapertura = ajustes_.reaperturaPermitida;
  ajustes_.reaperturaPermitida = true;
  ScopeExit fin([&] {
    CerrarLinea();
    ajustes_.reaperturaPermitida = reapertura;
  });

  std::vector<std::int32_t> lista;
  if (tmpLista != 2) {
    lista = {115200, 57600, 38400, 19200, 9600};
  } else if (tmpReferencia > 0) {
    lista = {tmpReferencia};
  } else if (ajustes_.propiedades == 0) {
    lista = {9600, 19200, 38400};
  } else {
    lista = {19200, 9600, 38400};
  }

  // A port text whose number does not fit a Long names no port: no line is touched.
  std::int32_t numeroPuerto = 0;
  if (!NumeroDeTextoSerie(puerto, numeroPuerto)) {
    ajustes_.baudios = 0;
    return 0;
  }

  const DWORD esperaEvento = tmpEspera > 0 ? static_cast<DWORD>(tmpEspera) : 0;
  char respuesta[kLecturaMaxima];
  for (std::size_t i = 0; i < lista.size(); ++i) {
    const auto p = static_cast<std::int32_t>(i + 1);
    const std::int32_t velocidad = lista[i];
    ajustes_.baudios = velocidad;
    bool abierto = false;
    AjustarLineaSerie(numeroPuerto, velocidad, ajustes_.reaperturaPermitida,
                      ajustes_.controlDeFlujo, abierto);
    if (abierto) AbrirLinea(numeroPuerto);

    // The text must outlive its write, which may still be running when the reads begin.
    std::string texto;
    std::int64_t t = 0;
    if (Abierta()) {
      FijarTimeouts(handle_, 1, timeouts_);
      texto = TextoDeteccion(p, numeroPuerto, velocidad);
      DWORD errores = 0;
      ClearCommError(handle_, &errores, nullptr);
      PurgeComm(handle_, kPurgaTotal);
      DWORD escritos = 0;
      if (!WriteFile(handle_, texto.data(), static_cast<DWORD>(texto.size()), &escritos,
                     &ovlEscritura_)) {
        t = std::clamp<std::int64_t>(TiempoDeLinea(texto.size(), velocidad), 200, 500);
        EsperarMilisegundos(static_cast<std::int32_t>(t));
        WaitForSingleObject(ovlEscritura_.hEvent, esperaEvento);
      }
    }

    // The answers. A serial driver holds a read until its time-outs pass; where the read comes
    // back at once with nothing yet, the answer is waited for in the same way before taking
    // what has arrived.
    const auto pausa = static_cast<std::int32_t>(t < 200 ? 500 : t);
    std::int64_t recibidos = 0;
    for (std::int32_t intento = 1; intento <= p; ++intento) {
      DWORD leidos = 0;
      const BOOL ok = ReadFile(handle_, respuesta, kLecturaMaxima, &leidos, &ovlLectura_);
      const bool pendiente = !ok && GetLastError() == ERROR_IO_PENDING;
      if (ok && leidos > 0) {
        WaitForSingleObject(ovlLectura_.hEvent, esperaEvento);
        DWORD n = 0;
        GetOverlappedResult(handle_, &ovlLectura_, &n, FALSE);
        recibidos += n;
        continue;
      }
      if (!ok && !pendiente) continue;  // no port: nothing can arrive
      EsperarMilisegundos(pausa);
      WaitForSingleObject(ovlLectura_.hEvent, esperaEvento);
      DWORD n = 0;
      if (pendiente) {
        GetOverlappedResult(handle_, &ovlLectura_, &n, FALSE);
      } else {
        ReadFile(handle_, respuesta, kLecturaMaxima, &n, &ovlLectura_);
      }
      recibidos += n;
      if (intento > 3 && recibidos == 0) break;
    }

    ajustes_.baudios = 0;
    DWORD errores = 0;
    if (recibidos > 0) {
      GetCommState(handle_, &dcb_);
      if (recibidos <= static_cast<std::int64_t>(lista.size())) {
        const std::int32_t hallada = lista[static_cast<std::size_t>(recibidos - 1)];
        ajustes_.baudios = hallada;
        ClearCommError(handle_, &errores, nullptr);
        PurgeComm(handle_, kPurgaTotal);
        CerrarLinea();
        return hallada;
      }
    }
    ClearCommError(handle_, &errores, nullptr);
    PurgeComm(handle_, kPurgaTotal);
    CerrarLinea();
  }
  return 0;
}

void DeteccionVelocidad::EnviarPruebasDeVelocidad(const std::string& puerto) {
  cerrarPuerto_();
  const bool reapertura = ajustes_.reaperturaPermitida;
  ajustes_.reaperturaPermitida = true;
  ScopeExit fin([&] {
    CerrarLinea();
    ajustes_.reaperturaPermitida = reapertura;
  });
  std::int32_t numeroPuerto = 0;
  const bool valido = NumeroDeTextoSerie(puerto, numeroPuerto);
  for (const std::int32_t velocidad : {9600, 19200, 38400}) {
    ajustes_.baudios = velocidad;
    if (valido) {
      bool abierto = false;
      AjustarLineaSerie(numeroPuerto, velocidad, ajustes_.reaperturaPermitida,
                        ajustes_.controlDeFlujo, abierto);
      if (abierto) AbrirLinea(numeroPuerto);
    }
    std::string texto;
    if (Abierta()) {
      ConfigurarSerie(handle_, ajustes_.baudios, ajustes_.alwaysOnLine, dcb_, timeouts_);
      texto = TextoPrueba(puerto, velocidad);
      DWORD escritos = 0;
      if (!WriteFile(handle_, texto.data(), static_cast<DWORD>(texto.size()), &escritos,
                     &ovlEscritura_)) {
        const std::int64_t t = std::min<std::int64_t>(TiempoDeLinea(texto.size(), velocidad), 500);
        EsperarMilisegundos(static_cast<std::int32_t>(t));
        WaitForSingleObject(ovlEscritura_.hEvent, 500);
      }
    }
    DWORD errores = 0;
    ClearCommError(handle_, &errores, nullptr);
    PurgeComm(handle_, kPurgaTotal);
    CerrarLinea();
  }
}

}  // namespace vtl
