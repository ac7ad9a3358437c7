// Files and devices on the system's overlapped I/O, and the simulated devices behind "sim:"
// names, whose writes this layer moves itself.
//
// A real overlapped write goes to the system with a copy of the caller's bytes, kept until the
// write has completed: the caller may reuse its buffer as soon as WriteFile returns, as it can
// on every build. A read never outlives its call: what the device does not deliver within the
// handle's read time-outs is cancelled before ReadFile returns, so that the system never writes
// into a buffer its caller has let go.
#include <algorithm>
#include <cstring>

#include "platform/portio.h"
#include "platform/win32/objects.h"

namespace vtl::platform {

namespace win32 {
namespace {

using sim::DeviceAccess;

constexpr DWORD kDefaultSyncWriteTimeoutMs = 5000;
constexpr DWORD kDefaultReadBoundMs = 50;
constexpr DWORD kMaxReadBoundMs = 1000;

thread_local std::vector<std::weak_ptr<FileState>> t_pendingFiles;
thread_local Loop::Id t_pollerId = 0;

void EnsurePoller() {
  if (t_pollerId) return;
  t_pollerId = Loop::Current().AddPoller([] { AdvancePendingIo(); });
}

// Bytes accepted by a simulated device: straight to the printer, or into its driver queue.
void SimAccept(sim::Device& dev, const char* data, std::size_t n) {
  (dev.KeepsInKernel() ? DeviceAccess::KernelOf(dev) : DeviceAccess::WrittenOf(dev))
      .append(data, n);
}

std::size_t DiscardSimulatedQueue(FileState& file) {
  if (!file.sim) return 0;
  const std::size_t queued = DeviceAccess::KernelOf(*file.sim).size();
  DeviceAccess::KernelOf(*file.sim).clear();
  return queued;
}

enum class Progress { kDone, kBusy };

// Moves the writes of one simulated device forward.
Progress AdvanceSimulated(FileState& file) {
  sim::Device& dev = *file.sim;
  while (!file.writes.empty()) {
    PendingWrite& w = file.writes.front();
    if (w.handedOver) {
      if (dev.HungUp()) {
        DeviceAccess::KernelOf(dev).clear();
        Complete(w.ov, ERROR_GEN_FAILURE, 0);
        file.writes.pop_front();
        continue;
      }
      if (!DeviceAccess::KernelOf(dev).empty()) return Progress::kBusy;
      Complete(w.ov, 0, w.done);
      file.writes.pop_front();
      continue;
    }
    if (dev.HungUp()) {
      Complete(w.ov, ERROR_GEN_FAILURE, w.done);
    } else if (w.step.kind == sim::WriteStep::Pending) {
      if (!DeviceAccess::HeldDecided(dev)) return Progress::kBusy;
      DeviceAccess::Held(dev) = false;
      DeviceAccess::HeldDecided(dev) = false;
      if (DWORD err = DeviceAccess::HeldError(dev)) {
        Complete(w.ov, err, w.done);
      } else {
        w.done = std::min<std::size_t>(DeviceAccess::HeldBytes(dev), w.data.size());
        SimAccept(dev, w.data.data(), w.done);
        w.handedOver = true;
        continue;
      }
    } else if (w.step.kind == sim::WriteStep::FailLater) {
      Complete(w.ov, w.step.error, w.done);
    } else {
      w.done = std::min<std::size_t>(w.step.bytes, w.data.size());
      SimAccept(dev, w.data.data(), w.done);
      w.handedOver = true;
      continue;
    }
    file.writes.pop_front();
  }
  return Progress::kDone;
}

bool StillPending(const PendingWrite& w) {
  return w.ov && w.ov->Internal == kStatusPending;
}

// How long a read may take on this handle before it is cancelled.
DWORD ReadBound(const FileState& file, DWORD length) {
  const COMMTIMEOUTS& t = file.timeouts;
  const std::uint64_t total =
      std::uint64_t{t.ReadTotalTimeoutMultiplier} * length + t.ReadTotalTimeoutConstant;
  if (total == 0) return kDefaultReadBoundMs;
  return static_cast<DWORD>(std::clamp<std::uint64_t>(total, 1, kMaxReadBoundMs));
}

DWORD WriteBound(const FileState& file, DWORD length) {
  const std::uint64_t total =
      std::uint64_t{file.syncWriteMultiplierMs} * length + file.syncWriteTimeoutMs;
  return total ? static_cast<DWORD>(std::min<std::uint64_t>(total, 0xFFFFFFFEu))
               : kDefaultSyncWriteTimeoutMs;
}

// One system call on a handle opened for overlapped I/O, finished before returning: waits up to
// `bound` milliseconds, then cancels it and takes what it had done.
template <typename Start>
BOOL Finish(::HANDLE h, DWORD bound, DWORD* done, Start start) {
  ::OVERLAPPED ov{};
  ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return FALSE;
  ::DWORD n = 0;
  BOOL ok = start(&ov, &n);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
    if (::WaitForSingleObject(ov.hEvent, bound) != WAIT_OBJECT_0) ::CancelIoEx(h, &ov);
    ok = ::GetOverlappedResult(h, &ov, &n, TRUE);
    // A cancelled operation still reports what it did.
    if (!ok && ::GetLastError() == ERROR_OPERATION_ABORTED) ok = TRUE;
  }
  const DWORD error = ::GetLastError();
  ::CloseHandle(ov.hEvent);
  if (done) *done = n;
  if (!ok) SetLastError(error);
  return ok;
}

}  // namespace

std::size_t SimulatedDriverQueue(FileState& file) {
  return file.sim ? DeviceAccess::KernelOf(*file.sim).size() : 0;
}

void TrackPending(const std::shared_ptr<FileState>& file) {
  EnsurePoller();
  for (auto& weak : t_pendingFiles) {
    if (weak.lock() == file) return;
  }
  t_pendingFiles.push_back(file);
}

void AdvancePendingIo() {
  AdvanceCommWaits();
  auto& files = t_pendingFiles;
  for (std::size_t i = 0; i < files.size();) {
    auto file = files[i].lock();
    const Progress p = file && file->sim ? AdvanceSimulated(*file) : Progress::kDone;
    if (p == Progress::kBusy) {
      ++i;
      continue;
    }
    files.erase(files.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void ReleaseCompletedWrites(FileState& file) {
  if (file.sim) return;
  std::erase_if(file.writes, [](const PendingWrite& w) { return !StillPending(w); });
}

void AbortPendingWrites(FileState& file, DWORD error) {
  AbortCommWait(file, error);
  if (file.sim) {
    if (!file.writes.empty()) {
      // Only the write in front has handed bytes over; what of them still waits in the driver
      // never reaches the device, so it is not reported as written.
      PendingWrite& front = file.writes.front();
      const std::size_t stuck = DiscardSimulatedQueue(file);
      front.done -= std::min(stuck, front.done);
    }
    for (auto& w : file.writes) Complete(w.ov, error, w.done);
    file.writes.clear();
    DeviceAccess::Held(*file.sim) = false;
    DeviceAccess::HeldDecided(*file.sim) = false;
    return;
  }
  if (file.real && !file.writes.empty()) {
    ::CancelIo(file.real);
    for (auto& w : file.writes) {
      if (!StillPending(w)) continue;
      ::DWORD n = 0;
      // A cancelled write completes promptly; its record must not change once we return.
      ::GetOverlappedResult(file.real, reinterpret_cast<::OVERLAPPED*>(w.ov), &n, TRUE);
    }
  }
  file.writes.clear();
}

}  // namespace win32

using sim::DeviceAccess;
using win32::FileState;

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile) {
  if (!name || !*name) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::string path = win32::MapDeviceName(name);
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileState>();
  file->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
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
    file->comm = true;
    return win32::Insert(std::move(file), nullptr);
  }
  ::HANDLE h =
      ::CreateFileA(path.c_str(), access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
                    disposition, flags, win32::Real(templateFile));
  if (h == win32::Real(INVALID_HANDLE_VALUE)) return INVALID_HANDLE_VALUE;
  ::DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  file->comm = ::GetFileType(h) == FILE_TYPE_CHAR && ::GetCommState(h, &dcb);
  file->real = h;
  return win32::Insert(std::move(file), h);
}

void SetSynchronousWriteTimeout(HANDLE handle, DWORD milliseconds) {
  if (auto file = win32::Find(handle)) file->syncWriteTimeoutMs = milliseconds;
}

namespace {

// A write on a simulated device that must finish before returning.
BOOL WriteSimulatedNow(FileState& file, const char* data, DWORD length, DWORD* done) {
  sim::Device& dev = *file.sim;
  sim::WriteStep step;
  if (!DeviceAccess::ScriptOf(dev).empty()) {
    step = DeviceAccess::ScriptOf(dev).front();
    DeviceAccess::ScriptOf(dev).pop_front();
  }
  if (dev.HungUp()) step = {sim::WriteStep::Failed, 0, ERROR_GEN_FAILURE};
  *done = 0;
  switch (step.kind) {
    case sim::WriteStep::Done:
      *done = length;
      break;
    case sim::WriteStep::Partial:
      *done = std::min(step.bytes, length);
      break;
    case sim::WriteStep::Pending:
      break;
    case sim::WriteStep::Failed:
    case sim::WriteStep::FailLater:
      SetLastError(step.error);
      return FALSE;
  }
  win32::SimAccept(dev, data, *done);
  return TRUE;
}

enum class Start { kDone, kFailed, kPending };

// An overlapped write on a simulated device, as its script says.
Start StartOnSimulated(FileState& file, const char* data, DWORD length, win32::PendingWrite& w) {
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

BOOL WriteSimulated(const std::shared_ptr<FileState>& file, const char* data, DWORD length,
                    DWORD* written, OVERLAPPED* overlapped) {
  ++DeviceAccess::WriteCalls(*file->sim);
  DeviceAccess::RequestsOf(*file->sim).emplace_back(data, length);
  if (!file->overlapped || !overlapped) {
    DWORD done = 0;
    const BOOL ok = WriteSimulatedNow(*file, data, length, &done);
    if (written) *written = done;
    if (overlapped) win32::Complete(overlapped, ok ? 0 : GetLastError(), done);
    return ok;
  }
  win32::PendingWrite w;
  w.ov = overlapped;
  const Start start = StartOnSimulated(*file, data, length, w);
  if (start == Start::kFailed) return FALSE;
  if (start == Start::kDone) {
    win32::Complete(overlapped, 0, length);
    if (written) *written = length;
    return TRUE;
  }
  win32::MarkPending(overlapped);
  file->writes.push_back(std::move(w));
  win32::TrackPending(file);
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WriteReal(FileState& file, const char* data, DWORD length, DWORD* written,
               OVERLAPPED* overlapped) {
  ::DWORD n = 0;
  if (!file.overlapped) {
    // The system bounds it by the comm write time-outs.
    const BOOL ok =
        ::WriteFile(file.real, data, length, &n, reinterpret_cast<::OVERLAPPED*>(overlapped));
    if (written) *written = n;
    return ok;
  }
  if (!overlapped) {
    DWORD done = 0;
    const BOOL ok = win32::Finish(file.real, win32::WriteBound(file, length), &done,
                                  [&](::OVERLAPPED* ov, ::DWORD* got) {
                                    return ::WriteFile(file.real, data, length, got, ov);
                                  });
    if (written) *written = done;
    return ok;
  }
  win32::ReleaseCompletedWrites(file);
  win32::PendingWrite w;
  w.ov = overlapped;
  w.data.assign(data, data + length);
  overlapped->Internal = 0;
  overlapped->InternalHigh = 0;
  const BOOL ok = ::WriteFile(file.real, w.data.data(), length, &n,
                              reinterpret_cast<::OVERLAPPED*>(overlapped));
  if (ok) {
    if (written) *written = n;
    return TRUE;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_IO_PENDING) {
    // The system reads the copy until the write completes; it stays with the file till then.
    file.writes.push_back(std::move(w));
  }
  SetLastError(error);
  return FALSE;
}

}  // namespace

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD length, DWORD* written,
               OVERLAPPED* overlapped) {
  auto file = win32::Find(handle);
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
  ++file->writeSerial;
  if (overlapped && overlapped->hEvent) ::ResetEvent(win32::Real(overlapped->hEvent));
  if (file->sim) return WriteSimulated(file, data, length, written, overlapped);
  return WriteReal(*file, data, length, written, overlapped);
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped) {
  auto file = win32::Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (read) *read = 0;
  if (overlapped && overlapped->hEvent) ::ResetEvent(win32::Real(overlapped->hEvent));
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
  } else if (!file->overlapped) {
    ::DWORD n = 0;
    if (!::ReadFile(file->real, buffer, length, &n, nullptr)) return FALSE;
    got = n;
  } else if (length) {
    if (!win32::Finish(file->real, win32::ReadBound(*file, length), &got,
                       [&](::OVERLAPPED* ov, ::DWORD* n) {
                         return ::ReadFile(file->real, buffer, length, n, ov);
                       })) {
      return FALSE;
    }
  }
  file->bytesRead += got;
  if (read) *read = got;
  if (overlapped) win32::Complete(overlapped, 0, got);
  return TRUE;
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  auto file = win32::Find(handle);
  if (!file || !overlapped) {
    SetLastError(file ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  win32::AdvancePendingIo();
  if (overlapped->Internal == win32::kStatusPending && wait) {
    const DWORD bound =
        file->syncWriteTimeoutMs ? file->syncWriteTimeoutMs : win32::kDefaultSyncWriteTimeoutMs;
    if (overlapped->hEvent) WaitForSingleObject(overlapped->hEvent, bound);
  }
  if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
  const std::uintptr_t status = overlapped->Internal;
  if (status == win32::kStatusPending) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  if (!file->sim) win32::ReleaseCompletedWrites(*file);
  if (status == 0) return TRUE;
  if ((status & 0xFFFF0000u) == 0xC0070000u) {
    SetLastError(static_cast<DWORD>(status & 0xFFFFu));
    return FALSE;
  }
  // A status of the system's own: the system turns it into its error number.
  ::DWORD n = 0;
  if (file->real)
    return ::GetOverlappedResult(file->real, reinterpret_cast<::OVERLAPPED*>(overlapped), &n,
                                 FALSE);
  SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
}

BOOL CancelIo(HANDLE handle) {
  auto file = win32::Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  win32::AbortPendingWrites(*file, ERROR_OPERATION_ABORTED);
  return TRUE;
}

BOOL SetEndOfFile(HANDLE handle) {
  auto file = win32::Find(handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Devices have no end of file; the call is harmless there.
  if (file->real && ::GetFileType(file->real) == FILE_TYPE_DISK) return ::SetEndOfFile(file->real);
  return TRUE;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, OVERLAPPED* overlapped) {
  (void)overlapped;
  if (returned) *returned = 0;
  auto file = win32::Find(handle);
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
    // The USB printer class answers with one status byte; a device of another kind refuses.
    unsigned char byte = 0;
    ::DWORD n = 0;
    if (!::DeviceIoControl(file->real, code, in, inSize, &byte, 1, &n, nullptr) || n < 1) {
      const DWORD error = ::GetLastError();
      SetLastError(error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_GEN_FAILURE
                       ? ERROR_DEVICE_NOT_CONNECTED
                       : ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    status = byte;
  }
  std::memcpy(out, &status, sizeof status);
  if (returned) *returned = sizeof status;
  return TRUE;
}

}  // namespace vtl::platform
