// The printer-sim program driven as a host would: over TCP, a pseudo-terminal and a FIFO it
// creates itself, with its control socket and standard input. Nothing else is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 10000;

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

bool WaitFor(const std::function<bool()>& condition, int timeout_ms = kWaitMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < end) {
    if (condition()) return true;
    poll(nullptr, 0, 10);
  }
  return condition();
}

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/printersim-test-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path operator/(const std::string& name) const { return fs::path(path_) / name; }
  std::string str() const { return path_; }

 private:
  std::string path_;
};

// The program under test, with its standard output read line by line and its standard input
// held open for control commands.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args) {
    int out[2];
    int in[2];
    if (pipe(out) != 0 || pipe(in) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(in[0], STDIN_FILENO);
      close(out[0]);
      close(out[1]);
      close(in[0]);
      close(in[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(PRINTER_SIM_EXE));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(PRINTER_SIM_EXE, argv.data());
      _exit(127);
    }
    close(out[1]);
    close(in[0]);
    out_ = out[0];
    in_ = in[1];
    fcntl(out_, F_SETFL, O_NONBLOCK);
  }
  ~SimProcess() {
    if (in_ >= 0) close(in_);
    if (pid_ > 0 && exit_code_ == kRunning) {
      kill(pid_, SIGTERM);
      if (Wait(5000) == kRunning) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (out_ >= 0) close(out_);
  }

  static constexpr int kRunning = -1000;

  // Next line of standard output, or "" when none came in time.
  std::string ReadLine(int timeout_ms = kWaitMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        all_ += line + "\n";
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0 || !Fill(static_cast<int>(left.count()))) return "";
    }
  }
  // Everything printed so far (and whatever arrives within timeout_ms).
  std::string Output(int timeout_ms = 0) {
    while (Fill(timeout_ms)) {
    }
    return all_ + buf_;
  }
  void Stdin(const std::string& text) {
    ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  int Wait(int timeout_ms) {
    if (exit_code_ != kRunning) return exit_code_;
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        return exit_code_;
      }
      poll(nullptr, 0, 10);
    } while (Clock::now() < end);
    return kRunning;
  }

 private:
  bool Fill(int timeout_ms) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char chunk[4096];
    ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buf_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  int exit_code_ = kRunning;
  std::string buf_;
  std::string all_;
};

int ConnectTcp(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, const std::string& data) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    ASSERT_GT(n, 0) << std::strerror(errno);
    at += static_cast<size_t>(n);
  }
}

void WriteAll(int fd, const std::string& data) {
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = write(fd, data.data() + at, data.size() - at);
    ASSERT_GT(n, 0) << std::strerror(errno);
    at += static_cast<size_t>(n);
  }
}

