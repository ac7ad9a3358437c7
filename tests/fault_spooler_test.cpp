// Faults of spooler ports, against a private CUPS server: a queue that does not exist (yet, or any
// more), and the server stopping in the middle of a document. For each: the error is reported, no
// document the spooler did not accept is reported printed, no text is lost, and printing resumes
// without the host doing anything once the queue or the server is back.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "cups_fixture.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "port_fixture.h"
#include "prnport_test_access.h"

namespace vtl::testing {
namespace {

using platform::Loop;

// A relay on a unix socket between the library and cupsd. Once the bytes of a client contain the
// marker, it calls `cut` (which stops cupsd) and drops that client: the marker is the start of a
// document, so the server goes away in the middle of it. While cupsd is down, clients are dropped
// at once, as cupsd's own socket would refuse them.
class CupsRelay {
 public:
  CupsRelay(std::string target, std::string path) : target_(std::move(target)), path_(path) {
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
    unlink(path_.c_str());
    ok_ = bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listen_, 16) == 0;
    if (pipe2(wake_, O_CLOEXEC) != 0) ok_ = false;
    if (ok_) thread_ = std::thread([this] { Run(); });
  }
  ~CupsRelay() {
    stop_ = true;
    if (thread_.joinable()) {
      const char c = 0;
      if (write(wake_[1], &c, 1) != 1) {
      }
      thread_.join();
    }
    for (auto& p : pairs_) {
      close(p.client);
      if (p.server >= 0) close(p.server);
    }
    close(listen_);
    close(wake_[0]);
    close(wake_[1]);
    unlink(path_.c_str());
  }
  bool Ok() const { return ok_; }
  const std::string& Path() const { return path_; }
  void CutOn(const std::string& marker, std::function<void()> cut) {
    std::lock_guard lock(mutex_);
    marker_ = marker;
    cut_ = std::move(cut);
  }
  bool Cut() const { return cutDone_.load(); }

 private:
  struct Pair {
    int client;
    int server;
    std::string seen;  // the client's last bytes, to find a marker split between reads
  };
  void Run() {
    while (!stop_) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
      for (const Pair& p : pairs_) {
        fds.push_back({p.client, POLLIN, 0});
        fds.push_back({p.server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
      if (fds[0].revents) return;
      std::vector<std::size_t> done;
      for (std::size_t i = 0; i < pairs_.size(); ++i) {
        Pair& p = pairs_[i];
        const short fromClient = fds[2 + 2 * i].revents, fromServer = fds[3 + 2 * i].revents;
        if ((fromClient && !Pass(p, p.client, p.server, true)) ||
            (fromServer && !Pass(p, p.server, p.client, false))) {
          done.push_back(i);
        }
      }
      for (auto it = done.rbegin(); it != done.rend(); ++it) {
        close(pairs_[*it].client);
        close(pairs_[*it].server);
        pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(*it));
      }
      if (fds[1].revents) {
        const int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, target_.c_str(), sizeof a.sun_path - 1);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
          close(s);
          close(c);
          continue;
        }
        pairs_.push_back({c, s, {}});
      }
    }
  }
  // Moves what is waiting on `from` to `to`; false when the pair is finished.
  bool Pass(Pair& p, int from, int to, bool fromClient) {
    char buf[65536];
    const ssize_t n = recv(from, buf, sizeof buf, 0);
    if (n <= 0) return false;
    if (fromClient) {
      std::function<void()> cut;
      {
        std::lock_guard lock(mutex_);
        if (!marker_.empty()) {
          p.seen.append(buf, static_cast<std::size_t>(n));
          if (p.seen.find(marker_) != std::string::npos) {
            cut.swap(cut_);
            marker_.clear();
          } else if (p.seen.size() > marker_.size()) {
            p.seen.erase(0, p.seen.size() - marker_.size());
          }
        }
      }
      if (cut) {
        cut();
        cutDone_ = true;
        return false;  // the document never reaches the server whole
      }
    }
    for (ssize_t at = 0; at < n;) {
      const ssize_t w = send(to, buf + at, static_cast<std::size_t>(n - at), MSG_NOSIGNAL);
      if (w <= 0) return false;
      at += w;
    }
    return true;
  }

  std::string target_, path_;
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cutDone_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::string marker_;
  std::function<void()> cut_;
  std::vector<Pair> pairs_;
};

