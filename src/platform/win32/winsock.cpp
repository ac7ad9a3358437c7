// Winsock on the system's own, with the layer's promises on top: socket numbers that are never
// reused (the system reuses its handles at once, and a notification still queued for a closed
// socket would reach its successor), and host look-ups that can be answered by a test's resolver.
//
// WSAAsyncSelect is the system's: its notifications go to a relay window of the thread, each
// socket under a message number of its own, and the relay hands them to the window the socket
// was selected for, with the layer's socket number. A notification for a socket closed meanwhile
// finds no socket under its number and is dropped.
#include "platform/winsock.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/loop.h"
#include "platform/win32/objects.h"

namespace vtl::platform {

namespace {

std::atomic<SOCKET> g_nextSocket{0x100};
std::atomic<HANDLE> g_nextTask{0x20000};

// Message numbers the relay window gives its sockets, used round in turn.
constexpr UINT kFirstRelayMessage = WM_APP + 0x200;
constexpr UINT kLastRelayMessage = 0xBFFF;

struct Sock {
  ::SOCKET real = win32::kNoSocket;
  int type = SOCK_STREAM_WS;
  HWND window = 0;
  UINT message = 0;
  long mask = 0;
  UINT relay = 0;        // the message the system posts this socket's news under
  UINT parentRelay = 0;  // an accepted socket's first news come under its listener's
  bool listening = false;
  bool connecting = false;
  bool readNotified = false;    // FD_READ given, no recv since
  bool acceptNotified = false;  // FD_ACCEPT given, no accept since
};

struct Thread {
  std::map<SOCKET, Sock> sockets;
  ::HWND relay = nullptr;
  UINT nextRelay = kFirstRelayMessage;
};

Thread& Current() {
  static thread_local Thread t;
  return t;
}

Sock* Find(SOCKET s) {
  auto& sockets = Current().sockets;
  auto it = sockets.find(s);
  return it == sockets.end() ? nullptr : &it->second;
}

std::pair<SOCKET, Sock*> FindReal(::SOCKET real) {
  for (auto& [s, sock] : Current().sockets) {
    if (sock.real == real) return {s, &sock};
  }
  return {INVALID_SOCKET, nullptr};
}

int Fail(int wsaError) {
  ::WSASetLastError(wsaError);
  return SOCKET_ERROR;
}

// The system's error of the last call, passed on as it is.
int FailSystem() {
  return SOCKET_ERROR;
}

Sock* Usable(SOCKET s) {
  Sock* sock = Find(s);
  if (!sock) ::WSASetLastError(WSAENOTSOCK);
  return sock;
}

::LRESULT CALLBACK RelayProc(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  if (message < kFirstRelayMessage || message > kLastRelayMessage) {
    return ::DefWindowProcA(window, message, wParam, lParam);
  }
  auto [s, sock] = FindReal(static_cast<::SOCKET>(wParam));
  if (!sock || (message != sock->relay && message != sock->parentRelay)) return 0;
  const long event = WSAGETSELECTEVENT(lParam);
  if (!(sock->mask & event)) return 0;
  if (event == FD_READ) sock->readNotified = true;
  if (event == FD_ACCEPT) sock->acceptNotified = true;
  if (event == FD_CONNECT) sock->connecting = false;
  const HWND target = sock->window;
  const UINT targetMessage = sock->message;
  ::SendMessageA(reinterpret_cast<::HWND>(target),  // NOLINT(performance-no-int-to-ptr)
                 targetMessage, static_cast<::WPARAM>(s), lParam);
  return 0;
}

::HWND RelayWindow() {
  Thread& t = Current();
  if (t.relay && ::IsWindow(t.relay)) return t.relay;
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &RelayProc;
    wc.hInstance = win32::ThisModule();
    wc.lpszClassName = "vtldllxt sockets";
    ::RegisterClassA(&wc);
  });
  t.relay = ::CreateWindowExA(0, "vtldllxt sockets", "", 0, 0, 0, 0, 0, win32::MessageOnlyParent(),
                              nullptr, win32::ThisModule(), nullptr);
  return t.relay;
}

UINT NextRelayMessage() {
  Thread& t = Current();
  const UINT id = t.nextRelay;
  t.nextRelay = id >= kLastRelayMessage ? kFirstRelayMessage : id + 1;
  return id;
}

bool ToSystem(const SOCKADDR* name, int length, ::sockaddr_in& out) {
  if (!name || length < static_cast<int>(sizeof(SOCKADDR_IN))) return false;
  SOCKADDR_IN in;
  std::memcpy(static_cast<void*>(&in), name, sizeof in);
  if (in.sin_family != AF_INET_WS) return false;
  out = ::sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.S_addr;
  return true;
}

