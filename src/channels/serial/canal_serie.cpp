#include "channels/serial/canal_serie.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "base/cadenas.h"
#include "base/escpos.h"
#include "channels/port_text.h"
#include "channels/serial/formulario.h"
#include "engine/bucle.h"
#include "platform/comm.h"

namespace vtl {

using namespace platform;

namespace {

constexpr DWORD kTodosLosEventos = 0x1FFF;
constexpr DWORD kEventosConfiguracion =
    EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_ERR | EV_PERR | EV_RX80FULL;  // 0x69D
constexpr DWORD kColaEntrada = 512;
constexpr DWORD kColaSalida = 16384;
constexpr std::size_t kLectura = 1024;

HANDLE NuevoEvento() {
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

void FijarTimeouts(HANDLE handle, std::int32_t base, COMMTIMEOUTS& timeouts) {
  GetCommTimeouts(handle, &timeouts);
  if (base == 0) {
    timeouts = COMMTIMEOUTS{10, 2, 10, 2, 10};
  } else {
    const std::int64_t a = base < 0 ? -static_cast<std::int64_t>(base) : base;
    const std::int64_t triple = 3 * a;
    if (a > std::numeric_limits<std::int32_t>::max() ||
        triple > std::numeric_limits<std::int32_t>::max()) {
      throw Error(6, "Overflow", "vtldllxt.clsPrnPort.FijarTimeouts");
    }
    const auto t = static_cast<DWORD>(triple), u = static_cast<DWORD>(a);
    timeouts = COMMTIMEOUTS{t, u, u, t, u};
  }
  SetCommTimeouts(handle, &timeouts);
}

void ConfigurarSerie(HANDLE handle, std::int32_t velocidad, bool sinCallback, DCB& dcb,
                     COMMTIMEOUTS& timeouts) {
  SetupComm(handle, kColaEntrada, kColaSalida);
  FijarTimeouts(handle, 1, timeouts);
  SetCommMask(handle, kEventosConfiguracion);
  // A printer without status callback keeps the line the settings form gave it.
  if (sinCallback) return;
  FlushFileBuffers(handle);
  PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  GetCommState(handle, &dcb);
  dcb.BaudRate = static_cast<DWORD>(velocidad);
  dcb.ByteSize = 8;
  dcb.DCBlength = 28;
  dcb.EofChar = 26;
  dcb.ErrorChar = 0;
  dcb.EvtChar = 0;
  dcb.fBitFields = 0x2315;  // binary, DTR on, CTS/RTS and XON/XOFF flow control
  dcb.XonChar = 17;
  dcb.XonLim = static_cast<WORD>(kColaSalida / 8);
  dcb.XoffChar = 19;
  dcb.XoffLim = static_cast<WORD>(kColaSalida - dcb.XonLim);
  SetCommState(handle, &dcb);
  FijarTimeouts(handle, 1, timeouts);
  DWORD errores = 0;
  ClearCommError(handle, &errores, nullptr);
}

void AjustarLineaSerie(std::int32_t numero, std::int32_t velocidad, bool reaperturaPermitida,
                       std::int32_t controlDeFlujo, bool& abierto) {
  std::int32_t buffer = 16384;
  bool flujo = reaperturaPermitida;
  frmInitComm::Instance().SetCOmmSettings(numero, velocidad, buffer, abierto, flujo,
                                          controlDeFlujo);
}

bool NumeroDeTextoSerie(const std::string& texto, std::int32_t& numero) {
  // Every "com" (any case) and every "\", "/" and "." go; the rest is read as a number.
  std::string resto;
  for (std::size_t i = 0; i < texto.size(); ++i) {
    if (i + 3 <= texto.size() && MayusculasIguales(texto.substr(i, 3), "COM")) {
      i += 2;
      continue;
    }
    const char c = texto[i];
    if (c != '\\' && c != '/' && c != '.') resto += c;
  }
  try {
    numero = NumeroDePuerto(resto);
    return true;
  } catch (const Error&) {
    return false;
  }
}

CanalSerie::CanalSerie(BucleEnvio& bucle, std::string nombre, std::int32_t numero,
                       MemoriaSerie& memoria)
    : CanalDispositivo(bucle, std::move(nombre), numero), memoria_(memoria) {
  ovlEventos_.hEvent = NuevoEvento();
}

CanalSerie::~CanalSerie() {
  CerrarDispositivo();
  if (ovlEventos_.hEvent) CloseHandle(ovlEventos_.hEvent);
}

void CanalSerie::AbrirDispositivo() {
  if (handle_ > 0) return;
  const Ajustes& ajustes = bucle_.ajustes();
  // The settings form opens the port by its number and gives the line speed, framing and flow.
  std::int32_t puerto = 0;
  if (!NumeroDeTextoSerie(Nombre(), puerto)) puerto = 0;
  bool abierto = false;
  AjustarLineaSerie(puerto, ajustes.baudios, ajustes.reaperturaPermitida, ajustes.controlDeFlujo,
                    abierto);
  CrearArchivo(ajustes.asincrono ? FILE_FLAG_OVERLAPPED : 0);
  if (handle_ == INVALID_HANDLE_VALUE) return;
  // Whether the printer is there shows on the line from now on, not from before.
  Soltado();
  ConfigurarSerie(handle_, ajustes.baudios, ajustes.alwaysOnLine, dcb_, timeouts_);
}

void CanalSerie::Soltado() {
  puertoListo_ = false;
  eventoArmado_ = false;
  lector_.Olvidar();
  // A wait that was outstanding on the old device signals nothing for the next one.
  if (ovlEventos_.hEvent) CloseHandle(ovlEventos_.hEvent);
  ovlEventos_ = OVERLAPPED{};
  ovlEventos_.hEvent = NuevoEvento();
}

CanalDispositivo::Lectura CanalSerie::LeerEstado() {
  Lectura l;
  l.ocupado = !puertoListo_;
  if (!l.ocupado) {
    // What the printer itself said in its last status report (off line, paper end).
    l.correcto = !lector_.FueraDeLinea();
    l.sinPapel = lector_.SinPapel();
  }
  return l;
}

void CanalSerie::AtenderEventos() {
  if (!Abierto()) return;
  BucleEnvio& bucle = bucle_;
  if (!eventoArmado_) {
    SetCommMask(handle_, kTodosLosEventos);
    WaitCommEvent(handle_, &mascaraEventos_, &ovlEventos_);
    eventoArmado_ = true;
  }
  const bool error = (EstadoEnvio() & envio::kError) != 0;
  if (error) memoria_.errorDesdeSolicitud = true;
  if (memoria_.errorDesdeSolicitud && puertoListo_) {
    // After an error the request goes out again once the line shows the printer.
    memoria_.estadoAutomaticoPedido = false;
    memoria_.errorDesdeSolicitud = false;
  }
  // The request (and the host's initialisation sequence) goes out between jobs, written as a
  // command: handed to the send loop it would take over the state of the job in progress (its
  // completion record, its error flag) and end a job that does not exist with DatosImpresos.
  // Right after an opening it is dropped, as everything is until the printer has answered.
  const bool libre =
      EstadoEnvio() == 0 && !EscribiendoBloque() && bucle.Salida().empty() && bucle.Cola().empty();
  if (!memoria_.estadoAutomaticoPedido && (bucle.EsperandoRespuesta() || libre)) {
    if (!bucle.EsperandoRespuesta()) {
      EscribirComando(bucle.ajustes().secuenciaInicializacion +
                      std::string(escpos::kEstadoAutomatico));
    }
    memoria_.estadoAutomaticoPedido = true;
  }
  if (error) memoria_.errorDesdeSolicitud = true;

  if (WaitForSingleObject(ovlEventos_.hEvent, 0) != WAIT_OBJECT_0) {
    // A line whose device has gone raises no event; the wait would never end.
    if (!puertoListo_) DejarSiNoEsta();
    return;
  }
  DWORD n = 0;
  GetOverlappedResult(handle_, &ovlEventos_, &n, FALSE);
  const std::uint64_t generacion = bucle.Generacion();
  if (n > 0) {
    // Everything waiting by now: a status block whose first byte woke the wait has usually
    // arrived whole by the time the tick reads it.
    unsigned char leido[kLectura];
    DWORD leidos = 0;
    ReadFile(handle_, leido, static_cast<DWORD>(kLectura), &leidos, &ovlEventos_);
    // Drawer and on-line events only for status bytes that really came.
    if (leidos > 0) LeerInforme(leido, leidos);
  }
  // A handler may have closed the port, or opened another, meanwhile.
  if (Retirado() || generacion != bucle.Generacion() || !Abierto()) return;
  DWORD modem = 0;
  GetCommModemStatus(handle_, &modem);
  puertoListo_ = modem != 0;
  if (!DejarSiNoEsta()) return;
  WaitCommEvent(handle_, &mascaraEventos_, &ovlEventos_);
}

bool CanalSerie::DejarSiNoEsta() {
  DWORD errores = 0;
  if (ClearCommError(handle_, &errores, nullptr) || GetLastError() != ERROR_DEVICE_NOT_CONNECTED) {
    return true;
  }
  // The device went away (its other end hung up, an adapter was unplugged): the handle is let
  // go, and the tick opens the port again until a device answers to its name.
  CerrarDispositivo();
  return false;
}

void CanalSerie::LeerInforme(const unsigned char* bytes, std::size_t n) {
  const unsigned char primero = lector_.Leer(bytes, n);
  bucle_.InformarCajon((primero & escpos::kBitCajonCerrado) == 0,
                       (primero & escpos::kBitFueraDeLinea) == 0);
}

std::int32_t CanalSerie::PeriodoCarga() const {
  // Pace the logo stream to what the line can carry: 128 bytes at the current speed plus a
  // margin for the printer to store them.
  const std::int32_t baudios = bucle_.ajustes().baudios;
  if (baudios <= 0) return 10;
  const double margen = bucle_.CargaLenta() ? 1100.0 : 100.0;
  const double exacto = 24000.0 / baudios * 128.0 + margen;
  const int modo = std::fegetround();
  std::fesetround(FE_TONEAREST);  // half to even
  const double redondeado = std::nearbyint(exacto);
  std::fesetround(modo);
  if (!(redondeado >= 1.0) || redondeado > std::numeric_limits<std::int32_t>::max()) return 10;
  return static_cast<std::int32_t>(redondeado);
}

void CanalSerie::CommSetLine(std::int16_t linea, bool estado) {
  EscapeCommFunction(handle_, CodigoDeLinea(linea, estado));
}

}  // namespace vtl
