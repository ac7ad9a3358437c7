// Serial communications: the comm functions of the Windows API on the handles of win.h, with
// Windows' structures, constants and error numbers.
//
// Device names. CreateFileA maps "COMn" and "\\.\COMn" (any letter case) to the path the process
// gave it with DefineDosDeviceA, else to the path in the environment variable VTL_COMn, else to
// /dev/ttyS(n-1); "LPTn" and "\\.\LPTn" likewise, to VTL_LPTn, else /dev/lp(n-1), else
// /dev/usb/lp(n-1). A mapped path may name a simulated device ("sim:NAME").
// With VTL_NO_SYSTEM_PORTS set (tests set it), unmapped names fail with ERROR_FILE_NOT_FOUND
// instead of reaching the machine's own ports.
//
// Line settings live in the device (termios), so they outlast the handle that set them, as a
// serial driver's do. Fields of the DCB that termios cannot carry (XonLim, XoffLim, EofChar,
// ErrorChar, EvtChar, the DTR and RTS control modes) are kept per handle.
//
// Comm events keep Windows' history: an event in the current mask that happens while no wait is
// outstanding is remembered and completes the next WaitCommEvent at once. Events are found by
// comparing snapshots (input waiting, output drained, modem lines, line errors) whenever the
// thread's loop runs or a wait polls. The modem-line snapshot starts with every line off when the
// handle is opened, so a device whose lines are already up gives EV_CTS/EV_DSR/EV_RLSD on the
// first wait. A WaitCommEvent given an OVERLAPPED always runs overlapped, even on a handle opened
// without FILE_FLAG_OVERLAPPED: the host thread is never held by a comm wait.
//
// Devices without modem lines (a pseudo-terminal answers TIOCMGET with ENOTTY) report CTS, DSR and
// RLSD on while the other end is open and no line at all after a hang-up; EscapeCommFunction on
// such a device succeeds and does nothing. That is what makes virtual serial ports usable as
// printers.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win.h"

