// Starting programs with the system's CreateProcessA.
#include "platform/process.h"

#include <string>

#include "platform/win32/system.h"

namespace vtl::platform {

BOOL CreateProcessA(const char* application, const char* commandLine, void* processSecurity,
                    void* threadSecurity, BOOL inheritHandles, DWORD creationFlags,
                    void* environment, const char* currentDirectory, void* startupInfo,
                    PROCESS_INFORMATION* information) {
  // The system may write into the command line it is given: it gets a copy.
  std::string line = commandLine ? commandLine : "";
  ::STARTUPINFOA defaultStartup{};
  defaultStartup.cb = sizeof defaultStartup;
  auto* startup = startupInfo ? static_cast<::STARTUPINFOA*>(startupInfo) : &defaultStartup;
  ::PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(
          application && *application ? application : nullptr, commandLine ? line.data() : nullptr,
          static_cast<LPSECURITY_ATTRIBUTES>(processSecurity),
          static_cast<LPSECURITY_ATTRIBUTES>(threadSecurity), inheritHandles, creationFlags,
          environment, currentDirectory && *currentDirectory ? currentDirectory : nullptr, startup,
          &pi)) {
    return FALSE;
  }
  if (information) {
    information->hProcess = win32::Ours(pi.hProcess);
    information->hThread = win32::Ours(pi.hThread);
    information->dwProcessId = pi.dwProcessId;
    information->dwThreadId = pi.dwThreadId;
  } else {
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
  }
  return TRUE;
}

DWORD WaitForInputIdle(HANDLE process, DWORD milliseconds) {
  return ::WaitForInputIdle(win32::Real(process), milliseconds);
}

}  // namespace vtl::platform
