// Kernel-object emulation shared by the POSIX backend files.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "platform/win.h"

namespace vtl::platform::detail {

struct Object {
  virtual ~Object() = default;
};

struct EventObject : Object {
  bool manualReset = true;
  std::atomic<bool> signalled{false};
};

struct PendingWrite {
  OVERLAPPED* ov = nullptr;
  std::vector<char> data;
  std::size_t done = 0;
  bool handedOver = false;  // every byte is with the driver; completes once its queue is empty
  sim::WriteStep step;      // simulated devices only
};

struct FileObject : Object {
  ~FileObject() override;
  int fd = -1;
  bool overlapped = false;
  bool regular = false;
  std::shared_ptr<sim::Device> sim;
  std::deque<PendingWrite> writes;
  Loop* loop = nullptr;  // the loop watching this file while writes are pending
  Loop::Id watchId = 0;
  DWORD syncWriteTimeoutMs = 0;
  DWORD syncWriteMultiplierMs = 0;  // per byte, added to syncWriteTimeoutMs (comm time-outs)
  bool tty = false;                 // a terminal device when opened (it stays one after a hang-up)
  int lpIndex = -1;                 // N of /dev/lpN: its writes need the parallel port back
  bool exclusive = false;           // TIOCEXCL was set and is undone at close
  std::uint64_t writeSerial = 0;    // counts WriteFile calls, so comm events can see output
  std::uint64_t bytesRead = 0;      // counts bytes ReadFile returned, so arrivals can be told
  std::shared_ptr<struct CommState> comm;  // serial state, created by the first comm call
  std::string traceName;                   // the device as the support trace names it
};

struct ProcessObject : Object {
  ~ProcessObject() override;
  int pid = -1;
  bool exited = false;
  int exitCode = 0;
};
// Reaps the process if it has ended; true once it has.
bool ProcessExited(ProcessObject& process);

HANDLE Insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HANDLE handle);
std::shared_ptr<Object> Remove(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(Lookup(handle));
}

void Signal(HANDLE event);
void Reset(HANDLE event);
bool IsSignalled(HANDLE event);

// Moves every pending write of the calling thread forward as far as its device allows.
void AdvancePendingIo();
// Ends every pending write of `file` with `error` (CancelIo, CloseHandle).
void AbortPendingWrites(FileObject& file, DWORD error);

DWORD ErrnoToWin(int err);

// Comm layer hooks (comm.cpp): the device path behind a Windows port name (the name itself when
// it is none), completing comm-event waits whose event has come, and ending a file's wait.
std::string MapDeviceName(const std::string& name);  // device_names.cpp
void PrepareTerminal(FileObject& file);
void AdvanceCommWaits();
void AbortCommWait(FileObject& file, DWORD error);

// Line settings written as text (comm_text.cpp); `dcb` is written only on success.
bool ParseDcbText(const char* definition, DCB& dcb, DWORD* error);

// Fields of a DCB's flag word: a two-bit field at `shift`, a single bit.
inline void SetField(DCB& d, DWORD shift, DWORD value) {
  d.fBitFields = (d.fBitFields & ~(3u << shift)) | ((value & 3) << shift);
}
inline void SetBit(DCB& d, DWORD bit, bool on) {
  d.fBitFields = on ? (d.fBitFields | bit) : (d.fBitFields & ~bit);
}

}  // namespace vtl::platform::detail