class SpoolerFault : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cups->Ready());
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    Loop::Current().RunUntil([] { return false; }, 300);
  }
  bool Pump(const std::function<bool()>& cond, std::int64_t ms = 60'000) {
    return Loop::Current().RunUntil(cond, ms);
  }
  bool Printed(std::int32_t id) const {
    return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0;
  }
  void Queue(const std::string& name, bool add) {
    const std::string cmd =
        "CUPS_SERVER=" + cups->Socket() + " /usr/sbin/lpadmin " +
        (add ? "-p " + name + " -E -v 'socket://127.0.0.1:" + std::to_string(collector.Port()) +
                   "/?snmp=false' -m raw"
             : "-x " + name) +
        " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  // Every job the printer behind the queue received, joined.
  std::string Received() {
    std::string all;
    for (const auto& j : collector.Jobs()) all += j;
    return all;
  }

  Collector collector;
  std::unique_ptr<PrivateCups> cups = std::make_unique<PrivateCups>("vtl_queue", collector.Port());
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

TEST_F(SpoolerFault, AMissingQueueHoldsItsTextUntilItExistsAndAQueueRemovedLater) {
  port->InicializarWindows("late_queue");
  const std::int32_t first = port->Imprimir("waits for its queue\n");
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") > 0; }, 1000))
      << "reported at the first tick";
  Pump([] { return false; }, 1500);
  EXPECT_FALSE(Printed(first));
  EXPECT_EQ(port->OutBufferCount(), 21) << "kept";
  bool busy = true, error = false, paper = true;
  port->CheckError(busy, error, paper);
  EXPECT_FALSE(busy);
  EXPECT_TRUE(error);
  EXPECT_FALSE(paper);

  Queue("late_queue", true);
  ASSERT_TRUE(Pump([&] { return Printed(first); }));
  EXPECT_EQ(events.log,
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)", "DatosImpresos(1)"}));
  port->CheckError(busy, error, paper);
  EXPECT_FALSE(error);
  ASSERT_TRUE(collector.WaitFor(1));

  // The queue goes away while the port is open: the next document waits for it the same way.
  Queue("late_queue", false);
  const std::int32_t second = port->Imprimir("after the queue went away\n");
  ASSERT_TRUE(Pump([&] { return events.Count("NuevoEstado(1,0)") == 2; }, 2000));
  Pump([] { return false; }, 1000);
  EXPECT_FALSE(Printed(second));
  Queue("late_queue", true);
  ASSERT_TRUE(Pump([&] { return Printed(second); }));
  ASSERT_TRUE(collector.WaitFor(2));
  EXPECT_EQ(collector.Jobs(),
            (std::vector<std::string>{std::string("waits for its queue\r\n\0", 22),
                                      std::string("after the queue went away\r\n\0", 28)}));
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
  EXPECT_EQ(events.Count("NuevoEstado(0,0)"), 2);
}

TEST_F(SpoolerFault, TheServerStoppingMidDocumentLosesNothingAndPrintingResumesWhenItIsBack) {
  CupsRelay relay(cups->Socket(), cups->Socket() + ".relay");
  ASSERT_TRUE(relay.Ok());
  setenv("CUPS_SERVER", relay.Path().c_str(), 1);
  cupsSetServer(nullptr);
  port->InicializarWindows("vtl_queue");
  ASSERT_TRUE(Pump([&] { return PrnPortTestAccess::Handle(*port) != 0; }));
  const std::int32_t first = port->Imprimir("first\n");
  ASSERT_TRUE(Pump([&] { return Printed(first); }));

  relay.CutOn("MID-DOCUMENT", [&] { cups->Stop(); });
  std::string job = "MID-DOCUMENT\r\n";
  for (int i = 0; i < 4000; ++i) job += "line " + std::to_string(i) + " of a long document\r\n";
  const std::size_t mark = events.log.size();
  const std::int32_t id = port->Imprimir(job);
  ASSERT_TRUE(Pump([&] { return events.log.size() > mark; }));
  ASSERT_TRUE(relay.Cut());
  EXPECT_EQ(events.log.back(), "NuevoEstado(1,0)");
  Pump([] { return false; }, 1500);
  EXPECT_FALSE(Printed(id)) << "the spooler never accepted the document";
  EXPECT_EQ(port->OutBufferCount(), static_cast<std::int32_t>(job.size()));
  EXPECT_EQ(events.log.size(), mark + 1) << "the error is reported once";

  ASSERT_TRUE(cups->Start());
  setenv("CUPS_SERVER", relay.Path().c_str(), 1);
  cupsSetServer(nullptr);
  ASSERT_TRUE(Pump([&] { return Printed(id); }));
  EXPECT_EQ(std::vector<std::string>(events.log.begin() + static_cast<std::ptrdiff_t>(mark),
                                     events.log.end()),
            (std::vector<std::string>{"NuevoEstado(1,0)", "NuevoEstado(0,0)",
                                      "DatosImpresos(" + std::to_string(id) + ")"}));
  ASSERT_TRUE(collector.WaitFor(2));
  ASSERT_TRUE(Pump([&] { return Received().find(job + '\0') != std::string::npos; }))
      << "the whole document, once the server is back";
  Pump([] { return false; }, 1000);
  EXPECT_EQ(events.Count("DatosImpresos"), 2);
}

}  // namespace
}  // namespace vtl::testing
