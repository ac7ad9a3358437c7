#include "net/socket.h"

#include <cstdio>
#include <limits>
#include <system_error>

#include "engine/types.h"
#include "net/modsocket.h"
#include "platform/files.h"
#include "platform/localtime.h"

namespace vtl {

using namespace platform;

namespace {

// A single receive never asks for more than this, whatever the socket's buffer size.
constexpr std::int32_t kMaxRecvChunk = 1 << 20;

// A file a host asks to send is read whole, up to this size.
constexpr std::size_t kMaxSendFile = 64u << 20;

std::string DottedAddress(std::uint32_t address) {
  IN_ADDR a;
  a.S_addr = address;
  return inet_ntoa(a);
}

SOCKADDR_IN Address(std::uint32_t address, std::int32_t port) {
  SOCKADDR_IN in;
  in.sin_family = AF_INET_WS;
  in.sin_port = htons(static_cast<std::uint16_t>(port));
  in.sin_addr.S_addr = address;
  return in;
}

}  // namespace

// ---- clsSocketCB ----

void clsSocketCB::Advise(SocketEventSink* sink) {
  if (sink && std::find(m_Sinks.begin(), m_Sinks.end(), sink) == m_Sinks.end())
    m_Sinks.push_back(sink);
}

void clsSocketCB::Unadvise(SocketEventSink* sink) {
  m_Sinks.erase(std::remove(m_Sinks.begin(), m_Sinks.end(), sink), m_Sinks.end());
}

void clsSocketCB::OnClose(std::int32_t h) {
  Raise([&](SocketEventSink& s) { s.OnClose(h); });
}
void clsSocketCB::OnConnect(std::int32_t h) {
  Raise([&](SocketEventSink& s) { s.OnConnect(h); });
}
void clsSocketCB::OnConnectionRequest(std::int32_t h, std::int32_t requestID) {
  Raise([&](SocketEventSink& s) { s.OnConnectionRequest(h, requestID); });
}
void clsSocketCB::OnDataArrival(std::int32_t h, std::int32_t bytesTotal) {
  Raise([&](SocketEventSink& s) { s.OnDataArrival(h, bytesTotal); });
}
void clsSocketCB::OnError(std::int32_t h, std::int16_t Number, std::string Description,
                          std::int32_t Scode, std::string Source, std::string HelpFile,
                          std::int32_t HelpContext, bool& CancelDisplay) {
  Raise([&](SocketEventSink& s) {
    s.OnError(h, Number, Description, Scode, Source, HelpFile, HelpContext, CancelDisplay);
  });
}
void clsSocketCB::OnSendComplete(std::int32_t h) {
  Raise([&](SocketEventSink& s) { s.OnSendComplete(h); });
}
void clsSocketCB::OnSendProgress(std::int32_t, std::int32_t, std::int32_t) {}

// ---- clsSocket ----

std::shared_ptr<clsSocket> clsSocket::Create() {
  return std::make_shared<clsSocket>(Key{});
}

clsSocket::clsSocket(Key) {
  m_lngSocket = INVALID_SOCKET;
  m_lngMaxUdp = ModSocket::InitWinsockService();
  // The recording files are named and the lock file made when recording is first asked for:
  // a socket that never records touches no folder.
}

clsSocket::~clsSocket() {
  RemoveFile(m_strDatFile);
  RemoveFile(m_strLockFile);
  m_Events.reset();
  if (m_lngSocket != INVALID_SOCKET) DestroySocket();
  ModSocket::Forget(this);
  ModSocket::CleanupWinsockService(false);
}

void clsSocket::Inicializar(std::shared_ptr<clsSocketCB> tmpEvents) {
  m_Events = std::move(tmpEvents);
  ModSocket::InitWinsockService();
}

void clsSocket::RaiseError(std::int32_t number, const std::string& source) {
  if (m_EnRaiseError) return;
  if (number < std::numeric_limits<std::int16_t>::min() ||
      number > std::numeric_limits<std::int16_t>::max())
    return;
  auto events = m_Events;
  if (!events) return;
  m_EnRaiseError = true;
  try {
    bool cancel = false;
    events->OnError(m_lngSocket, static_cast<std::int16_t>(number),
                    ModSocket::GetWinsockErrorText(number), 0, source, "", 0, cancel);
  } catch (...) {
  }
  m_EnRaiseError = false;
}

SOCKET clsSocket::vbSocket() {
  const SOCKET s = m_lngProtocol == 0 ? socket(AF_INET_WS, SOCK_STREAM_WS, IPPROTO_TCP_WS)
                                      : socket(AF_INET_WS, SOCK_DGRAM_WS, IPPROTO_UDP_WS);
  if (s == INVALID_SOCKET) {
    RaiseError(WSAGetLastError(), "CSocket.vbSocket");
    return INVALID_SOCKET;
  }
  if (!ModSocket::RegisterSocket(s, this, false)) {
    closesocket(s);
    ModSocket::UnregisterSocket(s);
    RaiseError(ModSocket::LastError().Number, ModSocket::LastError().Source);
    return INVALID_SOCKET;
  }
  return s;
}

bool clsSocket::EnsureSocket() {
  if (m_lngSocket == INVALID_SOCKET) {
    const SOCKET s = vbSocket();
    if (s == INVALID_SOCKET) return false;
    m_lngSocket = s;
    ReadBufferSizes();
  }
  return true;
}

void clsSocket::ReadBufferSizes() {
  if (m_lngProtocol != 0) {
    m_lngRecvChunk = m_lngMaxUdp;
    return;
  }
  std::int32_t size = 0;
  int length = sizeof(size);
  if (getsockopt(m_lngSocket, SOL_SOCKET_WS, SO_RCVBUF_WS, reinterpret_cast<char*>(&size),
                 &length) == 0) {
    m_lngRecvChunk = size;
  }
}

std::int32_t clsSocket::State() {
  return SocketHandle() > 0 ? m_lngState : 0;
}

std::int32_t clsSocket::SocketHandle() {
  EnsureSocket();
  return m_lngSocket;
}

void clsSocket::Protocol(std::int32_t value) {
  if (m_lngSocket == INVALID_SOCKET) m_lngProtocol = value;
}

void clsSocket::RemoteHost(const std::string& value) {
  m_strRemoteHost = value;
  const std::uint32_t a = inet_addr(value.c_str());
  if (a == INADDR_NONE_WS || DottedAddress(a) != value) return;
  m_strRemoteHostIP = value;
  if (m_lngProtocol != 1 || !EnsureSocket()) return;
  const bool broadcast = value.size() >= 4 && value.compare(value.size() - 4, 4, ".255") == 0;
  if (broadcast == m_blnBroadcast) return;
  const std::int32_t on = broadcast ? 1 : 0;
  if (setsockopt(m_lngSocket, SOL_SOCKET_WS, SO_BROADCAST_WS, reinterpret_cast<const char*>(&on),
                 4) != 0) {
    const int e = WSAGetLastError();
    throw Error(e, ModSocket::GetWinsockErrorText(e), "CSocket.RemoteHost");
  }
  m_blnBroadcast = broadcast;
}

void clsSocket::ConnectTo(std::uint32_t address) {
  const SOCKADDR_IN in = Address(address, m_lngRemotePort);
  if (connect(m_lngSocket, reinterpret_cast<const SOCKADDR*>(&in), sizeof(in)) == SOCKET_ERROR) {
    m_lngState = 6;
    const int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK) RaiseError(e, "CSocket.Connect");
  }
}

