// A private CUPS server for spooler tests: its own configuration, spool and socket in a temporary
// folder, never the machine's own spooler. A raw queue sends each job to a loopback port where a
// collector keeps the bytes of every connection.
#pragma once

#include <arpa/inet.h>
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vtl::testing {

// Accepts connections on 127.0.0.1 and keeps what each one sent.
class Collector {
 public:
  Collector() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 8);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Collector() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int Port() const { return port_; }
  std::vector<std::string> Jobs() {
    std::lock_guard lock(mutex_);
    return jobs_;
  }
  // Waits (bounded) until `count` connections have ended.
  bool WaitFor(std::size_t count, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      if (Jobs().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

 private:
  void Run() {
    while (!stop_) {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string data;
      char buf[65536];
      ssize_t n;
      while ((n = recv(c, buf, sizeof buf, 0)) > 0) data.append(buf, static_cast<std::size_t>(n));
      close(c);
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(data));
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> jobs_;
};

class PrivateCups {
 public:
  // Starts cupsd and adds the raw queue `queue` aimed at 127.0.0.1:`port`.
  PrivateCups(const std::string& queue, int port)
      : PrivateCups(queue, "socket://127.0.0.1:" + std::to_string(port) + "/?snmp=false", "") {}
  // A raw queue on device `uri`; with `backend`, that program is the server's only backend,
  // under its own name, in a folder of programs of the server's own (never the system's).
  PrivateCups(const std::string& queue, const std::string& uri, const std::string& backend) {
    char tmpl[] = "/tmp/vtl-cups-XXXXXX";
    dir_ = mkdtemp(tmpl);
    chmod(dir_.c_str(), 0755);
    for (const char* sub : {"spool", "tmp", "cache", "state", "log", "ppd"}) {
      mkdir((dir_ + "/" + sub).c_str(), 0755);
    }
    socket_ = dir_ + "/cups.sock";
    std::string serverBin = "/usr/lib/cups";
    if (!backend.empty()) {
      serverBin = dir_ + "/bin";
      mkdir(serverBin.c_str(), 0755);
      mkdir((serverBin + "/backend").c_str(), 0755);
      for (const char* sub : {"daemon", "filter", "cgi-bin", "notifier", "monitor", "driver"}) {
        if (symlink((std::string("/usr/lib/cups/") + sub).c_str(),
                    (serverBin + "/" + sub).c_str()) != 0) {
          return;
        }
      }
      const std::string name = backend.substr(backend.rfind('/') + 1);
      const std::string copy = serverBin + "/backend/" + name;
      std::ifstream in(backend, std::ios::binary);
      std::ofstream(copy, std::ios::binary) << in.rdbuf();
      // 0700: cupsd runs it as its own user, as an installed one runs as root.
      chmod(copy.c_str(), 0700);
    }
    std::ofstream(dir_ + "/cupsd.conf")
        << "Listen " << socket_ << "\nLogLevel warn\nBrowsing Off\nWebInterface No\n"
        << "Printcap " << dir_ << "/printcap\nDefaultAuthType None\n"
        << "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
        << "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
        << "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
    std::ofstream(dir_ + "/cups-files.conf")
        << "ServerRoot " << dir_ << "\nRequestRoot " << dir_ << "/spool\nTempDir " << dir_
        << "/tmp\nCacheDir " << dir_ << "/cache\nStateDir " << dir_ << "/state\nErrorLog " << dir_
        << "/log/error_log\nAccessLog " << dir_ << "/log/access_log\nPageLog " << dir_
        << "/log/page_log\nServerBin " << serverBin << "\nDataDir /usr/share/cups\n";
    if (!Start()) return;
    const std::string cmd = "CUPS_SERVER=" + socket_ + " /usr/sbin/lpadmin -p " + queue +
                            " -E -v '" + uri + "' -m raw 2>/dev/null";
    ready_ = std::system(cmd.c_str()) == 0;
  }
  ~PrivateCups() {
    Stop();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  // Stops the server as the system would (it keeps its queues for the next start); Start() brings
  // it back on the same socket.
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  bool Start() {
    if (pid_ > 0) return true;
    const std::string conf = dir_ + "/cupsd.conf", files = dir_ + "/cups-files.conf";
    std::vector<std::string> args = {"cupsd", "-f", "-c", conf, "-s", files};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, "/usr/sbin/cupsd", nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      return false;
    }
    setenv("CUPS_SERVER", socket_.c_str(), 1);
    cupsSetServer(nullptr);  // forget any server an earlier test remembered
    return WaitForServer();
  }
  bool Ready() const { return ready_; }
  const std::string& Socket() const { return socket_; }

  // Asks the spooler to do `op` to the queue, or to one of its jobs; true when it did.
  bool Do(ipp_op_t op, const std::string& queue, int job = 0) {
    http_t* http = httpConnect2(socket_.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                5000, nullptr);
    if (!http) return false;
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 631,
                     "/printers/%s", queue.c_str());
    ipp_t* request = ippNewRequest(op);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    if (job > 0) ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippDelete(cupsDoRequest(http, request, "/"));
    httpClose(http);
    return cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE;
  }
  // The queue's state and reasons, as `lpstat -l -p` shows them.
  std::string Lpstat(const std::string& queue) {
    std::string out;
    const std::string cmd = "CUPS_SERVER=" + socket_ + " /usr/bin/lpstat -l -p " + queue;
    if (FILE* f = popen(cmd.c_str(), "r")) {
      char buf[512];
      while (std::fgets(buf, sizeof buf, f)) out += buf;
      pclose(f);
    }
    return out;
  }
  // The numbers of the queue's jobs not yet finished, oldest first.
  std::vector<int> ActiveJobs(const std::string& queue) {
    std::vector<int> ids;
    http_t* http = httpConnect2(socket_.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                5000, nullptr);
    if (!http) return ids;
    cups_job_t* jobs = nullptr;
    const int n = cupsGetJobs2(http, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ACTIVE);
    for (int i = 0; i < n; ++i) ids.push_back(jobs[i].id);
    cupsFreeJobs(n, jobs);
    httpClose(http);
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  // Titles of the queue's jobs, in the order the spooler took them.
  std::vector<std::string> JobTitles(const std::string& queue) {
    std::vector<std::string> titles;
    http_t* http = httpConnect2(socket_.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                5000, nullptr);
    if (!http) return titles;
    cups_job_t* jobs = nullptr;
    const int n = cupsGetJobs2(http, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ALL);
    for (int i = 0; i < n; ++i) titles.push_back(jobs[i].title ? jobs[i].title : "");
    cupsFreeJobs(n, jobs);
    httpClose(http);
    return titles;
  }

 private:
  bool WaitForServer() {
    for (int i = 0; i < 1500; ++i) {
      http_t* http = httpConnect2(socket_.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                  1000, nullptr);
      if (http) {
        httpClose(http);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string dir_, socket_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace vtl::testing
