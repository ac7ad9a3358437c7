#include "sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "control.h"

namespace printersim {

namespace {

constexpr size_t kReadChunk = 4096;
constexpr size_t kMaxOut = 64 * 1024;
constexpr size_t kMaxControlLine = 4096;
constexpr auto kRetry = std::chrono::milliseconds(100);

int g_signal_fd = -1;

void OnSignal(int) {
  if (g_signal_fd >= 0) {
    char c = 1;
    ssize_t r = write(g_signal_fd, &c, 1);
    (void)r;
  }
}

std::string Err() {
  return std::strerror(errno);
}

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

struct SpeedPair {
  speed_t constant;
  long baud;
};
constexpr SpeedPair kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

long BaudOf(speed_t s) {
  for (const SpeedPair& p : kSpeeds) {
    if (p.constant == s) return p.baud;
  }
  return 0;
}

Options PrinterOptions(const CliOptions& o) {
  Options p;
  p.paper_width = o.paper_mm == 58 ? 384 : 576;
  p.code_page = static_cast<uint8_t>(o.code_page);
  p.drawer_close_after = std::chrono::milliseconds(o.drawer_close_ms);
  p.lines_per_second = o.print_speed;
  p.drawer_open_is_high = o.drawer_open_high;
  return p;
}

bool WriteFileAtomically(const std::string& path, const std::string& data, std::string& error) {
  const std::string part = path + ".part";
  {
    std::ofstream f(part, std::ios::binary | std::ios::trunc);
    if (!f) {
      error = "cannot write " + part + ": " + Err();
      return false;
    }
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!f) {
      error = "cannot write " + part;
      return false;
    }
  }
  if (std::rename(part.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + part + ": " + Err();
    return false;
  }
  return true;
}

}  // namespace

Sim::Sim(CliOptions options) : o_(std::move(options)), printer_(PrinterOptions(o_)) {
  start_ = std::chrono::steady_clock::now();
  last_refill_ = start_;
}

Sim::~Sim() {
  StopRendering();
  if (g_signal_fd == signal_pipe_[1]) g_signal_fd = -1;
  for (int fd : signal_pipe_) {
    if (fd >= 0) close(fd);
  }
}

Micros Sim::Now() const {
  return std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now() - start_);
}

JsonLine Sim::Ev(const char* ev) const {
  JsonLine j;
  j.Add("t", static_cast<int64_t>(Now().count() / 1000));
  j.Add("ev", ev);
  return j;
}

void Sim::LogEvent(JsonLine& line) {
  std::string s = line.Str();
  s.push_back('\n');
  std::lock_guard lock(log_mutex_);
  if (log_ == nullptr) return;
  std::fwrite(s.data(), 1, s.size(), log_);
  std::fflush(log_);
}

void Sim::Note(const std::string& line) {
  std::fprintf(stderr, "printer-sim: %s\n", line.c_str());
  std::fflush(stderr);
}

