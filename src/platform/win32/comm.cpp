// The comm functions on the system's serial drivers; for simulated devices, and for drivers that
// cannot report modem lines or comm events (Wine's pseudo-terminals answer 50 to
// GetCommModemStatus, WaitCommEvent and EscapeCommFunction), this layer answers itself: such a
// device has no status lines, which count as on (as a null-modem cable makes them), and its comm
// events are found by comparing snapshots whenever the loop or a wait polls, with Windows'
// history rules (see comm.h).
#include "platform/comm.h"

#include <algorithm>
#include <cstring>

#include "platform/win32/objects.h"

namespace vtl::platform {

namespace win32 {

struct CommWait {
  bool answered = false;  // this layer answers the waits (simulated, or the driver cannot)
  DWORD mask = 0;
  DWORD history = 0;  // events of the mask seen while no wait was outstanding
  DWORD* waitMask = nullptr;
  OVERLAPPED* waitOv = nullptr;
  OVERLAPPED* systemOv = nullptr;  // a wait the system holds
  DWORD lastModem = 0;             // every line off at opening
  std::uint64_t lastArrived = 0;
  std::uint64_t lastWriteSerial = 0;
  bool above80 = false;
  DWORD errors = 0;
  DWORD inQueue = 4096;
};

namespace {

using sim::CommAccess;
using sim::DeviceAccess;

thread_local std::vector<std::weak_ptr<FileState>> t_commFiles;
thread_local Loop::Id t_commPoller = 0;

static_assert(sizeof(::DCB) == sizeof(DCB), "the layer's DCB is the system's");
static_assert(sizeof(::COMMTIMEOUTS) == sizeof(COMMTIMEOUTS));

constexpr DWORD kLines = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
constexpr DWORD kDefaultBoundMs = 5000;

// A driver that cannot do what was asked (as opposed to a device that failed).
bool Unsupported(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

std::shared_ptr<FileState> CommFile(HANDLE handle) {
  auto f = Find(handle);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!f->comm) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  return f;
}

CommWait& WaitOf(const std::shared_ptr<FileState>& f) {
  if (!f->wait) {
    f->wait = std::make_shared<CommWait>();
    f->wait->answered = f->sim != nullptr;
    t_commFiles.push_back(f);
    if (!t_commPoller) t_commPoller = Loop::Current().AddPoller([] { AdvanceCommWaits(); });
  }
  return *f->wait;
}

DWORD ModemStatus(FileState& f) {
  if (f.sim) return f.sim->ModemStatus();
  if (!f.noModemLines) {
    ::DWORD s = 0;
    if (::GetCommModemStatus(f.real, &s)) return s;
    if (!Unsupported(::GetLastError())) return 0;
    f.noModemLines = true;
  }
  // No modem lines: the lines are on while the device is there.
  ::DWORD errors = 0;
  return ::ClearCommError(f.real, &errors, nullptr) ? kLines : 0;
}

// Input waiting and output not yet carried, as the driver counts them.
void Queues(FileState& f, CommWait* c, DWORD* in, DWORD* out) {
  if (f.sim) {
    DWORD layer = 0;
    for (const auto& w : f.writes) layer += static_cast<DWORD>(w.data.size() - w.done);
    *in = static_cast<DWORD>(DeviceAccess::IncomingOf(*f.sim).size());
    *out = layer + static_cast<DWORD>(SimulatedDriverQueue(f));
    return;
  }
  ::DWORD errors = 0;
  ::COMSTAT stat{};
  *in = *out = 0;
  if (!::ClearCommError(f.real, &errors, &stat)) return;
  if (c) c->errors |= errors;
  *in = stat.cbInQue;
  *out = stat.cbOutQue;
}

bool WritesInFlight(const FileState& f) {
  if (f.sim) return !f.writes.empty();
  return std::any_of(f.writes.begin(), f.writes.end(), [](const PendingWrite& w) {
    return w.ov && w.ov->Internal == kStatusPending;
  });
}

// Compares the device with the last snapshot and returns the events seen since.
DWORD TakeSnapshot(FileState& f, CommWait& c) {
  DWORD ev = 0;
  const DWORD modem = ModemStatus(f);
  const DWORD changed = modem ^ c.lastModem;
  if (changed & MS_CTS_ON) ev |= EV_CTS;
  if (changed & MS_DSR_ON) ev |= EV_DSR;
  if (changed & MS_RLSD_ON) ev |= EV_RLSD;
  if (changed & MS_RING_ON) ev |= EV_RING;
  c.lastModem = modem;

  const DWORD errorsBefore = c.errors;
  DWORD inq = 0, outq = 0;
  Queues(f, &c, &inq, &outq);
  if (c.errors != errorsBefore) ev |= EV_ERR;
  const std::uint64_t arrived = f.bytesRead + inq;
  if (arrived > c.lastArrived) ev |= EV_RXCHAR;
  c.lastArrived = arrived;
  const bool above80 = std::uint64_t{inq} * 5 >= std::uint64_t{c.inQueue} * 4 && inq > 0;
  if (above80 && !c.above80) ev |= EV_RX80FULL;
  c.above80 = above80;

  if (f.writeSerial != c.lastWriteSerial && !WritesInFlight(f) && outq == 0) {
    ev |= EV_TXEMPTY;
    c.lastWriteSerial = f.writeSerial;
  }
  return ev;
}

void CompleteWait(CommWait& c, DWORD events, DWORD bytesWaiting, DWORD error) {
  OVERLAPPED* ov = c.waitOv;
  if (!ov) return;
  if (c.waitMask) *c.waitMask = events;
  c.waitOv = nullptr;
  c.waitMask = nullptr;
  Complete(ov, error, bytesWaiting);
}

DWORD InQueue(FileState& f) {
  DWORD in = 0, out = 0;
  Queues(f, nullptr, &in, &out);
  return in;
}

void Poll(FileState& f, CommWait& c) {
  if (!c.answered || (!c.mask && !c.waitOv)) return;
  c.history |= TakeSnapshot(f, c) & c.mask;
  if (c.waitOv && c.history) {
    const DWORD events = c.history;
    c.history = 0;
    CompleteWait(c, events, InQueue(f), ERROR_SUCCESS);
  }
}

// A wait this layer answers: at once when an event is remembered, else pending.
BOOL AnsweredWait(FileState& f, CommWait& c, DWORD* mask, OVERLAPPED* overlapped) {
  if (c.mask == 0 || c.waitOv) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (overlapped && overlapped->hEvent) ::ResetEvent(Real(overlapped->hEvent));
  c.history |= TakeSnapshot(f, c) & c.mask;
  if (c.history) {
    const DWORD events = c.history;
    c.history = 0;
    if (mask) *mask = events;
    if (overlapped) Complete(overlapped, 0, InQueue(f));
    return TRUE;
  }
  if (overlapped) {
    c.waitOv = overlapped;
    c.waitMask = mask;
    MarkPending(overlapped);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  DWORD bound = f.timeouts.ReadTotalTimeoutConstant;
  if (bound == 0) bound = kDefaultBoundMs;
  DWORD events = 0;
  PollFor(bound, [&] {
    c.history |= TakeSnapshot(f, c) & c.mask;
    events = c.history;
    return events != 0;
  });
  c.history = 0;
  if (mask) *mask = events;
  if (!events) {
    SetLastError(ERROR_SEM_TIMEOUT);
    return FALSE;
  }
  return TRUE;
}

constexpr DWORD kSpeeds[] = {
    50,     75,     110,    134,     150,     200,     300,     600,     1200,    1800,    2400,
    4800,   9600,   14400,  19200,   38400,   57600,   115200,  128000,  230400,  256000,  460800,
    500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

DCB DefaultDcb() {
  DCB d;
  d.BaudRate = 9600;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  d.fBitFields = DCB_fBinary | (DTR_CONTROL_ENABLE << DCB_fDtrControlShift) |
                 (RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
  d.XonLim = 2048;
  d.XoffLim = 512;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

bool ValidDcb(const DCB& d) {
  if (std::find(std::begin(kSpeeds), std::end(kSpeeds), d.BaudRate) == std::end(kSpeeds)) {
    return false;
  }
  if (d.ByteSize < 5 || d.ByteSize > 8) return false;
  if (d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) return false;
  if ((d.fBitFields & (DCB_fOutX | DCB_fInX)) && d.XonChar == d.XoffChar) return false;
  return true;
}

DWORD WriteBound(const FileState& f, DWORD bytes) {
  const std::uint64_t total = std::uint64_t{f.syncWriteMultiplierMs} * bytes + f.syncWriteTimeoutMs;
  return total ? static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFEu)) : kDefaultBoundMs;
}

}  // namespace

void AdvanceCommWaits() {
  auto& files = t_commFiles;
  for (std::size_t i = 0; i < files.size();) {
    auto f = files[i].lock();
    if (!f || !f->wait) {
      files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    Poll(*f, *f->wait);
    ++i;
  }
}

void AbortCommWait(FileState& file, DWORD error) {
  if (!file.wait) return;
  CommWait& c = *file.wait;
  CompleteWait(c, 0, 0, error);
  if (c.systemOv && file.real) {
    // The system's wait ends with the cancel; its record must not change once we return.
    ::CancelIo(file.real);
    ::DWORD n = 0;
    if (c.systemOv->Internal == kStatusPending) {
      ::GetOverlappedResult(file.real, reinterpret_cast<::OVERLAPPED*>(c.systemOv), &n, TRUE);
    }
    c.systemOv = nullptr;
  }
}

}  // namespace win32

using sim::CommAccess;
using sim::DeviceAccess;
using win32::CommFile;
using win32::CommWait;
using win32::FileState;

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (inQueue == 0 || outQueue == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  win32::WaitOf(f).inQueue = inQueue;
  if (f->sim) return TRUE;
  if (::SetupComm(f->real, inQueue, outQueue)) return TRUE;
  return win32::Unsupported(::GetLastError()) ? TRUE : FALSE;
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  CommWait& c = win32::WaitOf(f);
  if (c.answered) {
    // Snapshot under the old mask first, so what happened before stays remembered.
    win32::Poll(*f, c);
    // A new mask ends an outstanding wait with no event, as on Windows.
    win32::CompleteWait(c, 0, 0, ERROR_SUCCESS);
    c.mask = mask & 0x1FFF;
    c.history &= c.mask;
    return TRUE;
  }
  c.mask = mask & 0x1FFF;
  if (::SetCommMask(f->real, mask)) {
    c.systemOv = nullptr;  // the system ended its wait
    return TRUE;
  }
  if (!win32::Unsupported(::GetLastError())) return FALSE;
  c.answered = true;
  return TRUE;
}

BOOL GetCommMask(HANDLE file, DWORD* mask) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (mask) *mask = win32::WaitOf(f).mask;
  return TRUE;
}

BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  CommWait& c = win32::WaitOf(f);
  if (!c.answered) {
    if (overlapped) overlapped->Internal = 0;
    if (::WaitCommEvent(f->real, reinterpret_cast<::DWORD*>(mask),
                        reinterpret_cast<::OVERLAPPED*>(overlapped))) {
      return TRUE;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      c.systemOv = overlapped;
      SetLastError(error);
      return FALSE;
    }
    if (!win32::Unsupported(error)) {
      SetLastError(error);
      return FALSE;
    }
    // The driver cannot wait for comm events: from now on this layer answers.
    c.answered = true;
    if (c.mask == 0) c.mask = 0x1FFF;
  }
  return win32::AnsweredWait(*f, c, mask, overlapped);
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (!dcb) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (f->sim) {
    sim::Device& dev = *f->sim;
    *dcb = CommAccess::LineSet(dev) ? CommAccess::Line(dev) : win32::DefaultDcb();
    return TRUE;
  }
  ::DCB d{};
  d.DCBlength = sizeof d;
  if (!::GetCommState(f->real, &d)) return FALSE;
  std::memcpy(static_cast<void*>(dcb), &d, sizeof d);
  return TRUE;
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (!dcb) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (f->sim) {
    if (!win32::ValidDcb(*dcb)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    sim::Device& dev = *f->sim;
    const DWORD dtr = (dcb->fBitFields >> DCB_fDtrControlShift) & 3;
    const DWORD rts = (dcb->fBitFields >> DCB_fRtsControlShift) & 3;
    CommAccess::Line(dev) = *dcb;
    CommAccess::LineSet(dev) = true;
    CommAccess::Dtr(dev) = dtr != DTR_CONTROL_DISABLE;
    CommAccess::Rts(dev) = rts != RTS_CONTROL_DISABLE;
    return TRUE;
  }
  ::DCB d{};
  std::memcpy(&d, dcb, sizeof d);
  d.DCBlength = sizeof d;
  return ::SetCommState(f->real, &d);
}

BOOL BuildCommDCBA(const char* definition, DCB* dcb) {
  if (!definition || !dcb) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::DCB d{};
  std::memcpy(&d, dcb, sizeof d);
  d.DCBlength = sizeof d;
  if (!::BuildCommDCBA(definition, &d)) return FALSE;
  std::memcpy(static_cast<void*>(dcb), &d, sizeof d);
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  // Parallel ports have comm time-outs too: any device handle keeps them.
  auto f = win32::Find(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!timeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ::COMMTIMEOUTS t{};
  if (f->real && ::GetCommTimeouts(f->real, &t)) {
    std::memcpy(static_cast<void*>(timeouts), &t, sizeof t);
  } else {
    *timeouts = f->timeouts;
  }
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  auto f = win32::Find(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!timeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (f->real) {
    ::COMMTIMEOUTS t{};
    std::memcpy(&t, timeouts, sizeof t);
    // A device without comm time-outs (a file) keeps them in this layer only.
    ::SetCommTimeouts(f->real, &t);
  }
  f->timeouts = *timeouts;
  f->syncWriteTimeoutMs = timeouts->WriteTotalTimeoutConstant;
  f->syncWriteMultiplierMs = timeouts->WriteTotalTimeoutMultiplier;
  return TRUE;
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (f->sim && f->sim->HungUp()) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  CommWait& c = win32::WaitOf(f);
  if (f->sim || c.answered) {
    win32::Poll(*f, c);
    if (!c.mask && !c.waitOv) win32::TakeSnapshot(*f, c);  // line errors count all the same
  }
  if (f->sim) {
    if (errors) *errors = c.errors;
    c.errors = 0;
    if (stat) {
      DWORD in = 0, out = 0;
      win32::Queues(*f, nullptr, &in, &out);
      *stat = COMSTAT{0, in, out};
    }
    return TRUE;
  }
  ::DWORD e = 0;
  ::COMSTAT s{};
  if (!::ClearCommError(f->real, &e, &s)) {
    const DWORD error = ::GetLastError();
    // A device that went away (an adapter unplugged) will never carry a byte again.
    SetLastError(error == ERROR_GEN_FAILURE || error == ERROR_BAD_COMMAND ||
                         error == ERROR_DEVICE_REMOVED || error == ERROR_DEVICE_NOT_CONNECTED
                     ? ERROR_DEVICE_NOT_CONNECTED
                     : error);
    return FALSE;
  }
  if (errors) *errors = c.errors | e;
  c.errors = 0;
  if (stat) *stat = COMSTAT{0, s.cbInQue, s.cbOutQue};
  return TRUE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (flags & ~0xFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  CommWait& c = win32::WaitOf(f);
  if (f->sim) {
    if (flags & PURGE_TXABORT) {
      // Ends the writes in flight, not the comm-event wait.
      OVERLAPPED* ov = c.waitOv;
      DWORD* m = c.waitMask;
      c.waitOv = nullptr;
      win32::AbortPendingWrites(*f, ERROR_OPERATION_ABORTED);
      c.waitOv = ov;
      c.waitMask = m;
    }
    if (flags & PURGE_RXCLEAR) DeviceAccess::IncomingOf(*f->sim).clear();
    c.lastArrived = f->bytesRead + win32::InQueue(*f);
    return TRUE;
  }
  if (!::PurgeComm(f->real, flags)) return FALSE;
  if (flags & PURGE_TXABORT) {
    // The system ended the writes; their records are final once it says so.
    for (auto& w : f->writes) {
      ::DWORD n = 0;
      if (w.ov && w.ov->Internal == win32::kStatusPending) {
        ::GetOverlappedResult(f->real, reinterpret_cast<::OVERLAPPED*>(w.ov), &n, TRUE);
      }
    }
    win32::ReleaseCompletedWrites(*f);
  }
  c.lastArrived = f->bytesRead + win32::InQueue(*f);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto f = win32::Find(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (f->real && !f->comm) return ::FlushFileBuffers(f->real);
  // A serial line's driver drains at the line's pace, or not at all while the printer holds it
  // up: the wait is bounded by the write time-outs instead of the system's endless one.
  DWORD in = 0, out = 0;
  win32::Queues(*f, nullptr, &in, &out);
  const bool drained = win32::PollFor(win32::WriteBound(*f, out), [&] {
    DWORD i = 0, o = 0;
    win32::Queues(*f, nullptr, &i, &o);
    return !win32::WritesInFlight(*f) && o == 0;
  });
  if (!drained) {
    SetLastError(ERROR_SEM_TIMEOUT);
    return FALSE;
  }
  return TRUE;
}

BOOL GetCommModemStatus(HANDLE file, DWORD* status) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (!status) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *status = win32::ModemStatus(*f);
  return TRUE;
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (function < SETXOFF || function > CLRBREAK) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (f->sim) {
    sim::Device& dev = *f->sim;
    CommAccess::Escapes(dev).push_back(function);
    if (function == SETDTR || function == CLRDTR) CommAccess::Dtr(dev) = function == SETDTR;
    if (function == SETRTS || function == CLRRTS) CommAccess::Rts(dev) = function == SETRTS;
    return TRUE;
  }
  if (::EscapeCommFunction(f->real, function)) return TRUE;
  // Modem control on a device that has none is a no-op, as a null-modem cable would make it.
  return win32::Unsupported(::GetLastError()) ? TRUE : FALSE;
}

}  // namespace vtl::platform
