// The socket message window and the socket object on loopback TCP.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/types.h"
#include "net/modsocket.h"
#include "net/socket.h"
#include "platform/files.h"
#include "platform/loop.h"
#include "platform/winsock.h"
#include "serial_pty.h"

namespace vtl {
namespace {

using platform::Loop;

struct SockEvents : SocketEventSink {
  std::vector<std::string> log;
  std::vector<std::int16_t> errors;
  std::vector<std::string> sources;
  std::vector<std::int32_t> requests;
  std::function<void()> onData;
  void OnClose(std::int32_t&) override { log.push_back("Close"); }
  void OnConnect(std::int32_t&) override { log.push_back("Connect"); }
  void OnConnectionRequest(std::int32_t&, std::int32_t& id) override {
    log.push_back("Request");
    requests.push_back(id);
  }
  void OnDataArrival(std::int32_t&, std::int32_t& n) override {
    log.push_back("Data(" + std::to_string(n) + ")");
    if (onData) onData();
  }
  void OnError(std::int32_t&, std::int16_t& number, std::string& description, std::int32_t&,
               std::string& source, std::string&, std::int32_t&, bool&) override {
    log.push_back("Error(" + std::to_string(number) + "," + description + ")");
    errors.push_back(number);
    sources.push_back(source);
  }
  void OnSendComplete(std::int32_t&) override { log.push_back("SendComplete"); }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : log) n += e.rfind(prefix, 0) == 0;
    return n;
  }
};

bool Pump(const std::function<bool()>& cond, std::int64_t ms = 5000) {
  return Loop::Current().RunUntil(cond, ms);
}

// A listening socket object and the server side of the one connection it accepts.
struct Pair {
  std::shared_ptr<clsSocketCB> serverCB = std::make_shared<clsSocketCB>();
  std::shared_ptr<clsSocketCB> acceptedCB = std::make_shared<clsSocketCB>();
  std::shared_ptr<clsSocketCB> clientCB = std::make_shared<clsSocketCB>();
  SockEvents serverEv, acceptedEv, clientEv;
  std::shared_ptr<clsSocket> server = clsSocket::Create();
  std::shared_ptr<clsSocket> accepted = clsSocket::Create();
  std::shared_ptr<clsSocket> client = clsSocket::Create();

  Pair() {
    serverCB->Advise(&serverEv);
    acceptedCB->Advise(&acceptedEv);
    clientCB->Advise(&clientEv);
    server->Inicializar(serverCB);
    accepted->Inicializar(acceptedCB);
    client->Inicializar(clientCB);
    server->Bind(0, "127.0.0.1");
    server->Listen();
  }
  bool Connect() {
    client->Connect("127.0.0.1", server->LocalPort());
    if (!Pump([&] { return !serverEv.requests.empty() && client->State() == 7; })) return false;
    bool error = false;
    accepted->Inicializar(acceptedCB);
    accepted->Accept(serverEv.requests.front(), error);
    return !error && accepted->State() == 7;
  }
};

TEST(ModSocket, UnknownErrorsBadValuesAndTheBytesOfTypedValues) {
  EXPECT_EQ(ModSocket::GetWinsockErrorText(40006), "Error desconocido.");
  EXPECT_THROW(ModSocket::UnsignedToInteger(65536), Error);
  std::string out = "keep";
  ModSocket::ValueToBytes(SocketValue{}, out);
  EXPECT_EQ(out, "keep");
  ModSocket::ValueToBytes(SocketValue::Long(0x01020304), out);
  EXPECT_EQ(out, std::string("\x04\x03\x02\x01", 4));
  ModSocket::ValueToBytes(SocketValue::Boolean(true), out);
  EXPECT_EQ(out, std::string("\xff\xff", 2));
  EXPECT_EQ(ModSocket::StringFromAnsiPointer(nullptr), "");
  EXPECT_EQ(ModSocket::StringFromAnsiPointer("abc\0def"), "abc");
}

