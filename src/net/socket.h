// clsSocket: the library's own non-blocking TCP/UDP socket, and clsSocketCB, the event source
// its owner gives it.
//
// The socket never waits: connection, sending, receiving and closing continue when the socket
// window (ModSocket) delivers the matching notification on the owner's thread. Sends are
// buffered: what the network does not take now stays in the object (across a lost connection
// too) and goes out on the next write notification. Received data waits in the object until the
// owner reads it, or is diverted to a recording file.
//
// Objects are shared (clsSocket::Create); an object keeps itself alive while it raises an event,
// so an owner may drop it from inside a handler.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/socket_value.h"
#include "platform/winsock.h"

namespace vtl {

// Events of clsSocketCB; every argument by reference.
class SocketEventSink {
 public:
  virtual ~SocketEventSink() = default;
  virtual void OnClose(std::int32_t& /*tmpSockHandle*/) {}
  virtual void OnConnect(std::int32_t& /*tmpSockHandle*/) {}
  virtual void OnConnectionRequest(std::int32_t& /*tmpSockHandle*/, std::int32_t& /*requestID*/) {}
  virtual void OnDataArrival(std::int32_t& /*tmpSockHandle*/, std::int32_t& /*bytesTotal*/) {}
  virtual void OnError(std::int32_t& /*tmpSockHandle*/, std::int16_t& /*Number*/,
                       std::string& /*Description*/, std::int32_t& /*Scode*/,
                       std::string& /*Source*/, std::string& /*HelpFile*/,
                       std::int32_t& /*HelpContext*/, bool& /*CancelDisplay*/) {}
  virtual void OnSendComplete(std::int32_t& /*tmpSockHandle*/) {}
  virtual void OnSendProgress(std::int32_t& /*tmpSockHandle*/, std::int32_t& /*bytesSent*/,
                              std::int32_t& /*bytesRemaining*/) {}
};

// The sink a socket raises its events through; each method raises the event of its name.
class clsSocketCB {
 public:
  void Advise(SocketEventSink* sink);
  void Unadvise(SocketEventSink* sink);

  void OnClose(std::int32_t tmpSockHandle);
  void OnConnect(std::int32_t tmpSockHandle);
  void OnConnectionRequest(std::int32_t tmpSockHandle, std::int32_t requestID);
  void OnDataArrival(std::int32_t tmpSockHandle, std::int32_t bytesTotal);
  void OnError(std::int32_t tmpSockHandle, std::int16_t Number, std::string Description,
               std::int32_t Scode, std::string Source, std::string HelpFile,
               std::int32_t HelpContext, bool& CancelDisplay);
  void OnSendComplete(std::int32_t tmpSockHandle);
  // Declared for the event interface; raises nothing.
  void OnSendProgress(std::int32_t tmpSockHandle, std::int32_t bytesSent,
                      std::int32_t bytesRemaining);

 private:
  template <typename F>
  void Raise(F&& call) {
    const std::vector<SocketEventSink*> sinks = m_Sinks;
    for (SocketEventSink* s : sinks) {
      if (std::find(m_Sinks.begin(), m_Sinks.end(), s) != m_Sinks.end()) call(*s);
    }
  }
  std::vector<SocketEventSink*> m_Sinks;
};

class clsSocket : public std::enable_shared_from_this<clsSocket> {
  struct Key {};

 public:
  // Starts the Winsock service if needed; throws vtl::Error when it cannot start.
  static std::shared_ptr<clsSocket> Create();
  explicit clsSocket(Key);
  ~clsSocket();
  clsSocket(const clsSocket&) = delete;
  clsSocket& operator=(const clsSocket&) = delete;

