// The send loop's side of a port that is a device file (serial and parallel or USB ports): text
// is cut into blocks at line ends and written with overlapped writes from two fixed memory
// blocks; each tick checks the write in flight, polls the printer, and ends the job once
// everything has gone and the printer is idle.
//
// A device that refuses a write, or goes away, is let go and opened again at growing intervals
// until a device answers to its name; what it had not taken comes back to the front of the
// buffer. A port the host closed stays closed until the host opens one again.
#pragma once

#include <cstdint>
#include <string>

#include "engine/canal.h"
#include "engine/estado_envio.h"
#include "platform/win.h"

namespace vtl {

class CanalDispositivo : public Canal {
 public:
  // `nombre`: the device path the port opens ("\\.\COM3"); `numero`: the 0-based port number.
  CanalDispositivo(BucleEnvio& bucle, std::string nombre, std::int32_t numero);
  ~CanalDispositivo() override;

  // The opening: the device is opened, the printer initialised, and its first state reported.
  void Abrir();

  std::int32_t Paso() override;
  Condicion Consultar() override;
  void Cerrar() override;
  void Vaciar(bool informado) override;
  bool TrabajoEnCurso() const override { return estado_ != 0; }
  bool EscribiendoBloque() const override { return escrituraPendiente_; }
  void Reabrir() override { AbrirDispositivo(); }
  platform::HANDLE Handle() const override { return handle_; }

  const std::string& Nombre() const { return nombre_; }
  // The system's error number of the last opening that failed; 0 after one that succeeded.
  platform::DWORD UltimoErrorApertura() const { return ultimoErrorApertura_; }
  std::int32_t Numero() const { return numero_; }
  std::int32_t EstadoEnvio() const { return estado_; }

 protected:
  // What the printer's lines or reports say, outside always-on-line mode.
  struct Lectura {
    bool ocupado = false;
    bool correcto = false;
    bool sinPapel = false;
  };
  // Opens the device when it is not open (the name, then the bare name), and sets it up.
  virtual void AbrirDispositivo() = 0;
  virtual Lectura LeerEstado() = 0;
  // Every tick, before the poll: the serial channel's comm events and status request.
  virtual void AtenderEventos() {}
  // The tick's period while a logo upload runs.
  virtual std::int32_t PeriodoCarga() const { return 10; }
  // Opening a serial port waits for the printer to show it is ready before sending.
  virtual bool EsperaAlAbrir() const { return false; }
  // The device was let go: what was known of the printer on it no longer holds.
  virtual void Soltado() {}

  bool Abierto() const { return handle_ != 0 && handle_ != platform::INVALID_HANDLE_VALUE; }
  // Opens the device and makes it the port's. Both names are tried.
  void CrearArchivo(platform::DWORD flags);
  // Lets the device go without waiting; a write in flight gives back what it had not carried.
  void CerrarDispositivo();
  // Opens a lost device again, no sooner than its spacing allows.
  void ReabrirSiToca();
  // Writes a command outside the send loop (initialisation, status requests).
  void EscribirComando(const std::string& comando);
  // Reports what the status poll found; fills the three values (CheckError's answer).
  void ObtenerEstado(bool& ocupado, bool& error, bool& sinPapel);

  platform::HANDLE handle_ = 0;
  std::string nombre_;
  std::int32_t numero_;
  bool cerradoPorHost_ = false;
  platform::DWORD ultimoErrorApertura_ = 0;

 private:
  friend struct PrnPortTestAccess;
  void Enviar();
  void ComprobarEnvio(bool& resto);
  void DevolverAlBuffer(platform::DWORD escritos);
  void FinDeTrabajo();
  void CrearEventos();
  void CerrarEventos();

  std::int32_t estado_ = 0;  // EstadoEnvio bits
  bool escrituraPendiente_ = false;
  std::int32_t bytesAEnviar_ = 0;
  platform::DWORD bytesEscritos_ = 0;
  std::string ultimoBloque_;
  // The device refused a write (or failed one on its way out): it is in error until a write goes
  // through. The last poll found the device itself well (a refused write aside).
  bool falloEscritura_ = false;
  bool dispositivoCorrecto_ = false;
  std::int64_t proximaReapertura_ = 0;  // loop clock, ms
  std::int64_t esperaReapertura_ = 0;
  static constexpr std::int64_t kEsperaReaperturaMaxima = 2000;

  static constexpr std::size_t kTamanoBloque = 16385;
  char* memBloque1_ = nullptr;
  char* memBloque2_ = nullptr;
  int bloqueUsado_ = 0;  // which block the last write used: 1 or 2, 0 before the first
  platform::OVERLAPPED ovlEscritura_{};
  platform::OVERLAPPED ovlComando_{};

  bool enEnviar_ = false;
  bool enComprobar_ = false;
  bool enObtener_ = false;
};

}  // namespace vtl