bool Sim::Setup() {
  std::error_code ec;
  std::filesystem::create_directories(o_.out, ec);
  if (ec) {
    Note("cannot create " + o_.out + ": " + ec.message());
    return false;
  }
  for (const auto& entry : std::filesystem::directory_iterator(o_.out, ec)) {
    std::string name = entry.path().filename().string();
    if (name.starts_with("receipt-") && name.size() >= 12) {
      int n = std::atoi(name.c_str() + 8);
      next_file_ = std::max(next_file_, n + 1);
    }
  }
  std::string log_path =
      o_.log.empty() ? (std::filesystem::path(o_.out) / "printer-sim.jsonl").string() : o_.log;
  if (log_path == "-") {
    log_ = stderr;
  } else {
    log_ = std::fopen(log_path.c_str(), "a");
    if (log_ == nullptr) {
      Note("cannot open log " + log_path + ": " + Err());
      return false;
    }
    log_owned_ = true;
  }
  printer_.SetLog([this](const std::string& line) {
    std::lock_guard lock(log_mutex_);
    if (log_ == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), log_);
    std::fputc('\n', log_);
    std::fflush(log_);
  });
  {
    JsonLine j = Ev("start");
    j.Add("pid", static_cast<int64_t>(getpid())).Add("out", o_.out);
    LogEvent(j);
  }

  renderer_ = std::make_unique<Renderer>(o_.font.empty() ? PRINTERSIM_DEFAULT_FONT : o_.font);
  if (o_.render && !renderer_->FontLoaded()) {
    Note(renderer_->FontError() + "; pictures will show boxes for characters");
  }
  render_thread_ = std::thread([this] { RenderLoop(); });

  if (!o_.nv_file.empty()) {
    std::ifstream f(o_.nv_file, std::ios::binary);
    if (f) {
      std::stringstream ss;
      ss << f.rdbuf();
      std::string why;
      if (!printer_.LoadNv(ss.str(), &why)) Note(o_.nv_file + ": " + why + "; starting empty");
    }
  }

  if (pipe(signal_pipe_) != 0) {
    Note("pipe: " + Err());
    return false;
  }
  for (int fd : signal_pipe_) {
    SetNonBlocking(fd);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  g_signal_fd = signal_pipe_[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (o_.tcp && !OpenTcp()) return false;
  if (o_.pty && !OpenPty()) return false;
  if (!o_.fifo.empty() && !OpenFifo()) return false;
  if (!o_.file.empty() && !OpenFile()) return false;
  if (!o_.control.empty() && !OpenControl()) return false;
  stdin_open_ = o_.stdin_control;
  return true;
}

bool Sim::OpenTcp() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) {
    Note("socket: " + Err());
    return false;
  }
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o_.port));
  if (inet_pton(AF_INET, o_.bind.c_str(), &addr.sin_addr) != 1) {
    Note("--bind: not an IPv4 address: " + o_.bind);
    return false;
  }
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Note("cannot listen on " + o_.bind + ":" + std::to_string(o_.port) + ": " + Err());
    return false;
  }
  if (listen(listen_fd_, 16) != 0) {
    Note("listen: " + Err());
    return false;
  }
  socklen_t len = sizeof addr;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);
  std::printf("listening on %s:%d\n", o_.bind.c_str(), port);
  std::fflush(stdout);
  JsonLine j = Ev("listen");
  j.Add("addr", o_.bind + ":" + std::to_string(port));
  LogEvent(j);
  return true;
}

bool Sim::OpenPty() {
  int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) {
    Note("cannot create a pseudo-terminal: " + Err());
    if (m >= 0) close(m);
    return false;
  }
  char name[256] = {};
  if (ptsname_r(m, name, sizeof name) != 0) {
    Note("ptsname: " + Err());
    close(m);
    return false;
  }
  pty_path_ = name;
  SetNonBlocking(m);
  // The line starts as a serial port fresh from the driver would be for a printer: raw, 9600 baud,
  // 8N1, no echo. Only the host's side is configured, and only this once.
  int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s >= 0) {
    termios t{};
    if (tcgetattr(s, &t) == 0) {
      cfmakeraw(&t);
      t.c_cflag |= CLOCAL | CREAD;
      cfsetispeed(&t, B9600);
      cfsetospeed(&t, B9600);
      tcsetattr(s, TCSANOW, &t);
    }
    close(s);
  }
  Link link;
  link.kind = Kind::kPty;
  link.fd = m;
  link.source = next_source_++;
  link.peer = pty_path_;
  pty_ = std::move(link);
  if (!o_.link.empty()) {
    struct stat st {};
    if (lstat(o_.link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        Note("--link: " + o_.link + " exists and is not a symbolic link");
        return false;
      }
      unlink(o_.link.c_str());
    }
    if (symlink(pty_path_.c_str(), o_.link.c_str()) != 0) {
      Note("--link: cannot create " + o_.link + ": " + Err());
      return false;
    }
  }
  std::printf("pty %s\n", pty_path_.c_str());
  std::fflush(stdout);
  JsonLine j = Ev("pty");
  j.Add("path", pty_path_).Add("link", o_.link);
  LogEvent(j);
  return true;
}

