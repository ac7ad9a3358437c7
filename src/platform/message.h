// System message texts: FormatMessageA over a table of the system's English messages for every
// error number the platform layer produces, so that hosts see the same texts (with the same
// trailing line end) as they would on Windows.
#pragma once

#include "platform/win.h"

namespace vtl::platform {

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
inline constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;

// Only FORMAT_MESSAGE_FROM_SYSTEM is served: the message `messageId` in the language `languageId`
// (0, or any English one) is copied into `buffer` with its NUL, and its length without the NUL is
// returned. Fails (0) with ERROR_MR_MID_NOT_FOUND for a number without text,
// ERROR_INSUFFICIENT_BUFFER (122) when `size` cannot hold text and NUL, and
// ERROR_INVALID_PARAMETER for other sources, an allocated buffer or a missing buffer. `arguments`
// is not used: system texts served here have no inserts.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     char* buffer, DWORD size, void* arguments);

}  // namespace vtl::platform