void clsSocket::Connect(std::optional<std::string> strRemoteHost,
                        std::optional<std::int32_t> lngRemotePort, std::optional<std::int32_t>) {
  auto self = shared_from_this();
  try {
    if (!EnsureSocket()) return;
    if (strRemoteHost && !strRemoteHost->empty()) {
      m_strRemoteHost = *strRemoteHost;
      const std::uint32_t a = inet_addr(m_strRemoteHost.c_str());
      if (a != INADDR_NONE_WS && DottedAddress(a) == m_strRemoteHost)
        m_strRemoteHostIP = m_strRemoteHost;
    }
    if (lngRemotePort) m_lngRemotePort = *lngRemotePort;
    if (m_strRemoteHost.empty()) {
      RaiseError(WSAEADDRNOTAVAIL, "CSocket.Connect");
      return;
    }
    m_lngResolvePurpose = 0;
    const std::uint32_t a = inet_addr(m_strRemoteHost.c_str());
    if (a != INADDR_NONE_WS) {
      ConnectTo(a);
      return;
    }
    m_lngState = 4;
    m_lngResolveHandle = ModSocket::ResolveHostAsync(m_strRemoteHost, this);
    if (m_lngResolveHandle == 0) {
      DestroySocket();
      RaiseError(ModSocket::LastError().Number, ModSocket::LastError().Source);
    }
  } catch (const Error& e) {
    RaiseError(e.Number(), "CSocket.CSocket.Connect");
  } catch (...) {
    RaiseError(WSASYSCALLFAILURE, "CSocket.CSocket.Connect");
  }
}

