// Printers for the speed detection tests: the virtual printer's core on a pseudo-terminal that
// understands only one line speed, and a simulated serial printer that answers status requests
// only at its speed and handshake (what a pty cannot show: flow control the device obeys).
#pragma once

#include <poll.h>
#include <termios.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "serial_pty.h"

namespace vtl::testing {

inline long BaudiosDeTermios(speed_t s) {
  for (auto [code, baudios] : {std::pair<speed_t, long>{B9600, 9600},
                               {B19200, 19200},
                               {B38400, 38400},
                               {B57600, 57600},
                               {B115200, 115200}}) {
    if (s == code) return baudios;
  }
  return 0;
}

inline int Cuenta(const std::string& texto, const std::string& que) {
  int n = 0;
  for (std::size_t p = texto.find(que); p != std::string::npos; p = texto.find(que, p + 1)) ++n;
  return n;
}

#if VTL_HAVE_PRINTERSIM_CORE
// Bytes that reach the printer while the host's line is at another speed are noise: the printer
// neither prints nor answers them, as a real one at the wrong speed would. The line's speed is
// read from the pty itself when the bytes arrive.
class PtyPrinterAtSpeed {
 public:
  explicit PtyPrinterAtSpeed(long baudios) : baudios_(baudios) {
    printersim::Options o;
    printer_ = std::make_unique<printersim::Printer>(o);
    watch_ = platform::Loop::Current().Watch(pty_.Master(), POLLIN, [this](short) { Serve(); });
  }
  ~PtyPrinterAtSpeed() { platform::Loop::Current().Unwatch(watch_); }
  Pty& pty() { return pty_; }
  // What arrived at the right speed, and what arrived as noise, in order.
  const std::string& Understood() const { return understood_; }
  const std::string& Noise() const { return noise_; }
  int Answers() const { return answers_; }
  std::string Printed() const { return PaperText(*printer_); }

 private:
  void Serve() {
    const std::string in = pty_.Read();
    if (in.empty()) return;
    termios t{};
    const bool ok = tcgetattr(pty_.Master(), &t) == 0;
    if (!ok || BaudiosDeTermios(cfgetospeed(&t)) != baudios_) {
      noise_ += in;
      return;
    }
    understood_ += in;
    const std::string reply = printer_->Feed(in);
    answers_ += static_cast<int>(reply.size());
    pty_.Write(reply);
  }

  long baudios_;
  Pty pty_;
  std::unique_ptr<printersim::Printer> printer_;
  std::string understood_, noise_;
  int answers_ = 0;
  platform::Loop::Id watch_ = 0;
};
#endif

// A simulated serial printer: each write with status requests (GS r 2) made while the line is at
// the printer's speed and handshake gets one byte per request back. Every such write is logged
// with the line it met.
class SimPrinterAtSpeed {
 public:
  using DWORD = platform::DWORD;
  enum Flujo { kNinguno, kSoftware, kHardware, kAmbos, kCualquiera };
  struct Intento {
    DWORD velocidad;
    Flujo flujo;
    std::string datos;
  };
  SimPrinterAtSpeed(const std::string& nombre, DWORD velocidad, Flujo flujo = kCualquiera,
                    int bytesPorPeticion = 1)
      : nombre_(nombre), velocidad_(velocidad), flujo_(flujo), bytes_(bytesPorPeticion) {
    device_ = platform::sim::Register(nombre);
    poller_ = platform::Loop::Current().AddPoller([this] { Serve(); });
  }
  ~SimPrinterAtSpeed() {
    platform::Loop::Current().RemovePoller(poller_);
    platform::sim::Unregister(nombre_);
  }
  platform::sim::Device& device() { return *device_; }
  const std::vector<Intento>& Intentos() {
    Serve();
    return intentos_;
  }
  std::vector<DWORD> Velocidades() {
    std::vector<DWORD> v;
    for (const auto& i : Intentos()) v.push_back(i.velocidad);
    return v;
  }

 private:
  static Flujo FlujoDe(const platform::DCB& d) {
    const bool hw = d.fBitFields & platform::DCB_fOutxCtsFlow;
    const bool sw = d.fBitFields & (platform::DCB_fOutX | platform::DCB_fInX);
    return hw && sw ? kAmbos : hw ? kHardware : sw ? kSoftware : kNinguno;
  }
  void Serve() {
    const auto& requests = device_->Requests();
    for (; visto_ < requests.size(); ++visto_) {
      const std::string& r = requests[visto_];
      const int peticiones = Cuenta(r, std::string("\x1d\x72\x02", 3));
      if (peticiones == 0) continue;
      const platform::DCB& linea = device_->LineSettings();
      const Flujo f = FlujoDe(linea);
      intentos_.push_back({linea.BaudRate, f, r});
      if (linea.BaudRate == velocidad_ && (flujo_ == kCualquiera || f == flujo_)) {
        device_->Incoming(std::string(static_cast<std::size_t>(peticiones * bytes_), '\x14'));
      }
    }
  }

  std::string nombre_;
  DWORD velocidad_;
  Flujo flujo_;
  int bytes_;
  std::shared_ptr<platform::sim::Device> device_;
  platform::Loop::Id poller_ = 0;
  std::size_t visto_ = 0;
  std::vector<Intento> intentos_;
};

}  // namespace vtl::testing