// Exactly n bytes from fd, or fewer if they do not come in time.
std::string ReadBytes(int fd, size_t n, int timeout_ms = kWaitMs) {
  std::string out;
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[256];
    ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

std::string Control(const fs::path& socket_path, const std::string& line) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, socket_path.c_str(), sizeof a.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return "connect failed";
  }
  std::string msg = line + "\n";
  send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    std::string more = ReadBytes(fd, 1);
    if (more.empty()) break;
    reply += more;
  }
  close(fd);
  if (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

int PortFrom(const std::string& first_line) {
  const std::string prefix = "listening on 127.0.0.1:";
  if (first_line.rfind(prefix, 0) != 0) return -1;
  return std::atoi(first_line.c_str() + prefix.size());
}

// A running printer on a free TCP port with its own output directory and control socket.
struct TcpPrinter {
  explicit TcpPrinter(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--port",    "0",
                                     "--out",     dir.str(),
                                     "--log",     (dir / "log.jsonl").string(),
                                     "--control", (dir / "ctl").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<SimProcess>(args);
    port = PortFrom(sim->ReadLine());
    EXPECT_GT(port, 0);
    EXPECT_EQ(sim->ReadLine(), "control " + (dir / "ctl").string());
  }
  std::string Log() const { return ReadFile(dir / "log.jsonl"); }
  TempDir dir;
  std::unique_ptr<SimProcess> sim;
  int port = -1;
};

TEST(Program, HelpDocumentsOptionsCommandsAndBits) {
  SimProcess sim({"--help"});
  EXPECT_EQ(sim.Wait(kWaitMs), 0);
  const std::string help = sim.Output(1000);
  for (const char* s : {"--port",         "--pty",
                        "--link",         "--fifo",
                        "--baud",         "--print-speed",
                        "--insist-baud",  "--out",
                        "--control",      "--once",
                        "paper near-end", "cover closed",
                        "drawer closed",  "error clear",
                        "busy",           "ready",
                        "mute",           "unmute",
                        "hang up",        "reset",
                        "quit",           "bit 2 set = closed"}) {
    EXPECT_NE(help.find(s), std::string::npos) << s;
  }
}

TEST(Program, RejectsBadOptions) {
  SimProcess a({"--port", "70000"});
  EXPECT_EQ(a.Wait(kWaitMs), 2);
  SimProcess b({"--frobnicate"});
  EXPECT_EQ(b.Wait(kWaitMs), 2);
}

TEST(Program, PrintsOverTcpAsTextAndPngAndAnswers) {
  TcpPrinter p;
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  SendAll(fd, B({0x1b, '@', 0x1b, 'a', 1, 0x1b, '!', 0x30}) + "CAFE\n" +
                  B({0x1b, '!', 0, 0x1b, 'a', 0}) + "Coffee 1.50\n" +
                  B({0x1d, 'V', 66, 0, 0x10, 4, 1, 0x1d, 'r', 2}));
  EXPECT_EQ(ReadBytes(fd, 2), B({0x16, 0x01}));
  ASSERT_TRUE(WaitFor([&] { return fs::exists(p.dir / "receipt-0001.png"); }));
  const std::string text = ReadFile(p.dir / "receipt-0001.txt");
  EXPECT_NE(text.find("{2w,2h}CAFE{/}\nCoffee 1.50\n--8<-- partial cut"), std::string::npos)
      << text;
  EXPECT_EQ(ReadFile(p.dir / "receipt-0001.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_TRUE(WaitFor([&] { return p.sim->Output().find("Coffee 1.50") != std::string::npos; }));

  EXPECT_EQ(Control(p.dir / "ctl", "paper out"), "ok");
  SendAll(fd, B({0x10, 4, 4, 0x10, 4, 2}));
  EXPECT_EQ(ReadBytes(fd, 2), B({0x7E, 0x32}));
  EXPECT_NE(Control(p.dir / "ctl", "status").find("\"paper\":\"out\""), std::string::npos);
  EXPECT_EQ(Control(p.dir / "ctl", "paper sideways").rfind("error: unknown command", 0), 0u);
  close(fd);
  const std::string log = p.Log();
  EXPECT_NE(log.find("\"ev\":\"reply\",\"src\":1,\"to\":\"DLE EOT 1\",\"hex\":\"16\""),
            std::string::npos);
  EXPECT_NE(log.find("\"ev\":\"cmd\",\"src\":1,\"cmd\":\"GS V\",\"args\":[66,0]"),
            std::string::npos);
}

TEST(Program, AutomaticStatusBackFollowsControlCommands) {
  TcpPrinter p;
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  SendAll(fd, B({0x1d, 'a', 3}));
  EXPECT_EQ(ReadBytes(fd, 4), B({0x14, 0, 0, 0}));
  EXPECT_EQ(Control(p.dir / "ctl", "drawer open"), "ok");
  EXPECT_EQ(ReadBytes(fd, 4), B({0x10, 0, 0, 0}));
  EXPECT_EQ(Control(p.dir / "ctl", "offline"), "ok");
  EXPECT_EQ(ReadBytes(fd, 4), B({0x18, 0, 0, 0}));
  EXPECT_EQ(Control(p.dir / "ctl", "online"), "ok");
  EXPECT_EQ(Control(p.dir / "ctl", "drawer closed"), "ok");
  EXPECT_EQ(ReadBytes(fd, 8), B({0x10, 0, 0, 0, 0x14, 0, 0, 0}));
  close(fd);
}

TEST(Program, ServesConnectionsOneAfterAnotherAndSurvivesAHalfSentCommand) {
  TcpPrinter p;
  int first = ConnectTcp(p.port);
  ASSERT_GE(first, 0);
  SendAll(first, "first\n" + B({0x1c, 'q', 1, 4, 0, 4, 0}) + std::string(50, '\x55'));
  close(first);
  int second = ConnectTcp(p.port);
  ASSERT_GE(second, 0);
  SendAll(second, "second\n" + B({0x1d, 'V', 0, 0x10, 4, 1}));
  EXPECT_EQ(ReadBytes(second, 1), B({0x16}));
  close(second);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(p.dir / "receipt-0001.txt"); }));
  // What the first host left half-sent is marked where it stood, and the second host's text
  // follows.
  EXPECT_EQ(ReadFile(p.dir / "receipt-0001.txt").substr(0, 54),
            "first\n[bad: truncated FS q (57 bytes received)]second\n");
  EXPECT_NE(p.Log().find("truncated FS q (57 bytes received)"), std::string::npos);
  for (int i = 0; i < 3; ++i) {
    int fd = ConnectTcp(p.port);
    SendAll(fd, B({0x10, 4, 2}));
    EXPECT_EQ(ReadBytes(fd, 1), B({0x12})) << "connection " << i;
    close(fd);
  }
}

