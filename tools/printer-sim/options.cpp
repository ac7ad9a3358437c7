#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace printersim {

const char* HelpText() {
  return R"(Usage: printer-sim [OPTIONS]

A virtual ESC/POS receipt printer (80 mm thermal, 48 columns, autocutter, cash drawer). It prints
what it receives as text on standard output and as .txt and .png files, answers status requests
like a real printer, and lets you change its condition (paper, cover, drawer, ...) while it runs.

Connections (several may be open at once; each serves one host at a time, one after another):
  --port N            TCP port to listen on (default 9100; 0 takes a free one). The first line on
                      standard output is always "listening on 127.0.0.1:PORT".
  --bind ADDR         address to listen on (default 127.0.0.1)
  --pty               serve a pseudo-terminal as a serial printer; prints "pty PATH" with the
                      path the host opens. The line starts raw, 9600 baud, 8N1; the host changes
                      it as with any serial port (the master side is never reconfigured).
  --link PATH         with --pty: also make PATH a symbolic link to the pseudo-terminal
  --fifo PATH         serve a named pipe as a parallel port (created if missing; one writer after
                      another). A parallel port has no way back: replies are dropped (and logged).
  --file PATH         follow a file as a parallel port (like tail -f; created if missing)
  With --pty, --fifo or --file and no --port, no TCP port is opened.

Pace:
  --baud B            take bytes no faster than B/10 per second (a serial line at B baud)
  --print-speed L     print no more than L lines per second (a thermal printer does 30-40). The
                      receive buffer holds 4 KB: the printer reads from the connection only while
                      it has room, so the host feels the printer's pace.
  --insist-baud B     (pty) the printer runs at B baud only: bytes sent while the host's line is
                      set to another speed are noise, printed as nothing and never answered.
  --insist-flow MODE  (pty) likewise for the handshake: none, xonxoff, rtscts or both.

Output:
  --out DIR           where receipts are saved (default: the current directory):
                      receipt-NNNN.txt and receipt-NNNN.png, numbered after those already there
  --log PATH          JSON-lines log of everything received, parsed, answered and changed
                      (default OUT/printer-sim.jsonl, appended; "-" for standard error)
  --quiet             do not echo receipts on standard output
  --no-render         save no receipt files (for benchmarks); the log still records each one
  --font PATH         TrueType font for the pictures (default: DejaVu Sans Mono)
  --paper MM          80 (576 dots, default) or 58 (384 dots)
  --codepage N        character table at power-on and after ESC @ (default 0, PC437;
                      also 2 PC850, 3 PC860, 4 PC863, 5 PC865, 13 PC857, 15 ISO8859-7,
                      16 WPC1252, 17 PC866, 18 PC852, 19 PC858, 40 ISO8859-15)
  --nv FILE           keep NV images (FS q) in FILE, so they survive a restart as on a printer

Drawer:
  --drawer-close-ms MS  a drawer opened by ESC p or DLE DC4 closes by itself after MS ms
                      (default 2000; 0 = stays open until "drawer closed")
  --drawer-open-high  report connector pin 3 HIGH while the drawer is open (by default the
                      switch reads HIGH while it is closed, LOW while open)

Control (one command a line, on standard input and on the --control socket):
  --control PATH      listen on a unix stream socket at PATH; every line gets one answer line:
                      "ok", the status JSON, or "error: ..."
  --no-stdin          do not read commands from standard input
  --once              exit after the first connection closes (and what it sent is printed)
  Commands:
)"
         R"(    paper ok | paper near-end | paper out
    cover open | cover closed
    drawer open | drawer closed
    offline | online
    error | error clear          a recoverable (cutter) error; DLE ENQ 1 or 2 also clears it
    busy | ready                 busy: nothing is printed and the 4 KB buffer fills, then the
                                 printer stops reading; real-time requests in what it has
                                 read are still answered
    mute | unmute                mute: the printer goes on reading and printing but sends
                                 nothing back (no status replies, no automatic status back)
    hang up                      close the host's TCP connection (what the host sent and the
                                 printer has not read yet is dropped); the next host is taken
    reset                        abort the host's TCP connection with a reset
    status                       the state as one JSON line
    quit

Status bytes (bits counted from 0):
  DLE EOT 1  printer:  0x12 + bit 2 drawer pin 3 HIGH + bit 3 off line
  DLE EOT 2  offline cause: 0x12 + bit 2 cover open + bit 5 stopped by paper end + bit 6 error
  DLE EOT 3  error cause:   0x12 + bit 3 cutter error
  DLE EOT 4  paper sensor:  0x12 + bits 2,3 paper near end + bits 5,6 paper end
  GS r 1     bits 0,1 near end, bits 2,3 paper end;   GS r 2   bit 0 drawer pin 3 HIGH
  GS a n     automatic status back (n: 1 drawer, 2 on/off line and cover, 4 errors, 8 paper):
             4 bytes, sent once when enabled and on every change of an enabled item:
             byte 1 0x10 + bit 2 drawer pin 3 HIGH + bit 3 off line + bit 5 cover open
             byte 2 bit 3 cutter error;  byte 3 bits 0,1 near end, bits 2,3 paper end;  byte 4 0
  Drawer: pin 3 is HIGH while the drawer is closed, so bit 2 set = closed, clear = open
  (reversed with --drawer-open-high). Off line = cover open, paper out, error or "offline".
  Real-time requests (DLE EOT, DLE ENQ, DLE DC4) are answered on arrival, even off line or
  busy; everything else waits its turn and runs only while the printer is on line. ESC @ keeps
  the automatic status back setting and the NV images.

