// Running another program and waiting for it without freezing the host's events.
#include "commands/comandos.h"
#include "platform/loop.h"
#include "platform/process.h"

namespace vtl {

bool EjecutarYEsperar(const std::string& Command, const std::string& tmpCommandLine) {
  using namespace platform;
  PROCESS_INFORMATION info;
  const BOOL started =
      CreateProcessA(Command.empty() ? nullptr : Command.c_str(), tmpCommandLine.c_str(), nullptr,
                     nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, nullptr, &info);
  if (started != TRUE) return false;
  WaitForInputIdle(info.hProcess, 2000);
  CloseHandle(info.hThread);
  // No upper limit: the program decides. Timer ticks and other events of this thread go on
  // meanwhile, so the host may be re-entered.
  Loop& loop = Loop::Current();
  while (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
    loop.RunUntil([&] { return WaitForSingleObject(info.hProcess, 0) != WAIT_TIMEOUT; }, 50);
  }
  CloseHandle(info.hProcess);
  return true;
}

}  // namespace vtl
