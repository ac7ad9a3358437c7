#include "platform/winsock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/loop.h"
#include "platform/trace.h"

// The system headers may define these as macros; here they are the layer's own functions.
#undef htons
#undef ntohs

namespace vtl::platform {

namespace {

std::atomic<int> g_started{0};
std::atomic<SOCKET> g_nextSocket{0x100};
std::atomic<HANDLE> g_nextTask{0x20000};

struct Sock {
  int fd = -1;
  int type = SOCK_STREAM_WS;
  bool async = false;
  HWND window = 0;
  UINT message = 0;
  long mask = 0;
  bool listening = false;
  bool connecting = false;
  bool connected = false;
  bool inputArmed = true;   // FD_READ / FD_CLOSE may be reported
  bool writeArmed = false;  // FD_WRITE may be reported
  bool acceptArmed = true;
  bool closeSent = false;
  bool sendShut = false;
  Loop::Id watch = 0;
  short watched = 0;
  std::string peer;  // the address it connects to, as the support trace names it
};

// A socket the library connected, as the trace names it; empty for others (tests' servers).
std::string Traced(const Sock& sock) {
  return sock.peer.empty() || !trace::On() ? std::string() : sock.peer;
}

std::map<SOCKET, Sock>& Sockets() {
  static thread_local std::map<SOCKET, Sock> sockets;
  return sockets;
}

Sock* Find(SOCKET s) {
  auto& sockets = Sockets();
  auto it = sockets.find(s);
  return it == sockets.end() ? nullptr : &it->second;
}

int MapErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
      return WSAEWOULDBLOCK;
    case EINPROGRESS:
      return WSAEINPROGRESS;
    case EALREADY:
      return WSAEALREADY;
    case ENOTSOCK:
    case EBADF:
      return WSAENOTSOCK;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
      return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case EHOSTDOWN:
      return WSAEHOSTDOWN;
    case EHOSTUNREACH:
      return WSAEHOSTUNREACH;
    default:
      return WSASYSCALLFAILURE;
  }
}

int Fail(int wsaError) {
  WSASetLastError(wsaError);
  return SOCKET_ERROR;
}

int FailErrno() {
  return Fail(MapErrno(errno));
}

// Checks the service and the handle; sets the error and answers nullptr when either is missing.
Sock* Usable(SOCKET s) {
  if (g_started.load() <= 0) {
    WSASetLastError(WSANOTINITIALISED);
    return nullptr;
  }
  Sock* sock = Find(s);
  if (!sock) WSASetLastError(WSAENOTSOCK);
  return sock;
}

void Notify(SOCKET s, const Sock& sock, long event, int error) {
  if (event == FD_CONNECT) {
    if (const std::string peer = Traced(sock); !peer.empty()) {
      trace::Line(error ? "connection to " + peer + " failed" + trace::Error(error)
                        : "connected to " + peer);
    }
  }
  if (!(sock.mask & event)) return;
  PostMessageA(sock.window, sock.message, static_cast<WPARAM>(s),
               MAKELPARAM(static_cast<WORD>(event), static_cast<WORD>(error)));
}

void OnReady(SOCKET s, short revents);

// Watches exactly what may produce a notification now, so an unread socket never spins the loop.
void Rearm(SOCKET s, Sock& sock) {
  short events = 0;
  if (sock.async) {
    if (sock.connecting) events |= POLLOUT;
    if (sock.listening && sock.acceptArmed && (sock.mask & FD_ACCEPT)) events |= POLLIN;
    if (sock.connected && !sock.closeSent && sock.inputArmed && (sock.mask & (FD_READ | FD_CLOSE)))
      events |= POLLIN | POLLRDHUP;
    if (sock.connected && sock.writeArmed && (sock.mask & FD_WRITE)) events |= POLLOUT;
  }
  if (events == sock.watched && (events == 0 || sock.watch != 0)) return;
  Loop& loop = Loop::Current();
  if (sock.watch) loop.Unwatch(sock.watch);
  sock.watch = 0;
  sock.watched = events;
  if (events) sock.watch = loop.Watch(sock.fd, events, [s](short r) { OnReady(s, r); });
}

