// The virtual printer program as a child process, for tests that want the real thing on the other
// end of a TCP connection: a free port on 127.0.0.1, a folder of its own for receipts and its
// JSON-lines log, and its control socket for changing paper, cover, replies and the connection
// while it runs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifdef PRINTER_SIM_EXE

extern char** environ;

namespace vtl::testing {

class PrinterProcess {
 public:
  explicit PrinterProcess(const std::vector<std::string>& extra = {}) {
    char tmpl[] = "/tmp/vtl-printer-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;
    control_ = dir_ + "/ctl";
    std::vector<std::string> args = {
        PRINTER_SIM_EXE, "--port", "0",    "--out",  dir_,         "--log",  dir_ + "/log.jsonl",
        "--control",     control_, "--nv", NvFile(), "--no-stdin", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (posix_spawn(&pid_, PRINTER_SIM_EXE, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
    if (pid_ <= 0) return;
    const std::string listening = ReadLine();
    const std::string prefix = "listening on 127.0.0.1:";
    if (listening.rfind(prefix, 0) == 0) port_ = std::atoi(listening.c_str() + prefix.size());
    std::string line = ReadLine();
    if (line.rfind("pty ", 0) == 0) {  // with --pty among the extra arguments
      pty_ = line.substr(4);
      line = ReadLine();
    }
    ok_ = port_ > 0 && line == "control " + control_;
  }
  ~PrinterProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
          kill(pid_, SIGKILL);
          waitpid(pid_, nullptr, 0);
          break;
        }
        poll(nullptr, 0, 5);
      }
    }
    if (out_ >= 0) close(out_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  PrinterProcess(const PrinterProcess&) = delete;
  PrinterProcess& operator=(const PrinterProcess&) = delete;

  bool Ok() const { return ok_; }
  int Port() const { return port_; }
  const std::string& Dir() const { return dir_; }
  // The pseudo-terminal a host opens as a serial port, when started with --pty.
  const std::string& Pty() const { return pty_; }
  // Where the printer keeps its NV images (written whenever they change).
  std::string NvFile() const { return dir_ + "/nv.bin"; }

  // One operator command ("paper out", "mute", "hang up", ...); the printer's one-line answer.
  // The command has taken effect when the answer is back.
  std::string Control(const std::string& line) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, control_.c_str(), sizeof a.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd);
      return "connect failed";
    }
    const std::string msg = line + "\n";
    if (send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(msg.size())) {
      close(fd);
      return "send failed";
    }
    std::string reply;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (reply.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c[256];
      const ssize_t n = recv(fd, c, sizeof c, 0);
      if (n <= 0) break;
      reply.append(c, static_cast<std::size_t>(n));
    }
    close(fd);
    if (!reply.empty() && reply.back() == '\n') reply.pop_back();
    return reply;
  }

  std::string Log() const {
    std::ifstream f(dir_ + "/log.jsonl", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Every byte the printer received, connection by connection (in the order they came).
  std::vector<std::string> Received() const {
    std::map<int, std::string> bySource;
    std::vector<int> order;
    for (const std::string& line : Lines("rx")) {
      const int src = std::atoi(Field(line, "src").c_str());
      if (!bySource.count(src)) order.push_back(src);
      bySource[src] += FromHex(Field(line, "hex"));
    }
    std::vector<std::string> out;
    for (int src : order) out.push_back(bySource[src]);
    return out;
  }
  std::string AllReceived() const {
    std::string all;
    for (const auto& c : Received()) all += c;
    return all;
  }
  // The text runs the printer printed, in order (one run per line of plain text).
  std::vector<std::string> Printed() const {
    std::vector<std::string> out;
    for (const std::string& line : Lines("text")) out.push_back(Field(line, "text"));
    return out;
  }
  int Count(const std::string& event) const { return static_cast<int>(Lines(event).size()); }

 private:
  std::vector<std::string> Lines(const std::string& event) const {
    std::vector<std::string> out;
    std::istringstream in(Log());
    const std::string tag = "\"ev\":\"" + event + "\"";
    for (std::string line; std::getline(in, line);) {
      if (line.find(tag) != std::string::npos) out.push_back(line);
    }
    return out;
  }
  // A number, or a string without escapes other than \" and \\ (the tests print plain text).
  static std::string Field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    std::size_t p = line.find(tag);
    if (p == std::string::npos) return "";
    p += tag.size();
    if (line[p] != '"') return line.substr(p, line.find_first_of(",}", p) - p);
    std::string value;
    for (++p; p < line.size() && line[p] != '"'; ++p) {
      if (line[p] == '\\' && p + 1 < line.size()) ++p;
      value += line[p];
    }
    return value;
  }
  static std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
  }
  std::string ReadLine() {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char c;
      if (read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }

  std::string dir_;
  std::string control_;
  std::string pty_;
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = -1;
  bool ok_ = false;
};

}  // namespace vtl::testing

#endif  // PRINTER_SIM_EXE
