// The wall clock in local time, for names and stamps (intervals use the loop's clock).
#pragma once

#include <cstdint>

namespace vtl::platform {

struct SYSTEMTIME {
  std::uint16_t wYear = 0;
  std::uint16_t wMonth = 0;
  std::uint16_t wDayOfWeek = 0;
  std::uint16_t wDay = 0;
  std::uint16_t wHour = 0;
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0;
};

void GetLocalTime(SYSTEMTIME* time);

}  // namespace vtl::platform
