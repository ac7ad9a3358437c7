// Windows Sockets 1.1 as the library uses it: BSD calls with Winsock's names, structures and
// error numbers, and the asynchronous notifications delivered as window messages on the host
// thread's loop.
//
// Socket handles are small numbers that are never reused within a process (a message posted for
// a socket closed meanwhile can never reach a newer one); they are never 0 or -1.
//
// WSAAsyncSelect follows Winsock's re-enabling rules: one FD_READ until the next recv/recvfrom
// (which posts another at once if data is still waiting), FD_WRITE after a connection is made and
// then only after a send that would block, FD_ACCEPT until the next accept, one FD_CONNECT per
// connect (carrying its error: a refused connection shows as FD_CONNECT with 10061, never as a
// failed connect call), one FD_CLOSE once the peer has closed and the data before the close has
// been read (0 for an orderly close, 10054 for a reset). A socket in asynchronous mode is
// non-blocking; connect on it always answers 10035 and completes through FD_CONNECT.
//
// WSAAsyncGetHostByName never blocks the calling thread: the name is looked up on a short-lived
// thread of its own, which hands the answer back to the caller's loop; the host entry is written
// into the caller's buffer and the message posted there, on the caller's thread. A look-up whose
// window was destroyed, or that was cancelled, delivers nothing and writes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/window.h"

namespace vtl::platform {

using SOCKET = std::int32_t;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

inline constexpr int AF_INET_WS = 2;
inline constexpr int SOCK_STREAM_WS = 1;
inline constexpr int SOCK_DGRAM_WS = 2;
inline constexpr int IPPROTO_TCP_WS = 6;
inline constexpr int IPPROTO_UDP_WS = 17;
inline constexpr std::uint32_t INADDR_NONE_WS = 0xFFFFFFFFu;
inline constexpr std::uint32_t INADDR_ANY_WS = 0;

inline constexpr int SOL_SOCKET_WS = 0xFFFF;
inline constexpr int SO_REUSEADDR_WS = 0x0004;
inline constexpr int SO_BROADCAST_WS = 0x0020;
inline constexpr int SO_SNDBUF_WS = 0x1001;
inline constexpr int SO_RCVBUF_WS = 0x1002;
inline constexpr int SO_ERROR_WS = 0x1007;
inline constexpr int SO_TYPE_WS = 0x1008;

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

inline constexpr int MAXGETHOSTSTRUCT = 1024;

// Winsock error numbers.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSASYSCALLFAILURE = 10107;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

struct WSADATA {
  WORD wVersion = 0;
  WORD wHighVersion = 0;
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  std::uint16_t iMaxSockets = 0;
  std::uint16_t iMaxUdpDg = 0;
  char* lpVendorInfo = nullptr;
};

struct IN_ADDR {
  std::uint32_t S_addr = 0;  // network order
};

struct SOCKADDR {
  std::int16_t sa_family = 0;
  char sa_data[14] = {};
};

struct SOCKADDR_IN {
  std::int16_t sin_family = 0;
  std::uint16_t sin_port = 0;  // network order
  IN_ADDR sin_addr;
  char sin_zero[8] = {};
};
static_assert(sizeof(SOCKADDR_IN) == 16);

// The host entry that WSAAsyncGetHostByName writes at the start of the caller's buffer; every
// pointer points further into the same buffer.
struct HOSTENT {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;
};

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int bind(SOCKET s, const SOCKADDR* name, int nameLength);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, SOCKADDR* address, int* addressLength);
int connect(SOCKET s, const SOCKADDR* name, int nameLength);
int shutdown(SOCKET s, int how);
int send(SOCKET s, const char* buffer, int length, int flags);
int sendto(SOCKET s, const char* buffer, int length, int flags, const SOCKADDR* to, int toLength);
int recv(SOCKET s, char* buffer, int length, int flags);
int recvfrom(SOCKET s, char* buffer, int length, int flags, SOCKADDR* from, int* fromLength);
int getsockname(SOCKET s, SOCKADDR* name, int* nameLength);
int getpeername(SOCKET s, SOCKADDR* name, int* nameLength);
int getsockopt(SOCKET s, int level, int option, char* value, int* valueLength);
int setsockopt(SOCKET s, int level, int option, const char* value, int valueLength);
// INADDR_NONE for anything but a dotted IPv4 literal of one to four parts.
std::uint32_t inet_addr(const char* text);
// Dotted text of a network-order address; the text lives until the next call on the thread.
const char* inet_ntoa(IN_ADDR address);
std::uint16_t(htons)(std::uint16_t value);
std::uint16_t(ntohs)(std::uint16_t value);

// How much of what a stream socket was given its peer has not acknowledged yet: the bytes still
// queued unsent plus those sent and not acknowledged by the peer's TCP. 0 means the peer's stack
// holds everything (not that the peer's program has read it). Returns 0, or SOCKET_ERROR with
// WSAENOTSOCK, WSAEFAULT (no `count`), WSAEOPNOTSUPP (not a stream socket) or the error the
// system gave. Winsock has no call of this name: on Linux it is ioctl SIOCOUTQ; a Windows backend
// answers from WSAIoctl(SIO_TCP_INFO), TCP_INFO_v0.BytesInFlight, plus whatever it holds unsent.
int WSAGetUnacknowledgedBytes(SOCKET s, DWORD* count);

int WSAAsyncSelect(SOCKET s, HWND window, UINT message, long events);
// The message comes with wParam = the task handle and lParam = MAKELPARAM(buffer length needed
// or 0, error).
HANDLE WSAAsyncGetHostByName(HWND window, UINT message, const char* name, char* buffer,
                             int bufferLength);
int WSACancelAsyncRequest(HANDLE task);

// What a host look-up found: the official name and IPv4 addresses (network order), or a Winsock
// error. The default look-up uses the system's resolver; tests replace it so that no name leaves
// the machine. The function runs on the look-up's own thread; nullptr restores the default.
struct HostLookup {
  int error = 0;
  std::string officialName;
  std::vector<std::uint32_t> addresses;
};
void SetHostResolver(std::function<HostLookup(const std::string&)> resolver);
// Lays `lookup` out as a HOSTENT, with its name, addresses and lists, in the caller's block of
// `length` bytes; answers 0 when it fit, else the size it needs (and writes nothing).
int WriteHostEntry(const HostLookup& lookup, char* buffer, int length);

}  // namespace vtl::platform
