// What the Windows backend keeps beside the system's own objects: the files it opened (real
// devices and simulated ones), the writes it started, and the comm-event waits it answers
// itself where a driver cannot.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/loop.h"
#include "platform/sim.h"
#include "platform/win32/system.h"

namespace vtl::platform::sim {

// What the backend reads and moves inside a simulated device.
struct DeviceAccess {
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

struct CommAccess {
  static DCB& Line(Device& d) { return d.dcb_; }
  static bool& LineSet(Device& d) { return d.dcbSet_; }
  static std::vector<DWORD>& Escapes(Device& d) { return d.escapes_; }
  static bool& Dtr(Device& d) { return d.dtr_; }
  static bool& Rts(Device& d) { return d.rts_; }
};

}  // namespace vtl::platform::sim

namespace vtl::platform::win32 {

// A write the backend moves itself (on a simulated device), or whose bytes it keeps for the
// system until the write has completed (on a real one: the caller's buffer may be reused as soon
// as WriteFile returns).
struct PendingWrite {
  OVERLAPPED* ov = nullptr;
  std::vector<char> data;
  std::size_t done = 0;
  bool handedOver = false;   // simulated: every byte is with the device's driver queue
  sim::WriteStep step;       // simulated devices only
  ::HANDLE event = nullptr;  // real: the private event of a write made without a caller's record
};

struct CommWait;

struct FileState {
  ~FileState();
  HANDLE handle = 0;
  ::HANDLE real = nullptr;  // null for a simulated device
  std::shared_ptr<sim::Device> sim;
  bool overlapped = false;
  bool comm = false;  // a serial line (GetCommState answers)
  std::deque<PendingWrite> writes;
  std::uint64_t writeSerial = 0;  // WriteFile calls, so that comm events can see output
  std::uint64_t bytesRead = 0;    // bytes ReadFile returned, so that arrivals can be told
  DWORD syncWriteTimeoutMs = 0;
  DWORD syncWriteMultiplierMs = 0;
  COMMTIMEOUTS timeouts{};
  std::shared_ptr<CommWait> wait;  // comm events answered by this layer
  bool noModemLines = false;       // the driver has no modem lines (a pseudo-terminal under Wine)
};

std::shared_ptr<FileState> Find(HANDLE handle);
HANDLE Insert(std::shared_ptr<FileState> state, ::HANDLE real);
std::shared_ptr<FileState> Remove(HANDLE handle);
bool IsSimulatedHandle(HANDLE handle);

// Moves every write and comm-event wait the layer answers itself forward; called by every wait
// and on every pass of the thread's loop.
void AdvancePendingIo();
void TrackPending(const std::shared_ptr<FileState>& file);
// Writes of a file end with `error`; on a real device the system's own are cancelled and waited
// for, so that nothing is written into the caller's records once this returns.
void AbortPendingWrites(FileState& file, DWORD error);
// Gives back the copies of real writes that have completed.
void ReleaseCompletedWrites(FileState& file);

// Comm events (comm.cpp).
void AdvanceCommWaits();
void AbortCommWait(FileState& file, DWORD error);
// Bytes the layer still holds for a simulated device's line.
std::size_t SimulatedDriverQueue(FileState& file);

// Overlapped records the layer completes itself.
void Complete(OVERLAPPED* ov, DWORD error, std::size_t bytes);
void MarkPending(OVERLAPPED* ov);

// Sockets (winsock.cpp): whether one of the thread's sockets has news that the system is about
// to post (data, a connection made).
bool SocketNewsPending();

// Port names (device_names.cpp): the device behind a port name ("sim:NAME" for a simulated one),
// the name itself when none is mapped, empty when the name must not reach a device.
std::string MapDeviceName(const std::string& name);

// A wait on the loop's clock that does not pump messages (a manual clock moves instead).
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
    ::Sleep(1);
  }
}

}  // namespace vtl::platform::win32