void clsSocket::PostGetHostEvent(std::int32_t task, std::uint32_t address,
                                 const std::string& hostName, std::int32_t errorCode) {
  auto self = shared_from_this();
  try {
    if (errorCode >= 1) {
      if (inet_addr(hostName.c_str()) == INADDR_NONE_WS) {
        m_lngState = 9;
        m_lngResolveHandle = 0;
        if (m_Events && errorCode <= std::numeric_limits<std::int16_t>::max()) {
          bool cancel = false;
          m_Events->OnError(m_lngSocket, static_cast<std::int16_t>(errorCode),
                            ModSocket::GetWinsockErrorText(errorCode), 0, "", "", 0, cancel);
        }
        return;
      }
    }
    if (task != 0 && task == m_lngResolveHandle) {
      m_lngResolveHandle = 0;
      m_lngState = 5;
      m_strRemoteHost = hostName;
      m_strRemoteHostIP = DottedAddress(address);
      if (m_lngResolvePurpose == 0) {
        if (m_lngSocket == INVALID_SOCKET) return;  // closed while the name was looked up
        const SOCKADDR_IN in = Address(address, m_lngRemotePort);
        if (connect(m_lngSocket, reinterpret_cast<const SOCKADDR*>(&in), sizeof(in)) ==
            SOCKET_ERROR) {
          const int e = WSAGetLastError();
          if (e == WSAEWOULDBLOCK) {
            m_lngState = 6;
          } else {
            RaiseError(e, "CSocket.PostGetHostEvent");
          }
        }
      } else {
        SendBufferedData();
      }
    }
  } catch (...) {
    RaiseError(WSASYSCALLFAILURE, "CSocket.PostGetHostEvent");
  }
}

void clsSocket::SendData(const std::string& text) {
  bool nothingSent = false;
  SendData(SocketValue::Text(text), "", false, nothingSent);
}

void clsSocket::SendData(const SocketValue& data, const std::string& fileName, bool skipData,
                         bool& nothingSent) {
  auto self = shared_from_this();
  try {
    if (m_lngProtocol == 1) {
      if (!EnsureSocket()) return;
    } else if (m_lngSocket == INVALID_SOCKET) {
      RaiseError(40006, "CSocket.SendData");  // too large for a notification: nothing is raised
      return;
    }
    if (!skipData) {
      std::string bytes;
      ModSocket::ValueToBytes(data, bytes);
      m_strSendBuffer += bytes;
    }
    m_blnSendPending = true;
    if (!fileName.empty() && IsRegularFile(fileName)) {
      ResetRecording();
      std::string content;
      if (ReadSmallFile(fileName, kMaxSendFile, content)) m_strSendBuffer += content;
    }
    if (m_strSendBuffer.empty()) nothingSent = true;
    SendBufferedData();
  } catch (...) {
    const int e = WSAGetLastError();
    RaiseError(e == WSAENOTSOCK ? 40006 : e, "CSocket.SendData");
  }
}

void clsSocket::SendFile(const std::string& fileName) {
  if (fileName.empty() || !IsRegularFile(fileName)) return;
  ResetRecording();
  std::string content;
  if (!ReadSmallFile(fileName, kMaxSendFile, content)) return;
  bool nothingSent = false;
  SendData(SocketValue::ByteArray(std::move(content)), "", false, nothingSent);
}

