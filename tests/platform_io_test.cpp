#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/loop.h"
#include "platform/sim.h"
#include "platform/win.h"

using namespace vtl::platform;

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

struct Event {
  HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Event() { CloseHandle(h); }
};

TEST(Handles, AreNeverZeroOrMinusOneAndDieOnce) {
  for (int i = 0; i < 100; ++i) {
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(h, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CloseHandle(h), TRUE);
    EXPECT_EQ(CloseHandle(h), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(CloseHandle(0), FALSE);
  EXPECT_EQ(WriteFile(INVALID_HANDLE_VALUE, "x", 1, nullptr, nullptr), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Handles, ManualResetEventsStaySignalledUntilReset) {
  Event e;
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
  SetEvent(e.h);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
  ResetEvent(e.h);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_TIMEOUT);
}

class PipeDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(fds_), 0);
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    path_ = "/proc/self/fd/" + std::to_string(fds_[1]);
    file_ = CreateFileA(path_.c_str(), GENERIC_WRITE, 1, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, 0);
    ASSERT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();
    close(fds_[1]);  // the handle holds its own descriptor
  }
  void TearDown() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (fds_[0] >= 0) close(fds_[0]);
  }
  std::string Drain() {
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = read(fds_[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
  }
  int fds_[2] = {-1, -1};
  std::string path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(PipeDevice, WritesTheDeviceCannotTakeNowCompleteLaterInOrder) {
  Event e1, e2;
  OVERLAPPED ov1{}, ov2{};
  ov1.hEvent = e1.h;
  ov2.hEvent = e2.h;
  const std::string first = Pattern(1 << 20), second = "tail of the job";
  DWORD written = 0;
  ASSERT_EQ(WriteFile(file_, first.data(), static_cast<DWORD>(first.size()), &written, &ov1),
            FALSE);
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  ASSERT_EQ(WriteFile(file_, second.data(), static_cast<DWORD>(second.size()), &written, &ov2),
            FALSE);
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  DWORD n = 0;
  EXPECT_EQ(GetOverlappedResult(file_, &ov1, &n, FALSE), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_EQ(WaitForSingleObject(e1.h, 0), WAIT_TIMEOUT);

  std::string got;
  ASSERT_TRUE(RunUntil(
      [&] {
        got += Drain();
        return WaitForSingleObject(e2.h, 0) == WAIT_OBJECT_0;
      },
      30'000));
  got += Drain();
  EXPECT_EQ(GetOverlappedResult(file_, &ov1, &n, FALSE), TRUE);
  EXPECT_EQ(n, first.size());
  EXPECT_EQ(GetOverlappedResult(file_, &ov2, &n, FALSE), TRUE);
  EXPECT_EQ(n, second.size());
  EXPECT_TRUE(got == first + second) << "bytes lost or reordered, got " << got.size();
}

TEST_F(PipeDevice, CancelIoEndsAPendingWriteWithTheCountSoFar) {
  Event e;
  OVERLAPPED ov{};
  ov.hEvent = e.h;
  const std::string data = Pattern(1 << 20);
  ASSERT_EQ(WriteFile(file_, data.data(), static_cast<DWORD>(data.size()), nullptr, &ov), FALSE);
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  const size_t drained = Drain().size();
  EXPECT_EQ(CancelIo(file_), TRUE);
  EXPECT_EQ(WaitForSingleObject(e.h, 0), WAIT_OBJECT_0);
  DWORD n = 0;
  EXPECT_EQ(GetOverlappedResult(file_, &ov, &n, FALSE), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_GE(n, drained);
  EXPECT_LT(n, data.size());
}

TEST_F(PipeDevice, AWriteWithNoReaderFailsInsteadOfKillingTheHost) {
  close(fds_[0]);
  fds_[0] = -1;
  Event e;
  OVERLAPPED ov{};
  ov.hEvent = e.h;
  EXPECT_EQ(WriteFile(file_, "x", 1, nullptr, &ov), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(WriteFile(file_, "x", 1, nullptr, nullptr), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
}

TEST(Files, ExclusiveOpenRefusesASecondHolder) {
  char path[] = "/tmp/vtl-excl-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  HANDLE a = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  HANDLE b = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
  EXPECT_EQ(b, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(a);
  b = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
  EXPECT_NE(b, INVALID_HANDLE_VALUE);
  CloseHandle(b);
  EXPECT_EQ(CreateFileA("/nonexistent/vtl", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  unlink(path);
}

class SimDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = sim::Register("io-test");
    h_ = CreateFileA("sim:io-test", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, 0);
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    ov_.hEvent = ev_.h;
  }
  void TearDown() override {
    CloseHandle(h_);
    sim::Unregister("io-test");
  }
  BOOL Write(const std::string& s) {
    return WriteFile(h_, s.data(), static_cast<DWORD>(s.size()), nullptr, &ov_);
  }
  std::shared_ptr<sim::Device> dev_;
  HANDLE h_ = 0;
  Event ev_;
  OVERLAPPED ov_{};
};

TEST_F(SimDevice, PlaysItsScriptedOutcomes) {
  EXPECT_EQ(CreateFileA("sim:io-test", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  dev_->Script({sim::WriteStep::Failed, 0, ERROR_ACCESS_DENIED});
  EXPECT_EQ(Write("lost"), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(dev_->Written(), "");

  dev_->Script({sim::WriteStep::Partial, 3, 0});
  EXPECT_EQ(Write("abcdef"), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  DoEvents();
  DWORD n = 0;
  EXPECT_EQ(GetOverlappedResult(h_, &ov_, &n, FALSE), TRUE);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(dev_->Written(), "abc");

  dev_->Script({sim::WriteStep::Pending});
  EXPECT_EQ(Write("held"), FALSE);
  for (int i = 0; i < 5; ++i) DoEvents();
  EXPECT_EQ(WaitForSingleObject(ev_.h, 0), WAIT_TIMEOUT);
  dev_->CompletePending();
  EXPECT_EQ(WaitForSingleObject(ev_.h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(dev_->Written(), "abcheld");

  dev_->Script({sim::WriteStep::FailLater, 0, ERROR_GEN_FAILURE});
  EXPECT_EQ(Write("gone"), FALSE);
  EXPECT_EQ(GetOverlappedResult(h_, &ov_, &n, FALSE), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);

  EXPECT_EQ(Write("done"), TRUE);
  dev_->Incoming("\x12");
  char c = 0;
  EXPECT_EQ(ReadFile(h_, &c, 1, &n, nullptr), TRUE);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(c, '\x12');

  dev_->HangUp();
  EXPECT_EQ(Write("after"), FALSE);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_EQ(dev_->Written(), "abchelddone");
}

TEST_F(SimDevice, ClosingWithAWritePendingAbortsIt) {
  dev_->Script({sim::WriteStep::Pending});
  EXPECT_EQ(Write("held"), FALSE);
  CloseHandle(h_);
  EXPECT_EQ(ov_.Internal, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(WaitForSingleObject(ev_.h, 0), WAIT_OBJECT_0);
  dev_->CompletePending();
  DoEvents();
  EXPECT_EQ(dev_->Written(), "");
  h_ =
      CreateFileA("sim:io-test", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
}

}  // namespace
