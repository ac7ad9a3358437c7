// The loop on the thread's message queue. Each thread's loop has a message-only window: a system
// timer on it brings the loop's timers due, a posted message the work posted to it. A host that
// runs its own message loop (a form, a script host's pump) therefore drives the library without
// ever calling DoEvents; DoEvents and RunUntil pump the thread's messages themselves.
#include "platform/loop.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/win32/objects.h"

namespace vtl::platform {

namespace {

thread_local const void* t_marker = nullptr;

constexpr UINT kWake = WM_APP + 0x1F0;    // work was posted on the thread
constexpr UINT kRemote = WM_APP + 0x1F1;  // work was posted from another thread
constexpr UINT_PTR kTimerId = 1;
constexpr UINT_PTR kPollerId = 2;
// Emulated I/O (simulated devices, comm events a driver cannot report) moves while the loop is
// asked: under a host's own message loop, that is at this pace.
constexpr UINT kPollerMs = 10;
// Messages handled in one pass, so that a window that keeps posting to itself cannot hold the
// loop for ever.
constexpr int kMessagesPerPass = 512;

const char kClassName[] = "vtldllxt loop";

}  // namespace

struct Loop::Native {
  HWND window = nullptr;
  bool wakePosted = false;
  bool timerArmed = false;
  std::int64_t timerDue = 0;
  bool pollerArmed = false;
  LARGE_INTEGER frequency{};
};

// The window procedure's way into the loop.
struct LoopWindow {
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* loop = reinterpret_cast<Loop*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!loop) return ::DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
      case WM_TIMER:
        if (wParam == kTimerId) {
          loop->native_->timerArmed = false;
          loop->RunDueTimers();
          loop->ArmTimer();
        } else if (wParam == kPollerId) {
          loop->RunPollers();
          loop->ArmTimer();
        }
        return 0;
      case kWake:
        loop->native_->wakePosted = false;
        loop->RunPosted();
        loop->ArmTimer();
        return 0;
      case kRemote:
        loop->DrainRemote();
        loop->ArmTimer();
        return 0;
      default:
        return ::DefWindowProcA(window, message, wParam, lParam);
    }
  }
};

namespace {

// The class belongs to the module that holds this code: a DLL's class does not clash with a
// host's, and goes with the DLL.
void RegisterLoopClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &LoopWindow::Proc;
    wc.hInstance = win32::ThisModule();
    wc.lpszClassName = kClassName;
    ::RegisterClassA(&wc);
  });
}

}  // namespace

namespace win32 {
::HINSTANCE ThisModule() {
  HMODULE self = nullptr;
  ::GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &self);
  return self;
}
}  // namespace win32

Loop& Loop::Current() {
  static thread_local Loop loop;
  return loop;
}

Loop::Loop() : native_(std::make_unique<Native>()), owner_(&t_marker) {
  ::QueryPerformanceFrequency(&native_->frequency);
  RegisterLoopClass();
  native_->window = ::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, win32::MessageOnlyParent(),
                                      nullptr, win32::ThisModule(), nullptr);
  if (native_->window) {
    ::SetWindowLongPtrA(native_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
}

Loop::~Loop() {
  if (remote_) {
    std::lock_guard lock(remote_->mutex_);
    remote_->closed_ = true;
    remote_->pending_.clear();
    remote_->window_ = 0;
  }
  if (native_->window) {
    ::SetWindowLongPtrA(native_->window, GWLP_USERDATA, 0);
    ::DestroyWindow(native_->window);
  }
}

bool Loop::IsCurrent() const {
  return owner_ == &t_marker;
}

Loop::Remote::~Remote() = default;

bool Loop::Remote::Post(std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  if (closed_ || !window_) return false;
  const bool wake = pending_.empty();
  pending_.push_back(std::move(fn));
  if (wake) {
    ::PostMessageA(reinterpret_cast<HWND>(window_),  // NOLINT(performance-no-int-to-ptr)
                   kRemote, 0, 0);
  }
  return true;
}

void Loop::Remote::Drain() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard lock(mutex_);
    work.swap(pending_);
  }
  for (auto& fn : work) fn();
}

void Loop::DrainRemote() {
  if (remote_) remote_->Drain();
}

std::shared_ptr<Loop::Remote> Loop::RemoteHandle() {
  if (remote_) return remote_;
  if (!native_->window) return nullptr;
  remote_ = std::shared_ptr<Remote>(new Remote);
  remote_->window_ = reinterpret_cast<std::intptr_t>(native_->window);
  return remote_;
}

std::int64_t Loop::RealNow() const {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  const std::int64_t f = native_->frequency.QuadPart > 0 ? native_->frequency.QuadPart : 1000;
  return static_cast<std::int64_t>(now.QuadPart / f * 1000 + now.QuadPart % f * 1000 / f);
}

std::int64_t Loop::Now() const {
  return manual_ ? manualNow_ : RealNow();
}

void Loop::UseManualClock(bool manual) {
  if (manual == manual_) return;
  // Keep time continuous across the switch so pending timers keep their distance.
  if (manual) manualNow_ = RealNow();
  const std::int64_t shift = manual ? 0 : RealNow() - manualNow_;
  for (auto& [id, t] : timers_) t.due += shift;
  manual_ = manual;
  ArmTimer();
}

void Loop::Advance(std::int64_t ms) {
  if (manual_ && ms > 0) manualNow_ += ms;
}

Loop::Id Loop::SetTimer(std::int64_t periodMs, std::function<void()> fn) {
  const Id id = nextId_++;
  periodMs = std::max<std::int64_t>(periodMs, 1);
  timers_[id] =
      Timer{periodMs, Now() + periodMs, std::make_shared<std::function<void()>>(std::move(fn))};
  ArmTimer();
  return id;
}

