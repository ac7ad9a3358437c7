#include "platform/localtime.h"

#include <time.h>

namespace vtl::platform {

void GetLocalTime(SYSTEMTIME* out) {
  if (!out) return;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  localtime_r(&ts.tv_sec, &t);
  out->wYear = static_cast<std::uint16_t>(t.tm_year + 1900);
  out->wMonth = static_cast<std::uint16_t>(t.tm_mon + 1);
  out->wDayOfWeek = static_cast<std::uint16_t>(t.tm_wday);
  out->wDay = static_cast<std::uint16_t>(t.tm_mday);
  out->wHour = static_cast<std::uint16_t>(t.tm_hour);
  out->wMinute = static_cast<std::uint16_t>(t.tm_min);
  out->wSecond = static_cast<std::uint16_t>(t.tm_sec);
  out->wMilliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
}

}  // namespace vtl::platform