void OnReady(SOCKET s, short revents) {
  Sock* sock = Find(s);
  if (!sock || !sock->async) return;
  if (sock->connecting) {
    if (revents & (POLLOUT | POLLERR | POLLHUP)) {
      int err = 0;
      socklen_t len = sizeof(err);
      ::getsockopt(sock->fd, SOL_SOCKET, SO_ERROR, &err, &len);
      sock->connecting = false;
      if (err == 0) {
        sock->connected = true;
        sock->inputArmed = true;
        sock->writeArmed = true;  // the first FD_WRITE follows FD_CONNECT
        Notify(s, *sock, FD_CONNECT, 0);
      } else {
        Notify(s, *sock, FD_CONNECT, MapErrno(err));
      }
    }
    Rearm(s, *sock);
    return;
  }
  if (sock->listening && (revents & POLLIN)) {
    sock->acceptArmed = false;
    Notify(s, *sock, FD_ACCEPT, 0);
  }
  if (sock->connected && !sock->closeSent && sock->inputArmed &&
      (revents & (POLLIN | POLLRDHUP | POLLERR | POLLHUP))) {
    char c = 0;
    const ssize_t n = ::recv(sock->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0 || (n == 0 && sock->type == SOCK_DGRAM_WS)) {
      sock->inputArmed = false;  // until the owner reads
      Notify(s, *sock, FD_READ, 0);
    } else if (n == 0) {
      sock->closeSent = true;
      Notify(s, *sock, FD_CLOSE, 0);
    } else if (errno != EAGAIN && errno != EINTR) {
      sock->closeSent = true;
      Notify(s, *sock, FD_CLOSE, MapErrno(errno));
    } else if (revents & (POLLERR | POLLHUP)) {
      int err = 0;
      socklen_t len = sizeof(err);
      ::getsockopt(sock->fd, SOL_SOCKET, SO_ERROR, &err, &len);
      sock->closeSent = true;
      Notify(s, *sock, FD_CLOSE, err ? MapErrno(err) : WSAECONNABORTED);
    }
  }
  if (sock->connected && sock->writeArmed && (revents & POLLOUT)) {
    sock->writeArmed = false;
    Notify(s, *sock, FD_WRITE, 0);
  }
  Rearm(s, *sock);
}

bool ToPosix(const SOCKADDR* name, int length, sockaddr_in& out) {
  if (!name || length < static_cast<int>(sizeof(SOCKADDR_IN))) return false;
  SOCKADDR_IN in;
  std::memcpy(static_cast<void*>(&in), name, sizeof(in));
  if (in.sin_family != AF_INET_WS) return false;
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = in.sin_port;
  out.sin_addr.s_addr = in.sin_addr.S_addr;
  return true;
}

int FromPosix(const sockaddr_storage& ss, SOCKADDR* name, int* length) {
  if (!name || !length || *length < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  SOCKADDR_IN out;
  if (ss.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
    out.sin_family = AF_INET_WS;
    out.sin_port = in->sin_port;
    out.sin_addr.S_addr = in->sin_addr.s_addr;
  }
  std::memcpy(static_cast<void*>(name), &out, sizeof(out));
  *length = sizeof(out);
  return 0;
}

bool MapOption(int level, int option, int& posixLevel, int& posixOption) {
  if (level != SOL_SOCKET_WS) return false;
  posixLevel = SOL_SOCKET;
  switch (option) {
    case SO_REUSEADDR_WS:
      posixOption = SO_REUSEADDR;
      return true;
    case SO_BROADCAST_WS:
      posixOption = SO_BROADCAST;
      return true;
    case SO_SNDBUF_WS:
      posixOption = SO_SNDBUF;
      return true;
    case SO_RCVBUF_WS:
      posixOption = SO_RCVBUF;
      return true;
    case SO_ERROR_WS:
      posixOption = SO_ERROR;
      return true;
    case SO_TYPE_WS:
      posixOption = SO_TYPE;
      return true;
    default:
      return false;
  }
}

// Host look-ups: answers come back from the look-up threads through a pipe the loop watches.
struct Answer {
  HANDLE task;
  HostLookup lookup;
};

struct Mailbox {
  std::mutex mutex;
  std::deque<Answer> answers;
  int readFd = -1;
  int writeFd = -1;
  Loop::Id watch = 0;
  ~Mailbox() {
    if (readFd >= 0) ::close(readFd);
    if (writeFd >= 0) ::close(writeFd);
  }
  void Push(Answer a) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      answers.push_back(std::move(a));
    }
    const char wake = 1;
    [[maybe_unused]] ssize_t n = ::write(writeFd, &wake, 1);  // a full pipe already wakes
  }
};

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
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    switch (rc) {
      case EAI_NONAME:
        r.error = WSAHOST_NOT_FOUND;
        break;
      case EAI_AGAIN:
        r.error = WSATRY_AGAIN;
        break;
#ifdef EAI_NODATA
      case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
      case EAI_ADDRFAMILY:
#endif
#if defined(EAI_NODATA) || defined(EAI_ADDRFAMILY)
        r.error = WSANO_DATA;
        break;
#endif
      default:
        r.error = WSANO_RECOVERY;
        break;
    }
    return r;
  }
  r.officialName = list->ai_canonname ? list->ai_canonname : name;
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    const auto addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    if (std::find(r.addresses.begin(), r.addresses.end(), addr) == r.addresses.end())
      r.addresses.push_back(addr);
  }
  ::freeaddrinfo(list);
  if (r.addresses.empty()) r.error = WSANO_DATA;
  return r;
}

