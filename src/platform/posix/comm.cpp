// Comm functions on termios and ioctl: line settings, time-outs, modem lines and comm events found
// by comparing snapshots whenever the loop or a wait polls.
#include "platform/comm.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/cadenas.h"
#include "platform/posix/objects.h"

namespace vtl::platform {

namespace sim {
// What the comm layer keeps inside a simulated device.
struct CommAccess {
  static DWORD& Modem(Device& d) { return d.modem_; }
  static DCB& Line(Device& d) { return d.dcb_; }
  static bool& LineSet(Device& d) { return d.dcbSet_; }
  static std::vector<DWORD>& Escapes(Device& d) { return d.escapes_; }
  static bool& Dtr(Device& d) { return d.dtr_; }
  static bool& Rts(Device& d) { return d.rts_; }
  static std::string& Incoming(Device& d) { return d.incoming_; }
};
}  // namespace sim

namespace detail {

struct CommState {
  DWORD mask = 0;
  DWORD history = 0;  // events of the mask seen while no wait was outstanding
  DWORD* waitMask = nullptr;
  OVERLAPPED* waitOv = nullptr;
  DWORD lastModem = 0;  // every line off at opening
  std::uint64_t lastArrived = 0;
  std::uint64_t lastWriteSerial = 0;
  bool above80 = false;
  serial_icounter_struct lastCount{};
  bool haveCount = false;
  DWORD errors = 0;  // for ClearCommError
  DWORD inQueue = 4096;
  DWORD outQueue = 4096;
  COMMTIMEOUTS timeouts{};
  DCB dcb{};  // as last set through this handle
  bool dcbSet = false;
  termios applied{};  // what that SetCommState left in the device
  // Calls a device has answered with "not a terminal function" (a pseudo-terminal has no modem
  // lines and no line-error counters) are not made again.
  bool noModemLines = false;
  bool noLineCounters = false;
  // The last look at the device (monotonic µs) and what had passed through the handle then.
  std::int64_t lookedAt = 0;
  std::uint64_t lookedWrites = 0;
  std::uint64_t lookedReads = 0;
};

namespace {

using sim::CommAccess;

thread_local std::vector<std::weak_ptr<FileObject>> t_commFiles;
thread_local Loop::Id t_commPoller = 0;

constexpr DWORD kDefaultBoundMs = 5000;

bool IsTty(const FileObject& f) {
  return f.fd >= 0 && f.tty;
}
bool IsComm(const FileObject& f) {
  return f.sim || IsTty(f);
}

std::shared_ptr<FileObject> CommFile(HANDLE handle) {
  auto f = LookupAs<FileObject>(handle);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!IsComm(*f)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return nullptr;
  }
  return f;
}

CommState& StateOf(const std::shared_ptr<FileObject>& f) {
  if (!f->comm) {
    f->comm = std::make_shared<CommState>();
    t_commFiles.push_back(f);
    if (!t_commPoller) t_commPoller = Loop::Current().AddPoller([] { AdvanceCommWaits(); });
  }
  return *f->comm;
}

// The other end of a device without modem lines is there until it hangs up.
bool OtherEndOpen(int fd) {
  pollfd p{fd, 0, 0};
  if (::poll(&p, 1, 0) < 0) return false;
  return !(p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

DWORD ModemStatus(const FileObject& f) {
  if (f.sim) return f.sim->ModemStatus();
  const auto lines = [&] { return OtherEndOpen(f.fd) ? (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON) : 0; };
  if (f.comm && f.comm->noModemLines) return lines();
  int bits = 0;
  if (ioctl(f.fd, TIOCMGET, &bits) != 0) {
    if (errno == ENOTTY || errno == EINVAL) {
      if (f.comm) f.comm->noModemLines = true;
      return lines();
    }
    return 0;  // a device that went away (EIO) shows no line
  }
  DWORD s = 0;
  if (bits & TIOCM_CTS) s |= MS_CTS_ON;
  if (bits & TIOCM_DSR) s |= MS_DSR_ON;
  if (bits & TIOCM_RI) s |= MS_RING_ON;
  if (bits & TIOCM_CD) s |= MS_RLSD_ON;
  return s;
}

// The device behind the handle went away: the other end of a pseudo-terminal hung up, a USB
// adapter was unplugged. The handle stays, but nothing will ever pass through it again.
bool Gone(FileObject& f) {
  if (f.sim) return f.sim->HungUp();
  pollfd p{f.fd, 0, 0};
  if (::poll(&p, 1, 0) < 0) return true;
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
  int n = 0;
  return ioctl(f.fd, TIOCINQ, &n) != 0 && (errno == EIO || errno == ENODEV || errno == ENXIO);
}

DWORD InQueue(FileObject& f) {
  if (f.sim) return static_cast<DWORD>(CommAccess::Incoming(*f.sim).size());
  int n = 0;
  if (ioctl(f.fd, TIOCINQ, &n) != 0 || n < 0) return 0;
  return static_cast<DWORD>(n);
}

DWORD OutQueue(FileObject& f) {
  DWORD layer = 0;
  for (const auto& w : f.writes) layer += static_cast<DWORD>(w.data.size() - w.done);
  if (f.sim) return layer;
  int n = 0;
  if (ioctl(f.fd, TIOCOUTQ, &n) != 0 || n < 0) n = 0;
  return layer + static_cast<DWORD>(n);
}

// Compares the device with the last snapshot and returns the events seen since.
DWORD TakeSnapshot(FileObject& f, CommState& c) {
  DWORD ev = 0;
  const DWORD modem = ModemStatus(f);
  const DWORD changed = modem ^ c.lastModem;
  if (changed & MS_CTS_ON) ev |= EV_CTS;
  if (changed & MS_DSR_ON) ev |= EV_DSR;
  if (changed & MS_RLSD_ON) ev |= EV_RLSD;
  if (changed & MS_RING_ON) ev |= EV_RING;
  c.lastModem = modem;

  const DWORD inq = InQueue(f);
  const std::uint64_t arrived = f.bytesRead + inq;
  if (arrived > c.lastArrived) ev |= EV_RXCHAR;
  c.lastArrived = arrived;
  const bool above80 = std::uint64_t{inq} * 5 >= std::uint64_t{c.inQueue} * 4 && inq > 0;
  if (above80 && !c.above80) ev |= EV_RX80FULL;
  c.above80 = above80;

  if (f.writeSerial != c.lastWriteSerial && f.writes.empty() && OutQueue(f) == 0) {
    ev |= EV_TXEMPTY;
    c.lastWriteSerial = f.writeSerial;
  }

  if (!f.sim && !c.noLineCounters) {
    serial_icounter_struct now{};
    const int rc = ioctl(f.fd, TIOCGICOUNT, &now);
    if (rc != 0 && (errno == ENOTTY || errno == EINVAL)) c.noLineCounters = true;
    if (rc == 0) {
      if (c.haveCount) {
        if (now.frame != c.lastCount.frame) c.errors |= CE_FRAME, ev |= EV_ERR;
        if (now.overrun != c.lastCount.overrun) c.errors |= CE_OVERRUN, ev |= EV_ERR;
        if (now.parity != c.lastCount.parity) c.errors |= CE_RXPARITY, ev |= EV_ERR;
        if (now.buf_overrun != c.lastCount.buf_overrun) c.errors |= CE_RXOVER, ev |= EV_ERR;
        if (now.brk != c.lastCount.brk) c.errors |= CE_BREAK, ev |= EV_BREAK;
      }
      c.lastCount = now;
      c.haveCount = true;
    }
  }
  return ev;
}

void CompleteWait(CommState& c, DWORD events, DWORD bytesWaiting, DWORD error) {
  OVERLAPPED* ov = c.waitOv;
  if (!ov) return;
  if (c.waitMask) *c.waitMask = events;
  c.waitOv = nullptr;
  c.waitMask = nullptr;
  ov->Internal = error;
  ov->InternalHigh = bytesWaiting;
  if (ov->hEvent) Signal(ov->hEvent);
}

// Takes a snapshot; completes the outstanding wait when an event of the mask is remembered.
void Poll(FileObject& f, CommState& c) {
  if (!c.mask && !c.waitOv) return;
  // One look at the device per pass of the host's loop: the loop's poller and the tick it runs
  // both ask, within microseconds, and a second look with nothing written or read through the
  // handle meanwhile would see the same.
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::int64_t now = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
  const bool same = !f.sim && c.lookedAt != 0 && now - c.lookedAt < 1000 &&
                    f.writeSerial == c.lookedWrites && f.bytesRead == c.lookedReads &&
                    f.writes.empty();
  if (!same) {
    c.history |= TakeSnapshot(f, c) & c.mask;
    c.lookedAt = now;
    c.lookedWrites = f.writeSerial;
    c.lookedReads = f.bytesRead;
  }
  if (c.waitOv && c.history) {
    const DWORD events = c.history;
    c.history = 0;
    CompleteWait(c, events, InQueue(f), ERROR_SUCCESS);
  }
}

struct Speed {
  DWORD baud;
  speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(DWORD baud, speed_t* code) {
  for (const auto& s : kSpeeds) {
    if (s.baud == baud) {
      *code = s.code;
      return true;
    }
  }
  return false;
}

DWORD BaudOf(speed_t code) {
  for (const auto& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;
}

DWORD DtrControl(const DCB& d) {
  return (d.fBitFields >> DCB_fDtrControlShift) & 3;
}
DWORD RtsControl(const DCB& d) {
  return (d.fBitFields >> DCB_fRtsControlShift) & 3;
}

DCB DefaultDcb() {
  DCB d;
  d.BaudRate = 9600;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  d.fBitFields = DCB_fBinary;
  SetField(d, DCB_fDtrControlShift, DTR_CONTROL_ENABLE);
  SetField(d, DCB_fRtsControlShift, RTS_CONTROL_ENABLE);
  d.XonLim = 2048;
  d.XoffLim = 512;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  return d;
}

bool ValidDcb(const DCB& d) {
  speed_t code;
  if (!SpeedCode(d.BaudRate, &code)) return false;
  if (d.ByteSize < 5 || d.ByteSize > 8) return false;
  if (d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS) return false;
  if ((d.fBitFields & (DCB_fOutX | DCB_fInX)) && d.XonChar == d.XoffChar) return false;
  return true;
}

// The fields of a DCB that termios carries, taken from the device; the rest from `base`.
DCB FromTermios(const termios& t, DCB d) {
  d.BaudRate = BaudOf(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
  }
  if (!(t.c_cflag & PARENB)) {
    d.Parity = NOPARITY;
  } else if (t.c_cflag & CMSPAR) {
    d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  if (!(t.c_cflag & CSTOPB)) {
    d.StopBits = ONESTOPBIT;
  } else if (d.StopBits != ONE5STOPBITS) {
    d.StopBits = TWOSTOPBITS;
  }
  SetBit(d, DCB_fBinary, true);
  SetBit(d, DCB_fParity, t.c_iflag & INPCK);
  const bool crtscts = t.c_cflag & CRTSCTS;
  SetBit(d, DCB_fOutxCtsFlow, crtscts);
  if (crtscts) {
    SetField(d, DCB_fRtsControlShift, RTS_CONTROL_HANDSHAKE);
  } else if (RtsControl(d) == RTS_CONTROL_HANDSHAKE) {
    SetField(d, DCB_fRtsControlShift, RTS_CONTROL_ENABLE);
  }
  SetBit(d, DCB_fOutX, t.c_iflag & IXON);
  SetBit(d, DCB_fInX, t.c_iflag & IXOFF);
  d.XonChar = static_cast<char>(t.c_cc[VSTART]);
  d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return d;
}

// A raw line: bytes pass untouched both ways; time-outs are the layer's, not VMIN/VTIME.
void ToTermios(const DCB& d, termios& t) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXANY | IXON | IXOFF | INPCK | IUCLC | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL;
  switch (d.ByteSize) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
  }
  switch (d.Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (d.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  if (d.fBitFields & DCB_fParity) t.c_iflag |= INPCK;
  if ((d.fBitFields & DCB_fOutxCtsFlow) || RtsControl(d) == RTS_CONTROL_HANDSHAKE) {
    t.c_cflag |= CRTSCTS;
  }
  if (d.fBitFields & DCB_fOutX) t.c_iflag |= IXON;
  if (d.fBitFields & DCB_fInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(d.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(d.XoffChar);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  speed_t code = B9600;
  SpeedCode(d.BaudRate, &code);
  cfsetispeed(&t, code);
  cfsetospeed(&t, code);
}

bool SameTermios(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && cfgetospeed(&a) == cfgetospeed(&b) &&
         a.c_cc[VSTART] == b.c_cc[VSTART] && a.c_cc[VSTOP] == b.c_cc[VSTOP];
}

// Modem control on a device that has none is a no-op, as a null-modem cable would make it.
bool ModemBits(int fd, int request, int bits) {
  if (ioctl(fd, request, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

DWORD WriteBound(const FileObject& f, DWORD bytes) {
  const std::uint64_t total = std::uint64_t{f.syncWriteMultiplierMs} * bytes + f.syncWriteTimeoutMs;
  return total ? static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFEu)) : kDefaultBoundMs;
}

// Waits on the loop's clock without pumping messages (a manual clock moves instead).
template <typename Done>
bool PollFor(DWORD bound, Done done) {
  Loop& loop = Loop::Current();
  const std::int64_t deadline = loop.Now() + bound;
  for (;;) {
    AdvancePendingIo();
    if (done()) return true;
    const std::int64_t now = loop.Now();
    if (now >= deadline) return false;
    if (loop.ManualClock()) {
      loop.Advance(std::min<std::int64_t>(deadline - now, 1));
      continue;
    }
    usleep(1000);
  }
}

}  // namespace

void PrepareTerminal(FileObject& file) {
  file.tty = true;
  const int fd = file.fd;
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  // A comm port passes bytes untouched both ways; speed, framing and flow stay as they are.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXANY | IUCLC | IMAXBEL);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
}

void AdvanceCommWaits() {
  auto& files = t_commFiles;
  for (std::size_t i = 0; i < files.size();) {
    auto f = files[i].lock();
    if (!f || !f->comm) {
      files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    Poll(*f, *f->comm);
    ++i;
  }
}

void AbortCommWait(FileObject& file, DWORD error) {
  if (file.comm) CompleteWait(*file.comm, 0, 0, error);
}

}  // namespace detail

using detail::CommFile;
using detail::CommState;
using detail::FileObject;
using sim::CommAccess;

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (inQueue == 0 || outQueue == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  CommState& c = detail::StateOf(f);
  c.inQueue = inQueue;
  c.outQueue = outQueue;
  return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  CommState& c = detail::StateOf(f);
  // Snapshot under the old mask first, so what happened before stays remembered.
  detail::Poll(*f, c);
  // A new mask ends an outstanding wait with no event, as on Windows.
  detail::CompleteWait(c, 0, 0, ERROR_SUCCESS);
  c.mask = mask & 0x1FFF;
  c.history &= c.mask;
  return TRUE;
}

BOOL GetCommMask(HANDLE file, DWORD* mask) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (mask) *mask = detail::StateOf(f).mask;
  return TRUE;
}

BOOL WaitCommEvent(HANDLE file, DWORD* mask, OVERLAPPED* overlapped) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  CommState& c = detail::StateOf(f);
  if (c.mask == 0 || c.waitOv) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (overlapped && overlapped->hEvent) detail::Reset(overlapped->hEvent);
  c.history |= detail::TakeSnapshot(*f, c) & c.mask;
  if (c.history) {
    const DWORD events = c.history;
    c.history = 0;
    if (mask) *mask = events;
    if (overlapped) {
      overlapped->Internal = ERROR_SUCCESS;
      overlapped->InternalHigh = detail::InQueue(*f);
      if (overlapped->hEvent) detail::Signal(overlapped->hEvent);
    }
    return TRUE;
  }
  if (overlapped) {
    c.waitOv = overlapped;
    c.waitMask = mask;
    overlapped->Internal = ERROR_IO_PENDING;
    overlapped->InternalHigh = 0;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  DWORD bound = c.timeouts.ReadTotalTimeoutConstant;
  if (bound == 0) bound = detail::kDefaultBoundMs;
  DWORD events = 0;
  detail::PollFor(bound, [&] {
    c.history |= detail::TakeSnapshot(*f, c) & c.mask;
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

BOOL GetCommState(HANDLE file, DCB* dcb) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (!dcb) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  CommState& c = detail::StateOf(f);
  if (f->sim) {
    sim::Device& dev = *f->sim;
    *dcb = CommAccess::LineSet(dev) ? CommAccess::Line(dev) : detail::DefaultDcb();
    return TRUE;
  }
  termios t{};
  if (tcgetattr(f->fd, &t) != 0) {
    SetLastError(detail::ErrnoToWin(errno));
    return FALSE;
  }
  if (c.dcbSet && detail::SameTermios(t, c.applied)) {
    *dcb = c.dcb;
  } else {
    // Someone else changed the line (or this handle never set it): what termios holds wins.
    *dcb = detail::FromTermios(t, c.dcbSet ? c.dcb : detail::DefaultDcb());
  }
  return TRUE;
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (!dcb || !detail::ValidDcb(*dcb)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  CommState& c = detail::StateOf(f);
  const DWORD dtr = detail::DtrControl(*dcb), rts = detail::RtsControl(*dcb);
  if (f->sim) {
    sim::Device& dev = *f->sim;
    CommAccess::Line(dev) = *dcb;
    CommAccess::LineSet(dev) = true;
    CommAccess::Dtr(dev) = dtr != DTR_CONTROL_DISABLE;
    CommAccess::Rts(dev) = rts != RTS_CONTROL_DISABLE;
    c.dcb = *dcb;
    c.dcbSet = true;
    return TRUE;
  }
  termios t{};
  if (tcgetattr(f->fd, &t) != 0) {
    SetLastError(detail::ErrnoToWin(errno));
    return FALSE;
  }
  detail::ToTermios(*dcb, t);
  if (tcsetattr(f->fd, TCSANOW, &t) != 0) {
    SetLastError(detail::ErrnoToWin(errno));
    return FALSE;
  }
  termios applied{};
  if (tcgetattr(f->fd, &applied) == 0) c.applied = applied;
  detail::ModemBits(f->fd, dtr == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, TIOCM_DTR);
  if (rts != RTS_CONTROL_HANDSHAKE) {
    detail::ModemBits(f->fd, rts == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, TIOCM_RTS);
  }
  c.dcb = *dcb;
  c.dcbSet = true;
  return TRUE;
}

BOOL BuildCommDCBA(const char* definition, DCB* dcb) {
  if (!definition || !dcb) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = ERROR_SUCCESS;
  DCB d = *dcb;
  if (!detail::ParseDcbText(definition, d, &error)) {
    SetLastError(error);
    return FALSE;
  }
  *dcb = d;
  return TRUE;
}

BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  // Parallel ports have comm time-outs too: any device handle keeps them.
  auto f = detail::LookupAs<FileObject>(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!timeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *timeouts = detail::StateOf(f).timeouts;
  return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  auto f = detail::LookupAs<FileObject>(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!timeouts) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  detail::StateOf(f).timeouts = *timeouts;
  f->syncWriteTimeoutMs = timeouts->WriteTotalTimeoutConstant;
  f->syncWriteMultiplierMs = timeouts->WriteTotalTimeoutMultiplier;
  return TRUE;
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (detail::Gone(*f)) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  CommState& c = detail::StateOf(f);
  detail::Poll(*f, c);
  if (!c.mask && !c.waitOv) detail::TakeSnapshot(*f, c);  // line errors count all the same
  if (errors) *errors = c.errors;
  c.errors = 0;
  if (stat) {
    stat->fFlags = 0;
    stat->cbInQue = detail::InQueue(*f);
    stat->cbOutQue = detail::OutQueue(*f);
  }
  return TRUE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
  auto f = CommFile(file);
  if (!f) return FALSE;
  if (flags & ~0xFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  CommState& c = detail::StateOf(f);
  const bool writing = !f->writes.empty();
  if (flags & PURGE_TXABORT) {
    // Ends the writes in flight, not the comm-event wait.
    OVERLAPPED* ov = c.waitOv;
    DWORD* m = c.waitMask;
    c.waitOv = nullptr;
    detail::AbortPendingWrites(*f, ERROR_OPERATION_ABORTED);
    c.waitOv = ov;
    c.waitMask = m;
  }
  // Clearing empties the kernel's queues as well, as a serial driver's buffers are emptied. On
  // the output side that is done only while a write is in flight: the kernel then holds bytes of
  // a write that has not completed, which are dropped, not sent later. Bytes of writes that have
  // completed count as sent and are never taken back (a UART completes a write once its bytes
  // have left; a pseudo-terminal as soon as the kernel holds them). On a pseudo-terminal, what
  // the other end's own input buffer already took cannot be taken back either.
  if (f->sim) {
    if (flags & PURGE_RXCLEAR) CommAccess::Incoming(*f->sim).clear();
  } else {
    const bool in = flags & PURGE_RXCLEAR, out = (flags & PURGE_TXCLEAR) && writing;
    if (in || out) tcflush(f->fd, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH);
  }
  c.lastArrived = f->bytesRead + detail::InQueue(*f);
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  auto f = detail::LookupAs<FileObject>(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (f->regular) return fsync(f->fd) == 0 ? TRUE : FALSE;
  const bool tty = detail::IsTty(*f);
  const bool drained = detail::PollFor(detail::WriteBound(*f, detail::OutQueue(*f)), [&] {
    if (!f->writes.empty()) return false;
    int n = 0;
    return !tty || ioctl(f->fd, TIOCOUTQ, &n) != 0 || n <= 0;
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
  *status = detail::ModemStatus(*f);
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
  bool ok = true;
  switch (function) {
    case SETRTS:
      ok = detail::ModemBits(f->fd, TIOCMBIS, TIOCM_RTS);
      break;
    case CLRRTS:
      ok = detail::ModemBits(f->fd, TIOCMBIC, TIOCM_RTS);
      break;
    case SETDTR:
      ok = detail::ModemBits(f->fd, TIOCMBIS, TIOCM_DTR);
      break;
    case CLRDTR:
      ok = detail::ModemBits(f->fd, TIOCMBIC, TIOCM_DTR);
      break;
    case SETBREAK:
      ok = ioctl(f->fd, TIOCSBRK) == 0 || errno == ENOTTY || errno == EINVAL;
      break;
    case CLRBREAK:
      ok = ioctl(f->fd, TIOCCBRK) == 0 || errno == ENOTTY || errno == EINVAL;
      break;
    case SETXOFF:
      ok = tcflow(f->fd, TCOOFF) == 0;
      break;
    case SETXON:
      ok = tcflow(f->fd, TCOON) == 0;
      break;
    default:  // RESETDEV: nothing to reset on these devices
      break;
  }
  if (!ok) {
    SetLastError(detail::ErrnoToWin(errno));
    return FALSE;
  }
  return TRUE;
}

}  // namespace vtl::platform