TEST(ModSocket, RegistryAndWindowLifeCycle) {
  ASSERT_EQ(ModSocket::RegistryCount(), 0u);
  EXPECT_FALSE(ModSocket::UnregisterSocket(-1));
  EXPECT_FALSE(ModSocket::UnregisterSocket(1234));
  ModSocket::InitWinsockService();
  const auto max = ModSocket::InitWinsockService();  // second call: the stored value
  EXPECT_GT(max, 0);

  auto a = clsSocket::Create();
  auto b = clsSocket::Create();
  const auto ha = a->SocketHandle();  // reading the handle creates and registers the socket
  const auto window = ModSocket::SocketWindow();
  EXPECT_NE(window, 0);
  const auto hb = b->SocketHandle();
  EXPECT_EQ(ModSocket::SocketWindow(), window) << "one window for every socket";
  EXPECT_TRUE(ModSocket::HasSocket(ha));
  EXPECT_TRUE(ModSocket::HasSocket(hb));
  EXPECT_EQ(ModSocket::RegistryCount(), 2u);

  ModSocket::CleanupWinsockService(false);
  EXPECT_TRUE(ModSocket::WinsockStarted()) << "sockets are still registered";

  a->CloseSocket();  // never connected: closes and unregisters, raises nothing
  EXPECT_FALSE(ModSocket::HasSocket(ha));
  EXPECT_TRUE(platform::IsWindow(window));
  b.reset();  // the last one: registry released, window destroyed, service stopped
  EXPECT_EQ(ModSocket::RegistryCount(), 0u);
  EXPECT_FALSE(platform::IsWindow(window));
  EXPECT_EQ(ModSocket::SocketWindow(), 0);
  a.reset();
  EXPECT_FALSE(ModSocket::WinsockStarted());
  ModSocket::CleanupWinsockService(false);  // nothing left to do
  EXPECT_FALSE(ModSocket::WinsockStarted());
}

TEST(ModSocket, LookUpCompletionAndFailure) {
  platform::SetHostResolver([](const std::string& name) {
    platform::HostLookup r;
    if (name == "printer.test") {
      r.officialName = "printer.test.lan";
      r.addresses = {platform::inet_addr("127.0.0.1")};
    } else if (name == "empty.test") {
      r.officialName = "empty.test";
    } else {
      r.error = platform::WSAHOST_NOT_FOUND;
    }
    return r;
  });
  auto cb = std::make_shared<clsSocketCB>();
  SockEvents ev;
  cb->Advise(&ev);
  auto s = clsSocket::Create();
  s->Inicializar(cb);
  s->Connect("nowhere.test", 9);
  EXPECT_EQ(s->State(), 4);
  EXPECT_EQ(ModSocket::PendingLookUps(), 1u);
  ASSERT_TRUE(Pump([&] { return s->State() == 9; }));
  EXPECT_EQ(ev.errors, std::vector<std::int16_t>{11001});
  EXPECT_EQ(ModSocket::PendingLookUps(), 0u) << "the look-up is forgotten at completion";
  EXPECT_EQ(ModSocket::RegistryCount(), 1u) << "only the socket's own entry is left";

  // A look-up that cannot start leaves nothing behind.
  EXPECT_EQ(ModSocket::ResolveHostAsync(std::string(300, 'x'), s.get()), 0);
  EXPECT_EQ(ModSocket::PendingLookUps(), 0u);
  EXPECT_EQ(ModSocket::RegistryCount(), 1u);
  platform::SetHostResolver(nullptr);
}

TEST(ModSocket, ASocketGoneBeforeItsLookUpEndsLeavesNothingToWriteInto) {
  std::mutex m;
  std::condition_variable cv;
  bool answer = false, asked = false;
  platform::SetHostResolver([&](const std::string&) {
    std::unique_lock<std::mutex> lock(m);
    asked = true;
    cv.notify_all();
    cv.wait(lock, [&] { return answer; });
    platform::HostLookup r;
    r.officialName = std::string(200, 'n');
    r.addresses = {platform::inet_addr("127.0.0.1")};
    return r;
  });
  {
    auto s = clsSocket::Create();
    s->Inicializar(std::make_shared<clsSocketCB>());
    s->Connect("slow.test", 9);
    ASSERT_EQ(ModSocket::PendingLookUps(), 1u);
  }
  EXPECT_EQ(ModSocket::PendingLookUps(), 0u);
  EXPECT_EQ(ModSocket::SocketWindow(), 0);
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return asked; });
    answer = true;
    cv.notify_all();
  }
  // The answer arrives for a block that is gone: the sanitizer build sees any write into it.
  Pump([] { return false; }, 200);
  platform::SetHostResolver(nullptr);
}

