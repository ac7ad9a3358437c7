#include "control.h"

#include <cctype>
#include <vector>

#include "json.h"

namespace printersim {

namespace {

std::string Normalise(std::string_view line) {
  std::string out;
  bool blank = false;
  for (char c : line) {
    auto b = static_cast<unsigned char>(c);
    if (std::isspace(b) || c == '_') {
      blank = !out.empty();
      continue;
    }
    if (blank) out.push_back(' ');
    blank = false;
    out.push_back(static_cast<char>(std::tolower(b)));
  }
  return out;
}

}  // namespace

const char* ControlHelp() {
  return "  paper ok | paper near-end | paper out\n"
         "  cover open | cover closed\n"
         "  drawer open | drawer closed\n"
         "  offline | online\n"
         "  error | error clear          (a recoverable cutter error; DLE ENQ 1/2 also clears it)\n"
         "  busy | ready                 (busy: nothing is printed, the receive buffer fills)\n"
         "  mute | unmute                (mute: nothing is answered, real-time requests included)\n"
         "  hang up | reset              (end the host's connection: orderly, or with a reset)\n"
         "  status                       (the state as one JSON line)\n"
         "  quit\n";
}

std::string StatusJson(const Printer& printer) {
  const Status& s = printer.GetStatus();
  return JsonLine()
      .Add("paper", PaperName(s.paper))
      .Add("cover", s.cover_open ? "open" : "closed")
      .Add("drawer", s.drawer_open ? "open" : "closed")
      .Add("online", printer.Online())
      .Add("offline_forced", s.offline)
      .Add("error", s.error)
      .Add("busy", s.busy)
      .Add("mute", s.mute)
      .Add("asb", printer.AsbMask())
      .Add("pending", printer.Pending())
      .Add("receipts_printed", printer.Receipts().size())
      .Str();
}

ControlResult ApplyControl(Printer& printer, std::string_view line) {
  const std::string cmd = Normalise(line);
  ControlResult r;
  r.ok = true;
  r.message = "ok";
  if (cmd == "paper ok" || cmd == "paper in" || cmd == "paper loaded") {
    printer.SetPaper(Paper::kOk);
  } else if (cmd == "paper near-end" || cmd == "paper near end" || cmd == "paper nearend" ||
             cmd == "paper low") {
    printer.SetPaper(Paper::kNearEnd);
  } else if (cmd == "paper out" || cmd == "paper end" || cmd == "paper empty") {
    printer.SetPaper(Paper::kOut);
  } else if (cmd == "cover open" || cmd == "cover opened") {
    printer.SetCover(true);
  } else if (cmd == "cover closed" || cmd == "cover close" || cmd == "cover shut") {
    printer.SetCover(false);
  } else if (cmd == "drawer open" || cmd == "drawer opened") {
    printer.SetDrawer(true);
  } else if (cmd == "drawer closed" || cmd == "drawer close" || cmd == "drawer shut") {
    printer.SetDrawer(false);
  } else if (cmd == "offline" || cmd == "off line" || cmd == "off-line") {
    printer.SetOffline(true);
  } else if (cmd == "online" || cmd == "on line" || cmd == "on-line") {
    printer.SetOffline(false);
  } else if (cmd == "error" || cmd == "error on" || cmd == "error set") {
    printer.SetError(true);
  } else if (cmd == "error clear" || cmd == "error off" || cmd == "error cleared" ||
             cmd == "no error") {
    printer.SetError(false);
  } else if (cmd == "busy") {
    printer.SetBusy(true);
  } else if (cmd == "ready" || cmd == "not busy") {
    printer.SetBusy(false);
  } else if (cmd == "mute" || cmd == "silent") {
    printer.SetMute(true);
  } else if (cmd == "unmute" || cmd == "answer") {
    printer.SetMute(false);
  } else if (cmd == "hang up" || cmd == "hangup" || cmd == "hang-up" || cmd == "disconnect") {
    r.connection = ConnectionAction::kHangUp;
  } else if (cmd == "reset" || cmd == "reset connection") {
    r.connection = ConnectionAction::kReset;
  } else if (cmd == "status") {
    r.message = StatusJson(printer);
  } else if (cmd == "help") {
    r.message = ControlHelp();
  } else if (cmd == "quit" || cmd == "exit") {
    r.quit = true;
  } else if (cmd.empty()) {
    r.message = "";
  } else {
    r.ok = false;
    r.message = "unknown command \"" + std::string(line.substr(0, 80)) + "\" (try \"help\")";
  }
  return r;
}

}  // namespace printersim
