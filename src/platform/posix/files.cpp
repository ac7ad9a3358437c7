#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/objects.h"

namespace vtl::platform {

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& content) {
  content.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok =
      ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= limit;
  if (ok) {
    content.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < content.size()) {
      const ssize_t n = ::read(fd, content.data() + got, content.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    content.resize(got);
    // A file that grew while being read is over the limit all the same.
    char extra;
    if (::read(fd, &extra, 1) > 0) ok = false;
  }
  ::close(fd);
  return ok;
}

namespace {

constexpr DWORD ERROR_PATH_NOT_FOUND = 3;

// A folder fit for private files: a real folder, ours, and closed to everyone else.
bool PrivateAndOurs(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

int OpenNoFollow(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetLastError(errno == ELOOP ? ERROR_ACCESS_DENIED : detail::ErrnoToWin(errno));
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(detail::ErrnoToWin(errno));
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string PrivateFolder() {
  std::string folder;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    folder = std::string(runtime) + "/vtldllxt";
  } else {
    const char* tmp = std::getenv("TMPDIR");
    folder =
        std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/vtldllxt-" + std::to_string(::geteuid());
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : detail::ErrnoToWin(errno));
    return "";
  }
  if (!PrivateAndOurs(folder)) {
    // Someone else's folder, a link, or one open to others: nothing of ours goes there.
    SetLastError(ERROR_ACCESS_DENIED);
    return "";
  }
  return folder;
}

bool CreateNewFile(const std::string& path) {
  const int fd = OpenNoFollow(path, O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool AppendToFile(const std::string& path, const std::string& bytes) {
  const int fd = OpenNoFollow(path, O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, bytes.data(), bytes.size());
  ::close(fd);
  return ok;
}

bool ReadFileRange(const std::string& path, std::uint64_t offset, std::size_t length,
                   std::string& out) {
  out.clear();
  const int fd = OpenNoFollow(path, O_RDONLY);
  if (fd < 0) return false;
  out.resize(length);
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, out.data() + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  ::close(fd);
  return true;
}

bool OverwriteFileStart(const std::string& path, const std::string& bytes) {
  const int fd = OpenNoFollow(path, O_WRONLY | O_CREAT);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, bytes.data(), bytes.size());
  ::close(fd);
  return ok;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

void RemoveFile(const std::string& path) {
  if (!path.empty()) ::unlink(path.c_str());
}

}  // namespace vtl::platform
