// The send loop: Imprimir queues, the tick moves queued text to the output buffer, cuts blocks at
// line ends, writes them with overlapped writes and closes each job with DatosImpresos.
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/guard.h"
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
  const std::int32_t id = m_OutputID;
  const bool colaVacia = m_ColaEntrada.empty();
  std::string texto;
  texto.reserve(m_DatosRetenidos.size() + tmpDatos.size());
  texto = m_DatosRetenidos;
  texto += tmpDatos;
  m_DatosRetenidos.clear();
  if (!tmpComandoPuro) texto = NormalizarFinesDeLinea(std::move(texto));
  m_MarcasCola.Note(m_ColaEntrada, texto.size(), tmpComandoPuro);
  m_ColaEntrada += texto;
  {
    // Whatever the immediate tick leads to (a handler may throw), the tick runs again.
    ScopeExit arrancar([&] {
      if (m_TmrCheckData->Interval() == 0) m_TmrCheckData->Interval(m_IntervaloTimer);
    });
    // While speed detection has the port, the text waits for the speed it finds.
    if (!m_EsperandoRespuesta && !m_CerrandoTrabajo && !m_EnDeteccion &&
        ((!m_EscrituraPendiente && colaVacia) || m_Rafaga)) {
      if (m_Rafaga) m_IntervaloTimer = 200;
      if (!tmpComandoPuro) m_TmrCheckData_ThatTime();
    }
    m_TmrCheckData->Interval(m_IntervaloTimer);
  }
  return id;
}

