// Starting programs, Windows-shaped: CreateProcessA gives a process handle that
// WaitForSingleObject polls and CloseHandle releases.
#pragma once

#include "platform/win.h"

namespace vtl::platform {

struct PROCESS_INFORMATION {
  HANDLE hProcess = 0;
  HANDLE hThread = 0;
  DWORD dwProcessId = 0;
  DWORD dwThreadId = 0;
};

inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;

// `application` is the program file (null: the first token of `commandLine`, searched on the
// path). `commandLine` is split into arguments the way Windows programs split theirs (blanks
// separate, double quotes group); as on Windows, its first token is the program's own name.
// Returns TRUE when the program was started; a program that cannot be run fails at once with
// ERROR_FILE_NOT_FOUND or ERROR_ACCESS_DENIED.
BOOL CreateProcessA(const char* application, const char* commandLine, void* processSecurity,
                    void* threadSecurity, BOOL inheritHandles, DWORD creationFlags,
                    void* environment, const char* currentDirectory, void* startupInfo,
                    PROCESS_INFORMATION* information);

// There is no input queue to wait for on this platform: a started program counts as idle.
DWORD WaitForInputIdle(HANDLE process, DWORD milliseconds);

}  // namespace vtl::platform