void DeliverAnswers(Mailbox& box) {
  char sink[64];
  while (::read(box.readFd, sink, sizeof(sink)) > 0) {
  }
  std::deque<Answer> answers;
  {
    std::lock_guard<std::mutex> lock(box.mutex);
    answers.swap(box.answers);
  }
  for (Answer& a : answers) {
    auto it = Lookups().find(a.task);
    if (it == Lookups().end()) continue;  // cancelled
    const PendingLookup p = it->second;
    Lookups().erase(it);
    if (!IsWindow(p.window)) continue;  // its owner is gone, and with it the buffer
    int error = a.lookup.error;
    int needed = 0;
    if (error == 0) {
      needed = WriteHostEntry(a.lookup, p.buffer, p.length);
      if (needed) error = WSAENOBUFS;
    }
    PostMessageA(p.window, p.message, static_cast<WPARAM>(a.task),
                 MAKELPARAM(static_cast<WORD>(needed), static_cast<WORD>(error)));
  }
}

std::shared_ptr<Mailbox> CurrentMailbox() {
  static thread_local std::shared_ptr<Mailbox> box;
  if (box) return box;
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
  auto created = std::make_shared<Mailbox>();
  created->readFd = fds[0];
  created->writeFd = fds[1];
  std::weak_ptr<Mailbox> weak = created;
  created->watch = Loop::Current().Watch(created->readFd, POLLIN, [weak](short) {
    if (auto b = weak.lock()) DeliverAnswers(*b);
  });
  box = created;
  return box;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
  const int major = versionRequested & 0xFF;
  const int minor = (versionRequested >> 8) & 0xFF;
  if (!data) return WSAEFAULT;
  if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
  *data = WSADATA{};
  data->wVersion = major > 2 || (major == 2 && minor > 2) ? WORD{0x0202} : versionRequested;
  data->wHighVersion = 0x0202;
  std::strcpy(data->szDescription, "vtldllxt sockets");
  std::strcpy(data->szSystemStatus, "Running");
  data->iMaxSockets = 32767;
  data->iMaxUdpDg = 65507;  // the largest IPv4 UDP payload
  g_started.fetch_add(1);
  return 0;
}

int WSACleanup() {
  int n = g_started.load();
  while (n > 0 && !g_started.compare_exchange_weak(n, n - 1)) {
  }
  if (n <= 0) return Fail(WSANOTINITIALISED);
  return 0;
}

int WSAGetLastError() {
  return static_cast<int>(GetLastError());
}

void WSASetLastError(int error) {
  SetLastError(static_cast<DWORD>(error));
}

SOCKET socket(int af, int type, int protocol) {
  if (g_started.load() <= 0) return Fail(WSANOTINITIALISED);
  if (af != AF_INET_WS) return Fail(WSAEAFNOSUPPORT);
  int posixType;
  if (type == SOCK_STREAM_WS && (protocol == 0 || protocol == IPPROTO_TCP_WS)) {
    posixType = SOCK_STREAM;
  } else if (type == SOCK_DGRAM_WS && (protocol == 0 || protocol == IPPROTO_UDP_WS)) {
    posixType = SOCK_DGRAM;
  } else {
    return Fail(type == SOCK_STREAM_WS || type == SOCK_DGRAM_WS ? WSAEPROTONOSUPPORT
                                                                : WSAESOCKTNOSUPPORT);
  }
  const int fd = ::socket(AF_INET, posixType | SOCK_CLOEXEC, 0);
  if (fd < 0) return FailErrno();
  const SOCKET s = g_nextSocket.fetch_add(4);
  Sock sock;
  sock.fd = fd;
  sock.type = type;
  sock.connected = type == SOCK_DGRAM_WS;  // datagrams can arrive as soon as it is bound
  Sockets()[s] = sock;
  return s;
}