TEST(ClsSocket, ConnectsByNameSendsWholeAndReadsWithRepost) {
  platform::SetHostResolver([](const std::string& name) {
    platform::HostLookup r;
    r.officialName = name + ".lan";
    r.addresses = {platform::inet_addr("127.0.0.1")};
    return r;
  });
  Pair p;
  p.client->Connect("printer.test", p.server->LocalPort());
  EXPECT_EQ(p.client->State(), 4);
  ASSERT_TRUE(Pump([&] { return !p.serverEv.requests.empty() && p.client->State() == 7; }));
  EXPECT_EQ(p.client->RemoteHost(), "printer.test.lan");
  EXPECT_EQ(p.client->RemoteHostIP(), "127.0.0.1");
  EXPECT_EQ(p.clientEv.log.front(), "Connect");
  bool error = false;
  p.accepted->Accept(p.serverEv.requests.front(), error);
  ASSERT_FALSE(error);

  // A send the network takes whole completes before SendData returns.
  p.client->SendData("hello");
  EXPECT_EQ(p.clientEv.log.back(), "SendComplete");
  ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Data") > 0; }));
  SocketValue v;
  p.accepted->PeekData(v, std::nullopt, 3);
  EXPECT_EQ(v.image, "hel");
  p.accepted->PeekData(v);
  EXPECT_EQ(v.image, "hello");
  p.accepted->GetData(v, std::nullopt, 3);
  EXPECT_EQ(v.image, "hel");
  p.accepted->GetData(v, SocketValue::vtByteArray, 100);
  EXPECT_EQ(v.varType, SocketValue::vtByteArray);
  EXPECT_EQ(v.image, "lo");
  // The reposted read event finds nothing new: one 10035 and no further data event.
  const int before = p.acceptedEv.Count("Data");
  ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Error(10035") > 0; }));
  Pump([] { return false; }, 50);
  EXPECT_EQ(p.acceptedEv.Count("Data"), before);
  EXPECT_EQ(p.acceptedEv.log.back(), "Error(10035,Recurso temporalmente inaccesible.)");
  platform::SetHostResolver(nullptr);
}

TEST(ClsSocket, TypedReads) {
  Pair p;
  ASSERT_TRUE(p.Connect());
  p.client->SendData(SocketValue::Long(-2), "", false, *std::make_unique<bool>());
  ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Data") > 0; }));
  SocketValue v;
  p.accepted->PeekData(v, SocketValue::vtLong);
  EXPECT_EQ(v.As<std::int32_t>(), -2);
  p.accepted->PeekData(v, SocketValue::vtByte);
  EXPECT_EQ(v.image, std::string("\xfe", 1));
  SocketValue unchanged = SocketValue::Text("x");
  p.accepted->PeekData(unchanged, 99);
  EXPECT_EQ(unchanged.image, "x");
  EXPECT_EQ(p.accepted->BytesReceived(), 0);
}

TEST(ClsSocket, PartialSendKeepsTheRestAndCompletesLater) {
  Pair p;
  ASSERT_TRUE(p.Connect());
  const std::string big(8 << 20, 'z');
  p.client->SendData(big);
  ASSERT_GT(p.client->PendingSendBytes(), 0u) << "the network cannot take 8 MB at once";
  EXPECT_EQ(p.clientEv.Count("SendComplete"), 0);
  std::string got;
  p.acceptedEv.onData = [&] {
    SocketValue v;
    p.accepted->GetData(v);
    got += v.image;
  };
  ASSERT_TRUE(Pump([&] { return got.size() == big.size(); }, 20000));
  EXPECT_EQ(got, big);
  ASSERT_TRUE(Pump([&] { return p.clientEv.Count("SendComplete") == 1; }));
  EXPECT_EQ(p.client->PendingSendBytes(), 0u);
}

TEST(ClsSocket, UnacknowledgedBytesAreWhatThePeersStackDoesNotHaveYet) {
  Pair p;
  ASSERT_TRUE(p.Connect());
  EXPECT_EQ(p.client->UnacknowledgedBytes(), 0u);
  const std::string big(8 << 20, 'u');
  p.client->SendData(big);
  // The peer reads nothing: what its buffers hold is acknowledged, the rest is not.
  const std::uint64_t waiting = p.client->UnacknowledgedBytes();
  EXPECT_GT(waiting, p.client->PendingSendBytes());
  EXPECT_LT(waiting, big.size());
  std::size_t got = 0;
  p.acceptedEv.onData = [&] {
    SocketValue v;
    p.accepted->GetData(v);
    got += v.image.size();
  };
  ASSERT_TRUE(Pump([&] { return got == big.size(); }, 20000));
  // The last acknowledgement may come with the system's delay.
  EXPECT_TRUE(Pump([&] { return p.client->UnacknowledgedBytes() == 0; }, 5000));

  using namespace platform;
  platform::DWORD count = 7;
  EXPECT_EQ(WSAGetUnacknowledgedBytes(0x7fffff00, &count), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(WSAGetUnacknowledgedBytes(p.client->SocketHandle(), nullptr), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
  auto udp = clsSocket::Create();
  udp->Protocol(1);
  EXPECT_EQ(WSAGetUnacknowledgedBytes(udp->SocketHandle(), &count), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
  EXPECT_EQ(udp->UnacknowledgedBytes(), 0u) << "where the system cannot tell, only its own bytes";
}

TEST(ClsSocket, SendWithoutSocketDoesNothing) {
  auto cb = std::make_shared<clsSocketCB>();
  SockEvents ev;
  cb->Advise(&ev);
  auto s = clsSocket::Create();
  s->Inicializar(cb);
  s->SendData("x");
  EXPECT_TRUE(ev.log.empty());
  EXPECT_EQ(s->PendingSendBytes(), 0u);
}

TEST(ClsSocket, EmptyHostAndRefusedConnection) {
  auto cb = std::make_shared<clsSocketCB>();
  SockEvents ev;
  cb->Advise(&ev);
  auto s = clsSocket::Create();
  s->Inicializar(cb);
  s->Connect("", 9100);
  ASSERT_EQ(ev.errors, std::vector<std::int16_t>{10049});
  EXPECT_EQ(ev.log.back(), "Error(10049,Imposible asignar la direccion pedida.)");
  EXPECT_EQ(ev.sources.back(), "CSocket.Connect");

  // A port nobody listens on: bind a listener-less socket to learn a free port, then close it.
  auto probe = clsSocket::Create();
  probe->Bind(0, "127.0.0.1");
  probe->Listen();
  const auto port = probe->LocalPort();
  probe.reset();
  s->Connect("127.0.0.1", port);
  ASSERT_TRUE(Pump([&] { return ev.Count("Close") == 1; }));
  EXPECT_EQ(ev.errors.back(), 10061);
  EXPECT_EQ(s->State(), 0);
}

TEST(ClsSocket, ProtocolIgnoredOnceSocketExists) {
  auto s = clsSocket::Create();
  s->Protocol(1);
  EXPECT_EQ(s->Protocol(), 1);
  s->Protocol(0);
  ASSERT_GT(s->SocketHandle(), 0);
  s->Protocol(1);
  EXPECT_EQ(s->Protocol(), 0);
}

TEST(ClsSocket, CloseDrainsThenClosesOnce) {
  Pair p;
  ASSERT_TRUE(p.Connect());
  p.accepted->SendData("tail");
  ASSERT_TRUE(Pump([&] { return p.clientEv.Count("Data") > 0; }));
  p.client->CloseSocket();
  EXPECT_EQ(p.clientEv.Count("Close"), 1);
  EXPECT_EQ(p.client->State(), 0);
  // The peer sees an orderly close.
  ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Close") == 1; }));
  Pump([] { return false; }, 50);
  EXPECT_EQ(p.clientEv.Count("Close"), 1);
}

TEST(ClsSocket, PeerResetArrivesAsErrorAndClose) {
  Pair p;
  ASSERT_TRUE(p.Connect());
  // Unread data at close makes the system reset the connection.
  p.client->SendData("unread");
  ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Data") > 0; }));
  p.accepted->RecibePendiente();  // leaves the data unread in the object, not in the kernel
  p.client->SendData("more");
  Pump([] { return false; }, 20);
  p.accepted.reset();
  ASSERT_TRUE(Pump([&] { return p.clientEv.Count("Close") == 1; }));
}

TEST(ClsSocket, RecordingFiles) {
  Pair p;
  ASSERT_TRUE(p.Connect());
  EXPECT_EQ(p.accepted->LockFile(), "") << "nothing on disk before recording is asked for";
  p.client->SendData("abc");
  ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Data") > 0; }));
  EXPECT_FALSE(p.accepted->BufferIniciarGrabacionEnArchivo("head:"));
  const std::string dat = p.accepted->DatFile();
  const std::string lck = p.accepted->LockFile();
  // In the user's own folder, closed to everyone else.
  const std::string folder = dat.substr(0, dat.rfind('/'));
  EXPECT_EQ(folder, platform::PrivateFolder());
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_TRUE(std::filesystem::exists(lck));
  const int events = p.acceptedEv.Count("Data");
  p.client->SendData("def");
  ASSERT_TRUE(Pump([&] { return p.accepted->BufferGetFileLen() == 11; }));
  // Recording does not bring the read event back without end.
  Pump([] { return false; }, 300);
  EXPECT_LE(p.acceptedEv.Count("Data") - events, 4);
  SocketValue v;
  p.accepted->GetData(v);
  EXPECT_TRUE(v.IsEmpty()) << "recorded data does not reach the buffer";
  const std::string target = dat + ".copy";
  p.accepted->BufferSaveFile(target, 6);
  std::ifstream in(target, std::ios::binary);
  std::string copy((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(copy, "abcdef");
  std::filesystem::remove(target);
  p.accepted.reset();
  EXPECT_FALSE(std::filesystem::exists(dat));
  EXPECT_FALSE(std::filesystem::exists(lck));
}

TEST(ClsSocket, RecordingNeverFollowsALinkAndAnUnusableFolderOnlyStopsRecording) {
  // A private folder of this test's own, so the links planted here touch nothing else.
  const vtl::testing::TempDir folder;
  const std::string& dir = folder.Path();
  ASSERT_FALSE(dir.empty());
  const vtl::testing::EnvVar runtime{"XDG_RUNTIME_DIR", dir.c_str()};
  const std::string victim = dir + "/victim";
  { std::ofstream(victim) << "keep"; }

  // The folder itself is a link someone planted: nothing is created through it.
  ASSERT_EQ(symlink(dir.c_str(), (dir + "/vtldllxt").c_str()), 0);
  {
    Pair p;
    ASSERT_TRUE(p.Connect());
    p.client->SendData("abc");
    ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Data") > 0; }));
    EXPECT_FALSE(p.accepted->BufferIniciarGrabacionEnArchivo(""));
    EXPECT_GT(p.acceptedEv.Count("Error(10013"), 0) << "the owner hears why recording stopped";
    // The connection carries on: the data are still there to read.
    SocketValue v;
    p.accepted->GetData(v);
    EXPECT_EQ(v.image, "abc");
  }
  ASSERT_EQ(unlink((dir + "/vtldllxt").c_str()), 0);

  // A real folder of ours, with a link where the next lock file would go.
  ASSERT_EQ(mkdir((dir + "/vtldllxt").c_str(), 0700), 0);
  {
    Pair p;
    ASSERT_TRUE(p.Connect());
    p.client->SendData("x");
    ASSERT_TRUE(Pump([&] { return p.acceptedEv.Count("Data") > 0; }));
    EXPECT_FALSE(p.accepted->BufferIniciarGrabacionEnArchivo("data"));
    const std::string dat = p.accepted->DatFile();
    ASSERT_FALSE(dat.empty());
    // Whoever plants a link at the data file's name reaches nothing through it.
    unlink(dat.c_str());
    ASSERT_EQ(symlink(victim.c_str(), dat.c_str()), 0);
    p.client->SendData("more");
    Pump([] { return false; }, 200);
  }
  std::ifstream in(victim);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "keep");
}

}  // namespace
}  // namespace vtl
