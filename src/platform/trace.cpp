// The support trace's writer. It is the same on every system: the file is reached through the
// platform's private-file calls, the time through GetLocalTime.
#include "platform/trace.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/files.h"
#include "platform/localtime.h"
#include "platform/message.h"

namespace vtl::platform::trace {

namespace {

struct Writer {
  std::mutex mutex;
  std::string path;
  bool started = false;
};

Writer& TheWriter() {
  static auto* writer = new Writer;  // never destroyed: threads may trace while the process ends
  return *writer;
}

// -1 before VTL_TRACE was read, then 1 while a trace is written, 0 otherwise.
std::atomic<int> g_on{-1};
std::atomic<int> g_nextThread{1};

int ThreadNumber() {
  thread_local const int number = g_nextThread.fetch_add(1);
  return number;
}

std::string Stamp() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", unsigned{t.wYear},
                unsigned{t.wMonth}, unsigned{t.wDay}, unsigned{t.wHour}, unsigned{t.wMinute},
                unsigned{t.wSecond}, unsigned{t.wMilliseconds});
  return text + std::string("#") + std::to_string(ThreadNumber()) + " ";
}

void Append(const std::string& record) {
  const DWORD lastError = GetLastError();
  const int savedErrno = errno;
  Writer& w = TheWriter();
  {
    std::lock_guard lock(w.mutex);
    if (g_on.load() > 0) {
      std::string text;
      if (!w.started) {
        w.started = true;
        text = Stamp() + "trace of vtldllxt " VTLDLLXT_VERSION_TEXT " begins\n";
      }
      text += record;
      if (!AppendToFile(w.path, text)) {
        std::fprintf(stderr, "vtldllxt: the trace cannot be written to %s%s; tracing stops\n",
                     w.path.c_str(), Error(GetLastError()).c_str());
        g_on.store(0);
      }
    }
  }
  SetLastError(lastError);
  errno = savedErrno;
}

}  // namespace

bool On() {
  int on = g_on.load(std::memory_order_acquire);
  if (on < 0) {
    Writer& w = TheWriter();
    std::lock_guard lock(w.mutex);
    if (g_on.load() < 0) {
      const char* path = std::getenv("VTL_TRACE");
      w.path = path ? path : "";
      g_on.store(w.path.empty() ? 0 : 1);
    }
    on = g_on.load();
  }
  return on > 0;
}

void Line(const std::string& text) {
  if (!On()) return;
  Append(Stamp() + text + "\n");
}

void Data(const std::string& text, const void* data, std::size_t length) {
  if (!On()) return;
  static constexpr char kHex[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string record = Stamp() + text + "\n";
  record.reserve(record.size() + (length + 15) / 16 * 78);
  for (std::size_t row = 0; row < length; row += 16) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "    %06zx ", row);
    std::string hex = offset, shown = " |";
    for (std::size_t i = row; i < row + 16; ++i) {
      if (i < length) {
        hex += ' ';
        hex += kHex[bytes[i] >> 4];
        hex += kHex[bytes[i] & 15];
        shown += bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
      } else {
        hex += "   ";
      }
    }
    record += hex + shown + "|\n";
  }
  Append(record);
}

std::string Error(DWORD error) {
  char text[256] = {};
  const DWORD lastError = GetLastError();
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, text, sizeof text, nullptr);
  SetLastError(lastError);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return " (error " + std::to_string(error) + (message.empty() ? "" : ": " + message) + ")";
}

}  // namespace vtl::platform::trace