int closesocket(SOCKET s) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (sock->watch) Loop::Current().Unwatch(sock->watch);
  const int fd = sock->fd;
  if (const std::string peer = Traced(*sock); !peer.empty()) trace::Line("close " + peer);
  Sockets().erase(s);
  if (::close(fd) != 0 && errno != EINTR) return FailErrno();
  return 0;
}

int bind(SOCKET s, const SOCKADDR* name, int nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  sockaddr_in in;
  if (!ToPosix(name, nameLength, in)) return Fail(WSAEFAULT);
  if (::bind(sock->fd, reinterpret_cast<sockaddr*>(&in), sizeof(in)) != 0) return FailErrno();
  return 0;
}

int listen(SOCKET s, int backlog) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (sock->type != SOCK_STREAM_WS) return Fail(WSAEOPNOTSUPP);
  if (::listen(sock->fd, backlog) != 0) return FailErrno();
  sock->listening = true;
  sock->connected = false;
  sock->acceptArmed = true;
  Rearm(s, *sock);
  return 0;
}

SOCKET accept(SOCKET s, SOCKADDR* address, int* addressLength) {
  Sock* sock = Usable(s);
  if (!sock) return INVALID_SOCKET;
  if (!sock->listening) return Fail(WSAEINVAL);
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  const int fd = ::accept4(sock->fd, reinterpret_cast<sockaddr*>(&ss), &len,
                           SOCK_CLOEXEC | (sock->async ? SOCK_NONBLOCK : 0));
  const int saved = errno;
  sock->acceptArmed = true;
  Rearm(s, *sock);
  if (fd < 0) return Fail(MapErrno(saved));
  if (address && addressLength) FromPosix(ss, address, addressLength);
  const SOCKET n = g_nextSocket.fetch_add(4);
  Sock accepted;
  accepted.fd = fd;
  accepted.type = SOCK_STREAM_WS;
  // An accepted socket shares the listening socket's selection.
  accepted.async = sock->async;
  accepted.window = sock->window;
  accepted.message = sock->message;
  accepted.mask = sock->mask;
  accepted.connected = true;
  accepted.writeArmed = true;
  Sock& stored = Sockets()[n] = accepted;
  Rearm(n, stored);
  return n;
}

int connect(SOCKET s, const SOCKADDR* name, int nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  sockaddr_in in;
  if (!ToPosix(name, nameLength, in)) return Fail(WSAEFAULT);
  if (sock->connecting) return Fail(WSAEALREADY);
  if (sock->connected && sock->type == SOCK_STREAM_WS) return Fail(WSAEISCONN);
  if (trace::On()) {
    char address[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &in.sin_addr, address, sizeof address);
    sock->peer = std::string(address) + ":" + std::to_string(ntohs(in.sin_port));
    trace::Line("connect to " + sock->peer);
  }
  const int rc = ::connect(sock->fd, reinterpret_cast<sockaddr*>(&in), sizeof(in));
  const int saved = errno;
  if (!sock->async) {
    if (rc != 0) return Fail(MapErrno(saved));
    sock->connected = true;
    return 0;
  }
  if (rc == 0) {
    sock->connected = true;
    sock->inputArmed = true;
    sock->writeArmed = true;
    Notify(s, *sock, FD_CONNECT, 0);
  } else if (saved == EINPROGRESS || saved == EAGAIN || saved == EINTR) {
    sock->connecting = true;
  } else {
    switch (saved) {
      case ECONNREFUSED:
      case ENETUNREACH:
      case EHOSTUNREACH:
      case ETIMEDOUT:
      case ECONNRESET:
        Notify(s, *sock, FD_CONNECT, MapErrno(saved));
        break;
      default:
        return Fail(MapErrno(saved));
    }
  }
  Rearm(s, *sock);
  return Fail(WSAEWOULDBLOCK);
}

