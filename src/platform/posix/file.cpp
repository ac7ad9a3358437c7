// Files and devices: CreateFileA, overlapped writes emulated on non-blocking descriptors,
// reads, completion checks, cancellation, and the simulated devices behind "sim:" names.
#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/portio.h"
#include "platform/posix/objects.h"
#include "platform/trace.h"

namespace vtl::platform {

namespace sim {

struct DeviceAccess {
  static Device& Of(Device& d) { return d; }
  static int& OpenCount(Device& d) { return d.openCount_; }
  static int& WriteCalls(Device& d) { return d.writeCalls_; }
  static std::deque<WriteStep>& ScriptOf(Device& d) { return d.script_; }
  static std::string& WrittenOf(Device& d) { return d.written_; }
  static std::vector<std::string>& RequestsOf(Device& d) { return d.requests_; }
  static std::string& IncomingOf(Device& d) { return d.incoming_; }
  static bool& Held(Device& d) { return d.held_; }
  static bool& HeldDecided(Device& d) { return d.heldDecided_; }
  static std::uint32_t& HeldBytes(Device& d) { return d.heldBytes_; }
  static DWORD& HeldError(Device& d) { return d.heldError_; }
  static int& FailOpens(Device& d) { return d.failOpens_; }
  static DWORD FailOpenError(Device& d) { return d.failOpenError_; }
  static std::string& KernelOf(Device& d) { return d.kernel_; }
};

}  // namespace sim

namespace detail {
namespace {

using sim::DeviceAccess;

constexpr DWORD kDefaultSyncWriteTimeoutMs = 5000;

thread_local std::vector<std::weak_ptr<FileObject>> t_pendingFiles;
thread_local Loop::Id t_pollerId = 0;

// A write to a pipe or socket whose reader has gone must fail with EPIPE, not kill the host with
// SIGPIPE; the signal is blocked around the call and a pending one is consumed.
ssize_t WriteNoSigpipe(int fd, const void* data, std::size_t length) {
  sigset_t pipeSet, old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  ssize_t n = ::write(fd, data, length);
  const int err = errno;
  if (n < 0 && err == EPIPE && !alreadyPending) {
    timespec zero{0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return n;
}

void Complete(const FileObject& file, PendingWrite& w, DWORD error) {
  if (trace::On()) {
    trace::Line("write to " + file.traceName + (error ? " failed" : " finished") + ": " +
                std::to_string(w.done) + " of " + std::to_string(w.data.size()) + " bytes" +
                (error ? trace::Error(error) : ""));
  }
  if (!w.ov) return;
  w.ov->Internal = error;
  w.ov->InternalHigh = w.done;
  if (w.ov->hEvent) Signal(w.ov->hEvent);
}

void StopWatching(FileObject& file) {
  if (file.watchId && file.loop) file.loop->Unwatch(file.watchId);
  file.watchId = 0;
  file.loop = nullptr;
}

// Bytes a serial driver still holds for the line. A pseudo-terminal hands everything to its
// other end at once and always answers 0: there, a completed write means the other side has the
// bytes in its buffer, not that a printer has read them.
std::size_t DriverQueue(FileObject& file) {
  if (file.sim) return DeviceAccess::KernelOf(*file.sim).size();
  if (!file.tty || file.fd < 0) return 0;
  int n = 0;
  if (ioctl(file.fd, TIOCOUTQ, &n) != 0 || n < 0) return 0;
  return static_cast<std::size_t>(n);
}

// Throws away what the driver still holds and returns how much that was. Only a queue the
// driver reports is flushed: on a pseudo-terminal (which reports none) a flush would take back
// bytes already handed to the other side but not read by it yet.
std::size_t DiscardDriverQueue(FileObject& file) {
  const std::size_t queued = DriverQueue(file);
  if (queued == 0) return 0;
  if (file.sim) {
    DeviceAccess::KernelOf(*file.sim).clear();
  } else {
    tcflush(file.fd, TCOFLUSH);
  }
  return queued;
}

// Bytes accepted by a simulated device: straight to the printer, or into its driver queue.
void SimAccept(sim::Device& dev, const char* data, std::size_t n) {
  (dev.KeepsInKernel() ? DeviceAccess::KernelOf(dev) : DeviceAccess::WrittenOf(dev))
      .append(data, n);
}

// A printer on /dev/lpN prints only with the port free of our own claim on its registers.
bool MayWrite(FileObject& file) {
  return file.lpIndex < 0 || portio::ReleaseForPrinterDriver(file.lpIndex);
}

enum class Progress { kDone, kWriting, kDraining };

// Moves the writes of one file forward: kWriting while bytes wait for room in the device,
// kDraining while the last of them sit in the driver's queue, kDone when none is left.
Progress AdvanceFile(FileObject& file) {
  while (!file.writes.empty()) {
    PendingWrite& w = file.writes.front();
    if (w.handedOver) {
      if (file.sim && file.sim->HungUp()) {
        DeviceAccess::KernelOf(*file.sim).clear();
        w.done = 0;
        Complete(file, w, ERROR_GEN_FAILURE);
        file.writes.pop_front();
        continue;
      }
      if (DriverQueue(file) > 0) return Progress::kDraining;
      Complete(file, w, 0);
      file.writes.pop_front();
      continue;
    }
    if (file.sim) {
      sim::Device& dev = *file.sim;
      if (dev.HungUp()) {
        Complete(file, w, ERROR_GEN_FAILURE);
      } else if (w.step.kind == sim::WriteStep::Pending) {
        if (!DeviceAccess::HeldDecided(dev)) return Progress::kWriting;
        DeviceAccess::Held(dev) = false;
        DeviceAccess::HeldDecided(dev) = false;
        if (DWORD err = DeviceAccess::HeldError(dev)) {
          Complete(file, w, err);
        } else {
          w.done = std::min<std::size_t>(DeviceAccess::HeldBytes(dev), w.data.size());
          SimAccept(dev, w.data.data(), w.done);
          w.handedOver = true;
          continue;
        }
      } else if (w.step.kind == sim::WriteStep::FailLater) {
        Complete(file, w, w.step.error);
      } else {
        w.done = std::min<std::size_t>(w.step.bytes, w.data.size());
        SimAccept(dev, w.data.data(), w.done);
        w.handedOver = true;
        continue;
      }
      file.writes.pop_front();
      continue;
    }
    if (!MayWrite(file)) return Progress::kWriting;
    ssize_t n = WriteNoSigpipe(file.fd, w.data.data() + w.done, w.data.size() - w.done);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Progress::kWriting;
      Complete(file, w, ErrnoToWin(errno));
      file.writes.pop_front();
      continue;
    }
    w.done += static_cast<std::size_t>(n);
    if (w.done < w.data.size()) return Progress::kWriting;
    w.handedOver = true;
  }
  return Progress::kDone;
}

void EnsurePoller() {
  if (t_pollerId) return;
  t_pollerId = Loop::Current().AddPoller([] { AdvancePendingIo(); });
}

// Wakes a blocked RunUntil as soon as the device takes more. A write whose bytes all sit in the
// driver's queue is not watched: the descriptor would report room on every pass, and the loop's
// own passes are enough to notice the queue has drained.
void WatchForRoom(const std::shared_ptr<FileObject>& file, Progress progress) {
  if (progress != Progress::kWriting || file->fd < 0) {
    StopWatching(*file);
    return;
  }
  if (file->watchId) return;
  file->loop = &Loop::Current();
  file->watchId = file->loop->Watch(file->fd, POLLOUT, [](short) { AdvancePendingIo(); });
}

void TrackPending(const std::shared_ptr<FileObject>& file, Progress progress) {
  EnsurePoller();
  bool known = false;
  for (auto& weak : t_pendingFiles) known = known || weak.lock() == file;
  if (!known) t_pendingFiles.push_back(file);
  WatchForRoom(file, progress);
}

DWORD OpenFlags(DWORD access, int* flags) {
  const bool r = access & GENERIC_READ, w = access & GENERIC_WRITE;
  *flags = (r && w) ? O_RDWR : w ? O_WRONLY : O_RDONLY;
  return 0;
}

}  // namespace

FileObject::~FileObject() {
  if (!traceName.empty()) trace::Line("close " + traceName);
  StopWatching(*this);
  // Closing a serial line would wait for its driver to drain (up to half a minute): closing never
  // waits, and what was not carried yet is dropped, as a cancelled write's tail is.
  DiscardDriverQueue(*this);
  // Exclusive use ends with the handle, as it does on Windows.
  if (fd >= 0 && exclusive) ioctl(fd, TIOCNXCL);
  if (fd >= 0) ::close(fd);
  if (sim) --DeviceAccess::OpenCount(*sim);
}

DWORD ErrnoToWin(int err) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ENAMETOOLONG:
      return ERROR_INVALID_PARAMETER;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOTTY:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    default:
      return ERROR_GEN_FAILURE;
  }
}

void AdvancePendingIo() {
  AdvanceCommWaits();
  auto& files = t_pendingFiles;
  for (std::size_t i = 0; i < files.size();) {
    auto file = files[i].lock();
    const Progress progress = file ? AdvanceFile(*file) : Progress::kDone;
    if (file) WatchForRoom(file, progress);
    if (progress != Progress::kDone) {
      ++i;
      continue;
    }
    files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void AbortPendingWrites(FileObject& file, DWORD error) {
  AbortCommWait(file, error);
  if (!file.writes.empty()) {
    // Only the write in front has handed bytes over; what of them still waits in the driver
    // never reaches the device, so it is not reported as written.
    PendingWrite& front = file.writes.front();
    const std::size_t stuck = DiscardDriverQueue(file);
    front.done -= std::min(stuck, front.done);
  }
  for (auto& w : file.writes) Complete(file, w, error);
  file.writes.clear();
  if (file.sim) {
    DeviceAccess::Held(*file.sim) = false;
    DeviceAccess::HeldDecided(*file.sim) = false;
  }
  StopWatching(file);
}

}  // namespace detail

using detail::DeviceAccess;
using detail::FileObject;

namespace {

HANDLE OpenFile(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                std::string& path) {
  if (!name || !*name) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileObject>();
  file->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
  path = detail::MapDeviceName(name);
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  name = path.c_str();
  if (path.rfind("sim:", 0) == 0) {
    auto dev = sim::Find(path.substr(4));
    if (!dev) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (DeviceAccess::FailOpens(*dev) > 0) {
      --DeviceAccess::FailOpens(*dev);
      SetLastError(DeviceAccess::FailOpenError(*dev));
      return INVALID_HANDLE_VALUE;
    }
    if (share == 0 && dev->IsOpen()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    ++DeviceAccess::OpenCount(*dev);
    file->sim = std::move(dev);
    return detail::Insert(std::move(file));
  }

  int oflags = 0;
  detail::OpenFlags(access, &oflags);
  oflags |= O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  constexpr DWORD kCreateAlways = 2, kOpenAlways = 4, kCreateNew = 1, kTruncateExisting = 5;
  if (disposition == kCreateAlways) oflags |= O_CREAT | O_TRUNC;
  if (disposition == kOpenAlways) oflags |= O_CREAT;
  if (disposition == kCreateNew) oflags |= O_CREAT | O_EXCL;
  if (disposition == kTruncateExisting) oflags |= O_TRUNC;
  int fd = ::open(name, oflags, 0644);
  if (fd < 0) {
    SetLastError(detail::ErrnoToWin(errno));
    return INVALID_HANDLE_VALUE;
  }
  file->fd = fd;
  struct stat st {};
  if (fstat(fd, &st) == 0) file->regular = S_ISREG(st.st_mode);
  if (share == 0) {
    // No sharing means exclusive, also against other processes.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;  // file's destructor closes fd
    }
    if (isatty(fd) && ioctl(fd, TIOCEXCL) == 0) file->exclusive = true;
  }
  if (isatty(fd)) detail::PrepareTerminal(*file);
  if (path.rfind("/dev/lp", 0) == 0 && path.size() > 7 &&
      path.find_first_not_of("0123456789", 7) == std::string::npos && path.size() < 10) {
    file->lpIndex = std::stoi(path.substr(7));
  }
  return detail::Insert(std::move(file));
}

}  // namespace

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void*, DWORD disposition,
                   DWORD flags, HANDLE) {
  std::string path;
  const HANDLE handle = OpenFile(name, access, share, disposition, flags, path);
  if (trace::On()) {
    const std::string shown =
        std::string(name ? name : "") + (path.empty() || path == name ? "" : " (" + path + ")");
    if (handle == INVALID_HANDLE_VALUE) {
      trace::Line("open " + shown + " failed" + trace::Error(GetLastError()));
    } else {
      detail::LookupAs<FileObject>(handle)->traceName = shown;
      trace::Line("open " + shown + ": handle " + std::to_string(handle));
    }
  }
  return handle;
}

void SetSynchronousWriteTimeout(HANDLE handle, DWORD milliseconds) {
  if (auto file = detail::LookupAs<FileObject>(handle)) file->syncWriteTimeoutMs = milliseconds;
}

namespace {

// A write that must finish before returning, bounded so the host thread never hangs on a stuck
// device. Returns TRUE with fewer bytes on time-out, as a serial write time-out does.
BOOL WriteSynchronous(FileObject& file, const char* data, DWORD length, DWORD* written) {
  DWORD done = 0;
  BOOL ok = TRUE;
  if (file.sim) {
    sim::Device& dev = *file.sim;
    sim::WriteStep step;
    if (!DeviceAccess::ScriptOf(dev).empty()) {
      step = DeviceAccess::ScriptOf(dev).front();
      DeviceAccess::ScriptOf(dev).pop_front();
    }
    if (dev.HungUp()) {
      step = {sim::WriteStep::Failed, 0, ERROR_GEN_FAILURE};
    }
    switch (step.kind) {
      case sim::WriteStep::Done:
        done = length;
        break;
      case sim::WriteStep::Partial:
        done = std::min(step.bytes, length);
        break;
      case sim::WriteStep::Pending:
        done = 0;
        break;
      case sim::WriteStep::Failed:
      case sim::WriteStep::FailLater:
        SetLastError(step.error);
        ok = FALSE;
        break;
    }
    detail::SimAccept(dev, data, done);
  } else {
    const std::uint64_t total =
        std::uint64_t{file.syncWriteMultiplierMs} * length + file.syncWriteTimeoutMs;
    const DWORD bound = total ? static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFEu))
                              : detail::kDefaultSyncWriteTimeoutMs;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (done < length) {
      ssize_t n = detail::MayWrite(file)
                      ? detail::WriteNoSigpipe(file.fd, data + done, length - done)
                      : (errno = EAGAIN, -1);
      if (n > 0) {
        done += static_cast<DWORD>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        SetLastError(detail::ErrnoToWin(errno));
        ok = FALSE;
        break;
      }
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long elapsed =
          (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (elapsed >= static_cast<long>(bound)) break;
      pollfd p{file.fd, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long>(bound - elapsed, 50)));
    }
  }
  if (written) *written = done;
  return ok;
}

