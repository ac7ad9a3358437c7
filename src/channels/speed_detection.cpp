// Serial speed and handshake detection: the printer is asked for its status at each speed of a
// list, and the number of answers that come back tells which speed it understood.
#include <algorithm>
#include <cmath>
#include <vector>

#include "channels/port_text.h"
#include "engine/prnport.h"
#include "platform/comm.h"
#include "platform/loop.h"

namespace vtl {

using namespace platform;

namespace {

constexpr DWORD kPurgaTotal = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr std::int32_t kEsperaDeteccion = 500;
constexpr DWORD kLecturaMaxima = 255;

// CR LF, two NULs, CR LF, GS r 2 (the printer answers with one drawer-status byte), CR LF.
const std::string& UnidadDePeticion() {
  static const std::string unidad{"\r\n\0\0\r\n\x1d\x72\x02\r\n", 11};
  return unidad;
}

// p requests, then the port and speed in large letters, so that a printer at the right speed
// answers p bytes and shows on paper which speed it was.
std::string TextoDeteccion(std::int32_t p, std::int32_t puerto, std::int32_t velocidad) {
  std::string texto;
  for (std::int32_t i = 0; i < p; ++i) texto += UnidadDePeticion();
  texto += "\r\n\x1b!0";
  texto += "COM" + std::to_string(puerto) + ":" + std::to_string(velocidad);
  texto += "\x1b!\x01\r\n";
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

std::string Mayusculas(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

bool SoloDigitos(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "3", "COM3", "com3" and "\\.\COM3" all name port 3: every "com" and every "\", "/" and "."
// go, and the rest is read as a number. False when that number does not fit a Long.
bool NumeroDeTextoSerie(const std::string& texto, std::int32_t& numero) {
  std::string resto;
  for (std::size_t i = 0; i < texto.size(); ++i) {
    if (i + 3 <= texto.size() && Mayusculas(texto.substr(i, 3)) == "COM") {
      i += 2;
      continue;
    }
    const char c = texto[i];
    if (c != '\\' && c != '/' && c != '.') resto += c;
  }
  try {
    const Variant v = NumeroDePuerto(resto);
    const auto* n = std::get_if<std::int32_t>(&v.Raw());
    numero = n ? *n : 0;
    return true;
  } catch (const Error&) {
    return false;
  }
}

std::string ConPrefijoCom(const std::string& texto) {
  return SoloDigitos(texto) ? "COM" + texto : texto;
}

}  // namespace

// While a detection runs the port belongs to it alone: the object's own tick would otherwise
// read the printer's answers, write queued text at a trial speed and reopen the port between
// speeds. The tick is held and given back its period afterwards.
class PausaDeteccion {
 public:
  explicit PausaDeteccion(clsPrnPort& p) : p_(p), intervalo_(p.m_TmrCheckData->Interval()) {
    p_.m_EnDeteccion = true;
    p_.m_TmrCheckData->Interval(0);
  }
  ~PausaDeteccion() {
    p_.m_EnDeteccion = false;
    if (intervalo_ > 0 && p_.m_TmrCheckData->Interval() == 0)
      p_.m_TmrCheckData->Interval(intervalo_);
  }
  PausaDeteccion(const PausaDeteccion&) = delete;
  PausaDeteccion& operator=(const PausaDeteccion&) = delete;

 private:
  clsPrnPort& p_;
  std::int32_t intervalo_;
};

// A port opened for trials: closed before and after, with reopening allowed only meanwhile.
class PuertoDePrueba {
 public:
  explicit PuertoDePrueba(clsPrnPort& p) : p_(p), reapertura_(p.m_ReaperturaPermitida) {
    p_.CloseAll();
    p_.m_ReaperturaPermitida = true;
  }
  ~PuertoDePrueba() {
    p_.CloseAll();
    p_.m_hPuerto = 0;
    p_.m_ReaperturaPermitida = reapertura_;
  }
  PuertoDePrueba(const PuertoDePrueba&) = delete;
  PuertoDePrueba& operator=(const PuertoDePrueba&) = delete;

 private:
  clsPrnPort& p_;
  bool reapertura_;
};

std::int32_t clsPrnPort::CheckAutoSpeed(const std::string& tmpPuertoSerie,
                                        std::int32_t tmpSoloCheckearlasPrimeras) {
  auto self = shared_from_this();
  if (m_EnDeteccion) return 0;
  PausaDeteccion pausa(*this);
  return VelocidadSinControlDeFlujo(tmpPuertoSerie, tmpSoloCheckearlasPrimeras);
}

std::int32_t clsPrnPort::VelocidadSinControlDeFlujo(const std::string& tmpPuertoSerie,
                                                    std::int32_t tmpSoloCheckearlasPrimeras) {
  CloseAll();
  const std::int32_t flujo = m_ControlDeFlujo;
  m_ControlDeFlujo = eHSKNone;
  Loop::Current().DoEvents();
  std::int32_t velocidad = 0;
  try {
    velocidad = DetectarVelocidad(ConPrefijoCom(tmpPuertoSerie), tmpSoloCheckearlasPrimeras,
                                  kEsperaDeteccion, 0);
  } catch (...) {
    m_ControlDeFlujo = flujo;
    throw;
  }
  m_ControlDeFlujo = flujo;
  return velocidad;
}

Variant clsPrnPort::CheckAutospeedAndHandshake(const std::string& tmpPuerto, std::int32_t& tmpSpeed,
                                               std::int32_t& tmpHandshake) {
  auto self = shared_from_this();
  if (m_EnDeteccion) return {};
  PausaDeteccion pausa(*this);
  CloseAll();
  const std::int32_t flujo = m_ControlDeFlujo;
  m_ControlDeFlujo = eHSKNone;
  const std::int32_t s0 = VelocidadSinControlDeFlujo(tmpPuerto, 2);
  m_ControlDeFlujo = flujo;
  for (const std::int32_t modo : {eHSKSoftwareHardware, eHSKHardware, eHSKSoftware}) {
    m_ControlDeFlujo = modo;
    const std::int32_t r = DetectarVelocidad(ConPrefijoCom(tmpPuerto), 3, kEsperaDeteccion, s0);
    if ((s0 != 0 && r == s0) || (s0 == 0 && r > 0)) {
      tmpSpeed = r;
      tmpHandshake = modo;
      return {};
    }
  }
  m_Estado = 0;
  return {};
}

void clsPrnPort::AbrirPuertoDeteccion(std::int32_t tmpNumero) {
  const std::string nombre = "COM" + std::to_string(tmpNumero);
  m_hPuerto = CreateFileA(nombre.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, 0);
  if (m_hPuerto == 0 || m_hPuerto == INVALID_HANDLE_VALUE) {
    m_hPuerto = CreateFileA(("\\\\.\\" + nombre).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
  }
}

std::int32_t clsPrnPort::DetectarVelocidad(const std::string& tmpPuerto, std::int32_t tmpLista,
                                           std::int32_t tmpEspera, std::int32_t tmpReferencia) {
  PuertoDePrueba prueba(*this);

  std::vector<std::int32_t> lista;
  if (tmpLista != 2) {
    lista = {115200, 57600, 38400, 19200, 9600};
  } else if (tmpReferencia > 0) {
    lista = {tmpReferencia};
  } else if (m_PortPropiedadesAdicionales == 0) {
    lista = {9600, 19200, 38400};
  } else {
    lista = {19200, 9600, 38400};
  }

  // A port text whose number does not fit a Long names no port: no line is touched.
  std::int32_t numeroPuerto = 0;
  if (!NumeroDeTextoSerie(tmpPuerto, numeroPuerto)) {
    m_Baudios = 0;
    return 0;
  }

  const DWORD esperaEvento = tmpEspera > 0 ? static_cast<DWORD>(tmpEspera) : 0;
  char respuesta[kLecturaMaxima];
  for (std::size_t i = 0; i < lista.size(); ++i) {
    const auto p = static_cast<std::int32_t>(i + 1);
    const std::int32_t velocidad = lista[i];
    m_Baudios = velocidad;
    std::int32_t numero = numeroPuerto, velocidadLinea = velocidad;
    bool abierto = false;
    AjustarLineaSerie(numero, velocidadLinea, abierto);
    if (abierto) AbrirPuertoDeteccion(numeroPuerto);

    // The text must outlive its write, which may still be running when the reads begin.
    std::string texto;
    std::int64_t t = 0;
    if (PuertoAbierto()) {
      FijarTimeouts(1);
      texto = TextoDeteccion(p, numeroPuerto, velocidad);
      DWORD errores = 0;
      ClearCommError(m_hPuerto, &errores, nullptr);
      PurgeComm(m_hPuerto, kPurgaTotal);
      DWORD escritos = 0;
      if (!WriteFile(m_hPuerto, texto.data(), static_cast<DWORD>(texto.size()), &escritos,
                     &m_OvlEscritura)) {
        t = std::clamp<std::int64_t>(TiempoDeLinea(texto.size(), velocidad), 200, 500);
        EsperarMilisegundos(static_cast<std::int32_t>(t));
        WaitForSingleObject(m_OvlEscritura.hEvent, esperaEvento);
      }
    }

    // The answers. A serial driver holds a read until its time-outs pass; where the read comes
    // back at once with nothing yet, the answer is waited for in the same way before taking
    // what has arrived.
    const auto pausa = static_cast<std::int32_t>(t < 200 ? 500 : t);
    std::int64_t recibidos = 0;
    for (std::int32_t intento = 1; intento <= p; ++intento) {
      DWORD leidos = 0;
      const BOOL ok = ReadFile(m_hPuerto, respuesta, kLecturaMaxima, &leidos, &m_OvlLectura);
      const bool pendiente = !ok && GetLastError() == ERROR_IO_PENDING;
      if (ok && leidos > 0) {
        WaitForSingleObject(m_OvlLectura.hEvent, esperaEvento);
        DWORD n = 0;
        GetOverlappedResult(m_hPuerto, &m_OvlLectura, &n, FALSE);
        recibidos += n;
        continue;
      }
      if (!ok && !pendiente) continue;  // no port: nothing can arrive
      EsperarMilisegundos(pausa);
      WaitForSingleObject(m_OvlLectura.hEvent, esperaEvento);
      DWORD n = 0;
      if (pendiente) {
        GetOverlappedResult(m_hPuerto, &m_OvlLectura, &n, FALSE);
      } else {
        ReadFile(m_hPuerto, respuesta, kLecturaMaxima, &n, &m_OvlLectura);
      }
      recibidos += n;
      if (intento > 3 && recibidos == 0) break;
    }

    m_Baudios = 0;
    DWORD errores = 0;
    if (recibidos > 0) {
      GetCommState(m_hPuerto, &m_DCB);
      if (recibidos <= static_cast<std::int64_t>(lista.size())) {
        const std::int32_t hallada = lista[static_cast<std::size_t>(recibidos - 1)];
        m_Baudios = hallada;
        ClearCommError(m_hPuerto, &errores, nullptr);
        PurgeComm(m_hPuerto, kPurgaTotal);
        CloseAll();
        return hallada;
      }
    }
    ClearCommError(m_hPuerto, &errores, nullptr);
    PurgeComm(m_hPuerto, kPurgaTotal);
    CancelIo(m_hPuerto);
    CloseAll();
  }
  return 0;
}

Variant clsPrnPort::EnviarPruebasDeVelocidad(const std::string& tmpPuertoSerie) {
  auto self = shared_from_this();
  if (m_EnDeteccion) return {};
  PausaDeteccion pausa(*this);
  PuertoDePrueba prueba(*this);

  std::int32_t numeroPuerto = 0;
  const bool valido = NumeroDeTextoSerie(tmpPuertoSerie, numeroPuerto);
  for (const std::int32_t velocidad : {9600, 19200, 38400}) {
    m_Baudios = velocidad;
    if (valido) {
      std::int32_t numero = numeroPuerto, velocidadLinea = velocidad;
      bool abierto = false;
      AjustarLineaSerie(numero, velocidadLinea, abierto);
      if (abierto) AbrirPuertoDeteccion(numeroPuerto);
    }
    std::string texto;
    if (PuertoAbierto()) {
      ConfigurarSerie(m_hPuerto, m_Baudios);
      texto = TextoPrueba(tmpPuertoSerie, velocidad);
      DWORD escritos = 0;
      if (!WriteFile(m_hPuerto, texto.data(), static_cast<DWORD>(texto.size()), &escritos,
                     &m_OvlEscritura)) {
        const std::int64_t t = std::min<std::int64_t>(TiempoDeLinea(texto.size(), velocidad), 500);
        EsperarMilisegundos(static_cast<std::int32_t>(t));
        WaitForSingleObject(m_OvlEscritura.hEvent, 500);
      }
    }
    DWORD errores = 0;
    ClearCommError(m_hPuerto, &errores, nullptr);
    PurgeComm(m_hPuerto, kPurgaTotal);
    CancelIo(m_hPuerto);
    CloseAll();
  }
  return {};
}

}  // namespace vtl
