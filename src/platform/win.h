// The subset of the Windows API the library is written against, with Windows' names, argument
// order, handle rules and error numbers, so that engine code reads like the steps it implements
// and a Windows build can forward these calls to the real API.
//
// Handles are never 0 or -1. Overlapped writes are emulated on non-blocking descriptors: a write
// takes what the device accepts now; the rest goes out whenever the loop or a wait polls, and the
// record's event is signalled at completion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtl::platform {

using BOOL = std::int32_t;
using DWORD = std::uint32_t;
using HANDLE = std::intptr_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr HANDLE INVALID_HANDLE_VALUE = -1;

// GetLastError codes.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

inline constexpr unsigned GMEM_FIXED = 0;

struct OVERLAPPED {
  std::uintptr_t Internal = 0;      // completion status (an error code), 997 while pending
  std::uintptr_t InternalHigh = 0;  // bytes transferred
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  HANDLE hEvent = 0;
};

DWORD GetLastError();
void SetLastError(DWORD code);

HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Events and emulated I/O only. Does not pump the loop's messages; it advances pending I/O.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// Opens a device or file. "sim:NAME" opens the simulated device registered under NAME.
// share 0 means exclusive; a device held elsewhere fails with ERROR_ACCESS_DENIED.
HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, DWORD* written,
               OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
// Ends the pending writes with ERROR_OPERATION_ABORTED; each reports the bytes that really left.
// On a serial line (and a simulated device keeping a driver queue) what still sits in the
// driver's output queue is discarded and does not count as written.
BOOL CancelIo(HANDLE file);
BOOL SetEndOfFile(HANDLE file);

// The printer's status byte from the kernel's printer drivers (parallel and USB printer class),
// in a DWORD, laid out as a parallel port's status lines show it: 0x20 paper empty, 0x10
// selected, 0x08 no error (other bits are the driver's). Fails with ERROR_NOT_SUPPORTED where the
// device has no such driver (a pipe, a file, a serial line) and with ERROR_DEVICE_NOT_CONNECTED
// once the device has gone (a printer unplugged).
inline constexpr DWORD IOCTL_USBPRINT_GET_LPT_STATUS = 0x220030;
BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, OVERLAPPED* overlapped);

void* GlobalAlloc(unsigned flags, std::size_t bytes);
void* GlobalFree(void* memory);

// Milliseconds on the calling thread's loop clock.
DWORD GetTickCount();
// Blocks the thread without processing messages (on a manual clock, moves the clock instead).
void Sleep(DWORD milliseconds);

// Bounds a write without OVERLAPPED (or on a handle opened without FILE_FLAG_OVERLAPPED); the
// serial channel replaces it with the comm write time-outs. 0 = the default bound.
void SetSynchronousWriteTimeout(HANDLE file, DWORD milliseconds);

}  // namespace vtl::platform