// A write without overlapped I/O: done (or failed) when it returns; an OVERLAPPED given all the
// same says so as a completed one would.
BOOL WriteNotOverlapped(FileObject& file, const char* data, DWORD length, DWORD* written,
                        OVERLAPPED* overlapped) {
  DWORD done = 0;
  const BOOL ok = WriteSynchronous(file, data, length, &done);
  if (written) *written = done;
  if (overlapped) {
    overlapped->Internal = ok ? 0 : GetLastError();
    overlapped->InternalHigh = done;
    if (overlapped->hEvent) detail::Signal(overlapped->hEvent);
  }
  return ok;
}

// An overlapped write that finished at once.
BOOL DoneAtOnce(OVERLAPPED* overlapped, DWORD length, DWORD* written) {
  overlapped->Internal = 0;
  overlapped->InternalHigh = length;
  if (overlapped->hEvent) detail::Signal(overlapped->hEvent);
  if (written) *written = length;
  return TRUE;
}

// How an overlapped write started.
enum class Start { kDone, kFailed, kPending };

// On a simulated device, as its script says.
Start StartOnSimulated(FileObject& file, const char* data, DWORD length, detail::PendingWrite& w) {
  sim::Device& dev = *file.sim;
  if (!DeviceAccess::ScriptOf(dev).empty()) {
    w.step = DeviceAccess::ScriptOf(dev).front();
    DeviceAccess::ScriptOf(dev).pop_front();
  }
  if (dev.HungUp()) w.step = {sim::WriteStep::Failed, 0, ERROR_GEN_FAILURE};
  if (w.step.kind == sim::WriteStep::Failed) {
    SetLastError(w.step.error);
    return Start::kFailed;
  }
  if (w.step.kind == sim::WriteStep::Done && file.writes.empty() && !dev.KeepsInKernel()) {
    DeviceAccess::WrittenOf(dev).append(data, length);
    return Start::kDone;
  }
  if (w.step.kind == sim::WriteStep::Done) w.step = {sim::WriteStep::Partial, length, 0};
  if (w.step.kind == sim::WriteStep::Pending) DeviceAccess::Held(dev) = true;
  w.data.assign(data, data + length);
  return Start::kPending;
}

