#include "platform/loop.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

namespace vtl::platform {

namespace {
thread_local const void* t_marker = nullptr;
// RunUntil has just waited in poll() and handled what it reported: the pass that follows needs
// no second look at the descriptors (an idle loop makes one system call a wake, not two).
thread_local bool t_justPolled = false;
}  // namespace

Loop& Loop::Current() {
  static thread_local Loop loop;
  return loop;
}

Loop::Loop() : owner_(&t_marker) {}

Loop::~Loop() {
  if (remote_) {
    std::lock_guard lock(remote_->mutex_);
    remote_->closed_ = true;
    remote_->pending_.clear();
  }
}

bool Loop::IsCurrent() const {
  return owner_ == &t_marker;
}

Loop::Remote::~Remote() {
  if (readFd_ >= 0) ::close(readFd_);
  if (writeFd_ >= 0) ::close(writeFd_);
}

bool Loop::Remote::Post(std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  if (closed_ || writeFd_ < 0) return false;
  const bool wake = pending_.empty();
  pending_.push_back(std::move(fn));
  if (wake) {
    const char b = 1;
    (void)!::write(writeFd_, &b, 1);
  }
  return true;
}

void Loop::Remote::Drain() {
  char buf[64];
  while (::read(readFd_, buf, sizeof buf) > 0) {
  }
  std::vector<std::function<void()>> work;
  {
    std::lock_guard lock(mutex_);
    work.swap(pending_);
  }
  for (auto& fn : work) fn();
}

std::shared_ptr<Loop::Remote> Loop::RemoteHandle() {
  if (remote_) return remote_;
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return nullptr;
  remote_ = std::shared_ptr<Remote>(new Remote);
  remote_->readFd_ = fds[0];
  remote_->writeFd_ = fds[1];
  std::weak_ptr<Remote> weak = remote_;
  remoteWatch_ = Watch(fds[0], POLLIN, [weak](short) {
    if (auto r = weak.lock()) r->Drain();
  });
  return remote_;
}

std::int64_t Loop::RealNow() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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
}

void Loop::Advance(std::int64_t ms) {
  if (manual_ && ms > 0) manualNow_ += ms;
}

Loop::Id Loop::SetTimer(std::int64_t periodMs, std::function<void()> fn) {
  const Id id = nextId_++;
  periodMs = std::max<std::int64_t>(periodMs, 1);
  timers_[id] =
      Timer{periodMs, Now() + periodMs, std::make_shared<std::function<void()>>(std::move(fn))};
  return id;
}

void Loop::KillTimer(Id id) {
  timers_.erase(id);
}

std::int64_t Loop::NextTimerIn() const {
  if (timers_.empty()) return -1;
  std::int64_t due = timers_.begin()->second.due;
  for (const auto& [id, t] : timers_) due = std::min(due, t.due);
  return std::max<std::int64_t>(0, due - Now());
}

void Loop::Post(std::function<void()> fn) {
  posted_.push_back(std::move(fn));
}

Loop::Id Loop::Watch(int fd, short events, std::function<void(short)> fn) {
  const Id id = nextId_++;
  watches_[id] =
      WatchEntry{fd, events, std::make_shared<std::function<void(short)>>(std::move(fn))};
  return id;
}

void Loop::Unwatch(Id id) {
  watches_.erase(id);
}

Loop::Id Loop::AddPoller(std::function<void()> fn) {
  const Id id = nextId_++;
  pollers_[id] = std::make_shared<std::function<void()>>(std::move(fn));
  return id;
}

void Loop::RemovePoller(Id id) {
  pollers_.erase(id);
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

bool Loop::PollDescriptors(int timeoutMs) {
  if (watches_.empty()) {
    if (timeoutMs > 0) {
      timespec ts{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
      nanosleep(&ts, nullptr);
    }
    return false;
  }
  std::vector<pollfd> fds;
  std::vector<Id> ids;
  fds.reserve(watches_.size());
  for (const auto& [id, w] : watches_) {
    fds.push_back(pollfd{w.fd, w.events, 0});
    ids.push_back(id);
  }
  int n = ::poll(fds.data(), fds.size(), timeoutMs);
  if (n <= 0) return false;
  bool ran = false;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = watches_.find(ids[i]);
    if (it == watches_.end()) continue;  // removed by an earlier callback of this pass
    auto fn = it->second.fn;
    (*fn)(fds[i].revents);
    ran = true;
  }
  return ran;
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

bool Loop::DoEvents() {
  RunPollers();
  bool ran = false;
  if (t_justPolled) {
    t_justPolled = false;
  } else {
    ran = PollDescriptors(0);
  }
  ran |= RunPosted();
  ran |= RunDueTimers();
  return ran;
}

bool Loop::RunUntil(const std::function<bool()>& cond, std::int64_t timeoutMs) {
  // Whatever this returns, the host's next pass looks at the descriptors again.
  struct Forget {
    ~Forget() { t_justPolled = false; }
  } forget;
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
      // Let real devices report first; only an idle loop lets time jump.
      if (PollDescriptors(0)) continue;
      manualNow_ += std::max<std::int64_t>(wait, 1);
      continue;
    }
    // Re-check the condition now and then: it may depend on something outside this loop.
    PollDescriptors(static_cast<int>(std::clamp<std::int64_t>(wait, 0, 20)));
    t_justPolled = true;
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