void clsSocket::SendBufferedData() {
  m_blnSendPending = true;
  if (m_lngSocket == INVALID_SOCKET) return;
  const int length = static_cast<int>(std::min<std::size_t>(m_strSendBuffer.size(), 1u << 30));
  int sent;
  if (m_lngProtocol == 0) {
    sent = send(m_lngSocket, m_strSendBuffer.data(), length, 0);
  } else {
    if (m_strRemoteHostIP.empty()) {
      m_lngResolvePurpose = 1;
      m_lngResolveHandle = ModSocket::ResolveHostAsync(m_strRemoteHost, this);
      return;
    }
    const SOCKADDR_IN in = Address(inet_addr(m_strRemoteHostIP.c_str()), m_lngRemotePort);
    sent = sendto(m_lngSocket, m_strSendBuffer.data(), length, 0,
                  reinterpret_cast<const SOCKADDR*>(&in), sizeof(in));
  }
  if (sent == SOCKET_ERROR) {
    const int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK) RaiseError(e == WSAENOTSOCK ? 40006 : e, "CSocket.SendData");
    return;
  }
  if (static_cast<std::size_t>(sent) >= m_strSendBuffer.size()) {
    m_strSendBuffer.clear();
    SendMessageA(ModSocket::SocketWindow(), ModSocket::MsgSocket(),
                 static_cast<WPARAM>(m_lngSocket), MAKELPARAM(FD_WRITE, 0));
  } else {
    m_strSendBuffer.erase(0, static_cast<std::size_t>(sent));
    if (m_Events) {
      m_Events->OnSendProgress(
          m_lngSocket, sent,
          static_cast<std::int32_t>(std::min<std::size_t>(m_strSendBuffer.size(), INT32_MAX)));
    }
  }
}

std::uint64_t clsSocket::UnacknowledgedBytes() const {
  std::uint64_t total = m_strSendBuffer.size();
  DWORD queued = 0;
  if (m_lngSocket != INVALID_SOCKET && WSAGetUnacknowledgedBytes(m_lngSocket, &queued) == 0)
    total += queued;
  return total;
}

std::string clsSocket::TakeSendBuffer() {
  std::string out;
  out.swap(m_strSendBuffer);
  return out;
}

void clsSocket::AdoptSendBuffer(const std::string& bytes) {
  m_strSendBuffer.insert(0, bytes);
}

void clsSocket::RecvToBuffer(std::int32_t& bytesRead) {
  bytesRead = 0;
  if (m_lngSocket == INVALID_SOCKET) return;
  const std::int32_t chunk = std::clamp<std::int32_t>(m_lngRecvChunk, 1, kMaxRecvChunk);
  std::string buffer(static_cast<std::size_t>(chunk), '\0');
  int n;
  if (m_lngProtocol == 0) {
    n = recv(m_lngSocket, buffer.data(), chunk, 0);
  } else {
    SOCKADDR_IN from;
    int fromLength = sizeof(from);
    n = recvfrom(m_lngSocket, buffer.data(), chunk, 0, reinterpret_cast<SOCKADDR*>(&from),
                 &fromLength);
    if (n > 0) {
      m_lngRemotePort = ntohs(from.sin_port);
      m_strRemoteHostIP = DottedAddress(from.sin_addr.S_addr);
      m_strRemoteHost = m_strRemoteHostIP;
    }
  }
  if (n == SOCKET_ERROR) {
    RaiseError(WSAGetLastError(), "CSocket.RecvToBuffer");
    return;
  }
  if (n <= 0) return;
  buffer.resize(static_cast<std::size_t>(n));
  if (m_blnRecording) {
    AppendToRecordingFile(buffer);
  } else {
    m_strRecvBuffer += buffer;
    bytesRead = n;
  }
  m_lngBytesReceived = m_lngBytesReceived > INT32_MAX - n ? INT32_MAX : m_lngBytesReceived + n;
}

