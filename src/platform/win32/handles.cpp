// Handles, events, waits, last-error, memory blocks and the clock calls on the system's own
// objects, and the table of the files this layer opened.
#include <map>
#include <mutex>

#include "platform/win32/objects.h"

namespace vtl::platform {
namespace win32 {
namespace {

std::mutex g_tableMutex;
std::map<HANDLE, std::shared_ptr<FileState>>& Table() {
  static auto* table = new std::map<HANDLE, std::shared_ptr<FileState>>;
  return *table;
}
// Simulated devices get odd numbers: the system's handles are multiples of four, so the two can
// never meet.
HANDLE g_nextSimulated = 0x40000001;

}  // namespace

FileState::~FileState() {
  if (sim) --sim::DeviceAccess::OpenCount(*sim);
}

std::shared_ptr<FileState> Find(HANDLE handle) {
  if (handle == 0 || handle == INVALID_HANDLE_VALUE) return nullptr;
  std::lock_guard lock(g_tableMutex);
  auto it = Table().find(handle);
  return it == Table().end() ? nullptr : it->second;
}

HANDLE Insert(std::shared_ptr<FileState> state, ::HANDLE real) {
  std::lock_guard lock(g_tableMutex);
  HANDLE h = Ours(real);
  if (!real) {
    do {
      g_nextSimulated += 4;
      if (g_nextSimulated <= 0 || g_nextSimulated > 0x7FFFFFF0) g_nextSimulated = 0x40000001;
    } while (Table().count(g_nextSimulated));
    h = g_nextSimulated;
  }
  state->handle = h;
  Table()[h] = std::move(state);
  return h;
}

std::shared_ptr<FileState> Remove(HANDLE handle) {
  std::lock_guard lock(g_tableMutex);
  auto it = Table().find(handle);
  if (it == Table().end()) return nullptr;
  auto state = std::move(it->second);
  Table().erase(it);
  return state;
}

bool IsSimulatedHandle(HANDLE handle) {
  return (handle & 3) == 1;
}

void Complete(OVERLAPPED* ov, DWORD error, std::size_t bytes) {
  if (!ov) return;
  ov->Internal = StatusOf(error);
  ov->InternalHigh = bytes;
  if (ov->hEvent) ::SetEvent(Real(ov->hEvent));
}

void MarkPending(OVERLAPPED* ov) {
  ov->Internal = kStatusPending;
  ov->InternalHigh = 0;
  if (ov->hEvent) ::ResetEvent(Real(ov->hEvent));
}

}  // namespace win32

using win32::Real;

DWORD GetLastError() {
  return ::GetLastError();
}
void SetLastError(DWORD code) {
  ::SetLastError(code);
}

HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name) {
  return win32::Ours(::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(security), manualReset,
                                    initialState, name));
}

BOOL SetEvent(HANDLE event) {
  return ::SetEvent(Real(event));
}

BOOL ResetEvent(HANDLE event) {
  return ::ResetEvent(Real(event));
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (win32::IsSimulatedHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  Loop& loop = Loop::Current();
  const std::int64_t deadline = loop.Now() + milliseconds;
  for (;;) {
    win32::AdvancePendingIo();
    const DWORD r = ::WaitForSingleObject(Real(handle), 0);
    if (r != WAIT_TIMEOUT) return r;
    if (milliseconds == 0) return WAIT_TIMEOUT;
    const std::int64_t now = loop.Now();
    if (milliseconds != INFINITE && now >= deadline) return WAIT_TIMEOUT;
    if (loop.ManualClock()) {
      // Nothing else can move a manual clock while this thread is blocked here.
      loop.Advance(milliseconds == INFINITE ? 1 : deadline - now);
      continue;
    }
    // Short slices: writes this layer moves itself progress only while it is asked.
    const std::int64_t left = milliseconds == INFINITE ? 10 : deadline - now;
    ::WaitForSingleObject(Real(handle), static_cast<::DWORD>(std::min<std::int64_t>(left, 10)));
  }
}

BOOL CloseHandle(HANDLE handle) {
  if (auto file = win32::Remove(handle)) {
    win32::AbortCommWait(*file, ERROR_OPERATION_ABORTED);
    win32::AbortPendingWrites(*file, ERROR_OPERATION_ABORTED);
    if (file->real && !::CloseHandle(file->real)) return FALSE;
    file->real = nullptr;
    return TRUE;
  }
  if (win32::IsSimulatedHandle(handle) || handle == 0 || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return ::CloseHandle(Real(handle));
}

void* GlobalAlloc(unsigned flags, std::size_t bytes) {
  return ::GlobalAlloc(flags, bytes ? bytes : 1);
}

void* GlobalFree(void* memory) {
  return ::GlobalFree(memory);
}

DWORD GetTickCount() {
  return static_cast<DWORD>(Loop::Current().Now());
}

void Sleep(DWORD milliseconds) {
  Loop& loop = Loop::Current();
  if (loop.ManualClock()) {
    loop.Advance(milliseconds);
    return;
  }
  ::Sleep(milliseconds);
}

}  // namespace vtl::platform
