// Message windows on the system's own: a message-only window of the library's class whose
// window procedure is the layer's (kept with the window, so that subclassing through
// SetWindowLongA works as the library expects on any build).
#include "platform/window.h"

#include <mutex>

#include "base/cadenas.h"
#include "platform/win32/objects.h"

namespace vtl::platform {

namespace {

const char kClassName[] = "vtldllxt window";

::HWND RealWindow(HWND window) {
  return reinterpret_cast<::HWND>(window);  // NOLINT(performance-no-int-to-ptr)
}

LRESULT StaticProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

// The system calls this one; it hands the message to the layer's procedure of the window.
::LRESULT CALLBACK SystemProc(::HWND window, ::UINT message, ::WPARAM wParam, ::LPARAM lParam) {
  const auto proc = reinterpret_cast<WNDPROC>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  if (!proc) return ::DefWindowProcA(window, message, wParam, lParam);
  return static_cast<::LRESULT>(proc(reinterpret_cast<HWND>(window), message,
                                     static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
}

bool Ours(::HWND window) {
  char name[64] = {};
  return ::GetClassNameA(window, name, sizeof name) > 0 && std::string(name) == kClassName;
}

void RegisterWindowClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &SystemProc;
    wc.hInstance = win32::ThisModule();
    wc.lpszClassName = kClassName;
    ::RegisterClassA(&wc);
  });
}

}  // namespace

HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                     int x, int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param) {
  (void)parent;
  (void)menu;
  (void)instance;
  if (!className || !MayusculasIguales(className, "STATIC")) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return 0;
  }
  RegisterWindowClass();
  ::HWND window =
      ::CreateWindowExA(exStyle, kClassName, windowName ? windowName : "", style, x, y, width,
                        height, win32::MessageOnlyParent(), nullptr, win32::ThisModule(), param);
  if (!window) return 0;
  ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&StaticProc));
  return reinterpret_cast<HWND>(window);
}

BOOL DestroyWindow(HWND window) {
  return ::DestroyWindow(RealWindow(window));
}

BOOL IsWindow(HWND window) {
  return window != 0 && ::IsWindow(RealWindow(window));
}

LONG_PTR SetWindowLongA(HWND window, int index, LONG_PTR value) {
  ::HWND w = RealWindow(window);
  if (!window || !::IsWindow(w) || !Ours(w)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index != GWL_WNDPROC || value == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return static_cast<LONG_PTR>(
      ::SetWindowLongPtrA(w, GWLP_USERDATA, static_cast<::LONG_PTR>(value)));
}

LONG_PTR GetWindowLongA(HWND window, int index) {
  ::HWND w = RealWindow(window);
  if (!window || !::IsWindow(w) || !Ours(w) || index != GWL_WNDPROC) {
    SetLastError(window && ::IsWindow(w) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<LONG_PTR>(::GetWindowLongPtrA(w, GWLP_USERDATA));
}

LRESULT CallWindowProcA(LONG_PTR previous, HWND window, UINT message, WPARAM wParam,
                        LPARAM lParam) {
  if (previous == 0) return 0;
  return reinterpret_cast<WNDPROC>(previous)(  // NOLINT(performance-no-int-to-ptr)
      window, message, wParam, lParam);
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return static_cast<LRESULT>(::DefWindowProcA(
      RealWindow(window), message, static_cast<::WPARAM>(wParam), static_cast<::LPARAM>(lParam)));
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return ::PostMessageA(RealWindow(window), message, static_cast<::WPARAM>(wParam),
                        static_cast<::LPARAM>(lParam));
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!window || !::IsWindow(RealWindow(window))) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<LRESULT>(::SendMessageA(
      RealWindow(window), message, static_cast<::WPARAM>(wParam), static_cast<::LPARAM>(lParam)));
}

UINT RegisterWindowMessageA(const char* name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return ::RegisterWindowMessageA(name);
}

}  // namespace vtl::platform