namespace vtl::platform {

using WORD = std::uint16_t;
using BYTE = std::uint8_t;

inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;

// The device-control block, field by field as Windows lays it out (28 bytes).
struct DCB {
  DWORD DCBlength = 28;
  DWORD BaudRate = 0;
  DWORD fBitFields = 0;  // fBinary bit 0 ... fAbortOnError bit 14, see the masks below
  WORD wReserved = 0;
  WORD XonLim = 0;
  WORD XoffLim = 0;
  BYTE ByteSize = 0;
  BYTE Parity = 0;
  BYTE StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  WORD wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Windows layout");

// fBitFields.
inline constexpr DWORD DCB_fBinary = 0x1;
inline constexpr DWORD DCB_fParity = 0x2;
inline constexpr DWORD DCB_fOutxCtsFlow = 0x4;
inline constexpr DWORD DCB_fOutxDsrFlow = 0x8;
inline constexpr DWORD DCB_fDtrControlShift = 4;  // 2 bits
inline constexpr DWORD DCB_fDsrSensitivity = 0x40;
inline constexpr DWORD DCB_fTXContinueOnXoff = 0x80;
inline constexpr DWORD DCB_fOutX = 0x100;
inline constexpr DWORD DCB_fInX = 0x200;
inline constexpr DWORD DCB_fErrorChar = 0x400;
inline constexpr DWORD DCB_fNull = 0x800;
inline constexpr DWORD DCB_fRtsControlShift = 12;  // 2 bits
inline constexpr DWORD DCB_fAbortOnError = 0x4000;

inline constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                       RTS_CONTROL_TOGGLE = 3;

inline constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
  DWORD fFlags = 0;  // fCtsHold, fDsrHold, ... (always 0 here)
  DWORD cbInQue = 0;
  DWORD cbOutQue = 0;
};

// Comm events.
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_EVENT1 = 0x0800;
inline constexpr DWORD EV_EVENT2 = 0x1000;

// Modem status.
inline constexpr DWORD MS_CTS_ON = 0x10;
inline constexpr DWORD MS_DSR_ON = 0x20;
inline constexpr DWORD MS_RING_ON = 0x40;
inline constexpr DWORD MS_RLSD_ON = 0x80;

// EscapeCommFunction codes.
inline constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6,
                       RESETDEV = 7, SETBREAK = 8, CLRBREAK = 9;

// PurgeComm flags.
inline constexpr DWORD PURGE_TXABORT = 1, PURGE_RXABORT = 2, PURGE_TXCLEAR = 4, PURGE_RXCLEAR = 8;

// ClearCommError errors.
inline constexpr DWORD CE_RXOVER = 0x1, CE_OVERRUN = 0x2, CE_RXPARITY = 0x4, CE_FRAME = 0x8,
                       CE_BREAK = 0x10;

// Port names for the whole process, shared by every thread: maps "COMn" or "LPTn" (also with
// "\\.\" in front) to a device path, ahead of the environment and the defaults; with
// DDD_REMOVE_DEFINITION the name goes back to them. Fails with ERROR_INVALID_PARAMETER for any
// other name and for an empty path.
inline constexpr DWORD DDD_RAW_TARGET_PATH = 0x1, DDD_REMOVE_DEFINITION = 0x2;
BOOL DefineDosDeviceA(DWORD flags, const char* deviceName, const char* targetPath);
// Maps the first of COM1..COM255 (LPT1..LPT4 for `parallel`) that stands for nothing yet (no
// mapping, no environment variable, no device at its default path) to `path` and returns it; a
// name already mapped to `path` is returned as it is. Empty when every name is taken.
std::string DefineFreeDosDevice(bool parallel, const std::string& path);

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL SetCommMask(HANDLE file, DWORD mask);
BOOL GetCommMask(HANDLE file, DWORD* mask);
// With an OVERLAPPED: completes at once (TRUE) when an event is remembered, else FALSE with
// ERROR_IO_PENDING and the record's event is signalled later with *mask filled in; the record's
// byte count then holds the bytes waiting in the input queue. Without one: polls until an event
// comes or the handle's read time-outs pass (at most 5 seconds when they are all 0).
BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped);
BOOL GetCommState(HANDLE file, DCB* dcb);
// Rejects (ERROR_INVALID_PARAMETER, nothing changed) speeds the device cannot take, a byte size
// outside 5..8, an unknown parity or stop-bit code and equal XON and XOFF characters.
BOOL SetCommState(HANDLE file, const DCB* dcb);
// The mode syntax: "baud=9600 parity=N data=8 stop=1" with the keys to, xon, octs, dtr (on, off),
// rts (on, off, hs), odsr and idsr (off only), or the short form "9600,n,8,1" with an optional
// fifth field x (XON/XOFF) or p (CTS/RTS); either may follow "COMn:". Speeds may be abbreviated
// to their first two digits (96 is 9600). Flow control not named is off. Settings a terminal
// cannot carry (DSR flow, DTR handshake, RTS toggle) fail with ERROR_NOT_SUPPORTED, bad text with
// ERROR_INVALID_PARAMETER; on failure *dcb is untouched.
BOOL BuildCommDCBA(const char* definition, DCB* dcb);
BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
// Write time-outs bound every write that does not run overlapped (total = multiplier × bytes +
// constant; all zero means the layer's default bound of 5 seconds, never an endless wait).
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
// Fails with ERROR_DEVICE_NOT_CONNECTED once the device has gone (the other end of a
// pseudo-terminal hung up, an adapter was unplugged): the handle will never carry a byte again.
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
// PURGE_TXABORT ends pending writes (995, with the count written so far; the rest is never
// sent); PURGE_RXCLEAR drops unread input; PURGE_TXCLEAR, while a write is in flight, drops the
// output the kernel holds (tcflush), which is then that write's. Bytes of writes that completed
// count as sent and are never taken back. On a pseudo-terminal, whose writes complete as soon
// as the kernel holds them, the kernel's queue behind a write in flight may also hold the tail
// of an earlier one, and what the other end's input buffer already took stays there.
BOOL PurgeComm(HANDLE file, DWORD flags);
// Waits, within the write time-outs, until what was written has left the layer and the driver.
BOOL FlushFileBuffers(HANDLE file);
BOOL GetCommModemStatus(HANDLE file, DWORD* status);
BOOL EscapeCommFunction(HANDLE file, DWORD function);

// The EscapeCommFunction code that switches a control line: 1 break, 2 DTR, 3 RTS; any other
// line gives code 0, which the system refuses.
inline DWORD CodigoDeLinea(int linea, bool estado) {
  switch (linea) {
    case 1:
      return estado ? SETBREAK : CLRBREAK;
    case 2:
      return estado ? SETDTR : CLRDTR;
    case 3:
      return estado ? SETRTS : CLRRTS;
    default:
      return 0;
  }
}

}  // namespace vtl::platform