bool Sim::OpenFifo() {
  struct stat st {};
  if (stat(o_.fifo.c_str(), &st) != 0) {
    if (mkfifo(o_.fifo.c_str(), 0660) != 0) {
      Note("cannot create FIFO " + o_.fifo + ": " + Err());
      return false;
    }
  } else if (!S_ISFIFO(st.st_mode)) {
    Note("--fifo: " + o_.fifo + " exists and is not a FIFO");
    return false;
  }
  int fd = open(o_.fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Note("cannot open " + o_.fifo + ": " + Err());
    return false;
  }
  if (!fifo_) {
    std::printf("fifo %s\n", o_.fifo.c_str());
    std::fflush(stdout);
  }
  Link link;
  link.kind = Kind::kFifo;
  link.fd = fd;
  link.source = next_source_++;
  link.peer = o_.fifo;
  fifo_ = std::move(link);
  return true;
}

bool Sim::OpenFile() {
  int fd = open(o_.file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0660);
  if (fd < 0) {
    Note("cannot open " + o_.file + ": " + Err());
    return false;
  }
  std::printf("file %s\n", o_.file.c_str());
  std::fflush(stdout);
  Link link;
  link.kind = Kind::kFile;
  link.fd = fd;
  link.source = next_source_++;
  link.peer = o_.file;
  link.connected = true;
  file_ = std::move(link);
  return true;
}

bool Sim::OpenControl() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (o_.control.size() >= sizeof addr.sun_path) {
    Note("--control: path too long for a unix socket: " + o_.control);
    return false;
  }
  std::memcpy(addr.sun_path, o_.control.c_str(), o_.control.size() + 1);
  struct stat st {};
  if (lstat(o_.control.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      Note("--control: " + o_.control + " exists and is not a socket");
      return false;
    }
    unlink(o_.control.c_str());
  }
  control_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (control_fd_ < 0 || bind(control_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(control_fd_, 8) != 0) {
    Note("--control: cannot listen on " + o_.control + ": " + Err());
    return false;
  }
  std::printf("control %s\n", o_.control.c_str());
  std::fflush(stdout);
  return true;
}

size_t Sim::Allowance() {
  if (o_.baud <= 0) return SIZE_MAX;
  auto now = std::chrono::steady_clock::now();
  const double rate = static_cast<double>(o_.baud) / 10.0;
  allowance_ += std::chrono::duration<double>(now - last_refill_).count() * rate;
  last_refill_ = now;
  // At most a fiftieth of a second's worth at once, so the pace holds even in short spans.
  allowance_ = std::min(allowance_, std::max(1.0, rate / 50.0));
  return allowance_ < 1.0 ? 0 : static_cast<size_t>(allowance_);
}

void Sim::Consume(size_t n) {
  if (o_.baud > 0) allowance_ -= static_cast<double>(n);
}

bool Sim::LineMatches(int fd, std::string& why) const {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    why = "cannot read the line settings";
    return false;
  }
  if (o_.insist_baud != 0) {
    long baud = BaudOf(cfgetospeed(&t));
    if (baud != o_.insist_baud) {
      why =
          "line at " + std::to_string(baud) + " baud, printer at " + std::to_string(o_.insist_baud);
      return false;
    }
  }
  if (!o_.insist_flow.empty()) {
    const bool rtscts = (t.c_cflag & CRTSCTS) != 0;
    const bool xon = (t.c_iflag & (IXON | IXOFF)) != 0;
    const std::string mode = rtscts && xon ? "both" : rtscts ? "rtscts" : xon ? "xonxoff" : "none";
    if (mode != o_.insist_flow) {
      why = "line handshake " + mode + ", printer " + o_.insist_flow;
      return false;
    }
  }
  return true;
}

