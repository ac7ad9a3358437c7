// The send loop: Imprimir queues, the tick moves queued text to the output buffer, cuts blocks at
// line ends, writes them with overlapped writes and closes each job with DatosImpresos.
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/prnport.h"

namespace vtl {

using namespace platform;

namespace {

constexpr std::int32_t kPeriodoNormal = 10;
constexpr std::int32_t kPeriodoRedYCola = 250;
constexpr std::size_t kLimiteCorte = 16384;  // a block is never longer than 16383 bytes

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

}  // namespace

std::int32_t clsPrnPort::Imprimir(const std::string& tmpDatos, bool tmpComandoPuro) {
  auto self = shared_from_this();
  if (m_Uploading) {
    m_DatosRetenidos += tmpDatos;
    return 0;
  }
  m_TmrCheckData->Interval(0);
  if (m_OutputID == std::numeric_limits<std::int32_t>::max()) {
    throw Error(6, "Overflow", "vtldllxt.clsPrnPort.Imprimir");
  }
  ++m_OutputID;
  const bool colaVacia = m_ColaEntrada.empty();
  std::string texto;
  texto.reserve(m_DatosRetenidos.size() + tmpDatos.size());
  texto = m_DatosRetenidos;
  texto += tmpDatos;
  m_DatosRetenidos.clear();
  if (!tmpComandoPuro) texto = NormalizarFinesDeLinea(std::move(texto));
  m_MarcasCola.Note(m_ColaEntrada, texto.size(), tmpComandoPuro);
  m_ColaEntrada += texto;
  if (!m_EsperandoRespuesta && !m_CerrandoTrabajo &&
      ((!m_EscrituraPendiente && colaVacia) || m_Rafaga)) {
    if (m_Rafaga) m_IntervaloTimer = 200;
    if (!tmpComandoPuro) m_TmrCheckData_ThatTime();
  }
  m_TmrCheckData->Interval(m_IntervaloTimer);
  return m_OutputID;
}

void clsPrnPort::m_TmrCheckData_ThatTime() {
  auto self = weak_from_this().lock();
  if (!self) return;
  if (m_EnTick || m_CerrandoTrabajo) return;
  if (m_NumeroPuerto > 3 && m_TipoPuerto == eTDPLPT) return;
  m_TmrCheckData->Interval(0);
  m_EnTick = true;

  if (m_TipoPuerto == eTDPLAN || m_TipoPuerto == eTDPWIN) {
    if (m_TipoPuerto == eTDPLAN) {
      PasoRed();
      m_EsperandoRespuesta = false;
    } else {
      PasoWindows();
    }
    m_EnTick = false;
    m_TmrCheckData->Interval(kPeriodoRedYCola);
    return;
  }

  if (!m_EscrituraPendiente && !m_ColaEntrada.empty()) {
    m_BufferSalida.append(m_ColaEntrada);
    m_ColaEntrada.clear();
  }
  if (m_NumeroPuerto == -1 && m_TipoPuerto == eTDPLPT) AbrirDispositivo();
  AtenderEventosSerie();
  bool ocupado = false, error = false, sinPapel = false;
  ObtenerEstado(ocupado, error, sinPapel);
  if (m_AlwaysOnLine) {
    m_PortPropiedadesAdicionales |= ePDAImpresorasinCallback;
    m_EsperandoRespuesta = false;
  }
  m_Busy = false;
  // A printer that counts as always on line never holds the loop with an error. Its
  // "everything written" flag stays: clearing it too would lose the end of a job whose last
  // write completed at once, and the job would never be reported as printed.
  if (m_AlwaysOnLine && m_Estado > 0) m_Estado &= ~2;

  if (!(m_Estado & 2)) {
    if (m_TipoPuerto == eTDPCOM && m_EsperandoRespuesta) {
      if (error) {
        m_TmrCheckData->Interval(m_IntervaloTimer);
        m_EnTick = false;
        return;
      }
      if (!(m_PortPropiedadesAdicionales & ePDAImpresorasinCallback)) {
        bool ocupadoPedido = ocupado, sinRespuesta = false;
        PedirEstado(ocupadoPedido, sinRespuesta);
        if (!ocupado) m_EsperandoRespuesta = false;
      } else {
        m_EsperandoRespuesta = false;
      }
    } else {
      m_EsperandoRespuesta = false;
    }
    if (m_EsperandoRespuesta) {
      m_TmrCheckData->Interval(m_IntervaloTimer);
      m_EnTick = false;
      return;
    }

    bool resto = false;
    ComprobarEnvio(resto);
    if (resto) {
      Enviar("");
    } else if (m_EscrituraPendiente) {
      // still writing
    } else if (!(m_Estado & 4)) {
      if (m_Estado == 0) Enviar("");
    } else {
      bool ocupadoPedido = false, sinRespuesta = false;
      PedirEstado(ocupadoPedido, sinRespuesta);
      if (!m_BufferSalida.empty() || !m_ColaEntrada.empty()) {
        m_Estado = 0;
        Enviar("");
      } else {
        FinDeTrabajo();
      }
    }
  }

  m_TmrCheckData->Interval(PeriodoSiguiente());
  m_EnTick = false;
}

void clsPrnPort::FinDeTrabajo() {
  std::int32_t contador = m_OutputID;
  m_CerrandoTrabajo = true;
  SetEndOfFile(m_hPuerto);
  if (m_Uploading) {
    FinalizarCargaLogos(contador);
  } else {
    Raise([&](__clsPrnPort& s) { s.DatosImpresos(contador); });
  }
  m_Estado = 0;
  m_CerrandoTrabajo = false;
}

void clsPrnPort::FinalizarCargaLogos(std::int32_t tmpContador) {
  const bool cerrando = m_CerrandoTrabajo;
  m_CerrandoTrabajo = true;  // no tick may start while the upload is being finished
  Raise([&](__clsPrnPort& s) { s.LogoGrabado(tmpContador); });
  // The printer stores what it received before it can take anything else.
  Sleep(1000);
  // Channels that hand the stream over whole never count it block by block.
  if (m_UploadBytesEnviados == 0) m_UploadBytesEnviados = m_TamanoCarga;
  std::int32_t cero = 0;
  Raise([&](__clsPrnPort& s) { s.Uploading(cero, m_UploadBytesEnviados); });
  AbrirDispositivo();

  // One test print per named logo: its name, its number, the logo itself, and a cut.
  std::string prueba;
  for (std::int32_t i = 1; i <= m_LogoCount && i <= 255; ++i) {
    const std::string& nombre = m_LogoNames[static_cast<std::size_t>(i - 1)];
    if (nombre.empty()) continue;
    prueba += "IMG " + nombre + "\r\n";
    prueba += "ID " + std::to_string(i) + "\r\n";
    prueba += std::string{'\x1c', '\x70', static_cast<char>(i), '\0'};
    prueba += std::string{'\x1d', '\x56', '\x42', '\0'} + "\r\n";
  }
  m_Uploading = false;
  m_EscrituraPendiente = false;
  RestaurarTrasCarga();
  m_Estado = 0;
  // The test print goes through the output buffer, as it stands, ahead of the text held back
  // during the upload, which the next call releases.
  m_BufferSalida.append(prueba);
  Imprimir("", false);
  m_CerrandoTrabajo = cerrando;
}

std::int32_t clsPrnPort::PeriodoSiguiente() const {
  if (!m_Uploading || m_TipoPuerto != eTDPCOM) return kPeriodoNormal;
  // Pace the logo stream to what the line can carry: 128 bytes at the current speed plus a
  // margin for the printer to store them.
  if (m_Baudios <= 0) return kPeriodoNormal;
  const double margen = m_UploadLento ? 1100.0 : 100.0;
  const double exacto = 24000.0 / m_Baudios * 128.0 + margen;
  const int modo = std::fegetround();
  std::fesetround(FE_TONEAREST);  // half to even
  const double redondeado = std::nearbyint(exacto);
  std::fesetround(modo);
  if (!(redondeado >= 1.0) || redondeado > std::numeric_limits<std::int32_t>::max()) {
    return kPeriodoNormal;
  }
  return static_cast<std::int32_t>(redondeado);
}

void clsPrnPort::Enviar(const std::string& tmpTexto) {
  if (m_EsperandoRespuesta || m_EnEnviar) return;
  m_EnEnviar = true;
  const bool desdeBuffer = tmpTexto.empty();
  const std::string_view datos = desdeBuffer ? m_BufferSalida.view() : std::string_view(tmpTexto);
  if (datos.empty()) {
    m_EnEnviar = false;
    return;
  }
  if (!PuertoAbierto()) {
    m_Estado |= 2;
    m_EnEnviar = false;
    return;
  }

  const bool sinCallbackNoTermica = (m_PortPropiedadesAdicionales & ePDAImpresorasinCallback) &&
                                    !(m_PortPropiedadesAdicionales & ePDAImpresoraTermica);
  const std::size_t tamano = sinCallbackNoTermica ? 64 : 1024;
  std::size_t longitud;
  if (m_Uploading) {
    if (m_UploadBytesEnviados == 0) {
      m_UploadBytesEnviados = static_cast<std::int32_t>(m_BufferSalida.size());
    }
    longitud = std::min<std::size_t>(512, datos.size());
  } else {
    const std::size_t crlf =
        desdeBuffer ? m_BufferSalida.FindCrLf(tamano - 1) : datos.find("\r\n", tamano - 1);
    longitud = LongitudDeBloque(datos, tamano, crlf);
  }

  m_Busy = true;
  std::string bloque(datos.substr(0, longitud));
  m_UltimoBloqueEnviado = bloque;
  m_BytesAEnviar = static_cast<std::int32_t>(bloque.size());
  // Alternate the two blocks so a write still in flight keeps its source intact.
  char* memoria = m_BloqueUsado == 2 ? m_MemBloque1 : m_MemBloque2;
  m_BloqueUsado = m_BloqueUsado == 2 ? 1 : 2;
  std::memcpy(memoria, bloque.data(), bloque.size());
  m_BytesEscritos = 0;
  const BOOL escrito = WriteFile(m_hPuerto, memoria, static_cast<DWORD>(m_BytesAEnviar),
                                 &m_BytesEscritos, &m_OvlEscritura);
  const DWORD error = escrito ? ERROR_SUCCESS : GetLastError();
  m_UltimoBloque = bloque;

  if (m_NumeroPuerto == -1 && m_TipoPuerto == eTDPLPT) {
    CloseHandle(m_hPuerto);
    m_hPuerto = 0;
    AbrirDispositivo();
  }

  bool fallido = false;
  if (escrito) {
    m_EscrituraPendiente = false;
    m_Estado = 4;
  } else if (error == ERROR_IO_PENDING) {
    m_EscrituraPendiente = true;
    m_Estado = 1;
  } else {
    // A write refused outright keeps its bytes: they stay at the front of the buffer and the error
    // flag holds the loop until the status poll sees the printer fit again.
    fallido = true;
    m_Estado = 2;
  }
  if (!m_EscrituraPendiente && !fallido) m_Estado |= 4;
  if (desdeBuffer && !fallido) m_BufferSalida.consume(longitud);

  // Progress after every block but the last: the upload ends once the printer has the whole
  // stream, when the job end finishes it with LogoGrabado and the final Uploading(0, total).
  if (m_Uploading && !m_BufferSalida.empty()) {
    std::int32_t quedan = static_cast<std::int32_t>(m_BufferSalida.size());
    Raise([&](__clsPrnPort& s) { s.Uploading(quedan, m_UploadBytesEnviados); });
  }
  m_EnEnviar = false;
}

Variant clsPrnPort::ComprobarEnvio(bool& tmpResto) {
  if (m_EnComprobarEnvio) return {};
  m_EnComprobarEnvio = true;
  if (!m_Asincrono) {
    if (m_BufferSalida.empty()) {
      m_Estado |= 4;
    } else {
      m_Estado = 0;
    }
    m_EnComprobarEnvio = false;
    return {};
  }
  if (m_EscrituraPendiente && (m_Estado & 1)) {
    if (WaitForSingleObject(m_OvlEscritura.hEvent, 0) == WAIT_TIMEOUT) {
      m_EnComprobarEnvio = false;
      return {};
    }
    DWORD escritos = 0;
    const BOOL resultado = GetOverlappedResult(m_hPuerto, &m_OvlEscritura, &escritos, FALSE);
    m_EscrituraPendiente = false;
    m_Estado = resultado == 1 ? ((m_Estado - 1) | 4) : ((m_Estado - 1) | 2);
    if (escritos < static_cast<DWORD>(m_BytesAEnviar)) {
      tmpResto = true;
      const std::size_t faltan = static_cast<std::size_t>(m_BytesAEnviar) - escritos;
      const std::size_t desde =
          m_UltimoBloque.size() >= faltan ? m_UltimoBloque.size() - faltan : 0;
      m_BufferSalida.prepend(std::string_view(m_UltimoBloque).substr(desde));
    }
  }
  m_EnComprobarEnvio = false;
  return {};
}

}  // namespace vtl
