#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace vtl::platform
