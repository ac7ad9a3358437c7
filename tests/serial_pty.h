// Serial test helpers: a pseudo-terminal whose slave the library opens as a COM port, port names
// and other settings of the environment, and private folders, for the life of a test; and the
// virtual printer's core answering on the master, pumped by the thread's loop.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/loop.h"

#if VTL_HAVE_PRINTERSIM_CORE
#include "printer.h"
#include "render.h"
#endif

namespace vtl::testing {

// The library never falls back to the machine's own ports while tests run: a test that forgot
// to map a COM or LPT name gets "file not found", not the console on /dev/ttyS0.
inline const bool kNoSystemPorts = [] { return setenv("VTL_NO_SYSTEM_PORTS", "1", 1) == 0; }();

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      if (const char* name = ptsname(master_)) slave_ = name;
    }
  }
  ~Pty() { HangUp(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return master_ >= 0 && !slave_.empty(); }
  const std::string& Slave() const { return slave_; }
  int Master() const { return master_; }
  // What the host wrote since the last call.
  std::string Read() {
    std::string out;
    char buf[4096];
    for (;;) {
      if (master_ < 0) break;
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
  void Write(const std::string& bytes) {
    std::size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        break;
      }
    }
  }
  // The printer goes away: the host's side sees a hang-up.
  void HangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Sets (or, with nullptr, removes) an environment variable for the life of the object.
class EnvVar {
 public:
  EnvVar(std::string name, const char* value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Set(value);
  }
  ~EnvVar() { Set(old_ ? old_->c_str() : nullptr); }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;
  void Set(const char* value) {
    if (value) {
      setenv(name_.c_str(), value, 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A private directory that goes away with the object.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vtl-test-XXXXXX";
    if (mkdtemp(tmpl)) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Maps COMn to `path` for the library, and back when the test ends.
class ComMapping : public EnvVar {
 public:
  ComMapping(int n, const std::string& path)
      : EnvVar("VTL_COM" + std::to_string(n), path.c_str()) {}
  void Set(const std::string& path) { EnvVar::Set(path.c_str()); }
};

#if VTL_HAVE_PRINTERSIM_CORE
// Everything `p` printed so far, as text, receipt after receipt (the one in progress last).
inline std::string PaperText(const printersim::Printer& p) {
  std::string out;
  for (const auto& r : p.Receipts()) out += printersim::RenderText(r, 576);
  return out + printersim::RenderText(p.Current(), 576);
}

// The virtual printer on the master side of a pty: every byte the host writes is fed to the
// printer as it arrives, and the printer's replies go back at once.
class PtyPrinter {
 public:
  // A pseudo-terminal made elsewhere (another thread may have mapped a port to it already).
  explicit PtyPrinter(std::unique_ptr<Pty> pty) : pty_(std::move(pty)) { Start(); }
  PtyPrinter() { Start(); }
  ~PtyPrinter() { Unwatch(); }

  Pty& pty() { return *pty_; }
  printersim::Printer& printer() { return *printer_; }
  // Runs after every read, with everything received so far: a fault can strike mid-job.
  std::function<void(PtyPrinter&)> onRead;
  const std::string& Received() const { return received_; }
  std::string Printed() const { return PaperText(*printer_); }
  // Changes of state reach the host as automatic status back where it is enabled.
  template <typename F>
  void Change(F&& f) {
    f(*printer_);
    pty_->Write(printer_->TakeReplyBytes());
  }
  void Send(const std::string& bytes) { pty_->Write(bytes); }
  void HangUp() {
    Unwatch();
    pty_->HangUp();
  }
  // A new printer on a new line (the old pty is gone for good once hung up).
  void Replace() {
    Unwatch();
    pty_ = std::make_unique<Pty>();
    Watch();
  }

 private:
  void Start() {
    printersim::Options o;
    o.drawer_close_after = std::chrono::microseconds(0);  // the drawer closes when told
    printer_ = std::make_unique<printersim::Printer>(o);
    Watch();
  }
  void Watch() {
    watch_ = platform::Loop::Current().Watch(pty_->Master(), POLLIN, [this](short) { Serve(); });
  }
  void Unwatch() {
    if (watch_) platform::Loop::Current().Unwatch(watch_);
    watch_ = 0;
  }
  void Serve() {
    const std::string in = pty_->Read();
    if (in.empty()) return;
    received_ += in;
    pty_->Write(printer_->Feed(in));
    if (onRead) onRead(*this);
  }

  std::unique_ptr<Pty> pty_ = std::make_unique<Pty>();
  std::unique_ptr<printersim::Printer> printer_;
  std::string received_;
  platform::Loop::Id watch_ = 0;
};
#endif

}  // namespace vtl::testing
