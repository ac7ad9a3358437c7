// System message texts from the system's own message table.
#include "platform/message.h"

#include "platform/win32/system.h"

namespace vtl::platform {

DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char* buffer, DWORD size, void* /*arguments*/) {
  (void)source;
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) ||
      (flags & FORMAT_MESSAGE_FROM_STRING) || !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // No caller hands arguments: a text with inserts comes as it stands.
  const DWORD served = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                       (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK);
  return ::FormatMessageA(served, nullptr, messageId, languageId, buffer, size, nullptr);
}

}  // namespace vtl::platform
