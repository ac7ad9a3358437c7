// clsPrnPort: one receipt printer and its cash drawer behind one port.
//
// A host queues text with Imprimir and gets OutputID numbers back at once; the object's tick
// (a timer on the host thread's loop) writes the text to the device in blocks, watches the
// printer's condition and reports through the events of __clsPrnPort.
//
// Objects are shared: create them with clsPrnPort::Create(). The object keeps itself alive while
// one of its own procedures runs, so a host may drop its last reference from inside an event
// handler; the object then goes away once the raising procedure has returned.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/status_report.h"
#include "engine/output_buffer.h"
#include "engine/timer.h"
#include "engine/types.h"
#include "platform/comm.h"
#include "platform/win.h"

namespace vtl {

// Events of clsPrnPort. Every argument is by reference: a handler that assigns to one changes
// the value the raising procedure holds.
class __clsPrnPort {
 public:
  virtual ~__clsPrnPort() = default;
  virtual void DatosImpresos(std::int32_t& /*tmpContador*/) {}
  virtual void NuevoEstado(bool& /*tmpError*/, bool& /*tmpSinPapel*/) {}
  virtual void NuevasPropiedades(std::int32_t& /*tmpPropiedades*/) {}
  virtual void LoopPruebas() {}
  virtual void LogoGrabado(std::int32_t& /*tmpContador*/) {}
  virtual void Uploading(std::int32_t& /*tmpBytesQuedan*/, std::int32_t& /*tmpBytesTotal*/) {}
  virtual void DatosSerial(std::int32_t& /*tmpCantidad*/) {}
  virtual void EstadoCajon(bool& /*tmpAbierto*/) {}
  virtual void EstadoOnLlineOffLine(bool& /*tmpOnline*/) {}
};

class clsPrnPortData;
// LAN channel (net/lan_channel.cpp).
class clsSocket;
class clsSocketCB;
class LanSockSink;

class clsPrnPort : public std::enable_shared_from_this<clsPrnPort> {
  struct Key {};

 public:
  static std::shared_ptr<clsPrnPort> Create();
  explicit clsPrnPort(Key);
  ~clsPrnPort();
  clsPrnPort(const clsPrnPort&) = delete;
  clsPrnPort& operator=(const clsPrnPort&) = delete;

  // Sinks are called in the order they were connected; they are not owned.
  void Advise(__clsPrnPort* sink);
  void Unadvise(__clsPrnPort* sink);

  // Public variables.
  std::string DocName;
  bool CajonAbierto = false;
  bool OnLine = false;

  // Properties.
  std::int32_t Baudios() const { return m_Baudios; }
  bool Busy() const { return m_Busy; }
  std::int32_t OutputID() const { return m_OutputID; }
  bool AlwaysOnLine() const { return m_AlwaysOnLine; }
  void AlwaysOnLine(bool value) { m_AlwaysOnLine = value; }
  bool Asincrono() const { return m_Asincrono; }
  void Asincrono(bool value) { m_Asincrono = value; }
  std::int32_t PortPropiedadesAdicionales() const { return m_PortPropiedadesAdicionales; }
  void PortPropiedadesAdicionales(std::int32_t value) { m_PortPropiedadesAdicionales = value; }
  void LineasPorSegundo(std::int32_t value) { m_LineasPorSegundo = value; }
  bool Rafaga() const { return m_Rafaga; }
  void Rafaga(bool value);
  std::int32_t LastStatusBIT() const { return m_LastStatusBIT; }
  bool Uploading() const { return m_Uploading; }
  std::int32_t ControlDeFlujo() const { return m_ControlDeFlujo; }
  void ControlDeFlujo(std::int32_t value) { m_ControlDeFlujo = value; }
  std::int32_t OutBufferCount() const { return static_cast<std::int32_t>(m_BufferSalida.size()); }
  bool ControlCajonAbierto() const { return m_ControlCajonAbierto; }
  void ControlCajonAbierto(bool value);
  const std::string& SecuenciaInicializacion() const { return m_SecuenciaInicializacion; }
  void SecuenciaInicializacion(const std::string& value) { m_SecuenciaInicializacion = value; }

