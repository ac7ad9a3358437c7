// clsPrnPort: one receipt printer and its cash drawer behind one port.
//
// A host queues text with Imprimir and gets OutputID numbers back at once; the object's send loop
// writes the text to the printer through the channel of the port the host opened (serial,
// parallel or USB, network, spooler), watches the printer's condition and reports through the
// events of __clsPrnPort.
//
// Objects are shared: create them with clsPrnPort::Create(). The object keeps itself alive while
// one of its own procedures runs, so a host may drop its last reference from inside an event
// handler; the object then goes away once the raising procedure has returned. It belongs to the
// thread that created it; dropped elsewhere, it goes away on that thread's loop.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channels/network/canal_red.h"
#include "channels/parallel/registros.h"
#include "channels/serial/canal_serie.h"
#include "channels/spooler/canal_cola.h"
#include "engine/bucle.h"
#include "engine/eventos.h"
#include "engine/types.h"

namespace vtl {

// Events of clsPrnPort. Every argument is by reference: a handler that assigns to one changes
// the value the raising procedure holds.
class __clsPrnPort {  // NOLINT(bugprone-reserved-identifier): its automation name
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

// One parallel port of the machine: a plain record that port detection fills in.
class clsPrnPortData : public RegistroParalelo {};

class clsPrnPort final : public std::enable_shared_from_this<clsPrnPort>, private EventosPuerto {
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
  std::int32_t Baudios() const { return bucle_->ajustes().baudios; }
  bool Busy() const { return bucle_->Busy(); }
  std::int32_t OutputID() const { return bucle_->OutputID(); }
  bool AlwaysOnLine() const { return bucle_->ajustes().alwaysOnLine; }
  void AlwaysOnLine(bool value) { bucle_->ajustes().alwaysOnLine = value; }
  bool Asincrono() const { return bucle_->ajustes().asincrono; }
  void Asincrono(bool value) { bucle_->ajustes().asincrono = value; }
  std::int32_t PortPropiedadesAdicionales() const { return bucle_->ajustes().propiedades; }
  void PortPropiedadesAdicionales(std::int32_t value) { bucle_->ajustes().propiedades = value; }
  void LineasPorSegundo(std::int32_t value) { bucle_->ajustes().lineasPorSegundo = value; }
  bool Rafaga() const { return bucle_->ajustes().rafaga; }
  void Rafaga(bool value) { bucle_->Rafaga(value); }
  std::int32_t LastStatusBIT() const { return 0; }
  bool Uploading() const { return bucle_->Cargando(); }
  std::int32_t ControlDeFlujo() const { return bucle_->ajustes().controlDeFlujo; }
  void ControlDeFlujo(std::int32_t value) { bucle_->ajustes().controlDeFlujo = value; }
  std::int32_t OutBufferCount() const {
    return static_cast<std::int32_t>(std::min<std::size_t>(bucle_->OutBufferCount(), INT32_MAX));
  }
  bool ControlCajonAbierto() const { return controlCajonAbierto_; }
  void ControlCajonAbierto(bool value);
  const std::string& SecuenciaInicializacion() const {
    return bucle_->ajustes().secuenciaInicializacion;
  }
  void SecuenciaInicializacion(const std::string& value) {
    bucle_->ajustes().secuenciaInicializacion = value;
  }

  // Methods.
  // Queues text (bytes exactly as they go on the wire) and returns its job number, or 0 while a
  // logo upload holds text back. Throws vtl::Error (6, overflow) after 2147483647 jobs.
  std::int32_t Imprimir(const std::string& tmpDatos, bool tmpComandoPuro = false);
  void ImprimeComando(const std::string& tmpDatocomando);
  void CheckError(bool& tmpBusy, bool& tmpError, bool& tmpSinPapel);
  void ClearAll();
  void EndDocForzar();
  void LoopPruebas();

  // Device commands and logos. Only the paper cut produces bytes; the insertion, removal and
  // bitmap methods are declared by the interface and have no effect on these printers.
  std::int32_t CutPaper(std::int32_t& tmp_porcentage);
  std::int32_t BeginInsertion(std::int32_t& tmp_Time);
  std::int32_t BeginRemoval(std::int32_t& tmp_Time);
  void SetBitmap(std::int32_t& BipMapNumber, std::int32_t& Station, std::string& filename,
                 std::int32_t& tmp_Width, std::int32_t& tmp_Aling);
  void EndInsertion();
  void EndRemoval();
  // Stores the bitmaps in the printer's memory as logos 1..n, paced and with Uploading progress;
  // other text waits until the upload has finished.
  void UploadLogo(const std::vector<std::string>& tmpLogos,
                  const std::vector<std::string>& tmpNombres, bool tmpLento = false);
  // Runs a program hidden and waits for it while this thread's events go on. An empty Command
  // takes the program from the first token of the command line.
  bool gfSys_ShellAndWaitFor(const std::string& Command, const std::string& tmpCommandLine = "");
  void CloseAll();

