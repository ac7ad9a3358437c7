// The send loop of one printer port: Imprimir queues text and returns at once; a tick (a timer on
// the host thread's loop) hands over to the port's channel, which moves the text to the printer;
// the loop numbers the jobs, reports each job's end once, tells the host of every change of the
// printer's state, and holds other text back while a logo upload runs.
//
// Everything happens on the owner's thread. Events are raised synchronously; a host handler may
// call any member, open another port or drop its last reference. The loop keeps its owner alive
// while one of its procedures runs, and every procedure that raised an event finds out through
// the generation whether a handler moved the port meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/ajustes.h"
#include "engine/canal.h"
#include "engine/eventos.h"
#include "engine/output_buffer.h"
#include "engine/timer.h"

namespace vtl {

class BucleEnvio {
 public:
  // `dueno` is the object that owns the loop; the loop holds it (as a weak reference it locks)
  // while a tick runs.
  BucleEnvio(EventosPuerto& eventos, std::weak_ptr<void> dueno);
  ~BucleEnvio();
  BucleEnvio(const BucleEnvio&) = delete;
  BucleEnvio& operator=(const BucleEnvio&) = delete;

  Ajustes& ajustes() { return ajustes_; }
  const Ajustes& ajustes() const { return ajustes_; }

  // ---- What the host does ----

  // Queues text (bytes exactly as they go on the wire); returns its job number, or 0 while a
  // logo upload holds text back. Throws vtl::Error (6, overflow) after 2147483647 jobs.
  std::int32_t Imprimir(const std::string& datos, bool comandoPuro);
  // One tick at once (the timer's, and EndDocForzar).
  void Tick();
  // Discards everything not yet printed.
  void ClearAll();
  // A port was chosen: `canal` takes the place of the channel before, which retires. The host
  // hears the new port's first state, whatever the port before said.
  void Usar(std::shared_ptr<Canal> canal);
  // CloseAll: the channel lets its device go; the port stays chosen.
  void Cerrar();
  // CheckError.
  Condicion Consultar();
  // What the host was last told of the printer, with what the channel knows beyond it; asks the
  // printer nothing.
  Condicion Conocida() const;
  void ArrancarTick();
  std::shared_ptr<Canal> canal() const { return canal_; }
  // The burst setting also ends the wait for the printer's first answer.
  void Rafaga(bool valor);
  // While speed detection runs, the port is its own: ticks do nothing, text waits.
  void Detectando(bool valor) { detectando_ = valor; }
  bool Detectando() const { return detectando_; }

  std::int32_t OutputID() const { return outputID_; }
  bool Busy() const { return busy_; }
  std::size_t OutBufferCount() const { return salida_.size(); }

  // Starts a logo upload: `flujo` goes out as one command, paced by the channel; other text is
  // held back until the upload's end, which raises LogoGrabado, test-prints the named logos and
  // releases the text. False (nothing changed) while another upload runs.
  bool IniciarCarga(const std::string& flujo, std::vector<std::string> nombres, bool lento);
  bool Cargando() const { return uploading_; }
  bool CargaLenta() const { return uploadLento_; }

  // ---- What the channels use ----

  OutputBuffer& Salida() { return salida_; }
  const std::string& Cola() const { return cola_; }
  // Moves the queued text (with its pure commands) behind the output buffer.
  void PasarCola();
  // The serial printer has not shown it is ready since the port was opened.
  bool EsperandoRespuesta() const { return esperandoRespuesta_; }
  void EsperandoRespuesta(bool valor) { esperandoRespuesta_ = valor; }
  void Ocupado(bool valor) { busy_ = valor; }
  // Counts the upload stream's bytes the way the progress events report them.
  std::int32_t& BytesCarga() { return uploadBytes_; }

  // Tells the host the printer's state if it changed since the host was last told (always the
  // first time after an opening). A printer in error may be out of paper as well.
  void Informar(bool error, bool sinPapel);
  bool InformadoError() const { return errorInformado_; }
  // The port was closed: its next state is reported as a first one.
  void OlvidarEstado() { estadoInformado_ = false; }
  bool EstadoInformado() const { return estadoInformado_; }
  // The end of a job: DatosImpresos with the current job number, once per number; the end of an
  // upload stream finishes the upload instead.
  void TerminarTrabajo();
  // The same for a channel that knows which jobs have ended: those up to number `ultimo`.
  void TerminarHasta(std::int32_t ultimo);
  // The drawer and on-line state a serial printer sent.
  void InformarCajon(bool abierto, bool enLinea);
  // Progress of an upload stream.
  void InformarCarga(std::int32_t quedan);
  // Changes whenever the host opens, closes or clears the port: a procedure that raised an event
  // compares it to know whether a handler moved the port.
  std::uint64_t Generacion() const { return generacion_; }
  // Keeps the loop's owner alive while a procedure that may raise events runs: a host handler
  // may drop its last reference meanwhile.
  std::shared_ptr<void> Mantener() const { return dueno_.lock(); }

 private:
  friend struct PrnPortTestAccess;
  void FinalizarCarga(std::int32_t contador);
  void RestaurarTrasCarga();

  EventosPuerto& eventos_;
  std::weak_ptr<void> dueno_;
  Ajustes ajustes_;
  std::shared_ptr<Canal> canal_;
  std::unique_ptr<clsTimer> timer_;

  std::string cola_;
  QueueMarks marcas_;
  OutputBuffer salida_;
  std::string retenidos_;  // text given to Imprimir while an upload runs
  std::int32_t outputID_ = 0;
  std::int32_t informadoID_ = 0;  // the highest job number reported
  bool busy_ = false;
  bool esperandoRespuesta_ = false;
  bool detectando_ = false;
  bool enTick_ = false;
  bool cerrandoTrabajo_ = false;
  bool cargaPorEmpezar_ = false;  // Imprimir queues an upload stream: no step at once
  std::uint64_t generacion_ = 0;

  // What the host was last told by NuevoEstado since the port was opened.
  bool estadoInformado_ = false;
  bool errorInformado_ = false;
  bool sinPapelInformado_ = false;

  // Logo upload.
  bool uploading_ = false;
  bool uploadLento_ = false;
  std::int32_t uploadBytes_ = 0;
  std::int32_t tamanoCarga_ = 0;
  std::vector<std::string> nombresLogos_;
  bool alwaysOnLineGuardado_ = false;
  bool rafagaGuardada_ = false;
  std::int32_t propiedadesGuardadas_ = 0;
};

}  // namespace vtl