void clsSocket::ReadBufferData(SocketValue& varData, std::optional<std::int32_t> varType,
                               std::optional<std::int32_t> MaxLen, bool remove) {
  if (m_strRecvBuffer.empty()) return;
  const std::int32_t maxLen = MaxLen.value_or(0);
  std::string taken;
  if (maxLen > 0 && static_cast<std::size_t>(maxLen) <= m_strRecvBuffer.size()) {
    taken = m_strRecvBuffer.substr(0, static_cast<std::size_t>(maxLen));
    if (remove) m_strRecvBuffer.erase(0, static_cast<std::size_t>(maxLen));
  } else {
    taken = m_strRecvBuffer;
    if (remove) m_strRecvBuffer.clear();
  }
  auto first = [&](std::size_t n) {
    std::string image = taken.substr(0, n);
    image.resize(n, '\0');
    return image;
  };
  if (!varType) {
    varData = SocketValue::Text(std::move(taken));
  } else {
    switch (*varType) {
      case SocketValue::vtByteArray:
        varData = SocketValue::ByteArray(std::move(taken));
        break;
      case SocketValue::vtBoolean:
        varData = {SocketValue::vtBoolean, first(2)};
        break;
      case SocketValue::vtByte:
        varData = {SocketValue::vtByte, first(1)};
        break;
      case SocketValue::vtCurrency:
        varData = {SocketValue::vtCurrency, first(8)};
        break;
      case SocketValue::vtDate:
        varData = {SocketValue::vtDate, first(8)};
        break;
      case SocketValue::vtDouble:
        varData = {SocketValue::vtDouble, first(8)};
        break;
      case SocketValue::vtInteger:
        varData = {SocketValue::vtInteger, first(2)};
        break;
      case SocketValue::vtLong:
        varData = {SocketValue::vtLong, first(4)};
        break;
      case SocketValue::vtSingle:
        varData = {SocketValue::vtSingle, first(4)};
        break;
      case SocketValue::vtString:
        varData = SocketValue::Text(std::move(taken));
        break;
      default:
        break;
    }
  }
  m_lngBytesReceived = 0;
}

void clsSocket::PeekData(SocketValue& varData, std::optional<std::int32_t> varType,
                         std::optional<std::int32_t> MaxLen) {
  try {
    ReadBufferData(varData, varType, MaxLen, false);
  } catch (...) {
    RaiseError(WSAENOBUFS, "CSocket.PeekData");
  }
}

void clsSocket::GetData(SocketValue& varData, std::optional<std::int32_t> varType,
                        std::optional<std::int32_t> MaxLen) {
  try {
    ReadBufferData(varData, varType, MaxLen, true);
  } catch (...) {
    RaiseError(WSAENOBUFS, "CSocket.GetData");
  }
}

void clsSocket::LearnLocal() {
  SOCKADDR_IN local;
  int length = sizeof(local);
  if (getsockname(m_lngSocket, reinterpret_cast<SOCKADDR*>(&local), &length) == 0) {
    m_lngLocalPort = ntohs(local.sin_port);
    m_strLocalIP = DottedAddress(local.sin_addr.S_addr);
    m_strLocalHostName = m_strLocalIP;
  }
}

void clsSocket::PostSocketEvent(std::int16_t event, std::int16_t errorCode, bool& repost) {
  if (m_lngSocket == INVALID_SOCKET) return;
  auto self = shared_from_this();
  auto events = m_Events;
  const std::int32_t handle = m_lngSocket;
  try {
    if (errorCode >= 1) {
      m_lngState = 9;
      DestroySocket();
      if (events) {
        bool cancel = false;
        events->OnError(handle, errorCode, ModSocket::GetWinsockErrorText(errorCode), 0, "", "", 0,
                        cancel);
      }
      m_lngState = 0;
      if (events) events->OnClose(handle);
      return;
    }
    switch (event) {
      case FD_READ: {
        std::int32_t n = 0;
        const std::int32_t antes = m_lngBytesReceived;
        RecvToBuffer(n);
        if (m_lngBytesReceived < 1) return;
        // Delivered again only while passes find something new: data the owner leaves unread,
        // or records to a file, would otherwise bring the event back for ever.
        const bool nuevo = m_lngBytesReceived != antes;
        if (events)
          events->OnDataArrival(handle, static_cast<std::int32_t>(std::min<std::size_t>(
                                            m_strRecvBuffer.size(), INT32_MAX)));
        repost = nuevo;
        break;
      }
      case FD_WRITE:
        if (!m_strSendBuffer.empty()) {
          SendBufferedData();
        } else if (m_blnSendPending) {
          m_blnSendPending = false;
          if (events) events->OnSendComplete(handle);
        }
        break;
      case FD_ACCEPT: {
        ResetRecording();
        const SOCKET accepted = accept(m_lngSocket, nullptr, nullptr);
        if (accepted == INVALID_SOCKET) {
          RaiseError(WSAGetLastError(), "CSocket.PostSocketEvent");
          return;
        }
        if (events) events->OnConnectionRequest(handle, accepted);
        PostMessageA(ModSocket::SocketWindow(), ModSocket::MsgSocket(),
                     static_cast<WPARAM>(accepted), MAKELPARAM(FD_READ, 0));
        break;
      }
      case FD_CONNECT:
        ResetRecording();
        LearnLocal();
        m_lngState = 7;
        if (events) events->OnConnect(handle);
        break;
      case FD_CLOSE:
        HandleClose();
        break;
      default:
        break;
    }
  } catch (...) {
    RaiseError(WSASYSCALLFAILURE, "CSocket.PostSocketEvent");
  }
}

