#pragma once

#include <string>
#include <string_view>

#include "printer.h"

namespace printersim {

struct ControlResult {
  bool ok = false;
  bool quit = false;
  std::string message;  // "ok", the status as JSON, or what was wrong
};

// One operator command ("paper out", "drawer open", "offline", "status", "quit", ...), as typed
// on the control socket or on standard input. Case and extra blanks do not matter.
ControlResult ApplyControl(Printer& printer, std::string_view line);

// Help text listing the commands ApplyControl understands.
const char* ControlHelp();

std::string StatusJson(const Printer& printer);

}  // namespace printersim