TEST(Program, StandardInputTakesControlCommands) {
  TcpPrinter p;
  p.sim->Stdin("cover open\n");
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  std::string reply;
  ASSERT_TRUE(WaitFor([&] {
    SendAll(fd, B({0x10, 4, 2}));
    reply = ReadBytes(fd, 1);
    return reply == B({0x16});
  }));
  p.sim->Stdin("status\n");
  EXPECT_TRUE(
      WaitFor([&] { return p.sim->Output().find("\"cover\":\"open\"") != std::string::npos; }));
  p.sim->Stdin("quit\n");
  EXPECT_EQ(p.sim->Wait(kWaitMs), 0);
  close(fd);
}

TEST(Program, OnceExitsAfterTheFirstConnectionAndKeepsWhatWasNotCut) {
  TcpPrinter p({"--once"});
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  SendAll(fd, "cut\n" + B({0x1d, 'V', 1}) + "uncut\n");
  close(fd);
  EXPECT_EQ(p.sim->Wait(kWaitMs), 0);
  EXPECT_NE(ReadFile(p.dir / "receipt-0001.txt").find("cut\n--8<-- partial cut"),
            std::string::npos);
  EXPECT_NE(ReadFile(p.dir / "receipt-0002.txt").find("uncut\n--8<-- not cut"), std::string::npos);
  EXPECT_TRUE(fs::exists(p.dir / "receipt-0002.png"));
}

TEST(Program, TheOperatorMutesTheReplies) {
  TcpPrinter p;
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Control(p.dir / "ctl", "mute"), "ok");
  SendAll(fd, B({0x10, 4, 2}) + "still printed\n" + B({0x1d, 'V', 66, 0}));
  ASSERT_TRUE(WaitFor([&] { return fs::exists(p.dir / "receipt-0001.txt"); }));
  EXPECT_EQ(ReadBytes(fd, 1, 200), "") << "no reply while muted";
  EXPECT_NE(Control(p.dir / "ctl", "status").find("\"mute\":true"), std::string::npos);
  EXPECT_EQ(Control(p.dir / "ctl", "unmute"), "ok");
  SendAll(fd, B({0x10, 4, 2}));
  EXPECT_EQ(ReadBytes(fd, 1), B({0x12}));
  close(fd);
}