void clsSocket::CloseSocket() {
  if (m_lngSocket == INVALID_SOCKET) return;
  auto self = shared_from_this();
  if (m_lngState == 7) {
    m_lngState = 8;
    shutdown(m_lngSocket, SD_SEND);
  }
  HandleClose();
  if (m_lngSocket != INVALID_SOCKET) DestroySocket();
  m_lngSocket = INVALID_SOCKET;
}

void clsSocket::HandleClose() {
  if (m_lngState == 0) return;
  auto events = m_Events;
  const std::int32_t handle = m_lngSocket;
  if (m_lngState != 8) {
    m_lngState = 8;
    if (!m_strSendBuffer.empty()) SendBufferedData();
  } else {
    RecibePendiente(true);
  }
  m_lngState = 0;
  DestroySocket();
  if (events) events->OnClose(handle);
  if (m_lngState == 0) ResetRecording();
}

void clsSocket::DestroySocket() {
  m_strRecvBuffer.clear();
  if (m_lngSocket != INVALID_SOCKET) {
    const SOCKET s = m_lngSocket;
    const int rc = closesocket(s);
    const int e = WSAGetLastError();
    ModSocket::UnregisterSocket(s);
    if (rc == SOCKET_ERROR) RaiseError(e, "CSocket.DestroySocket");
  }
  m_lngSocket = INVALID_SOCKET;
  m_blnBound = false;
  m_blnBroadcast = false;
}

void clsSocket::Bind(std::optional<std::int32_t> lngLocalPort,
                     std::optional<std::string> strLocalIP) {
  try {
    if (!EnsureSocket()) return;
    if (strLocalIP && !strLocalIP->empty()) m_strLocalIP = *strLocalIP;
    if (lngLocalPort && *lngLocalPort > 0) m_lngLocalPort = *lngLocalPort;
    std::uint32_t address = INADDR_ANY_WS;
    if (!m_strLocalIP.empty()) {
      address = inet_addr(m_strLocalIP.c_str());
      if (address == INADDR_NONE_WS) {
        WSASetLastError(WSAEADDRNOTAVAIL);
        RaiseError(WSAEADDRNOTAVAIL, "CSocket.Bind");
        return;
      }
    }
    const SOCKADDR_IN in = Address(address, m_lngLocalPort);
    if (bind(m_lngSocket, reinterpret_cast<const SOCKADDR*>(&in), sizeof(in)) == SOCKET_ERROR) {
      RaiseError(WSAGetLastError(), "CSocket.Bind");
      return;
    }
    m_blnBound = true;
  } catch (...) {
    RaiseError(WSASYSCALLFAILURE, "CSocket.Bind");
  }
}

void clsSocket::Listen() {
  try {
    if (!EnsureSocket()) return;
    if (!m_blnBound) Bind();
    if (listen(m_lngSocket, 5) == SOCKET_ERROR) {
      m_lngState = 9;
      RaiseError(WSAGetLastError(), "CSocket.Listen");
      return;
    }
    // The port the system chose, for a listener bound to port 0.
    SOCKADDR_IN local;
    int length = sizeof(local);
    if (getsockname(m_lngSocket, reinterpret_cast<SOCKADDR*>(&local), &length) == 0)
      m_lngLocalPort = ntohs(local.sin_port);
    m_lngState = 2;
  } catch (...) {
    RaiseError(WSASYSCALLFAILURE, "CSocket.Listen");
  }
}

void clsSocket::Accept(std::int32_t requestID, bool& tmpError) {
  try {
    m_lngSocket = requestID;
    if (!ModSocket::RegisterSocket(requestID, this, true)) {
      m_lngState = 0;
      return;
    }
    ResetRecording();
    ReadBufferSizes();
    m_lngState = 7;
    LearnLocal();
    SOCKADDR_IN peer;
    int length = sizeof(peer);
    if (getpeername(m_lngSocket, reinterpret_cast<SOCKADDR*>(&peer), &length) == 0) {
      m_lngRemotePort = ntohs(peer.sin_port);
      m_strRemoteHostIP = DottedAddress(peer.sin_addr.S_addr);
      m_strRemoteHost = m_strRemoteHostIP;
    }
    std::int32_t type = 0;
    int typeLength = sizeof(type);
    getsockopt(m_lngSocket, SOL_SOCKET_WS, SO_TYPE_WS, reinterpret_cast<char*>(&type), &typeLength);
    m_lngProtocol = type == SOCK_STREAM_WS ? 0 : 1;
    std::int32_t n = 0;
    RecvToBuffer(n);
  } catch (...) {
    tmpError = true;
    RaiseError(WSASYSCALLFAILURE, "CSocket.Accept");
  }
}