  // Methods.
  // Queues text (bytes exactly as they go on the wire) and returns its job number, or 0 while a
  // logo upload holds text back. Throws vtl::Error (6, overflow) after 2147483647 jobs.
  std::int32_t Imprimir(const std::string& tmpDatos, bool tmpComandoPuro = false);
  Variant ImprimeComando(const std::string& tmpDatocomando);
  void CheckError(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel);
  Variant ClearAll();
  void EndDocForzar();
  void LoopPruebas();

  // Device commands and logos.
  std::int32_t CutPaper(std::int32_t& tmp_porcentage);
  std::int32_t BeginInsertion(std::int32_t& tmp_Time);
  std::int32_t BeginRemoval(std::int32_t& tmp_Time);
  Variant SetBitmap(std::int32_t& BipMapNumber, std::int32_t& Station, std::string& filename,
                    std::int32_t& tmp_Width, std::int32_t& tmp_Aling);
  Variant EndInsertion();
  Variant EndRemoval();
  // Stores the bitmaps in the printer's memory as logos 1..n, paced and with Uploading progress;
  // other text waits until the upload has finished.
  void UploadLogo(const std::vector<std::string>& tmpLogos,
                  const std::vector<std::string>& tmpNombres, bool tmpLento = false);
  // Runs a program hidden and waits for it while this thread's events go on. An empty Command
  // takes the program from the first token of the command line.
  bool gfSys_ShellAndWaitFor(const std::string& Command, const std::string& tmpCommandLine = "");
  void CloseAll();

  // Opening a port. None reports failure: a port that cannot be opened shows as an error through
  // NuevoEstado and the send state, and the text queued so far waits for the next opening.
  // Port numbers are 1-based; InicializarSerie and InicializarParalelo throw vtl::Error (6,
  // overflow) for -2147483648, before anything changes.
  Variant InicializarSerie(std::int32_t tmpPuertoBase1, std::int32_t tmpVelocidad = -1,
                           bool tmpSinCallBack = false, bool tmpChkSpeed = false);
  Variant InicializarParalelo(std::int32_t tmpPuertoBase1);
  Variant InicializarRed(const std::string& tmpIP, std::int32_t tmpPuerto = 9100);
  Variant InicializarWindows(const std::string& tmpNombre);
  // Switches a control line of the serial port: 1 break, 2 DTR, 3 RTS. Always returns 0.
  std::int32_t CommSetLine(std::int16_t intLine, bool blnState);
  // The system error number of the last failed opening of a serial or parallel device; 0 once a
  // device has opened since.
  std::uint32_t UltimoErrorApertura() const { return m_UltimoErrorApertura; }

 private:
  friend struct PrnPortTestAccess;

  template <typename F>
  void Raise(F&& call);

  // Send loop.
  void m_TmrCheckData_ThatTime();
  void Enviar(const std::string& tmpTexto);
  Variant ComprobarEnvio(bool& tmpResto);
  void FinDeTrabajo();
  std::int32_t PeriodoSiguiente() const;
  // Status.
  void ObtenerEstado(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel);
  std::string PedirEstado(bool& tmpOcupado, bool& tmpSinRespuesta);
  // Channels.
  bool AbrirPuerto(std::int32_t tipo, const std::string& puerto, std::int32_t propiedades);
  void AbrirDispositivo();
  void AbrirEInicializar();
  static std::string ComandoInicializar();
  void AjustarLineaSerie(std::int32_t& numero, std::int32_t& velocidad, bool& abierto);
  void FijarTimeoutsParalelo();
  void ConfigurarSerie(platform::HANDLE handle, std::int32_t velocidad);
  void FijarTimeouts(std::int32_t base);
  void AtenderEventosSerie();
  void EsperarMilisegundos(std::int32_t ms);
  std::int32_t LeerEstadoParalelo(std::int32_t base);
  static std::int32_t BitActivo(std::int32_t valor, std::int32_t bit);
  void CancelarIO();
  // Lets the device go without waiting for it; a write in flight gives back what it had not
  // carried. The port stays chosen, and the tick opens it again unless the host closed it.
  void CerrarDispositivo();
  // Opens a port that was lost (a device that went away, an opening that failed), no sooner
  // than its spacing allows.
  void ReabrirSiToca();
  // Puts the part of the last block that was not written back in front of the buffer.
  void DevolverAlBuffer(platform::DWORD escritos);
  // Reads the drawer and on-line state, and the printer's own error and paper state, from
  // status bytes the printer sent.
  void AnalizarEstadoSerie(const unsigned char* bytes, std::size_t n);
  // False (and the handle let go) when the serial device behind the port has gone.
  bool DejarSiNoEsta();
  void CrearEventos();
  void CerrarEventos();
  bool PuertoAbierto() const {
    return m_hPuerto != 0 && m_hPuerto != platform::INVALID_HANDLE_VALUE;
  }