TEST(Program, TheOperatorHangsUpOrResetsTheHostsConnection) {
  TcpPrinter p;
  EXPECT_EQ(Control(p.dir / "ctl", "hang up"), "error: no host is connected over TCP");
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  SendAll(fd, "before\n" + B({0x10, 4, 2}));
  EXPECT_EQ(ReadBytes(fd, 1), B({0x12}));
  EXPECT_EQ(Control(p.dir / "ctl", "hang up"), "ok");
  char c;
  pollfd pf{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, kWaitMs), 1);
  EXPECT_EQ(recv(fd, &c, 1, 0), 0) << "an orderly end: " << std::strerror(errno);
  close(fd);

  // The next host is served; a reset ends its connection abortively.
  fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  SendAll(fd, B({0x10, 4, 2}));
  EXPECT_EQ(ReadBytes(fd, 1), B({0x12}));
  EXPECT_EQ(Control(p.dir / "ctl", "reset"), "ok");
  pf = pollfd{fd, POLLIN, 0};
  ASSERT_EQ(poll(&pf, 1, kWaitMs), 1);
  EXPECT_EQ(recv(fd, &c, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  close(fd);
  EXPECT_NE(p.Log().find("\"why\":\"hung up by the operator\""), std::string::npos);
  EXPECT_NE(p.Log().find("\"why\":\"reset by the operator\""), std::string::npos);
}

TEST(Program, BusyPrinterPushesBackButAnswersRealtimeRequests) {
  TcpPrinter p;
  EXPECT_EQ(Control(p.dir / "ctl", "busy"), "ok");
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  SendAll(fd, B({0x10, 4, 1}));
  EXPECT_EQ(ReadBytes(fd, 1), B({0x16}));
  // One long command that prints nothing: 4 MB of data skipped by its length.
  const size_t payload = 4 << 20;
  std::string job = B({0x1d, '8', 'L', 0, 0, 0x40, 0}) + std::string(payload, 'z');
  fcntl(fd, F_SETFL, O_NONBLOCK);
  size_t sent = 0;
  while (sent < job.size()) {
    ssize_t n = send(fd, job.data() + sent, job.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      ASSERT_EQ(errno, EAGAIN);
      pollfd pf{fd, POLLOUT, 0};
      if (poll(&pf, 1, 300) == 0) break;  // the printer has stopped taking bytes
      continue;
    }
    sent += static_cast<size_t>(n);
  }
  EXPECT_LT(sent, job.size());
  EXPECT_NE(Control(p.dir / "ctl", "status").find("\"pending\":4096"), std::string::npos);
  EXPECT_EQ(Control(p.dir / "ctl", "ready"), "ok");
  SendAll(fd, job.substr(sent) + B({0x10, 4, 1}));
  EXPECT_EQ(ReadBytes(fd, 1), B({0x16}));
  close(fd);
}

double SecondsUntilReply(int fd, const std::string& job, size_t reply_bytes) {
  const auto start = Clock::now();
  SendAll(fd, job);
  EXPECT_EQ(ReadBytes(fd, reply_bytes).size(), reply_bytes);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Program, BaudRateLimitsTheIntake) {
  TcpPrinter p({"--baud", "19200"});
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  // 960 bytes at 1920 bytes a second take half a second before the request is even read.
  std::string job;
  for (int i = 0; i < 24; ++i) job += std::string(39, static_cast<char>('a' + i % 26)) + "\n";
  EXPECT_GE(SecondsUntilReply(fd, job + B({0x10, 4, 1}), 1), 0.4);
  close(fd);
}

TEST(Program, PrintSpeedLimitsTheLines) {
  TcpPrinter p({"--print-speed", "50"});
  int fd = ConnectTcp(p.port);
  ASSERT_GE(fd, 0);
  std::string job;
  for (int i = 0; i < 26; ++i) job += "line " + std::to_string(i) + "\n";
  // GS r waits its turn behind 26 lines at 50 a second.
  EXPECT_GE(SecondsUntilReply(fd, job + B({0x1d, 'r', 1}), 1), 0.4);
  close(fd);
}

int OpenSerial(const std::string& path, speed_t speed) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

TEST(Program, PseudoTerminalIsASerialPrinter) {
  TempDir dir;
  const std::string link = (dir / "ttyPRINTER").string();
  SimProcess sim({"--pty", "--link", link, "--out", dir.str(), "--no-stdin"});
  const std::string first = sim.ReadLine();
  ASSERT_EQ(first.rfind("pty /dev/pts/", 0), 0u) << first;
  EXPECT_EQ(fs::read_symlink(link).string(), first.substr(4));
  for (int session = 0; session < 2; ++session) {
    int fd = OpenSerial(link, B9600);
    ASSERT_GE(fd, 0);
    WriteAll(fd, "serial " + std::to_string(session) + "\n" + B({0x1d, 'V', 0, 0x10, 4, 1}));
    EXPECT_EQ(ReadBytes(fd, 1), B({0x16})) << "session " << session;
    close(fd);
    const fs::path receipt = dir / ("receipt-000" + std::to_string(session + 1) + ".txt");
    ASSERT_TRUE(WaitFor([&] { return fs::exists(receipt); }));
    EXPECT_EQ(ReadFile(receipt).substr(0, 9), "serial " + std::to_string(session) + "\n");
  }
}

TEST(Program, InsistedSpeedTurnsOtherSpeedsIntoNoise) {
  TempDir dir;
  SimProcess sim({"--pty", "--insist-baud", "19200", "--out", dir.str(), "--no-stdin", "--log",
                  (dir / "log.jsonl").string()});
  const std::string first = sim.ReadLine();
  ASSERT_EQ(first.rfind("pty ", 0), 0u) << first;
  const std::string path = first.substr(4);

  int wrong = OpenSerial(path, B9600);
  ASSERT_GE(wrong, 0);
  WriteAll(wrong, B({0x1d, 'r', 2, 0x10, 4, 1}));
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFile(dir / "log.jsonl").find("\"ev\":\"noise\"") != std::string::npos; }));
  EXPECT_EQ(ReadBytes(wrong, 1, 200), "");
  close(wrong);

  int right = OpenSerial(path, B19200);
  ASSERT_GE(right, 0);
  WriteAll(right, B({0x1d, 'r', 2, 0x10, 4, 1}));
  EXPECT_EQ(ReadBytes(right, 2), B({0x01, 0x16}));
  close(right);
}

TEST(Program, FifoIsAParallelPort) {
  TempDir dir;
  const std::string fifo = (dir / "lpt").string();
  SimProcess sim({"--fifo", fifo, "--out", dir.str(), "--no-stdin"});
  ASSERT_EQ(sim.ReadLine(), "fifo " + fifo);
  for (int job = 1; job <= 2; ++job) {
    int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    WriteAll(fd, "parallel " + std::to_string(job) + "\n" + B({0x1b, 'i'}));
    close(fd);
    const fs::path receipt = dir / ("receipt-000" + std::to_string(job) + ".txt");
    ASSERT_TRUE(WaitFor([&] { return fs::exists(receipt); }));
    EXPECT_EQ(ReadFile(receipt).substr(0, 11), "parallel " + std::to_string(job) + "\n");
  }
}

}  // namespace
