// Printing through a queue of the system's spooler: everything queued when a tick comes round
// goes out as one raw document.
//
// A spooler may be slow or silent (a print server across the network), so no spooler call runs
// on the host thread: opening the queue and handing a document over each run on a short-lived
// worker, and the tick goes on meanwhile. The queue's handle belongs to the worker while it
// works; a port closed meanwhile gives it back to the spooler once the worker is done.
#pragma once

#include <cstdint>
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
  void Cerrar() override;
  void Vaciar(bool informado) override;
  bool TrabajoEnCurso() const override;
  void Reabrir() override { AbrirEnSegundoPlano(); }
  platform::HANDLE Handle() const override { return handle_; }
  const std::string& Cola() const { return cola_; }

 private:
  struct Resultado;
  void AbrirEnSegundoPlano();
  void Abierta(const Resultado& r);
  void Imprimir(const std::string& texto);
  void Entregado(const Resultado& r, std::size_t tamano, std::uint64_t generacion);
  void Esperar();

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
};

}  // namespace vtl
