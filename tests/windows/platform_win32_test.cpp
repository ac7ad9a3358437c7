// The Windows layer on the system's own objects: the loop on the thread's message queue, real
// overlapped I/O on a named pipe, a serial line whose driver has no modem lines, and socket
// numbers that are never reused.
//
// The system's headers come first, through the layer's own bridge; the layer's calls are named
// with p::, the system's with ::.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/win.h"
#include "platform/win32/system.h"
#include "platform/window.h"
#include "platform/winsock.h"

namespace p = vtl::platform;
namespace win32 = vtl::platform::win32;

namespace {

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

std::string PipeName(const char* what) {
  return std::string("\\\\.\\pipe\\vtl-") + what + "-" + std::to_string(::GetCurrentProcessId());
}

struct Event {
  p::HANDLE h = p::CreateEventA(nullptr, 1, 0, nullptr);
  ~Event() { p::CloseHandle(h); }
};

// Everything the server end of a pipe receives, until `size` bytes or `ms` milliseconds.
std::string ReadAll(::HANDLE pipe, std::size_t size, DWORD ms) {
  std::string got;
  const DWORD start = ::GetTickCount();
  std::string chunk(65536, '\0');
  while (got.size() < size && ::GetTickCount() - start < ms) {
    ::OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, 1, 0, nullptr);
    ::DWORD n = 0;
    if (!::ReadFile(pipe, chunk.data(), static_cast<::DWORD>(chunk.size()), &n, &ov)) {
      if (::GetLastError() == 997) {
        if (::WaitForSingleObject(ov.hEvent, 2000) != 0) ::CancelIo(pipe);
        ::GetOverlappedResult(pipe, &ov, &n, 1);
      }
    }
    ::CloseHandle(ov.hEvent);
    got.append(chunk.data(), n);
  }
  return got;
}

TEST(WindowsLoop, AHostsOwnMessageLoopRunsTimersAndWorkPostedFromAnyThread) {
  p::Loop& loop = p::Loop::Current();
  int ticks = 0;
  bool posted = false, remote = false;
  const auto timer = loop.SetTimer(20, [&] {
    if (++ticks == 3) ::PostQuitMessage(0);
  });
  loop.Post([&] { posted = true; });
  auto handle = loop.RemoteHandle();
  ASSERT_TRUE(handle);
  std::thread([handle, &remote] { handle->Post([&remote] { remote = true; }); }).join();
  // The host's own loop, as a form or a script host runs it; a system timer of its own ends a
  // loop that would otherwise never end.
  const UINT_PTR guard = ::SetTimer(nullptr, 0, 10000, nullptr);
  MSG msg;
  bool timedOut = false;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && !msg.hwnd && msg.wParam == guard) {
      timedOut = true;
      break;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  ::KillTimer(nullptr, guard);
  loop.KillTimer(timer);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(ticks, 3);
  EXPECT_TRUE(posted);
  EXPECT_TRUE(remote);
}

TEST(WindowsLoop, WindowsAreMessageOnlyAndTheirProcedureCanBeReplaced) {
  const p::HWND w =
      p::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, p::HWND_MESSAGE, 0, 0, nullptr);
  ASSERT_NE(w, 0);
  static p::UINT seen = 0;
  static p::LONG_PTR previous = 0;
  previous = p::SetWindowLongA(w, p::GWL_WNDPROC,
                               reinterpret_cast<p::LONG_PTR>(+[](p::HWND h, p::UINT m, p::WPARAM wp,
                                                                 p::LPARAM lp) -> p::LRESULT {
                                 if (m >= 0xC000) seen = m;
                                 return p::CallWindowProcA(previous, h, m, wp, lp);
                               }));
  ASSERT_NE(previous, 0);
  const p::UINT message = p::RegisterWindowMessageA("vtl test message");
  EXPECT_GE(message, 0xC000u);
  EXPECT_EQ(p::RegisterWindowMessageA("VTL TEST MESSAGE"), message);
  ASSERT_TRUE(p::PostMessageA(w, message, 1, 2));
  EXPECT_TRUE(p::RunUntil([&] { return seen == message; }, 5000));
  EXPECT_TRUE(p::DestroyWindow(w));
  EXPECT_FALSE(p::IsWindow(w));
}

