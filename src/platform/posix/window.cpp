#include "platform/window.h"

#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <string>

#include "base/cadenas.h"
#include "platform/loop.h"

namespace vtl::platform {

namespace {

struct WindowRecord {
  WNDPROC proc = nullptr;
};

std::map<HWND, WindowRecord>& Windows() {
  static thread_local std::map<HWND, WindowRecord> windows;
  return windows;
}

std::atomic<HWND> g_nextWindow{0x10010};

LRESULT StaticProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

WindowRecord* Find(HWND window) {
  auto& windows = Windows();
  auto it = windows.find(window);
  return it == windows.end() ? nullptr : &it->second;
}

bool SameClass(const char* a, const char* b) {
  return MayusculasIguales(a, b);
}

}  // namespace

HWND CreateWindowExA(DWORD, const char* className, const char*, DWORD, int, int, int, int, HWND,
                     HMENU, HINSTANCE, void*) {
  if (!className || !SameClass(className, "STATIC")) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return 0;
  }
  const HWND window = g_nextWindow.fetch_add(4);
  Windows()[window] = WindowRecord{&StaticProc};
  return window;
}

BOOL DestroyWindow(HWND window) {
  if (Windows().erase(window) == 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL IsWindow(HWND window) {
  return Find(window) ? TRUE : FALSE;
}

LONG_PTR SetWindowLongA(HWND window, int index, LONG_PTR value) {
  WindowRecord* w = Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index != GWL_WNDPROC || value == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const LONG_PTR previous = reinterpret_cast<LONG_PTR>(w->proc);
  // The call carries the procedure as a number, as on Windows.
  w->proc = reinterpret_cast<WNDPROC>(value);  // NOLINT(performance-no-int-to-ptr)
  return previous;
}

LONG_PTR GetWindowLongA(HWND window, int index) {
  WindowRecord* w = Find(window);
  if (!w || index != GWL_WNDPROC) {
    SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return reinterpret_cast<LONG_PTR>(w->proc);
}

LRESULT CallWindowProcA(LONG_PTR previous, HWND window, UINT message, WPARAM wParam,
                        LPARAM lParam) {
  if (previous == 0) return 0;
  return reinterpret_cast<WNDPROC>(previous)(  // NOLINT(performance-no-int-to-ptr): as above
      window, message, wParam, lParam);
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!Find(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  Loop::Current().Post([window, message, wParam, lParam] {
    // The procedure is read at delivery: subclassing after the post takes effect, and a window
    // destroyed meanwhile gets nothing.
    if (WindowRecord* w = Find(window)) w->proc(window, message, wParam, lParam);
  });
  return TRUE;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowRecord* w = Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return w->proc(window, message, wParam, lParam);
}

UINT RegisterWindowMessageA(const char* name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  static std::mutex mutex;
  static std::map<std::string, UINT> ids;
  std::string key = Mayusculas(name);
  std::lock_guard<std::mutex> lock(mutex);
  auto it = ids.find(key);
  if (it != ids.end()) return it->second;
  const UINT id = static_cast<UINT>(0xC000u + ids.size());
  if (id > 0xFFFFu) return 0;  // the range of registered messages is exhausted
  ids.emplace(std::move(key), id);
  return id;
}

}  // namespace vtl::platform
