// A channel: one port type's way to the printer (serial, parallel or USB, network, spooler).
//
// The send loop owns the text and the jobs. On every tick it hands over to its channel, which
// takes text from the loop's output buffer, moves it to the device at the device's pace, watches
// the printer, and tells the loop what it learns: the printer's state and the end of each job.
// A channel knows nothing of other port types.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/win.h"

namespace vtl {

class BucleEnvio;

// The printer's condition as a status poll finds it.
struct Condicion {
  bool ocupado = false;
  bool error = false;
  bool sinPapel = false;
  bool tapaAbierta = false;
  // What a spooler says of its queue and documents, for people.
  std::string palabras;
};

class Canal : public std::enable_shared_from_this<Canal> {
 public:
  explicit Canal(BucleEnvio& bucle) : bucle_(bucle) {}
  virtual ~Canal() = default;
  Canal(const Canal&) = delete;
  Canal& operator=(const Canal&) = delete;

  // One tick. Returns the milliseconds to the next one.
  virtual std::int32_t Paso() = 0;
  // Text was queued: a channel that moves at the printer's pace between ticks (network, spooler)
  // takes its next step now and answers true; a device channel answers false and the loop runs
  // a tick instead.
  virtual bool Avanzar() { return false; }
  // The printer's condition for CheckError. Device channels poll it (and report a change, as any
  // poll does); the network and spooler channels answer from what they know and change nothing.
  virtual Condicion Consultar() = 0;
  // What the channel last learned of the printer beyond error and paper (the cover, a
  // spooler's words), without asking it anything.
  virtual Condicion Conocida() const { return {}; }
  // CloseAll: the device goes, without waiting for it; what it had not taken comes back to the
  // front of the buffer. The port stays chosen.
  virtual void Cerrar() = 0;
  // ClearAll threw everything queued away; `informado`: the host was told of an error.
  virtual void Vaciar(bool /*informado*/) {}
  // Whether text is on its way (ClearAll reports such a job as ended).
  virtual bool TrabajoEnCurso() const = 0;
  // A block write is still in flight (Imprimir then leaves the sending to the tick).
  virtual bool EscribiendoBloque() const { return false; }
  // Opens a device that was lost again, when the port may be (the logo finish's test print).
  virtual void Reabrir() {}
  // The device's handle, where the port has one (control lines, tests).
  virtual platform::HANDLE Handle() const { return 0; }

  // Another port was chosen, or the object is going: nothing more of this one runs, although a
  // step of it may still be on the stack.
  void Retirar() {
    if (retirado_) return;
    retirado_ = true;
    Cerrar();
  }
  bool Retirado() const { return retirado_; }

 protected:
  BucleEnvio& bucle_;

 private:
  bool retirado_ = false;
};

}  // namespace vtl