TEST(WindowsFiles, AnOverlappedWriteKeepsItsBytesWhenTheCallerReusesItsBuffer) {
  const std::string name = PipeName("write");
  ::HANDLE server = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | p::FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, win32::Real(p::INVALID_HANDLE_VALUE));
  const p::HANDLE client = p::CreateFileA(name.c_str(), p::GENERIC_WRITE, 0, nullptr,
                                          p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(client, p::INVALID_HANDLE_VALUE);
  Event done;
  p::OVERLAPPED ov{};
  ov.hEvent = done.h;
  std::string data = Pattern(256 * 1024);
  const std::string sent = data;
  p::DWORD written = 0;
  const p::BOOL ok =
      p::WriteFile(client, data.data(), static_cast<p::DWORD>(data.size()), &written, &ov);
  if (!ok) {
    EXPECT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  }
  // The caller's block goes back to work at once.
  data.assign(data.size(), 'X');
  EXPECT_EQ(ReadAll(server, sent.size(), 10000), sent);
  p::DWORD n = 0;
  EXPECT_TRUE(p::GetOverlappedResult(client, &ov, &n, 1));
  EXPECT_EQ(n, sent.size());
  EXPECT_TRUE(p::CloseHandle(client));
  ::CloseHandle(server);
}

TEST(WindowsFiles, CancelIoLeavesTheWriteRecordFinalBeforeItReturns) {
  const std::string name = PipeName("cancel");
  ::HANDLE server = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND | p::FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, win32::Real(p::INVALID_HANDLE_VALUE));
  const p::HANDLE client = p::CreateFileA(name.c_str(), p::GENERIC_WRITE, 0, nullptr,
                                          p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(client, p::INVALID_HANDLE_VALUE);
  Event done;
  p::OVERLAPPED ov{};
  ov.hEvent = done.h;
  const std::string data = Pattern(4 * 1024 * 1024);  // more than the pipe holds: it pends
  p::DWORD written = 0;
  const p::BOOL ok =
      p::WriteFile(client, data.data(), static_cast<p::DWORD>(data.size()), &written, &ov);
  if (ok) GTEST_SKIP() << "the pipe took everything at once";
  ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  EXPECT_TRUE(p::CancelIo(client));
  EXPECT_NE(ov.Internal, win32::kStatusPending) << "the record must be final once CancelIo returns";
  p::DWORD n = 0;
  EXPECT_FALSE(p::GetOverlappedResult(client, &ov, &n, 0));
  EXPECT_EQ(p::GetLastError(), p::ERROR_OPERATION_ABORTED);
  EXPECT_LT(n, data.size());
  p::CloseHandle(client);
  ::CloseHandle(server);
}

TEST(WindowsFiles, AReadNeverWritesIntoTheCallersBufferAfterItReturned) {
  const std::string name = PipeName("read");
  ::HANDLE server = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND | p::FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, win32::Real(p::INVALID_HANDLE_VALUE));
  const p::HANDLE client = p::CreateFileA(name.c_str(), p::GENERIC_READ, 0, nullptr,
                                          p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(client, p::INVALID_HANDLE_VALUE);
  Event done;
  p::OVERLAPPED ov{};
  ov.hEvent = done.h;
  std::string buffer(64, '.');
  p::DWORD got = 99;
  // Nothing has been written: the read comes back empty instead of pending into the buffer.
  EXPECT_TRUE(p::ReadFile(client, buffer.data(), 64, &got, &ov));
  EXPECT_EQ(got, 0u);
  ::OVERLAPPED wov{};
  wov.hEvent = ::CreateEventA(nullptr, 1, 0, nullptr);
  ::DWORD n = 0;
  ::WriteFile(server, "late", 4, &n, &wov);
  ::WaitForSingleObject(wov.hEvent, 2000);
  ::CloseHandle(wov.hEvent);
  ::Sleep(50);
  EXPECT_EQ(buffer, std::string(64, '.'));
  // The bytes wait for the next read.
  EXPECT_TRUE(p::ReadFile(client, buffer.data(), 64, &got, &ov));
  EXPECT_EQ(buffer.substr(0, got), "late");
  p::CloseHandle(client);
  ::CloseHandle(server);
}