void Loop::KillTimer(Id id) {
  timers_.erase(id);
  if (timers_.empty()) ArmTimer();
}

std::int64_t Loop::NextTimerIn() const {
  if (timers_.empty()) return -1;
  std::int64_t due = timers_.begin()->second.due;
  for (const auto& [id, t] : timers_) due = std::min(due, t.due);
  return std::max<std::int64_t>(0, due - Now());
}

// The system timer follows the earliest of the loop's timers; a manual clock has no real time to
// wait for, so it never runs then.
void Loop::ArmTimer() {
  Native& n = *native_;
  if (!n.window) return;
  const std::int64_t next = manual_ ? -1 : NextTimerIn();
  if (next < 0) {
    if (n.timerArmed) ::KillTimer(n.window, kTimerId);
    n.timerArmed = false;
  } else {
    const std::int64_t due = Now() + next;
    if (!n.timerArmed || due < n.timerDue || due > n.timerDue + 5) {
      ::SetTimer(n.window, kTimerId,
                 static_cast<UINT>(std::clamp<std::int64_t>(next, 1, 0x7FFFFFFF)), nullptr);
      n.timerArmed = true;
      n.timerDue = due;
    }
  }
  const bool poll = !pollers_.empty();
  if (poll != n.pollerArmed) {
    if (poll) {
      ::SetTimer(n.window, kPollerId, kPollerMs, nullptr);
    } else {
      ::KillTimer(n.window, kPollerId);
    }
    n.pollerArmed = poll;
  }
}

void Loop::Post(std::function<void()> fn) {
  posted_.push_back(std::move(fn));
  if (native_->window && !native_->wakePosted) {
    native_->wakePosted = ::PostMessageA(native_->window, kWake, 0, 0) != 0;
  }
}

Loop::Id Loop::AddPoller(std::function<void()> fn) {
  const Id id = nextId_++;
  pollers_[id] = std::make_shared<std::function<void()>>(std::move(fn));
  ArmTimer();
  return id;
}

void Loop::RemovePoller(Id id) {
  pollers_.erase(id);
  ArmTimer();
}

bool Loop::RunPollers() {
  if (pollers_.empty()) return false;
  std::vector<std::pair<Id, std::shared_ptr<std::function<void()>>>> snapshot(pollers_.begin(),
                                                                              pollers_.end());
  for (auto& [id, fn] : snapshot) {
    if (pollers_.count(id)) (*fn)();
  }
  return false;  // pollers only make progress; they never count as handled work
}

bool Loop::RunPosted() {
  if (posted_.empty()) return false;
  // Only what was posted before this pass runs now; messages posted by handlers wait for the
  // next pass, so a handler that re-posts itself cannot starve the loop.
  std::vector<std::function<void()>> batch;
  batch.swap(posted_);
  for (auto& fn : batch) fn();
  return true;
}

bool Loop::RunDueTimers() {
  const std::int64_t now = Now();
  std::vector<Id> due;
  for (const auto& [id, t] : timers_) {
    if (t.due <= now) due.push_back(id);
  }
  for (Id id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.due > now) continue;  // killed or restarted meanwhile
    it->second.due = Now() + it->second.period;
    auto fn = it->second.fn;  // the handler may kill or reset its own timer
    (*fn)();
  }
  return !due.empty();
}

// Every message of the thread, as a host's own loop would handle it (socket notifications, the
// host's windows, this loop's timer). A WM_QUIT is put back for the host's loop to see.
bool Loop::PumpMessages() {
  bool ran = false;
  MSG msg;
  for (int i = 0; i < kMessagesPerPass && ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (msg.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    ran = true;
  }
  return ran;
}

bool Loop::DoEvents() {
  RunPollers();
  bool ran = PumpMessages();
  ran |= RunPosted();
  ran |= RunDueTimers();
  ArmTimer();
  return ran;
}

bool Loop::RunUntil(const std::function<bool()>& cond, std::int64_t timeoutMs) {
  const std::int64_t deadline = Now() + std::max<std::int64_t>(timeoutMs, 0);
  for (;;) {
    if (cond()) return true;
    DoEvents();
    if (cond()) return true;
    const std::int64_t now = Now();
    if (now >= deadline) return false;
    if (!posted_.empty()) continue;
    std::int64_t wait = deadline - now;
    const std::int64_t next = NextTimerIn();
    if (next >= 0) wait = std::min(wait, next);
    if (manual_) {
      // Let what the system is about to report arrive first; only an idle loop lets time jump.
      // A socket whose news the system has not posted yet (it is handed over by the system's
      // own thread) is given a moment for it.
      const DWORD grace = win32::SocketNewsPending() ? 50 : 0;
      if (::MsgWaitForMultipleObjectsEx(0, nullptr, grace, QS_ALLINPUT, MWMO_INPUTAVAILABLE) !=
          WAIT_TIMEOUT) {
        continue;
      }
      manualNow_ += std::max<std::int64_t>(wait, 1);
      continue;
    }
    // Re-check the condition now and then: it may depend on something outside this loop.
    ::MsgWaitForMultipleObjectsEx(0, nullptr,
                                  static_cast<DWORD>(std::clamp<std::int64_t>(wait, 0, 20)),
                                  QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

void RunOnWorker(std::function<void()> work, std::function<void()> done) {
  std::shared_ptr<Loop::Remote> remote = Loop::Current().RemoteHandle();
  std::thread([work = std::move(work), done = std::move(done), remote]() mutable {
    work();
    if (remote) remote->Post(std::move(done));
  }).detach();
}

}  // namespace vtl::platform
