#pragma once

#include <string>
#include <string_view>

#include "printer.h"

namespace printersim {

// What the program around the printer must do with the host's connection.
enum class ConnectionAction { kNone, kHangUp, kReset };

struct ControlResult {
  bool ok = false;
  bool quit = false;
  ConnectionAction connection = ConnectionAction::kNone;
  std::string message;  // "ok", the status as JSON, or what was wrong
};

// One operator command ("paper out", "drawer open", "offline", "status", "quit", ...), as typed
// on the control socket or on standard input. Case and extra blanks do not matter.
ControlResult ApplyControl(Printer& printer, std::string_view line);

// Help text listing the commands ApplyControl understands.
const char* ControlHelp();

std::string StatusJson(const Printer& printer);

}  // namespace printersim
