// A network printer that answers with arbitrary bytes: the fuzz input is a job and then the
// printer's replies, cut into reads, sent over loopback TCP as the job goes out. The library may
// report anything about such a printer; it must not crash, overrun or hang, and it must never
// report a job printed twice. The same bytes go through the socket object's data path, read
// back as every type a host can ask for.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "net/socket.h"
#include "objects/prnport.h"
#include "platform/loop.h"

namespace {

using namespace vtl;

struct Peer : SocketEventSink {
  std::shared_ptr<clsSocketCB> cb = std::make_shared<clsSocketCB>();
  std::shared_ptr<clsSocket> listener, conn;
  std::string replies;
  std::size_t next = 0;
  Peer() {
    cb->Advise(this);
    listener = clsSocket::Create();
    listener->Inicializar(cb);
    listener->Bind(0, "127.0.0.1");
    listener->Listen();
  }
  ~Peer() override { cb->Unadvise(this); }
  void OnConnectionRequest(std::int32_t&, std::int32_t& id) override {
    conn = clsSocket::Create();
    conn->Inicializar(cb);
    bool error = false;
    conn->Accept(id, error);
  }
  void OnDataArrival(std::int32_t&, std::int32_t&) override {
    if (!conn) return;
    SocketValue v;
    conn->GetData(v);
    // Each read of the host's bytes gets the next piece of the replies.
    if (next >= replies.size()) return;
    const std::size_t n = 1 + static_cast<unsigned char>(replies[next]) % 4;
    const std::string piece = replies.substr(next + 1, n);
    next += 1 + n;
    if (!piece.empty()) conn->SendData(piece);
  }
};

struct Events : __clsPrnPort {
  std::int32_t last = 0;
  void DatosImpresos(std::int32_t& c) override {
    if (c <= last) std::abort();  // a job reported twice
    last = c;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  platform::Loop& loop = platform::Loop::Current();
  loop.UseManualClock(true);
  const std::size_t jobLength = std::min<std::size_t>(data[0] * 16u, size - 1);
  const std::string job(reinterpret_cast<const char*>(data + 1), jobLength);
  Peer peer;
  peer.replies.assign(reinterpret_cast<const char*>(data + 1 + jobLength), size - 1 - jobLength);
  {
    auto port = clsPrnPort::Create();
    Events events;
    port->Advise(&events);
    port->InicializarRed("127.0.0.1", peer.listener->LocalPort());
    port->Imprimir(job, (data[0] & 1) != 0);
    port->Imprimir("\n");
    loop.RunUntil([] { return false; }, 20'000);
    bool b = false, e = false, p = false;
    port->CheckError(b, e, p);
    port->ClearAll();
    port->Unadvise(&events);
  }
  // The socket object's data path: what arrived, read back as each type a host may ask for.
  if (peer.conn) {
    for (std::int32_t type : {0, 2, 3, 4, 5, 6, 7, 8, 11, 17, 8209, 99}) {
      SocketValue v;
      peer.conn->PeekData(v, type, static_cast<std::int32_t>(size % 7) - 1);
    }
  }
  loop.RunUntil([] { return false; }, 1000);
  return 0;
}
