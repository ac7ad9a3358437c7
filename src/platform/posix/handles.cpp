// Handles, events, last-error, memory blocks and the clock calls.
#include <time.h>

#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/posix/objects.h"

namespace vtl::platform {
namespace detail {
namespace {

std::mutex g_tableMutex;
std::map<HANDLE, std::shared_ptr<Object>>& Table() {
  static auto* table = new std::map<HANDLE, std::shared_ptr<Object>>;
  return *table;
}
HANDLE g_nextHandle = 0x100;
thread_local DWORD t_lastError = 0;

}  // namespace

HANDLE Insert(std::shared_ptr<Object> object) {
  std::lock_guard lock(g_tableMutex);
  auto& table = Table();
  // Handle values look like Windows' (multiples of 4) and are never 0 or -1.
  do {
    g_nextHandle += 4;
    if (g_nextHandle <= 0 || g_nextHandle > 0x3FFFFFFC) g_nextHandle = 0x100;
  } while (table.count(g_nextHandle));
  table[g_nextHandle] = std::move(object);
  return g_nextHandle;
}

std::shared_ptr<Object> Lookup(HANDLE handle) {
  if (handle == 0 || handle == INVALID_HANDLE_VALUE) return nullptr;
  std::lock_guard lock(g_tableMutex);
  auto it = Table().find(handle);
  return it == Table().end() ? nullptr : it->second;
}

std::shared_ptr<Object> Remove(HANDLE handle) {
  std::lock_guard lock(g_tableMutex);
  auto it = Table().find(handle);
  if (it == Table().end()) return nullptr;
  auto object = std::move(it->second);
  Table().erase(it);
  return object;
}

void Signal(HANDLE event) {
  if (auto e = LookupAs<EventObject>(event)) e->signalled = true;
}
void Reset(HANDLE event) {
  if (auto e = LookupAs<EventObject>(event)) e->signalled = false;
}
bool IsSignalled(HANDLE event) {
  auto e = LookupAs<EventObject>(event);
  return e && e->signalled;
}

}  // namespace detail

DWORD GetLastError() {
  return detail::t_lastError;
}
void SetLastError(DWORD code) {
  detail::t_lastError = code;
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
  auto e = std::make_shared<detail::EventObject>();
  e->manualReset = manualReset != FALSE;
  e->signalled = initialState != FALSE;
  return detail::Insert(std::move(e));
}

BOOL SetEvent(HANDLE event) {
  auto e = detail::LookupAs<detail::EventObject>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->signalled = true;
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto e = detail::LookupAs<detail::EventObject>(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->signalled = false;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (auto p = detail::LookupAs<detail::ProcessObject>(handle)) {
    Loop& loop = Loop::Current();
    const std::int64_t deadline = loop.Now() + milliseconds;
    while (!detail::ProcessExited(*p)) {
      if (milliseconds == 0 || (milliseconds != INFINITE && loop.Now() >= deadline)) {
        return WAIT_TIMEOUT;
      }
      timespec ts{0, 1000000L};
      nanosleep(&ts, nullptr);
      if (loop.ManualClock()) loop.Advance(1);
    }
    return WAIT_OBJECT_0;
  }
  auto e = detail::LookupAs<detail::EventObject>(handle);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  Loop& loop = Loop::Current();
  const std::int64_t deadline = loop.Now() + milliseconds;
  for (;;) {
    detail::AdvancePendingIo();
    if (e->signalled) {
      if (!e->manualReset) e->signalled = false;
      return WAIT_OBJECT_0;
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    const std::int64_t now = loop.Now();
    if (milliseconds != INFINITE && now >= deadline) return WAIT_TIMEOUT;
    if (loop.ManualClock()) {
      // Nothing else can move a manual clock while this thread is blocked here.
      loop.Advance(milliseconds == INFINITE ? 1 : deadline - now);
      continue;
    }
    timespec ts{0, 1000000L};
    nanosleep(&ts, nullptr);
  }
}

BOOL CloseHandle(HANDLE handle) {
  auto object = detail::Remove(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto file = std::dynamic_pointer_cast<detail::FileObject>(object)) {
    detail::AbortPendingWrites(*file, ERROR_OPERATION_ABORTED);
  }
  return TRUE;
}

void* GlobalAlloc(unsigned flags, std::size_t bytes) {
  constexpr unsigned kZeroInit = 0x40;
  void* p =
      (flags & kZeroInit) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

void* GlobalFree(void* memory) {
  std::free(memory);
  return nullptr;
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
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace vtl::platform
