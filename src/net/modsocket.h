// ModSocket: the service behind every socket object of a host thread.
//
// Winsock reports socket events and finished host look-ups as window messages, delivered on the
// thread that owns the window; so every host thread has its own module state: the hidden window
// that receives them, the registry that maps socket handles to socket objects, the pending
// look-ups (task, asking object, the host-entry block Winsock fills in) and the texts of Winsock
// errors. Registry entries do not own their objects: a socket object removes its own entries when
// it goes away.
#pragma once

#include <cstdint>
#include <string>

#include "net/socket_value.h"
#include "platform/winsock.h"

namespace vtl {

class clsSocket;

namespace ModSocket {

// What RegisterSocket records when it fails (it never raises).
struct ErrorRecord {
  std::int32_t Number = 0;
  std::string Description;
  std::string Source;
};
const ErrorRecord& LastError();

// Starts Winsock once and registers the two message ids; returns the largest UDP datagram.
// Throws vtl::Error (the start-up code, "MSocketSupport.InitWinsockService") on failure.
std::int32_t InitWinsockService();
void CleanupWinsockService(bool force);
bool RegisterSocket(platform::SOCKET handle, clsSocket* socket, bool skipSelect);
bool UnregisterSocket(platform::SOCKET handle);
// Returns the task handle, 0 when the look-up could not start (see LastError()).
platform::HANDLE ResolveHostAsync(const std::string& host, clsSocket* socket);
platform::HWND CreateSocketWindow();
bool DestroySocketWindow();
platform::LRESULT SocketWindowProc(platform::HWND window, platform::UINT message,
                                   platform::WPARAM wParam, platform::LPARAM lParam);
std::string GetWinsockErrorText(std::int32_t number);
// Copies a zero-terminated string, reading at most maxLength bytes.
std::string StringFromAnsiPointer(const char* text, std::size_t maxLength = 1024);
// Throws vtl::Error (6, overflow) outside -32768..65535.
std::int16_t UnsignedToInteger(std::int32_t value);
std::int32_t IntegerToUnsigned(std::int16_t value);
// The value's memory image; appends nothing for types without one.
void ValueToBytes(const SocketValue& value, std::string& out);

// Drops every registry entry that refers to `socket` (an object going away).
void Forget(const clsSocket* socket);

// State, for the socket object and for tests.
platform::HWND SocketWindow();
platform::UINT MsgSocket();
platform::UINT MsgResolve();
bool WinsockStarted();
std::size_t RegistryCount();
bool HasSocket(platform::SOCKET handle);
std::size_t PendingLookUps();

}  // namespace ModSocket
}  // namespace vtl
