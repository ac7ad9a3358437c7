#include "platform/process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/objects.h"

extern char** environ;

namespace vtl::platform {
namespace detail {

ProcessObject::~ProcessObject() {
  // A program still running when its handle goes keeps running; one that has ended is reaped.
  if (!exited && pid > 0) waitpid(pid, nullptr, WNOHANG);
}

bool ProcessExited(ProcessObject& p) {
  if (p.exited) return true;
  int status = 0;
  const pid_t r = waitpid(p.pid, &status, WNOHANG);
  if (r == p.pid || (r < 0 && errno == ECHILD)) {
    p.exited = true;
    p.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  }
  return p.exited;
}

}  // namespace detail

namespace {

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> args;
  std::string cur;
  bool inQuotes = false, any = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      inQuotes = !inQuotes;
      any = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (any) args.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur += c;
      any = true;
    }
  }
  if (any) args.push_back(cur);
  return args;
}

}  // namespace

BOOL CreateProcessA(const char* application, const char* commandLine, void*, void*, BOOL, DWORD,
                    void*, const char* currentDirectory, void*, PROCESS_INFORMATION* information) {
  std::vector<std::string> args = SplitCommandLine(commandLine ? commandLine : "");
  const bool named = application && *application;
  if (!named && args.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  const std::string program = named ? application : args.front();
  if (args.empty()) args.push_back(program);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (currentDirectory && *currentDirectory) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
    posix_spawn_file_actions_addchdir_np(&actions, currentDirectory);
#endif
  }
  pid_t pid = 0;
  const int err =
      named ? posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ)
            : posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    SetLastError(detail::ErrnoToWin(err));
    return FALSE;
  }
  auto p = std::make_shared<detail::ProcessObject>();
  p->pid = pid;
  const HANDLE process = detail::Insert(p);
  // Windows hands out a thread handle too; here it is an event that stands for it.
  const HANDLE thread = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (information) {
    information->hProcess = process;
    information->hThread = thread;
    information->dwProcessId = static_cast<DWORD>(pid);
    information->dwThreadId = static_cast<DWORD>(pid);
  } else {
    CloseHandle(thread);
  }
  return TRUE;
}

DWORD WaitForInputIdle(HANDLE process, DWORD) {
  return detail::LookupAs<detail::ProcessObject>(process) ? 0 : WAIT_FAILED;
}

}  // namespace vtl::platform