std::int32_t clsSocket::RecibePendiente(bool tmpInfinito) {
  auto self = shared_from_this();
  std::int32_t n = 0;
  do {
    RecvToBuffer(n);
    if ((n > 0 || m_blnRecording) && m_Events) {
      auto events = m_Events;
      events->OnDataArrival(m_lngSocket, static_cast<std::int32_t>(std::min<std::size_t>(
                                             m_strRecvBuffer.size(), INT32_MAX)));
    }
  } while (tmpInfinito && n > 0 && m_lngSocket != INVALID_SOCKET);
  return n;
}

bool clsSocket::PrepareRecordingFile() {
  if (!m_strLockFile.empty()) return true;
  // The user's own folder, never one another user could have prepared with links.
  const std::string folder = PrivateFolder();
  if (folder.empty()) return false;
  SYSTEMTIME t;
  GetLocalTime(&t);
  const float centesimas = static_cast<float>(
      (t.wHour * 3600.0 + t.wMinute * 60.0 + t.wSecond + t.wMilliseconds / 1000.0) * 100.0);
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "wsck%04u%02u%02u%.0f", t.wYear, t.wMonth, t.wDay,
                static_cast<double>(centesimas));
  // The lock file is made only where no file of its name exists; objects made within the same
  // hundredth of a second get a counter to keep names unique.
  const std::string base = folder + "/" + stamp;
  for (int n = 0; n < 1000; ++n) {
    const std::string nombre = n == 0 ? base : base + "_" + std::to_string(n);
    if (CreateNewFile(nombre + ".lck")) {
      m_strLockFile = nombre + ".lck";
      m_strDatFile = nombre + ".dat";
      RemoveFile(m_strDatFile);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

void clsSocket::ResetRecording() {
  RemoveFile(m_strDatFile);
  m_blnRecording = false;
}

bool clsSocket::AppendToRecordingFile(const std::string& bytes, const std::string& file) {
  if (file.empty() && !PrepareRecordingFile()) return false;
  return AppendToFile(file.empty() ? m_strDatFile : file, bytes);
}

bool clsSocket::BufferIniciarGrabacionEnArchivo(const std::string& tmpDatosLeiidosHastaaHora) {
  if (!AppendToRecordingFile(tmpDatosLeiidosHastaaHora + m_strRecvBuffer)) {
    // No folder of the user's own to record in: the data stay in the receive buffer, the
    // connection goes on, and the owner hears why.
    RaiseError(WSAEACCES, "CSocket.BufferIniciarGrabacionEnArchivo");
    return false;
  }
  m_strRecvBuffer.clear();
  m_lngBytesReceived = 0;
  m_blnRecording = true;
  return false;
}

std::int32_t clsSocket::BufferGetFileLen() {
  if (m_strDatFile.empty()) return 0;
  const std::int64_t size = FileSize(m_strDatFile);
  if (size < 0) return 0;
  return static_cast<std::int32_t>(std::min<std::int64_t>(size, INT32_MAX));
}

void clsSocket::BufferSaveFile(const std::string& tmpArchivoDestino, std::int32_t tmpByteIni) {
  if (tmpArchivoDestino.empty()) return;
  const std::int64_t inicio = tmpByteIni < 1 ? 1 : tmpByteIni;
  const std::int64_t n = static_cast<std::int64_t>(BufferGetFileLen()) - inicio + 1;
  if (n <= 0) return;
  std::string data;
  if (!ReadFileRange(m_strDatFile, static_cast<std::uint64_t>(inicio - 1),
                     static_cast<std::size_t>(n), data)) {
    return;
  }
  // Written at the start of the target; whatever the target held beyond stays.
  OverwriteFileStart(tmpArchivoDestino, data);
}

}  // namespace vtl
