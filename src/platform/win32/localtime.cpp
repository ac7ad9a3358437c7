#include "platform/localtime.h"

#include "platform/win32/system.h"

namespace vtl::platform {

void GetLocalTime(SYSTEMTIME* out) {
  if (!out) return;
  ::SYSTEMTIME t{};
  ::GetLocalTime(&t);
  out->wYear = t.wYear;
  out->wMonth = t.wMonth;
  out->wDayOfWeek = t.wDayOfWeek;
  out->wDay = t.wDay;
  out->wHour = t.wHour;
  out->wMinute = t.wMinute;
  out->wSecond = t.wSecond;
  out->wMilliseconds = t.wMilliseconds;
}

}  // namespace vtl::platform