// On a real descriptor: what it takes now, the rest later.
Start StartOnDescriptor(FileObject& file, const char* data, DWORD length, detail::PendingWrite& w) {
  std::size_t done = 0;
  if (file.writes.empty() && detail::MayWrite(file)) {
    const ssize_t n = detail::WriteNoSigpipe(file.fd, data, length);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      SetLastError(detail::ErrnoToWin(errno));
      return Start::kFailed;
    }
    done = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (done == length && detail::DriverQueue(file) == 0) return Start::kDone;
  }
  // The caller's buffer may be reused once we return; keep our own copy of the rest.
  w.data.assign(data, data + length);
  w.done = done;
  w.handedOver = done == length;
  return Start::kPending;
}

}  // namespace

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD length, DWORD* written,
               OVERLAPPED* overlapped) {
  auto file = detail::LookupAs<FileObject>(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (written) *written = 0;
  if (length && !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const char* data = static_cast<const char*>(buffer);
  if (trace::On()) {
    trace::Data("write to " + file->traceName + ", " + std::to_string(length) + " bytes", data,
                length);
  }
  ++file->writeSerial;
  if (file->sim) {
    ++DeviceAccess::WriteCalls(*file->sim);
    DeviceAccess::RequestsOf(*file->sim).emplace_back(data, length);
  }
  if (overlapped && overlapped->hEvent) detail::Reset(overlapped->hEvent);
  if (!file->overlapped || !overlapped) {
    DWORD done = 0;
    const BOOL ok = WriteNotOverlapped(*file, data, length, &done, overlapped);
    if (written) *written = done;
    if (trace::On() && (!ok || done < length)) {
      trace::Line("write to " + file->traceName + (ok ? " cut short: " : " failed: ") +
                  std::to_string(done) + " of " + std::to_string(length) + " bytes" +
                  (ok ? "" : trace::Error(GetLastError())));
    }
    return ok;
  }

  detail::PendingWrite w;
  w.ov = overlapped;
  const Start start = file->sim ? StartOnSimulated(*file, data, length, w)
                                : StartOnDescriptor(*file, data, length, w);
  if (start == Start::kFailed) {
    if (trace::On())
      trace::Line("write to " + file->traceName + " refused" + trace::Error(GetLastError()));
    return FALSE;
  }
  if (start == Start::kDone) return DoneAtOnce(overlapped, length, written);
  overlapped->Internal = ERROR_IO_PENDING;
  overlapped->InternalHigh = w.done;
  const bool draining = w.handedOver;
  file->writes.push_back(std::move(w));
  detail::TrackPending(file, draining && file->writes.size() == 1 ? detail::Progress::kDraining
                                                                  : detail::Progress::kWriting);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped) {
  auto file = detail::LookupAs<FileObject>(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (read) *read = 0;
  if (overlapped && overlapped->hEvent) detail::Reset(overlapped->hEvent);
  DWORD got = 0;
  if (file->sim) {
    if (file->sim->HungUp()) {
      SetLastError(ERROR_GEN_FAILURE);
      return FALSE;
    }
    std::string& in = DeviceAccess::IncomingOf(*file->sim);
    got = static_cast<DWORD>(std::min<std::size_t>(length, in.size()));
    if (got) std::memcpy(buffer, in.data(), got);
    in.erase(0, got);
  } else if (length) {
    ssize_t n = ::read(file->fd, buffer, length);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      SetLastError(detail::ErrnoToWin(errno));
      return FALSE;
    }
    got = n > 0 ? static_cast<DWORD>(n) : 0;
  }
  file->bytesRead += got;
  if (got && trace::On()) {
    trace::Data("read from " + file->traceName + ", " + std::to_string(got) + " bytes", buffer,
                got);
  }
  if (read) *read = got;
  if (overlapped) {
    overlapped->Internal = 0;
    overlapped->InternalHigh = got;
    if (overlapped->hEvent) detail::Signal(overlapped->hEvent);
  }
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  auto file = detail::LookupAs<FileObject>(handle);
  if (!file || !overlapped) {
    SetLastError(file ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  detail::AdvancePendingIo();
  if (overlapped->Internal == ERROR_IO_PENDING && wait) {
    const DWORD bound =
        file->syncWriteTimeoutMs ? file->syncWriteTimeoutMs : detail::kDefaultSyncWriteTimeoutMs;
    if (overlapped->hEvent) WaitForSingleObject(overlapped->hEvent, bound);
  }
  if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  if (overlapped->Internal == ERROR_IO_PENDING) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  if (overlapped->Internal != 0) {
    SetLastError(static_cast<DWORD>(overlapped->Internal));
    return FALSE;
  }
  return TRUE;
}

BOOL CancelIo(HANDLE handle) {
  auto file = detail::LookupAs<FileObject>(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  detail::AbortPendingWrites(*file, ERROR_OPERATION_ABORTED);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE handle) {
  auto file = detail::LookupAs<FileObject>(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (file->regular) {
    off_t pos = lseek(file->fd, 0, SEEK_CUR);
    if (pos < 0 || ftruncate(file->fd, pos) != 0) {
      SetLastError(detail::ErrnoToWin(errno));
      return FALSE;
    }
  }
  // Devices have no end of file; the call is harmless there, as on Windows.
  return TRUE;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, void*, DWORD, void* out, DWORD outSize,
                     DWORD* returned, OVERLAPPED*) {
  if (returned) *returned = 0;
  auto file = detail::LookupAs<FileObject>(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (code != IOCTL_USBPRINT_GET_LPT_STATUS) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (!out || outSize < sizeof(DWORD)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD status = 0;
  if (file->sim) {
    if (file->sim->HungUp()) {
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return FALSE;
    }
    const auto byte = file->sim->PrinterStatus();
    if (!byte) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    status = *byte;
  } else {
    int value = 0;
    if (ioctl(file->fd, LPGETSTATUS, &value) != 0) {
      switch (errno) {
        case ENOTTY:
        case EINVAL:
        case ENOSYS:
          SetLastError(ERROR_NOT_SUPPORTED);
          break;
        case ENODEV:
        case ENXIO:
        case EIO:
          SetLastError(ERROR_DEVICE_NOT_CONNECTED);
          break;
        default:
          SetLastError(detail::ErrnoToWin(errno));
          break;
      }
      return FALSE;
    }
    status = static_cast<DWORD>(value) & 0xFF;
  }
  std::memcpy(out, &status, sizeof status);
  if (returned) *returned = sizeof status;
  return TRUE;
}

}  // namespace vtl::platform