// A serial port mapped to a pseudo-terminal through the prefix's dosdevices: Wine's driver has
// no modem lines and cannot wait for comm events there. The test runner names the port.
TEST(WindowsSerial, ALineWithoutModemLinesOpensAndReportsItsEventsAllTheSame) {
  const char* port = std::getenv("VTL_TEST_PTY_PORT");
  if (!port || !*port) GTEST_SKIP() << "VTL_TEST_PTY_PORT names no port mapped to a terminal";
  const p::HANDLE h = p::CreateFileA(port, p::GENERIC_READ | p::GENERIC_WRITE, 0, nullptr,
                                     p::OPEN_EXISTING, p::FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(h, p::INVALID_HANDLE_VALUE) << p::GetLastError();
  p::DCB dcb{};
  ASSERT_TRUE(p::GetCommState(h, &dcb));
  ASSERT_TRUE(p::BuildCommDCBA("baud=9600 parity=N data=8 stop=1", &dcb));
  EXPECT_TRUE(p::SetCommState(h, &dcb));
  p::DWORD modem = 0;
  ASSERT_TRUE(p::GetCommModemStatus(h, &modem));
  EXPECT_EQ(modem, p::MS_CTS_ON | p::MS_DSR_ON | p::MS_RLSD_ON);
  EXPECT_TRUE(p::EscapeCommFunction(h, p::SETDTR));
  EXPECT_TRUE(p::EscapeCommFunction(h, p::CLRRTS));

  ASSERT_TRUE(p::SetCommMask(h, p::EV_CTS | p::EV_DSR | p::EV_TXEMPTY | p::EV_RXCHAR));
  Event signalled;
  p::OVERLAPPED ov{};
  ov.hEvent = signalled.h;
  p::DWORD events = 0;
  // The lines count as on from the opening: the first wait sees them come up.
  if (!p::WaitCommEvent(h, &events, &ov)) {
    ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
    ASSERT_EQ(p::WaitForSingleObject(ov.hEvent, 5000), p::WAIT_OBJECT_0);
  }
  EXPECT_EQ(events & (p::EV_CTS | p::EV_DSR), p::EV_CTS | p::EV_DSR);

  // Bytes written: the driver's queue drains, and the wait says so.
  Event wrote;
  p::OVERLAPPED wov{};
  wov.hEvent = wrote.h;
  const std::string text = "\x1b@";  // initialise: the printer on the other end prints nothing
  p::DWORD n = 0;
  if (!p::WriteFile(h, text.data(), static_cast<p::DWORD>(text.size()), &n, &wov)) {
    ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
  }
  ASSERT_EQ(p::WaitForSingleObject(wov.hEvent, 5000), p::WAIT_OBJECT_0);
  events = 0;
  if (!p::WaitCommEvent(h, &events, &ov)) {
    ASSERT_EQ(p::GetLastError(), p::ERROR_IO_PENDING);
    ASSERT_EQ(p::WaitForSingleObject(ov.hEvent, 5000), p::WAIT_OBJECT_0);
  }
  EXPECT_TRUE(events & p::EV_TXEMPTY) << events;
  p::DWORD errors = 0;
  p::COMSTAT stat{};
  EXPECT_TRUE(p::ClearCommError(h, &errors, &stat));
  EXPECT_TRUE(p::CloseHandle(h));
}

TEST(WindowsSockets, NumbersAreNeverReusedThoughTheSystemReusesItsHandles) {
  p::WSADATA data;
  ASSERT_EQ(p::WSAStartup(0x0101, &data), 0);
  const p::SOCKET a = p::socket(p::AF_INET_WS, p::SOCK_STREAM_WS, 0);
  ASSERT_NE(a, p::INVALID_SOCKET);
  EXPECT_EQ(p::closesocket(a), 0);
  const p::SOCKET b = p::socket(p::AF_INET_WS, p::SOCK_STREAM_WS, 0);
  ASSERT_NE(b, p::INVALID_SOCKET);
  EXPECT_NE(a, b);
  EXPECT_EQ(p::closesocket(a), p::SOCKET_ERROR);
  EXPECT_EQ(p::WSAGetLastError(), p::WSAENOTSOCK);
  EXPECT_EQ(p::closesocket(b), 0);
  p::WSACleanup();
}

}  // namespace