  // One Windows-1252 character to the byte a code page 437 printer shows as the same letter.
  static std::string TraducirCaracter(const std::string& tmpCaracter);
  // Spooler channel.
  void PasoWindows();
  bool ImprimirDocumentoWindows(const std::string& tmpTexto);
  struct ResultadoCola;
  void AbrirColaEnSegundoPlano();
  void ColaAbierta(const ResultadoCola& r, const std::string& nombre);
  void DocumentoEntregado(const ResultadoCola& r, std::size_t tamano, std::uint64_t generacion);
  void EsperarCola();
  bool m_PrimerPasoWindows = false;
  std::int32_t m_DocumentosWindows = 0;
  // Spooler calls run on workers: one at a time, and the handle is theirs meanwhile.
  bool m_ColaEnCurso = false;            // the queue is being opened
  bool m_DocumentoEnCurso = false;       // a document is being handed over
  platform::HANDLE m_ColaPorCerrar = 0;  // closed while a worker had it: released when it is done
  std::int64_t m_EsperaCola = 0;
  std::int64_t m_ProximoIntentoCola = 0;  // loop clock, ms
  // Logo upload.
  void FinalizarCargaLogos(std::int32_t tmpContador);
  void RestaurarTrasCarga();

  std::vector<__clsPrnPort*> m_Sinks;

  // Configuration.
  std::int32_t m_Baudios = 9600;
  bool m_Asincrono = true;
  bool m_AlwaysOnLine = false;
  bool m_Rafaga = false;
  std::int32_t m_LineasPorSegundo = 2;
  std::int32_t m_PortPropiedadesAdicionales = 0;
  std::int32_t m_ControlDeFlujo = -1;
  bool m_ControlCajonAbierto = false;
  std::string m_SecuenciaInicializacion;
  std::int32_t m_IntervaloTimer = 200;

  // Port and channel state.
  std::int32_t m_TipoPuerto = eTDPLPT;
  platform::HANDLE m_hPuerto = 0;
  platform::DWORD m_UltimoErrorApertura = 0;
  std::string m_NombrePuerto;
  std::int32_t m_NumeroPuerto = -1;
  std::int16_t m_DireccionBase = 0;
  bool m_PuertoListo = false;
  bool m_EsperandoRespuesta = false;
  bool m_ReaperturaPermitida = true;
  bool m_EventoSerieArmado = false;
  platform::DCB m_DCB{};
  platform::COMMTIMEOUTS m_Timeouts{};
  platform::DWORD m_MascaraEventos = 0;
  std::array<std::shared_ptr<clsPrnPortData>, 11> m_PortData;

