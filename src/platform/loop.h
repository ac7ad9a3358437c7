// The host thread's message loop: posted messages, timers and descriptor watches.
//
// The library never owns a thread. Everything asynchronous (timer ticks, device readiness, posted
// work) is delivered by the loop of the thread that created the object, and only while the host
// pumps it with DoEvents() or RunUntil(). The loop also owns the one clock every interval of the
// library is measured on; tests may switch it to a manual clock that jumps straight to the next
// due timer instead of waiting for it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vtl::platform {

class Loop {
 public:
  using Id = std::uint64_t;

  // The calling thread's loop, created on first use.
  static Loop& Current();

  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Milliseconds on the loop's clock (monotonic; arbitrary origin).
  std::int64_t Now() const;
  // Manual clock: time stands still except when Advance() moves it or RunUntil() jumps to the
  // next due timer because nothing else is left to do.
  void UseManualClock(bool manual);
  bool ManualClock() const { return manual_; }
  void Advance(std::int64_t ms);

  // Periodic timer; the first tick is due one period from now. Ticks never catch up: after a
  // tick the next one is due one period after it ran.
  Id SetTimer(std::int64_t periodMs, std::function<void()> fn);
  void KillTimer(Id id);
  // Milliseconds until the earliest timer is due (0 if overdue), or -1 without timers.
  std::int64_t NextTimerIn() const;

  void Post(std::function<void()> fn);

  // A way into this loop from other threads: workers post their results, and an object released
  // on a thread that does not own it is handed back to its own. Post is safe from any thread; it
  // wakes the loop if it is waiting, and answers false (dropping the work) once the loop's thread
  // has ended.
  class Remote {
   public:
    bool Post(std::function<void()> fn);
    ~Remote();

   private:
    friend class Loop;
    Remote() = default;
    void Drain();
    std::mutex mutex_;
    std::vector<std::function<void()>> pending_;
    bool closed_ = false;
#ifdef _WIN32
    std::intptr_t window_ = 0;  // the loop's message window: a posted message wakes it
#else
    int readFd_ = -1;
    int writeFd_ = -1;
#endif
  };
  std::shared_ptr<Remote> RemoteHandle();
  // True on the thread this loop belongs to.
  bool IsCurrent() const;

#ifndef _WIN32
  // events: POLLIN / POLLOUT; the callback gets the returned events. On Windows a thread waits
  // for its messages, not for descriptors: device and socket news arrive as messages there.
  Id Watch(int fd, short events, std::function<void(short)> fn);
  void Unwatch(Id id);
#endif

  // Work that must be given a chance on every pass (emulated I/O progress).
  Id AddPoller(std::function<void()> fn);
  void RemovePoller(Id id);

  // Processes everything that is due now; never blocks. Returns true if anything ran.
  bool DoEvents();
  // Pumps until cond() holds or timeoutMs passes on the loop's clock. Returns cond()'s last value.
  bool RunUntil(const std::function<bool()>& cond, std::int64_t timeoutMs);

  ~Loop();

 private:
  Loop();
  struct Timer {
    std::int64_t period;
    std::int64_t due;
    std::shared_ptr<std::function<void()>> fn;
  };
  bool RunDueTimers();
  bool RunPosted();
  bool RunPollers();
  std::int64_t RealNow() const;
#ifdef _WIN32
  // The thread's message window, its timer and the messages waiting on the thread's queue.
  friend struct LoopWindow;
  struct Native;
  std::unique_ptr<Native> native_;
  bool PumpMessages();
  void ArmTimer();
  void DrainRemote();
#else
  struct WatchEntry {
    int fd;
    short events;
    std::shared_ptr<std::function<void(short)>> fn;
  };
  bool PollDescriptors(int timeoutMs);
  Id remoteWatch_ = 0;
  std::map<Id, WatchEntry> watches_;
#endif

  std::shared_ptr<Remote> remote_;
  const void* owner_ = nullptr;  // the owning thread's loop slot, to tell threads apart cheaply
  bool manual_ = false;
  std::int64_t manualNow_ = 0;
  Id nextId_ = 1;
  std::map<Id, Timer> timers_;
  std::map<Id, std::shared_ptr<std::function<void()>>> pollers_;
  std::vector<std::function<void()>> posted_;
};

// Wraps an object that belongs to the calling thread: whichever thread drops the last reference
// (a garbage collector's finalizer, say), the object is destroyed on its own thread, by that
// thread's loop. Once that thread has ended the object cannot be destroyed safely any more (its
// timers and watches went with the loop), and it is left as it is.
template <typename T>
std::shared_ptr<T> OwnedByThisThread(T* object) {
  const std::shared_ptr<Loop::Remote> remote = Loop::Current().RemoteHandle();
  const std::thread::id owner = std::this_thread::get_id();
  return std::shared_ptr<T>(object, [remote, owner](T* p) {
    if (std::this_thread::get_id() == owner) {
      delete p;
    } else if (remote) {
      remote->Post([p] { delete p; });
    }
  });
}

// Runs `work` on a short-lived thread of its own, then `done` on the calling thread's loop: the
// way calls that may block (a spooler that does not answer) stay off the host thread. `work`
// must touch nothing that belongs to the calling thread; `done` is dropped if that thread has
// ended by then.
void RunOnWorker(std::function<void()> work, std::function<void()> done);

// Shorthands for the calling thread's loop.
inline bool DoEvents() {
  return Loop::Current().DoEvents();
}
inline bool RunUntil(const std::function<bool()>& cond, std::int64_t timeoutMs) {
  return Loop::Current().RunUntil(cond, timeoutMs);
}

}  // namespace vtl::platform