int shutdown(SOCKET s, int how) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  const int posixHow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
  if (how < SD_RECEIVE || how > SD_BOTH) return Fail(WSAEINVAL);
  if (::shutdown(sock->fd, posixHow) != 0) return FailErrno();
  if (how != SD_RECEIVE) sock->sendShut = true;
  return 0;
}

namespace {
int AfterSend(SOCKET s, Sock& sock, ssize_t n, int length, int saved) {
  if (n < 0) {
    if (saved == EAGAIN) {
      sock.writeArmed = true;
      Rearm(s, sock);
    }
    if (saved == EPIPE && sock.sendShut) return Fail(WSAESHUTDOWN);
    return Fail(MapErrno(saved));
  }
  if (n < length) {
    // The rest would block: the owner learns through FD_WRITE when it can go on.
    sock.writeArmed = true;
    Rearm(s, sock);
  }
  return static_cast<int>(n);
}
}  // namespace

int send(SOCKET s, const char* buffer, int length, int flags) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  const ssize_t n =
      ::send(sock->fd, buffer, static_cast<std::size_t>(length),
             (flags & 1 ? MSG_OOB : 0) | MSG_NOSIGNAL | (sock->async ? MSG_DONTWAIT : 0));
  const int saved = errno;
  if (const std::string peer = Traced(*sock); !peer.empty()) {
    if (n > 0) {
      trace::Data(
          "sent to " + peer + ", " + std::to_string(n) + " of " + std::to_string(length) + " bytes",
          buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && saved != EAGAIN) {
      trace::Line("send to " + peer + " failed" + trace::Error(MapErrno(saved)));
    }
  }
  return AfterSend(s, *sock, n, length, saved);
}

int sendto(SOCKET s, const char* buffer, int length, int flags, const SOCKADDR* to, int toLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  sockaddr_in in;
  if (!ToPosix(to, toLength, in)) return Fail(WSAEFAULT);
  const ssize_t n =
      ::sendto(sock->fd, buffer, static_cast<std::size_t>(length),
               (flags & 1 ? MSG_OOB : 0) | MSG_NOSIGNAL | (sock->async ? MSG_DONTWAIT : 0),
               reinterpret_cast<sockaddr*>(&in), sizeof(in));
  return AfterSend(s, *sock, n, length, errno);
}

namespace {
int AfterRecv(SOCKET s, Sock& sock, ssize_t n, int saved) {
  // Every read re-enables FD_READ; data still waiting is announced again on the next pass.
  sock.inputArmed = true;
  Rearm(s, sock);
  if (n < 0) return Fail(MapErrno(saved));
  return static_cast<int>(n);
}
}  // namespace

int recv(SOCKET s, char* buffer, int length, int flags) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  const ssize_t n = ::recv(sock->fd, buffer, static_cast<std::size_t>(length),
                           (flags & 2 ? MSG_PEEK : 0) | (sock->async ? MSG_DONTWAIT : 0));
  const int saved = errno;
  if (const std::string peer = Traced(*sock); !peer.empty() && !(flags & 2)) {
    if (n > 0) {
      trace::Data("received from " + peer + ", " + std::to_string(n) + " bytes", buffer,
                  static_cast<std::size_t>(n));
    } else if (n == 0 && length > 0) {
      trace::Line(peer + " closed the connection");
    } else if (n < 0 && saved != EAGAIN) {
      trace::Line("receive from " + peer + " failed" + trace::Error(MapErrno(saved)));
    }
  }
  return AfterRecv(s, *sock, n, saved);
}

int recvfrom(SOCKET s, char* buffer, int length, int flags, SOCKADDR* from, int* fromLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (length < 0 || (!buffer && length > 0)) return Fail(WSAEFAULT);
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  const ssize_t n = ::recvfrom(sock->fd, buffer, static_cast<std::size_t>(length),
                               (flags & 2 ? MSG_PEEK : 0) | (sock->async ? MSG_DONTWAIT : 0),
                               reinterpret_cast<sockaddr*>(&ss), &len);
  const int saved = errno;
  if (n >= 0 && from && fromLength) FromPosix(ss, from, fromLength);
  return AfterRecv(s, *sock, n, saved);
}

