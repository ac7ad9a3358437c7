// A receipt printer on a TCP port (9100 unless the host names another).
//
// Output leaves in chunks that end at a line boundary, never inside a binary command queued whole,
// each followed by the real-time status request DLE EOT 2. Each reply byte answers one request,
// in order. The printer has the text before a request once it has answered that request; a job
// counts as printed only when all of its text is confirmed that way and the printer reports no
// error. What a lost connection leaves unconfirmed goes out again, ahead of newer text, on the
// next connection (the printer may then print part of it twice).
//
// Sending is clocked by the printer's replies: at most one chunk waits for its answer, and the
// answer lets the next chunk go at once, so a printer whose buffer is full holds the host back
// through TCP and one that reads at once is fed as fast as it reads. No chunk is larger than
// kLimiteTramo (text without a line end in reach is cut after its last LF, else at the bound);
// a longer binary command goes in pieces of that size, as fast as the socket takes them, with one
// request after its last piece. Queued text, a completed connection and a reply each move the
// channel on at once; the tick (every 250 ms) keeps the timing rules, asks again for an answer
// that is late, and paces the chunks of a printer that answers no requests.
//
// A printer that has never answered and leaves its first request unanswered for three seconds
// after its TCP stack acknowledged it is fed without status requests from then on (reply mode 1);
// its jobs count as printed once its stack has acknowledged every byte. A printer that has
// answered before and then leaves a request unanswered for ten seconds is in error until it
// answers again. While the printer is in error no text goes out, only the status request, on
// every tick, so that it is seen to recover without the host doing anything.
//
// A connection that has been idle for kOcioMs (every job confirmed, nothing queued) is let go,
// so that other hosts can print on a printer that serves one connection at a time; the next job
// connects again at once. A connection let go that way is no error.
//
// Trouble reaches the host only through NuevoEstado. A host handler may close, clear or reopen the
// port, or drop the object, from inside any event: every state change is made before the event is
// raised, and a step goes on after raising only while the port is still the one it started with.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/canal.h"
#include "engine/output_buffer.h"

namespace vtl {

class clsSocket;
class clsSocketCB;

// What a printer port remembers of its network printers from one opening to the next.
struct MemoriaRed {
  std::int64_t ultimoIntento = 0;         // loop clock, ms, of the last connection attempt
  std::int64_t conexionEnCursoDesde = 0;  // whole seconds; 0 while no attempt is timed
  // Host and port of the last printer that answered: it never counts as one that does not
  // answer status requests.
  std::string destinoRespondio;
};

class CanalRed : public Canal {
 public:
  CanalRed(BucleEnvio& bucle, std::string host, std::int32_t puerto, MemoriaRed& memoria);
  ~CanalRed() override;

  std::int32_t Paso() override;
  bool Avanzar() override;
  Condicion Consultar() override;
  Condicion Conocida() const override;
  void Cerrar() override;
  void Vaciar(bool informado) override;
  bool TrabajoEnCurso() const override { return esperando_ || !pendientes_.empty(); }

  // For tests and diagnostics.
  const std::shared_ptr<clsSocket>& Socket() const { return socket_; }
  std::int32_t ModoRespuesta() const { return modoRespuesta_; }
  const std::string& Host() const { return host_; }
  std::int32_t Puerto() const { return puerto_; }
  std::int64_t Peticiones() const { return peticiones_; }
  std::int64_t Respuestas() const { return respuestas_; }
  bool Conectada() const { return conectada_; }
  // The connection was let go after being idle; the next job connects again.
  bool Liberada() const { return liberada_; }

  // Socket events.
  void OnClose();
  void OnConnect();
  void OnDataArrival();
  void OnError(std::int16_t numero);
  void OnSendComplete();

 private:
  class Sumidero;
  // The step, the socket and the port it started with: a step goes on only while all three hold.
  struct Vigencia {
    std::uint64_t generacion;
    std::uint64_t propia;
    const clsSocket* socket;
  };
  Vigencia Ahora() const;
  bool Vigente(const Vigencia& v) const;

  void NuevoSocket();
  void Conectar();
  void PasoConexion();
  bool PasoConectado(const std::shared_ptr<clsSocket>& socket);
  void Conectarse();
  // The send step, run with avanzando_ set, again while a step asks for another.
  void Mover();
  void PasoEnvio();
  bool TramoSinRespuesta() const;
  bool TextoSinConfirmar() const;
  bool Ocioso() const;
  void Liberar();
  // A printer that stops answering: in error if it answered before, else one without replies.
  void VigilarSilencio(std::int64_t ahora, std::uint64_t recibidos);
  // The send step now (Avanzar asks for it in the loop's next pass).
  void Seguir();
  // Sends the next chunk; true when it was a piece of a binary command (no request after it).
  bool EnviarTexto();
  void EnviarPeticion(const std::shared_ptr<clsSocket>& socket);
  void AnularPeticiones();
  void ComprobarImpreso();
  void DevolverPendientes();
  void Perdida();
  bool Error() const;
  bool Sincronizar();
  bool RespondioAntes() const;

  std::string host_;
  std::int32_t puerto_;
  MemoriaRed& memoria_;
  std::shared_ptr<clsSocket> socket_;
  std::shared_ptr<clsSocketCB> eventos_;
  std::shared_ptr<Sumidero> sumidero_;
  std::uint64_t generacion_ = 0;  // changes whenever the socket is replaced or let go

  std::int64_t inicioEnvio_ = 0;  // loop clock, ms; 0 until the first send
  bool envioCompleto_ = false;
  std::int32_t modoRespuesta_ = 0;  // 0 undecided, 1 the printer answers no requests, 2 it does
  bool esperando_ = false;          // text was handed over and waits for its confirmation
  // What makes the printer count as in error: no connection, its last status reply, or its
  // silence after it has answered before.
  bool conectada_ = false;
  bool errorImpresora_ = false;
  bool tapaImpresora_ = false;
  bool sinPapelImpresora_ = false;
  bool muda_ = false;
  // On the current connection: status requests sent and answered, and bytes handed to the socket.
  std::int64_t peticiones_ = 0;
  std::int64_t respuestas_ = 0;
  std::uint64_t entregados_ = 0;
  // Loop clock since which an acknowledged request has waited for a reply; 0 while none does.
  std::int64_t silencioDesde_ = 0;
  // Text sent on this connection that the printer has not confirmed yet, oldest first: each piece
  // with the request that followed it (0: none) and the stream offset just past that request.
  struct Tramo {
    std::string texto;
    std::vector<PureSpan> puros;
    std::int64_t peticion = 0;
    std::uint64_t fin = 0;
    bool pieza = false;  // a piece of a binary command that goes on in the next one
  };
  std::deque<Tramo> pendientes_;
  // A binary command is partly sent: nothing may come between its pieces.
  bool comandoAMedias_ = false;
  // Reply mode 1: a chunk went since the last tick.
  bool enviadoEsteTick_ = false;
  // The send step is running; another was asked for meanwhile.
  bool avanzando_ = false;
  bool otraVez_ = false;
  bool pasoPedido_ = false;  // a step is posted to the loop
  bool liberada_ = false;
  std::int64_t peticionEn_ = 0;  // loop clock, ms, of the last status request
  std::int64_t ocioDesde_ = 0;   // loop clock, ms, since the connection has been idle; 0: busy
};

}  // namespace vtl
