// A network printer on loopback for the LAN channel's tests: it accepts connections, records
// every byte per connection and answers each status request DLE EOT 2 with one status byte, or
// passes the bytes to the virtual printer's model when asked to.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "objects/prnport.h"
#include "platform/loop.h"
#include "platform/winsock.h"
#include "port_fixture.h"
#include "prnport_test_access.h"

namespace vtl::testing {

inline const std::string kDleEot2{'\x10', '\x04', '\x02'};

class LoopbackPrinter : public SocketEventSink {
 public:
  LoopbackPrinter() {
    cb_->Advise(this);
    listener_ = clsSocket::Create();
    listener_->Inicializar(cb_);
    listener_->Bind(0, "127.0.0.1");
    listener_->Listen();
  }
  ~LoopbackPrinter() override { cb_->Unadvise(this); }

  std::int32_t Port() const { return listener_->LocalPort(); }
  // Replies to each status request; empty: the printer never answers.
  std::string status{'\x12'};
  // Replaces the status answer: gets the bytes of one read, returns what to send back.
  std::function<std::string(const std::string&)> model;
  // Runs after every read, with the connection's bytes so far.
  std::function<void(LoopbackPrinter&, const std::string&)> afterRead;

  std::vector<std::string> connections;
  int closes = 0;

  void Send(const std::string& bytes) {
    if (conn_) conn_->SendData(bytes);
  }
  void CloseConnection() {
    if (conn_) conn_->CloseSocket();
  }
  // Drops the connection with unread data still queued, which the system turns into a reset.
  void ResetConnection() { conn_.reset(); }
  int Requests(std::size_t i) const { return Count(connections.at(i), kDleEot2); }
  static int Count(const std::string& s, const std::string& what) {
    int n = 0;
    for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + what.size())) ++n;
    return n;
  }
  // Every connection's bytes with the status requests taken out.
  std::string Text() const {
    std::string all;
    for (const auto& c : connections) all += c;
    std::string out;
    for (std::size_t i = 0; i < all.size();) {
      if (all.compare(i, 3, kDleEot2) == 0) {
        i += 3;
      } else {
        out += all[i++];
      }
    }
    return out;
  }

  void OnConnectionRequest(std::int32_t&, std::int32_t& id) override {
    conn_ = clsSocket::Create();
    conn_->Inicializar(cb_);
    connections.emplace_back();
    scanned_ = 0;
    bool error = false;
    conn_->Accept(id, error);
  }
  void OnDataArrival(std::int32_t&, std::int32_t&) override {
    if (!conn_) return;
    SocketValue v;
    conn_->GetData(v);
    if (v.image.empty()) return;
    std::string& all = connections.back();
    all += v.image;
    if (model) {
      const std::string reply = model(v.image);
      if (!reply.empty()) conn_->SendData(reply);
    } else if (!status.empty()) {
      // Requests may be split across reads: scan from where the last scan could not decide.
      std::string reply;
      std::size_t from = scanned_;
      for (auto p = all.find(kDleEot2, from); p != std::string::npos;
           p = all.find(kDleEot2, p + 3)) {
        reply += status;
        from = p + 3;
      }
      scanned_ = std::max(from, all.size() >= 2 ? all.size() - 2 : 0);
      if (!reply.empty()) conn_->SendData(reply);
    }
    if (afterRead) afterRead(*this, all);
  }
  void OnClose(std::int32_t&) override { ++closes; }

 private:
  std::shared_ptr<clsSocketCB> cb_ = std::make_shared<clsSocketCB>();
  std::shared_ptr<clsSocket> listener_;
  std::shared_ptr<clsSocket> conn_;
  std::size_t scanned_ = 0;
};

// Pumps until cond() holds, within ms on the loop's manual clock. A peer that sends nothing back
// acknowledges what it receives only after the system's delay, in real time: while the port's
// connected printer still owes acknowledgements, time does not jump, so that rules counted from
// an acknowledged request see the printer as it would be seen in real time.
inline bool RunUntilAcknowledged(const std::weak_ptr<clsPrnPort>& port,
                                 const std::function<bool()>& cond, std::int64_t ms) {
  platform::Loop& loop = platform::Loop::Current();
  const std::int64_t deadline = loop.Now() + std::max<std::int64_t>(ms, 0);
  const auto realEnd = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    while (loop.DoEvents()) {
      if (cond()) return true;
    }
    if (cond()) return true;
    if (loop.Now() >= deadline || std::chrono::steady_clock::now() > realEnd) return false;
    bool owed = false;
    if (auto p = port.lock(); p && PrnPortTestAccess::ConectadaRed(*p)) {
      auto socket = PrnPortTestAccess::SocketRed(*p);
      owed = socket && socket->UnacknowledgedBytes() > 0;
    }
    if (owed) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      continue;
    }
    const std::int64_t next = loop.NextTimerIn();
    loop.Advance(std::clamp<std::int64_t>(next < 0 ? 10 : next, 1, deadline - loop.Now()));
  }
}

// A port object against the loopback printer, pumped on the loop's manual clock.
class LoopbackPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::Loop::Current().UseManualClock(true);
    port = clsPrnPort::Create();
    port->Advise(&events);
  }
  void TearDown() override {
    port.reset();
    printer.reset();
    platform::SetHostResolver(nullptr);
    platform::Loop::Current().RunUntil([] { return false; }, 1000);
    platform::Loop::Current().UseManualClock(false);
  }
  void Open(const std::string& host = "127.0.0.1") { port->InicializarRed(host, printer->Port()); }
  bool Pump(const std::function<bool()>& cond, std::int64_t ms = 120'000) {
    return RunUntilAcknowledged(port, cond, ms);
  }
  bool Printed(std::int32_t id) {
    return Pump([&] { return events.Count("DatosImpresos(" + std::to_string(id) + ")") > 0; });
  }

  std::unique_ptr<LoopbackPrinter> printer = std::make_unique<LoopbackPrinter>();
  std::shared_ptr<clsPrnPort> port;
  Recorder events;
};

}  // namespace vtl::testing