int FromSystem(const ::sockaddr_storage& ss, SOCKADDR* name, int* length) {
  if (!name || !length || *length < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  SOCKADDR_IN out;
  if (ss.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const ::sockaddr_in*>(&ss);
    out.sin_family = AF_INET_WS;
    out.sin_port = in->sin_port;
    out.sin_addr.S_addr = in->sin_addr.s_addr;
  }
  std::memcpy(static_cast<void*>(name), &out, sizeof out);
  *length = sizeof out;
  return 0;
}

SOCKET Adopt(::SOCKET real, int type) {
  const SOCKET s = g_nextSocket.fetch_add(4);
  Sock sock;
  sock.real = real;
  sock.type = type;
  Current().sockets[s] = sock;
  return s;
}

// Host look-ups run on threads of their own; the answer comes back to the caller's loop.
struct PendingLookup {
  HWND window;
  UINT message;
  char* buffer;
  int length;
};

std::map<HANDLE, PendingLookup>& Lookups() {
  static thread_local std::map<HANDLE, PendingLookup> lookups;
  return lookups;
}

std::mutex g_resolverMutex;
std::function<HostLookup(const std::string&)> g_resolver;

HostLookup SystemLookup(const std::string& name) {
  HostLookup r;
  ::addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  ::addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    // getaddrinfo answers with Winsock's own numbers.
    r.error =
        rc == WSAHOST_NOT_FOUND || rc == WSATRY_AGAIN || rc == WSANO_DATA ? rc : WSANO_RECOVERY;
    return r;
  }
  r.officialName = list->ai_canonname ? list->ai_canonname : name;
  for (::addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    const auto addr = reinterpret_cast<const ::sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    if (std::find(r.addresses.begin(), r.addresses.end(), addr) == r.addresses.end())
      r.addresses.push_back(addr);
  }
  ::freeaddrinfo(list);
  if (r.addresses.empty()) r.error = WSANO_DATA;
  return r;
}

void Deliver(HANDLE task, const HostLookup& lookup) {
  auto it = Lookups().find(task);
  if (it == Lookups().end()) return;  // cancelled
  const PendingLookup p = it->second;
  Lookups().erase(it);
  if (!IsWindow(p.window)) return;  // its owner is gone, and with it the buffer
  int error = lookup.error;
  int needed = 0;
  if (error == 0) {
    needed = WriteHostEntry(lookup, p.buffer, p.length);
    if (needed) error = WSAENOBUFS;
  }
  PostMessageA(p.window, p.message, static_cast<WPARAM>(task),
               MAKELPARAM(static_cast<WORD>(needed), static_cast<WORD>(error)));
}

#pragma pack(push, 8)
// TCP_INFO_v0 as the system lays it out (mstcpip.h offers it only to newer targets).
struct TcpInfo0 {
  int State;
  ::ULONG Mss;
  ::ULONG64 ConnectionTimeMs;
  ::BOOLEAN TimestampsEnabled;
  ::ULONG RttUs;
  ::ULONG MinRttUs;
  ::ULONG BytesInFlight;
  ::ULONG Cwnd;
  ::ULONG SndWnd;
  ::ULONG RcvWnd;
  ::ULONG RcvBuf;
  ::ULONG64 BytesOut;
  ::ULONG64 BytesIn;
  ::ULONG BytesReordered;
  ::ULONG BytesRetrans;
  ::ULONG FastRetrans;
  ::ULONG DupAcksIn;
  ::ULONG TimeoutEpisodes;
  ::UCHAR SynRetrans;
};
#pragma pack(pop)
constexpr ::DWORD kSioTcpInfo = 0xD8000027;  // _WSAIORW(IOC_VENDOR, 39)

}  // namespace

namespace win32 {

bool SocketNewsPending() {
  ::fd_set reads, writes, errors;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&errors);
  int watched = 0;
  for (auto& [s, sock] : Current().sockets) {
    if (!sock.mask || watched >= FD_SETSIZE) continue;
    if (sock.connecting) {
      FD_SET(sock.real, &writes);
      FD_SET(sock.real, &errors);
      ++watched;
    } else if ((sock.listening && (sock.mask & FD_ACCEPT) && !sock.acceptNotified) ||
               (!sock.listening && (sock.mask & (FD_READ | FD_CLOSE)) && !sock.readNotified)) {
      FD_SET(sock.real, &reads);
      ++watched;
    }
  }
  if (!watched) return false;
  ::timeval zero{0, 0};
  return ::select(0, &reads, &writes, &errors, &zero) > 0;
}

}  // namespace win32

