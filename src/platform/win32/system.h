// The system's own headers under the platform layer's names.
//
// The layer declares the Windows names it offers (ERROR_IO_PENDING, TRUE, FD_READ, ...) as
// constants of its own, with the system's values. The system headers define many of them as
// macros, which would rewrite the layer's declarations; they are undefined here, after the
// system headers and before the layer's, and this backend then uses the layer's constants for
// both. The system's types and functions are always named with "::" (::HANDLE, ::CreateFileA);
// inside vtl::platform the plain names are the layer's.
#pragma once

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winspool.h>
// clang-format on

#undef CE_BREAK
#undef CE_FRAME
#undef CE_OVERRUN
#undef CE_RXOVER
#undef CE_RXPARITY
#undef CLRBREAK
#undef CLRDTR
#undef CLRRTS
#undef DDD_RAW_TARGET_PATH
#undef DDD_REMOVE_DEFINITION
#undef DTR_CONTROL_DISABLE
#undef DTR_CONTROL_ENABLE
#undef DTR_CONTROL_HANDSHAKE
#undef ERROR_ACCESS_DENIED
#undef ERROR_BROKEN_PIPE
#undef ERROR_CANNOT_FIND_WND_CLASS
#undef ERROR_DEVICE_NOT_CONNECTED
#undef ERROR_FILE_EXISTS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_GEN_FAILURE
#undef ERROR_INSUFFICIENT_BUFFER
#undef ERROR_INVALID_FUNCTION
#undef ERROR_INVALID_HANDLE
#undef ERROR_INVALID_PARAMETER
#undef ERROR_INVALID_PRINTER_NAME
#undef ERROR_INVALID_WINDOW_HANDLE
#undef ERROR_IO_INCOMPLETE
#undef ERROR_IO_PENDING
#undef ERROR_MR_MID_NOT_FOUND
#undef ERROR_NOT_ENOUGH_MEMORY
#undef ERROR_NOT_READY
#undef ERROR_NOT_SUPPORTED
#undef ERROR_OPERATION_ABORTED
#undef ERROR_PATH_NOT_FOUND
#undef ERROR_RESOURCE_LANG_NOT_FOUND
#undef ERROR_SEM_TIMEOUT
#undef ERROR_SPL_NO_STARTDOC
#undef ERROR_SUCCESS
#undef EVENPARITY
#undef EV_BREAK
#undef EV_CTS
#undef EV_DSR
#undef EV_ERR
#undef EV_EVENT1
#undef EV_EVENT2
#undef EV_PERR
#undef EV_RING
#undef EV_RLSD
#undef EV_RX80FULL
#undef EV_RXCHAR
#undef EV_RXFLAG
#undef EV_TXEMPTY
#undef FALSE
#undef FD_ACCEPT
#undef FD_CLOSE
#undef FD_CONNECT
#undef FD_OOB
#undef FD_READ
#undef FD_WRITE
#undef FILE_FLAG_OVERLAPPED
#undef FORMAT_MESSAGE_ALLOCATE_BUFFER
#undef FORMAT_MESSAGE_FROM_HMODULE
#undef FORMAT_MESSAGE_FROM_STRING
#undef FORMAT_MESSAGE_FROM_SYSTEM
#undef FORMAT_MESSAGE_IGNORE_INSERTS
#undef FORMAT_MESSAGE_MAX_WIDTH_MASK
#undef GENERIC_READ
#undef GENERIC_WRITE
#undef GMEM_FIXED
#undef HIWORD
#undef HWND_MESSAGE
#undef INFINITE
#undef INVALID_HANDLE_VALUE
#undef INVALID_SOCKET
#undef LOWORD
#undef MAKELPARAM
#undef MARKPARITY
#undef MAXGETHOSTSTRUCT
#undef MS_CTS_ON
#undef MS_DSR_ON
#undef MS_RING_ON
#undef MS_RLSD_ON
#undef NOPARITY
#undef NORMAL_PRIORITY_CLASS
#undef ODDPARITY
#undef ONE5STOPBITS
#undef ONESTOPBIT
#undef OPEN_EXISTING
#undef PURGE_RXABORT
#undef PURGE_RXCLEAR
#undef PURGE_TXABORT
#undef PURGE_TXCLEAR
#undef RESETDEV
#undef RTS_CONTROL_DISABLE
#undef RTS_CONTROL_ENABLE
#undef RTS_CONTROL_HANDSHAKE
#undef RTS_CONTROL_TOGGLE
#undef SD_BOTH
#undef SD_RECEIVE
#undef SD_SEND
#undef SETBREAK
#undef SETDTR
#undef SETRTS
#undef SETXOFF
#undef SETXON
#undef SOCKET_ERROR
#undef SPACEPARITY
#undef TRUE
#undef TWOSTOPBITS
#undef WAIT_FAILED
#undef WAIT_OBJECT_0
#undef WAIT_TIMEOUT
#undef WSAEACCES
#undef WSAEADDRINUSE
#undef WSAEADDRNOTAVAIL
#undef WSAEAFNOSUPPORT
#undef WSAEALREADY
#undef WSAEBADF
#undef WSAECONNABORTED
#undef WSAECONNREFUSED
#undef WSAECONNRESET
#undef WSAEDESTADDRREQ
#undef WSAEFAULT
#undef WSAEHOSTDOWN
#undef WSAEHOSTUNREACH
#undef WSAEINPROGRESS
#undef WSAEINTR
#undef WSAEINVAL
#undef WSAEISCONN
#undef WSAEMFILE
#undef WSAEMSGSIZE
#undef WSAENETDOWN
#undef WSAENETRESET
#undef WSAENETUNREACH
#undef WSAENOBUFS
#undef WSAENOPROTOOPT
#undef WSAENOTCONN
#undef WSAENOTSOCK
#undef WSAEOPNOTSUPP
#undef WSAEPFNOSUPPORT
#undef WSAEPROTONOSUPPORT
#undef WSAEPROTOTYPE
#undef WSAESHUTDOWN
#undef WSAESOCKTNOSUPPORT
#undef WSAETIMEDOUT
#undef WSAEWOULDBLOCK
#undef WSAHOST_NOT_FOUND
#undef WSANOTINITIALISED
#undef WSANO_DATA
#undef WSANO_RECOVERY
#undef WSASYSCALLFAILURE
#undef WSASYSNOTREADY
#undef WSATRY_AGAIN
#undef WSAVERNOTSUPPORTED
#undef htons
#undef ntohs

#include <cstdint>

#include "platform/win.h"

namespace vtl::platform::win32 {

// Handles cross between the layer (a number) and the system (a pointer) unchanged.
inline ::HANDLE Real(HANDLE h) {
  return reinterpret_cast<::HANDLE>(h);  // NOLINT(performance-no-int-to-ptr)
}
inline HANDLE Ours(::HANDLE h) {
  return reinterpret_cast<HANDLE>(h);
}

inline constexpr ::SOCKET kNoSocket = ~static_cast<::SOCKET>(0);

// The parent that makes a window message-only.
inline ::HWND MessageOnlyParent() {
  return reinterpret_cast<::HWND>(static_cast<std::intptr_t>(-3));  // NOLINT
}

// The module this code is part of (the DLL, or the program it was linked into).
::HINSTANCE ThisModule();

// An overlapped record completes with an NTSTATUS in Internal. A Windows error number travels as
// the status of the Win32 facility, which the system turns back into the same number.
inline constexpr std::uintptr_t kStatusPending = 0x103;
inline constexpr std::uintptr_t StatusOf(DWORD error) {
  return error == 0 ? 0 : (0xC0070000u | (error & 0xFFFFu));
}

}  // namespace vtl::platform::win32