  // Send pipeline and status.
  std::string m_ColaEntrada;
  OutputBuffer m_BufferSalida;
  std::string m_DatosRetenidos;
  std::int32_t m_Estado = 0;
  bool m_EscrituraPendiente = false;
  std::int32_t m_OutputID = 0;
  bool m_Busy = false;
  std::int32_t m_LastStatusBIT = 0;
  bool m_CerrandoTrabajo = false;
  std::int32_t m_BytesAEnviar = 0;
  platform::DWORD m_BytesEscritos = 0;
  std::string m_UltimoBloque;
  std::string m_UltimoBloqueEnviado;
  bool m_SinPapelAnterior = false;
  bool m_EstadoNotificado = false;
  bool m_EstadoAutomaticoPedido = false;
  bool m_ErrorDesdeSolicitud = false;
  // What the host was last told by NuevoEstado: in error or not.
  bool m_ErrorNotificado = false;
  // The device refused a write (or failed one on its way out); it is in error until a write
  // goes through.
  bool m_FalloEscritura = false;
  // The last poll found the device itself well (a refused write aside).
  bool m_DispositivoCorrecto = false;
  // The printer's own reports of its state (off line, paper end), from its status bytes.
  LectorEstadoSerie m_LectorEstado;
  // Opening, closing and clearing change it: a procedure that raised an event finds out whether
  // the host's handler has moved the object to another port meanwhile.
  std::uint64_t m_Generacion = 0;
  // The host closed the port (or none was ever opened): nothing reopens it behind its back.
  bool m_PuertoCerrado = true;
  std::int64_t m_ProximaReapertura = 0;  // loop clock, ms
  std::int64_t m_EsperaReapertura = 0;
  static constexpr std::int64_t kEsperaReaperturaMaxima = 2000;

  // Logo upload.
  bool m_Uploading = false;
  bool m_UploadLento = false;
  std::int32_t m_UploadBytesEnviados = 0;
  bool m_AlwaysOnLineGuardado = false;
  bool m_RafagaGuardada = false;
  std::int32_t m_LogoCount = 0;
  std::vector<std::string> m_LogoNames;
  std::int32_t m_PropiedadesGuardadas = 0;
  std::int32_t m_TamanoCarga = 0;  // bytes of the upload stream

  // Operating-system resources.
  static constexpr std::size_t kTamanoBloque = 16385;
  char* m_MemBloque1 = nullptr;
  char* m_MemBloque2 = nullptr;
  int m_BloqueUsado = 0;  // which block the last write used: 1 or 2, 0 before the first
  platform::OVERLAPPED m_OvlEscritura{};
  platform::OVERLAPPED m_OvlComando{};
  platform::OVERLAPPED m_OvlEventoSerie{};
  platform::OVERLAPPED m_OvlLectura{};
  platform::OVERLAPPED m_OvlVelocidad{};
  platform::OVERLAPPED m_OvlAuxiliar{};
  std::unique_ptr<clsTimer> m_TmrCheckData;

  // ---- LAN channel (net/lan_channel.cpp) ----
  friend class LanSockSink;
  void PasoRed();
  void ConectarRed();
  void EnviarRed();
  // The spooler's report: error state, and the job printed.
  void ActualizarEstadoRed(bool& tmpError, bool& tmpImpreso);
  void m_SockCB_OnClose(std::int32_t& tmpSockHandle);
  void m_SockCB_OnConnect(std::int32_t& tmpSockHandle);
  void m_SockCB_OnDataArrival(std::int32_t& tmpSockHandle, std::int32_t& bytesTotal);
  void m_SockCB_OnError(std::int32_t& tmpSockHandle, std::int16_t& Number, std::string& Description,
                        std::int32_t& Scode, std::string& Source, std::string& HelpFile,
                        std::int32_t& HelpContext, bool& CancelDisplay);
  void m_SockCB_OnSendComplete(std::int32_t& tmpSockHandle);
  // Opening a port starts the channel's connection state afresh; CloseAll releases the socket and
  // puts what the printer never confirmed back in front of the buffer; ClearAll (which told the
  // host of an error and the job's end when `informado`) forgets it.
  void ReiniciarRed();
  void LiberarRed();
  void LimpiarRed(bool informado);
  // Whether the job `contador`, ended by ClearAll, still has to be reported: on network and
  // spooler ports not when the channel has reported it already (then or since, it is marked).
  bool TrabajoSinInformarRed(std::int32_t contador);
  // Busy, error and paper-out as the network or spooler channel knows them, for status polls.
  void EstadoCanalRed(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel) const;
  void NuevoSocketRed();
  // Steps of the channel. Each returns false when a host handler called from inside it changed the
  // port (closed, cleared or reopened it), so the caller must stop.
  struct VigenciaRed {
    std::uint64_t generacion;
    const clsSocket* socket;
    std::int32_t tipo;
  };
  VigenciaRed Vigencia() const;
  bool Vigente(const VigenciaRed& v) const;
  bool SincronizarEstadoRed();
  bool PasoConectadoRed(const std::shared_ptr<clsSocket>& socket);
  void EnviarPeticionRed(const std::shared_ptr<clsSocket>& socket);
  void AnularPeticionesRed();
  void ComprobarImpresoRed();
  void MoverColaRed();
  void DevolverPendientesRed();
  void PerdidaRed();
  bool ErrorRed() const;
  std::uint64_t BytesSinConfirmarRed(const std::shared_ptr<clsSocket>& socket) const;
  bool RespondioAntesRed() const;