int WSAStartup(WORD versionRequested, WSADATA* data) {
  if (!data) return WSAEFAULT;
  ::WSADATA real{};
  const int rc = ::WSAStartup(versionRequested, &real);
  if (rc != 0) return rc;
  *data = WSADATA{};
  data->wVersion = real.wVersion;
  data->wHighVersion = real.wHighVersion;
  std::snprintf(data->szDescription, sizeof data->szDescription, "%s", real.szDescription);
  std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "%s", real.szSystemStatus);
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65507;  // the largest IPv4 UDP payload
  return 0;
}

int WSACleanup() {
  return ::WSACleanup();
}

int WSAGetLastError() {
  return ::WSAGetLastError();
}

void WSASetLastError(int error) {
  ::WSASetLastError(error);
}

SOCKET socket(int af, int type, int protocol) {
  if (af != AF_INET_WS) {
    ::SOCKET probe = ::socket(AF_INET, SOCK_STREAM, 0);  // WSANOTINITIALISED comes first
    if (probe == win32::kNoSocket) return INVALID_SOCKET;
    ::closesocket(probe);
    return Fail(WSAEAFNOSUPPORT);
  }
  const ::SOCKET real = ::socket(AF_INET, type, protocol);
  if (real == win32::kNoSocket) return INVALID_SOCKET;
  // Not inherited by programs the host starts.
  ::SetHandleInformation(reinterpret_cast<::HANDLE>(real), HANDLE_FLAG_INHERIT, 0);
  return Adopt(real, type);
}

int closesocket(SOCKET s) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  const ::SOCKET real = sock->real;
  Current().sockets.erase(s);
  return ::closesocket(real) == 0 ? 0 : FailSystem();
}

int bind(SOCKET s, const SOCKADDR* name, int nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  ::sockaddr_in in;
  if (!ToSystem(name, nameLength, in)) return Fail(WSAEFAULT);
  return ::bind(sock->real, reinterpret_cast<::sockaddr*>(&in), sizeof in) == 0 ? 0 : FailSystem();
}

int listen(SOCKET s, int backlog) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (::listen(sock->real, backlog) != 0) return FailSystem();
  sock->listening = true;
  sock->acceptNotified = false;
  return 0;
}

SOCKET accept(SOCKET s, SOCKADDR* address, int* addressLength) {
  Sock* sock = Usable(s);
  if (!sock) return INVALID_SOCKET;
  ::sockaddr_storage ss{};
  int len = sizeof ss;
  const ::SOCKET real = ::accept(sock->real, reinterpret_cast<::sockaddr*>(&ss), &len);
  sock->acceptNotified = false;
  if (real == win32::kNoSocket) return INVALID_SOCKET;
  const int saved = ::WSAGetLastError();
  if (address && addressLength) FromSystem(ss, address, addressLength);
  const Sock listener = *sock;
  const SOCKET n = Adopt(real, SOCK_STREAM_WS);
  Sock& accepted = Current().sockets[n];
  // An accepted socket shares the listening socket's selection; the system posts its first news
  // under the listener's message until it has one of its own.
  accepted.window = listener.window;
  accepted.message = listener.message;
  accepted.mask = listener.mask;
  accepted.parentRelay = listener.relay;
  if (listener.mask) {
    accepted.relay = NextRelayMessage();
    ::WSAAsyncSelect(real, RelayWindow(), accepted.relay, listener.mask);
  }
  ::WSASetLastError(saved);
  return n;
}

int connect(SOCKET s, const SOCKADDR* name, int nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  ::sockaddr_in in;
  if (!ToSystem(name, nameLength, in)) return Fail(WSAEFAULT);
  if (::connect(sock->real, reinterpret_cast<::sockaddr*>(&in), sizeof in) == 0) return 0;
  const int error = ::WSAGetLastError();
  if (error == WSAEWOULDBLOCK && sock->mask) sock->connecting = true;
  return Fail(error);
}

int shutdown(SOCKET s, int how) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  return ::shutdown(sock->real, how) == 0 ? 0 : FailSystem();
}

int send(SOCKET s, const char* buffer, int length, int flags) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  return ::send(sock->real, buffer, length, flags);
}

int sendto(SOCKET s, const char* buffer, int length, int flags, const SOCKADDR* to, int toLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  ::sockaddr_in in;
  if (!ToSystem(to, toLength, in)) return Fail(WSAEFAULT);
  return ::sendto(sock->real, buffer, length, flags, reinterpret_cast<::sockaddr*>(&in), sizeof in);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  // Every read re-enables FD_READ.
  sock->readNotified = false;
  return ::recv(sock->real, buffer, length, flags);
}

int recvfrom(SOCKET s, char* buffer, int length, int flags, SOCKADDR* from, int* fromLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  sock->readNotified = false;
  ::sockaddr_storage ss{};
  int len = sizeof ss;
  const int n =
      ::recvfrom(sock->real, buffer, length, flags, reinterpret_cast<::sockaddr*>(&ss), &len);
  if (n >= 0 && from && fromLength) {
    const int saved = ::WSAGetLastError();
    FromSystem(ss, from, fromLength);
    ::WSASetLastError(saved);
  }
  return n;
}