  void Inicializar(std::shared_ptr<clsSocketCB> tmpEvents);
  void SendFile(const std::string& fileName);
  void SendData(const SocketValue& data, const std::string& fileName, bool skipData,
                bool& nothingSent);
  void SendData(const std::string& text);
  void PeekData(SocketValue& varData, std::optional<std::int32_t> varType = std::nullopt,
                std::optional<std::int32_t> MaxLen = std::nullopt);
  void Listen();
  void GetData(SocketValue& varData, std::optional<std::int32_t> varType = std::nullopt,
               std::optional<std::int32_t> MaxLen = std::nullopt);
  void Connect(std::optional<std::string> strRemoteHost = std::nullopt,
               std::optional<std::int32_t> lngRemotePort = std::nullopt,
               std::optional<std::int32_t> tmpchangeTimeout = std::nullopt);
  void CloseSocket();
  void Bind(std::optional<std::int32_t> lngLocalPort = std::nullopt,
            std::optional<std::string> strLocalIP = std::nullopt);
  void Accept(std::int32_t requestID, bool& tmpError);
  std::int32_t State();
  std::int32_t SocketHandle();
  std::int32_t RemotePort() const { return m_lngRemotePort; }
  void RemotePort(std::int32_t value) { m_lngRemotePort = value; }
  const std::string& RemoteHostIP() const { return m_strRemoteHostIP; }
  const std::string& RemoteHost() const { return m_strRemoteHost; }
  // Throws vtl::Error ("CSocket.RemoteHost") when the broadcast option cannot be changed.
  void RemoteHost(const std::string& value);
  std::int32_t Protocol() const { return m_lngProtocol; }
  void Protocol(std::int32_t value);
  std::int32_t LocalPort() const { return m_lngLocalPort; }
  void LocalPort(std::int32_t value) { m_lngLocalPort = value; }
  const std::string& LocalIP() const { return m_strLocalIP; }
  const std::string& LocalHostName() const { return m_strLocalHostName; }
  std::int32_t BytesReceived() const { return m_lngBytesReceived; }
  std::int32_t RecibePendiente(bool tmpInfinito = false);
  bool BufferIniciarGrabacionEnArchivo(const std::string& tmpDatosLeiidosHastaaHora);
  std::int32_t BufferGetFileLen();
  void BufferSaveFile(const std::string& tmpArchivoDestino, std::int32_t tmpByteIni = 0);
  void CheckRead() {}

  // For the socket window.
  void PostSocketEvent(std::int16_t event, std::int16_t errorCode, bool& repost);
  void PostGetHostEvent(std::int32_t task, std::uint32_t address, const std::string& hostName,
                        std::int32_t errorCode);

  // What the network has not taken yet. A printer channel that gives up on this object hands
  // these bytes to its successor, so nothing handed to a socket is lost with it.
  std::size_t PendingSendBytes() const { return m_strSendBuffer.size(); }
  // What the peer's TCP has not acknowledged yet: the bytes above plus those the system still
  // holds or has sent unacknowledged. Where the system cannot tell, only the bytes above.
  std::uint64_t UnacknowledgedBytes() const;
  std::string TakeSendBuffer();
  void AdoptSendBuffer(const std::string& bytes);

  // The recording files, for tests.
  const std::string& DatFile() const { return m_strDatFile; }
  const std::string& LockFile() const { return m_strLockFile; }

 private:
  void RaiseError(std::int32_t number, const std::string& source);
  platform::SOCKET vbSocket();
  bool EnsureSocket();
  void ReadBufferSizes();
  void RecvToBuffer(std::int32_t& bytesRead);
  void ReadBufferData(SocketValue& varData, std::optional<std::int32_t> varType,
                      std::optional<std::int32_t> MaxLen, bool remove);
  void SendBufferedData();
  void HandleClose();
  void DestroySocket();
  // False when no folder of the user's own can hold the files.
  bool PrepareRecordingFile();
  void ResetRecording();
  bool AppendToRecordingFile(const std::string& bytes, const std::string& file = "");
  void ConnectTo(std::uint32_t address);
  void LearnLocal();

  std::shared_ptr<clsSocketCB> m_Events;
  platform::SOCKET m_lngSocket = platform::INVALID_SOCKET;
  std::int32_t m_lngState = 0;
  std::int32_t m_lngProtocol = 0;
  std::string m_strRemoteHost;
  std::string m_strRemoteHostIP;
  std::int32_t m_lngRemotePort = 0;
  std::string m_strLocalIP;
  std::string m_strLocalHostName;
  std::int32_t m_lngLocalPort = 0;
  std::int32_t m_lngBytesReceived = 0;
  std::string m_strSendBuffer;
  std::string m_strRecvBuffer;
  std::int32_t m_lngRecvChunk = 8192;
  std::int32_t m_lngMaxUdp = 0;
  bool m_blnBound = false;
  bool m_blnSendPending = false;
  bool m_blnBroadcast = false;
  platform::HANDLE m_lngResolveHandle = 0;
  std::int32_t m_lngResolvePurpose = 0;
  bool m_blnRecording = false;
  std::string m_strDatFile;
  std::string m_strLockFile;
  bool m_EnRaiseError = false;
};

}  // namespace vtl