  std::shared_ptr<clsSocket> m_Socket;
  std::shared_ptr<clsSocketCB> m_SockCB;
  std::shared_ptr<LanSockSink> m_SockSink;  // receives m_SockCB's events for this object
  std::int64_t m_InicioEnvioRed = 0;        // loop clock, ms; 0 until the first send
  bool m_EnvioRedCompleto = false;
  std::int32_t m_ModoRespuestaRed = 0;
  std::int64_t m_UltimoIntentoRed = 0;      // loop clock, ms, of the last connection attempt
  std::int64_t m_ConexionEnCursoDesde = 0;  // whole seconds; 0 while no attempt is timed
  std::int32_t m_OutputIDNotificadoRed = 0;
  // Paper-out as last reported through NuevoEstado (the error is flag 2 of m_Estado).
  bool m_SinPapelRed = false;
  // What makes the printer count as in error: no connection, its last status reply, or its
  // silence after it has answered before.
  bool m_ConectadaRed = false;
  bool m_ErrorImpresoraRed = false;
  bool m_SinPapelImpresoraRed = false;
  bool m_MudaRed = false;
  // Host and port of the last printer that answered this object: it never counts as one that
  // does not answer status requests.
  std::string m_DestinoRespondioRed;
  // On the current connection: status requests sent and answered, and bytes handed to the socket.
  std::int64_t m_PeticionesRed = 0;
  std::int64_t m_RespuestasRed = 0;
  std::uint64_t m_EntregadosRed = 0;
  // Loop clock since which an acknowledged request has waited for a reply; 0 while none does.
  std::int64_t m_SilencioDesdeRed = 0;
  // Text sent on this connection that the printer has not confirmed yet, oldest first: each piece
  // with the request that followed it (0: none) and the stream offset just past that request.
  struct TramoRed {
    std::string texto;
    std::vector<PureSpan> puros;
    std::int64_t peticion = 0;
    std::uint64_t fin = 0;
  };
  std::deque<TramoRed> m_PendientesRed;
  // Changes whenever the host opens, closes or clears the port.
  std::uint64_t m_GeneracionRed = 0;
  // Pure commands of m_ColaEntrada, for the channel's cuts.
  QueueMarks m_MarcasCola;
  // ---- end of LAN channel ----

  // ---- Serial speed detection (channels/speed_detection.cpp) ----
 public:
  // Finds the line speed of a serial printer: at each speed of a list the printer is sent status
  // requests, and the number of bytes that come back tells which speed it understood. Returns the
  // speed (also left in Baudios), or 0. tmpSoloCheckearlasPrimeras 2 tries the short list,
  // anything else the full one. The port text is a number, "COMn" or "\\.\COMn".
  std::int32_t CheckAutoSpeed(const std::string& tmpPuertoSerie,
                              std::int32_t tmpSoloCheckearlasPrimeras = 2);
  // The speed and the flow control (enumHandshaking) under which the printer answers; both are
  // left as given when no flow-control mode works.
  Variant CheckAutospeedAndHandshake(const std::string& tmpPuerto, std::int32_t& tmpSpeed,
                                     std::int32_t& tmpHandshake);
  // Prints a short text at 9600, 19200 and 38400 baud; the legible one shows the speed.
  // All three leave the port closed; the host opens it again to print.
  Variant EnviarPruebasDeVelocidad(const std::string& tmpPuertoSerie);