  // Opening a port. None reports failure: a port that cannot be opened shows as an error through
  // NuevoEstado, and the text queued so far waits for the next opening. Port numbers are 1-based;
  // InicializarSerie and InicializarParalelo throw vtl::Error (6, overflow) for -2147483648,
  // before anything changes.
  void InicializarSerie(std::int32_t tmpPuertoBase1, std::int32_t tmpVelocidad = -1,
                        bool tmpSinCallBack = false, bool tmpChkSpeed = false);
  void InicializarParalelo(std::int32_t tmpPuertoBase1);
  void InicializarRed(const std::string& tmpIP, std::int32_t tmpPuerto = 9100);
  void InicializarWindows(const std::string& tmpNombre);
  // Switches a control line of the serial port: 1 break, 2 DTR, 3 RTS. Always returns 0.
  std::int32_t CommSetLine(std::int16_t intLine, bool blnState);
  // The system's error number of the last device opening that failed; 0 after one that
  // succeeded (and on ports that are not devices).
  std::uint32_t UltimoErrorApertura() const;
  // What the host was last told of the printer, with the cover and a spooler's words where the
  // port knows them; asks the printer nothing.
  Condicion EstadoConocido() const { return bucle_->Conocida(); }

  // Serial speed detection. The port text is a number, "COMn" or "\\.\COMn". All three leave the
  // port closed; the host opens it again to print.
  // The speed found (also left in Baudios), or 0. tmpSoloCheckearlasPrimeras 2 tries the short
  // list, anything else the full one.
  std::int32_t CheckAutoSpeed(const std::string& tmpPuertoSerie,
                              std::int32_t tmpSoloCheckearlasPrimeras = 2);
  // The speed and the flow control (enumHandshaking) under which the printer answers; both are
  // left as given when no flow-control mode works.
  void CheckAutospeedAndHandshake(const std::string& tmpPuerto, std::int32_t& tmpSpeed,
                                  std::int32_t& tmpHandshake);
  // Prints a short text at 9600, 19200 and 38400 baud; the legible one shows the speed.
  void EnviarPruebasDeVelocidad(const std::string& tmpPuertoSerie);

  // Parallel ports. The record of LPT index 0 to 3 itself, so a host's changes to it last until
  // the next detection rewrites it; any other index gives record 0.
  std::shared_ptr<clsPrnPortData> PortData(std::int32_t tmpIndex) const;
  // The COM (1 to 16) and LPT (1 to 4) numbers whose devices can be opened exclusively now.
  void ListaDePuertosExistentes(std::vector<std::int32_t>& tmpArrPuertosSerie,
                                std::vector<std::int32_t>& tmpArrPuertosParalelo);

  // The send loop and its current channel, for the library's own tests and tools.
  BucleEnvio& Bucle() { return *bucle_; }
  std::shared_ptr<Canal> CanalActual() const { return bucle_->canal(); }
  eTiposDepuerto TipoPuerto() const { return tipo_; }

 private:
  template <typename F>
  void Raise(F&& call);
  // EventosPuerto: from the send loop and the channels, to the host's sinks.
  void DatosImpresos(std::int32_t& contador) override;
  void NuevoEstado(bool& error, bool& sinPapel) override;
  void LogoGrabado(std::int32_t& contador) override;
  void Uploading(std::int32_t& quedan, std::int32_t& total) override;
  void EstadoCajon(bool& abierto) override;
  void EstadoOnLine(bool& enLinea) override;

  void AbrirPuerto(eTiposDepuerto tipo, const std::string& puerto, std::int32_t propiedades);
  template <typename F>
  auto Detectar(F&& deteccion);

  std::vector<__clsPrnPort*> sinks_;
  std::unique_ptr<BucleEnvio> bucle_;
  eTiposDepuerto tipo_ = eTDPLPT;
  bool controlCajonAbierto_ = false;
  std::array<std::shared_ptr<clsPrnPortData>, 11> portData_;
  MemoriaSerie memoriaSerie_;
  MemoriaRed memoriaRed_;
  MemoriaCola memoriaCola_;
};

template <typename F>
void clsPrnPort::Raise(F&& call) {
  // A handler may connect or disconnect sinks; one disconnected meanwhile is not called.
  const std::vector<__clsPrnPort*> sinks = sinks_;
  for (__clsPrnPort* sink : sinks) {
    if (std::find(sinks_.begin(), sinks_.end(), sink) != sinks_.end()) call(*sink);
  }
}

}  // namespace vtl