void clsPrnPort::m_TmrCheckData_ThatTime() {
  auto self = weak_from_this().lock();
  if (!self) return;
  if (m_EnTick || m_CerrandoTrabajo) return;
  // Speed detection has the port to itself: the timer keeps running and the text waits.
  if (m_EnDeteccion) return;
  if (m_NumeroPuerto > 3 && m_TipoPuerto == eTDPLPT) return;
  m_TmrCheckData->Interval(0);
  FlagGuard enTick(m_EnTick);
  // However the tick ends (early, or through a host handler's exception), the timer runs on.
  std::int32_t periodo = kPeriodoNormal;
  ScopeExit siguiente([&] { m_TmrCheckData->Interval(periodo); });

  // A handler that opens another port or closes this one ends the tick: what follows belongs
  // to the port the tick started on.
  const std::uint64_t generacion = m_Generacion;
  const auto cambiado = [&] { return generacion != m_Generacion; };

  if (m_TipoPuerto == eTDPLAN || m_TipoPuerto == eTDPWIN) {
    periodo = kPeriodoRedYCola;
    if (m_TipoPuerto == eTDPLAN) {
      PasoRed();
      if (!cambiado()) m_EsperandoRespuesta = false;
    } else {
      PasoWindows();
    }
    return;
  }

  if (!m_EscrituraPendiente && !m_ColaEntrada.empty()) {
    m_BufferSalida.append(m_ColaEntrada);
    m_ColaEntrada.clear();
  }
  if (m_NumeroPuerto == -1 && m_TipoPuerto == eTDPLPT) AbrirDispositivo();
  ReabrirSiToca();
  AtenderEventosSerie();
  if (cambiado()) return;
  bool ocupado = false, error = false, sinPapel = false;
  ObtenerEstado(ocupado, error, sinPapel);
  if (cambiado()) return;
  if (m_AlwaysOnLine) {
    m_PortPropiedadesAdicionales |= ePDAImpresorasinCallback;
    m_EsperandoRespuesta = false;
  }
  m_Busy = false;
  // A printer that counts as always on line never holds the loop with an error of its status;
  // a device that refuses writes or is gone holds it all the same. Its "everything written"
  // flag stays: clearing it too would lose the end of a job whose last write completed at once.
  if (m_AlwaysOnLine && m_Estado > 0 && !error) m_Estado &= ~2;

  if (m_Estado & 2) {
    // A device that refused a write is given the block again, at the pace of a printer that has
    // not answered; the first write that goes through ends the error.
    if (m_FalloEscritura && m_DispositivoCorrecto && PuertoAbierto() && !m_EscrituraPendiente &&
        !m_BufferSalida.empty()) {
      Enviar("");
      if (cambiado()) return;
    }
    periodo = m_IntervaloTimer;
    return;
  }

  if (m_TipoPuerto == eTDPCOM && m_EsperandoRespuesta) {
    if (error) {
      periodo = m_IntervaloTimer;
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
    periodo = m_IntervaloTimer;
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
  if (cambiado()) return;
  periodo = PeriodoSiguiente();
}

void clsPrnPort::FinDeTrabajo() {
  const std::int32_t contador = m_OutputID;
  m_OutputIDNotificadoRed = std::max(m_OutputIDNotificadoRed, contador);
  FlagGuard cerrando(m_CerrandoTrabajo);
  // The job's state is settled before the host hears of it: a handler may queue the next job,
  // clear everything or open another port, and what it does must stand.
  m_Estado = 0;
  SetEndOfFile(m_hPuerto);
  if (m_Uploading) {
    FinalizarCargaLogos(contador);
  } else {
    std::int32_t evento = contador;
    Raise([&](__clsPrnPort& s) { s.DatosImpresos(evento); });
  }
}

void clsPrnPort::FinalizarCargaLogos(std::int32_t tmpContador) {
  FlagGuard cerrando(m_CerrandoTrabajo);  // no tick may start while the upload is being finished
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
  // The printer has the whole stream: the upload is over before the host hears of it, so that
  // whatever a handler does (print, close, open another port, throw) finds the host's settings
  // back and no text held for good.
  m_Uploading = false;
  m_EscrituraPendiente = false;
  RestaurarTrasCarga();
  m_Estado = 0;
  const std::uint64_t generacion = m_Generacion;
  bool avisado = false;
  ScopeExit liberar([&] {
    if (avisado) return;
    // A handler threw: the test print and the text held back still go out.
    m_BufferSalida.append(prueba);
    m_ColaEntrada += NormalizarFinesDeLinea(std::move(m_DatosRetenidos));
    m_DatosRetenidos.clear();
  });
  Raise([&](__clsPrnPort& s) { s.LogoGrabado(tmpContador); });
  // The printer stores what it received before it can take anything else.
  Sleep(1000);
  // Channels that hand the stream over whole never count it block by block.
  if (m_UploadBytesEnviados == 0) m_UploadBytesEnviados = m_TamanoCarga;
  std::int32_t cero = 0;
  Raise([&](__clsPrnPort& s) { s.Uploading(cero, m_UploadBytesEnviados); });
  avisado = true;
  // The test print belongs to the printer that stored the logos: not to a port a handler
  // opened meanwhile, nor to one it closed.
  if (generacion == m_Generacion) {
    AbrirDispositivo();
    // Through the output buffer, as it stands, ahead of the text held back during the upload,
    // which the next call releases.
    m_BufferSalida.append(prueba);
  }
  Imprimir("", false);
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
  FlagGuard enEnviar(m_EnEnviar);
  const bool desdeBuffer = tmpTexto.empty();
  const std::string_view datos = desdeBuffer ? m_BufferSalida.view() : std::string_view(tmpTexto);
  if (datos.empty()) return;
  if (!PuertoAbierto()) {
    m_Estado |= 2;
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

  // What the device took. A write that completes at once has taken everything, except on a
  // port opened without overlapped writes, where the write time-out may cut it short: the rest
  // stays at the front of the buffer.
  std::size_t tomados = 0;
  if (escrito) {
    m_EscrituraPendiente = false;
    m_Estado = 4;
    m_FalloEscritura = false;
    tomados = std::min<std::size_t>(m_BytesEscritos, longitud);
  } else if (error == ERROR_IO_PENDING) {
    m_EscrituraPendiente = true;
    m_Estado = 1;
    m_FalloEscritura = false;
    tomados = longitud;
  } else {
    // A write refused outright keeps its bytes at the front of the buffer. The device may be
    // gone: it is let go and opened again, and the status poll reports the error once until a
    // write goes through.
    m_Estado = 2;
    m_FalloEscritura = true;
    if (m_TipoPuerto == eTDPCOM || m_TipoPuerto == eTDPLPT) CerrarDispositivo();
  }
  if (desdeBuffer) m_BufferSalida.consume(tomados);

  // Progress after every block but the last: the upload ends once the printer has the whole
  // stream, when the job end finishes it with LogoGrabado and the final Uploading(0, total).
  if (m_Uploading && !m_BufferSalida.empty() && tomados > 0) {
    std::int32_t quedan = static_cast<std::int32_t>(m_BufferSalida.size());
    Raise([&](__clsPrnPort& s) { s.Uploading(quedan, m_UploadBytesEnviados); });
  }
}

Variant clsPrnPort::ComprobarEnvio(bool& tmpResto) {
  if (m_EnComprobarEnvio) return {};
  FlagGuard enComprobar(m_EnComprobarEnvio);
  if (!m_Asincrono) {
    if (m_BufferSalida.empty()) {
      m_Estado |= 4;
    } else {
      m_Estado = 0;
    }
    return {};
  }
  if (m_EscrituraPendiente && (m_Estado & 1)) {
    if (WaitForSingleObject(m_OvlEscritura.hEvent, 0) == WAIT_TIMEOUT) return {};
    DWORD escritos = 0;
    const BOOL resultado = GetOverlappedResult(m_hPuerto, &m_OvlEscritura, &escritos, FALSE);
    m_EscrituraPendiente = false;
    m_Estado = resultado == 1 ? ((m_Estado - 1) | 4) : ((m_Estado - 1) | 2);
    if (escritos < static_cast<DWORD>(m_BytesAEnviar)) {
      tmpResto = true;
      DevolverAlBuffer(escritos);
    }
    if (resultado != 1) {
      // Failed on its way out: the same as a write refused at once.
      m_FalloEscritura = true;
      tmpResto = false;
      if (m_TipoPuerto == eTDPCOM || m_TipoPuerto == eTDPLPT) CerrarDispositivo();
    }
  }
  return {};
}

void clsPrnPort::DevolverAlBuffer(DWORD escritos) {
  const std::size_t faltan = static_cast<std::size_t>(m_BytesAEnviar) - escritos;
  const std::size_t desde = m_UltimoBloque.size() >= faltan ? m_UltimoBloque.size() - faltan : 0;
  m_BufferSalida.prepend(std::string_view(m_UltimoBloque).substr(desde));
}

}  // namespace vtl