void Sim::ReadLink(Link& link) {
  const size_t budget = std::min({printer_.Room(), Allowance(), kReadChunk});
  if (budget == 0) return;
  char buf[kReadChunk];
  ssize_t n = 0;
  if (link.kind == Kind::kFile) {
    n = pread(link.fd, buf, budget, static_cast<off_t>(link.file_pos));
  } else if (link.kind == Kind::kTcp) {
    n = recv(link.fd, buf, budget, 0);
  } else {
    n = read(link.fd, buf, budget);
  }
  if (n > 0) {
    Consume(static_cast<size_t>(n));
    std::string_view data(buf, static_cast<size_t>(n));
    if (link.kind == Kind::kFile) link.file_pos += n;
    if (!link.connected) {
      link.connected = true;
      JsonLine j = Ev("connect");
      j.Add("src", link.source).Add("via", link.kind == Kind::kFifo ? "fifo" : "pty");
      LogEvent(j);
    }
    std::string why;
    if (link.kind == Kind::kPty && (o_.insist_baud != 0 || !o_.insist_flow.empty()) &&
        !LineMatches(link.fd, why)) {
      JsonLine j = Ev("noise");
      j.Add("src", link.source).Add("n", data.size()).Add("why", why).Add("hex", Hex(data));
      LogEvent(j);
      return;
    }
    printer_.Receive(link.source, data);
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  switch (link.kind) {
    case Kind::kTcp:
      if (n == 0) {
        link.eof = true;
        link.eof_at = std::chrono::steady_clock::now();
      } else {
        link.broken = true;
      }
      break;
    case Kind::kPty:
      // EIO: nobody has the terminal open any more.
      if (link.connected) CloseLink(link, "hang-up");
      link.retry = std::chrono::steady_clock::now() + kRetry;
      break;
    case Kind::kFifo:
      if (link.connected) {
        CloseLink(link, "writer closed");
      } else {
        link.retry = std::chrono::steady_clock::now() + kRetry;
      }
      break;
    case Kind::kFile: {
      struct stat st {};
      if (fstat(link.fd, &st) == 0 && st.st_size < link.file_pos) {
        JsonLine j = Ev("truncated");
        j.Add("file", o_.file);
        LogEvent(j);
        link.file_pos = 0;
      } else if (link.file_pos > 0 && !first_closed_) {
        first_closed_ = true;  // for --once: the file has been printed up to its end
      }
      link.retry = std::chrono::steady_clock::now() + kRetry;
      break;
    }
  }
}

void Sim::CloseLink(Link& link, const char* why) {
  Flush(link);
  JsonLine j = Ev("disconnect");
  j.Add("src", link.source).Add("why", why);
  LogEvent(j);
  printer_.EndSource(link.source);
  first_closed_ = true;
  link.out.clear();
  link.connected = false;
  link.eof = false;
  link.source = next_source_++;
  if (link.kind == Kind::kTcp) {
    close(link.fd);
    link.fd = -1;
  } else if (link.kind == Kind::kFifo) {
    close(link.fd);
    link.fd = open(o_.fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (link.fd < 0) Note("cannot reopen " + o_.fifo + ": " + Err());
  }
}

void Sim::DropHost(Link& link) {
  if (link.drop == ConnectionAction::kReset) {
    // No lingering: the close aborts the connection with a reset.
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(link.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    link.out.clear();
    CloseLink(link, "reset by the operator");
    return;
  }
  // An orderly close: what the host sent and the printer has not read goes unread (left in the
  // socket, the system would answer it with a reset).
  size_t unread = 0;
  char buf[kReadChunk];
  for (ssize_t n; (n = recv(link.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) {
    unread += static_cast<size_t>(n);
  }
  if (unread > 0) {
    JsonLine j = Ev("unread");
    j.Add("src", link.source).Add("bytes", unread);
    LogEvent(j);
  }
  CloseLink(link, "hung up by the operator");
}

void Sim::Send(Link& link, const std::string& bytes, const std::string& cause) {
  const bool way_back = link.kind == Kind::kTcp || link.kind == Kind::kPty;
  if (!way_back || !link.connected || link.broken || link.out.size() + bytes.size() > kMaxOut) {
    JsonLine j = Ev("dropped");
    j.Add("src", link.source)
        .Add("to", cause)
        .Add("hex", Hex(bytes))
        .Add("why", !way_back         ? "no way back on this line"
                    : !link.connected ? "nobody on the line"
                    : link.broken     ? "connection broken"
                                      : "host does not read");
    LogEvent(j);
    return;
  }
  link.out += bytes;
  Flush(link);
}

void Sim::Flush(Link& link) {
  while (!link.out.empty() && link.fd >= 0 && !link.broken) {
    ssize_t n = link.kind == Kind::kTcp
                    ? send(link.fd, link.out.data(), link.out.size(), MSG_NOSIGNAL)
                    : write(link.fd, link.out.data(), link.out.size());
    if (n > 0) {
      link.out.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return;
    } else {
      JsonLine j = Ev("dropped");
      j.Add("src", link.source).Add("hex", Hex(link.out)).Add("why", Err());
      LogEvent(j);
      link.out.clear();
      if (link.kind == Kind::kTcp) link.broken = true;
      return;
    }
  }
}

void Sim::Deliver() {
  for (Reply& r : printer_.TakeReplies()) {
    if (r.source == Reply::kAll) {
      int sent = 0;
      for (auto* link : {&tcp_, &pty_}) {
        if (*link && (*link)->connected && !(*link)->broken) {
          Send(**link, r.bytes, r.cause);
          ++sent;
        }
      }
      if (sent == 0) {
        JsonLine j = Ev("dropped");
        j.Add("to", r.cause).Add("hex", Hex(r.bytes)).Add("why", "no host connected");
        LogEvent(j);
      }
      continue;
    }
    Link* target = nullptr;
    for (auto* link : {&tcp_, &pty_, &fifo_, &file_}) {
      if (*link && (*link)->source == r.source) target = &**link;
    }
    if (target != nullptr) {
      Send(*target, r.bytes, r.cause);
    } else {
      JsonLine j = Ev("dropped");
      j.Add("src", r.source)
          .Add("to", r.cause)
          .Add("hex", Hex(r.bytes))
          .Add("why", "the connection that asked has closed");
      LogEvent(j);
    }
  }
}

void Sim::SaveReceipts() {
  std::vector<Receipt> done = printer_.TakeReceipts();
  if (done.empty()) return;
  {
    std::lock_guard lock(render_mutex_);
    for (Receipt& r : done) to_render_.push_back(std::move(r));
  }
  render_wake_.notify_one();
}

void Sim::RenderLoop() {
  std::unique_lock lock(render_mutex_);
  for (;;) {
    render_wake_.wait(lock, [this] { return render_stop_ || !to_render_.empty(); });
    if (to_render_.empty()) return;  // stopped, and everything is drawn
    Receipt r = std::move(to_render_.front());
    to_render_.pop_front();
    lock.unlock();
    Render(r);
    lock.lock();
  }
}

void Sim::StopRendering() {
  if (!render_thread_.joinable()) return;
  {
    std::lock_guard lock(render_mutex_);
    render_stop_ = true;
  }
  render_wake_.notify_one();
  render_thread_.join();
}

void Sim::Render(const Receipt& r) {
  if (!o_.render) {
    JsonLine j = Ev("printed");
    j.Add("n", r.number).Add("cut", CutName(r.cut));
    LogEvent(j);
    return;
  }
  const int width = printer_.options().paper_width;
  char name[32];
  std::snprintf(name, sizeof name, "receipt-%04d", next_file_++);
  const std::string base = (std::filesystem::path(o_.out) / name).string();
  const std::string text = RenderText(r, width);
  std::string error;
  bool ok = WriteFileAtomically(base + ".txt", text, error);
  std::string png_error;
  std::string png = Renderer::EncodePng(renderer_->Draw(r, width), &png_error);
  if (png.empty()) {
    error = "PNG: " + png_error;
    ok = false;
  } else if (!WriteFileAtomically(base + ".png", png, error)) {
    ok = false;
  }
  if (!ok) Note(error);
  if (!o_.quiet) {
    std::printf("=== receipt %d (%s) %s.png ===\n%s", r.number,
                r.cut == Cut::kNone   ? "not cut"
                : r.cut == Cut::kFull ? "full cut"
                                      : "partial cut",
                base.c_str(), text.c_str());
    std::fflush(stdout);
  }
  JsonLine j = Ev("saved");
  j.Add("n", r.number).Add("txt", base + ".txt").Add("png", base + ".png").Add("ok", ok);
  if (!ok) j.Add("error", error);
  LogEvent(j);
}

void Sim::HandleControlLine(const std::string& line, ControlClient* client) {
  ControlResult r = ApplyControl(printer_, line);
  if (r.connection != ConnectionAction::kNone) {
    // Done before the answer, so that whoever gave the command finds the connection ended. The
    // link itself goes at the top of the next pass (the handlers of this one may still hold it).
    if (tcp_ && tcp_->fd >= 0 && !tcp_->eof && !tcp_->broken) {
      tcp_->drop = r.connection;
      DropHost(*tcp_);
    } else {
      r.ok = false;
      r.message = "no host is connected over TCP";
    }
  }
  {
    JsonLine j = Ev("control");
    j.Add("line", line).Add("via", client != nullptr ? "socket" : "stdin").Add("ok", r.ok);
    LogEvent(j);
  }
  if (r.quit) quit_ = true;
  if (client != nullptr) {
    std::string reply = r.ok ? r.message : "error: " + r.message;
    if (reply.empty() || reply.back() != '\n') reply.push_back('\n');
    if (client->out.size() < kMaxOut) client->out += reply;
  } else if (!r.ok) {
    Note(r.message);
  } else if (r.message != "ok" && !r.message.empty()) {
    std::fputs(r.message.c_str(), stdout);
    if (r.message.back() != '\n') std::fputc('\n', stdout);
    std::fflush(stdout);
  }
}

void Sim::AcceptControl() {
  int fd = accept4(control_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  if (control_clients_.size() >= 16) {
    close(fd);
    return;
  }
  control_clients_.push_back(ControlClient{fd, {}, {}});
}

void Sim::ServiceControl(ControlClient& c, short revents) {
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    char buf[1024];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
      c.in.append(buf, static_cast<size_t>(n));
      size_t nl;
      while ((nl = c.in.find('\n')) != std::string::npos) {
        std::string line = c.in.substr(0, nl);
        c.in.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        HandleControlLine(line, &c);
      }
      if (c.in.size() > kMaxControlLine) {
        c.in.clear();
        c.out += "error: line too long\n";
      }
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      if (!c.in.empty()) HandleControlLine(c.in, &c);
      c.in.clear();
      send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      close(c.fd);
      c.fd = -1;
      return;
    }
  }
  while (!c.out.empty()) {
    ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      c.out.erase(0, static_cast<size_t>(n));
    } else {
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        close(c.fd);
        c.fd = -1;
      }
      return;
    }
  }
}

void Sim::ReadStdin() {
  char buf[1024];
  ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    stdin_open_ = false;
    if (!stdin_buf_.empty()) HandleControlLine(stdin_buf_, nullptr);
    stdin_buf_.clear();
    return;
  }
  stdin_buf_.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = stdin_buf_.find('\n')) != std::string::npos) {
    std::string line = stdin_buf_.substr(0, nl);
    stdin_buf_.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    HandleControlLine(line, nullptr);
  }
  if (stdin_buf_.size() > kMaxControlLine) stdin_buf_.clear();
}

