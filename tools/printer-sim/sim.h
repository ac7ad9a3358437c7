#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "options.h"
#include "printer.h"
#include "render.h"

namespace printersim {

// The running printer: one poll loop over every connection, the control channels and the
// printer's own timers, and a thread of its own that renders finished receipts into files, so
// that the loop reads and answers the host while pictures are drawn, as a printer answers a
// status request on arrival whatever it is printing.
class Sim {
 public:
  explicit Sim(CliOptions options);
  ~Sim();
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;

  // Returns the process exit code.
  int Run();

 private:
  enum class Kind { kTcp, kPty, kFifo, kFile };
  struct Link {
    Kind kind = Kind::kTcp;
    int fd = -1;
    int source = 0;
    bool connected = false;  // pty: someone has the other end open
    bool eof = false;        // the host finished sending; close once its work is done
    std::chrono::steady_clock::time_point eof_at{};
    bool broken = false;
    ConnectionAction drop = ConnectionAction::kNone;  // the operator ends the connection
    std::string peer;
    std::string out;                                // replies not yet written
    std::chrono::steady_clock::time_point retry{};  // pty hang-up / file follow: look again then
    long long file_pos = 0;
  };
  struct ControlClient {
    int fd = -1;
    std::string in;
    std::string out;
  };

  bool Setup();
  void Shutdown();
  Micros Now() const;
  void Note(const std::string& line);  // progress message on standard error
  void LogEvent(JsonLine& line);
  JsonLine Ev(const char* ev) const;

  bool OpenTcp();
  bool OpenPty();
  bool OpenFifo();
  bool OpenFile();
  bool OpenControl();

  size_t Allowance();  // bytes the line speed lets through now
  void Consume(size_t n);
  void ReadLink(Link& link);
  void CloseLink(Link& link, const char* why);
  void DropHost(Link& link);
  bool LineMatches(int fd, std::string& why) const;
  void Deliver();
  void Send(Link& link, const std::string& bytes, const std::string& cause);
  void Flush(Link& link);
  void SaveReceipts();
  void RenderLoop();
  void Render(const Receipt& r);
  void StopRendering();
  void HandleControlLine(const std::string& line, ControlClient* client);
  void AcceptControl();
  void ServiceControl(ControlClient& c, short revents);
  void ReadStdin();

  CliOptions o_;
  Printer printer_;
  std::unique_ptr<Renderer> renderer_;
  // Receipts waiting for the renderer, and the thread that draws them.
  std::mutex render_mutex_;
  std::condition_variable render_wake_;
  std::deque<Receipt> to_render_;
  bool render_stop_ = false;
  std::thread render_thread_;
  // The log is written from both threads, one whole line at a time.
  std::mutex log_mutex_;
  std::chrono::steady_clock::time_point start_;
  FILE* log_ = nullptr;
  bool log_owned_ = false;
  int next_source_ = 1;
  int next_file_ = 1;

  int listen_fd_ = -1;
  std::optional<Link> tcp_;
  std::optional<Link> pty_;
  std::string pty_path_;
  std::optional<Link> fifo_;
  std::optional<Link> file_;
  int control_fd_ = -1;
  std::vector<ControlClient> control_clients_;
  bool stdin_open_ = false;
  std::string stdin_buf_;
  int signal_pipe_[2] = {-1, -1};

  double allowance_ = 0;
  std::chrono::steady_clock::time_point last_refill_{};

  bool quit_ = false;
  bool first_closed_ = false;
};

}  // namespace printersim