int getsockname(SOCKET s, SOCKADDR* name, int* nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (::getsockname(sock->fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailErrno();
  return FromPosix(ss, name, nameLength);
}

int getpeername(SOCKET s, SOCKADDR* name, int* nameLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (::getpeername(sock->fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailErrno();
  return FromPosix(ss, name, nameLength);
}

int getsockopt(SOCKET s, int level, int option, char* value, int* valueLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (!value || !valueLength || *valueLength < 4) return Fail(WSAEFAULT);
  int pl = 0, po = 0;
  if (!MapOption(level, option, pl, po)) return Fail(WSAENOPROTOOPT);
  int v = 0;
  socklen_t len = sizeof(v);
  if (::getsockopt(sock->fd, pl, po, &v, &len) != 0) return FailErrno();
  if (po == SO_ERROR) v = MapErrno(v);
  if (po == SO_TYPE) v = v == SOCK_STREAM ? SOCK_STREAM_WS : SOCK_DGRAM_WS;
  std::memcpy(value, &v, 4);
  *valueLength = 4;
  return 0;
}

int setsockopt(SOCKET s, int level, int option, const char* value, int valueLength) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (!value || valueLength < 1) return Fail(WSAEFAULT);
  int pl = 0, po = 0;
  if (!MapOption(level, option, pl, po) || po == SO_ERROR || po == SO_TYPE)
    return Fail(WSAENOPROTOOPT);
  int v = 0;
  std::memcpy(&v, value, std::min(valueLength, 4));
  if (::setsockopt(sock->fd, pl, po, &v, sizeof(v)) != 0) return FailErrno();
  return 0;
}

std::uint32_t inet_addr(const char* text) {
  if (!text) return INADDR_NONE_WS;
  in_addr a{};
  if (::inet_aton(text, &a) == 0) return INADDR_NONE_WS;
  return a.s_addr;
}

const char* inet_ntoa(IN_ADDR address) {
  static thread_local char text[16];
  in_addr a{};
  a.s_addr = address.S_addr;
  if (!::inet_ntop(AF_INET, &a, text, sizeof(text))) text[0] = 0;
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
  int queued = 0;
  if (::ioctl(sock->fd, SIOCOUTQ, &queued) != 0) return FailErrno();
  *count = static_cast<DWORD>(queued > 0 ? queued : 0);
  return 0;
}

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long events) {
  Sock* sock = Usable(s);
  if (!sock) return SOCKET_ERROR;
  if (events != 0 && !IsWindow(window)) return Fail(WSAEINVAL);
  const int flags = ::fcntl(sock->fd, F_GETFL);
  if (flags < 0 || ::fcntl(sock->fd, F_SETFL, flags | O_NONBLOCK) != 0) return FailErrno();
  sock->async = events != 0;
  sock->window = window;
  sock->message = message;
  sock->mask = events;
  sock->inputArmed = true;
  sock->acceptArmed = true;
  if (sock->connected) sock->writeArmed = true;  // a connected socket can be written at once
  Rearm(s, *sock);
  return 0;
}

HANDLE WSAAsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer,
                             int bufferLength) {
  if (g_started.load() <= 0) {
    WSASetLastError(WSANOTINITIALISED);
    return 0;
  }
  if (!name || !buffer || bufferLength <= 0) {
    WSASetLastError(WSAEFAULT);
    return 0;
  }
  const std::size_t length = ::strnlen(name, 256);
  if (length == 0 || length > 255 || !IsWindow(window)) {
    WSASetLastError(WSAEINVAL);
    return 0;
  }
  std::shared_ptr<Mailbox> box = CurrentMailbox();
  if (!box) {
    WSASetLastError(WSAENOBUFS);
    return 0;
  }
  std::function<HostLookup(const std::string&)> resolver;
  {
    std::lock_guard<std::mutex> lock(g_resolverMutex);
    resolver = g_resolver ? g_resolver : SystemLookup;
  }
  const HANDLE task = g_nextTask.fetch_add(4);
  try {
    std::thread([box, task, host = std::string(name, length), resolver] {
      HostLookup r;
      try {
        r = resolver(host);
      } catch (...) {
        r = HostLookup{};
        r.error = WSANO_RECOVERY;
      }
      box->Push(Answer{task, std::move(r)});
    }).detach();
  } catch (...) {
    WSASetLastError(WSAENOBUFS);
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