int Sim::Run() {
  if (!Setup()) {
    Shutdown();
    return 1;
  }
  std::string saved_nv = o_.nv_file.empty() ? std::string() : printer_.SaveNv();
  int nv_generation = printer_.NvGeneration();
  while (!quit_) {
    printer_.Tick(Now());
    Deliver();
    SaveReceipts();
    if (!o_.nv_file.empty() && printer_.NvGeneration() != nv_generation) {
      nv_generation = printer_.NvGeneration();
      std::string error;
      if (!WriteFileAtomically(o_.nv_file, printer_.SaveNv(), error)) Note(error);
    }
    // A host that has finished sending keeps its connection until the answers to what it sent
    // are out, unless it stops reading them.
    if (tcp_ && tcp_->drop != ConnectionAction::kNone) {
      tcp_.reset();
      continue;
    }
    if (tcp_ && (tcp_->broken ||
                 (tcp_->eof &&
                  ((tcp_->out.empty() && (printer_.Pending() == 0 || !printer_.Processing())) ||
                   std::chrono::steady_clock::now() - tcp_->eof_at > std::chrono::seconds(5))))) {
      CloseLink(*tcp_, tcp_->broken ? "connection broken" : "closed by the host");
      tcp_.reset();
      continue;
    }
    if (o_.once && first_closed_ && (printer_.Pending() == 0 || !printer_.Processing())) break;

    const auto now = std::chrono::steady_clock::now();
    const bool can_read = std::min(printer_.Room(), Allowance()) > 0;
    std::vector<pollfd> fds;
    std::vector<std::function<void(short)>> handlers;
    auto watch = [&](int fd, short events, std::function<void(short)> h) {
      fds.push_back(pollfd{fd, events, 0});
      handlers.push_back(std::move(h));
    };
    std::chrono::steady_clock::time_point wake = now + std::chrono::seconds(1);

    watch(signal_pipe_[0], POLLIN, [this](short) {
      char buf[16];
      while (read(signal_pipe_[0], buf, sizeof buf) > 0) {
      }
      quit_ = true;
    });
    if (listen_fd_ >= 0 && !tcp_) {
      watch(listen_fd_, POLLIN, [this](short) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        Link link;
        link.kind = Kind::kTcp;
        link.fd = fd;
        link.source = next_source_++;
        link.connected = true;
        link.peer = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        JsonLine j = Ev("connect");
        j.Add("src", link.source).Add("via", "tcp").Add("peer", link.peer);
        LogEvent(j);
        tcp_ = std::move(link);
      });
    }
    if (tcp_ && (!tcp_->eof || !tcp_->out.empty())) {
      short ev = static_cast<short>((can_read && !tcp_->eof ? POLLIN : 0) |
                                    (tcp_->out.empty() ? 0 : POLLOUT));
      if (now >= tcp_->retry) {
        watch(tcp_->fd, ev, [this, can_read](short re) {
          if (re & POLLOUT) Flush(*tcp_);
          if (tcp_->eof) return;
          if (re & POLLIN) {
            ReadLink(*tcp_);
          } else if ((re & (POLLHUP | POLLERR)) && !can_read) {
            tcp_->retry = std::chrono::steady_clock::now() + kRetry;
          } else if (re & (POLLHUP | POLLERR)) {
            ReadLink(*tcp_);
          }
        });
      } else {
        wake = std::min(wake, tcp_->retry);
      }
    }
    if (pty_) {
      if (now >= pty_->retry) {
        short ev = static_cast<short>((can_read ? POLLIN : 0) | (pty_->out.empty() ? 0 : POLLOUT));
        watch(pty_->fd, ev, [this, can_read](short re) {
          Link& p = *pty_;
          if (re & POLLOUT) Flush(p);
          if ((re & POLLIN) && can_read) {
            ReadLink(p);
          } else if (re & (POLLHUP | POLLERR)) {
            if (can_read && p.connected) {
              CloseLink(p, "hang-up");
            }
            p.retry = std::chrono::steady_clock::now() + kRetry;
          } else if (!p.connected) {
            // No hang-up reported: the host has the terminal open.
            p.connected = true;
            JsonLine j = Ev("connect");
            j.Add("src", p.source).Add("via", "pty").Add("peer", pty_path_);
            LogEvent(j);
          }
        });
      } else {
        wake = std::min(wake, pty_->retry);
      }
    }
    if (fifo_ && fifo_->fd >= 0) {
      if (now >= fifo_->retry) {
        watch(fifo_->fd, can_read ? POLLIN : 0, [this, can_read](short re) {
          if (can_read && (re & (POLLIN | POLLHUP | POLLERR))) {
            ReadLink(*fifo_);
          } else if (re & (POLLHUP | POLLERR)) {
            fifo_->retry = std::chrono::steady_clock::now() + kRetry;
          }
        });
      } else {
        wake = std::min(wake, fifo_->retry);
      }
    }
    if (file_ && can_read) {
      if (now >= file_->retry) {
        ReadLink(*file_);
        continue;
      }
      wake = std::min(wake, file_->retry);
    }
    if (control_fd_ >= 0) watch(control_fd_, POLLIN, [this](short) { AcceptControl(); });
    for (size_t i = 0; i < control_clients_.size(); ++i) {
      const ControlClient& c = control_clients_[i];
      watch(c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)),
            [this, i](short re) { ServiceControl(control_clients_[i], re); });
    }
    if (stdin_open_) watch(STDIN_FILENO, POLLIN, [this](short) { ReadStdin(); });

    if (auto next = printer_.NextWake()) {
      wake = std::min(
          wake, start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(*next));
    }
    if (o_.baud > 0 && printer_.Room() > 0 && allowance_ < 1.0) {
      const double seconds = (1.0 - allowance_) / (static_cast<double>(o_.baud) / 10.0);
      wake = std::min(wake, now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(seconds)));
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    const int timeout = static_cast<int>(std::clamp<long long>(ms + 1, 0, 1000));

    int r = poll(fds.data(), fds.size(), timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      Note("poll: " + Err());
      break;
    }
    printer_.Tick(Now());
    for (size_t i = 0; i < fds.size(); ++i) {
      // A pty that reports nothing at all has its host on the line; its handler learns that too.
      if (fds[i].revents != 0 || (pty_ && fds[i].fd == pty_->fd)) handlers[i](fds[i].revents);
    }
    std::erase_if(control_clients_, [](const ControlClient& c) { return c.fd < 0; });
  }
  Shutdown();
  return 0;
}