Text output marks styles as {b} emphasis, {u}/{u2} underline, {2w}/{2h} double width/height
(GS ! sizes as {3w} ...), {fb} font B, {inv} reverse, {ud} upside-down, {sm} smoothing, closed
by {/}; "{{" is a literal brace. Images, graphics, barcodes and two-dimensional symbols (QR code,
PDF417, MaxiCode, ...) are one bracketed placeholder line; the last line shows the cut. What
leaves nothing on the paper is marked in brackets where it stood, and logged: the buzzer, an
unknown command ([unknown 1b 51]), a malformed one ([bad: ...]) and graphics this printer
cannot print.
)";
}

namespace {

bool ToLong(std::string_view s, long lo, long hi, long& out) {
  std::string str(s);
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(str.c_str(), &end, 10);
  if (str.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, CliOptions& o, std::string& error) {
  bool port_given = false;
  bool other_transport = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    std::string_view value;
    std::string name(a);
    bool has_inline = false;
    if (auto eq = a.find('='); a.starts_with("--") && eq != std::string_view::npos) {
      name = std::string(a.substr(0, eq));
      value = a.substr(eq + 1);
      has_inline = true;
    }
    auto need = [&](std::string_view& v) {
      if (has_inline) {
        v = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = name + " needs a value";
        return false;
      }
      v = argv[++i];
      return true;
    };
    auto number = [&](long lo, long hi, long& out) {
      std::string_view v;
      if (!need(v)) return false;
      if (!ToLong(v, lo, hi, out)) {
        error = name + ": \"" + std::string(v) + "\" is not a number from " + std::to_string(lo) +
                " to " + std::to_string(hi);
        return false;
      }
      return true;
    };
    auto text = [&](std::string& out) {
      std::string_view v;
      if (!need(v)) return false;
      if (v.empty()) {
        error = name + " needs a value";
        return false;
      }
      out = std::string(v);
      return true;
    };
    long n = 0;
    if (name == "--help" || name == "-h") {
      return ParseResult::kHelp;
    } else if (name == "--port") {
      if (!number(0, 65535, n)) return ParseResult::kError;
      o.port = static_cast<int>(n);
      port_given = true;
    } else if (name == "--bind") {
      if (!text(o.bind)) return ParseResult::kError;
    } else if (name == "--pty") {
      o.pty = true;
      other_transport = true;
    } else if (name == "--link") {
      if (!text(o.link)) return ParseResult::kError;
    } else if (name == "--fifo") {
      if (!text(o.fifo)) return ParseResult::kError;
      other_transport = true;
    } else if (name == "--file") {
      if (!text(o.file)) return ParseResult::kError;
      other_transport = true;
    } else if (name == "--out") {
      if (!text(o.out)) return ParseResult::kError;
    } else if (name == "--log") {
      if (!text(o.log)) return ParseResult::kError;
    } else if (name == "--control") {
      if (!text(o.control)) return ParseResult::kError;
    } else if (name == "--no-stdin") {
      o.stdin_control = false;
    } else if (name == "--once") {
      o.once = true;
    } else if (name == "--quiet") {
      o.quiet = true;
    } else if (name == "--no-render") {
      o.render = false;
    } else if (name == "--baud") {
      if (!number(50, 4000000, o.baud)) return ParseResult::kError;
    } else if (name == "--print-speed") {
      if (!number(1, 10000, n)) return ParseResult::kError;
      o.print_speed = static_cast<double>(n);
    } else if (name == "--insist-baud") {
      if (!number(50, 4000000, o.insist_baud)) return ParseResult::kError;
    } else if (name == "--insist-flow") {
      if (!text(o.insist_flow)) return ParseResult::kError;
      if (o.insist_flow != "none" && o.insist_flow != "xonxoff" && o.insist_flow != "rtscts" &&
          o.insist_flow != "both") {
        error = "--insist-flow: expected none, xonxoff, rtscts or both";
        return ParseResult::kError;
      }
    } else if (name == "--paper") {
      if (!number(58, 80, n) || (n != 58 && n != 80)) {
        error = "--paper: expected 58 or 80";
        return ParseResult::kError;
      }
      o.paper_mm = static_cast<int>(n);
    } else if (name == "--codepage") {
      if (!number(0, 255, n)) return ParseResult::kError;
      o.code_page = static_cast<int>(n);
    } else if (name == "--drawer-close-ms") {
      if (!number(0, 86400000, o.drawer_close_ms)) return ParseResult::kError;
    } else if (name == "--drawer-open-high") {
      o.drawer_open_high = true;
    } else if (name == "--nv") {
      if (!text(o.nv_file)) return ParseResult::kError;
    } else if (name == "--font") {
      if (!text(o.font)) return ParseResult::kError;
    } else {
      error = "unknown option " + std::string(a) + " (see --help)";
      return ParseResult::kError;
    }
  }
  o.tcp = port_given || !other_transport;
  if (!o.link.empty() && !o.pty) {
    error = "--link needs --pty";
    return ParseResult::kError;
  }
  if ((o.insist_baud != 0 || !o.insist_flow.empty()) && !o.pty) {
    error = "--insist-baud and --insist-flow need --pty";
    return ParseResult::kError;
  }
  return ParseResult::kRun;
}

}  // namespace printersim