 private:
  std::int32_t DetectarVelocidad(const std::string& tmpPuerto, std::int32_t tmpLista,
                                 std::int32_t tmpEspera, std::int32_t tmpReferencia);
  std::int32_t VelocidadSinControlDeFlujo(const std::string& tmpPuertoSerie,
                                          std::int32_t tmpSoloCheckearlasPrimeras);
  void AbrirPuertoDeteccion(std::int32_t tmpNumero);
  friend class PausaDeteccion;
  friend class PuertoDePrueba;
  bool m_EnDeteccion = false;
  // ---- end of serial speed detection ----

  // ---- Parallel ports (channels/parallel_registers.cpp, parallel_detection.cpp, port_list.cpp) --
 public:
  // The port record of LPT index 0 to 3 itself, so a host's changes to it last until the next
  // detection rewrites it; any other index gives record 0.
  std::shared_ptr<clsPrnPortData> PortData(std::int32_t tmpIndex) const;
  // The COM (1 to 16) and LPT (1 to 4) numbers whose devices can be opened exclusively now, in
  // ascending order. An array is replaced only when a port of its kind was found; otherwise the
  // caller's array stays as it was. A port held open (by this object too) is not listed.
  void ListaDePuertosExistentes(std::vector<std::int32_t>& tmpArrPuertosSerie,
                                std::vector<std::int32_t>& tmpArrPuertosParalelo);

 private:
  friend struct PrnPortParallelTestAccess;
  // Register access. Addresses are 16-bit; base + offset is checked, and an address beyond the
  // 16-bit range counts as one where no port answers: it reads 0xFF and takes no writes.
  static bool DireccionDe(std::int32_t base, std::int32_t desplazamiento, std::int16_t& direccion);
  std::int32_t LeerPuerto(std::int16_t direccion);
  void EscribirPuerto(std::int16_t direccion, std::int16_t valor);
  std::int32_t LeerRegistro(std::int32_t base, std::int32_t desplazamiento);
  void EscribirRegistro(std::int32_t base, std::int32_t desplazamiento, std::int32_t valor);
  std::int32_t LeerControl(std::int32_t base);
  void EscribirControl(std::int32_t base, std::int32_t valor);
  std::int32_t LeerModoEcp(std::int32_t base);
  static std::string DescripcionModoEcp(std::int32_t modo);
  std::int32_t LimpiarTimeoutEpp(std::int32_t base);
  bool ProbarEcp(std::int32_t base);
  bool ProbarEpp(std::int32_t base);
  bool ProbarSpp(std::int32_t base);
  bool ProbarPs2(std::int32_t base);
  bool DetectarPuerto(std::int32_t indice);
  void ActualizarModosEcp();
  void DetectarPuertosParalelo();
  // Results of the last detection.
  std::string m_TipoDetectado;
  bool m_EcpDetectado = false;
  bool m_SppDetectado = false;
  bool m_Ps2Detectado = false;
  bool m_EppDetectado = false;
  std::int16_t m_DireccionEcr = 0;
  std::int16_t m_ValorEcr = 0;
  // ---- end of parallel ports ----

  // Re-entrancy flags.
  bool m_EnTick = false;
  bool m_EnEnviar = false;
  bool m_EnComprobarEnvio = false;
  bool m_EnObtenerEstado = false;
  bool m_EnPedirEstado = false;
};

template <typename F>
void clsPrnPort::Raise(F&& call) {
  // A handler may connect or disconnect sinks; one disconnected meanwhile is not called.
  const std::vector<__clsPrnPort*> sinks = m_Sinks;
  for (__clsPrnPort* sink : sinks) {
    if (std::find(m_Sinks.begin(), m_Sinks.end(), sink) != m_Sinks.end()) call(*sink);
  }
}

// One parallel port of the machine: a plain record that port detection fills in.
class clsPrnPortData {
 public:
  std::string Name;
  std::int16_t Address = 0;
  std::string PortType;
  std::string EcpModeDescription;
  std::int16_t EcpModeValue = 0;
  std::int16_t Enabled = 0;
  bool SPPExists = false;
  bool EPPExists = false;
  bool ECPExists = false;
  bool PS2Exists = false;
};

}  // namespace vtl