void Sim::Shutdown() {
  printer_.Tick(Now());
  Deliver();
  for (auto* link : {&tcp_, &pty_, &fifo_, &file_}) {
    if (!*link) continue;
    Link& l = **link;
    Flush(l);
    printer_.EndSource(l.source);
    if (l.fd >= 0) close(l.fd);
    l.fd = -1;
  }
  tcp_.reset();
  if (renderer_ != nullptr) {
    printer_.TearOff("printer stopped before a cut");
    SaveReceipts();
  }
  // Every receipt is drawn before the printer says it has stopped.
  StopRendering();
  if (printer_.Pending() > 0) {
    JsonLine j = Ev("unprinted");
    j.Add("bytes", printer_.Pending()).Add("why", "the printer stopped while off line or busy");
    LogEvent(j);
    Note(std::to_string(printer_.Pending()) + " bytes received but not printed (off line or busy)");
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
  for (ControlClient& c : control_clients_) {
    if (c.fd >= 0) close(c.fd);
  }
  control_clients_.clear();
  if (control_fd_ >= 0) {
    close(control_fd_);
    unlink(o_.control.c_str());
    control_fd_ = -1;
  }
  if (!o_.link.empty() && pty_) unlink(o_.link.c_str());
  {
    JsonLine j = Ev("stop");
    LogEvent(j);
  }
  if (log_owned_ && log_ != nullptr) std::fclose(log_);
  log_ = nullptr;
  printer_.SetLog(nullptr);
}

}  // namespace printersim
