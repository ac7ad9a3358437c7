// Windows-shaped message windows on the host thread's loop.
//
// A window here is an object with a window procedure and nothing to draw: message-only windows
// are all the library needs (the socket notifications and host look-ups arrive as messages).
// PostMessageA queues the call on the loop of the thread that created the window; SendMessageA
// calls the procedure at once. Window handles are never reused within a process, so a message
// that was posted to a window destroyed meanwhile is dropped instead of reaching a newer one.
#pragma once

#include <cstdint>

#include "platform/win.h"

namespace vtl::platform {

using HWND = std::intptr_t;
using HINSTANCE = std::intptr_t;
using HMENU = std::intptr_t;
using UINT = std::uint32_t;
using WORD = std::uint16_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

inline constexpr int GWL_WNDPROC = -4;
inline constexpr HWND HWND_MESSAGE = -3;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;

constexpr WORD LOWORD(LPARAM v) {
  return static_cast<WORD>(static_cast<std::uintptr_t>(v) & 0xFFFFu);
}
constexpr WORD HIWORD(LPARAM v) {
  return static_cast<WORD>((static_cast<std::uintptr_t>(v) >> 16) & 0xFFFFu);
}
constexpr LPARAM MAKELPARAM(WORD low, WORD high) {
  return static_cast<LPARAM>(static_cast<std::uint32_t>(low) |
                             (static_cast<std::uint32_t>(high) << 16));
}

// Classes known: "STATIC" (its procedure answers every message with 0). Windows belong to the
// calling thread; every other call must come from that thread.
HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param);
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
// Only GWL_WNDPROC is supported; returns the previous procedure (0 and error 1400 on a bad
// window).
LONG_PTR SetWindowLongA(HWND window, int index, LONG_PTR value);
LONG_PTR GetWindowLongA(HWND window, int index);
LRESULT CallWindowProcA(LONG_PTR previous, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Ids from 0xC000 up, one per distinct name (compared without regard to case) for the whole
// process; 0 for an empty name.
UINT RegisterWindowMessageA(const char* name);

// Memory blocks from GlobalAlloc are fixed: locking yields their address.
inline void* GlobalLock(void* memory) {
  return memory;
}
inline BOOL GlobalUnlock(void* /*memory*/) {
  return FALSE;  // a fixed block is never locked, so there is nothing to release
}

}  // namespace vtl::platform
