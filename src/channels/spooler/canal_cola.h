// Printing through a queue of the system's spooler: everything queued when a tick comes round
// goes out as one raw document.
//
// "Printed" means what it means on every other port: a document's jobs are reported printed when
// the spooler says it has handed the document to the printer, not when it accepted it. Until
// then the channel looks at its documents and its queue once a second, and not at all when it
// has none there: a stopped queue, a document held, stopped, aborted or canceled, or a printer
// the spooler reports out of paper is an error for the host.
//
// A spooler may be slow or silent (a print server across the network), so no spooler call runs
// on the host thread: opening the queue and handing a document over each run on a short-lived
// worker, and the tick goes on meanwhile. The queue's handle belongs to the worker while it
// works; a port closed meanwhile gives it back to the spooler once the worker is done.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "engine/canal.h"

namespace vtl {

// What a printer port remembers of its spooler queues from one opening to the next: documents
// without a name are numbered per object.
struct MemoriaCola {
  std::int32_t documentos = 0;
};

class CanalCola : public Canal {
 public:
  // `docName`: the host's document name, read for each document (it outlives the channel).
  CanalCola(BucleEnvio& bucle, std::string cola, MemoriaCola& memoria, const std::string& docName);
  ~CanalCola() override;

  // Starts opening the queue (on a worker).
  void Abrir();

  std::int32_t Paso() override;
  bool Avanzar() override;
  Condicion Consultar() override;
  Condicion Conocida() const override;
  void Cerrar() override;
  void Vaciar(bool informado) override;
  bool TrabajoEnCurso() const override;
  void Reabrir() override { AbrirEnSegundoPlano(); }
  platform::HANDLE Handle() const override { return handle_; }
  const std::string& Cola() const { return cola_; }
  // The spooler's words for the state of the queue and of the oldest document not yet printed,
  // as last seen; empty before the first look.
  const std::string& Palabras() const { return palabras_; }

 private:
  struct Resultado;
  struct Vistazo;
  // A document the spooler accepted and has not yet printed.
  struct Documento {
    platform::DWORD trabajo = 0;  // the spooler's number for it
    std::int32_t ultimo = 0;      // the last job it carries
  };
  void AbrirEnSegundoPlano();
  void Abierta(const Resultado& r);
  void Imprimir(const std::string& texto);
  void Entregado(const Resultado& r, std::size_t tamano, std::uint64_t generacion,
                 std::int32_t ultimo);
  void Esperar();
  void Seguir();
  void Visto(const Vistazo& v);
  bool Error() const { return falloEntrega_ || perdido_ || errorDocumento_ || errorCola_; }

  std::string cola_;
  MemoriaCola& memoria_;
  const std::string& docName_;
  platform::HANDLE handle_ = 0;
  bool cerrada_ = false;           // the host closed the port
  bool abriendo_ = false;          // the queue is being opened
  bool documentoEnCurso_ = false;  // a document is being handed over
  bool pasoPedido_ = false;        // a step is posted to the loop
  std::uint64_t generacion_ = 0;   // changes when ClearAll throws the text away
  std::int64_t espera_ = 0;
  std::int64_t proximoIntento_ = 0;  // loop clock, ms

  std::deque<Documento> enCola_;
  bool mirando_ = false;            // a look at the spooler is under way
  std::int64_t proximaMirada_ = 0;  // loop clock, ms
  bool falloEntrega_ = false;       // the last hand-over failed
  bool perdido_ = false;            // a document was canceled or aborted since the last printed
  bool errorDocumento_ = false;     // the oldest document waits for someone (held, stopped)
  bool errorCola_ = false;          // the queue is stopped, or its printer in trouble
  bool sinPapel_ = false;
  bool tapa_ = false;
  std::string palabras_;
};

}  // namespace vtl