int getsockname(SOCKET s, SOCKADDR* name, int* nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  ::sockaddr_storage ss{};
  int len = sizeof ss;
  if (::getsockname(sock->real, reinterpret_cast<::sockaddr*>(&ss), &len) != 0) return FailSystem();
  return FromSystem(ss, name, nameLength);
}

int getpeername(SOCKET s, SOCKADDR* name, int* nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  ::sockaddr_storage ss{};
  int len = sizeof ss;
  if (::getpeername(sock->real, reinterpret_cast<::sockaddr*>(&ss), &len) != 0) return FailSystem();
  return FromSystem(ss, name, nameLength);
}

int getsockopt(SOCKET s, int level, int option, char* value, int* valueLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (!value || !valueLength || *valueLength < 4) return Fail(WSAEFAULT);
  return ::getsockopt(sock->real, level, option, value, valueLength);
}

int setsockopt(SOCKET s, int level, int option, const char* value, int valueLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (!value || valueLength < 1) return Fail(WSAEFAULT);
  return ::setsockopt(sock->real, level, option, value, valueLength);
}

std::uint32_t inet_addr(const char* text) {
  if (!text || !*text) return INADDR_NONE_WS;
  return ::inet_addr(text);
}

const char* inet_ntoa(IN_ADDR address) {
  static thread_local char text[16];
  const auto* b = reinterpret_cast<const unsigned char*>(&address.S_addr);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

std::uint16_t(htons)(std::uint16_t value) {
  return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

std::uint16_t(ntohs)(std::uint16_t value) {
  return (htons)(value);
}

int WSAGetUnacknowledgedBytes(SOCKET s, DWORD* count) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (!count) return Fail(WSAEFAULT);
  if (sock->type != SOCK_STREAM_WS) return Fail(WSAEOPNOTSUPP);
  ::DWORD version = 0;
  TcpInfo0 info{};
  ::DWORD got = 0;
  if (::WSAIoctl(sock->real, kSioTcpInfo, &version, sizeof version, &info, sizeof info, &got,
                 nullptr, nullptr) != 0) {
    return SOCKET_ERROR;
  }
  *count = info.BytesInFlight;
  return 0;
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long events) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (events != 0 && !IsWindow(window)) return Fail(WSAEINVAL);
  ::HWND relay = RelayWindow();
  if (!relay) return Fail(WSAENOBUFS);
  // A new message number: news the system queued under the old selection are not delivered.
  const UINT relayMessage = NextRelayMessage();
  if (::WSAAsyncSelect(sock->real, relay, relayMessage, events) != 0) return FailSystem();
  sock->window = window;
  sock->message = message;
  sock->mask = events;
  sock->relay = relayMessage;
  sock->parentRelay = 0;
  sock->readNotified = false;
  sock->acceptNotified = false;
  return 0;
}

HANDLE WSAAsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer,
                             int bufferLength) {
  if (!name || !buffer || bufferLength <= 0) {
    ::WSASetLastError(WSAEFAULT);
    return 0;
  }
  const std::size_t length = ::strnlen(name, 256);
  if (length == 0 || length > 255 || !IsWindow(window)) {
    ::WSASetLastError(WSAEINVAL);
    return 0;
  }
  std::shared_ptr<Loop::Remote> remote = Loop::Current().RemoteHandle();
  if (!remote) {
    ::WSASetLastError(WSAENOBUFS);
    return 0;
  }
  std::function<HostLookup(const std::string&)> resolver;
  {
    std::lock_guard<std::mutex> lock(g_resolverMutex);
    resolver = g_resolver ? g_resolver : SystemLookup;
  }
  const HANDLE task = g_nextTask.fetch_add(4);
  try {
    std::thread([remote, task, host = std::string(name, length), resolver] {
      HostLookup r;
      try {
        r = resolver(host);
      } catch (...) {
        r = HostLookup{};
        r.error = WSANO_RECOVERY;
      }
      remote->Post([task, r = std::move(r)] { Deliver(task, r); });
    }).detach();
  } catch (...) {
    ::WSASetLastError(WSAENOBUFS);
    return 0;
  }
  Lookups()[task] = PendingLookup{window, message, buffer, bufferLength};
  return task;
}

int WSACancelAsyncRequest(HANDLE task) {
  if (Lookups().erase(task) == 0) return Fail(WSAEINVAL);
  return 0;
}

void SetHostResolver(std::function<HostLookup(const std::string&)> resolver) {
  std::lock_guard<std::mutex> lock(g_resolverMutex);
  g_resolver = std::move(resolver);
}

}  // namespace vtl::platform
