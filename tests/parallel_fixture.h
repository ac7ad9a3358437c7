// Parallel-port test helpers: a window on the object's register access and detection results,
// and the virtual printer's core reading a FIFO that the library opens as an LPT port.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/portio.h"
#include "prnport_test_access.h"
#include "serial_pty.h"

namespace vtl {

// The register access and detection a printer port's parallel opening uses, one per thread, as
// the tests call it step by step.
struct PrnPortParallelTestAccess {
  static DetectorParalelo& D() {
    static thread_local DetectorParalelo detector;
    return detector;
  }
  static RegistrosParalelo Registros(clsPrnPort& p) {
    RegistrosParalelo r{};
    for (std::size_t i = 0; i < r.size(); ++i) {
      r[i] = p.PortData(static_cast<std::int32_t>(i <= 3 ? i : 0)).get();
    }
    // Records 4 to 10 are never probed; they only stand in the array.
    return r;
  }
  static std::int16_t DireccionBase(const clsPrnPort& p) {
    return PrnPortTestAccess::DireccionBase(p);
  }
  static void DetectarPuertosParalelo(clsPrnPort& p) { D().DetectarPuertosParalelo(Registros(p)); }
  static bool ProbarEcp(clsPrnPort&, std::int32_t b) { return D().ProbarEcp(b); }
  static bool ProbarEpp(clsPrnPort&, std::int32_t b) { return D().ProbarEpp(b); }
  static bool ProbarSpp(clsPrnPort&, std::int32_t b) { return D().ProbarSpp(b); }
  static std::int32_t LeerEstadoParalelo(clsPrnPort&, std::int32_t b) {
    return D().LeerEstadoParalelo(b);
  }
  static std::int32_t LeerModoEcp(clsPrnPort&, std::int32_t b) { return D().LeerModoEcp(b); }
};

namespace testing {

using SimPort = platform::portio::SimulatedParallelPort;

inline std::shared_ptr<SimPort> MakePort(std::uint16_t base, SimPort::Mode mode) {
  return std::make_shared<SimPort>(base, mode);
}

// A named pipe in a private directory, read by the virtual printer's core as the thread's loop
// runs. A parallel port has no way back, so the printer's replies are dropped. A write end of
// our own keeps the pipe from reporting end-of-file while the library has it closed.
class FifoPrinter {
 public:
  explicit FifoPrinter(const std::string& name = "lpt") {
    path_ = dir_.Path() + "/" + name;
    if (dir_.Path().empty() || mkfifo(path_.c_str(), 0600) != 0) return;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    keep_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
#if VTL_HAVE_PRINTERSIM_CORE
    printersim::Options o;
    o.drawer_close_after = std::chrono::microseconds(0);
    printer_ = std::make_unique<printersim::Printer>(o);
#endif
    if (fd_ >= 0) {
      watch_ = platform::Loop::Current().Watch(fd_, POLLIN, [this](short) { Serve(); });
    }
  }
  ~FifoPrinter() {
    if (watch_) platform::Loop::Current().Unwatch(watch_);
    if (fd_ >= 0) ::close(fd_);
    if (keep_ >= 0) ::close(keep_);
  }
  FifoPrinter(const FifoPrinter&) = delete;
  FifoPrinter& operator=(const FifoPrinter&) = delete;

  bool Ok() const {
    return fd_ >= 0 && keep_ >= 0;
  }
  const std::string& Path() const {
    return path_;
  }
  const std::string& Received() const {
    return received_;
  }
  // Runs after every read, with everything received so far: a fault can strike mid-job.
  std::function<void(FifoPrinter&)> onRead;
  // The printer goes away: nobody reads the pipe, and a writer gets a broken pipe.
  void PowerOff() {
    if (watch_) platform::Loop::Current().Unwatch(watch_);
    watch_ = 0;
    if (fd_ >= 0) ::close(fd_);
    if (keep_ >= 0) ::close(keep_);
    fd_ = keep_ = -1;
  }
  void PowerOn() {
    if (fd_ >= 0) return;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    keep_ = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0) {
      watch_ = platform::Loop::Current().Watch(fd_, POLLIN, [this](short) { Serve(); });
    }
  }
#if VTL_HAVE_PRINTERSIM_CORE
  printersim::Printer& printer() {
    return *printer_;
  }
  std::string Printed() const {
    return PaperText(*printer_);
  }
#endif

 private:
  void Serve() {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      const std::string in(buf, static_cast<std::size_t>(n));
      received_ += in;
#if VTL_HAVE_PRINTERSIM_CORE
      printer_->Feed(in);
#endif
    }
    if (onRead) onRead(*this);
  }

  TempDir dir_;
  std::string path_;
  int fd_ = -1;
  int keep_ = -1;
  std::string received_;
#if VTL_HAVE_PRINTERSIM_CORE
  std::unique_ptr<printersim::Printer> printer_;
#endif
  platform::Loop::Id watch_ = 0;
};

}  // namespace testing
}  // namespace vtl
